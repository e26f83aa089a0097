// The block Jacobian's rows against those of each block's own compiled
// Function, bit for bit: blocks swept over a range of the problem's tape
// and blocks compiled on their own, on graphs that share sub-expressions
// between neighbouring and distant blocks, have outputs of several lanes,
// residuals that reach no unknown, Parameters that are not unknowns and
// Jacobian entries that are not finite.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/detail/residual_blocks.h"
#include "symbolic/elementary.h"
#include "symbolic/solve.h"
#include "test_support.h"

namespace {

struct Graph {
    std::vector<Value> residuals;
    std::vector<Value> unknowns;
    // The unknowns' lanes where the rows are taken.
    std::vector<double> at;
    // Blocks compiled on their own: those whose cone is not one range of
    // the tape.
    std::size_t compiled;
};

Value unknown(std::vector<Value>& unknowns, std::initializer_list<double> hint) {
    unknowns.push_back(sym::undefined_with_hint(hint, "u" + std::to_string(unknowns.size())));
    return unknowns.back();
}

// Distances on a row of points, two-lane unknowns: every block one range.
Graph distances() {
    Graph g;
    for (int k = 0; k < 5; ++k) unknown(g.unknowns, {double(k), 0.1 * k});
    for (int step = 1; step <= 2; ++step) {
        for (int k = 0; k + step < 5; ++k) {
            const Value d = g.unknowns[static_cast<std::size_t>(k + step)] - g.unknowns[static_cast<std::size_t>(k)];
            const Value dx = sym::component(d, 0);
            const Value dy = sym::component(d, 1);
            g.residuals.push_back(sym::sqrt(dx * dx + dy * dy) - double(step));
        }
    }
    g.residuals.push_back(g.unknowns[0] - sym::constant(0.0, 0.0));
    g.residuals.push_back(sym::component(g.unknowns[1], 1) - 0.1);
    g.at = {0.0, 0.1, 1.2, -0.3, 2.1, 0.4, 2.9, 0.2, 4.2, -0.1};
    g.compiled = 0;
    return g;
}

// A sub-expression made in block 0 and read again by block 1 (next to it
// in the tape) and by block 4 (far from it); the blocks between are ranges.
// Block 5 is that sub-expression itself and block 6 block 2 again: their
// outputs' instructions are earlier blocks'.
Graph shared() {
    Graph g;
    const Value x = unknown(g.unknowns, {0.3});
    const Value y = unknown(g.unknowns, {0.7});
    const Value z = unknown(g.unknowns, {-0.2});
    const Value s = sym::sin(x) * y;
    const Value c = sym::cos(y) * z - 1.0;
    g.residuals = {s + 2.0 * x, s * z, c, y / (1.0 + x * x), sym::exp(z) - s, s, c};
    g.at = {0.4, -1.1, 0.9};
    g.compiled = 4;
    return g;
}

// Outputs of two and three lanes: a block as wide as its unknowns is a
// range; one wider than them (forward sweeps in its own Function) and an
// output that is an unknown itself are compiled.
Graph wide() {
    Graph g;
    const Value p = unknown(g.unknowns, {1.0, 2.0});
    const Value t = unknown(g.unknowns, {0.5});
    const Value q = unknown(g.unknowns, {-1.0, 0.5, 2.0});
    g.residuals = {p * t - sym::constant(1.0, 1.0), sym::vec3(t, t * t, sym::sin(t)), q * sym::component(p, 1) + t,
                   q, sym::vec2(sym::component(q, 2), sym::tanh(t))};
    g.at = {0.8, -1.5, 0.3, 2.0, -0.7, 1.1};
    g.compiled = 2;
    return g;
}

// Parameters that are not unknowns, read at their values, and a residual
// that reaches none of the unknowns (no rows' entries, no Function). A
// Parameter that is an unknown is a column like any other.
Graph parameters() {
    Graph g;
    const Value a = sym::parameter(1.5, "a");
    const Value b = sym::parameter(-0.5, 0.25, "b");
    const Value x = unknown(g.unknowns, {0.2});
    g.unknowns.push_back(sym::parameter(0.9, "w"));
    const Value w = g.unknowns.back();
    g.residuals = {a * x - 1.0, a * a - 2.0, (b - sym::vec2(x, w)) * a, sym::log(w * w + a) * x};
    g.at = {0.6, 1.3};
    g.compiled = 0;
    return g;
}

// Distances between coincident points and sqrt at 0: entries of inf and
// NaN, where both ways must give the same bits.
Graph not_finite() {
    Graph g;
    const Value p = unknown(g.unknowns, {0.0, 0.0});
    const Value q = unknown(g.unknowns, {0.0, 0.0});
    const Value x = unknown(g.unknowns, {0.0});
    const Value d = q - p;
    g.residuals = {sym::sqrt(sym::component(d, 0) * sym::component(d, 0) + sym::component(d, 1) * sym::component(d, 1)),
                   sym::sqrt(x), sym::abs(x) + sym::component(p, 0), x / sym::component(q, 1),
                   sym::component(p, 1) - 2.0, sym::component(q, 0) * x};
    g.at = {1.0, 2.0, 1.0, 2.0, 0.0};
    g.compiled = 0;
    return g;
}

class BlockRows : public ::testing::TestWithParam<std::pair<const char*, std::function<Graph()>>> {};

TEST_P(BlockRows, AreTheRowsOfEachBlocksOwnFunctionBitForBit) {
    const Graph g = GetParam().second();
    const sym::LeastSquaresProblem problem(g.residuals, g.unknowns);
    const sym::ResidualBlocks& blocks = sym::blocks_of(problem);
    sym::TapeLanes lanes(problem.function());
    sym::BlockJacobian jacobian(problem.function(), blocks, lanes);
    EXPECT_EQ(jacobian.compiled_blocks(), g.compiled);

    const Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(g.at.data(), static_cast<Eigen::Index>(g.at.size()));
    const Eigen::VectorXd elsewhere = x.array() + 0.25;
    std::vector<double> values;
    // From fresh lanes; from the lanes the first call left; from those of
    // a residual evaluation's pass at x, which the call reuses; and from
    // those of a pass at another point, which it must not.
    for (int call = 0; call < 4; ++call) {
        if (call == 2) {
            lanes.forward(x, true);
        } else if (call == 3) {
            lanes.forward(elsewhere, true);
        }
        jacobian.evaluate(call == 0 ? x : Eigen::VectorXd(x), values);
        ASSERT_EQ(values.size(), jacobian.pattern().column_indices.size());
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            std::vector<Value> reached;
            std::vector<SmallValue> point;
            for (const std::uint32_t* k = blocks.unknowns_begin(b); k != blocks.unknowns_end(b); ++k) {
                reached.push_back(g.unknowns[*k]);
                SmallValue value;
                value.dimension = blocks.column_start(*k + 1) - blocks.column_start(*k);
                for (int i = 0; i < value.dimension; ++i) {
                    value.lanes[static_cast<std::size_t>(i)] = x(blocks.column_start(*k) + i);
                }
                point.push_back(value);
            }
            if (reached.empty()) {
                EXPECT_EQ(blocks.row_width(b), 0) << "block " << b;
                continue;
            }
            const std::vector<double> own = sym::Function({g.residuals[b]}, reached).jacobian(point);
            const auto first = static_cast<std::size_t>(
                jacobian.pattern().row_starts[static_cast<std::size_t>(blocks.row_start(b))]);
            ASSERT_LE(first + own.size(), values.size());
            EXPECT_EQ(std::memcmp(values.data() + first, own.data(), own.size() * sizeof(double)), 0)
                << "block " << b << ", call " << call;
        }
    }
}

