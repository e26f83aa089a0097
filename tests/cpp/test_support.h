// Helpers shared by the C++ test files: exact error checks, node-id
// accounting, lane comparisons and the messages several parts share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
using Op = sym::ExpressionOp;

// The first operator value past the table of operators.
inline constexpr Op kPastLastOp = static_cast<Op>(27);

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kMax = std::numeric_limits<double>::max();

inline constexpr char kCount[] = "symbolic value constructor expects 1..4 lanes";
inline constexpr char kFinite[] = "symbolic value lanes must be finite";
inline constexpr char kDim[] = "symbolic value dimension must be in 1..4";
inline constexpr char kLaneIndex[] = "symbolic value lane index out of range";
inline constexpr char kInputIndex[] = "symbolic expression input index out of range";
inline constexpr char kNoValue[] = "symbolic value has no direct numeric value";
inline constexpr char kNoHint[] = "symbolic value has no hint";
inline constexpr char kNoGrad[] = "symbolic value has no gradient";
inline constexpr char kBadHandle[] = "invalid symbolic value handle";
inline constexpr char kNotValid[] = "backward value is not a valid symbolic value";
inline constexpr char kUndefined[] = "cannot evaluate symbolic graph with Undefined values";

// Whether `call` throws exactly class `cls` (not a subclass) with exactly `message`.
inline testing::AssertionResult throws_exactly(const std::function<void()>& call, const std::type_info& cls,
                                               const std::string& message) {
    try {
        call();
    } catch (const std::exception& e) {
        if (typeid(e) == cls && message == e.what()) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "threw " << typeid(e).name() << " \"" << e.what() << "\", expected "
                                           << cls.name() << " \"" << message << "\"";
    } catch (...) {
        return testing::AssertionFailure() << "threw a non-std exception, expected \"" << message << "\"";
    }
    return testing::AssertionFailure() << "nothing thrown, expected " << cls.name() << " \"" << message << "\"";
}

// The id the next node will get, found by making one.
inline std::uint64_t next_id() { return sym::constant(0.0).id(); }

#define EXPECT_ERROR(E, msg, ...) \
    EXPECT_TRUE(throws_exactly([&] { (void)(__VA_ARGS__); }, typeid(E), msg)) << #__VA_ARGS__

// As EXPECT_ERROR, and the call must have taken exactly `ids` node ids.
#define EXPECT_ERROR_IDS(ids, E, msg, ...)                                         \
    do {                                                                           \
        const std::uint64_t before_ = next_id();                                   \
        EXPECT_ERROR(E, msg, __VA_ARGS__);                                         \
        EXPECT_EQ(next_id(), before_ + 1 + (ids)) << "ids taken by " #__VA_ARGS__; \
    } while (0)
#define EXPECT_ERROR_NO_ID(E, msg, ...) EXPECT_ERROR_IDS(0, E, msg, __VA_ARGS__)

// A lane value of as many lanes as given (0..4), the rest zero.
inline SmallValue lanes_of(const std::vector<double>& lanes) {
    SmallValue v{static_cast<int>(lanes.size()), {}};
    std::copy(lanes.begin(), lanes.end(), v.lanes.begin());
    return v;
}

// Whether `v` has the dimension and lanes given and zero in all four-lane
// storage past them. Exact, unless `near`: then within EXPECT_DOUBLE_EQ's ulps.
inline testing::AssertionResult has_lanes(const SmallValue& v, const std::vector<double>& lanes, bool near = false) {
    const SmallValue want = lanes_of(lanes);
    bool same = v.dimension == want.dimension;
    for (int i = 0; i < 4; ++i) {
        const double a = v.lanes[i], b = want.lanes[i];
        same = same && (near ? testing::DoubleLE("", "", a, b) && testing::DoubleLE("", "", b, a) : a == b);
    }
    if (same) return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure() << "got <" << v.dimension << ">";
    for (double x : v.lanes) failure << " " << x;
    failure << ", expected <" << want.dimension << ">";
    for (double x : want.lanes) failure << " " << x;
    return failure;
}
#define EXPECT_LANES(v, ...) EXPECT_TRUE(has_lanes(v, __VA_ARGS__))
