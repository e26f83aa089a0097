// Expression builders: folding of constant operands, the nodes made
// otherwise, the component shortcuts, operand labels and make_expression.
#include <cmath>

#include "test_support.h"

namespace {

// `make` must fold into a new Constant: one id beyond the `leaves` ids of
// the number forms' own constants, and no Expression node on the way.
void expect_folds(const std::function<Value()>& make, const std::vector<double>& expected, std::uint64_t leaves = 0) {
    const std::uint64_t id = next_id() + 1 + leaves;
    const Value r = make();
    EXPECT_TRUE(r.is_constant());
    EXPECT_EQ(r.id(), id);
    EXPECT_EQ(next_id(), id + 1);
    EXPECT_EQ(r.dimension(), static_cast<int>(expected.size()));
    EXPECT_LANES(r.value(), expected);
}

void expect_node(const Value& v, Op op, int dimension, std::initializer_list<Value> inputs) {
    EXPECT_TRUE(v.is_expression());
    EXPECT_EQ(v.op(), op);
    EXPECT_EQ(v.dimension(), dimension);
    EXPECT_EQ(v.input_count(), static_cast<int>(inputs.size()));
    for (std::size_t i = 0; i < 4; ++i) {
        const Value& want = i < inputs.size() ? inputs.begin()[i] : Value{};
        EXPECT_TRUE(v.node().inputs[i].same_node(want)) << "input " << i;
    }
    EXPECT_EQ(v.name(), "");
    EXPECT_ERROR_NO_ID(std::logic_error, kNoValue, v.value());
}

// Each operator in its three forms: two handles, handle and number, number and handle.
struct Binary {
    Op op;
    std::function<Value(Value, Value)> vv;
    std::function<Value(Value, double)> vd;
    std::function<Value(double, Value)> dv;
};
template <class F>
Binary binary(Op op, F f) { return {op, f, f, f}; }
const Binary kBinaries[] = {
    binary(Op::Add, [](auto a, auto b) { return a + b; }),
    binary(Op::Subtract, [](auto a, auto b) { return a - b; }),
    binary(Op::Multiply, [](auto a, auto b) { return a * b; }),
    binary(Op::Divide, [](auto a, auto b) { return a / b; }),
};

}  // namespace

TEST(Expressions, ConstantOperandsFoldIntoOneNewConstant) {
    const Value two = sym::constant(2.0), v = sym::constant(1, 2, 4), zero = sym::constant(0.0);
    const Value pair = sym::constant(0.0, 1.0), three = sym::constant(3.0);
    expect_folds([&] { return two + v; }, {3, 4, 6});
    expect_folds([&] { return v - two; }, {-1, 0, 2});
    expect_folds([&] { return v * v; }, {1, 4, 16});
    expect_folds([&] { return 8.0 / v; }, {8, 4, 2}, 1);
    expect_folds([&] { return v * 0.5; }, {0.5, 1, 2}, 1);
    expect_folds([&] { return -pair; }, {-0.0, -1});
    EXPECT_TRUE(std::signbit((-zero).value().lanes[0]));
    expect_folds([&] { return sym::sin(zero); }, {0});
    expect_folds([&] { return sym::cos(zero); }, {1});
    expect_folds([&] { return sym::component(v, 2); }, {4});
    expect_folds([&] { return sym::vec2(two, zero); }, {2, 0});
    expect_folds([&] { return sym::vec3(three, two, zero); }, {3, 2, 0});
    expect_folds([&] { return sym::vec4(two, two, three, two); }, {2, 2, 3, 2});
}

