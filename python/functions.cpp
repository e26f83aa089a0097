// The varnel._functions extension module: the elementary functions of
// symbolic/elementary.h for Python. Each takes what _varnel.sin takes, an
// Expression, a number, a sequence of 1..4 numbers or a NumPy scalar or
// array, coerced as sin coerces its operand, and returns a new Expression.
// The nodes come from the library that _varnel shares (see CMakeLists.txt),
// so their ids continue _varnel's.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "python/conversions.h"
#include "python/expression_objects.h"
#include "symbolic/elementary.h"

namespace py = pybind11;
namespace sym = varnel::symbolic;
using sym::Value;
using varnel::python::coerce_symbolic_value;

namespace {

using Unary = Value (*)(Value);
using Binary = Value (*)(Value, Value);

// The operand's label is the function's name followed by " value", as for
// sin: "sqrt value".
template <Unary build>
void define_unary(py::module_& m, const char* name, const char* label) {
    m.def(name, [label](py::handle x) { return build(coerce_symbolic_value(x, label)); });
}

// Arguments are coerced from the last to the first, as vec2 does, so the
// error for two unsupported arguments names the last.
template <Binary build>
void define_binary(py::module_& m, const char* name, const char* first_label, const char* second_label) {
    m.def(name, [first_label, second_label](py::handle first, py::handle second) {
        Value b = coerce_symbolic_value(second, second_label);
        Value a = coerce_symbolic_value(first, first_label);
        return build(std::move(a), std::move(b));
    });
}

}  // namespace

PYBIND11_MODULE(_functions, m, py::multiple_interpreters::not_supported()) {
    // Expression is registered by _varnel, which also takes over the
    // deallocation of the objects made here (ExpressionObjects::join).
    const py::object expression = py::module_::import("_varnel").attr("Expression");
    varnel::python::ExpressionObjects::join(reinterpret_cast<PyTypeObject*>(expression.ptr()),
                                            "varnel._functions");

    define_unary<sym::sqrt>(m, "sqrt", "sqrt value");
    define_unary<sym::exp>(m, "exp", "exp value");
    define_unary<sym::log>(m, "log", "log value");
    define_unary<sym::tan>(m, "tan", "tan value");
    define_unary<sym::asin>(m, "asin", "asin value");
    define_unary<sym::acos>(m, "acos", "acos value");
    define_unary<sym::atan>(m, "atan", "atan value");
    define_unary<sym::sinh>(m, "sinh", "sinh value");
    define_unary<sym::cosh>(m, "cosh", "cosh value");
    define_unary<sym::tanh>(m, "tanh", "tanh value");
    define_unary<sym::abs>(m, "abs", "abs value");
    define_unary<sym::log1p>(m, "log1p", "log1p value");
    define_unary<sym::expm1>(m, "expm1", "expm1 value");
    define_unary<sym::cbrt>(m, "cbrt", "cbrt value");
    define_binary<sym::pow>(m, "pow", "pow base", "pow exponent");
    define_binary<sym::atan2>(m, "atan2", "atan2 y", "atan2 x");
    define_binary<sym::hypot>(m, "hypot", "hypot x", "hypot y");
}
