// Every operator's rules, side by side: its value, its adjoint (what one
// upstream gradient lane adds to each operand's lane) and its tangent (the
// result lane's derivative along the operands' tangent lanes), lane by lane.
// A tangent is also given as tangent_along(operand and result lanes), a
// function of the tangent lanes alone: a sweep along many directions
// computes the lane's factors once and applies it to each direction, and
// tangent is that function applied once, so both give the same bits.
// Folding, evaluation, backward and the compiled tape all compute through
// these rules and the lane kernels below, so a folded constant holds what
// evaluation gives, and eval and backward agree with a Function bit for
// bit. The passes keep only their scheduling: order, storage, broadcasting
// and the order in which contributions are added. Internal.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

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
    static constexpr bool stays_finite = true;
    static double value(double x) { return -x; }
    static double adjoint(double, double, double g) { return -g; }
    static auto tangent_along(double, double) {
        return [](double t) { return -t; };
    }
    static double tangent(double x, double y, double t) { return tangent_along(x, y)(t); }
};

// A one-operand operator whose adjoint and tangent are its derivative, from
// the operand and result lanes, times the upstream or tangent lane.
// The _by forms take the derivative computed beforehand.
template <typename Rule>
struct ByDerivative {
    static constexpr int operands = 1;
    static double adjoint_by(double derivative, double g) { return derivative * g; }
    static double tangent_by(double derivative, double t) { return derivative * t; }
    static double adjoint(double x, double y, double g) { return adjoint_by(Rule::derivative(x, y), g); }
    static auto tangent_along(double x, double y) {
        return [derivative = Rule::derivative(x, y)](double t) { return tangent_by(derivative, t); };
    }
    static double tangent(double x, double y, double t) { return tangent_along(x, y)(t); }
};

// A rule whose derivative costs little once its value is computed: the
// compiled tape computes both in its forward pass, value_and_derivative(x,
// where the value goes, where the derivative goes), and keeps the
// derivative for the reverse one.
template <typename Rule, typename = void>
constexpr bool is_paired = false;
template <typename Rule>
constexpr bool is_paired<Rule, std::void_t<decltype(Rule::value_and_derivative(0.0, nullptr, nullptr))>> = true;

// A rule whose value is finite wherever its operand is (bounded, or no
// larger than its operand): a pass whose operands are all finite need not
// check its results, and an operand that is not finite was flagged where
// it was made.
template <typename Rule, typename = void>
constexpr bool stays_finite = false;
template <typename Rule>
constexpr bool stays_finite<Rule, std::enable_if_t<Rule::stays_finite>> = true;

// Sine and cosine of one argument side by side, with one call of the C
// library's sincos where it has one, whose results are bitwise those of sin
// and cos (the tests hold it to that). It writes them where they go: the
// compiler's own pairing of sin and cos passes it places on the stack and
// copies them from there.
inline void sine_and_cosine(double x, double* sine, double* cosine) {
#if defined(__GLIBC__)
    ::sincos(x, sine, cosine);
#else
    *sine = std::sin(x);
    *cosine = std::cos(x);
#endif
}

struct SinRule : ByDerivative<SinRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::sin(x); }
    static double derivative(double x, double) { return std::cos(x); }
    static void value_and_derivative(double x, double* value, double* derivative) {
        sine_and_cosine(x, value, derivative);
    }
};

struct CosRule : ByDerivative<CosRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::cos(x); }
    static double derivative(double x, double) { return -std::sin(x); }
    static void value_and_derivative(double x, double* value, double* derivative) {
        sine_and_cosine(x, derivative, value);
        *derivative = -*derivative;
    }
};

// Infinite at 0.
struct SqrtRule : ByDerivative<SqrtRule> {
    static double value(double x) { return std::sqrt(x); }
    static double derivative(double, double y) { return 0.5 / y; }
};

struct ExpRule : ByDerivative<ExpRule> {
    static double value(double x) { return std::exp(x); }
    static double derivative(double, double y) { return y; }
};

struct LogRule : ByDerivative<LogRule> {
    static double value(double x) { return std::log(x); }
    static double derivative(double x, double) { return 1.0 / x; }
};

// Finite at every double: none lies closer than about 1e-19 to an odd
// multiple of pi / 2.
struct TanRule : ByDerivative<TanRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::tan(x); }
    static double derivative(double, double y) { return 1.0 + y * y; }
};

