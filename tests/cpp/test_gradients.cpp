// Reverse-mode gradients: every derivative rule under broadcasting,
// accumulation and clearing, failures that must leave gradients untouched,
// and a graph too deep for any recursive walk.
#include <cmath>

#include "test_support.h"

namespace {

// Each value's gradient lanes; an empty list means no gradient at all.
testing::AssertionResult grads_are(std::initializer_list<std::pair<Value, std::vector<double>>> wanted) {
    testing::Message wrong;
    for (const auto& [v, lanes] : wanted) {
        if (v.has_grad() != !lanes.empty()) wrong << v.debug_string() << ": has_grad() is " << v.has_grad() << "; ";
        else if (lanes.empty()) continue;
        else if (const auto same = has_lanes(v.grad(), lanes, /*near=*/true); !same)
            wrong << v.debug_string() << ": " << same.message() << "; ";
    }
    const std::string text = wrong.GetString();
    return text.empty() ? testing::AssertionSuccess() : testing::AssertionFailure() << text;
}
#define EXPECT_GRADS(...) EXPECT_TRUE(grads_are({__VA_ARGS__}))

}  // namespace

TEST(GradientTest, WorkedExampleAccumulatesAndClears) {
    const Value x = sym::parameter(2.0, "x"), y = sym::parameter(3.0, "y"), sum = x + y, z = sum * x;
    z.backward();
    EXPECT_GRADS({x, {7}}, {y, {2}});
    z.backward();
    EXPECT_GRADS({x, {14}}, {y, {4}}, {sum, {}}, {z, {}});
    z.zero_grad();
    EXPECT_GRADS({x, {}}, {y, {}});
    EXPECT_ERROR_NO_ID(std::logic_error, kNoGrad, x.grad());
    z.backward();  // starts again from zero
    EXPECT_GRADS({x, {7}});
    // Every level uses the one below twice; each rule must run once per node.
    const Value d0 = sym::parameter(1.0, "d");
    Value d = d0;
    for (int i = 0; i < 60; ++i) d = d + d;
    d.backward();
    EXPECT_GRADS({d0, {std::ldexp(1.0, 60)}});
}

