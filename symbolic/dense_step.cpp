// More's Levenberg-Marquardt step: the damping found by a safeguarded
// Newton iteration on |D p(damping)| = radius, each trial solved by folding
// sqrt(damping) D into the QR factor of J with Givens rotations.
#include "symbolic/detail/dense_step.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace varnel::symbolic {

using Eigen::Index;
using Eigen::VectorXd;

void DenseStep::factorize(const Eigen::MatrixXd& jacobian, const VectorXd& residuals) {
    const Index n = jacobian.cols();
    rows_ = jacobian.rows();
    column_norms_ = jacobian.colwise().norm().transpose();
    qr_.compute(jacobian);
    r_ = qr_.matrixQR().topRows(n).triangularView<Eigen::Upper>();
    permutation_ = qr_.colsPermutation().indices();
    qtf_ = (qr_.householderQ().transpose() * residuals).head(n);
    s_diagonal_.resize(n);
}

VectorXd DenseStep::gradient() const {
    const Index n = r_.cols();
    VectorXd g(n);
    for (Index j = 0; j < n; ++j) {
        g(permutation_(j)) = r_.col(j).head(j + 1).dot(qtf_.head(j + 1));
    }
    return g;
}

double DenseStep::model_norm(const VectorXd& step) const {
    const Index n = r_.cols();
    VectorXd permuted(n);
    for (Index j = 0; j < n; ++j) {
        permuted(j) = step(permutation_(j));
    }
    return (r_.triangularView<Eigen::Upper>() * permuted).norm();
}

bool DenseStep::curved_step(const Eigen::MatrixXd& curvature, VectorXd& step) const {
    const Index n = r_.cols();
    for (Index j = 0; j < n; ++j) {
        if (r_(j, j) == 0.0) {
            return false;
        }
    }
    Eigen::MatrixXd permuted(n, n);
    for (Index i = 0; i < n; ++i) {
        for (Index j = 0; j < n; ++j) {
            permuted(i, j) = curvature(permutation_(i), permutation_(j));
        }
    }
    const auto r = r_.triangularView<Eigen::Upper>();
    // R^-T S' R^-1, by two solves with R^T: S' symmetric makes the second
    // one's right-hand side (R^-T S')^T = S' R^-1.
    const Eigen::MatrixXd half = r.transpose().solve(permuted);
    Eigen::MatrixXd system = r.transpose().solve(half.transpose());
    system = 0.5 * (system + system.transpose());
    system.diagonal().array() += 1.0;
    const Eigen::LLT<Eigen::MatrixXd> cholesky(system);
    if (cholesky.info() != Eigen::Success) {
        return false;
    }
    const VectorXd w = cholesky.solve(-qtf_);
    const VectorXd z = r.solve(w);
    step.resize(n);
    for (Index j = 0; j < n; ++j) {
        step(permutation_(j)) = z(j);
    }
    return step.allFinite();
}

int DenseStep::normal_inverse(Eigen::MatrixXd& inverse) const {
    const Index n = r_.cols();
    const double largest = std::fabs(r_(0, 0));
    const double threshold =
        largest * std::numeric_limits<double>::epsilon() * static_cast<double>(std::max(rows_, n));
    int undetermined = 0;
    for (Index j = 0; j < n; ++j) {
        if (!(std::fabs(r_(j, j)) > threshold)) {
            ++undetermined;
        }
    }
    if (undetermined != 0) {
        return undetermined;
    }
    // (J^T J)^-1 = P R^-1 R^-T P^T.
    Eigen::MatrixXd r_inverse = Eigen::MatrixXd::Identity(n, n);
    r_.triangularView<Eigen::Upper>().solveInPlace(r_inverse);
    const Eigen::MatrixXd permuted = r_inverse * r_inverse.transpose();
    inverse.resize(n, n);
    for (Index i = 0; i < n; ++i) {
        for (Index j = 0; j < n; ++j) {
            inverse(permutation_(i), permutation_(j)) = permuted(i, j);
        }
    }
    return 0;
}