TEST(Expressions, BinaryBuildersMakeNodesWithCombinedDimension) {
    const Value p = sym::parameter(1.0, "p"), q = sym::parameter(1, 2, 3, "q"), c = sym::constant(2.0);
    const Value u = sym::undefined(3, "u"), c2 = sym::constant(1, 2), w = sym::undefined(4, "w");
    const std::string mismatch = "cannot combine symbolic values with dimensions ";
    for (const auto& b : kBinaries) {
        SCOPED_TRACE(sym::to_string(b.op));
        expect_node(b.vv(p, c), b.op, 1, {p, c});
        expect_node(b.vv(c, q), b.op, 3, {c, q});
        expect_node(b.vv(q, p), b.op, 3, {q, p});
        expect_node(b.vv(u, q), b.op, 3, {u, q});
        expect_node(b.vv(p, p), b.op, 1, {p, p});  // no simplification
        EXPECT_ERROR_NO_ID(std::invalid_argument, mismatch + "2 and 3", b.vv(c2, q));
        EXPECT_ERROR_NO_ID(std::invalid_argument, mismatch + "3 and 2", b.vv(q, c2));
        EXPECT_ERROR_NO_ID(std::invalid_argument, mismatch + "3 and 4", b.vv(u, w));
        EXPECT_ERROR_NO_ID(std::invalid_argument, "left operand is not a valid symbolic value", b.vv(Value{}, w));
        EXPECT_ERROR_NO_ID(std::invalid_argument, "right operand is not a valid symbolic value", b.vv(c2, Value{}));
        // Number forms: a one-lane Constant made just before the node, on the number's side.
        const Value r = b.vd(q, 2.0), l = b.dv(2.0, q);
        expect_node(r, b.op, 3, {q, r.input(1)});
        expect_node(l, b.op, 3, {l.input(0), q});
        EXPECT_TRUE(r.input(1).is_constant() && l.input(0).is_constant());
        EXPECT_EQ(r.input(1).value().lanes, c.value().lanes);
        EXPECT_EQ(r.input(1).id() + 1, r.id());
        // The number is checked first, even against an empty operand; after
        // that its Constant has taken an id, the one documented exception.
        EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, b.vd(Value{}, kNaN));
        EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, b.dv(-HUGE_VAL, Value{}));
        EXPECT_ERROR_IDS(1, std::invalid_argument, "left operand is not a valid symbolic value", b.vd(Value{}, 1.0));
        EXPECT_ERROR_IDS(1, std::invalid_argument, "right operand is not a valid symbolic value", b.dv(1.0, Value{}));
    }
}

TEST(Expressions, FoldingFailuresAndUnaryNodes) {
    const Value one = sym::constant(1.0), zero = sym::constant(0.0), big = sym::constant(1e308, 1.0);
    const Value ten = sym::constant(10.0), p = sym::parameter(1.0, "p"), q = sym::parameter(1, 2, 3, "q");
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, one / zero);
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, zero / zero);
    EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, big * ten);
    EXPECT_ERROR_IDS(1, std::invalid_argument, kFinite, one / 0.0);
    expect_node(p / zero, Op::Divide, 1, {p, zero});  // fails only when evaluated
    const Value twice = -(-p);
    expect_node(twice, Op::Negate, 1, {twice.input(0)});
    expect_node(twice.input(0), Op::Negate, 1, {p});
    expect_node(sym::sin(q), Op::Sin, 3, {q});
    expect_node(sym::cos(q), Op::Cos, 3, {q});
}

TEST(Expressions, EmptyOperandsAreReportedByLabelInCheckingOrder) {
    const Value e, p = sym::parameter(1.0, "p"), two = sym::parameter(1, 2, "two");
    const std::pair<std::function<Value()>, const char*> cases[] = {
        {[&] { return e + two; }, "left operand"}, {[&] { return e / e; }, "left operand"},
        {[&] { return two - e; }, "right operand"}, {[&] { return -e; }, "unary operand"},
        {[&] { return sym::sin(e); }, "unary operand"}, {[&] { return sym::cos(e); }, "unary operand"},
        {[&] { return sym::component(e, -1); }, "component value"},
        {[&] { return sym::vec2(e, two); }, "vec2 x"}, {[&] { return sym::vec2(two, e); }, "vec2 y"},
        {[&] { return sym::vec3(two, p, e); }, "vec3 z"}, {[&] { return sym::vec3(two, e, e); }, "vec3 y"},
        {[&] { return sym::vec4(e, e, e, e); }, "vec4 x"}, {[&] { return sym::vec4(p, e, p, p); }, "vec4 y"},
        {[&] { return sym::vec4(p, p, e, p); }, "vec4 z"}, {[&] { return sym::vec4(two, p, p, e); }, "vec4 w"},
    };
    for (const auto& [make, label] : cases)
        EXPECT_ERROR_NO_ID(std::invalid_argument, std::string(label) + " is not a valid symbolic value", make());
}

