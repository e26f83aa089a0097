// Expression builders: arithmetic, negation, sine, cosine, the elementary
// functions, lane extraction and packing, with all-constant operands folded
// into a new constant.
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/detail/checks.h"
#include "symbolic/elementary.h"
#include "symbolic/detail/operators.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

int combined_dimension(int a, int b) {
    if (a == b || a == 1) {
        return b;
    }
    if (b == 1) {
        return a;
    }
    throw std::invalid_argument("cannot combine symbolic values with dimensions " +
                                std::to_string(a) + " and " + std::to_string(b));
}

Value binary_expression(ExpressionOp op, Value left, Value right) {
    require_valid(left, "left operand");
    require_valid(right, "right operand");
    const ValueNode& l = left.node();
    const ValueNode& r = right.node();
    const int dimension = combined_dimension(l.dimension, r.dimension);
    if (l.kind == ValueKind::Constant && r.kind == ValueKind::Constant) {
        return constant(binary_constant(op, l.value, r.value, dimension));
    }
    return make_expression(op, dimension, {std::move(left), std::move(right), Value{}, Value{}}, 2,
                           -1);
}

Value unary_expression(ExpressionOp op, Value operand) {
    require_valid(operand, "unary operand");
    const ValueNode& n = operand.node();
    if (n.kind == ValueKind::Constant) {
        return constant(unary_constant(op, n.value));
    }
    const int dimension = n.dimension;
    return make_expression(op, dimension, {std::move(operand), Value{}, Value{}, Value{}}, 1, -1);
}

// Shared body of vec2, vec3 and vec4; `labels` name the arguments in order.
template <std::size_t N>
Value pack(std::array<Value, N> args, const std::array<const char*, N>& labels,
           const char* scalar_message) {
    for (std::size_t i = 0; i < N; ++i) {
        require_valid(args[i], labels[i]);
    }
    bool all_constant = true;
    for (const Value& arg : args) {
        if (arg.node().dimension != 1) {
            throw std::invalid_argument(scalar_message);
        }
        all_constant = all_constant && arg.node().kind == ValueKind::Constant;
    }
    if (all_constant) {
        SmallValue lanes;
        lanes.dimension = static_cast<std::int32_t>(N);
        for (std::size_t i = 0; i < N; ++i) {
            lanes.lanes[i] = args[i].node().value.lanes[0];
        }
        return constant(lanes);
    }
    std::array<Value, 4> inputs{};
    for (std::size_t i = 0; i < N; ++i) {
        inputs[i] = std::move(args[i]);
    }
    return make_expression(ExpressionOp::Pack, static_cast<int>(N), std::move(inputs),
                           static_cast<int>(N), -1);
}

}  // namespace

Value operator+(Value left, Value right) {
    return binary_expression(ExpressionOp::Add, std::move(left), std::move(right));
}
Value operator-(Value left, Value right) {
    return binary_expression(ExpressionOp::Subtract, std::move(left), std::move(right));
}
Value operator*(Value left, Value right) {
    return binary_expression(ExpressionOp::Multiply, std::move(left), std::move(right));
}
Value operator/(Value left, Value right) {
    return binary_expression(ExpressionOp::Divide, std::move(left), std::move(right));
}

// The number forms make their constant first, so a non-finite number is
// reported before the other operand is looked at.
Value operator+(Value left, double right) { return std::move(left) + constant(right); }
Value operator-(Value left, double right) { return std::move(left) - constant(right); }
Value operator*(Value left, double right) { return std::move(left) * constant(right); }
Value operator/(Value left, double right) { return std::move(left) / constant(right); }
Value operator+(double left, Value right) { return constant(left) + std::move(right); }
Value operator-(double left, Value right) { return constant(left) - std::move(right); }
Value operator*(double left, Value right) { return constant(left) * std::move(right); }
Value operator/(double left, Value right) { return constant(left) / std::move(right); }

