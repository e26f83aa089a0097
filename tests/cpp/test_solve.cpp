// Least squares and equation solving: known solutions, the losses against
// their definitions, the covariance against a finite-difference Hessian,
// the update rule, and the refusal of bad problems and options without a
// trace in the graph.
#include <cmath>
#include <random>

#include "symbolic/elementary.h"
#include "symbolic/solve.h"
#include "test_support.h"

namespace {

using sym::Loss;
using sym::SolveOptions;
using sym::SolveStatus;
using sym::SolveSummary;

double lane(const SolveSummary& summary, std::size_t unknown, int index = 0) {
    return summary.x[unknown].lanes[static_cast<std::size_t>(index)];
}

// y = a + b t + c t^2 at a few t, with known noise, fitted by residuals
// linear in the unknowns.
struct Quadratic {
    std::vector<double> t{-2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 3.0};
    std::vector<double> y;
    Value a = sym::undefined_with_hint(1.0, "a");
    Value bc = sym::undefined_with_hint(1.0, -1.0, "bc");
    std::vector<Value> residuals;

    Quadratic() {
        const double noise[] = {0.1, -0.2, 0.05, 0.0, -0.1, 0.2, -0.05, 0.1};
        for (std::size_t i = 0; i < t.size(); ++i) {
            y.push_back(0.5 - 1.5 * t[i] + 2.0 * t[i] * t[i] + noise[i]);
            residuals.push_back(a + sym::component(bc, 0) * t[i] + sym::component(bc, 1) * (t[i] * t[i]) - y[i]);
        }
    }

