// The sparse trust-region step: the normal equations of a Jacobian whose
// rows each reach a few unknowns, assembled into a pattern found once, and
// their diagonal inverse for the standard errors.
#include "symbolic/detail/sparse_step.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace varnel::symbolic {

using Eigen::Index;
using Eigen::VectorXd;

SparseStep::SparseStep(const CompressedRows& pattern) : pattern_(pattern) {
    const Index n = pattern.columns;
    // Every pair of columns a row reaches, and the diagonal, which the
    // damping needs even where a column is empty.
    std::vector<Eigen::Triplet<double, int>> entries;
    for (Index j = 0; j < n; ++j) {
        entries.emplace_back(static_cast<int>(j), static_cast<int>(j), 0.0);
    }
    for (Index r = 0; r < pattern.rows; ++r) {
        const std::int64_t begin = pattern.row_starts[static_cast<std::size_t>(r)];
        const std::int64_t end = pattern.row_starts[static_cast<std::size_t>(r) + 1];
        for (std::int64_t a = begin; a < end; ++a) {
            for (std::int64_t b = a; b < end; ++b) {
                entries.emplace_back(pattern.column_indices[static_cast<std::size_t>(b)],
                                     pattern.column_indices[static_cast<std::size_t>(a)], 0.0);
            }
        }
    }
    normal_.resize(n, n);
    normal_.setFromTriplets(entries.begin(), entries.end());
    normal_.makeCompressed();
    entries = {};

    // Where each product goes: the row's place in the column, found once.
    const int* outer = normal_.outerIndexPtr();
    const int* inner = normal_.innerIndexPtr();
    auto place = [&](int row, int column) {
        return static_cast<std::int64_t>(std::lower_bound(inner + outer[column], inner + outer[column + 1], row) -
                                         inner);
    };
    for (Index r = 0; r < pattern.rows; ++r) {
        const std::int64_t begin = pattern.row_starts[static_cast<std::size_t>(r)];
        const std::int64_t end = pattern.row_starts[static_cast<std::size_t>(r) + 1];
        for (std::int64_t a = begin; a < end; ++a) {
            for (std::int64_t b = a; b < end; ++b) {
                pair_place_.push_back(place(pattern.column_indices[static_cast<std::size_t>(b)],
                                            pattern.column_indices[static_cast<std::size_t>(a)]));
            }
        }
    }
    diagonal_place_.resize(static_cast<std::size_t>(n));
    for (Index j = 0; j < n; ++j) {
        diagonal_place_[static_cast<std::size_t>(j)] = place(static_cast<int>(j), static_cast<int>(j));
    }
    scaled_ = normal_;
    factor_.analyzePattern(scaled_);
}

void SparseStep::assemble(const std::vector<double>& values, const VectorXd& residuals) {
    values_ = &values;
    const Index n = pattern_.columns;
    double* normal = normal_.valuePtr();
    std::fill(normal, normal + normal_.nonZeros(), 0.0);
    gradient_.setZero(n);
    std::size_t pair = 0;
    for (Index r = 0; r < pattern_.rows; ++r) {
        const std::int64_t begin = pattern_.row_starts[static_cast<std::size_t>(r)];
        const std::int64_t end = pattern_.row_starts[static_cast<std::size_t>(r) + 1];
        for (std::int64_t a = begin; a < end; ++a) {
            const double left = values[static_cast<std::size_t>(a)];
            gradient_(pattern_.column_indices[static_cast<std::size_t>(a)]) += left * residuals(r);
            for (std::int64_t b = a; b < end; ++b) {
                normal[pair_place_[pair++]] += left * values[static_cast<std::size_t>(b)];
            }
        }
    }
    column_norms_.resize(n);
    for (Index j = 0; j < n; ++j) {
        column_norms_(j) = std::sqrt(normal[diagonal_place_[static_cast<std::size_t>(j)]]);
    }
}

// The pivots of directions J leaves free come out as rounding, which grows
// with the problem: up to 2e-12 for a network of 10,000 points with none
// fixed, whose pivots are otherwise above 0.1, while the least pivot of
// the same network with one point fixed is 2e-5.
double SparseStep::singular_pivot() const {
    return 1e3 * std::numeric_limits<double>::epsilon() *
           static_cast<double>(std::max<Index>(pattern_.rows, pattern_.columns));
}

