// The lane kernels: the only place where arithmetic, negation, sine and
// cosine are computed, both when folding constants and when evaluating, so a
// folded constant holds exactly what evaluation would give. Internal.
#pragma once

#include <cmath>
#include <stdexcept>

#include "symbolic/checks.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

// Lane i of an operand under broadcasting: a one-lane operand repeats lane 0.
inline double broadcast_lane(const SmallValue& value, int i) {
    return value.lanes[value.dimension == 1 ? 0 : static_cast<std::size_t>(i)];
}

inline SmallValue binary_constant(ExpressionOp op, const SmallValue& left,
                                  const SmallValue& right, int dimension) {
    SmallValue result;
    result.dimension = dimension;
    // An out-of-range result dimension computes no lane and is reported by
    // the final check, before the operator is looked at.
    const int live = dimension >= 1 && dimension <= 4 ? dimension : 0;
    for (int i = 0; i < live; ++i) {
        const double l = broadcast_lane(left, i);
        const double r = broadcast_lane(right, i);
        double lane = 0.0;
        switch (op) {
            case ExpressionOp::Add: lane = l + r; break;
            case ExpressionOp::Subtract: lane = l - r; break;
            case ExpressionOp::Multiply: lane = l * r; break;
            case ExpressionOp::Divide: lane = l / r; break;
            default: throw std::invalid_argument("unsupported binary symbolic expression op");
        }
        result.lanes[static_cast<std::size_t>(i)] = lane;
    }
    require_finite(result);
    return result;
}

inline SmallValue unary_constant(ExpressionOp op, const SmallValue& operand) {
    SmallValue result;
    result.dimension = operand.dimension;
    require_dimension(result.dimension);
    for (int i = 0; i < result.dimension; ++i) {
        const double x = operand.lanes[static_cast<std::size_t>(i)];
        double lane = 0.0;
        switch (op) {
            case ExpressionOp::Negate: lane = -x; break;
            case ExpressionOp::Sin: lane = std::sin(x); break;
            case ExpressionOp::Cos: lane = std::cos(x); break;
            default: throw std::invalid_argument("unsupported unary symbolic expression op");
        }
        result.lanes[static_cast<std::size_t>(i)] = lane;
    }
    require_finite_lanes(result);
    return result;
}

}  // namespace
}  // namespace varnel::symbolic