    // The least-squares solution from the normal equations, by Cramer's
    // rule on the 3-by-3 system: independent of the solver's QR.
    std::array<double, 3> exact() const {
        double m[3][3] = {};
        double v[3] = {};
        for (std::size_t i = 0; i < t.size(); ++i) {
            const double row[3] = {1.0, t[i], t[i] * t[i]};
            for (int r = 0; r < 3; ++r) {
                v[r] += row[r] * y[i];
                for (int c = 0; c < 3; ++c) m[r][c] += row[r] * row[c];
            }
        }
        auto det = [](double k[3][3]) {
            return k[0][0] * (k[1][1] * k[2][2] - k[1][2] * k[2][1]) -
                   k[0][1] * (k[1][0] * k[2][2] - k[1][2] * k[2][0]) +
                   k[0][2] * (k[1][0] * k[2][1] - k[1][1] * k[2][0]);
        };
        const double d = det(m);
        std::array<double, 3> x{};
        for (int c = 0; c < 3; ++c) {
            double k[3][3];
            for (int r = 0; r < 3; ++r)
                for (int j = 0; j < 3; ++j) k[r][j] = j == c ? v[r] : m[r][j];
            x[static_cast<std::size_t>(c)] = det(k) / d;
        }
        return x;
    }
};

TEST(LeastSquares, LinearResidualsAreSolvedByTheFirstStep) {
    Quadratic q;
    const sym::LeastSquaresProblem problem(q.residuals, {q.a, q.bc});
    const std::array<double, 3> exact = q.exact();
    SolveOptions one;
    one.max_iterations = 1;
    const SolveSummary first = sym::least_squares(problem, one);
    EXPECT_EQ(first.iterations, 1);
    EXPECT_EQ(first.status, SolveStatus::MaxIterations);
    EXPECT_NEAR(lane(first, 0), exact[0], 1e-12);
    EXPECT_NEAR(lane(first, 1, 0), exact[1], 1e-12);
    EXPECT_NEAR(lane(first, 1, 1), exact[2], 1e-12);

    const SolveSummary full = sym::least_squares(problem);
    EXPECT_TRUE(full.success) << full.message;
    EXPECT_NEAR(lane(full, 1, 1), exact[2], 1e-12);
    EXPECT_EQ(full.residual_lanes, 8);
    EXPECT_EQ(full.unknown_lanes, 3);
    EXPECT_EQ(full.residual_evaluations, full.iterations + 1);
    double cost = 0.0;
    for (double r : full.residuals) cost += 0.5 * r * r;
    EXPECT_DOUBLE_EQ(full.cost, cost);
    // The Jacobian of a linear model is its design matrix.
    for (std::size_t i = 0; i < q.t.size(); ++i) {
        EXPECT_EQ(full.jacobian[i * 3 + 0], 1.0);
        EXPECT_EQ(full.jacobian[i * 3 + 1], q.t[i]);
        EXPECT_EQ(full.jacobian[i * 3 + 2], q.t[i] * q.t[i]);
    }
}

TEST(LeastSquares, RosenbrockReachesItsMinimumFromTheClassicStart) {
    const Value x = sym::undefined_with_hint(-1.2, "x");
    const Value y = sym::undefined_with_hint(1.0, "y");
    const sym::LeastSquaresProblem problem({10.0 * (y - x * x), 1.0 - x}, {x, y});
    const SolveSummary s = sym::least_squares(problem);
    EXPECT_TRUE(s.success) << s.message;
    EXPECT_NEAR(lane(s, 0), 1.0, 1e-14);
    EXPECT_NEAR(lane(s, 1), 1.0, 1e-14);
    EXPECT_LT(s.cost, 1e-28);
    // No degrees of freedom: no covariance.
    EXPECT_TRUE(s.covariance.empty());
    EXPECT_TRUE(s.standard_errors.empty());
}

TEST(LeastSquares, NonzeroResidualMinimumIsFound) {
    // (x^2 - 1)^2 + (x^2 - 3)^2 is least at x^2 = 2, where the cost is 1.
    const Value x = sym::undefined_with_hint(0.5, "x");
    const sym::LeastSquaresProblem problem({x * x - 1.0, x * x - 3.0}, {x});
    const SolveSummary s = sym::least_squares(problem);
    EXPECT_TRUE(s.success) << s.message;
    EXPECT_NEAR(lane(s, 0), std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(s.cost, 1.0, 1e-15);
    ASSERT_EQ(s.standard_errors.size(), 1u);
    // s^2 = 2 / (2 - 1), J = (2x, 2x): (J^T J)^-1 = 1 / (8 x^2) = 1/16.
    EXPECT_NEAR(s.covariance[0], 2.0 / 16.0, 1e-14);
}

// rho of each loss, written out independently of the solver's table.
double rho(Loss loss, double z) {
    switch (loss) {
        case Loss::Linear: return z;
        case Loss::Huber: return z <= 1.0 ? z : 2.0 * std::sqrt(z) - 1.0;
        case Loss::SoftL1: return 2.0 * (std::sqrt(1.0 + z) - 1.0);
        case Loss::Cauchy: return std::log(1.0 + z);
        case Loss::Arctan: return std::atan(z);
    }
    return 0.0;
}

class Losses : public testing::TestWithParam<Loss> {};

TEST_P(Losses, CostIsTheDefinitionAndTheSolutionIsStationary) {
    const Loss loss = GetParam();
    const double f_scale = 0.5;
    // A line through points, one of them far off.
    const std::vector<double> t{0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
    const std::vector<double> y{1.1, 2.9, 5.05, 7.0, 30.0, 10.95};
    const Value ab = sym::undefined_with_hint(0.0, 0.0, "ab");
    std::vector<Value> residuals;
    for (std::size_t i = 0; i < t.size(); ++i) {
        residuals.push_back(sym::component(ab, 0) + sym::component(ab, 1) * t[i] - y[i]);
    }
    SolveOptions options;
    options.loss = loss;
    options.f_scale = f_scale;
    const SolveSummary s = sym::least_squares(sym::LeastSquaresProblem(residuals, {ab}), options);
    ASSERT_TRUE(s.success) << s.message;

    double cost = 0.0;
    double gradient[2] = {0.0, 0.0};
    const double h = 1e-7;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double r = s.residuals[i];
        EXPECT_NEAR(r, lane(s, 0, 0) + lane(s, 0, 1) * t[i] - y[i], 1e-13);
        const double z = r * r / (f_scale * f_scale);
        cost += 0.5 * f_scale * f_scale * rho(loss, z);
        // d(cost term)/dr by central differences of the definition.
        const double slope = 0.5 * f_scale * f_scale *
                             (rho(loss, (r + h) * (r + h) / (f_scale * f_scale)) -
                              rho(loss, (r - h) * (r - h) / (f_scale * f_scale))) / (2.0 * h);
        gradient[0] += slope;
        gradient[1] += slope * t[i];
    }
    EXPECT_NEAR(s.cost, cost, 1e-12 * cost);
    EXPECT_NEAR(gradient[0], 0.0, 1e-6);
    EXPECT_NEAR(gradient[1], 0.0, 1e-6);
    if (loss == Loss::Linear) {
        EXPECT_GT(std::fabs(lane(s, 0, 1) - 2.0), 0.5);  // the outlier pulls the slope away
    } else {
        EXPECT_NEAR(lane(s, 0, 1), 2.0, 0.1);  // the line through the other five
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLoss, Losses,
                         testing::Values(Loss::Linear, Loss::Huber, Loss::SoftL1, Loss::Cauchy, Loss::Arctan),
                         [](const testing::TestParamInfo<Loss>& info) {
                             std::string name = sym::to_string(info.param);
                             name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
                             return name;
                         });

TEST(LeastSquares, LossNamesRoundTrip) {
    for (Loss loss : {Loss::Linear, Loss::Huber, Loss::SoftL1, Loss::Cauchy, Loss::Arctan}) {
        EXPECT_EQ(sym::loss_from_string(sym::to_string(loss)), loss);
    }
    EXPECT_ERROR(std::invalid_argument,
                 "loss must be one of linear, huber, soft_l1, cauchy, arctan, got 'l2'", sym::loss_from_string("l2"));
}

TEST(LeastSquares, CovarianceIsTheInverseOfAFiniteDifferenceHessian) {
    // y = a / (1 + b t) with small noise: near the solution the cost's
    // Hessian is J^T J up to the residuals' curvature, which is small.
    const Value a = sym::undefined_with_hint(1.0, "a");
    const Value b = sym::undefined_with_hint(0.1, "b");
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 1e-4);
    std::vector<Value> residuals;
    for (int i = 0; i < 30; ++i) {
        const double t = 0.2 * i;
        residuals.push_back(a / (1.0 + b * t) - (3.0 / (1.0 + 0.7 * t) + noise(rng)));
    }
    const sym::LeastSquaresProblem problem(residuals, {a, b});
    const SolveSummary s = sym::least_squares(problem);
    ASSERT_TRUE(s.success) << s.message;
    ASSERT_EQ(s.covariance.size(), 4u);

    auto cost_at = [&](double da, double db) {
        const std::vector<SmallValue> out =
            problem.function().evaluate({sym::small_value(lane(s, 0) + da), sym::small_value(lane(s, 1) + db)});
        double c = 0.0;
        for (const SmallValue& r : out) c += 0.5 * r.lanes[0] * r.lanes[0];
        return c;
    };
    const double h[2] = {1e-4 * std::fabs(lane(s, 0)), 1e-4 * std::fabs(lane(s, 1))};
    double hessian[2][2];
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            auto at = [&](double si, double sj) {
                double d[2] = {0.0, 0.0};
                d[i] += si * h[i];
                d[j] += sj * h[j];
                return cost_at(d[0], d[1]);
            };
            hessian[i][j] = (at(1, 1) - at(1, -1) - at(-1, 1) + at(-1, -1)) / (4.0 * h[i] * h[j]);
        }
    }
    double sum_squares = 0.0;
    for (double r : s.residuals) sum_squares += r * r;
    const double s2 = sum_squares / (30.0 - 2.0);
    const double det = hessian[0][0] * hessian[1][1] - hessian[0][1] * hessian[1][0];
    const double expected[4] = {s2 * hessian[1][1] / det, -s2 * hessian[0][1] / det, -s2 * hessian[1][0] / det,
                                s2 * hessian[0][0] / det};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(s.covariance[static_cast<std::size_t>(k)], expected[k], 1e-3 * std::fabs(expected[k])) << k;
    }
    EXPECT_DOUBLE_EQ(s.standard_errors[1], std::sqrt(s.covariance[3]));
}

