// The trust-region Levenberg-Marquardt iteration. Internal: not installed.
#pragma once

#include <Eigen/Dense>
#include <vector>

#include "symbolic/detail/tape_lanes.h"
#include "symbolic/function.h"
#include "symbolic/solve.h"

namespace varnel::symbolic {

// The residuals of a Function at points given as one vector of all the
// unknowns' lanes, the cost of a loss, and the counts of evaluations. The
// residuals are read from the lanes of a forward pass of the Function's
// tape, which stay for the next pass; with keep_derivatives each pass also
// keeps what a reverse pass at the same point reads (see lanes()).
class ResidualModel {
public:
    ResidualModel(const Function& function, Loss loss, double f_scale, bool keep_derivatives);

    Eigen::Index rows() const noexcept { return rows_; }
    Eigen::Index columns() const noexcept { return columns_; }
    std::vector<SmallValue> values_of(const Eigen::VectorXd& x) const;

    // The residuals at x; throws the evaluation's error when a lane is not
    // finite.
    void residuals(const Eigen::VectorXd& x, Eigen::VectorXd& r);
    // The same, but false instead of the error.
    bool try_residuals(const Eigen::VectorXd& x, Eigen::VectorXd& r);
    void jacobian(const Eigen::VectorXd& x, Eigen::MatrixXd& jacobian);
    // The lanes of the last evaluation's pass.
    TapeLanes& lanes() noexcept { return lanes_; }

    double cost(const Eigen::VectorXd& r) const;
    // cost(r) - cost(next), accurate also when the two are close.
    double cost_drop(const Eigen::VectorXd& r, const Eigen::VectorXd& next) const;
    // The residuals and Jacobian of the linear model at r: with a robust
    // loss, each row weighed by sqrt(rho'), so that the model's gradient is
    // the cost's and its curvature stays positive semidefinite.
    void weigh(const Eigen::VectorXd& r, const Eigen::MatrixXd& jacobian, Eigen::VectorXd& weighed_r,
               Eigen::MatrixXd& weighed_jacobian) const;

    int residual_evaluations = 0;
    int jacobian_evaluations = 0;

private:
    const Function& function_;
    Loss loss_;
    double f_scale_;
    Eigen::Index rows_;
    Eigen::Index columns_;
    TapeLanes lanes_;
    bool keep_derivatives_;
};

// Where the iteration ended: x, the residuals there and, when it was last
// evaluated there, the Jacobian (otherwise empty).
struct TrustRegionEnd {
    Eigen::VectorXd x;
    Eigen::VectorXd residuals;
    Eigen::MatrixXd jacobian;
    int iterations = 0;
    SolveStatus status = SolveStatus::MaxIterations;
};

// Minimises the model's cost from `start`, where the residuals are
// `residuals`, with the tolerances and the iteration limit of `options`.
TrustRegionEnd levenberg_marquardt(ResidualModel& model, Eigen::VectorXd start, Eigen::VectorXd residuals,
                                   const SolveOptions& options);

}  // namespace varnel::symbolic
