// Lane values: the validating builders and the checked lane index.
#include <stdexcept>

#include "symbolic/detail/checks.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

template <std::size_t N>
SmallValue from_lanes(const std::array<double, N>& lanes) {
    SmallValue result;
    result.dimension = static_cast<std::int32_t>(N);
    for (std::size_t i = 0; i < N; ++i) {
        result.lanes[i] = lanes[i];
    }
    require_finite_lanes(result);
    return result;
}

}  // namespace

double SmallValue::operator[](int index) const {
    if (index < 0 || index >= dimension) {
        throw std::out_of_range("symbolic value lane index out of range");
    }
    return lanes[static_cast<std::size_t>(index)];
}

SmallValue small_value(std::initializer_list<double> lanes) {
    if (lanes.size() < 1 || lanes.size() > 4) {
        throw std::invalid_argument("symbolic value constructor expects 1..4 lanes");
    }
    SmallValue result;
    result.dimension = static_cast<std::int32_t>(lanes.size());
    std::size_t i = 0;
    for (double lane : lanes) {
        result.lanes[i++] = lane;
    }
    require_finite_lanes(result);
    return result;
}

SmallValue small_value(double x) { return from_lanes(std::array<double, 1>{x}); }
SmallValue small_value(double x, double y) { return from_lanes(std::array<double, 2>{x, y}); }
SmallValue small_value(double x, double y, double z) {
    return from_lanes(std::array<double, 3>{x, y, z});
}
SmallValue small_value(double x, double y, double z, double w) {
    return from_lanes(std::array<double, 4>{x, y, z, w});
}
SmallValue small_value(const Vec<double, 1>& v) { return from_lanes(v.data); }
SmallValue small_value(const Vec<double, 2>& v) { return from_lanes(v.data); }
SmallValue small_value(const Vec<double, 3>& v) { return from_lanes(v.data); }
SmallValue small_value(const Vec<double, 4>& v) { return from_lanes(v.data); }

}  // namespace varnel::symbolic
