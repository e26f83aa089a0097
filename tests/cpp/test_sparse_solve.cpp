// The sparse way of the solver: the blocks found from the graph, the block
// Jacobian against the compiled function's dense one, the sparse step and
// selected inverse against dense algebra, and whole solves against the
// dense way, on networks of points and on random sparse problems.
#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <utility>

#include "symbolic/detail/residual_blocks.h"
#include "symbolic/detail/sparse_step.h"
#include "symbolic/elementary.h"
#include "symbolic/solve.h"
#include "symbolic/sparse_solve.h"
#include "test_support.h"

namespace {

using sym::JacobianLayout;
using sym::LayoutSolveSummary;
using sym::LeastSquaresProblem;
using sym::SolveOptions;
using sym::SolveStatus;

// A grid of points tied by the distances to their right, lower and lower
// right neighbours; the hints are the grid perturbed. Anchored, one point
// is fixed and another's y, which removes the two shifts and the turn.
struct Network {
    std::vector<Value> points;
    std::vector<Value> residuals;
    std::vector<std::array<double, 2>> truth;

    Network(int width, int height, bool anchored, unsigned seed = 7) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> perturb(-0.15, 0.15);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                truth.push_back({double(x), double(y)});
                points.push_back(sym::undefined_with_hint(x + perturb(random), y + perturb(random),
                                                          "p" + std::to_string(points.size())));
            }
        }
        auto at = [&](int x, int y) { return points[static_cast<std::size_t>(y * width + x)]; };
        auto tie = [&](int x0, int y0, int x1, int y1) {
            const Value d = at(x1, y1) - at(x0, y0);
            const Value dx = sym::component(d, 0);
            const Value dy = sym::component(d, 1);
            residuals.push_back(sym::sqrt(dx * dx + dy * dy) - std::hypot(x1 - x0, y1 - y0));
        };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (x + 1 < width) tie(x, y, x + 1, y);
                if (y + 1 < height) tie(x, y, x, y + 1);
                if (x + 1 < width && y + 1 < height) tie(x, y, x + 1, y + 1);
            }
        }
        if (anchored) {
            residuals.push_back(at(0, 0) - sym::constant(0.0, 0.0));
            residuals.push_back(sym::component(at(1, 0), 1) - 0.0);
        }
    }

    double rms_error(const sym::SolveSummary& summary) const {
        double sum = 0.0;
        for (std::size_t k = 0; k < points.size(); ++k) {
            for (std::size_t i = 0; i < 2; ++i) {
                const double e = summary.x[k].lanes[i] - truth[k][i];
                sum += e * e;
            }
        }
        return std::sqrt(sum / static_cast<double>(2 * points.size()));
    }
};

// Residuals that each reach one to three of many unknowns of one or two
// lanes, through sines and products, some through a sub-expression that
// several share: data made at known values with a little noise, so that
// the minimum's residuals are small but not zero, and hints near them.
struct RandomSparse {
    std::vector<Value> unknowns;
    std::vector<Value> residuals;

    explicit RandomSparse(unsigned seed, int count = 40) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> uniform(-1.0, 1.0);
        std::uniform_int_distribution<int> pick(0, count - 1);
        std::vector<SmallValue> truth;
        for (int k = 0; k < count; ++k) {
            const std::string name = "u" + std::to_string(k);
            const double a = uniform(random);
            const double b = uniform(random);
            const double da = 0.1 * uniform(random);
            const double db = 0.1 * uniform(random);
            truth.push_back(k % 3 == 0 ? sym::small_value(a, b) : sym::small_value(a));
            unknowns.push_back(k % 3 == 0 ? sym::undefined_with_hint(a + da, b + db, name)
                                          : sym::undefined_with_hint(a + da, name));
        }
        auto scalar = [&](int k) {
            const Value& u = unknowns[static_cast<std::size_t>(k)];
            return u.dimension() == 2 ? sym::component(u, 1) : u;
        };
        std::vector<Value> shared;
        for (int s = 0; s < count / 4; ++s) {
            shared.push_back(sym::sin(scalar(pick(random))) * scalar(pick(random)));
        }
        std::uniform_int_distribution<std::size_t> pick_shared(0, shared.size() - 1);
        // Each unknown observed on its own too, so J has full rank.
        std::vector<Value> models(unknowns);
        for (int i = 0; i < 2 * count; ++i) {
            Value r = 0.8 * sym::sin(scalar(pick(random))) + scalar(pick(random)) * scalar(pick(random));
            if (i % 2 == 0) {
                r = r + shared[pick_shared(random)];
            }
            models.push_back(r);
        }
        const std::vector<SmallValue> exact = sym::Function(models, unknowns).evaluate(truth);
        for (std::size_t i = 0; i < models.size(); ++i) {
            SmallValue data = exact[i];
            for (int lane = 0; lane < data.dimension; ++lane) {
                data.lanes[static_cast<std::size_t>(lane)] += 0.01 * uniform(random);
            }
            residuals.push_back(models[i] - sym::constant(data));
        }
    }
};