bool SparseStep::factorize(const VectorXd& scale, double damping) {
    const double* normal = normal_.valuePtr();
    double* scaled = scaled_.valuePtr();
    const int* outer = normal_.outerIndexPtr();
    const int* inner = normal_.innerIndexPtr();
    for (Index j = 0; j < normal_.cols(); ++j) {
        for (int p = outer[j]; p < outer[j + 1]; ++p) {
            scaled[p] = normal[p] / (scale(inner[p]) * scale(j));
        }
        // A column no row reaches has no entry but its diagonal: 1 there
        // keeps the factorisation going and its step (J^T f is 0 there) 0.
        double& diagonal = scaled[diagonal_place_[static_cast<std::size_t>(j)]];
        diagonal = column_norms_(j) == 0.0 ? 1.0 : diagonal + damping;
    }
    factor_.factorize(scaled_);
    return factor_.info() == Eigen::Success && factor_.vectorD().minCoeff() > singular_pivot();
}

bool SparseStep::step(const VectorXd& scale, double damping, VectorXd& p) {
    if (!factorize(scale, damping)) {
        return false;
    }
    p = factor_.solve(-gradient_.cwiseQuotient(scale)).cwiseQuotient(scale);
    return p.allFinite();
}

double SparseStep::model_norm(const VectorXd& p) const {
    const std::vector<double>& values = *values_;
    double sum = 0.0;
    for (Index r = 0; r < pattern_.rows; ++r) {
        double row = 0.0;
        for (std::int64_t a = pattern_.row_starts[static_cast<std::size_t>(r)];
             a < pattern_.row_starts[static_cast<std::size_t>(r) + 1]; ++a) {
            row += values[static_cast<std::size_t>(a)] * p(pattern_.column_indices[static_cast<std::size_t>(a)]);
        }
        sum += row * row;
    }
    return std::sqrt(sum);
}

