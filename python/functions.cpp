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
void define_unary(py::module_& m, const char* name, const char* label, const char* doc) {
    m.def(name, [label](py::handle x) { return build(coerce_symbolic_value(x, label)); }, py::arg("x"),
          py::pos_only(), doc);
}

// Arguments are coerced from the last to the first, as vec2 does, so the
// error for two unsupported arguments names the last.
template <Binary build>
void define_binary(py::module_& m, const char* name, const char* first_label, const char* second_label,
                   const char* first_name, const char* second_name, const char* doc) {
    m.def(
        name,
        [first_label, second_label](py::handle first, py::handle second) {
            Value b = coerce_symbolic_value(second, second_label);
            Value a = coerce_symbolic_value(first, first_label);
            return build(std::move(a), std::move(b));
        },
        py::arg(first_name), py::arg(second_name), py::pos_only(), doc);
}

// Docstrings open with the signature in the form that help() and inspect
// read ("name(x, /)", a line "--", a blank line); the rest is shared.
#define UNARY_DOC(signature, summary)                                                   \
    signature "\n--\n\n" summary                                                        \
              "\n\nx is an Expression, or a number, a sequence of 1..4 numbers or a\n"     \
              "NumPy scalar or array, which becomes a Constant. Returns a new\n"          \
              "Expression; a Constant operand gives a new Constant at once. A lane\n"     \
              "outside the domain is NaN and raises ValueError, as any lane that is\n"    \
              "not finite does."
#define BINARY_DOC(signature, summary)                                                  \
    signature "\n--\n\n" summary                                                        \
              "\n\nEach operand is an Expression, or a number, a sequence of 1..4\n"       \
              "numbers or a NumPy scalar or array, which becomes a Constant; lane\n"      \
              "counts combine as the arithmetic operators combine them. Returns a new\n" \
              "Expression. A lane outside the domain is NaN and raises ValueError."

}  // namespace

PYBIND11_MODULE(_functions, m, py::multiple_interpreters::not_supported()) {
    // Expression is registered by _varnel, which also takes over the
    // deallocation of the objects made here (ExpressionObjects::join).
    const py::object expression = py::module_::import("_varnel").attr("Expression");
    varnel::python::ExpressionObjects::join(reinterpret_cast<PyTypeObject*>(expression.ptr()),
                                            "varnel._functions");
    py::options options;
    options.disable_function_signatures();

    define_unary<sym::sqrt>(m, "sqrt", "sqrt value",
                             UNARY_DOC("sqrt(x, /)", "Square root, lane by lane; x >= 0. The derivative at 0 is infinite."));
    define_unary<sym::exp>(m, "exp", "exp value",
                             UNARY_DOC("exp(x, /)", "e to the power x, lane by lane."));
    define_unary<sym::log>(m, "log", "log value",
                             UNARY_DOC("log(x, /)", "Natural logarithm, lane by lane; x > 0."));
    define_unary<sym::tan>(m, "tan", "tan value",
                             UNARY_DOC("tan(x, /)", "Tangent, in radians, lane by lane."));
    define_unary<sym::asin>(m, "asin", "asin value",
                             UNARY_DOC("asin(x, /)", "Arc sine, in radians, lane by lane; -1 <= x <= 1."));
    define_unary<sym::acos>(m, "acos", "acos value",
                             UNARY_DOC("acos(x, /)", "Arc cosine, in radians, lane by lane; -1 <= x <= 1."));
    define_unary<sym::atan>(m, "atan", "atan value",
                             UNARY_DOC("atan(x, /)", "Arc tangent, in radians, lane by lane."));
    define_unary<sym::sinh>(m, "sinh", "sinh value",
                             UNARY_DOC("sinh(x, /)", "Hyperbolic sine, lane by lane."));
    define_unary<sym::cosh>(m, "cosh", "cosh value",
                             UNARY_DOC("cosh(x, /)", "Hyperbolic cosine, lane by lane."));
    define_unary<sym::tanh>(m, "tanh", "tanh value",
                             UNARY_DOC("tanh(x, /)", "Hyperbolic tangent, lane by lane."));
    define_unary<sym::abs>(m, "abs", "abs value",
                             UNARY_DOC("abs(x, /)", "Absolute value, lane by lane; the derivative at 0 is 0."));
    define_unary<sym::log1p>(m, "log1p", "log1p value",
                             UNARY_DOC("log1p(x, /)", "log(1 + x), lane by lane, exact for small x; x > -1."));
    define_unary<sym::expm1>(m, "expm1", "expm1 value",
                             UNARY_DOC("expm1(x, /)", "exp(x) - 1, lane by lane, exact for small x."));
    define_unary<sym::cbrt>(m, "cbrt", "cbrt value",
                             UNARY_DOC("cbrt(x, /)", "Cube root, lane by lane, of any sign. The derivative at 0 is infinite."));
    define_binary<sym::pow>(m, "pow", "pow base", "pow exponent", "base", "exponent",
                              BINARY_DOC("pow(base, exponent, /)",
                                         "base to the power exponent, lane by lane. A negative base takes\n"
                                         "integral exponents only; the exponent is differentiated only when it\n"
                                         "is not a Constant."));
    define_binary<sym::atan2>(m, "atan2", "atan2 y", "atan2 x", "y", "x",
                              BINARY_DOC("atan2(y, x, /)",
                                         "The angle of the point (x, y), in radians, in [-pi, pi], lane by lane."));
    define_binary<sym::hypot>(m, "hypot", "hypot x", "hypot y", "x", "y",
                              BINARY_DOC("hypot(x, y, /)",
                                         "sqrt(x * x + y * y), lane by lane, without overflow in between; the\n"
                                         "derivative at the origin is 0."));
}
