// Leaf factories: constants, parameters and undefined inputs.
#include <utility>

#include "symbolic/detail/checks.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

Value make_constant(const SmallValue& value) {
    require_finite(value);
    return make_node(ValueKind::Constant, value.dimension, value, std::nullopt, std::string{});
}

Value make_parameter(const SmallValue& value, std::string name) {
    require_finite(value);
    return make_node(ValueKind::Parameter, value.dimension, value, std::nullopt, std::move(name));
}

Value make_hinted(const SmallValue& hint, std::string name) {
    require_finite(hint);
    return make_node(ValueKind::Undefined, hint.dimension, SmallValue{}, hint, std::move(name));
}

}  // namespace

Value constant(SmallValue value) { return make_constant(value); }
Value constant(std::initializer_list<double> lanes) { return make_constant(small_value(lanes)); }
Value constant(double x) { return make_constant(small_value(x)); }
Value constant(double x, double y) { return make_constant(small_value(x, y)); }
Value constant(double x, double y, double z) { return make_constant(small_value(x, y, z)); }
Value constant(double x, double y, double z, double w) {
    return make_constant(small_value(x, y, z, w));
}
Value constant(const Vec<double, 1>& v) { return make_constant(small_value(v)); }
Value constant(const Vec<double, 2>& v) { return make_constant(small_value(v)); }
Value constant(const Vec<double, 3>& v) { return make_constant(small_value(v)); }
Value constant(const Vec<double, 4>& v) { return make_constant(small_value(v)); }

Value parameter(SmallValue value, std::string name) {
    return make_parameter(value, std::move(name));
}
Value parameter(std::initializer_list<double> lanes, std::string name) {
    return make_parameter(small_value(lanes), std::move(name));
}
Value parameter(double x, std::string name) {
    return make_parameter(small_value(x), std::move(name));
}
Value parameter(double x, double y, std::string name) {
    return make_parameter(small_value(x, y), std::move(name));
}
Value parameter(double x, double y, double z, std::string name) {
    return make_parameter(small_value(x, y, z), std::move(name));
}
Value parameter(double x, double y, double z, double w, std::string name) {
    return make_parameter(small_value(x, y, z, w), std::move(name));
}
Value parameter(const Vec<double, 1>& v, std::string name) {
    return make_parameter(small_value(v), std::move(name));
}
Value parameter(const Vec<double, 2>& v, std::string name) {
    return make_parameter(small_value(v), std::move(name));
}
Value parameter(const Vec<double, 3>& v, std::string name) {
    return make_parameter(small_value(v), std::move(name));
}
Value parameter(const Vec<double, 4>& v, std::string name) {
    return make_parameter(small_value(v), std::move(name));
}

Value undefined(int dimension, std::string name) {
    return make_node(ValueKind::Undefined, dimension, SmallValue{}, std::nullopt, std::move(name));
}

Value undefined_with_hint(SmallValue hint, std::string name) {
    return make_hinted(hint, std::move(name));
}
Value undefined_with_hint(std::initializer_list<double> lanes, std::string name) {
    return make_hinted(small_value(lanes), std::move(name));
}
Value undefined_with_hint(double x, std::string name) {
    return make_hinted(small_value(x), std::move(name));
}
Value undefined_with_hint(double x, double y, std::string name) {
    return make_hinted(small_value(x, y), std::move(name));
}
Value undefined_with_hint(double x, double y, double z, std::string name) {
    return make_hinted(small_value(x, y, z), std::move(name));
}
Value undefined_with_hint(double x, double y, double z, double w, std::string name) {
    return make_hinted(small_value(x, y, z, w), std::move(name));
}
Value undefined_with_hint(const Vec<double, 1>& v, std::string name) {
    return make_hinted(small_value(v), std::move(name));
}
Value undefined_with_hint(const Vec<double, 2>& v, std::string name) {
    return make_hinted(small_value(v), std::move(name));
}
Value undefined_with_hint(const Vec<double, 3>& v, std::string name) {
    return make_hinted(small_value(v), std::move(name));
}
Value undefined_with_hint(const Vec<double, 4>& v, std::string name) {
    return make_hinted(small_value(v), std::move(name));
}

}  // namespace varnel::symbolic