int SparseStep::normal_inverse_diagonal(VectorXd& diagonal) {
    // Scaled by the column norms, so the pivots compare with 1.
    const VectorXd scale = column_norms_.unaryExpr([](double norm) { return norm == 0.0 ? 1.0 : norm; });
    factorize(scale, 0.0);
    if (factor_.info() != Eigen::Success) {
        return static_cast<int>(pattern_.columns);
    }
    const VectorXd& d = factor_.vectorD();
    const int undetermined = static_cast<int>((d.array() <= singular_pivot()).count() +
                                              (column_norms_.array() == 0.0).count());
    if (undetermined != 0) {
        return undetermined;
    }

    // Z = (L D L^T)^-1 on the pattern of L (strictly lower, unit diagonal),
    // a supernode at a time from the last: columns J = c0..c1 whose
    // patterns below J are one set S, and which are dense within J. With
    // Lhat = L(S, J) L(J, J)^-1, Z(S, J) = -Z(S, S) Lhat and Z(J, J) =
    // L(J, J)^-T D_J^-1 L(J, J)^-1 - Z(S, J)^T Lhat: dense products, and
    // Z(S, S) gathered once per supernode rather than once per column.
    // Every Z(i, k) of S, i > k, is in column k, S being a clique of L's
    // pattern; rows ascend in each column of the simplicial factor (it
    // appends row k to the columns of row k's pattern, k rising), so one
    // merge of column k with S's rows after k finds them and stops at S's
    // last row. Column j continues the supernode of j - 1 when j is j - 1's
    // first row and their patterns have the same size: j - 1's pattern less
    // j is always within j's.
    const auto& l = factor_.matrixL().nestedExpression();
    const int* outer = l.outerIndexPtr();
    const int* inner = l.innerIndexPtr();
    const double* lx = l.valuePtr();
    const Index n = l.cols();
    std::vector<double> z(static_cast<std::size_t>(l.nonZeros()), 0.0);
    VectorXd z_diagonal(n);
    // The supernodes' first columns, and the scratch of the largest, made
    // once: a supernode's S is its last column's pattern.
    std::vector<Index> first_columns;
    Index widest = 0;
    Index largest = 0;
    for (Index j = 0; j < n; ++j) {
        const bool continues = j > 0 && outer[j] - outer[j - 1] == outer[j + 1] - outer[j] + 1 &&
                               inner[outer[j - 1]] == j;
        if (!continues) {
            first_columns.push_back(j);
        }
        widest = std::max(widest, j - first_columns.back() + 1);
        largest = std::max<Index>(largest, outer[j + 1] - outer[j]);
    }
    Eigen::MatrixXd zss_space(largest, largest);
    Eigen::MatrixXd lhat_space(largest, widest);
    Eigen::MatrixXd zsj_space(largest, widest);
    Eigen::MatrixXd ljj_space(widest, widest);
    Eigen::MatrixXd linv_space(widest, widest);
    Eigen::MatrixXd scaled_linv_space(widest, widest);
    Eigen::MatrixXd zjj_space(widest, widest);
    Index c1 = n - 1;
    for (auto it = first_columns.rbegin(); it != first_columns.rend(); ++it) {
        const Index c0 = *it;
        const Index w = c1 - c0 + 1;
        const int* s = inner + outer[c1];
        const Index m = outer[c1 + 1] - outer[c1];
        // Column c holds rows c + 1 .. c1, then S.
        auto below = [&](Index c) { return static_cast<Index>(outer[c]) + (c1 - c); };

        auto zss = zss_space.topLeftCorner(m, m);
        for (Index t = 0; t < m; ++t) {
            const int k = s[t];
            zss(t, t) = z_diagonal(k);
            int q = outer[k];
            for (Index u = t + 1; u < m; ++u) {
                while (inner[q] != s[u]) {
                    ++q;
                }
                zss(u, t) = z[static_cast<std::size_t>(q)];
            }
        }
        auto ljj = ljj_space.topLeftCorner(w, w);
        auto lhat = lhat_space.topLeftCorner(m, w);
        for (Index c = c0; c <= c1; ++c) {
            for (Index r = c + 1; r <= c1; ++r) {
                ljj(r - c0, c - c0) = lx[outer[c] + (r - c - 1)];
            }
            lhat.col(c - c0) = Eigen::Map<const VectorXd>(lx + below(c), m);
        }
        ljj.triangularView<Eigen::UnitLower>().solveInPlace<Eigen::OnTheRight>(lhat);
        auto linv = linv_space.topLeftCorner(w, w);
        linv.setIdentity();
        ljj.triangularView<Eigen::UnitLower>().solveInPlace(linv);
        auto scaled_linv = scaled_linv_space.topLeftCorner(w, w);
        scaled_linv = d.segment(c0, w).cwiseInverse().asDiagonal() * linv;
        auto zjj = zjj_space.topLeftCorner(w, w);
        zjj.noalias() = linv.transpose() * scaled_linv;
        auto zsj = zsj_space.topLeftCorner(m, w);
        // Eigen's blocked products divide by their sizes: the last
        // supernode has no S.
        if (m > 0) {
            zsj.setZero();
            zsj.noalias() -= zss.selfadjointView<Eigen::Lower>() * lhat;
            zjj.noalias() -= zsj.transpose() * lhat;
        }

        for (Index c = c0; c <= c1; ++c) {
            z_diagonal(c) = zjj(c - c0, c - c0);
            for (Index r = c + 1; r <= c1; ++r) {
                z[static_cast<std::size_t>(outer[c] + (r - c - 1))] = zjj(r - c0, c - c0);
            }
            Eigen::Map<VectorXd>(z.data() + below(c), m) = zsj.col(c - c0);
        }
        c1 = c0 - 1;
    }

    // The scaled matrix is P (D^-1 J^T J D^-1) P^T = L D L^T.
    const auto& order = factor_.permutationP().indices();
    diagonal.resize(n);
    for (Index i = 0; i < n; ++i) {
        diagonal(i) = z_diagonal(order(i)) / (scale(i) * scale(i));
    }
    return 0;
}

}  // namespace varnel::symbolic
