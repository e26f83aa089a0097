// The trust-region Levenberg-Marquardt iteration with More's scaling: the
// trust region is an ellipsoid |D p| <= radius, where D holds the largest
// norm each Jacobian column has had, so the method does not depend on the
// units of the unknowns. The radius follows the ratio of the actual to the
// predicted drop of the cost. Two additions carry it to the last digits:
// near the minimum of a problem whose residuals stay large, a model with
// the residuals' curvature (learnt from the steps) replaces Gauss-Newton's
// linear convergence by a faster one; and steps too small for the cost to
// judge are judged by the gradient.
#include "symbolic/detail/levenberg_marquardt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "symbolic/detail/dense_step.h"
#include "symbolic/detail/loss.h"
#include "symbolic/detail/residual_curvature.h"

namespace varnel::symbolic {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

ResidualModel::ResidualModel(const Function& function, Loss loss, double f_scale, bool keep_derivatives)
    : function_(function),
      loss_(loss),
      f_scale_(f_scale),
      rows_(function.output_lanes()),
      columns_(function.input_lanes()),
      lanes_(function),
      keep_derivatives_(keep_derivatives) {}

std::vector<SmallValue> ResidualModel::values_of(const VectorXd& x) const {
    std::vector<SmallValue> values(function_.inputs().size());
    Index lane = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k].dimension = function_.inputs()[k].dimension();
        for (int i = 0; i < values[k].dimension; ++i) {
            values[k].lanes[static_cast<std::size_t>(i)] = x(lane++);
        }
    }
    return values;
}

void ResidualModel::residuals(const VectorXd& x, VectorXd& r) {
    ++residual_evaluations;
    lanes_.forward(x, keep_derivatives_);
    r.resize(rows_);
    lanes_.outputs(r.data());
}

bool ResidualModel::try_residuals(const VectorXd& x, VectorXd& r) {
    // The evaluation refuses a lane that is not finite, in the unknowns or
    // anywhere in the graph, with this class; nothing else of it can fail
    // for inputs of the right dimensions.
    try {
        residuals(x, r);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

void ResidualModel::jacobian(const VectorXd& x, MatrixXd& jacobian) {
    ++jacobian_evaluations;
    const std::vector<double> rows = function_.jacobian(values_of(x));
    jacobian = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        rows.data(), rows_, columns_);
}

double ResidualModel::cost(const VectorXd& r) const {
    if (loss_ == Loss::Linear) {
        return 0.5 * r.squaredNorm();
    }
    const double c2 = f_scale_ * f_scale_;
    double sum = 0.0;
    for (Index i = 0; i < r.size(); ++i) {
        sum += loss_terms(loss_, r(i) * r(i) / c2).rho;
    }
    return 0.5 * c2 * sum;
}

double ResidualModel::cost_drop(const VectorXd& r, const VectorXd& next) const {
    if (loss_ == Loss::Linear) {
        // |r|^2 - |next|^2 term by term: no cancellation between two large
        // sums when the step changes them little.
        return 0.5 * (r - next).dot(r + next);
    }
    return cost(r) - cost(next);
}

void ResidualModel::weigh(const VectorXd& r, const MatrixXd& jacobian, VectorXd& weighed_r,
                          MatrixXd& weighed_jacobian) const {
    weighed_r = r;
    weighed_jacobian = jacobian;
    if (loss_ == Loss::Linear) {
        return;
    }
    for (Index i = 0; i < r.size(); ++i) {
        const double weight = row_weight(loss_, f_scale_, r(i));
        weighed_r(i) *= weight;
        weighed_jacobian.row(i) *= weight;
    }
}

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// The radius after a refused first step, relative to the scaled start: at
// most as long as the unknowns themselves. Longer steps jump, on hard
// problems, to plateaus and asymptotes far from the minimum.
constexpr double kInitialRadius = 1.0;
// The least ratio of actual to predicted drop of an accepted step.
constexpr double kAccept = 1e-4;
// A relative drop of the cost below which rounding may decide its sign.
constexpr double kUnresolved = 1e-10;
// The least drop of the gradient's norm that confirms such a step.
constexpr double kGradientDrop = 0.9;

// Growth of the scaled length of the last step that rescales the radius.
constexpr double kScaleJump = 10.0;

double scaled_norm(const VectorXd& scale, const VectorXd& x) { return scale.cwiseProduct(x).norm(); }

}  // namespace

