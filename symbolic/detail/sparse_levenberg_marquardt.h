// The trust-region Levenberg-Marquardt iteration on a sparse Jacobian.
// Internal: not installed.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "symbolic/detail/residual_blocks.h"
#include "symbolic/detail/sparse_step.h"
#include "symbolic/detail/levenberg_marquardt.h"
#include "symbolic/solve.h"

namespace varnel::symbolic {

// Where the iteration ended: x, the residuals there and the Jacobian's
// values on the blocks' pattern, at x when jacobian_at_x is set.
struct SparseTrustRegionEnd {
    Eigen::VectorXd x;
    Eigen::VectorXd residuals;
    std::vector<double> jacobian;
    bool jacobian_at_x = false;
    int iterations = 0;
    SolveStatus status = SolveStatus::MaxIterations;
};

// The rows of the linear model at r: with a robust loss each row of the
// Jacobian's values (on `pattern`) and its residual weighed by sqrt(rho'),
// as the dense iteration weighs them.
void weigh_rows(const SolveOptions& options, const CompressedRows& pattern, const Eigen::VectorXd& r,
                const std::vector<double>& values, Eigen::VectorXd& weighed_r, std::vector<double>& weighed);

// Minimises the model's cost from `start`, where the residuals are
// `residuals`, with the Jacobian of `blocks` and steps of `linear` (made
// on the blocks' pattern); the tolerances, the iteration limit and the
// callback of `options` as the dense iteration has them.
SparseTrustRegionEnd sparse_levenberg_marquardt(ResidualModel& model, BlockJacobian& blocks,
                                                SparseStep& linear, Eigen::VectorXd start,
                                                Eigen::VectorXd residuals, const SolveOptions& options);

}  // namespace varnel::symbolic
