// Making a Function: the walk finds every node once and records its
// operands by their place among the nodes found, whatever the size of the
// table of ids when they were found; placing the nodes afterwards must give
// each instruction its operands' lanes, and report a bad graph as eval
// would, the walk's refusals before any instruction's.
#include <cstring>
#include <random>
#include <string>
#include <typeinfo>

#include "symbolic/elementary.h"
#include "symbolic/function.h"
#include "test_support.h"

namespace {

using sym::Function;

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension &&
           std::memcmp(a.lanes.data(), b.lanes.data(), sizeof(double) * static_cast<std::size_t>(a.dimension)) == 0;
}

// `count` new nodes over two Parameters, each reading earlier ones picked
// at random (so nodes found early are read again much later, after the
// table of ids has grown), a constant of its own value in every other one,
// and lane picks and packs of several lanes between them.
struct SharedGraph {
    Value a = sym::parameter(0.3, "a");
    Value v = sym::parameter({0.2, -0.4, 0.7}, "v");
    Value output;

    explicit SharedGraph(int count) {
        std::mt19937 rng(static_cast<unsigned>(count));
        std::vector<Value> scalars = {a, sym::component(v, 1)};
        std::vector<Value> vectors = {v};
        auto pick = [&](const std::vector<Value>& pool) { return pool[rng() % pool.size()]; };
        for (int i = 0; i < count; ++i) {
            const Value x = pick(scalars), y = pick(scalars), w = pick(vectors);
            const Value distinct = sym::constant(1.0 + i * 1e-3);
            switch (i % 5) {
                case 0: scalars.push_back(x * distinct + y); break;
                case 1: scalars.push_back(sym::sin(x) - y / (y * y + 2.0)); break;
                case 2: vectors.push_back(sym::vec3(x, y, x) * distinct + w); break;
                case 3: scalars.push_back(sym::component(w, i % 3) * x); break;
                default: vectors.push_back(w * y - sym::cos(w)); break;
            }
        }
        output = sym::component(vectors.back(), 0) + scalars.back() + scalars[scalars.size() / 2] + a;
    }
};

class FunctionOfSharedGraph : public testing::TestWithParam<int> {};

// Sizes about the table's first growths (it starts with room for the inputs
// and 16 nodes, and doubles at half full) and well past them.
TEST_P(FunctionOfSharedGraph, GivesEvalAndBackwardBitForBit) {
    const SharedGraph g(GetParam());
    const SmallValue seed = sym::small_value(0.75);
    g.a.zero_grad();
    g.v.zero_grad();
    g.output.backward(seed);

    const Function f({g.output}, {g.a, g.v});
    const std::vector<SmallValue> values = {g.a.value(), g.v.value()};
    EXPECT_TRUE(same_bits(f.evaluate(values)[0], g.output.evaluate()));
    const std::vector<SmallValue> gradient = f.vjp(values, {seed});
    EXPECT_TRUE(same_bits(gradient[0], g.a.grad()));
    EXPECT_TRUE(same_bits(gradient[1], g.v.grad()));

    // The Parameters read rather than inputs, and an output that is a
    // node found early: every output's lanes are its own node's.
    const Value early = g.a * 2.0;
    const Function read({early, g.output, g.v}, {});
    const std::vector<SmallValue> outputs = read.evaluate({});
    EXPECT_TRUE(same_bits(outputs[0], early.evaluate()));
    EXPECT_TRUE(same_bits(outputs[1], g.output.evaluate()));
    EXPECT_TRUE(same_bits(outputs[2], g.v.value()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FunctionOfSharedGraph, testing::Values(1, 3, 4, 5, 6, 7, 8, 13, 14, 29, 30, 2000));

// Which refusal a bad graph gets when it has several faults: those found
// while walking (an Undefined that is not an input, an invalid handle)
// before those of its instructions, and of the instructions the first in
// eval's order.
struct TwoFaults {
    const char* name;
    const std::type_info* cls;
    const char* message;
    std::vector<Value> (*outputs)(const Value& bad_pack, const Value& bad_add, const Value& missing);
};

class FunctionFaultOrder : public testing::TestWithParam<TwoFaults> {};

TEST_P(FunctionFaultOrder, ReportsTheFirstAsEvalWould) {
    const Value p = sym::parameter(1.0, 2.0, "p");
    const Value bad_pack = sym::make_expression(Op::Pack, 2, {p, p, Value{}, Value{}}, 2, -1);
    const Value bad_add = sym::make_expression(Op::Add, 2, {p, Value{}, Value{}, Value{}}, 1, -1);
    const Value missing = sym::undefined(1, "u") * 2.0;
    const std::vector<Value> outputs = GetParam().outputs(bad_pack, bad_add, missing);
    EXPECT_TRUE(throws_exactly([&] { Function(outputs, {}); }, *GetParam().cls, GetParam().message));
}

const std::string kMissing = std::string(kUndefined) + ": the Undefined 'u' is not an input of the function";

INSTANTIATE_TEST_SUITE_P(
    Cases, FunctionFaultOrder,
    testing::Values(
        TwoFaults{"UndefinedAfterBadPack", &typeid(std::logic_error), kMissing.c_str(),
                  [](const Value& pack, const Value&, const Value& missing) {
                      return std::vector<Value>{pack, missing};
                  }},
        TwoFaults{"UndefinedBelowBadAdd", &typeid(std::logic_error), kMissing.c_str(),
                  [](const Value&, const Value& add, const Value& missing) {
                      return std::vector<Value>{add * missing};
                  }},
        TwoFaults{"BadPackBeforeBadAdd", &typeid(std::logic_error), "Pack input is not scalar",
                  [](const Value& pack, const Value& add, const Value&) {
                      return std::vector<Value>{pack + add};
                  }},
        TwoFaults{"BadAddBeforeBadPack", &typeid(std::out_of_range), kInputIndex,
                  [](const Value& pack, const Value& add, const Value&) {
                      return std::vector<Value>{add, pack};
                  }}),
    [](const testing::TestParamInfo<TwoFaults>& info) { return info.param.name; });

}  // namespace
