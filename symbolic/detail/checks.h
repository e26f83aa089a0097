// Validity checks shared by the library's sources. Internal: not part of the
// public header.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

// The magnitude test rejects NaN as well, since every comparison with NaN
// is false.
inline bool is_finite_lane(double lane) {
    return std::fabs(lane) <= 1.7976931348623157e308;
}

// Nonzero exactly where is_finite_lane is false: lane - lane is a zero
// for every finite lane (+0, or -0 when the caller rounds downward, hence
// the sign bit's mask) and NaN for an infinite or NaN one. A subtraction,
// a mask and an OR over many lanes, which vectorise, and the OR's chain is
// the only one from lane to lane.
inline std::uint64_t not_finite_bit(double lane) {
    const double zero_if_finite = lane - lane;
    std::uint64_t bits;
    std::memcpy(&bits, &zero_if_finite, sizeof bits);
    return bits & 0x7fffffffffffffffULL;
}

inline void require_dimension(int dimension) {
    if (dimension < 1 || dimension > 4) {
        throw std::invalid_argument("symbolic value dimension must be in 1..4");
    }
}

[[noreturn]] inline void refuse_lanes_not_finite() {
    throw std::invalid_argument("symbolic value lanes must be finite");
}

inline void require_finite_lanes(const SmallValue& value) {
    for (int i = 0; i < value.dimension; ++i) {
        if (!is_finite_lane(value.lanes[static_cast<std::size_t>(i)])) {
            refuse_lanes_not_finite();
        }
    }
}

inline void require_finite(const SmallValue& value) {
    require_dimension(value.dimension);
    require_finite_lanes(value);
}

inline bool is_empty(const Value& value) noexcept { return value.same_node(Value{}); }

inline void require_valid(const Value& value, const char* label) {
    if (is_empty(value)) {
        throw std::invalid_argument(std::string(label) + " is not a valid symbolic value");
    }
}

}  // namespace
}  // namespace varnel::symbolic