TrustRegionEnd levenberg_marquardt(ResidualModel& model, VectorXd start, VectorXd residuals,
                                   const SolveOptions& options) {
    TrustRegionEnd end;
    end.x = std::move(start);
    end.residuals = std::move(residuals);
    VectorXd& x = end.x;
    VectorXd& r = end.residuals;
    const Index n = model.columns();

    DenseStep linear;
    ResidualCurvature curvature(n);
    VectorXd weighed_r;
    MatrixXd weighed_jacobian;
    VectorXd scale;
    VectorXd trial_x(n);
    VectorXd trial_r(model.rows());
    MatrixXd trial_jacobian;
    double cost = model.cost(r);
    double radius = 0.0;
    double x_norm = 0.0;
    double damping = 0.0;
    bool first = true;
    // The model of the next step: with the residuals' curvature or without.
    bool curved = false;
    // What the curvature update needs of the last accepted step.
    VectorXd last_step;
    double last_step_norm = 0.0;
    VectorXd last_gradient;
    MatrixXd last_weighed_jacobian;

    for (;;) {
        if (end.jacobian.size() == 0) {
            model.jacobian(x, end.jacobian);
        }
        if (!end.jacobian.allFinite()) {
            end.status = SolveStatus::NotFinite;
            return end;
        }
        model.weigh(r, end.jacobian, weighed_r, weighed_jacobian);
        linear.factorize(weighed_jacobian, weighed_r);
        const VectorXd& column_norms = linear.column_norms();
        const VectorXd gradient = linear.gradient();
        // Residuals so large that their squares overflow (at the start:
        // later steps that raise the cost a hundredfold are refused), or a
        // gradient that overflows, leave nothing to follow.
        if (!std::isfinite(cost) || !gradient.allFinite()) {
            end.status = SolveStatus::NotFinite;
            return end;
        }
        if (!first) {
            // The next step takes the model that better predicted how the
            // gradient changed over the last one: unlike the cost's drop,
            // that change stays above rounding down to the last digits.
            const VectorXd change = gradient - last_gradient;
            const VectorXd plain_miss =
                change - last_weighed_jacobian.transpose() * (last_weighed_jacobian * last_step);
            const VectorXd curved_miss = plain_miss - curvature.matrix() * last_step;
            curved = curved_miss.cwiseQuotient(scale).norm() < plain_miss.cwiseQuotient(scale).norm();
            curvature.update(last_step, change, gradient - last_weighed_jacobian.transpose() * weighed_r);
        }
        last_gradient = gradient;
        last_weighed_jacobian = weighed_jacobian;

        if (first) {
            // A column below the rounding of the largest would make the
            // region so long along its unknown that a step there changes
            // nothing the cost can see; it gets the rounding's size.
            const double largest = column_norms.maxCoeff();
            // A zero column (an unknown the residuals ignore here) gets 1.
            scale = column_norms.unaryExpr([largest](double norm) {
                return norm == 0.0 ? 1.0 : std::max(norm, kEpsilon * largest);
            });
            x_norm = scaled_norm(scale, x);
            // The first step tried is Gauss-Newton's, which solves a linear
            // problem at once; the radius becomes its length, and, should
            // it be refused, at most kInitialRadius times the scaled start.
            radius = std::numeric_limits<double>::infinity();
        } else {
            // Where a column grew by orders of magnitude over the last step,
            // the old radius would allow next to nothing along it: the
            // radius keeps that step's length, measured in the grown scale.
            // (Moderate growth is the scale settling, and left to the
            // radius' own updates.)
            const double before = scaled_norm(scale, last_step);
            scale = scale.cwiseMax(column_norms);
            if (before > 0.0) {
                const double growth = scaled_norm(scale, last_step) / before;
                if (growth > kScaleJump) {
                    radius *= growth;
                }
            }
        }

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
            end.status = SolveStatus::GradientTolerance;
            return end;
        }
        const double scaled_gradient = gradient.cwiseQuotient(scale).norm();

        // Steps from x until one lowers the cost enough.
        double ratio = 0.0;
        do {
            // The curved model's Newton step where it is a minimum inside
            // the trust region; the Levenberg-Marquardt step of the
            // Gauss-Newton model otherwise.
            VectorXd step;
            bool curved_step = curved && linear.curved_step(curvature.matrix(), step) &&
                               scaled_norm(scale, step) <= radius;
            if (!curved_step) {
                step = linear.step(scale, radius, damping);
            }
            trial_x = x + step;
            const double step_norm = scaled_norm(scale, step);
            if (first) {
                radius = std::min(radius, step_norm);
            }
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
            // The models' drops, relative. The Gauss-Newton one without
            // cancellation for the Levenberg-Marquardt step, which solves
            // (J^T J + damping D^2) p = -J^T f.
            const double model_part = linear.model_norm(step);
            const double curvature_part = step.dot(curvature.matrix() * step);
            double predicted;
            double slope;
            if (curved_step) {
                slope = gradient.dot(step) / (2.0 * cost);
                predicted = -(gradient.dot(step) + 0.5 * (model_part * model_part + curvature_part)) / cost;
            } else {
                const double damping_part = std::sqrt(damping) * step_norm;
                slope = -(model_part * model_part + damping_part * damping_part) / (2.0 * cost);
                predicted = (0.5 * model_part * model_part + damping_part * damping_part) / cost;
            }
            ratio = predicted > 0.0 ? drop / predicted : 0.0;

            // A step too small for the cost to judge, in double precision:
            // the residuals' rounding outweighs the drop the model predicts,
            // so the ratio is noise. The gradient still judges it, so the
            // iteration goes on to the minimum where the cost alone would
            // stall about half the digits short of it; where the gradient
            // does not drop either after a Gauss-Newton step, no step can
            // do better. A drop above rounding is the cost's own verdict,
            // whatever the model predicted: along an unknown whose linear
            // model is poor it can be far larger.
            bool rounding_floor = false;
            bool gradient_judged = false;
            if (!overshoot && predicted < kUnresolved && std::fabs(drop) < kUnresolved) {
                model.jacobian(trial_x, trial_jacobian);
                if (trial_jacobian.allFinite()) {
                    VectorXd trial_weighed_r;
                    MatrixXd trial_weighed_jacobian;
                    model.weigh(trial_r, trial_jacobian, trial_weighed_r, trial_weighed_jacobian);
                    const double trial_gradient =
                        (trial_weighed_jacobian.transpose() * trial_weighed_r).cwiseQuotient(scale).norm();
                    // At the floor the gradient is rounding noise and the
                    // steps stop shrinking; above it both fall steadily.
                    gradient_judged = trial_gradient < kGradientDrop * scaled_gradient &&
                                      (first || step_norm < last_step_norm);
                }
                rounding_floor = !gradient_judged && !curved_step;
                ratio = gradient_judged ? 1.0 : 0.0;
            }

            // A first step longer than the initial region stands only where
            // the model predicted it well (a linear problem's, exactly).
            if (first && x_norm != 0.0 && step_norm > kInitialRadius * x_norm && ratio < 0.75) {
                ratio = 0.0;
            }

            if (curved_step && ratio < kAccept) {
                // The curved model misled: the Gauss-Newton one tries from
                // the same point and radius.
                curved = false;
            } else if (ratio <= 0.25) {
                double factor = drop >= 0.0 ? 0.5 : 0.5 * slope / (slope + 0.5 * drop);
                if (overshoot || factor < 0.1) {
                    factor = 0.1;
                }
                radius = factor * std::min(radius, step_norm / 0.1);
                damping /= factor;
            } else if (damping == 0.0 || ratio >= 0.75) {
                radius = step_norm / 0.5;
                damping *= 0.5;
            }

            if (first && ratio < kAccept && x_norm != 0.0) {
                radius = std::min(radius, kInitialRadius * x_norm);
            }
            if (ratio >= kAccept) {
                last_step = step;
                last_step_norm = step_norm;
                x.swap(trial_x);
                r.swap(trial_r);
                cost = trial_cost;
                x_norm = scaled_norm(scale, x);
                if (gradient_judged) {
                    end.jacobian.swap(trial_jacobian);
                } else {
                    end.jacobian.resize(0, 0);
                }
                first = false;
            }
            if (options.on_iteration) {
                SolveIteration report;
                report.iteration = end.iterations;
                report.cost = cost;
                report.step_norm = step.norm();
                report.gradient_norm = gradient.lpNorm<Eigen::Infinity>();
                report.trust_radius = radius;
                report.accepted = ratio >= kAccept;
                options.on_iteration(report);
            }

            if (std::fabs(drop) <= options.ftol && predicted <= options.ftol && ratio <= 2.0) {
                end.status = SolveStatus::FunctionTolerance;
                return end;
            }
            // A short region means convergence only where the model holds
            // at its length. A step refused for overflowing, or for raising
            // the cost a hundredfold, or one that dropped the cost more
            // than twice as much as predicted, says that it does not: along
            // an unknown whose column is small next to the others' the
            // step that lands can be below the tolerances' share of the
            // scaled unknowns. The region then shrinks or grows on until a
            // step is judged by its drop (one short enough to leave x as it
            // is always is).
            const bool model_holds = !overshoot && ratio <= 2.0;
            if (model_holds && radius <= options.xtol * x_norm) {
                end.status = SolveStatus::StepTolerance;
                return end;
            }
            if (rounding_floor) {
                end.status = SolveStatus::Precision;
                return end;
            }
            if (end.iterations >= options.max_iterations) {
                end.status = SolveStatus::MaxIterations;
                return end;
            }
            if ((model_holds && radius <= kEpsilon * x_norm) || cosine <= kEpsilon) {
                end.status = SolveStatus::Precision;
                return end;
            }
        } while (ratio < kAccept);
    }
}

}  // namespace varnel::symbolic
