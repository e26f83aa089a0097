// Dropping a graph releases it with constant stack and without allocating,
// whatever its shape: long chains, nodes that list one input several times,
// nodes with several inputs that die with them, nodes made by hand. This
// file is an executable of its own: it replaces the global operator new, to
// refuse and count every allocation made while a graph is being released.
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "test_support.h"

namespace {

thread_local bool t_refuse_allocations = false;
std::atomic<long> g_refused{0};

}  // namespace

void* operator new(std::size_t size) {
    if (t_refuse_allocations) {
        g_refused.fetch_add(1);
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

// The blocks come from malloc above, whatever the compiler assumes of them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace {

// A Parameter made by hand, so the test can watch its use count: it is one
// (the test's own pointer) once everything above it is released.
Value watched_parameter(std::shared_ptr<sym::ValueNode>& keep) {
    keep = std::make_shared<sym::ValueNode>();
    keep->id = next_id();
    keep->kind = sym::ValueKind::Parameter;
    keep->dimension = 1;
    keep->value = sym::small_value(1.0);
    return Value(keep);
}

// Runs `body` on a thread with a 256 KiB stack, far too small for one frame
// per level of the graphs below.
void on_small_stack(const std::function<void()>& body) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

struct Shape {
    const char* name;
    std::function<Value(const Value&)> build;
};

constexpr int kDepth = 50000;

Value chain(const Value& x, const std::function<Value(const Value&)>& step) {
    Value y = x;
    for (int i = 0; i < kDepth; ++i) y = step(y);
    return y;
}

// A balanced sum over 2^15 copies of x: every node has two inputs that die
// with it.
Value balanced_sum(const Value& x) {
    std::vector<Value> level(1 << 15, x);
    while (level.size() > 1) {
        std::vector<Value> next;
        for (std::size_t i = 0; i < level.size(); i += 2) next.push_back(level[i] + level[i + 1]);
        level = std::move(next);
    }
    return level[0];
}

const Shape kShapes[] = {
    {"SumWithConstant", [](const Value& x) { return chain(x, [](const Value& y) { return y + 1.0; }); }},
    {"RepeatedOperand", [](const Value& x) { return chain(x, [](const Value& y) { return y + y; }); }},
    {"ProductOfRepeated", [](const Value& x) { return chain(x, [](const Value& y) { return y * y * 0.5; }); }},
    {"PackOfComponents", [](const Value& x) {
         return chain(x, [](const Value& y) {
             return sym::vec2(sym::component(y, 0), sym::component(y, 0)) - y;
         });
     }},
    // The expression beside the chain dies with each step, so several
    // nodes wait at once.
    {"ChainBesideExpression", [](const Value& x) {
         return chain(x, [&x](const Value& y) { return sym::sin(x * 2.0) + sym::cos(y); });
     }},
    {"FourInputsEach", [](const Value& x) {
         return chain(x, [](const Value& y) {
             return sym::component(sym::vec4(-y, sym::sin(y), y * 2.0, y + 1.0), 3);
         });
     }},
    {"BalancedSum", balanced_sum},
};

class ReleaseShapeTest : public testing::TestWithParam<Shape> {};

}  // namespace

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

TEST_P(ReleaseShapeTest, DeepGraphIsReleasedWithoutAllocatingOnASmallStack) {
    std::shared_ptr<sym::ValueNode> keep;
    Value graph = GetParam().build(watched_parameter(keep));
    ASSERT_GT(keep.use_count(), 1);
    g_refused = 0;
    on_small_stack([&graph] {
        t_refuse_allocations = true;
        graph = Value();
        t_refuse_allocations = false;
    });
    EXPECT_EQ(g_refused.load(), 0) << "allocations refused during the release";
    EXPECT_EQ(keep.use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReleaseShapeTest, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<Shape>& info) { return info.param.name; });

// A node made by hand is destroyed as make_shared destroys it, in the middle
// of a release: what lies below it is released all the same, and so is what
// lies below the release it runs in.
TEST(ReleaseByHandTest, NodeMadeByHandInsideAChain) {
    std::shared_ptr<sym::ValueNode> keep;
    Value below = watched_parameter(keep);
    for (int i = 0; i < 1000; ++i) below = sym::sin(below);
    auto by_hand = std::make_shared<sym::ValueNode>();
    by_hand->id = next_id();
    by_hand->kind = sym::ValueKind::Expression;
    by_hand->op = Op::Negate;
    by_hand->dimension = 1;
    by_hand->inputs[0] = below;
    by_hand->input_count = 1;
    below = Value();
    Value top(std::move(by_hand));
    for (int i = 0; i < 1000; ++i) top = sym::cos(top) * 2.0;
    EXPECT_LANES(top.evaluate(), {[] {
                     double v = 1.0;
                     for (int i = 0; i < 1000; ++i) v = std::sin(v);
                     v = -v;
                     for (int i = 0; i < 1000; ++i) v = std::cos(v) * 2.0;
                     return v;
                 }()});
    g_refused = 0;
    t_refuse_allocations = true;
    top = Value();
    t_refuse_allocations = false;
    EXPECT_EQ(g_refused.load(), 0);
    EXPECT_EQ(keep.use_count(), 1);
}
