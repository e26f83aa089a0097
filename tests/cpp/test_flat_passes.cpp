// The flat per-call passes against a plain reference: recursion, a set of
// visited ids and maps keyed by id, written straight from the rules. Results
// must agree bit for bit, on random graphs and across passes that reuse the
// per-thread scratch memory.
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "test_support.h"

namespace {

struct Reference {
    std::vector<Value> order;
    std::set<std::uint64_t> visited;
    std::map<std::uint64_t, SmallValue> cache;
    std::map<std::uint64_t, SmallValue> grads;

    void visit(const Value& v) {
        if (!visited.insert(v.id()).second) return;
        for (int i = 0; i < v.input_count(); ++i) visit(v.input(i));
        order.push_back(v);
    }

    static double lane(const SmallValue& v, int i) { return v.lanes[v.dimension == 1 ? 0 : i]; }

    SmallValue compute(const Value& v) {
        if (v.is_leaf()) return v.value();
        SmallValue r;
        r.dimension = v.dimension();
        const SmallValue& a = cache.at(v.input(0).id());
        for (int i = 0; i < r.dimension; ++i) {
            double& out = r.lanes[i];
            switch (v.op()) {
                case Op::Add: out = lane(a, i) + lane(cache.at(v.input(1).id()), i); break;
                case Op::Subtract: out = lane(a, i) - lane(cache.at(v.input(1).id()), i); break;
                case Op::Multiply: out = lane(a, i) * lane(cache.at(v.input(1).id()), i); break;
                case Op::Divide: out = lane(a, i) / lane(cache.at(v.input(1).id()), i); break;
                case Op::Negate: out = -a.lanes[i]; break;
                case Op::Sin: out = std::sin(a.lanes[i]); break;
                case Op::Cos: out = std::cos(a.lanes[i]); break;
                case Op::Pack: out = cache.at(v.input(i).id()).lanes[0]; break;
                case Op::Component: out = a.lanes[v.component_index()]; break;
                default: ADD_FAILURE() << "unexpected op";
            }
        }
        return r;
    }

    SmallValue& slot(const Value& v) {
        SmallValue zero;
        zero.dimension = v.dimension();
        return grads.try_emplace(v.id(), zero).first->second;
    }

    void propagate(const Value& v) {
        const SmallValue g = grads.at(v.id());
        const int n = v.dimension();
        if (v.op() == Op::Pack || v.op() == Op::Component) {
            for (int k = 0; k < v.input_count(); ++k) {
                const int lane_in = v.op() == Op::Pack ? 0 : v.component_index();
                slot(v.input(k)).lanes[lane_in] += g.lanes[v.op() == Op::Pack ? k : 0];
            }
            return;
        }
        const SmallValue a = cache.at(v.input(0).id());
        if (v.input_count() == 1) {
            SmallValue& s = slot(v.input(0));
            for (int i = 0; i < n; ++i) {
                if (v.op() == Op::Negate) s.lanes[i] -= g.lanes[i];
                if (v.op() == Op::Sin) s.lanes[i] += std::cos(a.lanes[i]) * g.lanes[i];
                if (v.op() == Op::Cos) s.lanes[i] += -std::sin(a.lanes[i]) * g.lanes[i];
            }
            return;
        }
        const SmallValue b = cache.at(v.input(1).id());
        SmallValue& l = slot(v.input(0));
        SmallValue& r = slot(v.input(1));
        for (int i = 0; i < n; ++i) {
            double& li = l.lanes[l.dimension == 1 ? 0 : i];
            double& ri = r.lanes[r.dimension == 1 ? 0 : i];
            const double gi = g.lanes[i], ai = lane(a, i), bi = lane(b, i);
            switch (v.op()) {
                case Op::Add: li += gi; ri += gi; break;
                case Op::Subtract: li += gi; ri -= gi; break;
                case Op::Multiply: li += gi * bi; ri += gi * ai; break;
                default: li += gi / bi; ri += (-gi * ai) / (bi * bi); break;
            }
        }
    }

    // Returns the output's value; gradients of the pass stay in `grads`.
    SmallValue run(const Value& out, bool backward) {
        visit(out);
        for (const Value& v : order) cache.emplace(v.id(), compute(v));
        if (backward) {
            grads.emplace(out.id(), sym::small_value(1.0));
            for (auto it = order.rbegin(); it != order.rend(); ++it) {
                if (it->is_expression()) propagate(*it);
            }
        }
        return cache.at(out.id());
    }
};

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension &&
           std::memcmp(a.lanes.data(), b.lanes.data(), sizeof(double) * a.dimension) == 0;
}

