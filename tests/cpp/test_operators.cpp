// The lane kernels shared by folding and evaluation: formulas, broadcasting,
// the finiteness of results and the order of their checks.
#include <array>
#include <cmath>

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
    for (Op op : {Op::None, Op::Pack, Op::Component, Op::Negate, Op::Sin, Op::Cos, static_cast<Op>(10)}) {
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
    for (Op op : {Op::None, Op::Pack, Op::Component, Op::Add, Op::Subtract, Op::Multiply, Op::Divide,
                  static_cast<Op>(10)})
        EXPECT_ERROR(std::invalid_argument, "unsupported unary symbolic expression op", sym::unary_constant(op, nan));
    for (Op op : {Op::Negate, Op::Sin, Op::Cos}) {
        EXPECT_ERROR(std::invalid_argument, kFinite, sym::unary_constant(op, nan));
        EXPECT_ERROR(std::invalid_argument, kFinite, sym::unary_constant(op, SmallValue{3, {0, 1, -kInf, 0}}));
    }
}
