// Lane values: the validating builders, the checked lane index and the
// validity rule applied wherever lanes enter the graph.
#include <cfenv>
#include <cmath>

#include "symbolic/detail/checks.h"
#include "test_support.h"

TEST(SmallValue, CountIsCheckedBeforeFiniteness) {
    EXPECT_ERROR(std::invalid_argument, kCount, sym::small_value(std::initializer_list<double>{}));
    EXPECT_ERROR(std::invalid_argument, kCount, sym::small_value({1.0, 2.0, 3.0, 4.0, 5.0}));
    EXPECT_ERROR(std::invalid_argument, kCount, sym::small_value({kNaN, kNaN, kNaN, kNaN, kNaN}));
}

TEST(SmallValue, RejectsNaNAndInfinitiesButAcceptsEveryFiniteDouble) {
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::small_value(1.0, kNaN));
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::small_value(varnel::Vec<double, 3>{{1, kInf, 2}}));
    const SmallValue v = sym::small_value(-0.0, kMax, -kMax, std::numeric_limits<double>::denorm_min());
    EXPECT_TRUE(std::signbit(v.lanes[0]));
    EXPECT_EQ(v.lanes[1], kMax);
    EXPECT_EQ(v.lanes[2], -kMax);
    EXPECT_GT(v.lanes[3], 0.0);
}

// The passes gather finiteness as bits ORed over many lanes: they must
// flag exactly the lanes that is_finite_lane refuses, signs, subnormals,
// the extremes and NaN payloads included.
// In every rounding mode a caller may have set: rounding downward makes
// lane - lane a negative zero.
TEST(SmallValue, NotFiniteBitFlagsExactlyTheLanesThatAreNotFinite) {
    const double payload = std::nan("0x5");
    const double signaling = std::numeric_limits<double>::signaling_NaN();
    const int caller_mode = std::fegetround();
    for (const int mode : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        for (const double constant : {0.0, -0.0, 1.0, -1.0, std::numeric_limits<double>::denorm_min(),
                                      -std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                                      -std::numeric_limits<double>::min(), kMax, -kMax, kInf, -kInf, kNaN, -kNaN,
                                      payload, -payload, signaling}) {
            volatile double lane = constant;  // computed at run time, in this mode
            EXPECT_EQ(sym::not_finite_bit(lane) != 0, !sym::is_finite_lane(lane)) << lane << " mode " << mode;
        }
    }
    std::fesetround(caller_mode);
}

TEST(SmallValue, LaneIndexRefusesEverythingOutsideTheLiveLanes) {
    const SmallValue v = sym::small_value(1.0, 2.0, 3.0);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[2], 3.0);
    for (int i : {-1, 3}) EXPECT_ERROR(std::out_of_range, kLaneIndex, v[i]);
    EXPECT_ERROR(std::out_of_range, kLaneIndex, SmallValue{}[0]);
    EXPECT_ERROR(std::out_of_range, kLaneIndex, SmallValue{2, {1, 2, 3, 4}}[2]);  // stored, not live
}

TEST(SmallValue, RequireFiniteChecksDimensionFirstAndOnlyLiveLanes) {
    for (int dimension : {-1, 0, 5})
        EXPECT_ERROR(std::invalid_argument, kDim, sym::require_finite(SmallValue{dimension, {kNaN, kNaN, kNaN, kNaN}}));
    EXPECT_ERROR(std::invalid_argument, kDim, sym::require_finite(SmallValue{}));
    EXPECT_NO_THROW(sym::require_finite(SmallValue{2, {1.0, 2.0, kNaN, kNaN}}));
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::require_finite(SmallValue{3, {1, 2, kNaN, 0}}));
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::require_finite(SmallValue{1, {-kInf, 0, 0, 0}}));
}
