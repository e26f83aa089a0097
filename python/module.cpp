// The _varnel extension module: the Python face of the value-graph library.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

#include "python/conversions.h"
#include "python/expression_objects.h"
#include "python/instance_base.h"
#include "symbolic/symbolic.h"

namespace py = pybind11;
using varnel::symbolic::SmallValue;
using varnel::symbolic::Value;
namespace sym = varnel::symbolic;
using namespace varnel::python;

namespace {

// --- Python values out -----------------------------------------------------

py::object optional_hint_tuple(const Value& value) {
    if (value.has_hint()) {
        return lanes_tuple(value.hint());
    }
    return py::none();
}

py::object optional_grad_tuple(const Value& value) {
    if (value.has_grad()) {
        return lanes_tuple(value.grad());
    }
    return py::none();
}

py::tuple inputs_tuple(const Value& value) {
    const int count = value.input_count();
    py::tuple result(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        result[static_cast<std::size_t>(i)] = py::cast(value.input(i), py::return_value_policy::copy);
    }
    return result;
}

// --- Python values in ------------------------------------------------------

SmallValue parse_small_value_args(const py::args& args, const char* label) {
    const std::size_t count = args.size();
    if (count == 1 && is_sequence(args[0])) {
        return parse_small_value_sequence(args[0], label);
    }
    if (count < 1 || count > 4) {
        throw py::value_error(std::string(label) + " expects 1..4 numeric values");
    }
    std::array<double, 4> lanes{};
    for (std::size_t i = 0; i < count; ++i) {
        lanes[i] = to_number(args[i]);
    }
    return finite_lanes(lanes, count);
}

Py_ssize_t keyword_count(const py::kwargs& kwargs) {
    const Py_ssize_t size = PyDict_Size(kwargs.ptr());
    if (size < 0) {
        throw py::error_already_set();
    }
    return size;
}

// A str is stored as its UTF-8 bytes, bytes and bytearray byte for byte.
std::string to_name(py::handle object) { return convert<std::string>(object); }

std::string pop_optional_name(const py::kwargs& kwargs) {
    if (!kwargs) {
        return {};
    }
    if (kwargs.contains("name")) {
        std::string name = to_name(kwargs["name"]);
        if (keyword_count(kwargs) != 1) {
            throw py::type_error("unknown keyword argument");
        }
        return name;
    }
    if (keyword_count(kwargs) != 0) {
        throw py::type_error("unknown keyword argument");
    }
    return {};
}

Value make_undefined(const py::args& args, const py::kwargs& kwargs) {
    if (!args.empty()) {
        throw py::type_error("Undefined expects keyword arguments: hint=..., dim=..., name=...");
    }
    py::object hint = py::none();
    int dimension = 1;
    bool dimension_given = false;
    std::string name;
    Py_ssize_t recognised = 0;
    if (kwargs.contains("hint")) {
        hint = kwargs["hint"];
        ++recognised;
    }
    if (kwargs.contains("dim")) {
        dimension = convert<int>(kwargs["dim"]);
        dimension_given = true;
        ++recognised;
    }
    if (kwargs.contains("name")) {
        name = to_name(kwargs["name"]);
        ++recognised;
    }
    if (recognised != keyword_count(kwargs)) {
        throw py::type_error("unknown keyword argument");
    }
    if (hint.is_none()) {
        return sym::undefined(dimension, std::move(name));
    }
    const SmallValue lanes = is_int_or_float(hint) ? sym::small_value(to_number(hint))
                                                   : parse_small_value_sequence(hint, "hint");
    if (dimension_given && dimension != lanes.dimension) {
        throw py::value_error("Undefined hint dimension does not match dim");
    }
    return sym::undefined_with_hint(lanes, std::move(name));
}

void backward_with_seed(const Value& self, const py::object& seed) {
    if (seed.is_none()) {
        self.backward();
    } else if (is_int_or_float(seed)) {
        self.backward(sym::small_value(to_number(seed)));
    } else {
        self.backward(parse_small_value_sequence(seed, "backward seed"));
    }
}

using Builder = Value (*)(Value, Value);

// Forward operators take the other operand as the right one, reflected
// operators as the left one.
template <Builder build>
Value forward_operator(const Value& self, py::handle other) {
    return build(self, coerce_symbolic_value(other, "right operand"));
}

template <Builder build>
Value reflected_operator(const Value& self, py::handle other) {
    return build(coerce_symbolic_value(other, "left operand"), self);
}

Value add(Value left, Value right) { return std::move(left) + std::move(right); }
Value subtract(Value left, Value right) { return std::move(left) - std::move(right); }
Value multiply(Value left, Value right) { return std::move(left) * std::move(right); }
Value divide(Value left, Value right) { return std::move(left) / std::move(right); }

void define_properties(py::class_<Value>& cls) {
    cls.def_property_readonly("id", [](const Value& v) { return v.id(); })
        .def_property_readonly("kind", [](const Value& v) { return sym::to_string(v.kind()); })
        .def_property_readonly("op", [](const Value& v) { return sym::to_string(v.op()); })
        .def_property_readonly("dim", [](const Value& v) { return v.dimension(); })
        .def_property_readonly("dimension", [](const Value& v) { return v.dimension(); })
        .def_property_readonly("name", [](const Value& v) -> const std::string& { return v.name(); })
        .def_property_readonly("is_constant", [](const Value& v) { return v.is_constant(); })
        .def_property_readonly("is_parameter", [](const Value& v) { return v.is_parameter(); })
        .def_property_readonly("is_undefined", [](const Value& v) { return v.is_undefined(); })
        .def_property_readonly("is_expression", [](const Value& v) { return v.is_expression(); })
        .def_property_readonly("is_leaf", [](const Value& v) { return v.is_leaf(); })
        .def_property_readonly("value", [](const Value& v) { return lanes_tuple(v.value()); })
        .def_property_readonly("hint", &optional_hint_tuple)
        .def_property_readonly("grad", &optional_grad_tuple)
        .def_property_readonly("inputs", &inputs_tuple);
}

void define_lane_access(py::class_<Value>& cls) {
    cls.def_property_readonly("x", [](const Value& v) { return sym::component(v, 0); })
        .def_property_readonly("y", [](const Value& v) { return sym::component(v, 1); })
        .def_property_readonly("z", [](const Value& v) { return sym::component(v, 2); })
        .def_property_readonly("w", [](const Value& v) { return sym::component(v, 3); })
        .def("__getitem__", [](const Value& v, int index) { return sym::component(v, index); });
}

void define_graph_methods(py::class_<Value>& cls) {
    cls.def("eval", [](const Value& v) { return lanes_tuple(v.evaluate()); })
        .def("set_value",
             [](const Value& v, const py::args& args) {
                 v.set_value(parse_small_value_args(args, "set_value"));
             })
        .def("backward", &backward_with_seed, py::arg("seed") = py::none())
        .def("zero_grad", [](const Value& v) { v.zero_grad(); })
        .def("__repr__", [](const Value& v) { return v.debug_string(); });
}

void define_operators(py::class_<Value>& cls) {
    cls.def("__add__", &forward_operator<add>, py::is_operator())
        .def("__radd__", &reflected_operator<add>, py::is_operator())
        .def("__sub__", &forward_operator<subtract>, py::is_operator())
        .def("__rsub__", &reflected_operator<subtract>, py::is_operator())
        .def("__mul__", &forward_operator<multiply>, py::is_operator())
        .def("__rmul__", &reflected_operator<multiply>, py::is_operator())
        .def("__truediv__", &forward_operator<divide>, py::is_operator())
        .def("__rtruediv__", &reflected_operator<divide>, py::is_operator())
        .def("__neg__", [](const Value& v) { return -Value(v); }, py::is_operator());
}

// Underscore members, after the public ones: for NumPy and for the
// companion package's pictures.
void define_private_members(py::class_<Value>& cls) {
    // NumPy then leaves an operator with an array or NumPy scalar on the
    // left to the reflected method, instead of applying it lane by lane.
    cls.attr("__array_ufunc__") = py::none();
    // The lane a Component node selects, -1 on other nodes.
    cls.def_property_readonly("_component_index", [](const Value& v) { return v.component_index(); });
}

// A node cannot be rebuilt from a pickle, and the interpreter's default
// reduction for protocols 0 and 1 would call the binding library's base
// class, which aborts the process. Every pickle protocol, copy.copy and
// copy.deepcopy go through these two, so each raises TypeError as pickling
// an unpicklable object does. The receiver is taken untyped, so an object
// made by Expression.__new__ is refused the same way.
[[noreturn]] void refuse_pickling(py::handle self) {
    throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
}

void define_pickling(py::class_<Value>& cls) {
    cls.def("__reduce__", [](py::handle self) { refuse_pickling(self); })
        .def("__reduce_ex__", [](py::handle self, py::handle) { refuse_pickling(self); });
}

// --- Number slots ----------------------------------------------------------
//
// The interpreter reaches `+ - * /` and unary `-` through the class's number
// slots. Left to itself it fills them with its generic slot, which looks the
// registered method up by name and calls it through the binding library's
// dispatcher. These slots do the same work directly for an Expression with a
// handle, and hand every other case to the registered method, so every
// result, error and NotImplemented stays the registered method's.
//
// The interpreter calls a class's binary slot for `a OP b` when either
// operand's class has it. As in the generic slot, the left operand is self
// when its own class carries this very slot, and otherwise the right one is,
// through the reflected method. A Python subclass gets the generic slot back
// (its methods are found by name), so calls between a subclass and this
// class still happen in the order the generic slots give them.

PyObject* call_registered(const char* name, PyObject* self, PyObject* other = nullptr) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    py::object method = py::reinterpret_steal<py::object>(PyObject_GetAttrString(type, name));
    if (!method) {
        return nullptr;
    }
    PyObject* args[] = {self, other};
    return PyObject_Vectorcall(method.ptr(), args, other == nullptr ? 1 : 2, nullptr);
}

