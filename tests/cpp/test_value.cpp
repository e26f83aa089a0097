// Nodes and handles: kind and operator texts, accessors on empty handles and
// wrong kinds, make_node, set_value, debug_string and release of long chains.
#include "test_support.h"

using Kind = sym::ValueKind;

TEST(Value, KindAndOperatorTexts) {
    const char* kinds[] = {"Constant", "Parameter", "Undefined", "Expression"};
    for (int k = 0; k < 4; ++k) EXPECT_STREQ(sym::to_string(static_cast<Kind>(k)), kinds[k]);
    const char* ops[] = {"None", "Pack", "Component", "Add", "Subtract", "Multiply", "Divide", "Negate", "Sin",
                         "Cos", "Sqrt", "Exp", "Log", "Tan", "Asin", "Acos", "Atan", "Sinh", "Cosh", "Tanh",
                         "Abs", "Pow", "Atan2", "Hypot", "Log1p", "Expm1", "Cbrt"};
    for (int k = 0; k < 27; ++k) EXPECT_STREQ(sym::to_string(static_cast<Op>(k)), ops[k]);
    for (int k : {4, 7, 255}) EXPECT_STREQ(sym::to_string(static_cast<Kind>(k)), "Unknown");
    for (int k : {27, 255}) EXPECT_STREQ(sym::to_string(static_cast<Op>(k)), "Unknown");
}

TEST(Value, EveryAccessorRefusesAnEmptyHandle) {
    const Value e;
    const std::function<void()> calls[] = {
        [&] { e.node(); }, [&] { e.mutable_node(); }, [&] { e.id(); }, [&] { e.kind(); },
        [&] { e.op(); }, [&] { e.dimension(); }, [&] { e.component_index(); }, [&] { e.name(); },
        [&] { e.is_constant(); }, [&] { e.is_parameter(); }, [&] { e.is_undefined(); },
        [&] { e.is_expression(); }, [&] { e.value(); }, [&] { e.has_hint(); }, [&] { e.hint(); },
        [&] { e.has_grad(); }, [&] { e.grad(); }, [&] { e.input_count(); }, [&] { e.input(0); },
        [&] { e.debug_string(); }, [&] { e.set_value(sym::small_value(1.0)); }};
    for (const auto& call : calls) EXPECT_ERROR_NO_ID(std::logic_error, kBadHandle, call());
    EXPECT_FALSE(e.is_leaf());
    EXPECT_TRUE(e.same_node(Value{}));
}

TEST(Value, AccessorsRefuseWhatTheNodeDoesNotHave) {
    const Value c = sym::constant(1.0), p = sym::parameter(2.0, "p"), u = sym::undefined(2, "u");
    const Value h = sym::undefined_with_hint(1.0, "h"), sum = p + c;
    for (const Value& v : {u, h, sum}) EXPECT_ERROR_NO_ID(std::logic_error, kNoValue, v.value());
    EXPECT_ERROR_NO_ID(std::logic_error, kNoHint, c.hint());
    for (const Value& v : {c, p, u, sum}) {
        EXPECT_FALSE(v.has_grad());
        EXPECT_ERROR_NO_ID(std::logic_error, kNoGrad, v.grad());
        EXPECT_EQ(v.component_index(), -1);
        for (int i : {v.input_count(), -1}) EXPECT_ERROR_NO_ID(std::out_of_range, kInputIndex, v.input(i));
    }
    EXPECT_TRUE(sum.input(0).same_node(p));
    EXPECT_TRUE(sum.input(1).same_node(c));
}

TEST(Value, SameNodeComparesIdentityNotContent) {
    Value a = sym::constant(1.0);
    const Value copy = a, moved = std::move(a);
    EXPECT_TRUE(moved.same_node(copy));
    EXPECT_FALSE(copy.same_node(sym::constant(1.0)));
    EXPECT_TRUE(a.same_node(Value{}));  // moving empties the source
}

