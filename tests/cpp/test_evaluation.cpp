// Forward evaluation: the depth-first order over shared and repeated nodes,
// every operator with broadcasting, and every failure a graph can produce.
#include <cmath>

#include "test_support.h"

// Each operator is evaluated over Parameters (an Expression node) and folded
// over Constants; both must give the same lanes, since they share kernels.
TEST(EvaluationTest, EveryOperatorWithBroadcasting) {
    using V = const std::vector<Value>&;
    const struct { const char* name; std::function<Value(V)> build; std::vector<std::vector<double>> operands;
                   std::vector<double> expected; } cases[] = {
        {"add 1+3", [](V o) { return o[0] + o[1]; }, {{2}, {1, 2, 3}}, {3, 4, 5}},
        {"add 3+1", [](V o) { return o[0] + o[1]; }, {{1, 2, 3}, {2}}, {3, 4, 5}},
        {"add 3+3", [](V o) { return o[0] + o[1]; }, {{1, 2, 3}, {4, 5, 6}}, {5, 7, 9}},
        {"sub 1-3", [](V o) { return o[0] - o[1]; }, {{10}, {1, 2, 3}}, {9, 8, 7}},
        {"sub 3-1", [](V o) { return o[0] - o[1]; }, {{1, 2, 3}, {10}}, {-9, -8, -7}},
        {"mul 4*1", [](V o) { return o[0] * o[1]; }, {{1, 2, 3, 4}, {0.5}}, {0.5, 1, 1.5, 2}},
        {"div 1/2", [](V o) { return o[0] / o[1]; }, {{1}, {4, 8}}, {0.25, 0.125}},
        {"div 2/1", [](V o) { return o[0] / o[1]; }, {{1, 2}, {4}}, {0.25, 0.5}},
        {"div 1/1", [](V o) { return o[0] / o[1]; }, {{1}, {4}}, {0.25}},
        {"value*number", [](V o) { return o[0] * 3.0; }, {{1, 2}}, {3, 6}},
        {"number-value", [](V o) { return 1.0 - o[0]; }, {{2, 4}}, {-1, -3}},
        {"negate", [](V o) { return -o[0]; }, {{0, 1.5}}, {-0.0, -1.5}},
        {"sin", [](V o) { return sym::sin(o[0]); }, {{0, 1}}, {0, std::sin(1.0)}},
        {"cos", [](V o) { return sym::cos(o[0]); }, {{0, 2}}, {1, std::cos(2.0)}},
        {"vec2", [](V o) { return sym::vec2(o[0], o[1]); }, {{1}, {2}}, {1, 2}},
        {"vec3", [](V o) { return sym::vec3(o[0], o[1], o[2]); }, {{3}, {2}, {1}}, {3, 2, 1}},
        {"vec4", [](V o) { return sym::vec4(o[0], o[1], o[2], o[3]); }, {{1}, {2}, {3}, {4}}, {1, 2, 3, 4}},
        {"component", [](V o) { return sym::component(o[0], 2); }, {{1, 2, 3}}, {3}},
        {"nested", [](V o) { return sym::component(o[0] * o[1], 1) - o[1]; }, {{1, 2, 3}, {2}}, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Value> params, constants;
        for (const auto& lanes : c.operands) {
            params.push_back(sym::parameter(lanes_of(lanes), "p"));
            constants.push_back(sym::constant(lanes_of(lanes)));
        }
        const Value expr = c.build(params);
        ASSERT_TRUE(expr.is_expression());
        const SmallValue got = expr.evaluate();
        EXPECT_LANES(got, c.expected);
        EXPECT_EQ(std::signbit(got.lanes[0]), std::signbit(c.expected[0]));
        const Value folded = c.build(constants);
        ASSERT_TRUE(folded.is_constant());
        EXPECT_EQ(folded.value().lanes, got.lanes);
        EXPECT_FALSE(expr.has_grad());
    }
}

TEST(EvaluationTest, SharedAndRepeatedNodesUseCurrentLeafValues) {
    const Value x = sym::parameter(2.0, "x"), y = sym::parameter(3.0, "y"), z = (x + y) * x;
    EXPECT_LANES(z.evaluate(), {10});
    x.set_value(sym::small_value(4.0));
    EXPECT_LANES(z.evaluate(), {28});
    EXPECT_LANES(x.evaluate(), {4});
    EXPECT_LANES(sym::constant(1.0, 2.0).evaluate(), {1, 2});
    // Each level uses the one below twice: without one computation per node
    // this would take 2^60 steps.
    Value d = sym::parameter(1.0, 0.5, 0.25, "d");
    for (int i = 0; i < 60; ++i) d = d + d;
    EXPECT_LANES(d.evaluate(), {std::ldexp(1.0, 60), std::ldexp(1.0, 59), std::ldexp(1.0, 58)});
    // An Undefined value that the output does not reach is harmless.
    const Value u = sym::undefined(1, "u"), unused = u + x;
    EXPECT_LANES(sym::component(sym::vec2(u, x), 1).evaluate(), {4});
    EXPECT_LANES((x * 2.0).evaluate(), {8});
}

// Nodes are computed in depth-first post-order, inputs in index order, so
// of two failing nodes the one met first by that walk is reported.
TEST(EvaluationTest, FirstFailureFollowsDepthFirstOrder) {
    const auto p = [] { return sym::parameter(1.0, "p"); };
    const auto div0 = [p] { return p() / sym::parameter(0.0, "zero"); };
    const auto u = [] { return sym::undefined(1, "u"); };
    const auto hinted = [] { return sym::undefined_with_hint(2.0, "h"); };
    const struct { const char* name; std::function<Value()> build; bool undefined_first; } cases[] = {
        {"div0 then undefined", [&] { return div0() + u(); }, false},
        {"undefined then div0", [&] { return u() + div0(); }, true},
        {"deep left first", [&] { return (p() + (p() + u())) + div0(); }, true},
        {"hinted undefined", [&] { return (p() + div0()) + hinted(); }, false},
        {"shared node", [&] { const Value a = div0(); return (a + p()) + (u() + a); }, false},
        {"deep down", [&] { return sym::component(sym::sin(sym::vec2(p(), hinted())), 0); }, true},
        {"overflow", [&] { return sym::parameter(1e308, "big") * sym::parameter(10.0, "ten"); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Value v = c.build();
        if (c.undefined_first)
            EXPECT_ERROR_NO_ID(std::logic_error, kUndefined, v.evaluate());
        else
            EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, v.evaluate());
    }
    EXPECT_ERROR_NO_ID(std::invalid_argument, kNotValid, Value{}.evaluate());
    // The divisor is checked when evaluated, not when built.
    const Value q = sym::parameter(2.0, "q"), ratio = p() / q;
    EXPECT_LANES(ratio.evaluate(), {0.5});
    q.set_value(sym::small_value(0.0));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, ratio.evaluate());
}

// Nodes the builders would never make; evaluation must still refuse them.
TEST(EvaluationTest, InconsistentNodesAreRefused) {
    const Value p = sym::parameter(1.0, "p"), v = sym::parameter(1.0, 2.0, 3.0, "v");
    const auto unary = [](Op op, Value in, int i) { return sym::make_expression(op, 1, {in, {}, {}, {}}, 1, i); };
    const Value pack_wide = sym::make_expression(Op::Pack, 2, {v, p, {}, {}}, 2, -1);
    EXPECT_ERROR_NO_ID(std::logic_error, "Pack input is not scalar", pack_wide.evaluate());
    EXPECT_ERROR(std::out_of_range, kLaneIndex, unary(Op::Component, v, 3).evaluate());
    EXPECT_ERROR(std::out_of_range, kLaneIndex, unary(Op::Component, v, -1).evaluate());
    for (auto op : {Op::None, static_cast<Op>(42)})
        EXPECT_ERROR(std::logic_error, "unsupported symbolic expression op", unary(op, p, -1).evaluate());
    EXPECT_ERROR(std::out_of_range, kInputIndex, unary(Op::Add, p, -1).evaluate());
    const Value pack = sym::vec2(p, p);
    pack.mutable_node().dimension = 5;
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, pack.evaluate());
    const Value orphan = -p;
    orphan.mutable_node().inputs[0] = Value{};
    EXPECT_ERROR_NO_ID(std::invalid_argument, kNotValid, orphan.evaluate());
    const Value w = sym::parameter(1.0, 2.0, "w");
    w.mutable_node().value.lanes[1] = kInf;
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::component(w, 1).evaluate());
    // A node marked when entered stops the walk even on a cycle; its input
    // then has no cache entry yet.
    const Value loop = -p;
    loop.mutable_node().inputs[0] = loop;
    EXPECT_ERROR_NO_ID(std::logic_error, "missing symbolic evaluation cache entry", loop.evaluate());
    loop.mutable_node().inputs[0] = Value{};  // break the cycle so the node is released
}
