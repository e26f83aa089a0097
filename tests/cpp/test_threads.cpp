// The library may be used from several threads: node ids come from one
// atomic counter and handles share nodes through atomic reference counts.
#include <array>
#include <atomic>
#include <memory>
#include <thread>

#include "test_support.h"

namespace {

constexpr int kThreads = 8;

// A Parameter node like the factory's, but with the owning pointer kept so
// its use count can be watched. The id is taken from a throwaway node, so
// the counter never hands it out again.
Value tracked_parameter(SmallValue value, std::shared_ptr<sym::ValueNode>& keep) {
    keep = std::make_shared<sym::ValueNode>();
    keep->id = next_id();
    keep->kind = sym::ValueKind::Parameter;
    keep->dimension = value.dimension;
    keep->value = value;
    return Value(keep);
}

template <typename Body>
void run_together(Body body) {
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&go, &body, t] {
            while (!go.load()) std::this_thread::yield();
            body(t);
        });
    }
    go.store(true);
    for (std::thread& w : workers) w.join();
}

}  // namespace

TEST(ThreadsTest, ConcurrentCreationGivesDistinctIncreasingIds) {
    constexpr int kPerThread = 20000;
    std::vector<std::vector<std::uint64_t>> ids(kThreads);
    run_together([&ids](int t) {
        std::vector<std::uint64_t>& mine = ids[static_cast<std::size_t>(t)];
        mine.reserve(kPerThread);
        const Value p = sym::parameter(1.0, "p");
        mine.push_back(p.id());
        for (int i = 1; i < kPerThread; ++i) {  // every kind of node, leaves and expressions
            const Value made = i % 4 == 0   ? sym::constant(1.0, 2.0)
                               : i % 4 == 1 ? sym::parameter(1.0, "q")
                               : i % 4 == 2 ? sym::undefined(3, "u")
                                            : p * 2.0;
            mine.push_back(made.id());
        }
    });
    std::vector<std::uint64_t> all;
    for (const auto& mine : ids) {
        ASSERT_EQ(mine.size(), static_cast<std::size_t>(kPerThread));
        EXPECT_TRUE(std::adjacent_find(mine.begin(), mine.end(),
                                       [](auto a, auto b) { return a >= b; }) == mine.end());
        all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_TRUE(std::adjacent_find(all.begin(), all.end()) == all.end());
    EXPECT_NE(all.front(), 0u);
}

TEST(ThreadsTest, SharedHandlesSurviveConcurrentCopiesAndReleases) {
    std::shared_ptr<sym::ValueNode> p_node, v_node;
    const Value p = tracked_parameter(sym::small_value(2.0), p_node);
    const Value v = tracked_parameter(sym::small_value(1.0, 2.0, 3.0), v_node);
    const Value shared = p * v + p;  // (4, 6, 8), read by every thread
    const long p_before = p_node.use_count();
    const long v_before = v_node.use_count();
    std::atomic<int> wrong{0};
    run_together([&](int) {
        for (int i = 0; i < 3000; ++i) {
            std::vector<Value> copies(8, p);
            copies.insert(copies.end(), 8, v);
            copies.push_back(shared);
            const Value mine =
                sym::vec3(sym::component(copies[8], 2), copies[0], sym::component(shared, 1)) * p;
            Value moved = std::move(copies.back());
            copies.clear();
            if (!has_lanes(mine.evaluate(), {6, 4, 12})) ++wrong;
            if (!has_lanes(moved.evaluate(), {4, 6, 8})) ++wrong;
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(p_node.use_count(), p_before);
    EXPECT_EQ(v_node.use_count(), v_before);
    EXPECT_LANES(shared.evaluate(), {4, 6, 8});
    EXPECT_TRUE(shared.input(1).same_node(p));
    EXPECT_TRUE(shared.input(0).input(1).same_node(v));
}

// Two threads each hold one handle into the same chain, evaluate through it
// and drop it at about the same moment: whichever drop comes last releases
// the nodes below, while the other thread may just have walked them. Under
// ThreadSanitizer this checks that the release synchronises with that walk.
TEST(ThreadsTest, HandlesIntoOneChainReleasedOnTwoThreads) {
    constexpr int kRounds = 300;
    constexpr int kChain = 40;
    std::shared_ptr<sym::ValueNode> p_node;
    const Value p = tracked_parameter(sym::small_value(0.0), p_node);
    std::atomic<int> wrong{0};
    for (int round = 0; round < kRounds; ++round) {
        // held[0] is the top of the chain, held[1] a node halfway down.
        std::array<Value, 2> held;
        {
            Value x = p;
            for (int i = 1; i < kChain; ++i) {
                x = x + 1.0;
                if (i == kChain / 2) held[1] = x;
            }
            held[0] = std::move(x);
        }
        std::atomic<int> ready{0};
        auto work = [&](std::size_t t) {
            Value mine = std::move(held[t]);
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            const double want = t == 0 ? kChain - 1 : kChain / 2;
            if (!has_lanes(mine.evaluate(), {want})) ++wrong;
            mine = Value();
        };
        std::thread other(work, 1);
        work(0);
        other.join();
        ASSERT_EQ(p_node.use_count(), 2) << "round " << round;  // p and p_node
    }
    EXPECT_EQ(wrong.load(), 0);
}

// One thread walks a new large graph again and again while another releases
// the graph it walked before: the release frees the scratch kept for it
// whenever the walker is between passes. Under ThreadSanitizer this checks
// that the release and the walker's passes never touch that scratch at once.
TEST(ThreadsTest, ScratchKeptForAGraphReleasedOnAnotherThread) {
    constexpr int kRounds = 12;
    const Value x = sym::parameter(0.5, "x");
    auto chain = [&x] {
        Value y = x;
        for (int i = 0; i < 8000; ++i) y = sym::sin(y) * 0.5 + x;  // scratch above 4 MiB
        return y;
    };
    const double expected = chain().evaluate()[0];
    std::array<Value, kRounds> graphs;
    for (Value& graph : graphs) graph = chain();
    std::atomic<int> walked{0};
    std::atomic<int> wrong{0};
    std::thread walker([&] {
        for (int i = 0; i < kRounds; ++i) {
            const Value graph = graphs[static_cast<std::size_t>(i)];
            if (!has_lanes(graph.evaluate(), {expected})) ++wrong;
            graph.backward();
            walked = i + 1;
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        while (walked.load() <= i) std::this_thread::yield();
        graphs[static_cast<std::size_t>(i)] = Value();  // the walker may be on the next one
    }
    walker.join();
    EXPECT_EQ(wrong.load(), 0);
}