TEST(LeastSquares, AnUnknownTheResidualsIgnoreStaysAndLeavesNoCovariance) {
    const Value a = sym::undefined_with_hint(0.0, "a");
    const Value idle = sym::undefined_with_hint(7.0, "idle");
    const sym::LeastSquaresProblem problem({a - 1.0, a - 2.0, a - 3.0}, {a, idle});
    const SolveSummary s = sym::least_squares(problem);
    EXPECT_TRUE(s.success) << s.message;
    EXPECT_NEAR(lane(s, 0), 2.0, 1e-15);
    EXPECT_EQ(lane(s, 1), 7.0);
    EXPECT_TRUE(s.covariance.empty());
}

TEST(LeastSquares, ParametersThatAreNotUnknownsAreReadAsTheyAre) {
    const Value x = sym::undefined_with_hint(0.0, "x");
    const Value target = sym::parameter(4.0, "target");
    const sym::LeastSquaresProblem problem({x - target}, {x});
    EXPECT_NEAR(lane(sym::least_squares(problem), 0), 4.0, 1e-15);
    target.set_value(sym::small_value(-2.0));
    EXPECT_NEAR(lane(sym::least_squares(problem), 0), -2.0, 1e-15);
}

TEST(LeastSquares, AStepToWhereTheResidualsAreNotFiniteIsRefusedLikeAWorseOne) {
    // From x = 1 the Gauss-Newton step of log(x) + 5 goes to x = -4, where
    // the logarithm is NaN; shorter steps reach exp(-5).
    const Value x = sym::undefined_with_hint(1.0, "x");
    std::vector<sym::SolveIteration> steps;
    SolveOptions options;
    options.on_iteration = [&](const sym::SolveIteration& step) { steps.push_back(step); };
    const SolveSummary s = sym::solve(sym::LeastSquaresProblem({sym::log(x) + 5.0}, {x}), options);
    EXPECT_TRUE(s.success) << s.message;
    EXPECT_NEAR(lane(s, 0), std::exp(-5.0), 1e-17);
    ASSERT_FALSE(steps.empty());
    EXPECT_FALSE(steps.front().accepted);
    EXPECT_EQ(steps.front().cost, 12.5);  // still the start's
}