// Infinite at -1 and 1, as for acos. (1 - x)(1 + x) keeps the digits that
// 1 - x * x loses near the ends.
struct AsinRule : ByDerivative<AsinRule> {
    static double value(double x) { return std::asin(x); }
    static double derivative(double x, double) { return 1.0 / std::sqrt((1.0 - x) * (1.0 + x)); }
};

struct AcosRule : ByDerivative<AcosRule> {
    static double value(double x) { return std::acos(x); }
    static double derivative(double x, double) { return -1.0 / std::sqrt((1.0 - x) * (1.0 + x)); }
};

struct AtanRule : ByDerivative<AtanRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::atan(x); }
    static double derivative(double x, double) { return 1.0 / (1.0 + x * x); }
};

struct SinhRule : ByDerivative<SinhRule> {
    static double value(double x) { return std::sinh(x); }
    static double derivative(double x, double) { return std::cosh(x); }
};

struct CoshRule : ByDerivative<CoshRule> {
    static double value(double x) { return std::cosh(x); }
    static double derivative(double x, double) { return std::sinh(x); }
};

// From x rather than as 1 - y * y, which keeps none of the digits of y
// that matter where tanh is near -1 or 1. 0 where cosh overflows.
struct TanhRule : ByDerivative<TanhRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::tanh(x); }
    static double derivative(double x, double) {
        const double c = std::cosh(x);
        return 1.0 / (c * c);
    }
};

// 0 at 0, between the slopes of the two sides.
struct AbsRule : ByDerivative<AbsRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::fabs(x); }
    static double derivative(double x, double) { return x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0; }
};

struct Log1pRule : ByDerivative<Log1pRule> {
    static double value(double x) { return std::log1p(x); }
    static double derivative(double x, double) { return 1.0 / (1.0 + x); }
};

// exp(x) rather than y + 1, which loses the digits that expm1 keeps.
struct Expm1Rule : ByDerivative<Expm1Rule> {
    static double value(double x) { return std::expm1(x); }
    static double derivative(double x, double) { return std::exp(x); }
};

// Infinite at 0.
struct CbrtRule : ByDerivative<CbrtRule> {
    static constexpr bool stays_finite = true;
    static double value(double x) { return std::cbrt(x); }
    static double derivative(double, double y) { return 1.0 / (3.0 * (y * y)); }
};

// Two-operand operators: a and b are the left and right operands' lanes
// (broadcast), y the result's lane, g the upstream lane, ta and tb the
// operands' tangent lanes. `right_varies` is false when the right operand
// is a Constant, whose gradient nobody reads.

// A two-operand rule's tangent, applied once.
template <typename Rule>
struct TangentOnce {
    static double tangent(double a, double b, double y, double ta, double tb, bool right_varies) {
        return Rule::tangent_along(a, b, y, right_varies)(ta, tb);
    }
};

struct AddRule : TangentOnce<AddRule> {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a + b; }
    static Adjoints adjoint(double, double, double, double g, bool) { return {g, g}; }
    static auto tangent_along(double, double, double, bool) {
        return [](double ta, double tb) { return ta + tb; };
    }
};

struct SubtractRule : TangentOnce<SubtractRule> {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a - b; }
    static Adjoints adjoint(double, double, double, double g, bool) { return {g, -g}; }
    static auto tangent_along(double, double, double, bool) {
        return [](double ta, double tb) { return ta - tb; };
    }
};

struct MultiplyRule : TangentOnce<MultiplyRule> {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a * b; }
    static Adjoints adjoint(double a, double b, double, double g, bool) { return {g * b, g * a}; }
    static auto tangent_along(double a, double b, double, bool) {
        return [a, b](double ta, double tb) { return ta * b + a * tb; };
    }
};

struct DivideRule : TangentOnce<DivideRule> {
    static constexpr int operands = 2;
    static double value(double a, double b) { return a / b; }
    // The square of b is one product, computed after the negated upstream
    // lane times a.
    static Adjoints adjoint(double a, double b, double, double g, bool) {
        return {g / b, (-g * a) / (b * b)};
    }
    static auto tangent_along(double a, double b, double, bool) {
        return [a, b, square = b * b](double ta, double tb) { return ta / b + (-tb * a) / square; };
    }
};

