// The trust-region Levenberg-Marquardt iteration on a sparse Jacobian: the
// scaling, the acceptance of steps and the tests for convergence of the
// dense iteration, but the trust region held by the damping itself
// (Nielsen's update: each trial step costs one numeric factorisation of the
// damped normal equations, never a search over several), and the step the
// exact solution of the damped system.
#include "symbolic/detail/sparse_levenberg_marquardt.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "symbolic/detail/loss.h"

namespace varnel::symbolic {

using Eigen::Index;
using Eigen::VectorXd;

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// The damping relative to the scaled normal equations, whose diagonal is at
// most 1. The first step is Gauss-Newton's (the least damping): a large
// network's slowest modes have eigenvalues far below 1, and any damping
// above them slows every step; near a minimum where J loses rank (points on
// a line) they fall below 1e-12, and a damping above them turns the steps
// along them into a crawl. Where the factorisation finds the damped matrix
// singular, the damping that made it positive definite is the least the
// later steps take, up to kSingularDamping; beyond kLargestDamping no step
// can lower the cost.
constexpr double kSmallestDamping = 1e-18;
constexpr double kSingularDamping = 1e-6;
constexpr double kLargestDamping = 1e16;
// As in the dense iteration: the least ratio of actual to predicted drop
// of an accepted step, the relative drop below which rounding may decide
// its sign, and the least drop of the gradient that confirms such a step.
constexpr double kAccept = 1e-4;
constexpr double kUnresolved = 1e-10;
constexpr double kGradientDrop = 0.9;

double scaled_norm(const VectorXd& scale, const VectorXd& x) { return scale.cwiseProduct(x).norm(); }

bool all_finite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

// The rows of the linear model at r: with a robust loss each row and its
// residual weighed by sqrt(rho'), as the dense iteration weighs them.
void weigh_rows(const SolveOptions& options, const CompressedRows& pattern, const VectorXd& r,
                const std::vector<double>& values, VectorXd& weighed_r, std::vector<double>& weighed) {
    weighed_r = r;
    weighed = values;
    if (options.loss == Loss::Linear) {
        return;
    }
    for (Index i = 0; i < r.size(); ++i) {
        const double weight = row_weight(options.loss, options.f_scale, r(i));
        weighed_r(i) *= weight;
        for (std::int64_t a = pattern.row_starts[static_cast<std::size_t>(i)];
             a < pattern.row_starts[static_cast<std::size_t>(i) + 1]; ++a) {
            weighed[static_cast<std::size_t>(a)] *= weight;
        }
    }
}

SparseTrustRegionEnd sparse_levenberg_marquardt(ResidualModel& model, BlockJacobian& blocks,
                                                SparseStep& linear, VectorXd start, VectorXd residuals,
                                                const SolveOptions& options) {
    SparseTrustRegionEnd end;
    end.x = std::move(start);
    end.residuals = std::move(residuals);
    VectorXd& x = end.x;
    VectorXd& r = end.residuals;
    const CompressedRows& pattern = blocks.pattern();
    const Index n = model.columns();

    std::vector<double> weighed;
    VectorXd weighed_r;
    VectorXd scale;
    VectorXd trial_x(n);
    VectorXd trial_r(model.rows());
    VectorXd step;
    std::vector<double> trial_jacobian;
    double cost = model.cost(r);
    double damping = kSmallestDamping;
    double least_damping = kSmallestDamping;
    double growth = 2.0;
    double last_step_norm = 0.0;
    bool first = true;
    bool have_jacobian = false;
    auto evaluate_jacobian = [&](const VectorXd& at, std::vector<double>& values) {
        ++model.jacobian_evaluations;
        blocks.evaluate(at, values);
    };
    auto finish = [&](SolveStatus status) {
        end.status = status;
        end.jacobian_at_x = have_jacobian;
        return std::move(end);
    };

    for (;;) {
        if (!have_jacobian) {
            evaluate_jacobian(x, end.jacobian);
            have_jacobian = true;
        }
        if (!all_finite(end.jacobian)) {
            return finish(SolveStatus::NotFinite);
        }
        weigh_rows(options, pattern, r, end.jacobian, weighed_r, weighed);
        linear.assemble(weighed, weighed_r);
        const VectorXd& column_norms = linear.column_norms();
        const VectorXd gradient = linear.gradient();
        // As in the dense iteration: residuals whose squares overflow, or a
        // gradient that does, leave nothing to follow.
        if (!std::isfinite(cost) || !gradient.allFinite()) {
            return finish(SolveStatus::NotFinite);
        }
        if (first) {
            scale = column_norms.unaryExpr([](double norm) { return norm == 0.0 ? 1.0 : norm; });
        } else {
            scale = scale.cwiseMax(column_norms);
        }
        double x_norm = scaled_norm(scale, x);

        // The largest cosine between the residuals and a column of J.
        const double r_norm = weighed_r.norm();
        double cosine = 0.0;
        if (r_norm != 0.0) {
            for (Index j = 0; j < n; ++j) {
                if (column_norms(j) != 0.0) {
                    cosine = std::max(cosine, std::fabs(gradient(j)) / (column_norms(j) * r_norm));
                }
            }
        }
        if (cosine <= options.gtol) {
            return finish(SolveStatus::GradientTolerance);
        }
        const double scaled_gradient = gradient.cwiseQuotient(scale).norm();

        // Steps from x until one lowers the cost enough.
        double ratio = 0.0;
        do {
            // A damping too small for a singular J^T J grows until the
            // damped matrix is safely positive definite.
            while (!linear.step(scale, damping, step)) {
                damping = std::max(10.0 * damping, least_damping);
                least_damping = std::min(damping, kSingularDamping);
                if (damping > kLargestDamping) {
                    return finish(SolveStatus::Precision);
                }
            }
            trial_x = x + step;
            const double step_norm = scaled_norm(scale, step);
            ++end.iterations;
            double drop = -1.0;  // relative; -1 stands for a step that raises the cost a hundredfold or more
            bool overshoot = true;
            double trial_cost = 0.0;
            if (model.try_residuals(trial_x, trial_r)) {
                trial_cost = model.cost(trial_r);
                overshoot = trial_cost >= 100.0 * cost;
                if (!overshoot) {
                    drop = model.cost_drop(r, trial_r) / cost;
                }
            }
            // The damped step solves (J^T J + damping D^2) p = -J^T f, so
            // the model's drop is 0.5 |J p|^2 + damping |D p|^2, without
            // cancellation.
            const double model_part = linear.model_norm(step);
            const double damping_part = std::sqrt(damping) * step_norm;
            const double predicted = (0.5 * model_part * model_part + damping_part * damping_part) / cost;
            ratio = predicted > 0.0 ? drop / predicted : 0.0;

            // A step too small for the cost to judge in double precision is
            // judged by the gradient, as in the dense iteration. A damped
            // step the gradient does not confirm may only be too short:
            // the Gauss-Newton step (the least damping) tries next, and
            // only where that fails too can no step do better.
            bool rounding_floor = false;
            bool retry_gauss_newton = false;
            bool gradient_judged = false;
            if (!overshoot && predicted < kUnresolved && drop > -kUnresolved) {
                evaluate_jacobian(trial_x, trial_jacobian);
                if (all_finite(trial_jacobian)) {
                    VectorXd trial_weighed_r;
                    std::vector<double> trial_weighed;
                    weigh_rows(options, pattern, trial_r, trial_jacobian, trial_weighed_r, trial_weighed);
                    VectorXd trial_gradient = VectorXd::Zero(n);
                    for (Index i = 0; i < trial_r.size(); ++i) {
                        for (std::int64_t a = pattern.row_starts[static_cast<std::size_t>(i)];
                             a < pattern.row_starts[static_cast<std::size_t>(i) + 1]; ++a) {
                            trial_gradient(pattern.column_indices[static_cast<std::size_t>(a)]) +=
                                trial_weighed[static_cast<std::size_t>(a)] * trial_weighed_r(i);
                        }
                    }
                    gradient_judged = trial_gradient.cwiseQuotient(scale).norm() < kGradientDrop * scaled_gradient &&
                                      (first || step_norm < last_step_norm);
                }
                retry_gauss_newton = !gradient_judged && damping > least_damping;
                rounding_floor = !gradient_judged && !retry_gauss_newton;
                ratio = gradient_judged ? 1.0 : 0.0;
            }

            if (ratio >= kAccept) {
                // A tenth of the damping after a step the model predicted
                // well, a third after a fair one (a ratio of 1/4 to 3/4),
                // where Nielsen's update would leave it nearly as it was:
                // near a line the steps across it keep such ratios while
                // the damping still holds them back. Below 1/4, Nielsen's
                // update, at most doubling it. A step the gradient confirmed
                // says nothing of the model: its damping stays, since less
                // may overshoot where the residuals' curvature outweighs
                // J^T J.
                const double t = 2.0 * ratio - 1.0;
                const double factor = gradient_judged ? 1.0
                                      : ratio > 0.75  ? 0.1
                                      : ratio >= 0.25 ? 1.0 / 3.0
                                                      : std::max(1.0 / 3.0, 1.0 - t * t * t);
                least_damping = std::max(least_damping * 0.1, kSmallestDamping);
                damping = std::max(damping * factor, least_damping);
                growth = 2.0;
                last_step_norm = step_norm;
                x.swap(trial_x);
                r.swap(trial_r);
                cost = trial_cost;
                x_norm = scaled_norm(scale, x);
                have_jacobian = gradient_judged;
                if (gradient_judged) {
                    end.jacobian.swap(trial_jacobian);
                }
                first = false;
            } else if (retry_gauss_newton) {
                damping = least_damping;
            } else {
                // The damping grows as the dense iteration's radius shrinks:
                // by the step along which a parabola through the cost, its
                // slope and the trial cost is least (between a tenth and a
                // half of this one), or by Nielsen's doubling growth where
                // that is more, since a damping far below J^T J's larger
                // eigenvalues hardly shortens the step. A jump to a fixed
                // damping left the steps across a line too short to reach
                // the minimum before xtol stopped them.
                const double slope = -(model_part * model_part + damping_part * damping_part) / (2.0 * cost);
                double shrink = drop >= 0.0 ? 0.5 : 0.5 * slope / (slope + 0.5 * drop);
                if (overshoot || shrink < 0.1) {
                    shrink = 0.1;
                }
                damping *= std::max(growth, 1.0 / shrink);
                growth *= 2.0;
            }
            if (options.on_iteration) {
                SolveIteration report;
                report.iteration = end.iterations;
                report.cost = cost;
                report.step_norm = step.norm();
                report.gradient_norm = gradient.lpNorm<Eigen::Infinity>();
                // The damped step is the trust-region step of the radius
                // it has.
                report.trust_radius = step_norm;
                report.accepted = ratio >= kAccept;
                options.on_iteration(report);
            }

            if (std::fabs(drop) <= options.ftol && predicted <= options.ftol && ratio <= 2.0) {
                return finish(SolveStatus::FunctionTolerance);
            }
            if (step_norm <= options.xtol * x_norm) {
                return finish(SolveStatus::StepTolerance);
            }
            if (rounding_floor) {
                return finish(SolveStatus::Precision);
            }
            if (end.iterations >= options.max_iterations) {
                return finish(SolveStatus::MaxIterations);
            }
            if (damping > kLargestDamping || step_norm <= kEpsilon * x_norm || cosine <= kEpsilon) {
                return finish(SolveStatus::Precision);
            }
        } while (ratio < kAccept);
    }
}

}  // namespace varnel::symbolic