TEST(LeastSquares, ResidualsWhoseSquaresOverflowAtTheStartAreNotFiniteNotConverged) {
    // exp(400) is finite; its square is not, and neither is the gradient.
    const Value x = sym::undefined_with_hint(400.0, "x");
    const SolveSummary s = sym::least_squares(sym::LeastSquaresProblem({sym::exp(x) - 1.0, sym::exp(x) - 2.0}, {x}));
    EXPECT_FALSE(s.success);
    EXPECT_EQ(s.status, SolveStatus::NotFinite);
    EXPECT_NE(s.message.find("overflow"), std::string::npos) << s.message;
    EXPECT_EQ(lane(s, 0), 400.0);
    EXPECT_TRUE(s.covariance.empty());
    EXPECT_TRUE(s.standard_errors.empty());
}

TEST(LeastSquares, AnUnknownWhoseColumnIsBelowTheRoundingOfAnotherStillMoves) {
    // At (0, 100) the column of y is exp(-100), 1e-50 of x's: a trust region
    // scaled by it alone is so long along y that its steps change nothing
    // the cost can see. The iteration must go on to the valley where
    // x y = 1e-4, whose cost falls toward 0.5e-8.
    const Value x = sym::undefined_with_hint(0.0, "x");
    const Value y = sym::undefined_with_hint(100.0, "y");
    SolveOptions options;
    options.max_iterations = 200;
    const SolveSummary s = sym::least_squares(
        sym::LeastSquaresProblem({1e4 * x * y - 1.0, sym::exp(-x) + sym::exp(-y) - 1.0001}, {x, y}), options);
    EXPECT_LT(s.cost, 0.51e-8) << s.message;
    EXPECT_NEAR(lane(s, 0) * lane(s, 1), 1e-4, 1e-12);
}