// The handle of an object of exactly this class; null for any other object
// and for one that holds no handle.
const Value* own_handle(PyObject* self) {
    return varnel::python::ExpressionObjects::is_exact(self)
               ? varnel::python::ExpressionObjects::handle_of(self)
               : nullptr;
}

// The other operand of an operator; an Expression with a handle is copied
// without the caster's type lookup.
Value coerce_operand(PyObject* object, const char* label) {
    if (const Value* value = own_handle(object)) {
        return *value;
    }
    return coerce_symbolic_value(object, label);
}

// The registered method's handling of an exception that leaves a binding.
template <typename Make>
PyObject* translated(Make make) {
    try {
        return make();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

constexpr const char* kForwardNames[] = {"__add__", "__sub__", "__mul__", "__truediv__"};
constexpr const char* kReflectedNames[] = {"__radd__", "__rsub__", "__rmul__", "__rtruediv__"};

template <Builder build, binaryfunc PyNumberMethods::*slot, int name>
PyObject* binary_slot(PyObject* left, PyObject* right) {
    const PyNumberMethods* numbers = Py_TYPE(left)->tp_as_number;
    const bool left_is_self =
        numbers != nullptr && numbers->*slot == &binary_slot<build, slot, name>;
    PyObject* self = left_is_self ? left : right;
    PyObject* other = left_is_self ? right : left;
    const Value* handle = own_handle(self);
    if (handle == nullptr) {
        return call_registered(left_is_self ? kForwardNames[name] : kReflectedNames[name], self,
                               other);
    }
    return translated([&] {
        if (left_is_self) {
            return varnel::python::ExpressionObjects::make(
                build(*handle, coerce_operand(other, "right operand")));
        }
        return varnel::python::ExpressionObjects::make(
            build(coerce_operand(other, "left operand"), *handle));
    });
}

PyObject* negative_slot(PyObject* self) {
    const Value* handle = own_handle(self);
    if (handle == nullptr) {
        return call_registered("__neg__", self);
    }
    return translated([&] { return varnel::python::ExpressionObjects::make(-Value(*handle)); });
}

// After the operator methods are registered, which set the generic slots.
void install_number_slots(py::class_<Value>& cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    varnel::python::ExpressionObjects::adopt(type);
    PyNumberMethods* numbers = type->tp_as_number;
    numbers->nb_add = &binary_slot<add, &PyNumberMethods::nb_add, 0>;
    numbers->nb_subtract = &binary_slot<subtract, &PyNumberMethods::nb_subtract, 1>;
    numbers->nb_multiply = &binary_slot<multiply, &PyNumberMethods::nb_multiply, 2>;
    numbers->nb_true_divide = &binary_slot<divide, &PyNumberMethods::nb_true_divide, 3>;
    numbers->nb_negative = &negative_slot;
    PyType_Modified(type);
}

void define_factories(py::module_& m) {
    m.def("Constant", [](const py::args& args, const py::kwargs& kwargs) {
        if (keyword_count(kwargs) != 0) {
            throw py::type_error("Constant does not accept keyword arguments");
        }
        return sym::constant(parse_small_value_args(args, "Constant"));
    });
    m.def("Parameter", [](const py::args& args, const py::kwargs& kwargs) {
        std::string name = pop_optional_name(kwargs);
        return sym::parameter(parse_small_value_args(args, "Parameter"), std::move(name));
    });
    m.def("Undefined", &make_undefined);
}

// Arguments are coerced from the last to the first, so the error for several
// unsupported arguments names the last of them.
void define_functions(py::module_& m) {
    m.def("vec2", [](py::handle x, py::handle y) {
        Value vy = coerce_symbolic_value(y, "vec2 y");
        Value vx = coerce_symbolic_value(x, "vec2 x");
        return sym::vec2(std::move(vx), std::move(vy));
    });
    m.def("vec3", [](py::handle x, py::handle y, py::handle z) {
        Value vz = coerce_symbolic_value(z, "vec3 z");
        Value vy = coerce_symbolic_value(y, "vec3 y");
        Value vx = coerce_symbolic_value(x, "vec3 x");
        return sym::vec3(std::move(vx), std::move(vy), std::move(vz));
    });
    m.def("vec4", [](py::handle x, py::handle y, py::handle z, py::handle w) {
        Value vw = coerce_symbolic_value(w, "vec4 w");
        Value vz = coerce_symbolic_value(z, "vec4 z");
        Value vy = coerce_symbolic_value(y, "vec4 y");
        Value vx = coerce_symbolic_value(x, "vec4 x");
        return sym::vec4(std::move(vx), std::move(vy), std::move(vz), std::move(vw));
    });
    m.def("sin", [](py::handle x) { return sym::sin(coerce_symbolic_value(x, "sin value")); });
    m.def("cos", [](py::handle x) { return sym::cos(coerce_symbolic_value(x, "cos value")); });
}

}  // namespace

PYBIND11_MODULE(_varnel, m, py::multiple_interpreters::not_supported()) {
    m.attr("__version__") = py::str("0.1.0");
    py::class_<Value> cls(m, "Expression");
    define_properties(cls);
    define_lane_access(cls);
    define_graph_methods(cls);
    define_operators(cls);
    define_pickling(cls);
    define_private_members(cls);
    install_number_slots(cls);
    varnel::python::InstanceBase::guard();
    define_factories(m);
    define_functions(m);
}