TEST(Value, MakeNodeChecksInOrderAndFillsLeafFields) {
    const SmallValue nan1{1, {kNaN, 0, 0, 0}};
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, sym::make_node(Kind::Constant, 0, nan1, nan1, ""));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, sym::make_node(Kind::Constant, 5, {}, {}, ""));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, sym::make_node(Kind::Constant, 1, {7, {1, 1, 1, 1}}, {}, ""));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, sym::make_node(Kind::Parameter, 1, nan1, {}, ""));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, sym::make_node(Kind::Undefined, 2, {}, nan1, ""));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "symbolic hint dimension mismatch",
                       sym::make_node(Kind::Undefined, 2, {}, sym::small_value(1.0), ""));
    // The value's dimension is not compared with the node's, and all lanes are kept.
    const Value v = sym::make_node(Kind::Parameter, 3, {1, {7, 8, 9, 0}}, std::nullopt, "n");
    EXPECT_EQ(v.dimension(), 3);
    EXPECT_EQ(v.node().value.lanes[2], 9.0);
    EXPECT_EQ(v.name(), "n");
    EXPECT_EQ(sym::make_node(Kind::Constant, 2, {}, {}, "").value().dimension, 0);  // no value
}

TEST(Value, SetValueValidatesArgumentThenHandleThenKindThenDimension) {
    const Value p = sym::parameter(1.0, "p"), c = sym::constant(1.0), u = sym::undefined(1, "u"), sum = p + 1.0;
    const char* kind = "set_value() is only valid for Parameter values";
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, Value{}.set_value(SmallValue{1, {kNaN, 0, 0, 0}}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, Value{}.set_value(SmallValue{}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, p.set_value(SmallValue{5, {1, 1, 1, 1}}));
    EXPECT_ERROR_NO_ID(std::logic_error, kind, c.set_value(sym::small_value(1, 2, 3)));
    for (const Value& v : {u, sum}) EXPECT_ERROR_NO_ID(std::logic_error, kind, v.set_value(sym::small_value(1.0)));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "set_value() dimension does not match Parameter dimension",
                       p.set_value(sym::small_value(1, 2, 3)));
    EXPECT_EQ(p.value().lanes[0], 1.0);  // failed calls left it alone
}

TEST(Value, SetValueReplacesAllLanesAndKeepsIdAndGradient) {
    const Value p = sym::parameter(2.0, "p"), copy = p;
    (p * p).backward();
    const std::uint64_t id = p.id();
    const SmallValue v{1, {5.0, 9.0, 0.0, 0.0}};  // lane 1 is dead but still stored
    p.set_value(v);
    EXPECT_EQ(copy.node().value.lanes, v.lanes);
    EXPECT_EQ(p.id(), id);
    ASSERT_TRUE(p.has_grad());
    EXPECT_EQ(p.grad().lanes[0], 4.0);
}

TEST(Value, DebugStringFormats) {
    const auto id = [](const Value& v) { return std::to_string(v.id()); };
    const Value c = sym::constant(1.0), pos = sym::parameter(1, 2, 3, "pos"), anon = sym::parameter(1, 2, "");
    const Value u = sym::undefined(4, "a b)"), sum = anon + sym::constant(1, 2), comp = sym::component(pos, 2);
    EXPECT_EQ(c.debug_string(), "Constant<1>#" + id(c));
    EXPECT_EQ(pos.debug_string(), "Parameter<3>#" + id(pos) + "(pos)");
    EXPECT_EQ(anon.debug_string(), "Parameter<2>#" + id(anon));
    EXPECT_EQ(u.debug_string(), "Undefined<4>#" + id(u) + "(a b))");
    EXPECT_EQ(sum.debug_string(), "Expression<2>#" + id(sum) + " op=Add");
    EXPECT_EQ(comp.debug_string(), "Expression<1>#" + id(comp) + " op=Component");
}

// Dropping a deep chain must not recurse once per level, and releasing the
// top must leave everything still held from elsewhere intact.
TEST(Value, MillionNodeChainIsReleasedWithoutExhaustingTheStack) {
    const Value p = sym::parameter(0.0, "p");
    Value mid;
    {
        Value x = p;
        for (int i = 0; i < 1000000; ++i) {
            x = x + 1.0;
            if (i == 499999) mid = x;
        }
    }
    int depth = 0;
    for (Value v = mid; !v.same_node(p); v = v.input(0)) ++depth;
    EXPECT_EQ(depth, 500000);
    mid = Value{};
    EXPECT_EQ(p.value().lanes[0], 0.0);
}