TEST(LeastSquares, SqrtDistancesFitACircleWithItsStandardErrors) {
    // Points exactly on a circle of radius 2 about (1, -1): zero residuals,
    // so zero standard errors, from a start well off.
    const Value centre = sym::parameter(0.0, 0.0, "centre");
    const Value radius = sym::parameter(1.0, "radius");
    std::vector<Value> residuals;
    for (int k = 0; k < 12; ++k) {
        const double angle = 0.5 * k;
        const Value d = centre - sym::constant(1.0 + 2.0 * std::cos(angle), -1.0 + 2.0 * std::sin(angle));
        residuals.push_back(sym::sqrt(sym::component(d, 0) * sym::component(d, 0) +
                                      sym::component(d, 1) * sym::component(d, 1)) - radius);
    }
    const SolveSummary s = sym::least_squares(sym::LeastSquaresProblem(residuals, {centre, radius}));
    ASSERT_TRUE(s.success) << s.message;
    EXPECT_NEAR(lane(s, 0, 0), 1.0, 1e-14);
    EXPECT_NEAR(lane(s, 0, 1), -1.0, 1e-14);
    EXPECT_NEAR(lane(s, 1), 2.0, 1e-14);
    ASSERT_EQ(s.standard_errors.size(), 3u);
    for (double e : s.standard_errors) EXPECT_LT(e, 1e-13);
}

// --- update, and nothing changed otherwise -----------------------------------

TEST(LeastSquares, UpdateWritesParameterUnknownsOnlyOnSuccess) {
    const Value p = sym::parameter(3.0, 1.0, "p");
    const Value u = sym::undefined_with_hint(0.0, "u");
    const std::vector<Value> residuals{sym::component(p, 0) * sym::component(p, 0) - 2.0,
                                       sym::component(p, 1) - u, u - 5.0};
    const sym::LeastSquaresProblem problem(residuals, {p, u});

    const SolveSummary plain = sym::least_squares(problem);
    ASSERT_TRUE(plain.success);
    EXPECT_EQ(p.value().lanes[0], 3.0);  // update not asked
    EXPECT_FALSE(p.has_grad());

    SolveOptions failing;
    failing.update = true;
    failing.max_iterations = 1;
    const SolveSummary failed = sym::least_squares(problem, failing);
    ASSERT_FALSE(failed.success);
    EXPECT_EQ(p.value().lanes[0], 3.0);
    EXPECT_EQ(p.value().lanes[1], 1.0);

    SolveOptions updating;
    updating.update = true;
    const SolveSummary done = sym::least_squares(problem, updating);
    ASSERT_TRUE(done.success);
    EXPECT_EQ(p.value().lanes[0], lane(done, 0, 0));
    EXPECT_EQ(p.value().lanes[1], lane(done, 0, 1));
    EXPECT_NEAR(p.value().lanes[0], std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(p.value().lanes[1], 5.0, 1e-15);
    EXPECT_FALSE(p.has_grad());
    EXPECT_FALSE(u.has_hint() && u.hint().lanes[0] != 0.0);  // hints are never written
}

TEST(LeastSquares, AnExceptionFromTheCallbackEndsTheSolveAndUpdatesNothing) {
    const Value p = sym::parameter(3.0, "p");
    const sym::LeastSquaresProblem problem({p * p - 2.0}, {p});
    SolveOptions options;
    options.update = true;
    int calls = 0;
    options.on_iteration = [&](const sym::SolveIteration& step) {
        EXPECT_EQ(step.iteration, ++calls);
        if (calls == 2) throw std::runtime_error("stop");
    };
    EXPECT_ERROR(std::runtime_error, "stop", sym::least_squares(problem, options));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(p.value().lanes[0], 3.0);
}

TEST(LeastSquares, ReportsEveryStep) {
    const Value x = sym::undefined_with_hint(-1.2, "x");
    const Value y = sym::undefined_with_hint(1.0, "y");
    SolveOptions options;
    std::vector<sym::SolveIteration> steps;
    options.on_iteration = [&](const sym::SolveIteration& step) { steps.push_back(step); };
    const SolveSummary s = sym::least_squares(sym::LeastSquaresProblem({10.0 * (y - x * x), 1.0 - x}, {x, y}), options);
    ASSERT_EQ(static_cast<int>(steps.size()), s.iterations);
    int accepted = 0;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        EXPECT_EQ(steps[k].iteration, static_cast<int>(k) + 1);
        EXPECT_GT(steps[k].trust_radius, 0.0);
        accepted += steps[k].accepted ? 1 : 0;
        if (k > 0) {
            EXPECT_LE(steps[k].cost, steps[k - 1].cost);  // the cost never rises
        }
    }
    EXPECT_EQ(s.jacobian_evaluations, accepted + 1);
    EXPECT_EQ(steps.back().cost, s.cost);
}

