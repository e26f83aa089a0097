// Least squares and equation solving: the checks of a problem and its
// options, the starting point, and the summary of the trust-region
// iteration with the covariance of the unknowns.
#include "symbolic/solve.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/dense_step.h"
#include "symbolic/detail/levenberg_marquardt.h"
#include "symbolic/detail/residual_blocks.h"
#include "symbolic/detail/sparse_levenberg_marquardt.h"
#include "symbolic/detail/sparse_step.h"
#include "symbolic/sparse_solve.h"

namespace varnel::symbolic {
namespace {

void require_tolerance(double value, const char* name) {
    if (!(value >= 0.0) || !is_finite_lane(value)) {
        throw std::invalid_argument(std::string(name) + " must be a finite number of at least 0");
    }
}

void require_options(const SolveOptions& options) {
    if (!(options.f_scale > 0.0) || !is_finite_lane(options.f_scale)) {
        throw std::invalid_argument("f_scale must be a finite number above 0");
    }
    if (options.max_iterations < 1) {
        throw std::invalid_argument("max_iterations must be at least 1");
    }
    require_tolerance(options.ftol, "ftol");
    require_tolerance(options.xtol, "xtol");
    require_tolerance(options.gtol, "gtol");
    require_tolerance(options.tolerance, "tolerance");
}

Eigen::VectorXd lanes_of(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0) {
    const std::vector<Value>& unknowns = problem.function().inputs();
    if (x0.size() != unknowns.size()) {
        throw std::invalid_argument("x0 has " + std::to_string(x0.size()) + " values, expected " +
                                    std::to_string(unknowns.size()) + " (one per unknown)");
    }
    Eigen::VectorXd x(problem.unknown_lanes());
    Eigen::Index lane = 0;
    for (std::size_t k = 0; k < x0.size(); ++k) {
        if (x0[k].dimension != unknowns[k].dimension()) {
            throw std::invalid_argument("x0 value " + std::to_string(k) + " has dimension " +
                                        std::to_string(x0[k].dimension) + ", expected " +
                                        std::to_string(unknowns[k].dimension()));
        }
        for (int i = 0; i < x0[k].dimension; ++i) {
            const double value = x0[k].lanes[static_cast<std::size_t>(i)];
            if (!is_finite_lane(value)) {
                throw std::invalid_argument("x0 value " + std::to_string(k) + " is not finite");
            }
            x(lane++) = value;
        }
    }
    return x;
}

const char* message_of(SolveStatus status) {
    switch (status) {
        case SolveStatus::FunctionTolerance: return "the cost dropped by less than ftol (relative) in the last step";
        case SolveStatus::StepTolerance: return "the step fell below xtol relative to the unknowns";
        case SolveStatus::GradientTolerance:
            return "the residuals are orthogonal to every column of the Jacobian within gtol";
        case SolveStatus::Precision: return "no step lowers the cost any further in double precision";
        case SolveStatus::MaxIterations: return "stopped after max_iterations steps";
        case SolveStatus::NotFinite:
            return "the Jacobian, or the cost and its gradient (residuals whose squares overflow), are not finite";
        default: return "";
    }
}

bool converged(SolveStatus status) {
    return status == SolveStatus::FunctionTolerance || status == SolveStatus::StepTolerance ||
           status == SolveStatus::GradientTolerance || status == SolveStatus::Precision;
}

// s^2 (J^T J)^-1 with s^2 = |r|^2 / (m - n), left empty where it is not
// defined: no degrees of freedom, or J rank deficient. Returns the number
// of directions of the unknowns J leaves undetermined.
int add_covariance(const Eigen::VectorXd& r, const Eigen::MatrixXd& jacobian, SolveSummary& summary) {
    const Eigen::Index m = jacobian.rows();
    const Eigen::Index n = jacobian.cols();
    if (m <= n) {
        return 0;
    }
    DenseStep factor;
    factor.factorize(jacobian, r);
    Eigen::MatrixXd inverse;
    const int undetermined = factor.normal_inverse(inverse);
    if (undetermined != 0) {
        return undetermined;
    }
    inverse *= r.squaredNorm() / static_cast<double>(m - n);
    if (!inverse.allFinite()) {  // residuals whose squares overflow
        return 0;
    }
    summary.covariance.resize(static_cast<std::size_t>(n * n));
    summary.standard_errors.resize(static_cast<std::size_t>(n));
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
            summary.covariance[static_cast<std::size_t>(i * n + j)] = inverse(i, j);
        }
        summary.standard_errors[static_cast<std::size_t>(i)] = std::sqrt(inverse(i, i));
    }
    return 0;
}

