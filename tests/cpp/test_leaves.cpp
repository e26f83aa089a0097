// Leaf factories: every overload shape of every family, their checks, the
// nodes they make and the ids they take.
#include <array>
#include <cmath>

#include "test_support.h"

using varnel::Vec;
using Lanes = std::array<double, 5>;

namespace {

enum Form { kList, kDoubles, kVec, kSmall };

// Calls `f` with the first n of `l` in the given form; a list or a SmallValue
// may carry 0 or 5 lanes.
template <class F>
Value by_form(F f, Form form, int n, Lanes l) {
    using L = std::initializer_list<double>;
    if (form == kSmall) return f(SmallValue{n, {l[0], n > 1 ? l[1] : 0, n > 2 ? l[2] : 0, n > 3 ? l[3] : 0}});
    switch ((form == kList || n == 0 || n == 5 ? 0 : form * 10) + n) {
        case 0: return f(L{});                        case 1: return f(L{l[0]});
        case 2: return f(L{l[0], l[1]});              case 3: return f(L{l[0], l[1], l[2]});
        case 4: return f(L{l[0], l[1], l[2], l[3]});  case 5: return f(L{l[0], l[1], l[2], l[3], l[4]});
        case 11: return f(l[0]);                      case 12: return f(l[0], l[1]);
        case 13: return f(l[0], l[1], l[2]);          case 14: return f(l[0], l[1], l[2], l[3]);
        case 21: return f(Vec<double, 1>{{l[0]}});    case 22: return f(Vec<double, 2>{{l[0], l[1]}});
        case 23: return f(Vec<double, 3>{{l[0], l[1], l[2]}});
        default: return f(Vec<double, 4>{{l[0], l[1], l[2], l[3]}});
    }
}

struct Family {
    const char* name;
    sym::ValueKind kind;
    Value (*make)(Form, int, Lanes);
};
const Family kFamilies[] = {
    {"constant", sym::ValueKind::Constant,
     [](Form f, int n, Lanes l) { return by_form([](auto... a) { return sym::constant(a...); }, f, n, l); }},
    {"parameter", sym::ValueKind::Parameter,
     [](Form f, int n, Lanes l) { return by_form([](auto... a) { return sym::parameter(a..., "leaf"); }, f, n, l); }},
    {"undefined_with_hint", sym::ValueKind::Undefined, [](Form f, int n, Lanes l) {
         return by_form([](auto... a) { return sym::undefined_with_hint(a..., "leaf"); }, f, n, l);
     }},
};

}  // namespace

TEST(Leaves, EveryFamilyAndFormMakesTheRightLeaf) {
    const Lanes given = {2.5, -1.0, 3.0, 4.0, 0.0};
    for (const Family& family : kFamilies) {
        const bool hinted = family.kind == sym::ValueKind::Undefined;
        for (Form form : {kList, kDoubles, kVec, kSmall}) {
            for (int n = 1; n <= 4; ++n) {
                SCOPED_TRACE(std::string(family.name) + " form " + std::to_string(form) + " n " + std::to_string(n));
                const std::uint64_t id = next_id() + 1;
                const Value v = family.make(form, n, given);
                EXPECT_EQ(v.id(), id);
                EXPECT_EQ(v.kind(), family.kind);
                EXPECT_EQ(v.dimension(), n);
                EXPECT_EQ(v.name(), family.kind == sym::ValueKind::Constant ? "" : "leaf");
                EXPECT_EQ(v.has_hint(), hinted);
                const SmallValue stored = hinted ? v.hint() : v.value();
                EXPECT_EQ(stored.dimension, n);
                for (int i = 0; i < 4; ++i) EXPECT_EQ(stored.lanes[i], i < n ? given[i] : 0.0) << i;
                EXPECT_EQ(v.node().value.dimension, hinted ? 0 : n);
                EXPECT_EQ(v.op(), sym::ExpressionOp::None);
                EXPECT_EQ(v.input_count(), 0);
                EXPECT_EQ(v.component_index(), -1);
                EXPECT_FALSE(v.has_grad());
                EXPECT_TRUE(v.is_leaf());
            }
        }
    }
}

TEST(Leaves, EveryFamilyRefusesBadLanesWithoutTakingAnId) {
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.name);
        EXPECT_ERROR_NO_ID(std::invalid_argument, kCount, family.make(kList, 0, {}));
        EXPECT_ERROR_NO_ID(std::invalid_argument, kCount, family.make(kList, 5, {kNaN, kNaN, kNaN, kNaN, kNaN}));
        for (Form form : {kList, kDoubles, kVec, kSmall}) {
            EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, family.make(form, 2, {1.0, kNaN}));
            EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, family.make(form, 3, {1.0, 2.0, -kInf}));
            EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, family.make(form, 1, {kInf}));
            EXPECT_ERROR_NO_ID(std::invalid_argument, kFinite, family.make(form, 4, {0, 0, 0, kNaN}));
        }
        EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, family.make(kSmall, 0, {kNaN}));
        EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, family.make(kSmall, 5, {1, 2, 3, 4, 5}));
    }
    for (int dimension : {-1, 0, 5})
        EXPECT_ERROR_NO_ID(std::invalid_argument, kDim, sym::undefined(dimension, "u"));
}

TEST(Leaves, SmallValueFormStoresDeadLanesUnchanged) {
    const Value c = sym::constant(SmallValue{2, {1.0, 2.0, 7.0, kNaN}});
    EXPECT_EQ(c.node().value.lanes[2], 7.0);
    EXPECT_TRUE(std::isnan(c.node().value.lanes[3]));
    EXPECT_ERROR_NO_ID(std::out_of_range, kLaneIndex, c.value()[2]);
}

TEST(Leaves, UndefinedHasOnlyADimensionAndName) {
    const Value u = sym::undefined(3, "u");
    EXPECT_TRUE(u.is_undefined() && u.dimension() == 3 && u.name() == "u" && !u.has_hint());
    EXPECT_ERROR_NO_ID(std::logic_error, kNoHint, u.hint());
    for (const Value& v : {u, sym::undefined_with_hint(0.5, 1.5, "h")})
        EXPECT_ERROR_NO_ID(std::logic_error, kNoValue, v.value());
}

TEST(Leaves, NamesAreStoredUnchangedAndNeverShared) {
    const std::string odd("a\0b\xff", 4), long_name(100, 'x');
    EXPECT_EQ(sym::parameter(1.0, odd).name(), odd);
    EXPECT_EQ(sym::undefined(1, long_name).name(), long_name);
    const Value a = sym::parameter(1.0, "same"), b = sym::parameter(1.0, "same");
    EXPECT_FALSE(a.same_node(b));
    EXPECT_EQ(b.id(), a.id() + 1);
}