// --- equations ----------------------------------------------------------------

TEST(Solve, TwoCirclesMeetWhereTheHintsPoint) {
    // Points at distance 5 from (0, 0) and from (6, 0): (3, 4) and (3, -4).
    const Value p = sym::undefined_with_hint(2.0, -1.0, "p");
    const Value px = sym::component(p, 0);
    const Value py = sym::component(p, 1);
    const sym::LeastSquaresProblem problem({px * px + py * py - 25.0, (px - 6.0) * (px - 6.0) + py * py - 25.0}, {p});
    const SolveSummary s = sym::solve(problem);
    EXPECT_TRUE(s.success) << s.message;
    EXPECT_EQ(s.status, SolveStatus::Solved);
    EXPECT_NEAR(lane(s, 0, 0), 3.0, 1e-14);
    EXPECT_NEAR(lane(s, 0, 1), -4.0, 1e-14);
    const SolveSummary other = sym::solve(problem, {sym::small_value(1.0, 1.0)});
    EXPECT_NEAR(lane(other, 0, 1), 4.0, 1e-14);
}

TEST(Solve, InconsistentEquationsAreReportedNotSolved) {
    const Value p = sym::parameter(0.0, "p");
    const sym::LeastSquaresProblem problem({p - 1.0, p - 2.0}, {p});
    SolveOptions options;
    options.update = true;
    const SolveSummary s = sym::solve(problem, options);
    EXPECT_FALSE(s.success);
    EXPECT_EQ(s.status, SolveStatus::NotSolved);
    EXPECT_NEAR(lane(s, 0), 1.5, 1e-15);  // the least-squares point
    EXPECT_NE(s.message.find("above tolerance"), std::string::npos) << s.message;
    EXPECT_EQ(p.value().lanes[0], 0.0);

    options.tolerance = 0.6;  // now the residuals of 0.5 are within it
    EXPECT_TRUE(sym::solve(problem, options).success);
    EXPECT_NEAR(p.value().lanes[0], 1.5, 1e-15);
}

// --- refusals -------------------------------------------------------------------

TEST(LeastSquaresErrors, BadProblemsAreRefusedByName) {
    const Value x = sym::undefined_with_hint(1.0, "x");
    const Value y = sym::undefined(1, "y");
    const Value c = sym::constant(2.0);
    const std::vector<Value> sum{x + y};
    const std::vector<Value> both{x + y, x - y};
    const std::vector<Value> doubled{c * x};
    const std::uint64_t before = next_id();
    EXPECT_ERROR(std::logic_error,
                 std::string(kUndefined) + ": the Undefined 'y' is not an input of the function",
                 sym::LeastSquaresProblem(sum, {x}));
    EXPECT_ERROR(std::invalid_argument, "least squares needs at least one residual", sym::LeastSquaresProblem({}, {x}));
    EXPECT_ERROR(std::invalid_argument, "least squares needs at least one unknown",
                 sym::LeastSquaresProblem({c}, {}));
    // Before what the compile would find below the residuals.
    EXPECT_ERROR(std::invalid_argument, "least squares needs at least one unknown",
                 sym::LeastSquaresProblem(sum, {}));
    EXPECT_ERROR(std::invalid_argument, "function input is listed twice", sym::LeastSquaresProblem({x, x}, {x, x}));
    EXPECT_ERROR(std::invalid_argument, "function inputs must be Undefined or Parameter values",
                 sym::LeastSquaresProblem(doubled, {x, c}));
    EXPECT_ERROR(std::invalid_argument,
                 "least squares needs at least as many residual lanes as unknown lanes, got 1 for 2",
                 sym::LeastSquaresProblem(sum, {x, y}));
    EXPECT_ERROR(std::invalid_argument, "unknown Undefined<1>#" + std::to_string(y.id()) +
                                            "(y) has no hint: give it one or pass x0",
                 sym::least_squares(sym::LeastSquaresProblem(both, {x, y})));
    EXPECT_EQ(next_id(), before + 1);  // no node made but next_id's own
}