// A solve's summary, and how many directions of the unknowns J leaves
// undetermined at the end.
struct Minimum {
    LayoutSolveSummary result;
    int undetermined = 0;
};

int minimize_dense(ResidualModel& model, Eigen::VectorXd start, Eigen::VectorXd residuals,
                   const SolveOptions& options, SolveSummary& summary) {
    TrustRegionEnd end = levenberg_marquardt(model, std::move(start), std::move(residuals), options);
    if (end.jacobian.size() == 0) {
        model.jacobian(end.x, end.jacobian);
    }
    summary.x = model.values_of(end.x);
    summary.cost = model.cost(end.residuals);
    summary.residuals.assign(end.residuals.data(), end.residuals.data() + end.residuals.size());
    summary.jacobian.resize(static_cast<std::size_t>(end.jacobian.size()));
    Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        summary.jacobian.data(), end.jacobian.rows(), end.jacobian.cols()) = end.jacobian;
    summary.iterations = end.iterations;
    summary.status = end.status;
    if (end.jacobian.allFinite()) {
        // With a robust loss, of the rows as the iteration weighs them: an
        // outlier's small weight keeps it from inflating s^2.
        Eigen::VectorXd weighed_r;
        Eigen::MatrixXd weighed_jacobian;
        model.weigh(end.residuals, end.jacobian, weighed_r, weighed_jacobian);
        return add_covariance(weighed_r, weighed_jacobian, summary);
    }
    return 0;
}

// The same on the residuals' blocks. The covariance's n-by-n form is left
// out; the standard errors come from the sparse factor of J^T J.
int minimize_sparse(const LeastSquaresProblem& problem, ResidualModel& model, Eigen::VectorXd start,
                    Eigen::VectorXd residuals, const SolveOptions& options, LayoutSolveSummary& result) {
    BlockJacobian blocks(problem.function(), blocks_of(problem), model.lanes());
    SparseStep linear(blocks.pattern());
    SparseTrustRegionEnd end =
        sparse_levenberg_marquardt(model, blocks, linear, std::move(start), std::move(residuals), options);
    if (!end.jacobian_at_x) {
        ++model.jacobian_evaluations;
        blocks.evaluate(end.x, end.jacobian);
    }
    SolveSummary& summary = result.summary;
    summary.x = model.values_of(end.x);
    summary.cost = model.cost(end.residuals);
    summary.residuals.assign(end.residuals.data(), end.residuals.data() + end.residuals.size());
    summary.iterations = end.iterations;
    summary.status = end.status;

    const CompressedRows& pattern = blocks.pattern();
    const Eigen::Index m = pattern.rows;
    const Eigen::Index n = pattern.columns;
    int undetermined = 0;
    const bool finite = std::all_of(end.jacobian.begin(), end.jacobian.end(),
                                    [](double v) { return std::isfinite(v); });
    if (finite && m > n) {
        // The iteration's factorisation, whose pattern and order hold, of
        // the rows as the iteration weighs them, as the dense way has it.
        Eigen::VectorXd weighed_r;
        std::vector<double> weighed;
        weigh_rows(options, pattern, end.residuals, end.jacobian, weighed_r, weighed);
        linear.assemble(weighed, weighed_r);
        Eigen::VectorXd diagonal;
        undetermined = linear.normal_inverse_diagonal(diagonal);
        if (undetermined == 0) {
            const double s2 = weighed_r.squaredNorm() / static_cast<double>(m - n);
            summary.standard_errors.resize(static_cast<std::size_t>(n));
            for (Eigen::Index j = 0; j < n; ++j) {
                summary.standard_errors[static_cast<std::size_t>(j)] = std::sqrt(s2 * diagonal(j));
            }
        }
    }
    SparseJacobian& jacobian = result.jacobian;
    jacobian.rows = static_cast<int>(m);
    jacobian.columns = static_cast<int>(n);
    jacobian.row_starts = pattern.row_starts;
    jacobian.column_indices = pattern.column_indices;
    jacobian.values = std::move(end.jacobian);
    return undetermined;
}

