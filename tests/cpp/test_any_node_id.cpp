// Every node id keys the per-call tables of evaluation and gradients, the
// id 0 of a node made by hand and the largest 64-bit id included: the id
// tables use 0 as their free-slot marker, so that id is their edge case.
#include <limits>
#include <memory>

#include "symbolic/detail/id_map.h"
#include "symbolic/function.h"
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

// Each id inserted into an index gets its position in `ids` as its
// entry, and keeps it when inserted again.
template <typename Index>
void expect_own_entries(Index& index, const std::vector<std::uint64_t>& ids) {
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const auto [at, inserted] = index.try_emplace(ids[k], static_cast<std::uint32_t>(k));
        EXPECT_TRUE(inserted) << ids[k];
        EXPECT_EQ(*at, k) << ids[k];
    }
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const auto [at, inserted] = index.try_emplace(ids[k], 12345);
        EXPECT_FALSE(inserted) << ids[k];
        EXPECT_EQ(*at, k) << ids[k];
    }
}

// The index a Function's walk keeps: ids in its window and outside it on
// either side, id 0 and the largest included, each keep their own entry.
TEST(AnyNodeIdTest, WindowIndexKeepsIdsInAndOutsideItsWindow) {
    sym::IdWindowIndex index(100, 50, 2);
    std::vector<std::uint64_t> ids = {0, 99, 100, 149, 150, kLargestId};
    for (std::uint64_t id = 101; id < 149; id += 3) ids.push_back(id);
    for (std::uint64_t id = 1000; id < 1400; id += 7) ids.push_back(id);
    expect_own_entries(index, ids);
}

// The index of eval's walk: the output's id tops a window that widens as the
// walk goes down. Ids far below it for the entries found so far, and ids
// above it, go to a hash table; the window never widens over an id there.
TEST(AnyNodeIdTest, DescendingIndexKeepsIdsInAndOutsideItsWindow) {
    std::vector<std::uint32_t> window;
    // 990'000 is far below for two entries, and inside the window once the
    // ids after it have widened it.
    std::vector<std::uint64_t> ids = {1'000'000, 999'999, 990'000, 1'000'001, kLargestId, 0, 1, 900'000};
    for (std::uint64_t id = 999'998; id > 960'000; id -= 3) ids.push_back(id);
    ids.push_back(900'001);
    for (int pass = 0; pass < 2; ++pass) {
        // The same window again, as the next walk on a thread finds it.
        sym::DescendingIdIndex index(window, std::pmr::new_delete_resource(), ids.front());
        expect_own_entries(index, ids);
    }
}

// A Function over nodes made by hand, whose ids need not grow from operands
// to readers: operands with ids above their readers', and Parameters read
// (not inputs) with ids 0 and the largest, among outputs sharing them (more
// outputs than the walk fetches ahead of itself). With the ids close
// together (a window over all but the two read) and spread over the whole
// range (no window), it gives eval's and backward's numbers.
class FunctionOverHandMadeIds : public testing::TestWithParam<std::uint64_t> {};

TEST_P(FunctionOverHandMadeIds, GivesEvalAndBackward) {
    const std::uint64_t spacing = GetParam();
    const std::uint64_t base = 5000;
    std::vector<Value> inputs;
    for (std::uint64_t k = 0; k < 8; ++k) {
        inputs.push_back(hand_made_parameter(base + spacing * (300 - k), 0.5 + static_cast<double>(k)));
    }
    std::vector<Value> operands = inputs;
    operands.push_back(hand_made_parameter(0, 2.0));
    operands.push_back(hand_made_parameter(kLargestId, 7.0));
    std::vector<Value> outputs;
    for (std::uint64_t k = 0; k < 60; ++k) {
        const Value& left = operands[k % operands.size()];
        const Value& right = operands[(k * 7 + 3) % operands.size()];
        const Value inner = hand_made_product(base + spacing * (100 + k), left, right);
        outputs.push_back(hand_made_product(base + spacing * k, inner, operands[(k + 1) % operands.size()]));
    }
    const sym::Function f(outputs, inputs);
    std::vector<SmallValue> values;
    for (const Value& input : inputs) values.push_back(input.value());
    const std::vector<SmallValue> got = f.evaluate(values);
    ASSERT_EQ(got.size(), outputs.size());
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        EXPECT_EQ(got[k].lanes[0], outputs[k].evaluate().lanes[0]) << k;
    }
    // Summed over the outputs in another order than the reverse pass's.
    const std::vector<SmallValue> seeds(outputs.size(), sym::small_value(1.0));
    const std::vector<SmallValue> gradient = f.vjp(values, seeds);
    for (const Value& input : inputs) input.zero_grad();
    for (const Value& output : outputs) output.backward();
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        EXPECT_DOUBLE_EQ(gradient[k].lanes[0], inputs[k].grad().lanes[0]) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Spacings, FunctionOverHandMadeIds,
                         testing::Values(std::uint64_t{1}, std::uint64_t{1} << 40));
