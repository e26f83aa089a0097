// The varnel._functions extension module: the elementary functions of
// symbolic/elementary.h for Python. Each takes what _varnel.sin takes, an
// Expression, a number, a sequence of 1..4 numbers or a NumPy scalar or
// array, coerced as sin coerces its operand, and returns a new Expression.
// The nodes come from the library that _varnel shares (see CMakeLists.txt),
// so their ids continue _varnel's.
//
// The functions are plain CPython functions of the module rather than
// pybind11 ones: help() then shows each as what it is, with the signature
// its docstring opens with, where a pybind11 function shows as a method of
// the binding library's internal record. Arguments and results still go
// through pybind11's casters, and errors through its translation.
#include <Python.h>
#include <pybind11/detail/exception_translation.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <utility>

#include "python/conversions.h"
#include "python/expression_objects.h"
#include "symbolic/elementary.h"

namespace py = pybind11;
namespace sym = varnel::symbolic;
using sym::Value;
using varnel::python::coerce_symbolic_value;

namespace {

// Docstrings open with the signature in the form that help() and inspect
// read ("name(x, /)", a line "--", a blank line); the rest is shared.
#define UNARY_DOC(signature, summary)                                                  \
    signature "\n--\n\n" summary                                                       \
              "\n\nx is an Expression, or a number, a sequence of 1..4 numbers or a\n" \
              "NumPy scalar or array, which becomes a Constant. Returns a new\n"      \
              "Expression; a Constant operand gives a new Constant at once. A lane\n" \
              "outside the domain, or one that overflows, is NaN or infinite and\n"   \
              "raises ValueError, as any lane that is not finite does."
#define BINARY_DOC(signature, summary)                                                  \
    signature "\n--\n\n" summary                                                        \
              "\n\nEach operand is an Expression, or a number, a sequence of 1..4\n"    \
              "numbers or a NumPy scalar or array, which becomes a Constant; lane\n"   \
              "counts combine as the arithmetic operators combine them. Returns a new\n" \
              "Expression. A lane outside the domain, or one that overflows, is NaN or\n" \
              "infinite and raises ValueError."

struct Unary {
    const char* name;
    const char* label;  // the function's name followed by " value", as for sin
    Value (*build)(Value);
    const char* doc;
};

constexpr Unary unary_functions[] = {
    {"sqrt", "sqrt value", sym::sqrt,
     UNARY_DOC("sqrt(x, /)", "Square root, lane by lane; x >= 0. The derivative at 0 is infinite.")},
    {"exp", "exp value", sym::exp, UNARY_DOC("exp(x, /)", "e to the power x, lane by lane.")},
    {"log", "log value", sym::log, UNARY_DOC("log(x, /)", "Natural logarithm, lane by lane; x > 0.")},
    {"tan", "tan value", sym::tan, UNARY_DOC("tan(x, /)", "Tangent, in radians, lane by lane.")},
    {"asin", "asin value", sym::asin,
     UNARY_DOC("asin(x, /)", "Arc sine, in radians, lane by lane; -1 <= x <= 1.")},
    {"acos", "acos value", sym::acos,
     UNARY_DOC("acos(x, /)", "Arc cosine, in radians, lane by lane; -1 <= x <= 1.")},
    {"atan", "atan value", sym::atan, UNARY_DOC("atan(x, /)", "Arc tangent, in radians, lane by lane.")},
    {"sinh", "sinh value", sym::sinh, UNARY_DOC("sinh(x, /)", "Hyperbolic sine, lane by lane.")},
    {"cosh", "cosh value", sym::cosh, UNARY_DOC("cosh(x, /)", "Hyperbolic cosine, lane by lane.")},
    {"tanh", "tanh value", sym::tanh, UNARY_DOC("tanh(x, /)", "Hyperbolic tangent, lane by lane.")},
    {"abs", "abs value", sym::abs,
     UNARY_DOC("abs(x, /)", "Absolute value, lane by lane; the derivative at 0 is 0.")},
    {"log1p", "log1p value", sym::log1p,
     UNARY_DOC("log1p(x, /)", "log(1 + x), lane by lane, exact for small x; x > -1.")},
    {"expm1", "expm1 value", sym::expm1,
     UNARY_DOC("expm1(x, /)", "exp(x) - 1, lane by lane, exact for small x.")},
    {"cbrt", "cbrt value", sym::cbrt,
     UNARY_DOC("cbrt(x, /)", "Cube root, lane by lane, of any sign. The derivative at 0 is infinite.")},
};

struct Binary {
    const char* name;
    const char* first_name;
    const char* second_name;
    const char* first_label;
    const char* second_label;
    Value (*build)(Value, Value);
    const char* doc;
};

constexpr Binary binary_functions[] = {
    {"pow", "base", "exponent", "pow base", "pow exponent", sym::pow,
     BINARY_DOC("pow(base, exponent, /)",
                "base to the power exponent, lane by lane. A negative base takes\n"
                "integral exponents only; the exponent is differentiated only when it\n"
                "is not a Constant.")},
    {"atan2", "y", "x", "atan2 y", "atan2 x", sym::atan2,
     BINARY_DOC("atan2(y, x, /)", "The angle of the point (x, y), in radians, in [-pi, pi], lane by lane.")},
    {"hypot", "x", "y", "hypot x", "hypot y", sym::hypot,
     BINARY_DOC("hypot(x, y, /)",
                "sqrt(x * x + y * y), lane by lane, without overflow in between; the\n"
                "derivative at the origin is 0.")},
};

// pybind11::detail::try_translate_exceptions (pybind11/detail/
// exception_translation.h) is what pybind11's own dispatcher calls on an
// exception, so the classes and messages are those of sin and the
// operators; the build fails if pybind11 drops it.
PyObject* raised() {
    py::detail::try_translate_exceptions();
    return nullptr;
}

template <std::size_t i>
Value build_unary(py::handle x) {
    const Unary& f = unary_functions[i];
    return f.build(coerce_symbolic_value(x, f.label));
}

// Arguments are coerced from the last to the first, as vec2 does, so the
// error for two unsupported arguments names the last.
template <std::size_t i>
Value build_binary(py::handle first, py::handle second) {
    const Binary& f = binary_functions[i];
    Value b = coerce_symbolic_value(second, f.second_label);
    Value a = coerce_symbolic_value(first, f.first_label);
    return f.build(std::move(a), std::move(b));
}

constexpr std::size_t unary_count = std::size(unary_functions);
constexpr std::size_t binary_count = std::size(binary_functions);

// The same functions as pybind11 functions, called only with arguments
// that match no signature (a wrong count, a keyword), so that such calls
// fail with the binding library's own incompatible-arguments TypeError, as
// sin's do. Made once at import and kept for the life of the process.
PyObject* mismatched_calls[unary_count + binary_count];

PyObject* call_mismatched(std::size_t index, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(mismatched_calls[index], args, nargsf, kwnames);
}

bool has_keywords(PyObject* kwnames) {
    return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

template <std::size_t i>
PyObject* call_unary(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || has_keywords(kwnames)) {
        return call_mismatched(i, args, nargsf, kwnames);
    }
    try {
        return py::cast(build_unary<i>(args[0])).release().ptr();
    } catch (...) {
        return raised();
    }
}

template <std::size_t i>
PyObject* call_binary(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 2 || has_keywords(kwnames)) {
        return call_mismatched(unary_count + i, args, nargsf, kwnames);
    }
    try {
        return py::cast(build_binary<i>(args[0], args[1])).release().ptr();
    } catch (...) {
        return raised();
    }
}