// A two-operand operator whose adjoint and tangent are its partial
// derivatives, from the operand and result lanes, times the upstream or
// tangent lanes. The right one is taken only when the right operand varies:
// a constant exponent of pow then needs no logarithm of its base, which is
// NaN for a negative base.
template <typename Rule>
struct ByPartials : TangentOnce<Rule> {
    static constexpr int operands = 2;
    static Adjoints adjoint(double a, double b, double y, double g, bool right_varies) {
        return {Rule::left_derivative(a, b, y) * g, right_varies ? Rule::right_derivative(a, b, y) * g : 0.0};
    }
    static auto tangent_along(double a, double b, double y, bool right_varies) {
        return [left_derivative = Rule::left_derivative(a, b, y),
                right_derivative = right_varies ? Rule::right_derivative(a, b, y) : 0.0,
                right_varies](double ta, double tb) {
            const double left = left_derivative * ta;
            return right_varies ? left + right_derivative * tb : left;
        };
    }
};

// The base's derivative is 0 for the exponent 0, and defined for a negative
// base with an integral exponent; the exponent's is 0 where the power is 0
// and NaN for a negative base.
struct PowRule : ByPartials<PowRule> {
    static double value(double a, double b) { return std::pow(a, b); }
    static double left_derivative(double a, double b, double) { return b == 0.0 ? 0.0 : b * std::pow(a, b - 1.0); }
    static double right_derivative(double a, double, double y) { return y == 0.0 ? 0.0 : std::log(a) * y; }
};

// atan2(a, b), the angle of the point (b, a); NaN at the origin.
struct Atan2Rule : ByPartials<Atan2Rule> {
    static double value(double a, double b) { return std::atan2(a, b); }
    static double left_derivative(double a, double b, double) { return b / (a * a + b * b); }
    static double right_derivative(double a, double b, double) { return -a / (a * a + b * b); }
};

// 0 at the origin, as for abs.
struct HypotRule : ByPartials<HypotRule> {
    static double value(double a, double b) { return std::hypot(a, b); }
    static double left_derivative(double a, double, double y) { return y == 0.0 ? 0.0 : a / y; }
    static double right_derivative(double, double b, double y) { return y == 0.0 ? 0.0 : b / y; }
};

// Calls visit(Rule{}) with the rule of `op`; an operator without one calls
// otherwise(). Both return the same type (a throwing `otherwise` declares
// it).
template <typename Visit, typename Otherwise>
constexpr decltype(auto) with_rule(ExpressionOp op, Visit&& visit, Otherwise&& otherwise) {
    switch (op) {
        case ExpressionOp::Add: return visit(AddRule{});
        case ExpressionOp::Subtract: return visit(SubtractRule{});
        case ExpressionOp::Multiply: return visit(MultiplyRule{});
        case ExpressionOp::Divide: return visit(DivideRule{});
        case ExpressionOp::Negate: return visit(NegateRule{});
        case ExpressionOp::Sin: return visit(SinRule{});
        case ExpressionOp::Cos: return visit(CosRule{});
        case ExpressionOp::Sqrt: return visit(SqrtRule{});
        case ExpressionOp::Exp: return visit(ExpRule{});
        case ExpressionOp::Log: return visit(LogRule{});
        case ExpressionOp::Tan: return visit(TanRule{});
        case ExpressionOp::Asin: return visit(AsinRule{});
        case ExpressionOp::Acos: return visit(AcosRule{});
        case ExpressionOp::Atan: return visit(AtanRule{});
        case ExpressionOp::Sinh: return visit(SinhRule{});
        case ExpressionOp::Cosh: return visit(CoshRule{});
        case ExpressionOp::Tanh: return visit(TanhRule{});
        case ExpressionOp::Abs: return visit(AbsRule{});
        case ExpressionOp::Pow: return visit(PowRule{});
        case ExpressionOp::Atan2: return visit(Atan2Rule{});
        case ExpressionOp::Hypot: return visit(HypotRule{});
        case ExpressionOp::Log1p: return visit(Log1pRule{});
        case ExpressionOp::Expm1: return visit(Expm1Rule{});
        case ExpressionOp::Cbrt: return visit(CbrtRule{});
        default: return otherwise();
    }
}

// The operand count of an operator with a rule, 0 for one without (None,
// Pack, Component): a table made from with_rule when compiling, since a
// Function asks it for every node.
inline int rule_operands(ExpressionOp op) {
    static constexpr auto table = [] {
        std::array<std::int8_t, 256> operands{};
        for (int k = 0; k < 256; ++k) {
            operands[static_cast<std::size_t>(k)] = static_cast<std::int8_t>(with_rule(
                static_cast<ExpressionOp>(k), [](auto rule) { return decltype(rule)::operands; }, [] { return 0; }));
        }
        return operands;
    }();
    return table[static_cast<std::uint8_t>(op)];
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