// s is one-lane, v three-lane; the seed contracts the output's lanes.
TEST(GradientTest, EveryRuleWithBroadcasting) {
    using C = const Value&;
    const struct { const char* name; double s; std::vector<double> v; std::function<Value(C, C)> build;
                   std::vector<double> seed, grad_s, grad_v; } cases[] = {
        {"s*v", 2, {1, 2, 3}, [](C s, C v) { return s * v; }, {1, 1, 1}, {6}, {2, 2, 2}},
        {"v*s weighted", 2, {1, 2, 3}, [](C s, C v) { return v * s; }, {1, 2, 3}, {14}, {2, 4, 6}},
        {"v-s", 2, {1, 2, 3}, [](C s, C v) { return v - s; }, {1, 1, 1}, {-3}, {1, 1, 1}},
        {"s-v", 2, {1, 2, 3}, [](C s, C v) { return s - v; }, {1, 2, 3}, {6}, {-1, -2, -3}},
        {"s+v", 2, {1, 2, 3}, [](C s, C v) { return s + v; }, {1, 2, 4}, {7}, {1, 2, 4}},
        {"s/v", 2, {1, 2, 4}, [](C s, C v) { return s / v; }, {1, 1, 1}, {1.75}, {-2, -0.5, -0.125}},
        {"v/s", 2, {1, 2, 4}, [](C s, C v) { return v / s; }, {1, 1, 1}, {-1.75}, {0.5, 0.5, 0.5}},
        {"v*v", 2, {1, 2, 4}, [](C, C v) { return v * v; }, {1, 1, 2}, {}, {2, 4, 16}},
        {"x*x", 3, {1}, [](C s, C) { return s * s; }, {1}, {6}, {}},
        {"x-x", 3, {1}, [](C s, C) { return s - s; }, {1}, {0}, {}},
        {"s*3", 2, {1}, [](C s, C) { return s * 3.0; }, {2}, {6}, {}},
        {"negate", 2, {1, 2, 3}, [](C, C v) { return -v; }, {1, 2, 3}, {}, {-1, -2, -3}},
        {"sin", 2, {0, 1, 2}, [](C, C v) { return sym::sin(v); }, {1, 2, 3}, {},
         {1, 2 * std::cos(1.0), 3 * std::cos(2.0)}},
        {"cos", 2, {0, 1, 2}, [](C, C v) { return sym::cos(v); }, {1, 2, 3}, {},
         {0, -2 * std::sin(1.0), -3 * std::sin(2.0)}},
        {"pack twice", 2, {1}, [](C s, C) { return sym::vec2(s, s); }, {1, 2}, {3}, {}},
        {"pack mixed", 2, {1, 2, 3}, [](C s, C v) { return sym::vec3(s, sym::component(v, 2), s); }, {1, 2, 3}, {4},
         {0, 0, 2}},
        {"component", 2, {1, 2, 3}, [](C, C v) { return sym::component(v, 1); }, {5}, {}, {0, 5, 0}},
        {"component of sum", 2, {1, 2, 3}, [](C s, C v) { return sym::component(v + s, 2) * s; }, {1}, {7}, {0, 0, 2}},
        {"leaf scalar", 2, {1}, [](C s, C) { return s; }, {1}, {1}, {}},
        {"leaf vector", 2, {1, 2, 3}, [](C, C v) { return v; }, {1, 2, 3}, {}, {1, 2, 3}},
        {"constants only", 2, {1}, [](C, C) { return sym::constant(1.0, 2.0) * 3.0; }, {1, 1}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Value s = sym::parameter(c.s, "s"), v = sym::parameter(lanes_of(c.v), "v"), out = c.build(s, v);
        if (c.seed == std::vector<double>{1.0}) out.backward();  // the unseeded form
        else out.backward(lanes_of(c.seed));
        EXPECT_GRADS({s, c.grad_s}, {v, c.grad_v});
    }
}

TEST(GradientTest, GradientsAreSharedAndClearedPerGraph) {
    const Value p = sym::parameter(3.0, "p"), q = sym::parameter(5.0, "q"), g1 = p * 2.0, g2 = p * q;
    g1.backward();
    g2.backward();
    EXPECT_GRADS({p, {7}}, {q, {3}});
    // Clearing reaches only what the value depends on.
    g1.zero_grad();
    EXPECT_GRADS({p, {}}, {q, {3}});
    sym::constant(1.0).zero_grad();
    g2.backward();
    EXPECT_GRADS({p, {5}}, {q, {6}});
    // A new value leaves the gradient alone; the next pass adds to it.
    const auto id = p.id();
    p.set_value(sym::small_value(10.0));
    EXPECT_EQ(p.id(), id);
    EXPECT_GRADS({p, {5}});
    g2.backward();
    EXPECT_GRADS({p, {10}}, {q, {16}});
}

TEST(GradientTest, FailedPassesLeaveGradientsUnchanged) {
    const Value p = sym::parameter(2.0, "p"), v = sym::parameter(1.0, 2.0, 3.0, "v"), out = v * p;
    const SmallValue ones = sym::small_value(1.0, 1.0, 1.0);
    out.backward(ones);
    const Value fresh = sym::parameter(4.0, "fresh");  // reached only by failing passes
    const Value with_undefined = (out + p * fresh) + sym::undefined_with_hint(1.0, "u");
    const SmallValue nan3 = lanes_of({1, kNaN, 1}), nan2 = lanes_of({kNaN, 1}), five{5, {1, 1, 1, 1}};
    const auto& bad_arg = typeid(std::invalid_argument);
    const auto& logic = typeid(std::logic_error);
    const struct { const char* name; std::function<void()> call; const std::type_info& cls; std::string message; }
        cases[] = {
        {"seed of 2 lanes", [&] { out.backward(sym::small_value(1.0, 1.0)); }, bad_arg,
         "backward seed dimension does not match output dimension"},
        {"seed of 0 lanes", [&] { out.backward(SmallValue{}); }, bad_arg, kDim},
        {"seed of 5 lanes", [&] { out.backward(five); }, bad_arg, kDim},
        {"NaN seed", [&] { out.backward(nan3); }, bad_arg, kFinite},
        {"NaN before dimension", [&] { out.backward(nan2); }, bad_arg, kFinite},
        {"unseeded on 3 lanes", [&] { out.backward(); }, bad_arg, "backward() without seed requires scalar output"},
        {"undefined below", [&] { with_undefined.backward(ones); }, logic, kUndefined},
        {"zero divisor", [&] { (fresh / (p - p)).backward(); }, bad_arg, kFinite},
        {"empty seeded", [&] { Value{}.backward(nan3); }, bad_arg, kNotValid},
        {"empty unseeded", [&] { Value{}.backward(); }, logic, kBadHandle},
        {"empty zero_grad", [&] { Value{}.zero_grad(); }, bad_arg, kNotValid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(throws_exactly(c.call, c.cls, c.message));
        EXPECT_GRADS({p, {6}}, {v, {2, 2, 2}}, {fresh, {}});
    }
}

// 1 / y^2 underflows to zero, so y's gradient is an infinity; gradients are
// not checked for finiteness.
TEST(GradientTest, UnderflowInDivisorGivesInfiniteGradient) {
    const Value x = sym::parameter(1.0, "x"), y = sym::parameter(1e-200, "y");
    (x / y).backward();
    EXPECT_DOUBLE_EQ(x.grad()[0], 1e200);
    EXPECT_EQ(y.grad()[0], -kInf);
}

TEST(GradientTest, MillionDeepChainRunsWithoutRecursion) {
    const Value p = sym::parameter(1.0, "p");
    Value x = p;
    for (int i = 0; i < 1000000; ++i) x = x + p;
    EXPECT_EQ(x.evaluate()[0], 1000001.0);
    x.backward();
    EXPECT_EQ(p.grad()[0], 1000001.0);
    x.zero_grad();
    EXPECT_FALSE(p.has_grad());
    x = Value{};  // releases the whole chain
    EXPECT_EQ(p.evaluate()[0], 1.0);
}