TEST(Expressions, ComponentShortcutsAndNodes) {
    const Value p = sym::parameter(1.0, "p"), c1 = sym::constant(5.0), u = sym::undefined(1, "u");
    const Value q = sym::parameter(1, 2, 3, "q"), a = sym::constant(1.0), sum = q + q;
    for (const Value& scalar : {p, c1, u, p + p}) {
        const std::uint64_t id = next_id() + 1;
        EXPECT_TRUE(sym::component(scalar, 0).same_node(scalar));
        EXPECT_EQ(next_id(), id);  // nothing made
    }
    const char* range = "symbolic component index out of range";
    EXPECT_ERROR_NO_ID(std::out_of_range, range, sym::component(p, 1));
    EXPECT_ERROR_NO_ID(std::out_of_range, range, sym::component(p, -1));
    EXPECT_ERROR_NO_ID(std::out_of_range, range, sym::component(q, 3));
    EXPECT_ERROR_NO_ID(std::out_of_range, range, sym::component(sum, -1));
    const Value packed = sym::vec3(a, p, sym::undefined(1, "z"));
    EXPECT_TRUE(sym::component(packed, 1).same_node(p));
    EXPECT_TRUE(sym::component(packed, 0).same_node(a));
    const Value comp = sym::component(sum, 1);
    expect_node(comp, Op::Component, 1, {sum});
    EXPECT_EQ(comp.component_index(), 1);
    expect_node(sym::component(q, 0), Op::Component, 1, {q});
    EXPECT_EQ(sum.component_index(), -1);
}

TEST(Expressions, PackBuildsNodesOfScalarArguments) {
    const Value a = sym::constant(1.0), p = sym::parameter(2.0, "p"), two = sym::constant(1, 2);
    const Value three = sym::parameter(1, 2, 3, "three");
    expect_node(sym::vec2(a, p), Op::Pack, 2, {a, p});
    expect_node(sym::vec3(p, a, p), Op::Pack, 3, {p, a, p});
    expect_node(sym::vec4(a, a, a, p), Op::Pack, 4, {a, a, a, p});
    const std::string scalar = " expression inputs must be scalar symbolic values";
    EXPECT_ERROR_NO_ID(std::invalid_argument, "vec2" + scalar, sym::vec2(two, p));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "vec3" + scalar, sym::vec3(p, a, two));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "vec4" + scalar, sym::vec4(a, three, a, a));
}

TEST(Expressions, MakeExpressionChecksOnlyDimensionCountAndUsedInputs) {
    const Value p = sym::parameter(1.0, "p"), q = sym::parameter(2.0, "q");
    const char* count = "symbolic expression input count must be in 1..4";
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, sym::make_expression(Op::Add, 0, {}, 9, -1));
    EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, sym::make_expression(Op::Add, 5, {p}, 1, -1));
    EXPECT_ERROR_NO_ID(std::invalid_argument, count, sym::make_expression(Op::Add, 1, {}, 0, -1));
    EXPECT_ERROR_NO_ID(std::invalid_argument, count, sym::make_expression(Op::Add, 1, {p, p, p, p}, 5, -1));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "expression input is not a valid symbolic value",
                       sym::make_expression(Op::Add, 1, {p}, 2, -1));
    // Nothing else is checked, and entries past the count are kept as given.
    const Value odd = sym::make_expression(Op::None, 3, {p, q, Value{}, p}, 1, 7);
    EXPECT_EQ(odd.op(), Op::None);
    EXPECT_EQ(odd.dimension(), 3);
    EXPECT_EQ(odd.input_count(), 1);
    EXPECT_EQ(odd.component_index(), 7);
    EXPECT_TRUE(odd.node().inputs[1].same_node(q));
    EXPECT_TRUE(odd.node().inputs[3].same_node(p));
    EXPECT_ERROR_NO_ID(std::out_of_range, kInputIndex, odd.input(1));
}
