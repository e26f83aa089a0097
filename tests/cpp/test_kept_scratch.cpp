// The scratch of eval, backward and zero_grad: more than a few MiB of it is
// kept after a pass only for that pass's output, while the output lives,
// and given up by a pass over a far smaller graph. Each test runs on a
// thread of its own, so no other test's scratch is in play, and counts the
// outputs that have scratch kept for them against the count at its start.
#include <atomic>
#include <functional>
#include <thread>

#include "symbolic/detail/kept_scratch.h"
#include "test_support.h"

namespace {

int outputs_with_scratch() {
    return sym::kept_scratch_detail::g_outputs_with_scratch.load();
}

// 4 * steps nodes; 20,000 steps need tens of MiB of scratch.
Value chain(const Value& x, int steps) {
    Value y = x;
    for (int i = 0; i < steps; ++i) y = sym::sin(y) * 0.5 + x;
    return y;
}

void on_own_thread(const std::function<void()>& body) { std::thread(body).join(); }

struct Pass {
    const char* name;
    std::function<void(const Value&)> run;
    void operator()(const Value& output) const { run(output); }
};

class KeptScratchTest : public testing::TestWithParam<Pass> {};

}  // namespace

TEST_P(KeptScratchTest, LargeScratchIsKeptWhileItsOutputLives) {
    const int before = outputs_with_scratch();
    on_own_thread([&] {
        const Value x = sym::parameter(0.5, "x");
        Value big = chain(x, 20000);
        GetParam()(big);
        EXPECT_EQ(outputs_with_scratch(), before + 1);
        GetParam()(big);  // the same graph again: kept again, once
        EXPECT_EQ(outputs_with_scratch(), before + 1);
        big = Value();
        EXPECT_EQ(outputs_with_scratch(), before);
    });
    EXPECT_EQ(outputs_with_scratch(), before);
}

TEST_P(KeptScratchTest, PassOverASmallGraphGivesLargeScratchUp) {
    const int before = outputs_with_scratch();
    on_own_thread([&] {
        const Value x = sym::parameter(0.5, "x");
        const Value big = chain(x, 20000);
        GetParam()(big);
        EXPECT_EQ(outputs_with_scratch(), before + 1);
        GetParam()(x * 2.0);
        EXPECT_EQ(outputs_with_scratch(), before);
        GetParam()(big);  // and it is made again when needed
        EXPECT_EQ(outputs_with_scratch(), before + 1);
    });
    EXPECT_EQ(outputs_with_scratch(), before);
}

TEST_P(KeptScratchTest, SmallScratchStaysWithItsThread) {
    const int before = outputs_with_scratch();
    on_own_thread([&] {
        const Value x = sym::parameter(0.5, "x");
        GetParam()(chain(x, 100));
        EXPECT_EQ(outputs_with_scratch(), before);
    });
}

INSTANTIATE_TEST_SUITE_P(Passes, KeptScratchTest,
                         testing::Values(Pass{"Evaluate", [](const Value& v) { (void)v.evaluate(); }},
                                         Pass{"Backward", [](const Value& v) { v.backward(); }},
                                         Pass{"ZeroGrad", [](const Value& v) { v.zero_grad(); }}),
                         [](const testing::TestParamInfo<Pass>& info) { return info.param.name; });

// A pass that throws keeps its scratch for its output as one that returns.
TEST(KeptScratchFailureTest, FailedPassKeepsItsScratchForItsOutput) {
    const int before = outputs_with_scratch();
    on_own_thread([&] {
        Value big = chain(sym::undefined(1, "u"), 20000);
        EXPECT_ERROR(std::logic_error, kUndefined, big.evaluate());
        EXPECT_EQ(outputs_with_scratch(), before + 1);
        big = Value();
        EXPECT_EQ(outputs_with_scratch(), before);
    });
}

// The thread that releases the output frees the scratch of another thread
// that walked it and now waits; that thread's next pass works as ever.
TEST(KeptScratchFailureTest, ReleasedByAnotherThreadWhileItsOwnerWaits) {
    const int before = outputs_with_scratch();
    const Value x = sym::parameter(0.5, "x");
    Value big = chain(x, 20000);
    std::atomic<int> stage{0};
    std::thread owner([&] {
        const double first = big.evaluate()[0];
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
        const Value again = chain(x, 20000);
        EXPECT_EQ(again.evaluate()[0], first);
    });
    while (stage.load() != 1) std::this_thread::yield();
    EXPECT_EQ(outputs_with_scratch(), before + 1);
    big = Value();
    EXPECT_EQ(outputs_with_scratch(), before);
    stage = 2;
    owner.join();
    EXPECT_EQ(outputs_with_scratch(), before);
}