// A random graph over a few one- and three-lane Parameters, with sharing,
// broadcasting, packs and lane reads; scalar at the top.
Value random_graph(std::mt19937& rng, std::vector<Value>& params, int nodes) {
    std::uniform_real_distribution<double> value(0.5, 1.5);
    params = {sym::parameter(value(rng), "a"), sym::parameter(value(rng), "b"),
              sym::parameter(value(rng), value(rng), value(rng), "v")};
    std::vector<Value> pool = params;
    auto pick = [&] { return pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(rng)]; };
    auto scalar = [&] {
        Value v = pick();
        return v.dimension() == 1 ? v : sym::component(v, static_cast<int>(rng() % 3));
    };
    for (int i = 0; i < nodes; ++i) {
        Value l = pick(), r = pick();
        if (l.dimension() != r.dimension() && l.dimension() != 1 && r.dimension() != 1) r = scalar();
        switch (rng() % 8) {
            case 0: pool.push_back(l + r); break;
            case 1: pool.push_back(l - r); break;
            case 2: pool.push_back(l * r); break;
            case 3: pool.push_back(l / (r * r + sym::constant(1.0))); break;
            case 4: pool.push_back(sym::sin(l)); break;
            case 5: pool.push_back(-sym::cos(l)); break;
            case 6: pool.push_back(sym::vec3(scalar(), scalar(), scalar())); break;
            default: pool.push_back(scalar()); break;
        }
    }
    Value out = sym::constant(0.0);
    for (std::size_t i = pool.size() - 8; i < pool.size(); ++i) {
        const Value& v = pool[i];
        out = out + (v.dimension() == 1 ? v : sym::component(v, 1));
    }
    return out;
}

TEST(FlatPassTest, RandomGraphsMatchTheReferenceBitForBit) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<Value> params;
        // Sizes go up and down, so later passes run in scratch memory that
        // larger and smaller graphs used before.
        const Value out = random_graph(rng, params, round % 2 == 0 ? 400 : 20 + round);
        Reference forward;
        ASSERT_TRUE(same_bits(out.evaluate(), forward.run(out, false))) << round;
        out.zero_grad();
        out.backward();
        Reference reference;
        reference.run(out, true);
        for (const Value& p : params) {
            const auto it = reference.grads.find(p.id());
            ASSERT_EQ(p.has_grad(), it != reference.grads.end()) << round;
            if (p.has_grad()) {
                EXPECT_TRUE(same_bits(p.grad(), it->second)) << round;
            }
        }
        out.zero_grad();
        for (const Value& p : params) EXPECT_FALSE(p.has_grad());
    }
}

TEST(FlatPassTest, FailedPassLeavesGradientsAndLaterPassesIntact) {
    const Value x = sym::parameter(2.0, "x");
    const Value y = sym::parameter(0.0, "y");
    const Value good = x * x;
    good.backward();
    const Value bad = x * x + x / y;
    EXPECT_ERROR(std::invalid_argument, kFinite, bad.backward());
    EXPECT_EQ(x.grad()[0], 4.0);
    EXPECT_FALSE(y.has_grad());
    good.backward();
    EXPECT_EQ(x.grad()[0], 8.0);
    EXPECT_EQ(good.evaluate()[0], 4.0);
}

// Ids come from the node; the passes tell nodes apart by id alone, for any
// 64-bit id a node may be given by hand.
TEST(FlatPassTest, HandSetLargestIdIsAnOrdinaryKey) {
    const Value x = sym::parameter(3.0, "x");
    const Value c = sym::constant(2.0);
    const Value y = x * c + x;
    x.mutable_node().id = UINT64_MAX;
    c.mutable_node().id = UINT64_MAX - 1;
    EXPECT_EQ(y.evaluate()[0], 9.0);
    y.backward();
    EXPECT_EQ(x.grad()[0], 3.0);
}

// A node that reaches itself (only possible by editing a node by hand) is
// cut off on its second visit, so its value is missing when needed.
TEST(FlatPassTest, NodeReachingItselfReportsAMissingEntry) {
    const Value x = sym::parameter(1.0, "x");
    const Value y = -x;
    y.mutable_node().inputs[0] = y;
    EXPECT_ERROR(std::logic_error, "missing symbolic evaluation cache entry", y.evaluate());
    y.mutable_node().inputs[0] = x;
    EXPECT_EQ(y.evaluate()[0], -1.0);
}

// Two nodes under one id: the second is taken for the first, as a walk by
// id must.
TEST(FlatPassTest, NodesSharingAnIdShareOneEntry) {
    const Value a = sym::parameter(5.0, "a");
    const Value b = sym::parameter(7.0, "b");
    b.mutable_node().id = a.id();
    const Value sum = a + b;
    EXPECT_EQ(sum.evaluate()[0], 10.0);
    sum.backward();
    EXPECT_EQ(a.grad()[0], 2.0);
    EXPECT_FALSE(b.has_grad());
}

}  // namespace
