// Every node id keys the per-call tables of evaluation and gradients, the
// id 0 of a node made by hand and the largest 64-bit id included: the id
// tables use 0 as their free-slot marker, so that id is their edge case.
#include <limits>
#include <memory>

#include "symbolic/detail/id_map.h"
#include "test_support.h"

namespace {

constexpr std::uint64_t kLargestId = std::numeric_limits<std::uint64_t>::max();

// A Parameter made without the factory, so it can carry any id.
Value hand_made_parameter(std::uint64_t id, double x) {
    auto node = std::make_shared<sym::ValueNode>();
    node->id = id;
    node->kind = sym::ValueKind::Parameter;
    node->dimension = 1;
    node->value = sym::small_value(x);
    return Value(std::move(node));
}

// left * right, made without the builder, so it can carry any id.
Value hand_made_product(std::uint64_t id, const Value& left, const Value& right) {
    auto node = std::make_shared<sym::ValueNode>();
    node->id = id;
    node->kind = sym::ValueKind::Expression;
    node->op = Op::Multiply;
    node->dimension = 1;
    node->inputs = {left, right, Value(), Value()};
    node->input_count = 2;
    return Value(std::move(node));
}

class AnyNodeId : public testing::TestWithParam<std::uint64_t> {};

}  // namespace

TEST_P(AnyNodeId, LeafEvaluatesReceivesAndClearsItsGradient) {
    const Value p = hand_made_parameter(GetParam(), 3.0);
    EXPECT_LANES(p.evaluate(), {3.0});
    p.backward();
    p.backward();
    EXPECT_LANES(p.grad(), {2.0});
    p.zero_grad();
    EXPECT_FALSE(p.has_grad());
}

// The leaf is reached twice, once after the visited set has grown, so it
// must stay marked across the growth or its gradient would count twice.
TEST_P(AnyNodeId, LeafReachedTwiceAcrossTableGrowth) {
    const Value p = hand_made_parameter(GetParam(), 3.0);
    Value chain = p;
    for (int i = 0; i < 500; ++i) chain = chain + 1.0;
    const Value y = p * chain;
    EXPECT_LANES(y.evaluate(), {3.0 * 503.0});
    y.backward();
    EXPECT_LANES(p.grad(), {503.0 + 3.0});
    y.zero_grad();
    EXPECT_FALSE(p.has_grad());
}

TEST_P(AnyNodeId, OutputNodeSeedsTheGradientPass) {
    const Value a = sym::parameter(2.0, "a"), b = sym::parameter(5.0, "b");
    const Value y = hand_made_product(GetParam(), a, b) + a;
    EXPECT_LANES(y.evaluate(), {12.0});
    const Value product = y.input(0);
    EXPECT_LANES(product.evaluate(), {10.0});
    product.backward(sym::small_value(3.0));
    EXPECT_LANES(a.grad(), {15.0});
    EXPECT_LANES(b.grad(), {6.0});
    y.zero_grad();
    EXPECT_FALSE(a.has_grad());
    EXPECT_FALSE(b.has_grad());
}

INSTANTIATE_TEST_SUITE_P(EdgeIds, AnyNodeId, testing::Values(std::uint64_t{0}, kLargestId));

// Nodes with id 0 and with the largest id in one graph stay two nodes, and
// neither is confused with the ordinary nodes around them.
TEST(AnyNodeIdTest, ZeroAndLargestIdInOneGraph) {
    const Value zero = hand_made_parameter(0, 2.0), largest = hand_made_parameter(kLargestId, 7.0);
    const Value ordinary = sym::parameter(3.0, "c");
    const Value y = hand_made_product(kLargestId - 1, zero, largest) * ordinary + zero;
    EXPECT_LANES(y.evaluate(), {44.0});
    y.backward();
    EXPECT_LANES(zero.grad(), {22.0});
    EXPECT_LANES(largest.grad(), {6.0});
    EXPECT_LANES(ordinary.grad(), {14.0});
    y.zero_grad();
    EXPECT_FALSE(zero.has_grad() || largest.has_grad() || ordinary.has_grad());
}

// The tables themselves, past their first growth: every id keeps its own
// entry, and an id never inserted is absent.
TEST(AnyNodeIdTest, TablesKeepEdgeIdsThroughGrowth) {
    sym::IdMap<double> map(2);
    sym::IdSet set(2);
    std::vector<std::uint64_t> ids = {0, kLargestId, kLargestId - 1};
    for (std::uint64_t id = 1; id <= 100; ++id) ids.push_back(id * 8);
    for (std::uint64_t id : ids) {
        EXPECT_EQ(map.find(id), nullptr);
        EXPECT_TRUE(map.try_emplace(id, static_cast<double>(id % 1000)).second);
        EXPECT_TRUE(set.insert(id));
    }
    EXPECT_EQ(map.size(), ids.size());
    for (std::uint64_t id : ids) {
        ASSERT_NE(map.find(id), nullptr) << id;
        EXPECT_EQ(*map.find(id), static_cast<double>(id % 1000)) << id;
        EXPECT_FALSE(map.try_emplace(id, -1.0).second) << id;
        EXPECT_FALSE(set.insert(id)) << id;
    }
    EXPECT_EQ(map.find(7), nullptr);
    EXPECT_EQ(map.find(kLargestId - 2), nullptr);
}