// The unknowns below a residual in the graph, in the unknowns' order.
std::vector<std::uint32_t> unknowns_below(const Value& residual, const std::vector<Value>& unknowns) {
    std::set<std::uint64_t> seen;
    std::set<std::uint64_t> below;
    std::vector<const sym::ValueNode*> stack{&residual.node()};
    while (!stack.empty()) {
        const sym::ValueNode& node = *stack.back();
        stack.pop_back();
        if (!seen.insert(node.id).second) continue;
        below.insert(node.id);
        for (int i = 0; i < node.input_count; ++i) stack.push_back(&node.inputs[static_cast<std::size_t>(i)].node());
    }
    std::vector<std::uint32_t> reached;
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        if (below.count(unknowns[k].node().id) != 0) reached.push_back(static_cast<std::uint32_t>(k));
    }
    return reached;
}

TEST_P(BlockRows, EachBlockReachesTheUnknownsOfItsConeInTheGraph) {
    const Graph g = GetParam().second();
    const sym::LeastSquaresProblem problem(g.residuals, g.unknowns);
    const sym::ResidualBlocks& blocks = sym::blocks_of(problem);
    ASSERT_EQ(blocks.size(), g.residuals.size());
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::vector<std::uint32_t> found(blocks.unknowns_begin(b), blocks.unknowns_end(b));
        EXPECT_EQ(found, unknowns_below(g.residuals[b], g.unknowns)) << "block " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Graphs, BlockRows,
                         ::testing::Values(std::make_pair("distances", distances), std::make_pair("shared", shared),
                                           std::make_pair("wide", wide), std::make_pair("parameters", parameters),
                                           std::make_pair("not_finite", not_finite)),
                         [](const auto& info) { return std::string(info.param.first); });

// The not-finite graph does give entries that are not finite, so its case
// compares them and not only finite numbers.
TEST(BlockRows, TheNotFiniteGraphHasEntriesOfInfAndNaN) {
    const Graph g = not_finite();
    const sym::LeastSquaresProblem problem(g.residuals, g.unknowns);
    sym::TapeLanes lanes(problem.function());
    sym::BlockJacobian jacobian(problem.function(), sym::blocks_of(problem), lanes);
    std::vector<double> values;
    jacobian.evaluate(Eigen::Map<const Eigen::VectorXd>(g.at.data(), static_cast<Eigen::Index>(g.at.size())), values);
    bool nan = false;
    bool inf = false;
    for (double v : values) {
        nan = nan || std::isnan(v);
        inf = inf || std::isinf(v);
    }
    EXPECT_TRUE(nan);
    EXPECT_TRUE(inf);
}

// A point the residuals' evaluation refuses is refused with its error,
// as each block's own Function refuses it, also where every block is a
// range of the tape.
TEST(BlockRows, ALaneThatIsNotFiniteIsRefusedAsEvaluationRefusesIt) {
    const Graph g = distances();
    const sym::LeastSquaresProblem problem(g.residuals, g.unknowns);
    sym::TapeLanes lanes(problem.function());
    sym::BlockJacobian jacobian(problem.function(), sym::blocks_of(problem), lanes);
    ASSERT_EQ(jacobian.compiled_blocks(), 0U);
    std::vector<double> values;
    Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(g.at.data(), static_cast<Eigen::Index>(g.at.size()));
    x(3) = std::numeric_limits<double>::infinity();
    EXPECT_THROW(jacobian.evaluate(x, values), std::invalid_argument);
}

}  // namespace
