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

namespace {

// Refinement's conjugate-gradient iterations: the factor leaves the
// preconditioned problem's spectrum near 1 but for the few directions the
// normal equations lost, and each iteration resolves about one of them.
constexpr int kRefineIterations = 30;
// Refinement ends when an iteration moves the step by less than this
// fraction of it (both scaled). Residuals cannot tell: a direction of J
// with singular value s and an error e in the step leaves s^2 e in the
// normal equations, below their rounding when s^2 is.
constexpr double kRefinedStep = 1e-10;

// The pattern of J^T J's lower triangle: every pair of columns a row
// reaches, and the diagonal, which the damping needs even where a column is
// empty. Column by column, from the rows each column is in, without
// building the pairs' list.
SupernodalCholesky::Matrix normal_pattern(const CompressedRows& pattern) {
    const Index n = pattern.columns;
    const auto entries = static_cast<std::size_t>(pattern.row_starts.back());
    // The rows each column is in.
    std::vector<std::int64_t> column_starts(static_cast<std::size_t>(n) + 1, 0);
    for (std::size_t p = 0; p < entries; ++p) {
        ++column_starts[static_cast<std::size_t>(pattern.column_indices[p]) + 1];
    }
    for (Index j = 0; j < n; ++j) {
        column_starts[static_cast<std::size_t>(j) + 1] += column_starts[static_cast<std::size_t>(j)];
    }
    std::vector<std::int64_t> rows_of(entries);
    {
        std::vector<std::int64_t> next(column_starts.begin(), column_starts.end() - 1);
        for (Index r = 0; r < pattern.rows; ++r) {
            for (std::int64_t a = pattern.row_starts[static_cast<std::size_t>(r)];
                 a < pattern.row_starts[static_cast<std::size_t>(r) + 1]; ++a) {
                rows_of[static_cast<std::size_t>(next[static_cast<std::size_t>(pattern.column_indices[static_cast<std::size_t>(a)])]++)] = r;
            }
        }
    }
    std::vector<int> outer(static_cast<std::size_t>(n) + 1, 0);
    std::vector<int> inner;
    inner.reserve(entries + static_cast<std::size_t>(n));
    std::vector<Index> seen_in(static_cast<std::size_t>(n), -1);
    for (Index j = 0; j < n; ++j) {
        const std::size_t column_begin = inner.size();
        inner.push_back(static_cast<int>(j));
        seen_in[static_cast<std::size_t>(j)] = j;
        for (std::int64_t q = column_starts[static_cast<std::size_t>(j)]; q < column_starts[static_cast<std::size_t>(j) + 1];
             ++q) {
            const std::int64_t r = rows_of[static_cast<std::size_t>(q)];
            for (std::int64_t a = pattern.row_starts[static_cast<std::size_t>(r)];
                 a < pattern.row_starts[static_cast<std::size_t>(r) + 1]; ++a) {
                const int i = pattern.column_indices[static_cast<std::size_t>(a)];
                if (i > j && seen_in[static_cast<std::size_t>(i)] != j) {
                    seen_in[static_cast<std::size_t>(i)] = j;
                    inner.push_back(i);
                }
            }
        }
        std::sort(inner.begin() + static_cast<std::ptrdiff_t>(column_begin), inner.end());
        outer[static_cast<std::size_t>(j) + 1] = static_cast<int>(inner.size());
    }
    const std::vector<double> zeros(inner.size(), 0.0);
    return Eigen::Map<const SupernodalCholesky::Matrix>(n, n, static_cast<Index>(inner.size()), outer.data(),
                                                         inner.data(), zeros.data());
}

}  // namespace

SparseStep::SparseStep(const CompressedRows& pattern)
    : pattern_(pattern), normal_(normal_pattern(pattern)), factor_(normal_) {
    const Index n = pattern.columns;

    // Where each product goes: the row's place in the column, found once.
    const int* outer = normal_.outerIndexPtr();
    const int* inner = normal_.innerIndexPtr();
    auto place = [&](int row, int column) {
        return static_cast<std::int64_t>(std::lower_bound(inner + outer[column], inner + outer[column + 1], row) -
                                         inner);
    };
    std::size_t pairs = 0;
    for (Index r = 0; r < pattern.rows; ++r) {
        const auto k = static_cast<std::size_t>(pattern.row_starts[static_cast<std::size_t>(r) + 1] -
                                                pattern.row_starts[static_cast<std::size_t>(r)]);
        pairs += k * (k + 1) / 2;
    }
    pair_place_.reserve(pairs);
    for (Index r = 0; r < pattern.rows; ++r) {
        const std::int64_t begin = pattern.row_starts[static_cast<std::size_t>(r)];
        const std::int64_t end = pattern.row_starts[static_cast<std::size_t>(r) + 1];
        for (std::int64_t a = begin; a < end; ++a) {
            for (std::int64_t b = a; b < end; ++b) {
                const int i = pattern.column_indices[static_cast<std::size_t>(a)];
                const int j = pattern.column_indices[static_cast<std::size_t>(b)];
                pair_place_.push_back(place(std::max(i, j), std::min(i, j)));
            }
        }
    }
    diagonal_place_.resize(static_cast<std::size_t>(n));
    for (Index j = 0; j < n; ++j) {
        diagonal_place_[static_cast<std::size_t>(j)] = place(static_cast<int>(j), static_cast<int>(j));
    }
    scaled_.resize(static_cast<std::size_t>(normal_.nonZeros()));
}