Minimum minimize(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                 const SolveOptions& options, JacobianLayout layout) {
    require_options(options);
    Eigen::VectorXd start = lanes_of(problem, x0);
    Minimum minimum;
    LayoutSolveSummary& result = minimum.result;
    result.layout = layout == JacobianLayout::Auto ? choose_layout(problem) : layout;
    // The sparse Jacobian's reverse passes read the residuals' forward pass
    // where it was at the same point.
    ResidualModel model(problem.function(), options.loss, options.f_scale, result.layout == JacobianLayout::Sparse);
    Eigen::VectorXd residuals;
    model.residuals(start, residuals);

    if (result.layout == JacobianLayout::Sparse) {
        minimum.undetermined =
            minimize_sparse(problem, model, std::move(start), std::move(residuals), options, result);
    } else {
        minimum.undetermined =
            minimize_dense(model, std::move(start), std::move(residuals), options, result.summary);
    }
    SolveSummary& summary = result.summary;
    summary.residual_lanes = static_cast<int>(model.rows());
    summary.unknown_lanes = static_cast<int>(model.columns());
    summary.residual_evaluations = model.residual_evaluations;
    summary.jacobian_evaluations = model.jacobian_evaluations;
    summary.success = converged(summary.status);
    summary.message = message_of(summary.status);
    return minimum;
}

// The note a message gets when the residuals leave directions of the
// unknowns free, so that no standard error can be given.
void note_undetermined(int undetermined, SolveSummary& summary) {
    if (undetermined > 0) {
        summary.message += "; the residuals leave " + std::to_string(undetermined) + " direction" +
                           (undetermined == 1 ? "" : "s") +
                           " of the unknowns undetermined (the Jacobian is rank deficient), so there are no "
                           "standard errors";
    }
}

// Nothing below can fail: the values are finite and of the unknowns'
// dimensions.
void write_parameters(const LeastSquaresProblem& problem, const SolveSummary& summary) {
    const std::vector<Value>& unknowns = problem.function().inputs();
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        if (unknowns[k].is_parameter()) {
            unknowns[k].set_value(summary.x[k]);
        }
    }
}

constexpr char kNoUnknown[] = "least squares needs at least one unknown";

// The Function's checks (it names an Undefined that is not an unknown),
// after a least-squares problem's own for an empty list of residuals or of
// unknowns: those come first, as the README's table has them.
Function function_of(std::vector<Value> residuals, std::vector<Value> unknowns) {
    if (residuals.empty()) {
        throw std::invalid_argument("least squares needs at least one residual");
    }
    if (unknowns.empty()) {
        throw std::invalid_argument(kNoUnknown);
    }
    return Function(std::move(residuals), std::move(unknowns));
}

std::string format_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

}  // namespace

const char* to_string(SolveStatus status) noexcept {
    switch (status) {
        case SolveStatus::FunctionTolerance: return "ftol";
        case SolveStatus::StepTolerance: return "xtol";
        case SolveStatus::GradientTolerance: return "gtol";
        case SolveStatus::Precision: return "precision";
        case SolveStatus::MaxIterations: return "max_iterations";
        case SolveStatus::NotFinite: return "not_finite";
        case SolveStatus::Solved: return "solved";
        case SolveStatus::NotSolved: return "not_solved";
    }
    return "unknown";
}

LeastSquaresProblem::LeastSquaresProblem(std::vector<Value> residuals, std::vector<Value> unknowns)
    : LeastSquaresProblem(function_of(std::move(residuals), std::move(unknowns))) {}

LeastSquaresProblem::LeastSquaresProblem(Function function) : function_(std::move(function)) {
    if (function_.inputs().empty()) {
        throw std::invalid_argument(kNoUnknown);
    }
    if (residual_lanes() < unknown_lanes()) {
        throw std::invalid_argument("least squares needs at least as many residual lanes as unknown lanes, got " +
                                    std::to_string(residual_lanes()) + " for " +
                                    std::to_string(unknown_lanes()));
    }
    blocks_ = std::make_shared<const ResidualBlocks>(function_);
}

