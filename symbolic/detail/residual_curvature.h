// The part of the cost's Hessian that the Gauss-Newton model leaves out.
// Internal: not installed.
#pragma once

#include <Eigen/Dense>

namespace varnel::symbolic {

// An estimate of S = sum r_i Hessian(r_i), the curvature of the residuals
// weighed by their size, learnt from the steps taken with the secant update
// of Dennis, Gay and Welsch: after each step it reproduces the change of
// the gradient along the step that J^T J does not explain. Where residuals
// stay large at the minimum, J^T J + S is the model that converges faster
// than linearly; where they vanish or the model is linear, S stays small.
class ResidualCurvature {
public:
    explicit ResidualCurvature(Eigen::Index unknowns) : matrix_(Eigen::MatrixXd::Zero(unknowns, unknowns)) {}

    const Eigen::MatrixXd& matrix() const noexcept { return matrix_; }

    // After a step from a point with gradient J^T f to one with gradient
    // J'^T f': `change` is J'^T f' - J^T f and `unexplained` is
    // J'^T f' - J^T f', the part of the change that comes from J moving.
    void update(const Eigen::VectorXd& step, const Eigen::VectorXd& change, const Eigen::VectorXd& unexplained);

private:
    Eigen::MatrixXd matrix_;
};

}  // namespace varnel::symbolic
