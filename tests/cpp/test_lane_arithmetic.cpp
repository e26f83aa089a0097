// The lane kernels shared by folding and evaluation: formulas, broadcasting,
// the finiteness of results and the order of their checks.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <typeinfo>

#include "symbolic/lane_arithmetic.h"
#include "symbolic/symbolic.h"

namespace sym = varnel::symbolic;
using Op = sym::ExpressionOp;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Expects exactly class E (not a subclass) with message `msg`.
#define EXPECT_ERROR(E, msg, ...)                                                              \
    do {                                                                                       \
        try {                                                                                  \
            (void)(__VA_ARGS__);                                                               \
            ADD_FAILURE() << "no exception from " #__VA_ARGS__;                                \
        } catch (const std::exception& e_) {                                                   \
            EXPECT_TRUE(typeid(e_) == typeid(E)) << typeid(e_).name() << " from " #__VA_ARGS__; \
            EXPECT_STREQ(e_.what(), msg) << #__VA_ARGS__;                                      \
        }                                                                                      \
    } while (0)

const char* const kFinite = "symbolic value lanes must be finite";
const char* const kDim = "symbolic value dimension must be in 1..4";
const char* const kBinaryOp = "unsupported binary symbolic expression op";
const char* const kUnaryOp = "unsupported unary symbolic expression op";

// Unvalidated, so dead lanes can hold anything.
sym::SmallValue raw(int dimension, std::array<double, 4> lanes) {
    sym::SmallValue v;
    v.dimension = dimension;
    v.lanes = lanes;
    return v;
}

struct BinaryCase {
    Op op;
    sym::SmallValue left, right;
    int dimension;
    std::array<double, 4> expected;
};

}  // namespace

TEST(LaneArithmetic, BinaryFormulasAndBroadcasting) {
    const sym::SmallValue one = sym::small_value(2.0), three = sym::small_value(1.0, 2.0, 3.0);
    // A one-lane operand reads only lane 0, whatever its dead lanes hold.
    const sym::SmallValue noisy = raw(1, {10.0, kNaN, kNaN, kNaN});
    const BinaryCase cases[] = {
        {Op::Add, one, three, 3, {3, 4, 5, 0}},
        {Op::Add, three, one, 3, {3, 4, 5, 0}},
        {Op::Subtract, noisy, three, 3, {9, 8, 7, 0}},
        {Op::Subtract, three, noisy, 3, {-9, -8, -7, 0}},
        {Op::Multiply, sym::small_value(1, 2, 3, 4), sym::small_value(2, 3, 4, 5), 4, {2, 6, 12, 20}},
        {Op::Multiply, sym::small_value(1, 2), noisy, 2, {10, 20, 0, 0}},
        {Op::Divide, sym::small_value(1.0), sym::small_value(4.0), 1, {0.25, 0, 0, 0}},
        {Op::Divide, sym::small_value(3, 6), sym::small_value(2, 4), 2, {1.5, 1.5, 0, 0}},
        {Op::Add, raw(2, {1, 1, 9, 9}), raw(2, {1, 1, 9, 9}), 2, {2, 2, 0, 0}},
    };
    for (const BinaryCase& c : cases) {
        SCOPED_TRACE(sym::to_string(c.op));
        const sym::SmallValue r = sym::binary_constant(c.op, c.left, c.right, c.dimension);
        EXPECT_EQ(r.dimension, c.dimension);
        EXPECT_EQ(r.lanes, c.expected);
    }
}

TEST(LaneArithmetic, NonFiniteBinaryResultsAreRefused) {
    EXPECT_ERROR(std::invalid_argument, kFinite,
                 sym::binary_constant(Op::Divide, sym::small_value(1, 2), sym::small_value(1, 0), 2));
    EXPECT_ERROR(std::invalid_argument, kFinite,
                 sym::binary_constant(Op::Divide, sym::small_value(0.0), sym::small_value(0.0), 1));
    EXPECT_ERROR(std::invalid_argument, kFinite,
                 sym::binary_constant(Op::Multiply, sym::small_value(1e308), sym::small_value(10.0), 1));
    const double max = std::numeric_limits<double>::max();
    EXPECT_ERROR(std::invalid_argument, kFinite,
                 sym::binary_constant(Op::Subtract, sym::small_value(-max), sym::small_value(max), 1));
    EXPECT_ERROR(std::invalid_argument, kFinite,
                 sym::binary_constant(Op::Add, raw(2, {1, kNaN, 0, 0}), sym::small_value(1.0), 2));
}