Value operator-(Value operand) { return unary_expression(ExpressionOp::Negate, std::move(operand)); }
Value sin(Value operand) { return unary_expression(ExpressionOp::Sin, std::move(operand)); }
Value cos(Value operand) { return unary_expression(ExpressionOp::Cos, std::move(operand)); }

Value sqrt(Value x) { return unary_expression(ExpressionOp::Sqrt, std::move(x)); }
Value exp(Value x) { return unary_expression(ExpressionOp::Exp, std::move(x)); }
Value log(Value x) { return unary_expression(ExpressionOp::Log, std::move(x)); }
Value tan(Value x) { return unary_expression(ExpressionOp::Tan, std::move(x)); }
Value asin(Value x) { return unary_expression(ExpressionOp::Asin, std::move(x)); }
Value acos(Value x) { return unary_expression(ExpressionOp::Acos, std::move(x)); }
Value atan(Value x) { return unary_expression(ExpressionOp::Atan, std::move(x)); }
Value sinh(Value x) { return unary_expression(ExpressionOp::Sinh, std::move(x)); }
Value cosh(Value x) { return unary_expression(ExpressionOp::Cosh, std::move(x)); }
Value tanh(Value x) { return unary_expression(ExpressionOp::Tanh, std::move(x)); }
Value abs(Value x) { return unary_expression(ExpressionOp::Abs, std::move(x)); }
Value log1p(Value x) { return unary_expression(ExpressionOp::Log1p, std::move(x)); }
Value expm1(Value x) { return unary_expression(ExpressionOp::Expm1, std::move(x)); }
Value cbrt(Value x) { return unary_expression(ExpressionOp::Cbrt, std::move(x)); }

// As with the operators, a number becomes a Constant before the other
// operand is looked at.
Value pow(Value base, Value exponent) {
    return binary_expression(ExpressionOp::Pow, std::move(base), std::move(exponent));
}
Value pow(Value base, double exponent) { return pow(std::move(base), constant(exponent)); }
Value pow(double base, Value exponent) { return pow(constant(base), std::move(exponent)); }
Value atan2(Value y, Value x) { return binary_expression(ExpressionOp::Atan2, std::move(y), std::move(x)); }
Value atan2(Value y, double x) { return atan2(std::move(y), constant(x)); }
Value atan2(double y, Value x) { return atan2(constant(y), std::move(x)); }
Value hypot(Value x, Value y) { return binary_expression(ExpressionOp::Hypot, std::move(x), std::move(y)); }
Value hypot(Value x, double y) { return hypot(std::move(x), constant(y)); }
Value hypot(double x, Value y) { return hypot(constant(x), std::move(y)); }

Value component(Value operand, int index) {
    require_valid(operand, "component value");
    const ValueNode& n = operand.node();
    if (index < 0 || index >= n.dimension) {
        throw std::out_of_range("symbolic component index out of range");
    }
    if (index == 0 && n.dimension == 1) {
        return operand;
    }
    if (n.kind == ValueKind::Constant) {
        return constant(n.value.lanes[static_cast<std::size_t>(index)]);
    }
    if (n.kind == ValueKind::Expression && n.op == ExpressionOp::Pack) {
        return n.inputs[static_cast<std::size_t>(index)];
    }
    return make_expression(ExpressionOp::Component, 1,
                           {std::move(operand), Value{}, Value{}, Value{}}, 1, index);
}

Value vec2(Value x, Value y) {
    return pack<2>({std::move(x), std::move(y)}, {"vec2 x", "vec2 y"},
                   "vec2 expression inputs must be scalar symbolic values");
}

Value vec3(Value x, Value y, Value z) {
    return pack<3>({std::move(x), std::move(y), std::move(z)}, {"vec3 x", "vec3 y", "vec3 z"},
                   "vec3 expression inputs must be scalar symbolic values");
}

Value vec4(Value x, Value y, Value z, Value w) {
    return pack<4>({std::move(x), std::move(y), std::move(z), std::move(w)},
                   {"vec4 x", "vec4 y", "vec4 z", "vec4 w"},
                   "vec4 expression inputs must be scalar symbolic values");
}

}  // namespace varnel::symbolic
