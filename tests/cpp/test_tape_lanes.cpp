// A solve's forward passes into lanes of its own: the outputs read from
// them are Function::evaluate's bit for bit, with and without the kept
// derivatives, on graphs with shared sub-expressions, outputs of several
// lanes and outputs that are leaves (an unknown, a Parameter that is not
// one, a constant); Parameters are read at their values of the moment; a
// lane that is not finite is refused as evaluate refuses it; and the lanes
// are said to hold a point only when they hold exactly it.
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "symbolic/detail/tape_lanes.h"
#include "symbolic/elementary.h"
#include "symbolic/function.h"
#include "test_support.h"

namespace {

struct Graph {
    std::vector<Value> outputs;
    std::vector<Value> inputs;
    std::vector<double> at;
};

// Distances and a shared sub-expression read by two outputs.
Graph shared() {
    const Value p = sym::undefined_with_hint({0.0, 0.0}, "p");
    const Value q = sym::undefined_with_hint({1.0, 0.0}, "q");
    const Value d = q - p;
    const Value length = sym::sqrt(sym::component(d, 0) * sym::component(d, 0) +
                                   sym::component(d, 1) * sym::component(d, 1));
    return {{length - 1.0, length * sym::component(p, 1), sym::sin(length) + sym::cos(sym::component(q, 0))},
            {p, q},
            {0.1, -0.2, 1.3, 0.4}};
}

// Outputs of several lanes, and outputs that are leaves: an input, a
// Parameter that is not an input, a constant.
Graph leaves() {
    const Value a = sym::parameter(0.5, -1.5, "a");
    const Value t = sym::undefined_with_hint({0.5}, "t");
    const Value p = sym::undefined_with_hint({1.0, 2.0, 3.0}, "p");
    return {{p * t - sym::constant(1.0, 1.0, 1.0), t, a, sym::constant(2.5, -0.5), sym::vec2(sym::exp(t), t * t) * a, p},
            {t, p},
            {0.75, -1.0, 0.25, 2.0}};
}

// Paired rules (the kept derivatives) and a Parameter that is an input.
Graph paired() {
    const Value w = sym::parameter(0.3, "w");
    const Value x = sym::undefined_with_hint({0.2, 0.1}, "x");
    return {{sym::tanh(x * w), sym::log(sym::component(x, 0) * sym::component(x, 0) + 1.0) - w}, {x, w}, {0.7, -0.4, 1.9}};
}

std::vector<SmallValue> point_of(const Graph& g) {
    std::vector<SmallValue> point;
    std::size_t lane = 0;
    for (const Value& input : g.inputs) {
        SmallValue value{input.dimension(), {}};
        for (int i = 0; i < value.dimension; ++i) value.lanes[static_cast<std::size_t>(i)] = g.at[lane++];
        point.push_back(value);
    }
    return point;
}

Eigen::VectorXd x_of(const Graph& g) {
    return Eigen::Map<const Eigen::VectorXd>(g.at.data(), static_cast<Eigen::Index>(g.at.size()));
}

// What evaluate gives, output after output, as one array of lanes.
std::vector<double> evaluated(const sym::Function& f, const std::vector<SmallValue>& point) {
    std::vector<double> lanes;
    for (const SmallValue& output : f.evaluate(point)) {
        lanes.insert(lanes.end(), output.lanes.begin(), output.lanes.begin() + output.dimension);
    }
    return lanes;
}

std::vector<double> outputs_of(const sym::TapeLanes& lanes, const sym::Function& f) {
    std::vector<double> r(static_cast<std::size_t>(f.output_lanes()));
    lanes.outputs(r.data());
    return r;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class TapeLanesOf : public ::testing::TestWithParam<std::pair<const char*, std::function<Graph()>>> {};

TEST_P(TapeLanesOf, OutputsAreEvaluatesBitForBitWithAndWithoutTheDerivatives) {
    const Graph g = GetParam().second();
    const sym::Function f(g.outputs, g.inputs);
    sym::TapeLanes lanes(f);
    const std::vector<double> expected = evaluated(f, point_of(g));
    for (bool keep : {false, true, false}) {
        lanes.forward(x_of(g), keep);
        EXPECT_TRUE(same_bits(outputs_of(lanes, f), expected)) << "keep " << keep;
    }
}

TEST_P(TapeLanesOf, HoldAPointOnlyWhenTheyHoldExactlyIt) {
    const Graph g = GetParam().second();
    const sym::Function f(g.outputs, g.inputs);
    sym::TapeLanes lanes(f);
    const Eigen::VectorXd x = x_of(g);
    EXPECT_FALSE(lanes.kept_at(x));  // no pass yet
    lanes.forward(x, false);
    EXPECT_FALSE(lanes.kept_at(x));  // no derivatives kept
    lanes.forward(x, true);
    EXPECT_TRUE(lanes.kept_at(x));
    Eigen::VectorXd other = x;
    other(1) = std::nextafter(other(1), 10.0);
    EXPECT_FALSE(lanes.kept_at(other));
    other = x;
    other(0) = 0.0;
    lanes.forward(other, true);
    other(0) = -0.0;  // equal, but not the same bits
    EXPECT_FALSE(lanes.kept_at(other));
}

INSTANTIATE_TEST_SUITE_P(Graphs, TapeLanesOf,
                         ::testing::Values(std::make_pair("shared", shared), std::make_pair("leaves", leaves),
                                           std::make_pair("paired", paired)),
                         [](const auto& info) { return std::string(info.param.first); });

// A Parameter that is not an input is read at each pass, as evaluate
// reads it; set between a pass and a reuse, the lanes no longer hold the
// point.
TEST(TapeLanes, ReadParametersThatAreNotInputsAtTheirValueOfTheMoment) {
    Graph g = leaves();
    const sym::Function f(g.outputs, g.inputs);
    sym::TapeLanes lanes(f);
    const Eigen::VectorXd x = x_of(g);
    lanes.forward(x, true);
    const Value a = g.outputs[2];
    a.set_value(sym::small_value(4.0, 0.125));
    EXPECT_FALSE(lanes.kept_at(x));
    lanes.forward(x, true);
    EXPECT_TRUE(same_bits(outputs_of(lanes, f), evaluated(f, point_of(g))));
    EXPECT_EQ(outputs_of(lanes, f)[4], 4.0);  // the output that is `a`
    EXPECT_TRUE(lanes.kept_at(x));
    a.set_value(sym::small_value(4.0, 0.125));  // the same bits again
    EXPECT_TRUE(lanes.kept_at(x));
}

// A point evaluate refuses, in an input lane (also one no output reads) or
// in a lane of the graph, is refused with its class and message, and the
// lanes then hold no point, not even the last good one.
TEST(TapeLanes, RefuseWhatEvaluateRefusesAndThenHoldNoPoint) {
    const Value x = sym::undefined_with_hint({1.0}, "x");
    const Value unread = sym::undefined_with_hint({1.0}, "unread");
    const sym::Function f({sym::log(x), x * 2.0}, {x, unread});
    sym::TapeLanes lanes(f);
    const Eigen::VectorXd good = Eigen::Vector2d(2.0, 1.0);
    for (const Eigen::Vector2d& bad : {Eigen::Vector2d(kNaN, 1.0), Eigen::Vector2d(2.0, kInf),
                                       Eigen::Vector2d(0.0, 1.0), Eigen::Vector2d(-1.0, 1.0)}) {
        EXPECT_ERROR(std::invalid_argument, kFinite, f.evaluate({sym::small_value(bad(0)), sym::small_value(bad(1))}));
        lanes.forward(good, true);
        ASSERT_TRUE(lanes.kept_at(good));
        EXPECT_ERROR(std::invalid_argument, kFinite, lanes.forward(bad, true));
        EXPECT_FALSE(lanes.kept_at(good));
    }
}

}  // namespace