TEST(LaneArithmetic, BinaryChecksDimensionWhenNoLaneIsComputedThenOperatorThenFiniteness) {
    const sym::SmallValue a = sym::small_value(1, 2), nan = raw(2, {kNaN, kNaN, 0, 0});
    for (Op op : {Op::None, Op::Pack, Op::Component, Op::Negate, Op::Sin, Op::Cos}) {
        SCOPED_TRACE(sym::to_string(op));
        EXPECT_ERROR(std::invalid_argument, kBinaryOp, sym::binary_constant(op, a, a, 2));
        EXPECT_ERROR(std::invalid_argument, kBinaryOp, sym::binary_constant(op, nan, a, 2));
        for (int dimension : {-1, 0, 5}) {
            EXPECT_ERROR(std::invalid_argument, kDim, sym::binary_constant(op, a, a, dimension));
        }
    }
    EXPECT_ERROR(std::invalid_argument, kDim, sym::binary_constant(Op::Add, a, a, 0));
    EXPECT_ERROR(std::invalid_argument, kBinaryOp,
                 sym::binary_constant(static_cast<Op>(10), a, a, 1));
}

TEST(LaneArithmetic, UnaryFormulas) {
    const sym::SmallValue neg = sym::unary_constant(Op::Negate, raw(2, {0.0, 1.5, 9, 9}));
    EXPECT_EQ(neg.dimension, 2);
    EXPECT_TRUE(std::signbit(neg.lanes[0]));
    EXPECT_EQ(neg.lanes[0], 0.0);
    const std::array<double, 4> negated = {-0.0, -1.5, 0, 0};
    EXPECT_EQ(neg.lanes, negated);  // dead lanes come back zero
    EXPECT_EQ(sym::unary_constant(Op::Negate, sym::small_value(-0.0)).lanes[0], 0.0);
    EXPECT_FALSE(std::signbit(sym::unary_constant(Op::Negate, sym::small_value(-0.0)).lanes[0]));
    const sym::SmallValue x = sym::small_value(0.0, 1.0, -2.5, 3.0);
    const sym::SmallValue s = sym::unary_constant(Op::Sin, x), c = sym::unary_constant(Op::Cos, x);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.lanes[i], std::sin(x.lanes[i]));
        EXPECT_EQ(c.lanes[i], std::cos(x.lanes[i]));
    }
    EXPECT_EQ(s.lanes[0], 0.0);
    EXPECT_EQ(c.lanes[0], 1.0);
    EXPECT_EQ(sym::unary_constant(Op::Sin, sym::small_value(0.5)).dimension, 1);
}

TEST(LaneArithmetic, UnaryChecksDimensionThenOperatorThenFiniteness) {
    const sym::SmallValue nan = raw(1, {kNaN, 0, 0, 0});
    for (int dimension : {-1, 0, 5}) {
        EXPECT_ERROR(std::invalid_argument, kDim,
                     sym::unary_constant(Op::Add, raw(dimension, {kNaN, kNaN, kNaN, kNaN})));
    }
    EXPECT_ERROR(std::invalid_argument, kDim, sym::unary_constant(Op::Negate, sym::SmallValue{}));
    for (Op op : {Op::None, Op::Pack, Op::Component, Op::Add, Op::Subtract, Op::Multiply,
                  Op::Divide, static_cast<Op>(10)}) {
        EXPECT_ERROR(std::invalid_argument, kUnaryOp, sym::unary_constant(op, nan));
    }
    for (Op op : {Op::Negate, Op::Sin, Op::Cos}) {
        EXPECT_ERROR(std::invalid_argument, kFinite, sym::unary_constant(op, nan));
        EXPECT_ERROR(std::invalid_argument, kFinite,
                     sym::unary_constant(op, raw(3, {0, 1, std::numeric_limits<double>::infinity(), 0})));
    }
}