template <typename Call>
constexpr PyCFunction as_method(Call call) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call));
}

template <std::size_t... u, std::size_t... b>
constexpr auto method_table(std::index_sequence<u...>, std::index_sequence<b...>) {
    return std::array<PyMethodDef, unary_count + binary_count + 1>{{
        {unary_functions[u].name, as_method(call_unary<u>), METH_FASTCALL | METH_KEYWORDS,
         unary_functions[u].doc}...,
        {binary_functions[b].name, as_method(call_binary<b>), METH_FASTCALL | METH_KEYWORDS,
         binary_functions[b].doc}...,
        {nullptr, nullptr, 0, nullptr},
    }};
}

// CPython keeps pointers into the table for the life of the module.
std::array<PyMethodDef, unary_count + binary_count + 1> methods =
    method_table(std::make_index_sequence<unary_count>{}, std::make_index_sequence<binary_count>{});

template <std::size_t... u, std::size_t... b>
void make_mismatched_calls(std::index_sequence<u...>, std::index_sequence<b...>) {
    ((mismatched_calls[u] = py::cpp_function(build_unary<u>, py::name(unary_functions[u].name), py::arg("x"),
                                             py::pos_only())
                                .release()
                                .ptr()),
     ...);
    ((mismatched_calls[unary_count + b] =
          py::cpp_function(build_binary<b>, py::name(binary_functions[b].name),
                           py::arg(binary_functions[b].first_name), py::arg(binary_functions[b].second_name),
                           py::pos_only())
              .release()
              .ptr()),
     ...);
}

}  // namespace

PYBIND11_MODULE(_functions, m, py::multiple_interpreters::not_supported()) {
    // Expression is registered by _varnel, which also takes over the
    // deallocation of the objects made here (ExpressionObjects::join).
    const py::object expression = py::module_::import("_varnel").attr("Expression");
    varnel::python::ExpressionObjects::join(reinterpret_cast<PyTypeObject*>(expression.ptr()),
                                            "varnel._functions");
    make_mismatched_calls(std::make_index_sequence<unary_count>{}, std::make_index_sequence<binary_count>{});
    if (PyModule_AddFunctions(m.ptr(), methods.data()) != 0) {
        throw py::error_already_set();
    }
}