void DenseStep::solve_damped(const VectorXd& damped_scale, VectorXd& x) {
    const Index n = r_.cols();
    VectorXd work = qtf_;
    // The lower triangle starts as R^T; R's diagonal waits in x.
    for (Index j = 0; j < n; ++j) {
        for (Index i = j; i < n; ++i) {
            r_(i, j) = r_(j, i);
        }
        x(j) = r_(j, j);
    }
    for (Index j = 0; j < n; ++j) {
        const double d = damped_scale(permutation_(j));
        if (d != 0.0) {
            s_diagonal_.tail(n - j).setZero();
            s_diagonal_(j) = d;
            // Eliminates row j of the diagonal block against the triangle,
            // carrying the right-hand side (0 for the added rows) along.
            double carried = 0.0;
            for (Index k = j; k < n; ++k) {
                if (s_diagonal_(k) == 0.0) {
                    continue;
                }
                double cosine;
                double sine;
                if (std::fabs(r_(k, k)) < std::fabs(s_diagonal_(k))) {
                    const double cotangent = r_(k, k) / s_diagonal_(k);
                    sine = 0.5 / std::sqrt(0.25 + 0.25 * cotangent * cotangent);
                    cosine = sine * cotangent;
                } else {
                    const double tangent = s_diagonal_(k) / r_(k, k);
                    cosine = 0.5 / std::sqrt(0.25 + 0.25 * tangent * tangent);
                    sine = cosine * tangent;
                }
                r_(k, k) = cosine * r_(k, k) + sine * s_diagonal_(k);
                const double rotated = cosine * work(k) + sine * carried;
                carried = -sine * work(k) + cosine * carried;
                work(k) = rotated;
                for (Index i = k + 1; i < n; ++i) {
                    const double lower = cosine * r_(i, k) + sine * s_diagonal_(i);
                    s_diagonal_(i) = -sine * r_(i, k) + cosine * s_diagonal_(i);
                    r_(i, k) = lower;
                }
            }
        }
        s_diagonal_(j) = r_(j, j);
        r_(j, j) = x(j);
    }
    // Back substitution with S; a singular S gives the least-squares
    // solution that leaves the singular part at 0.
    Index nonsingular = n;
    for (Index j = 0; j < n; ++j) {
        if (s_diagonal_(j) == 0.0 && nonsingular == n) {
            nonsingular = j;
        }
        if (nonsingular < n) {
            work(j) = 0.0;
        }
    }
    for (Index j = nonsingular - 1; j >= 0; --j) {
        double sum = 0.0;
        for (Index i = j + 1; i < nonsingular; ++i) {
            sum += r_(i, j) * work(i);
        }
        work(j) = (work(j) - sum) / s_diagonal_(j);
    }
    for (Index j = 0; j < n; ++j) {
        x(permutation_(j)) = work(j);
    }
}

VectorXd DenseStep::step(const VectorXd& scale, double radius, double& damping) {
    const Index n = r_.cols();
    const double tiny = std::numeric_limits<double>::min();
    VectorXd x(n);
    VectorXd work(n);

    // The Gauss-Newton direction (least squares where R is singular).
    Index nonsingular = n;
    work = qtf_;
    for (Index j = 0; j < n; ++j) {
        if (r_(j, j) == 0.0 && nonsingular == n) {
            nonsingular = j;
        }
        if (nonsingular < n) {
            work(j) = 0.0;
        }
    }
    for (Index j = nonsingular - 1; j >= 0; --j) {
        work(j) /= r_(j, j);
        work.head(j) -= r_.col(j).head(j) * work(j);
    }
    for (Index j = 0; j < n; ++j) {
        x(permutation_(j)) = work(j);
    }
    VectorXd scaled = scale.cwiseProduct(x);
    double scaled_norm = scaled.norm();
    double excess = scaled_norm - radius;
    if (excess <= 0.1 * radius) {
        damping = 0.0;
        return -x;
    }

    // A lower bound of the damping from one Newton step at 0 (only when R
    // has full rank), and an upper bound from the gradient.
    double lower = 0.0;
    if (nonsingular == n) {
        for (Index j = 0; j < n; ++j) {
            const Index l = permutation_(j);
            work(j) = scale(l) * (scaled(l) / scaled_norm);
        }
        for (Index j = 0; j < n; ++j) {
            const double sum = r_.col(j).head(j).dot(work.head(j));
            work(j) = (work(j) - sum) / r_(j, j);
        }
        const double norm = work.norm();
        lower = ((excess / radius) / norm) / norm;
    }
    for (Index j = 0; j < n; ++j) {
        work(j) = r_.col(j).head(j + 1).dot(qtf_.head(j + 1)) / scale(permutation_(j));
    }
    const double gradient_norm = work.norm();
    double upper = gradient_norm / radius;
    if (upper == 0.0) {
        upper = tiny / std::min(radius, 0.1);
    }
    damping = std::min(std::max(damping, lower), upper);
    if (damping == 0.0) {
        damping = gradient_norm / scaled_norm;
    }

    for (int iteration = 1;; ++iteration) {
        if (damping == 0.0) {
            damping = std::max(tiny, 0.001 * upper);
        }
        solve_damped(std::sqrt(damping) * scale, x);
        scaled = scale.cwiseProduct(x);
        scaled_norm = scaled.norm();
        const double previous = excess;
        excess = scaled_norm - radius;
        // Close enough to the radius, or the damping fell to 0 from above
        // while the step stayed inside: the step is acceptable.
        if (std::fabs(excess) <= 0.1 * radius || (lower == 0.0 && excess <= previous && previous < 0.0) ||
            iteration == 10) {
            break;
        }
        // Newton's correction of the damping, with S from solve_damped.
        for (Index j = 0; j < n; ++j) {
            const Index l = permutation_(j);
            work(j) = scale(l) * (scaled(l) / scaled_norm);
        }
        for (Index j = 0; j < n; ++j) {
            work(j) /= s_diagonal_(j);
            work.tail(n - j - 1) -= r_.col(j).tail(n - j - 1) * work(j);
        }
        const double norm = work.norm();
        const double correction = ((excess / radius) / norm) / norm;
        if (excess > 0.0) {
            lower = std::max(lower, damping);
        } else if (excess < 0.0) {
            upper = std::min(upper, damping);
        }
        damping = std::max(lower, damping + correction);
    }
    return -x;
}

}  // namespace varnel::symbolic
