// Reverse-mode gradients: every derivative rule under broadcasting,
// accumulation and clearing, failures that must leave gradients untouched,
// and a graph too deep for any recursive walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "symbolic/symbolic.h"

namespace sym = varnel::symbolic;
using sym::SmallValue;
using sym::Value;

namespace {

// Expects exactly class `cls` (not a subclass of it) and the exact message.
void expect_failure(const std::function<void()>& call, const std::type_info& cls,
                    const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "nothing thrown, expected: " << message;
    } catch (const std::exception& e) {
        EXPECT_TRUE(typeid(e) == cls) << "thrown " << typeid(e).name() << ": " << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    }
}

SmallValue lanes_of(const std::vector<double>& lanes) {
    SmallValue v{static_cast<int>(lanes.size()), {}};
    std::copy(lanes.begin(), lanes.end(), v.lanes.begin());
    return v;
}

// An empty list means the value must have no gradient at all.
void expect_grad(const Value& v, const std::vector<double>& lanes) {
    ASSERT_EQ(v.has_grad(), !lanes.empty());
    if (lanes.empty()) return;
    const SmallValue g = v.grad();
    ASSERT_EQ(g.dimension, static_cast<int>(lanes.size()));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(g.lanes[i], i < lanes.size() ? lanes[i] : 0.0) << "lane " << i;
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(GradientTest, WorkedExampleAccumulatesAndClears) {
    const Value x = sym::parameter(2.0, "x");
    const Value y = sym::parameter(3.0, "y");
    const Value sum = x + y;
    const Value z = sum * x;
    z.backward();
    expect_grad(x, {7});
    expect_grad(y, {2});
    z.backward();
    expect_grad(x, {14});
    expect_grad(y, {4});
    expect_grad(sum, {});
    expect_grad(z, {});
    z.zero_grad();
    expect_grad(x, {});
    expect_grad(y, {});
    expect_failure([&] { x.grad(); }, typeid(std::logic_error), "symbolic value has no gradient");
    z.backward();  // starts again from zero
    expect_grad(x, {7});
    // Every level uses the one below twice; each rule must run once per node.
    const Value d0 = sym::parameter(1.0, "d");
    Value d = d0;
    for (int i = 0; i < 60; ++i) d = d + d;
    d.backward();
    expect_grad(d0, {std::ldexp(1.0, 60)});
}

// s is one-lane, v three-lane; the seed contracts the output's lanes.
TEST(GradientTest, EveryRuleWithBroadcasting) {
    struct Case {
        const char* name;
        double s;
        std::vector<double> v;
        std::function<Value(const Value&, const Value&)> build;
        std::vector<double> seed, grad_s, grad_v;
    };
    using C = const Value&;
    const std::vector<Case> cases = {
        {"s*v", 2, {1, 2, 3}, [](C s, C v) { return s * v; }, {1, 1, 1}, {6}, {2, 2, 2}},
        {"v*s weighted", 2, {1, 2, 3}, [](C s, C v) { return v * s; }, {1, 2, 3}, {14}, {2, 4, 6}},
        {"v-s", 2, {1, 2, 3}, [](C s, C v) { return v - s; }, {1, 1, 1}, {-3}, {1, 1, 1}},
        {"s-v", 2, {1, 2, 3}, [](C s, C v) { return s - v; }, {1, 2, 3}, {6}, {-1, -2, -3}},
        {"s+v", 2, {1, 2, 3}, [](C s, C v) { return s + v; }, {1, 2, 4}, {7}, {1, 2, 4}},
        {"s/v", 2, {1, 2, 4}, [](C s, C v) { return s / v; }, {1, 1, 1}, {1.75},
         {-2, -0.5, -0.125}},
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
        {"pack mixed", 2, {1, 2, 3},
         [](C s, C v) { return sym::vec3(s, sym::component(v, 2), s); }, {1, 2, 3}, {4}, {0, 0, 2}},
        {"component", 2, {1, 2, 3}, [](C, C v) { return sym::component(v, 1); }, {5}, {},
         {0, 5, 0}},
        {"component of sum", 2, {1, 2, 3}, [](C s, C v) { return sym::component(v + s, 2) * s; },
         {1}, {7}, {0, 0, 2}},
        {"leaf scalar", 2, {1}, [](C s, C) { return s; }, {1}, {1}, {}},
        {"leaf vector", 2, {1, 2, 3}, [](C, C v) { return v; }, {1, 2, 3}, {}, {1, 2, 3}},
        {"constants only", 2, {1}, [](C, C) { return sym::constant(1.0, 2.0) * 3.0; }, {1, 1},
         {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Value s = sym::parameter(c.s, "s");
        const Value v = sym::parameter(lanes_of(c.v), "v");
        const Value out = c.build(s, v);
        if (c.seed == std::vector<double>{1.0}) {
            out.backward();
        } else {
            out.backward(lanes_of(c.seed));
        }
        expect_grad(s, c.grad_s);
        expect_grad(v, c.grad_v);
    }
}

TEST(GradientTest, GradientsAreSharedAndClearedPerGraph) {
    const Value p = sym::parameter(3.0, "p");
    const Value q = sym::parameter(5.0, "q");
    const Value g1 = p * 2.0;
    const Value g2 = p * q;
    g1.backward();
    g2.backward();
    expect_grad(p, {7});
    expect_grad(q, {3});
    // Clearing reaches only what the value depends on.
    g1.zero_grad();
    expect_grad(p, {});
    expect_grad(q, {3});
    sym::constant(1.0).zero_grad();
    g2.backward();
    expect_grad(p, {5});
    expect_grad(q, {6});
    // A new value leaves the gradient alone; the next pass adds to it.
    const auto id = p.id();
    p.set_value(sym::small_value(10.0));
    EXPECT_EQ(p.id(), id);
    expect_grad(p, {5});
    g2.backward();
    expect_grad(p, {10});
    expect_grad(q, {16});
}

TEST(GradientTest, FailedPassesLeaveGradientsUnchanged) {
    const Value p = sym::parameter(2.0, "p");
    const Value v = sym::parameter(1.0, 2.0, 3.0, "v");
    const Value out = v * p;
    const SmallValue ones = sym::small_value(1.0, 1.0, 1.0);
    out.backward(ones);
    const Value fresh = sym::parameter(4.0, "fresh");  // reached only by failing passes
    const Value with_undefined = (out + p * fresh) + sym::undefined_with_hint(1.0, "u");
    const SmallValue nan3 = lanes_of({1, kNaN, 1}), nan2 = lanes_of({kNaN, 1});
    const SmallValue five{5, {1, 1, 1, 1}};
    const auto& bad_arg = typeid(std::invalid_argument);
    const std::string no_value = "backward value is not a valid symbolic value";
    const std::string bad_dim = "symbolic value dimension must be in 1..4";
    const std::string not_finite = "symbolic value lanes must be finite";
    const struct {
        const char* name;
        std::function<void()> call;
        const std::type_info& cls;
        std::string message;
    } cases[] = {
        {"seed of 2 lanes", [&] { out.backward(sym::small_value(1.0, 1.0)); }, bad_arg,
         "backward seed dimension does not match output dimension"},
        {"seed of 0 lanes", [&] { out.backward(SmallValue{}); }, bad_arg, bad_dim},
        {"seed of 5 lanes", [&] { out.backward(five); }, bad_arg, bad_dim},
        {"NaN seed", [&] { out.backward(nan3); }, bad_arg, not_finite},
        {"NaN before dimension", [&] { out.backward(nan2); }, bad_arg, not_finite},
        {"unseeded on 3 lanes", [&] { out.backward(); }, bad_arg,
         "backward() without seed requires scalar output"},
        {"undefined below", [&] { with_undefined.backward(ones); }, typeid(std::logic_error),
         "cannot evaluate symbolic graph with Undefined values"},
        {"zero divisor", [&] { (fresh / (p - p)).backward(); }, bad_arg, not_finite},
        {"empty seeded", [&] { Value{}.backward(nan3); }, bad_arg, no_value},
        {"empty unseeded", [&] { Value{}.backward(); }, typeid(std::logic_error),
         "invalid symbolic value handle"},
        {"empty zero_grad", [&] { Value{}.zero_grad(); }, bad_arg, no_value},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_failure(c.call, c.cls, c.message);
        expect_grad(p, {6});
        expect_grad(v, {2, 2, 2});
        expect_grad(fresh, {});
    }
}

// 1 / y^2 underflows to zero, so y's gradient is an infinity; gradients are
// not checked for finiteness.
TEST(GradientTest, UnderflowInDivisorGivesInfiniteGradient) {
    const Value x = sym::parameter(1.0, "x");
    const Value y = sym::parameter(1e-200, "y");
    (x / y).backward();
    EXPECT_DOUBLE_EQ(x.grad()[0], 1e200);
    EXPECT_EQ(y.grad()[0], -std::numeric_limits<double>::infinity());
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