void SparseStep::assemble(const std::vector<double>& values, const VectorXd& residuals) {
    values_ = &values;
    residuals_ = &residuals;
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

double SparseStep::rounding_pivot() const {
    return std::numeric_limits<double>::epsilon() * static_cast<double>(std::max<Index>(pattern_.rows, pattern_.columns));
}

Index SparseStep::factorize(const VectorXd& scale, double damping, double free_pivot) {
    const double* normal = normal_.valuePtr();
    const int* outer = normal_.outerIndexPtr();
    const int* inner = normal_.innerIndexPtr();
    for (Index j = 0; j < normal_.cols(); ++j) {
        for (int p = outer[j]; p < outer[j + 1]; ++p) {
            scaled_[static_cast<std::size_t>(p)] = normal[p] / (scale(inner[p]) * scale(j));
        }
        // A column no row reaches has no entry but its diagonal: 1 there
        // keeps the factorisation going and its step (J^T f is 0 there) 0.
        double& diagonal = scaled_[static_cast<std::size_t>(diagonal_place_[static_cast<std::size_t>(j)])];
        diagonal = column_norms_(j) == 0.0 ? 1.0 : diagonal + damping;
    }
    return factor_.factorize(scaled_.data(), free_pivot);
}

bool SparseStep::step(const VectorXd& scale, double damping, VectorXd& p) {
    // The normal equations square J's singular values, and those below the
    // square root of the rounding are lost in them, but not in J. The
    // factor's pivots tell where: at or below singular_pivot the Cholesky
    // step cannot be trusted, and is refined on the least-squares problem
    // itself, the factor its preconditioner. For that a pivot is good down
    // to the factorisation's own rounding; smaller ones it takes as free,
    // and refinement resolves those directions too.
    const Index free = factorize(scale, damping, rounding_pivot());
    p = factor_.solve(-gradient_.cwiseQuotient(scale)).cwiseQuotient(scale);
    if (!p.allFinite()) {
        return false;
    }
    if (free == 0 && factor_.least_pivot() > singular_pivot()) {
        return true;
    }
    const VectorXd cholesky_step = p;
    if (refine(scale, damping, p)) {
        return true;
    }
    // Unsettled, a whole factor's step stays the normal equations' own;
    // one that left directions free reaches them only through refinement.
    p = cholesky_step;
    return free == 0;
}

void SparseStep::times(const VectorXd& p, VectorXd& jp) const {
    const std::vector<double>& values = *values_;
    jp.resize(pattern_.rows);
    for (Index r = 0; r < pattern_.rows; ++r) {
        double row = 0.0;
        for (std::int64_t a = pattern_.row_starts[static_cast<std::size_t>(r)];
             a < pattern_.row_starts[static_cast<std::size_t>(r) + 1]; ++a) {
            row += values[static_cast<std::size_t>(a)] * p(pattern_.column_indices[static_cast<std::size_t>(a)]);
        }
        jp(r) = row;
    }
}

void SparseStep::transpose_times(const VectorXd& s, VectorXd& jts) const {
    const std::vector<double>& values = *values_;
    jts.setZero(pattern_.columns);
    for (Index r = 0; r < pattern_.rows; ++r) {
        for (std::int64_t a = pattern_.row_starts[static_cast<std::size_t>(r)];
             a < pattern_.row_starts[static_cast<std::size_t>(r) + 1]; ++a) {
            jts(pattern_.column_indices[static_cast<std::size_t>(a)]) += values[static_cast<std::size_t>(a)] * s(r);
        }
    }
}

// Conjugate gradients on the least-squares problem [J; sqrt(damping) D] p
// = [-f; 0] itself (CGLS), from p, preconditioned by the last
// factorisation: its residual is kept in J's rows, s = -f - J p, and the
// normal equations' residual J^T s - damping D^2 p found from it, never
// through J^T J. True when the iterations settle within the limit.
bool SparseStep::refine(const VectorXd& scale, double damping, VectorXd& p) {
    const VectorXd weight = damping * scale.cwiseProduct(scale);
    auto precondition = [&](const VectorXd& v) {
        return factor_.solve(v.cwiseQuotient(scale)).cwiseQuotient(scale).eval();
    };
    VectorXd s;
    times(p, s);
    s = -*residuals_ - s;
    VectorXd g;
    transpose_times(s, g);
    g -= weight.cwiseProduct(p);
    VectorXd h = precondition(g);
    VectorXd d = h;
    double gamma = g.dot(h);
    VectorXd q;
    for (int k = 0; k < kRefineIterations; ++k) {
        if (!(gamma > 0.0)) {
            return gamma == 0.0;
        }
        times(d, q);
        const double curvature = q.squaredNorm() + d.dot(weight.cwiseProduct(d));
        if (!(curvature > 0.0)) {
            return false;
        }
        const double alpha = gamma / curvature;
        p += alpha * d;
        s -= alpha * q;
        ++refinement_iterations_;
        if (!p.allFinite()) {
            return false;
        }
        if (std::fabs(alpha) * d.cwiseProduct(scale).norm() <= kRefinedStep * p.cwiseProduct(scale).norm()) {
            return true;
        }
        transpose_times(s, g);
        g -= weight.cwiseProduct(p);
        h = precondition(g);
        const double next_gamma = g.dot(h);
        d = h + (next_gamma / gamma) * d;
        gamma = next_gamma;
    }
    return false;
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
    const int undetermined =
        static_cast<int>(factorize(scale, 0.0, singular_pivot()) + (column_norms_.array() == 0.0).count());
    if (undetermined != 0) {
        return undetermined;
    }
    // The scaled matrix is D^-1 J^T J D^-1.
    diagonal = factor_.inverse_diagonal().cwiseQuotient(scale.cwiseProduct(scale));
    return 0;
}

}  // namespace varnel::symbolic