TEST(LeastSquaresErrors, BadOptionsAndStartsAreRefusedBeforeAnyEvaluation) {
    const Value p = sym::parameter(1.0, "p");
    const Value q = sym::undefined_with_hint(1.0, 2.0, "q");
    const sym::LeastSquaresProblem problem({p - 1.0, q - 2.0}, {p, q});
    auto with = [](auto change) {
        SolveOptions options;
        options.update = true;
        change(options);
        return options;
    };
    const char* finite_tolerance = " must be a finite number of at least 0";
    struct Case {
        SolveOptions options;
        std::string message;
    };
    const std::vector<Case> cases{
        {with([](SolveOptions& o) { o.f_scale = 0.0; }), "f_scale must be a finite number above 0"},
        {with([](SolveOptions& o) { o.f_scale = kNaN; }), "f_scale must be a finite number above 0"},
        {with([](SolveOptions& o) { o.f_scale = kInf; }), "f_scale must be a finite number above 0"},
        {with([](SolveOptions& o) { o.max_iterations = 0; }), "max_iterations must be at least 1"},
        {with([](SolveOptions& o) { o.ftol = -1e-9; }), std::string("ftol") + finite_tolerance},
        {with([](SolveOptions& o) { o.xtol = kNaN; }), std::string("xtol") + finite_tolerance},
        {with([](SolveOptions& o) { o.gtol = kInf; }), std::string("gtol") + finite_tolerance},
        {with([](SolveOptions& o) { o.tolerance = -1.0; }), std::string("tolerance") + finite_tolerance},
    };
    for (const Case& c : cases) {
        EXPECT_ERROR(std::invalid_argument, c.message, sym::least_squares(problem, c.options));
        EXPECT_ERROR(std::invalid_argument, c.message, sym::solve(problem, c.options));
    }
    EXPECT_ERROR(std::invalid_argument, "solve needs the linear loss",
                 sym::solve(problem, with([](SolveOptions& o) { o.loss = Loss::Cauchy; })));
    EXPECT_ERROR(std::invalid_argument, "x0 has 1 values, expected 2 (one per unknown)",
                 sym::least_squares(problem, {sym::small_value(1.0)}));
    EXPECT_ERROR(std::invalid_argument, "x0 value 1 has dimension 3, expected 2",
                 sym::least_squares(problem, {sym::small_value(1.0), sym::small_value(1.0, 2.0, 3.0)}));
    SmallValue not_finite;
    not_finite.dimension = 1;
    not_finite.lanes[0] = kNaN;
    EXPECT_ERROR(std::invalid_argument, "x0 value 0 is not finite",
                 sym::least_squares(problem, {not_finite, sym::small_value(1.0, 2.0)}));
    // Residuals that are not finite at the start: the evaluation's error.
    const Value z = sym::undefined_with_hint(0.0, "z");
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::least_squares(sym::LeastSquaresProblem({1.0 / z}, {z})));
    EXPECT_EQ(p.value().lanes[0], 1.0);
    EXPECT_FALSE(p.has_grad());
}

TEST(LeastSquares, AProblemFromAFunctionSolvesAsFromItsParts) {
    const Value x = sym::undefined_with_hint(3.0, "x");
    sym::Function f({x * x - 2.0}, {x});
    const SolveSummary s = sym::solve(sym::LeastSquaresProblem(f));
    EXPECT_TRUE(s.success);
    EXPECT_NEAR(lane(s, 0), std::sqrt(2.0), 1e-15);
}

}  // namespace