std::vector<double> lanes_of(const sym::SolveSummary& summary) {
    std::vector<double> lanes;
    for (const SmallValue& value : summary.x) {
        lanes.insert(lanes.end(), value.lanes.begin(), value.lanes.begin() + value.dimension);
    }
    return lanes;
}

TEST(ResidualBlocks, EachResidualReachesTheUnknownsBelowIt) {
    const Value a = sym::undefined_with_hint(1.0, "a");
    const Value b = sym::undefined_with_hint(1.0, 2.0, "b");
    const Value c = sym::undefined_with_hint(3.0, "c");
    const Value scale = sym::parameter(2.0, "scale");
    const Value shared = a * sym::component(b, 1);
    const std::vector<Value> residuals = {shared - 1.0, shared * c * scale, b * scale, sym::constant(1.0) + 0.0};
    const LeastSquaresProblem problem(residuals, {c, b, a});
    const sym::ResidualBlocks& blocks = sym::blocks_of(problem);
    ASSERT_EQ(blocks.size(), 4U);
    auto reached = [&](std::size_t block) {
        return std::vector<std::uint32_t>(blocks.unknowns_begin(block), blocks.unknowns_end(block));
    };
    // Indices into the unknowns' list (c, b, a), ascending.
    EXPECT_EQ(reached(0), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(reached(1), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(reached(2), (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(reached(3).empty());
    EXPECT_EQ(blocks.row_width(0), 3);
    EXPECT_EQ(blocks.row_width(1), 4);
    EXPECT_EQ(blocks.row_count(2), 2);
    EXPECT_EQ(blocks.rows(), 5);
    EXPECT_EQ(blocks.columns(), 4);
    EXPECT_EQ(sym::jacobian_nonzeros(problem), 3 + 4 + 2 * 2 + 0);
}

class BlockJacobians : public ::testing::TestWithParam<unsigned> {};

// The block Jacobian on its pattern is the compiled function's dense one,
// zero off the pattern, at points away from the start.
TEST_P(BlockJacobians, MatchTheDenseJacobian) {
    const RandomSparse problem_parts(GetParam(), 24);
    const LeastSquaresProblem problem(problem_parts.residuals, problem_parts.unknowns);
    const sym::Function& function = problem.function();
    sym::TapeLanes lanes(function);
    sym::BlockJacobian blocks(function, sym::blocks_of(problem), lanes);
    std::mt19937 random(GetParam());
    std::uniform_real_distribution<double> uniform(-2.0, 2.0);
    Eigen::VectorXd x(problem.unknown_lanes());
    for (Eigen::Index i = 0; i < x.size(); ++i) x(i) = uniform(random);
    std::vector<SmallValue> point;
    Eigen::Index lane = 0;
    for (const Value& u : function.inputs()) {
        SmallValue value;
        value.dimension = u.dimension();
        for (int i = 0; i < value.dimension; ++i) value.lanes[static_cast<std::size_t>(i)] = x(lane++);
        point.push_back(value);
    }
    const std::vector<double> dense = function.jacobian(point);
    std::vector<double> values;
    blocks.evaluate(x, values);
    const sym::CompressedRows& pattern = blocks.pattern();
    const auto n = static_cast<std::size_t>(problem.unknown_lanes());
    std::vector<double> rebuilt(dense.size(), 0.0);
    for (std::size_t r = 0; r < static_cast<std::size_t>(pattern.rows); ++r) {
        for (auto a = pattern.row_starts[r]; a < pattern.row_starts[r + 1]; ++a) {
            const auto k = static_cast<std::size_t>(a);
            rebuilt[r * n + static_cast<std::size_t>(pattern.column_indices[k])] = values[k];
        }
    }
    ASSERT_EQ(rebuilt.size(), dense.size());
    for (std::size_t i = 0; i < dense.size(); ++i) {
        EXPECT_DOUBLE_EQ(rebuilt[i], dense[i]) << "entry " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BlockJacobians, ::testing::Values(1U, 2U, 3U));

// A random sparse J: its rows each reach a few columns.
sym::CompressedRows random_pattern(unsigned seed, int rows, int columns, std::vector<double>& values) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pick(0, columns - 1);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    sym::CompressedRows pattern;
    pattern.rows = rows;
    pattern.columns = columns;
    pattern.row_starts.push_back(0);
    for (int r = 0; r < rows; ++r) {
        std::vector<int> reached = {r % columns, pick(random), pick(random)};
        std::sort(reached.begin(), reached.end());
        reached.erase(std::unique(reached.begin(), reached.end()), reached.end());
        for (int c : reached) {
            pattern.column_indices.push_back(c);
            values.push_back(uniform(random));
        }
        pattern.row_starts.push_back(static_cast<std::int64_t>(pattern.column_indices.size()));
    }
    return pattern;
}

Eigen::MatrixXd dense_of(const sym::CompressedRows& pattern, const std::vector<double>& values) {
    Eigen::MatrixXd j = Eigen::MatrixXd::Zero(pattern.rows, pattern.columns);
    for (Eigen::Index r = 0; r < pattern.rows; ++r) {
        for (auto a = pattern.row_starts[static_cast<std::size_t>(r)];
             a < pattern.row_starts[static_cast<std::size_t>(r) + 1]; ++a) {
            j(r, pattern.column_indices[static_cast<std::size_t>(a)]) = values[static_cast<std::size_t>(a)];
        }
    }
    return j;
}

// Rows list their columns in any order: ascending, as the blocks give
// them, or descending.
class SparseSteps : public ::testing::TestWithParam<std::tuple<unsigned, bool>> {};

TEST_P(SparseSteps, StepAndInverseDiagonalAreTheDenseAlgebras) {
    const auto [seed, descending] = GetParam();
    std::vector<double> values;
    sym::CompressedRows pattern = random_pattern(seed, 90, 40, values);
    if (descending) {
        for (std::size_t r = 0; r < static_cast<std::size_t>(pattern.rows); ++r) {
            std::reverse(pattern.column_indices.begin() + pattern.row_starts[r],
                         pattern.column_indices.begin() + pattern.row_starts[r + 1]);
            std::reverse(values.begin() + pattern.row_starts[r], values.begin() + pattern.row_starts[r + 1]);
        }
    }
    const Eigen::MatrixXd j = dense_of(pattern, values);
    std::mt19937 random(seed + 100);
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    Eigen::VectorXd f(pattern.rows);
    for (Eigen::Index i = 0; i < f.size(); ++i) f(i) = uniform(random) - 1.0;
    Eigen::VectorXd scale(pattern.columns);
    for (Eigen::Index i = 0; i < scale.size(); ++i) scale(i) = uniform(random);

    sym::SparseStep step(pattern);
    step.assemble(values, f);
    EXPECT_LT((step.gradient() - j.transpose() * f).norm(), 1e-12);
    EXPECT_LT((step.column_norms() - j.colwise().norm().transpose()).norm(), 1e-12);
    for (double damping : {0.0, 1e-3, 10.0}) {
        Eigen::VectorXd p;
        ASSERT_TRUE(step.step(scale, damping, p));
        const Eigen::MatrixXd damped =
            j.transpose() * j + damping * Eigen::MatrixXd(scale.cwiseProduct(scale).asDiagonal());
        const Eigen::VectorXd expected = damped.ldlt().solve(-j.transpose() * f);
        EXPECT_LT((p - expected).norm(), 1e-10 * expected.norm()) << "damping " << damping;
        EXPECT_NEAR(step.model_norm(p), (j * p).norm(), 1e-12);
    }
    Eigen::VectorXd diagonal;
    ASSERT_EQ(step.normal_inverse_diagonal(diagonal), 0);
    const Eigen::VectorXd expected = (j.transpose() * j).inverse().diagonal();
    EXPECT_LT((diagonal - expected).cwiseQuotient(expected).lpNorm<Eigen::Infinity>(), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SparseSteps,
                         ::testing::Combine(::testing::Values(11U, 12U, 13U, 14U), ::testing::Bool()));

// The pattern of a network's J (two lanes a point, rows tying a point to
// its right, lower and lower-right neighbours, one point and one y fixed)
// with random values: its factor has supernodes of two columns and more,
// up to whole separators of the grid.
sym::CompressedRows grid_pattern(int width, int height, std::vector<double>& values) {
    std::mt19937 random(static_cast<unsigned>(width * 100 + height));
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    sym::CompressedRows pattern;
    pattern.columns = 2 * width * height;
    pattern.row_starts.push_back(0);
    auto row = [&](std::vector<int> columns) {
        for (int c : columns) {
            pattern.column_indices.push_back(c);
            values.push_back(uniform(random));
        }
        pattern.row_starts.push_back(static_cast<std::int64_t>(pattern.column_indices.size()));
        ++pattern.rows;
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int k = y * width + x;
            if (x + 1 < width) row({2 * k, 2 * k + 1, 2 * k + 2, 2 * k + 3});
            if (y + 1 < height) row({2 * k, 2 * k + 1, 2 * (k + width), 2 * (k + width) + 1});
            if (x + 1 < width && y + 1 < height) row({2 * k, 2 * k + 1, 2 * (k + width + 1), 2 * (k + width + 1) + 1});
        }
    }
    row({0});
    row({1});
    row({3});
    return pattern;
}

class GridInverseDiagonal : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(GridInverseDiagonal, IsTheDenseInversesDiagonal) {
    std::vector<double> values;
    const sym::CompressedRows pattern = grid_pattern(GetParam().first, GetParam().second, values);
    const Eigen::MatrixXd j = dense_of(pattern, values);
    sym::SparseStep step(pattern);
    step.assemble(values, Eigen::VectorXd::Ones(pattern.rows));
    Eigen::VectorXd diagonal;
    ASSERT_EQ(step.normal_inverse_diagonal(diagonal), 0);
    const Eigen::VectorXd expected = (j.transpose() * j).inverse().diagonal();
    EXPECT_LT((diagonal - expected).cwiseQuotient(expected).lpNorm<Eigen::Infinity>(), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GridInverseDiagonal,
                         ::testing::Values(std::make_pair(2, 2), std::make_pair(7, 3), std::make_pair(12, 12),
                                           std::make_pair(30, 4),
                                           // separators wider than the factor's panels
                                           std::make_pair(20, 16)));

TEST(SparseStep, ColumnsNoRowReachesAreUndeterminedAndTheStepLeavesThemBe) {
    std::vector<double> values;
    sym::CompressedRows pattern = random_pattern(5, 30, 10, values);
    // Two more columns that no row reaches.
    pattern.columns = 12;
    sym::SparseStep step(pattern);
    Eigen::VectorXd f = Eigen::VectorXd::Ones(pattern.rows);
    step.assemble(values, f);
    Eigen::VectorXd diagonal;
    EXPECT_EQ(step.normal_inverse_diagonal(diagonal), 2);
    for (double damping : {0.0, 1e-6}) {
        Eigen::VectorXd p;
        ASSERT_TRUE(step.step(Eigen::VectorXd::Ones(12), damping, p));
        EXPECT_EQ(p(10), 0.0);
        EXPECT_EQ(p(11), 0.0);
        EXPECT_GT(p.head(10).norm(), 0.0);
    }
}

// J of points near the x axis tied by their distances to the next two,
// the first point and the second's y fixed: its columns scaled to unit
// norm, the least singular values fall with the points' distance from the
// axis, to about 3e-10 of the largest at `spread` 1e-6.
sym::CompressedRows near_line_pattern(unsigned seed, int points, double spread, std::vector<double>& values,
                                      Eigen::VectorXd& f) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> y(static_cast<std::size_t>(points));
    for (double& v : y) v = spread * normal(random);
    sym::CompressedRows pattern;
    pattern.columns = 2 * points;
    pattern.row_starts.push_back(0);
    auto row = [&](std::vector<std::pair<int, double>> entries) {
        for (const auto& [column, value] : entries) {
            pattern.column_indices.push_back(column);
            values.push_back(value);
        }
        pattern.row_starts.push_back(static_cast<std::int64_t>(pattern.column_indices.size()));
        ++pattern.rows;
    };
    for (int i = 0; i < points; ++i) {
        for (int step = 1; step <= 2 && i + step < points; ++step) {
            const double dx = step;
            const double dy = y[static_cast<std::size_t>(i + step)] - y[static_cast<std::size_t>(i)];
            const double d = std::hypot(dx, dy);
            const int j = i + step;
            row({{2 * i, -dx / d}, {2 * i + 1, -dy / d}, {2 * j, dx / d}, {2 * j + 1, dy / d}});
        }
    }
    row({{0, 1.0}});
    row({{1, 1.0}});
    row({{3, 1.0}});
    // Residuals of points moved across the line: what the Gauss-Newton
    // step undoes is in J's weakest directions.
    Eigen::VectorXd across = Eigen::VectorXd::Zero(pattern.columns);
    for (int i = 2; i < points; ++i) across(2 * i + 1) = spread * normal(random);
    f = dense_of(pattern, values) * across;
    return pattern;
}

// The least-squares solution of [J; sqrt(damping) D] p = [-f; 0], by
// Householder QR: orthogonal, so it keeps what the normal equations lose.
Eigen::VectorXd damped_least_squares(const Eigen::MatrixXd& j, const Eigen::VectorXd& f, const Eigen::VectorXd& scale,
                                     double damping) {
    Eigen::MatrixXd stacked(j.rows() + j.cols(), j.cols());
    stacked << j, std::sqrt(damping) * Eigen::MatrixXd(scale.asDiagonal());
    Eigen::VectorXd right = Eigen::VectorXd::Zero(stacked.rows());
    right.head(j.rows()) = -f;
    return stacked.householderQr().solve(right);
}

class NearLineSteps : public ::testing::TestWithParam<std::tuple<unsigned, double>> {};

TEST_P(NearLineSteps, AreTheOrthogonalSolutionsWhereTheNormalEquationsLoseThem) {
    const auto [seed, damping] = GetParam();
    std::vector<double> values;
    Eigen::VectorXd f;
    const sym::CompressedRows pattern = near_line_pattern(seed, 40, 1e-6, values, f);
    const Eigen::MatrixXd j = dense_of(pattern, values);
    sym::SparseStep step(pattern);
    step.assemble(values, f);
    // The solver's scale keeps the largest column norms it has seen: the
    // y columns' are 1e-6 here, but were as large as the x columns' from
    // afar.
    const Eigen::VectorXd scale = Eigen::VectorXd::Ones(pattern.columns);
    Eigen::VectorXd p;
    ASSERT_TRUE(step.step(scale, damping, p));
    const Eigen::VectorXd expected = damped_least_squares(j, f, scale, damping);
    EXPECT_LT((p - expected).norm(), 1e-6 * expected.norm());
    EXPECT_GT(step.refinement_iterations(), 0);
}

// 1e-18 is the solver's least damping; at 1e-14 the factor is whole, but
// the Cholesky step's residual in the normal equations is large.
INSTANTIATE_TEST_SUITE_P(SeedsAndDampings, NearLineSteps,
                         ::testing::Combine(::testing::Values(1U, 2U, 3U), ::testing::Values(1e-18, 1e-14)));

TEST(SparseStep, ANetworksStepIsTheCholeskyStepUnrefined) {
    std::vector<double> values;
    const sym::CompressedRows pattern = grid_pattern(12, 12, values);
    const Eigen::MatrixXd j = dense_of(pattern, values);
    const Eigen::VectorXd f = Eigen::VectorXd::LinSpaced(pattern.rows, -1.0, 1.0);
    sym::SparseStep step(pattern);
    step.assemble(values, f);
    for (double damping : {1e-18, 1e-3}) {
        Eigen::VectorXd p;
        ASSERT_TRUE(step.step(step.column_norms(), damping, p));
        const Eigen::VectorXd expected = damped_least_squares(j, f, step.column_norms(), damping);
        EXPECT_LT((p - expected).norm(), 1e-10 * expected.norm()) << "damping " << damping;
    }
    EXPECT_EQ(step.refinement_iterations(), 0);
}

LayoutSolveSummary solve_in(const LeastSquaresProblem& problem, JacobianLayout layout,
                            const SolveOptions& options = {}) {
    return sym::least_squares(problem, problem.start(), options, layout);
}

class SparseAgainstDense : public ::testing::TestWithParam<std::tuple<unsigned, sym::Loss>> {};

TEST_P(SparseAgainstDense, RandomSparseProblemsReachTheSameMinimum) {
    const auto [seed, loss] = GetParam();
    const RandomSparse parts(seed);
    const LeastSquaresProblem problem(parts.residuals, parts.unknowns);
    SolveOptions options;
    options.loss = loss;
    options.f_scale = 0.5;
    const LayoutSolveSummary dense = solve_in(problem, JacobianLayout::Dense, options);
    const LayoutSolveSummary sparse = solve_in(problem, JacobianLayout::Sparse, options);
    ASSERT_EQ(dense.layout, JacobianLayout::Dense);
    ASSERT_EQ(sparse.layout, JacobianLayout::Sparse);
    ASSERT_TRUE(dense.summary.success) << dense.summary.message;
    ASSERT_TRUE(sparse.summary.success) << sparse.summary.message;
    EXPECT_NEAR(sparse.summary.cost, dense.summary.cost, 1e-10 * dense.summary.cost);
    const std::vector<double> xd = lanes_of(dense.summary);
    const std::vector<double> xs = lanes_of(sparse.summary);
    for (std::size_t i = 0; i < xd.size(); ++i) {
        EXPECT_NEAR(xs[i], xd[i], 1e-7) << "lane " << i;
    }
    // The dense covariance's diagonal, and the Jacobian there.
    ASSERT_EQ(sparse.summary.standard_errors.size(), xd.size());
    EXPECT_TRUE(sparse.summary.covariance.empty());
    EXPECT_TRUE(sparse.summary.jacobian.empty());
    for (std::size_t i = 0; i < xd.size(); ++i) {
        EXPECT_NEAR(sparse.summary.standard_errors[i], dense.summary.standard_errors[i],
                    1e-6 * dense.summary.standard_errors[i]);
    }
    const sym::SparseJacobian& j = sparse.jacobian;
    const auto n = static_cast<std::size_t>(j.columns);
    for (std::size_t r = 0; r < static_cast<std::size_t>(j.rows); ++r) {
        for (auto a = j.row_starts[r]; a < j.row_starts[r + 1]; ++a) {
            const auto k = static_cast<std::size_t>(a);
            EXPECT_NEAR(j.values[k], dense.summary.jacobian[r * n + static_cast<std::size_t>(j.column_indices[k])],
                        1e-6);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SeedsAndLosses, SparseAgainstDense,
                         ::testing::Combine(::testing::Values(21U, 22U, 23U),
                                            ::testing::Values(sym::Loss::Linear, sym::Loss::SoftL1,
                                                              sym::Loss::Cauchy)));

TEST(SparseNetwork, AnAnchoredNetworkIsSolvedToTheGridInBothLayouts) {
    const Network network(8, 6, true);
    const LeastSquaresProblem problem(network.residuals, network.points);
    EXPECT_EQ(sym::choose_layout(problem), JacobianLayout::Dense);  // 96 unknown lanes: below the threshold
    for (JacobianLayout layout : {JacobianLayout::Dense, JacobianLayout::Sparse}) {
        const LayoutSolveSummary result = solve_in(problem, layout);
        EXPECT_TRUE(result.summary.success) << result.summary.message;
        EXPECT_LT(network.rms_error(result.summary), 1e-9) << sym::to_string(layout);
        EXPECT_EQ(result.summary.message.find("undetermined"), std::string::npos);
    }
}

TEST(SparseNetwork, AutoTakesTheSparseWayForALargeNetwork) {
    const Network network(20, 20, true);
    const LeastSquaresProblem problem(network.residuals, network.points);
    EXPECT_EQ(sym::choose_layout(problem), JacobianLayout::Sparse);
    EXPECT_EQ(sym::jacobian_nonzeros(problem), 4 * (19 * 20 * 2 + 19 * 19) + 2 * 2 + 2);
    const sym::SolveSummary summary = sym::least_squares(problem);
    EXPECT_TRUE(summary.success) << summary.message;
    EXPECT_TRUE(summary.jacobian.empty());
    EXPECT_LT(network.rms_error(summary), 1e-9);
}

// Without anchors the points may shift and turn as a whole: the residuals
// are solved (to zero), but the standard errors would be meaningless, so
// there are none, and the message says why.
TEST(SparseNetwork, AnUnanchoredNetworkIsReportedUndetermined) {
    const Network network(6, 5, false);
    const LeastSquaresProblem problem(network.residuals, network.points);
    const LayoutSolveSummary result = solve_in(problem, JacobianLayout::Sparse);
    EXPECT_TRUE(result.summary.success);
    EXPECT_LT(2.0 * result.summary.cost, 1e-20);
    EXPECT_TRUE(result.summary.standard_errors.empty());
    EXPECT_NE(result.summary.message.find("the residuals leave 3 directions of the unknowns undetermined"),
              std::string::npos)
        << result.summary.message;
    const LayoutSolveSummary equations =
        sym::solve(problem, problem.start(), SolveOptions{}, JacobianLayout::Sparse);
    EXPECT_EQ(equations.summary.status, SolveStatus::Solved);
    EXPECT_NE(equations.summary.message.find("3 directions"), std::string::npos);
    // The dense way agrees on the missing errors.
    EXPECT_TRUE(solve_in(problem, JacobianLayout::Dense).summary.standard_errors.empty());
}

TEST(SparseSolve, UpdateAndTheIterationReportsWorkAsInTheDenseWay) {
    const Value a = sym::parameter(0.0, "a");
    const Value b = sym::parameter(0.0, "b");
    std::vector<Value> residuals;
    for (int i = 0; i < 5; ++i) {
        residuals.push_back(a * double(i) + b - (2.0 * i + 1.0));
    }
    const LeastSquaresProblem problem(residuals, {a, b});
    SolveOptions options;
    options.update = true;
    int steps = 0;
    options.on_iteration = [&](const sym::SolveIteration& step) { steps = step.iteration; };
    const LayoutSolveSummary result = solve_in(problem, JacobianLayout::Sparse, options);
    ASSERT_TRUE(result.summary.success) << result.summary.message;
    EXPECT_EQ(steps, result.summary.iterations);
    EXPECT_NEAR(a.value().lanes[0], 2.0, 1e-12);
    EXPECT_NEAR(b.value().lanes[0], 1.0, 1e-12);
    EXPECT_GE(result.summary.jacobian_evaluations, 1);
}

TEST(SparseSolve, LayoutNamesRoundTripAndOthersAreRefused) {
    for (JacobianLayout layout : {JacobianLayout::Auto, JacobianLayout::Dense, JacobianLayout::Sparse}) {
        EXPECT_EQ(sym::jacobian_layout_from_string(sym::to_string(layout)), layout);
    }
    EXPECT_ERROR(std::invalid_argument, "jacobian must be one of auto, dense, sparse, got 'Sparse'",
                 sym::jacobian_layout_from_string("Sparse"));
}

}  // namespace
