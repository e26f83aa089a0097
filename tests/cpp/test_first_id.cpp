// Ids start at 1 in a fresh process and a failed factory call takes none.
#include <gtest/gtest.h>

#include <stdexcept>

#include "symbolic/symbolic.h"

namespace sym = varnel::symbolic;

TEST(FirstId, NumberingStartsAtOneAndSkipsFailedCalls) {
    const sym::Value first = sym::constant(1.0);
    EXPECT_EQ(first.id(), 1u);
    EXPECT_EQ(first.debug_string(), "Constant<1>#1");
    EXPECT_THROW(sym::parameter(1.0, std::numeric_limits<double>::quiet_NaN(), "p"),
                 std::invalid_argument);
    EXPECT_THROW(sym::undefined(5, "u"), std::invalid_argument);
    const sym::Value second = sym::undefined(2, "u");
    EXPECT_EQ(second.id(), 2u);
}
