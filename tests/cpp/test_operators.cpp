// The lane kernels shared by folding and evaluation: formulas, broadcasting,
// the finiteness of results and the order of their checks; and the operator
// table behind them.
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "symbolic/detail/operators.h"
#include "test_support.h"

TEST(LaneArithmetic, BinaryFormulasAndBroadcasting) {
    const SmallValue one = sym::small_value(2.0), three = sym::small_value(1.0, 2.0, 3.0);
    const SmallValue noisy{1, {10.0, kNaN, kNaN, kNaN}};  // only lane 0 may be read
    const struct { Op op; SmallValue left, right; int dimension; std::array<double, 4> expected; } cases[] = {
        {Op::Add, one, three, 3, {3, 4, 5, 0}},
        {Op::Add, three, one, 3, {3, 4, 5, 0}},
        {Op::Subtract, noisy, three, 3, {9, 8, 7, 0}},
        {Op::Subtract, three, noisy, 3, {-9, -8, -7, 0}},
        {Op::Multiply, sym::small_value(1, 2, 3, 4), sym::small_value(2, 3, 4, 5), 4, {2, 6, 12, 20}},
        {Op::Multiply, sym::small_value(1, 2), noisy, 2, {10, 20, 0, 0}},
        {Op::Divide, sym::small_value(1.0), sym::small_value(4.0), 1, {0.25, 0, 0, 0}},
        {Op::Divide, sym::small_value(3, 6), sym::small_value(2, 4), 2, {1.5, 1.5, 0, 0}},
        {Op::Add, SmallValue{2, {1, 1, 9, 9}}, SmallValue{2, {1, 1, 9, 9}}, 2, {2, 2, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sym::to_string(c.op));
        const SmallValue r = sym::binary_constant(c.op, c.left, c.right, c.dimension);
        EXPECT_EQ(r.dimension, c.dimension);
        EXPECT_EQ(r.lanes, c.expected);
    }
}

TEST(LaneArithmetic, NonFiniteBinaryResultsAreRefused) {
    const auto v = [](auto... x) { return sym::small_value(x...); };
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::binary_constant(Op::Divide, v(1, 2), v(1, 0), 2));
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::binary_constant(Op::Multiply, v(1e308), v(10.0), 1));
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::binary_constant(Op::Subtract, v(-kMax), v(kMax), 1));
    const SmallValue nan_lane{2, {1, kNaN, 0, 0}};
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::binary_constant(Op::Add, nan_lane, v(1.0), 2));
}

TEST(LaneArithmetic, BinaryChecksDimensionWhenNoLaneIsComputedThenOperatorThenFiniteness) {
    const SmallValue a = sym::small_value(1, 2), nan{2, {kNaN, kNaN, 0, 0}};
    const char* op_msg = "unsupported binary symbolic expression op";
    for (Op op : {Op::None, Op::Pack, Op::Component, Op::Negate, Op::Sin, Op::Cos, Op::Sqrt, Op::Abs, Op::Cbrt,
                  kPastLastOp}) {
        SCOPED_TRACE(static_cast<int>(op));
        EXPECT_ERROR(std::invalid_argument, op_msg, sym::binary_constant(op, nan, a, 2));
        for (int dimension : {-1, 0, 5})
            EXPECT_ERROR(std::invalid_argument, kDim, sym::binary_constant(op, a, a, dimension));
    }
    EXPECT_ERROR(std::invalid_argument, kDim, sym::binary_constant(Op::Add, nan, a, 0));
}

TEST(LaneArithmetic, UnaryFormulas) {
    const SmallValue neg = sym::unary_constant(Op::Negate, SmallValue{2, {0.0, 1.5, 9, 9}});
    EXPECT_LANES(neg, {-0.0, -1.5});  // dead lanes come back zero
    EXPECT_TRUE(std::signbit(neg.lanes[0]));
    EXPECT_FALSE(std::signbit(sym::unary_constant(Op::Negate, sym::small_value(-0.0)).lanes[0]));
    const SmallValue x = sym::small_value(0.0, 1.0, -2.5, 3.0);
    const SmallValue s = sym::unary_constant(Op::Sin, x), c = sym::unary_constant(Op::Cos, x);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.lanes[i], std::sin(x.lanes[i]));
        EXPECT_EQ(c.lanes[i], std::cos(x.lanes[i]));
    }
    EXPECT_EQ(s.lanes[0], 0.0);
    EXPECT_EQ(c.lanes[0], 1.0);
}

TEST(LaneArithmetic, UnaryChecksDimensionThenOperatorThenFiniteness) {
    const SmallValue nan{1, {kNaN, 0, 0, 0}};
    for (int dimension : {-1, 0, 5})
        EXPECT_ERROR(std::invalid_argument, kDim, sym::unary_constant(Op::Add, SmallValue{dimension, {kNaN}}));
    EXPECT_ERROR(std::invalid_argument, kDim, sym::unary_constant(Op::Negate, SmallValue{}));
    for (Op op : {Op::None, Op::Pack, Op::Component, Op::Add, Op::Subtract, Op::Multiply, Op::Divide, Op::Pow,
                  Op::Atan2, Op::Hypot, kPastLastOp})
        EXPECT_ERROR(std::invalid_argument, "unsupported unary symbolic expression op", sym::unary_constant(op, nan));
    for (Op op : {Op::Negate, Op::Sin, Op::Cos}) {
        EXPECT_ERROR(std::invalid_argument, kFinite, sym::unary_constant(op, nan));
        EXPECT_ERROR(std::invalid_argument, kFinite, sym::unary_constant(op, SmallValue{3, {0, 1, -kInf, 0}}));
    }
}