const ResidualBlocks& blocks_of(const LeastSquaresProblem& problem) { return *problem.blocks_; }

const char* to_string(JacobianLayout layout) noexcept {
    switch (layout) {
        case JacobianLayout::Auto: return "auto";
        case JacobianLayout::Dense: return "dense";
        case JacobianLayout::Sparse: return "sparse";
    }
    return "unknown";
}

JacobianLayout jacobian_layout_from_string(const std::string& name) {
    for (JacobianLayout layout : {JacobianLayout::Auto, JacobianLayout::Dense, JacobianLayout::Sparse}) {
        if (name == to_string(layout)) {
            return layout;
        }
    }
    throw std::invalid_argument("jacobian must be one of auto, dense, sparse, got '" + name + "'");
}

std::int64_t jacobian_nonzeros(const LeastSquaresProblem& problem) { return blocks_of(problem).nonzeros(); }

JacobianLayout choose_layout(const LeastSquaresProblem& problem) {
    const double entries = static_cast<double>(problem.residual_lanes()) * problem.unknown_lanes();
    const bool sparse = problem.unknown_lanes() >= sparse_from_unknown_lanes &&
                        static_cast<double>(jacobian_nonzeros(problem)) <= sparse_up_to_fill * entries;
    return sparse ? JacobianLayout::Sparse : JacobianLayout::Dense;
}

std::vector<SmallValue> LeastSquaresProblem::start() const {
    std::vector<SmallValue> values;
    values.reserve(function_.inputs().size());
    for (const Value& unknown : function_.inputs()) {
        if (unknown.is_parameter()) {
            values.push_back(unknown.value());
        } else if (unknown.has_hint()) {
            values.push_back(unknown.hint());
        } else {
            throw std::invalid_argument("unknown " + unknown.debug_string() +
                                        " has no hint: give it one or pass x0");
        }
    }
    return values;
}

SolveSummary least_squares(const LeastSquaresProblem& problem, const SolveOptions& options) {
    return least_squares(problem, problem.start(), options);
}

SolveSummary least_squares(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                           const SolveOptions& options) {
    return least_squares(problem, x0, options, JacobianLayout::Auto).summary;
}

LayoutSolveSummary least_squares(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                                 const SolveOptions& options, JacobianLayout layout) {
    Minimum minimum = minimize(problem, x0, options, layout);
    SolveSummary& summary = minimum.result.summary;
    note_undetermined(minimum.undetermined, summary);
    if (summary.success && options.update) {
        write_parameters(problem, summary);
    }
    return std::move(minimum.result);
}

SolveSummary solve(const LeastSquaresProblem& problem, const SolveOptions& options) {
    return solve(problem, problem.start(), options);
}

SolveSummary solve(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                   const SolveOptions& options) {
    return solve(problem, x0, options, JacobianLayout::Auto).summary;
}

LayoutSolveSummary solve(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                         const SolveOptions& options, JacobianLayout layout) {
    if (options.loss != Loss::Linear) {
        throw std::invalid_argument("solve needs the linear loss");
    }
    Minimum minimum = minimize(problem, x0, options, layout);
    SolveSummary& summary = minimum.result.summary;
    double largest = 0.0;
    for (double r : summary.residuals) {
        largest = std::max(largest, std::fabs(r));
    }
    if (largest <= options.tolerance) {
        summary.status = SolveStatus::Solved;
        summary.success = true;
        summary.message = "every equation holds within tolerance (largest residual " + format_number(largest) + ")";
    } else {
        summary.success = false;
        if (converged(summary.status)) {
            summary.status = SolveStatus::NotSolved;
            summary.message = "the largest residual is " + format_number(largest) + ", above tolerance " +
                              format_number(options.tolerance) +
                              ": this is a least-squares point, the equations may have no solution near the start";
        }
    }
    note_undetermined(minimum.undetermined, summary);
    if (summary.success && options.update) {
        write_parameters(problem, summary);
    }
    return std::move(minimum.result);
}

}  // namespace varnel::symbolic
