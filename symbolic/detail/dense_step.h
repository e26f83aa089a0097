// The linear algebra of the trust-region method on a dense Jacobian.
// Internal: not installed.
#pragma once

#include <Eigen/Dense>

namespace varnel::symbolic {

// One factorisation of the (weighted) Jacobian J, m by n with m >= n, by
// Householder QR with column pivoting, J P = Q R, and what the trust-region
// iteration asks of it: the Levenberg-Marquardt step for any trust radius
// (More's method: a few Givens sweeps of R per trial damping, never a new
// factorisation of J, and never the normal equations, whose condition is
// the square of J's), the model's reduction and the gradient.
class DenseStep {
public:
    // Factorises J and keeps R, P and the first n entries of Q^T f.
    void factorize(const Eigen::MatrixXd& jacobian, const Eigen::VectorXd& residuals);

    // Euclidean norms of J's columns.
    const Eigen::VectorXd& column_norms() const noexcept { return column_norms_; }
    // J^T f.
    Eigen::VectorXd gradient() const;
    // The step p that minimises |f + J p| subject to |D p| <= radius, D the
    // diagonal of `scale` (positive), to within a tenth of the radius;
    // `damping` is the Levenberg parameter: on entry a first guess (the last
    // one found), on return the one that gives p (0 for the Gauss-Newton
    // step, taken when it lies inside the radius).
    Eigen::VectorXd step(const Eigen::VectorXd& scale, double radius, double& damping);
    // The step that minimises |f + J p|^2 + p^T S p, the model with the
    // residuals' curvature S (symmetric), when J has full rank and
    // J^T J + S is positive definite; false otherwise. Solved as
    // (I + R^-T P^T S P R^-1) w = -Q^T f, p = P R^-1 w, so that the
    // condition of the system is not the square of J's.
    bool curved_step(const Eigen::MatrixXd& curvature, Eigen::VectorXd& step) const;
    // |J p|.
    double model_norm(const Eigen::VectorXd& step) const;
    // (J^T J)^-1 from R. Returns the number of directions of the unknowns
    // that J leaves undetermined to rounding (R's diagonal entries at or
    // below its rounding); the inverse is only set when that is 0.
    int normal_inverse(Eigen::MatrixXd& inverse) const;

private:
    // Solves min |(J; sqrt(damping) D) x - (f; 0)| with R and Q^T f, for
    // the x of step() (the negated step): Givens rotations fold the
    // diagonal rows into R, leaving the new triangle S in the strict lower
    // triangle of r_ and in s_diagonal_, which the Newton correction of the
    // damping reads.
    void solve_damped(const Eigen::VectorXd& damped_scale, Eigen::VectorXd& x);

    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr_;
    // R in the upper triangle; the lower one is scratch of solve_damped.
    Eigen::MatrixXd r_;
    // Column j of R belongs to column permutation_[j] of J.
    Eigen::VectorXi permutation_;
    Eigen::VectorXd qtf_;
    Eigen::VectorXd column_norms_;
    Eigen::VectorXd s_diagonal_;
    Eigen::Index rows_ = 0;
};

}  // namespace varnel::symbolic