// Every operator of the table has a rule of one or two operands, in the
// order of the enumeration; None, Pack and Component have none.
TEST(OperatorRules, EveryOperatorHasARuleOfItsOperandCount) {
    const int operands[] = {0, 0, 0, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 1, 1, 1};
    for (int k = 0; k < 27; ++k) {
        SCOPED_TRACE(sym::to_string(static_cast<Op>(k)));
        EXPECT_EQ(sym::rule_operands(static_cast<Op>(k)), operands[k]);
    }
    EXPECT_EQ(sym::rule_operands(kPastLastOp), 0);
}

// A pow whose exponent is a Constant takes no logarithm of its base, so a
// negative base leaves both sweeps finite; with a varying exponent the
// exponent's derivative there is NaN.
TEST(OperatorRules, PowTakesTheExponentsDerivativeOnlyWhenItVaries) {
    const sym::Adjoints fixed = sym::PowRule::adjoint(-2.0, 3.0, -8.0, 1.0, false);
    EXPECT_EQ(fixed.left, 12.0);
    EXPECT_EQ(fixed.right, 0.0);
    EXPECT_EQ(sym::PowRule::tangent(-2.0, 3.0, -8.0, 1.0, 0.0, false), 12.0);
    const sym::Adjoints varying = sym::PowRule::adjoint(-2.0, 3.0, -8.0, 1.0, true);
    EXPECT_EQ(varying.left, 12.0);
    EXPECT_TRUE(std::isnan(varying.right));
    EXPECT_EQ(sym::PowRule::adjoint(0.0, 2.5, 0.0, 1.0, true).right, 0.0);
    EXPECT_EQ(sym::PowRule::adjoint(0.0, 0.0, 1.0, 1.0, false).left, 0.0);
}

// Calls visit with every rule of one operand, under a trace of its name.
template <typename Visit>
void for_each_one_operand_rule(Visit&& visit) {
    for (int k = 7; k < 27; ++k) {
        const Op op = static_cast<Op>(k);
        if (sym::rule_operands(op) != 1) continue;
        SCOPED_TRACE(sym::to_string(op));
        sym::with_rule(
            op,
            [&](auto rule) {
                if constexpr (decltype(rule)::operands == 1) visit(rule);
            },
            [] {});
    }
}

// For one operand, adjoint and tangent are the same product, so forward
// and reverse sweeps give the same bits.
TEST(OperatorRules, OneOperandAdjointAndTangentAgree) {
    for_each_one_operand_rule([](auto rule) {
        for (double x : {0.25, 0.5, 0.75}) {
            const double y = decltype(rule)::value(x);
            EXPECT_EQ(decltype(rule)::adjoint(x, y, 0.3), decltype(rule)::tangent(x, y, 0.3));
        }
    });
}

namespace {

// Out of line, so that the compiler cannot make the two calls one.
[[gnu::noinline]] double sine_alone(double x) { return std::sin(x); }
[[gnu::noinline]] double cosine_alone(double x) { return std::cos(x); }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

// The compiled tape keeps the derivative of sin and cos from its forward
// pass, where the pair is computed with one call: its bits must be those of
// separate sin and cos calls, as eval and backward make them, over every
// range the argument reduction treats apart.
TEST(OperatorRules, PairedValueAndDerivativeAreTheSeparateCallsBits) {
    std::mt19937_64 rng(7);
    std::vector<double> arguments = {0.0, -0.0, 1e-300, 5e-324, 0.7853981633974483, 1.5707963267948966,
                                     3.141592653589793, 1e22, -1e22, 1.7976931348623157e308, 105414350.0};
    for (const double scale : {1e-8, 1.0, 4.0, 100.0, 1e6, 1e15, 1e300}) {
        std::uniform_real_distribution<double> number(-scale, scale);
        for (int i = 0; i < 20000; ++i) arguments.push_back(number(rng));
    }
    int wrong = 0;
    for (const double x : arguments) {
        double sine[2];
        double cosine[2];
        sym::SinRule::value_and_derivative(x, &sine[0], &sine[1]);
        sym::CosRule::value_and_derivative(x, &cosine[0], &cosine[1]);
        wrong += !same_bits(sine[0], sine_alone(x)) || !same_bits(sine[1], cosine_alone(x)) ||
                 !same_bits(cosine[0], cosine_alone(x)) || !same_bits(cosine[1], -sine_alone(x));
    }
    EXPECT_EQ(wrong, 0);
}

// The passes skip the finiteness check of a rule that stays finite, so the
// claim must hold for every finite operand, the extremes included: one
// rule marked wrongly (exp, sqrt, log) would let a result that is not
// finite through unrefused. The others must overflow somewhere, else the
// mark is missing where it would save the check.
TEST(OperatorRules, RulesThatStayFiniteAreFiniteForEveryFiniteOperand) {
    std::vector<double> operands = {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.0, -1.0,
                                    1.5707963267948966, -1.5707963267948966, 710.0, -710.0, 1e22,
                                    1.7976931348623157e308, -1.7976931348623157e308};
    std::mt19937_64 rng(11);
    for (const double scale : {1.0, 1e3, 1e300}) {
        std::uniform_real_distribution<double> number(-scale, scale);
        for (int i = 0; i < 2000; ++i) operands.push_back(number(rng));
    }
    int marked = 0;
    for_each_one_operand_rule([&](auto rule) {
        using Rule = decltype(rule);
        bool all_finite = true;
        for (const double x : operands) all_finite &= std::isfinite(Rule::value(x));
        EXPECT_EQ(all_finite, sym::stays_finite<Rule>);
        marked += sym::stays_finite<Rule>;
    });
    EXPECT_EQ(marked, 8);  // negate, sin, cos, tan, atan, tanh, abs, cbrt
}
