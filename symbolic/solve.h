// Solving for unknowns: nonlinear least squares and systems of equations
// over a graph's outputs, by a trust-region Levenberg-Marquardt method on
// the compiled residuals and their exact Jacobian.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "symbolic/function.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {

// How residuals weigh in the cost: the cost is
// 0.5 * f_scale^2 * sum(rho((r / f_scale)^2)) over every residual lane r,
// with rho(z) = z (Linear), z below 1 and 2 sqrt(z) - 1 above (Huber),
// 2 (sqrt(1 + z) - 1) (SoftL1), log(1 + z) (Cauchy), atan(z) (Arctan).
// All but Linear grow slower than z, so outliers pull less.
enum class Loss : std::uint8_t { Linear, Huber, SoftL1, Cauchy, Arctan };

// "linear", "huber", "soft_l1", "cauchy", "arctan".
const char* to_string(Loss loss) noexcept;
// The loss of that name; std::invalid_argument for any other.
Loss loss_from_string(const std::string& name);

// Why a solve stopped. The first three are convergence; the names are the
// short words of to_string.
enum class SolveStatus : std::uint8_t {
    FunctionTolerance,  // "ftol": the cost no longer drops by more than ftol relatively
    StepTolerance,      // "xtol": the step is below xtol relative to the unknowns
    GradientTolerance,  // "gtol": every column of the Jacobian is orthogonal to the residuals within gtol
    Precision,          // "precision": no step can lower the cost in double precision
    MaxIterations,      // "max_iterations": max_iterations steps were tried
    NotFinite,          // "not_finite": the Jacobian holds NaN or an infinity, or the cost overflows
    Solved,             // "solved": solve() met its tolerance on every residual
    NotSolved,          // "not_solved": solve() converged, but some residual is above tolerance
};

const char* to_string(SolveStatus status) noexcept;

// One step of the method, as reported to SolveOptions::on_iteration.
struct SolveIteration {
    int iteration = 0;             // 1 for the first step tried
    double cost = 0.0;             // at the current point, after this step if it was accepted
    double step_norm = 0.0;        // Euclidean norm of the step tried
    double gradient_norm = 0.0;    // largest entry of the cost's gradient at the current point
    double trust_radius = 0.0;     // of the scaled step, after this step's update
    bool accepted = false;
};

struct SolveOptions {
    Loss loss = Loss::Linear;
    // The residual size where a robust loss starts to flatten; above 0.
    double f_scale = 1.0;
    // Steps tried, accepted or not; at least 1.
    int max_iterations = 1000;
    // Convergence tolerances, each at least 0: the relative drop of the cost,
    // the step relative to the scaled unknowns, and the cosine between the
    // residuals and each column of the Jacobian.
    double ftol = 0.0;
    double xtol = 1e-15;
    double gtol = 0.0;
    // solve() only: the largest residual lane (in absolute value) of a
    // solution; at least 0.
    double tolerance = 1e-10;
    // Write the solution into the Parameter unknowns with set_value when
    // the solve succeeds.
    bool update = false;
    // Called after every step; an exception it throws ends the solve
    // (nothing is updated) and propagates.
    std::function<void(const SolveIteration&)> on_iteration;
};

struct SolveSummary {
    // The unknowns' values at the end, one per unknown.
    std::vector<SmallValue> x;
    // The cost there (with a Linear loss, half the sum of squared residuals).
    double cost = 0.0;
    // Every residual lane there, and the Jacobian: row r holds
    // d(residual lane r)/d(unknown lane c) at column c, rows of
    // unknown_lanes numbers; empty when the problem was solved the sparse
    // way (sparse_solve.h), which gives it in compressed rows.
    std::vector<double> residuals;
    std::vector<double> jacobian;
    int residual_lanes = 0;
    int unknown_lanes = 0;
    // Steps tried, and evaluations of the residuals and of the Jacobian.
    int iterations = 0;
    int residual_evaluations = 0;
    int jacobian_evaluations = 0;
    bool success = false;
    SolveStatus status = SolveStatus::MaxIterations;
    std::string message;
    // s^2 (J^T J)^-1 with s^2 = sum(r^2) / (residual_lanes - unknown_lanes),
    // unknown_lanes squared numbers row by row, and the square roots of its
    // diagonal; with a robust loss, of r and J with each row weighed by
    // sqrt(rho'). Both empty when there are no more residual lanes than
    // unknown lanes or the Jacobian is rank deficient at the end; the
    // sparse way gives the standard errors alone.
    std::vector<double> covariance;
    std::vector<double> standard_errors;
};

class ResidualBlocks;

// Residuals as a function of unknowns. Made from residual outputs and
// unknowns (Undefined or Parameter leaves, none twice; every Undefined
// below a residual must be an unknown), checked once as a Function is, or
// from a Function whose inputs are the unknowns. Parameters that are not
// unknowns are read at every evaluation. Needs at least as many residual
// lanes as unknown lanes.
class LeastSquaresProblem {
public:
    LeastSquaresProblem(std::vector<Value> residuals, std::vector<Value> unknowns);
    explicit LeastSquaresProblem(Function function);

    const Function& function() const noexcept { return function_; }
    int residual_lanes() const noexcept { return function_.output_lanes(); }
    int unknown_lanes() const noexcept { return function_.input_lanes(); }

    // The starting point: an Undefined unknown's hint, a Parameter's value.
    // std::invalid_argument naming an Undefined that has no hint.
    std::vector<SmallValue> start() const;

private:
    friend const ResidualBlocks& blocks_of(const LeastSquaresProblem& problem);

    Function function_;
    // Which unknowns each residual reaches, found when the problem is made.
    std::shared_ptr<const ResidualBlocks> blocks_;
};

// Minimises the cost from x0 (one value per unknown), or from start().
// Throws std::invalid_argument for bad options or a bad x0, and the
// evaluation's error when the residuals at x0 are not finite; a step whose
// residuals are not finite is rejected like any step that raises the cost.
// Changes nothing in the graph unless options.update is set and the solve
// succeeds.
SolveSummary least_squares(const LeastSquaresProblem& problem, const SolveOptions& options = {});
SolveSummary least_squares(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                           const SolveOptions& options = {});

// Drives every residual lane (equation) to zero with a Linear loss: the
// least-squares minimisation above, which succeeds only when every residual
// lane ends within options.tolerance (status Solved) and otherwise reports
// NotSolved or why it stopped. options.loss must be Linear.
SolveSummary solve(const LeastSquaresProblem& problem, const SolveOptions& options = {});
SolveSummary solve(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                   const SolveOptions& options = {});

}  // namespace varnel::symbolic
