// Every operator's rules, side by side: its value, its adjoint (what one
// upstream gradient lane adds to each operand's lane) and its tangent (the
// result lane's derivative along the operands' tangent lanes), lane by lane.
// Folding, evaluation, backward and the compiled tape all compute through
// these rules and the lane kernels below, so a folded constant holds what
// evaluation gives, and eval and backward agree with a Function bit for
// bit. The passes keep only their scheduling: order, storage, broadcasting
// and the order in which contributions are added. Internal.
#pragma once

#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "symbolic/detail/checks.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

// The lane that lane i of an operand of `dimension` lanes reads under
// broadcasting, and receives its gradient in: a one-lane operand repeats
// lane 0.
inline std::size_t broadcast_index(int dimension, int i) {
    return dimension == 1 ? 0 : static_cast<std::size_t>(i);
}

// What one upstream lane adds to the left and to the right operand's lane.
struct Adjoints {
    double left;
    double right;
};

// One-operand operators: x is the operand's lane, y the result's lane, g
// the upstream gradient lane and t the operand's tangent lane.

struct NegateRule {
    static constexpr int operands = 1;
    static double value(double x) { return -x; }
    static double adjoint(double, double, double g) { return -g; }
    static double tangent(double, double, double t) { return -t; }
};

struct SinRule {
    static constexpr int operands = 1;
    static double value(double x) { return std::sin(x); }
    static double adjoint(double x, double, double g) { return std::cos(x) * g; }
    static double tangent(double x, double, double t) { return std::cos(x) * t; }
};

struct CosRule {
    static constexpr int operands = 1;
    static double value(double x) { return std::cos(x); }
    static double adjoint(double x, double, double g) { return -std::sin(x) * g; }
    static double tangent(double x, double, double t) { return -std::sin(x) * t; }
};

// Two-operand operators: a and b are the left and right operands' lanes
// (broadcast), y the result's lane, g the upstream lane, ta and tb the
// operands' tangent lanes. `right_varies` is false when the right operand
// is a Constant, whose gradient nobody reads.

struct AddRule {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a + b; }
    static Adjoints adjoint(double, double, double, double g, bool) { return {g, g}; }
    static double tangent(double, double, double, double ta, double tb, bool) { return ta + tb; }
};

struct SubtractRule {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a - b; }
    static Adjoints adjoint(double, double, double, double g, bool) { return {g, -g}; }
    static double tangent(double, double, double, double ta, double tb, bool) { return ta - tb; }
};

struct MultiplyRule {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a * b; }
    static Adjoints adjoint(double a, double b, double, double g, bool) { return {g * b, g * a}; }
    static double tangent(double a, double b, double, double ta, double tb, bool) {
        return ta * b + a * tb;
    }
};

struct DivideRule {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a / b; }
    // The square of b is one product, computed after the negated upstream
    // lane times a.
    static Adjoints adjoint(double a, double b, double, double g, bool) {
        return {g / b, (-g * a) / (b * b)};
    }
    static double tangent(double a, double b, double, double ta, double tb, bool) {
        return ta / b + (-tb * a) / (b * b);
    }
};

// Calls visit(Rule{}) with the rule of `op`; an operator without one calls
// otherwise(). Both return the same type (a throwing `otherwise` declares
// it).
template <typename Visit, typename Otherwise>
decltype(auto) with_rule(ExpressionOp op, Visit&& visit, Otherwise&& otherwise) {
    switch (op) {
        case ExpressionOp::Add: return visit(AddRule{});
        case ExpressionOp::Subtract: return visit(SubtractRule{});
        case ExpressionOp::Multiply: return visit(MultiplyRule{});
        case ExpressionOp::Divide: return visit(DivideRule{});
        case ExpressionOp::Negate: return visit(NegateRule{});
        case ExpressionOp::Sin: return visit(SinRule{});
        case ExpressionOp::Cos: return visit(CosRule{});
        default: return otherwise();
    }
}

// The operand count of an operator with a rule, 0 for one without (None,
// Pack, Component).
inline int rule_operands(ExpressionOp op) {
    return with_rule(op, [](auto rule) { return decltype(rule)::operands; }, [] { return 0; });
}

// --- Lane kernels: an operator's value over every live lane ----------------

// Refuses a result with a lane that is not finite, as every value that
// enters the graph is refused.
template <typename Rule>
SmallValue unary_lanes(const SmallValue& x) {
    SmallValue result;
    result.dimension = x.dimension;
    require_dimension(result.dimension);
    for (int i = 0; i < result.dimension; ++i) {
        const auto lane = static_cast<std::size_t>(i);
        result.lanes[lane] = Rule::value(x.lanes[lane]);
    }
    require_finite_lanes(result);
    return result;
}

// Each operand has one lane or `dimension` lanes. A result dimension
// outside 1..4 computes no lane and is reported by the final check.
template <typename Rule>
SmallValue binary_lanes(const SmallValue& a, const SmallValue& b, int dimension) {
    SmallValue result;
    result.dimension = dimension;
    // One lane, the common case, without the broadcasting the compiler
    // would otherwise plan for.
    if (dimension == 1) {
        result.lanes[0] = Rule::value(a.lanes[0], b.lanes[0]);
        require_finite_lanes(result);
        return result;
    }
    const int live = dimension >= 1 && dimension <= 4 ? dimension : 0;
    for (int i = 0; i < live; ++i) {
        result.lanes[static_cast<std::size_t>(i)] =
            Rule::value(a.lanes[broadcast_index(a.dimension, i)], b.lanes[broadcast_index(b.dimension, i)]);
    }
    require_finite(result);
    return result;
}

// Folding: the kernels chosen by operator, for builders that hold the
// operator as a value. The dimension is checked before the operator, the
// operator before any lane.
inline SmallValue binary_constant(ExpressionOp op, const SmallValue& a, const SmallValue& b,
                                  int dimension) {
    if (dimension < 1 || dimension > 4) {
        require_dimension(dimension);
    }
    const auto unsupported = []() -> SmallValue {
        throw std::invalid_argument("unsupported binary symbolic expression op");
    };
    return with_rule(
        op,
        [&](auto rule) -> SmallValue {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                return binary_lanes<Rule>(a, b, dimension);
            } else {
                return unsupported();
            }
        },
        unsupported);
}

inline SmallValue unary_constant(ExpressionOp op, const SmallValue& x) {
    require_dimension(x.dimension);
    const auto unsupported = []() -> SmallValue {
        throw std::invalid_argument("unsupported unary symbolic expression op");
    };
    return with_rule(
        op,
        [&](auto rule) -> SmallValue {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 1) {
                return unary_lanes<Rule>(x);
            } else {
                return unsupported();
            }
        },
        unsupported);
}

}  // namespace
}  // namespace varnel::symbolic
