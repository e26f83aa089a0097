// Dropping a graph releases it without one stack frame per level, also where
// a node lists the same input more than once.
#include "test_support.h"

namespace {

TEST(ReleaseTest, DeepChainsOfRepeatedOperandsAreReleasedIteratively) {
    const Value x = sym::parameter(1.0, "x");
    for (int form = 0; form < 3; ++form) {
        Value y = x;
        for (int i = 0; i < 1000000; ++i) {
            y = form == 0 ? y + y : form == 1 ? y * y * 0.5 : sym::vec2(sym::component(y, 0), sym::component(y, 0)) - y;
        }
        y = Value{};  // would overflow the stack if released recursively
    }
    EXPECT_TRUE(x.is_parameter());
}

}  // namespace
