// The _varnel extension module: the Python face of the value-graph library.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "python/expression_objects.h"
#include "python/instance_base.h"
#include "symbolic/symbolic.h"

namespace py = pybind11;
using varnel::symbolic::SmallValue;
using varnel::symbolic::Value;
namespace sym = varnel::symbolic;

namespace pybind11::detail {

// An Expression made through Expression.__new__ has no handle. The standard
// caster would hand out uninitialised storage for it; this one loads it as
// a null value instead, so a member called on it fails to match (TypeError,
// or NotImplemented for operators) and an operand made of it coerces to an
// empty handle, which the builders refuse by name.
template <>
class type_caster<Value> : public type_caster_base<Value> {
public:
    bool load(handle src, bool convert) { return load_impl<type_caster<Value>>(src, convert); }

    void load_value(value_and_holder&& v_h) {
        if (v_h.holder_constructed()) {
            type_caster_base<Value>::load_value(std::move(v_h));
        } else {
            value = nullptr;
        }
    }

    // Every Value a binding hands out becomes a new object that owns a
    // handle, made directly rather than entered in the library's registry
    // of instances (see ExpressionObjects::make). Until the class is
    // adopted at import, and for reference policies, the standard way.
    using type_caster_base<Value>::cast;

    static handle cast(Value&& src, return_value_policy policy, handle parent) {
        if (!varnel::python::ExpressionObjects::adopted()) {
            return type_caster_base<Value>::cast(std::move(src), policy, parent);
        }
        return varnel::python::ExpressionObjects::make(std::move(src));
    }

    static handle cast(const Value& src, return_value_policy policy, handle parent) {
        if (!varnel::python::ExpressionObjects::adopted() || policy == return_value_policy::reference ||
            policy == return_value_policy::reference_internal ||
            policy == return_value_policy::take_ownership) {
            return type_caster_base<Value>::cast(src, policy, parent);
        }
        return varnel::python::ExpressionObjects::make(Value(src));
    }
};

}  // namespace pybind11::detail

namespace {

// --- Python values out -----------------------------------------------------

py::tuple small_value_tuple(const SmallValue& value) {
    py::tuple result(static_cast<std::size_t>(value.dimension));
    for (int i = 0; i < value.dimension; ++i) {
        result[static_cast<std::size_t>(i)] = py::float_(value[i]);
    }
    return result;
}

py::object optional_hint_tuple(const Value& value) {
    if (value.has_hint()) {
        return small_value_tuple(value.hint());
    }
    return py::none();
}

py::object optional_grad_tuple(const Value& value) {
    if (value.has_grad()) {
        return small_value_tuple(value.grad());
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

// py::cast, except that a failure names the C++ target type in every build
// type, as the binding library does only in debug builds. Its switch for that
// would also add checks to every call's dispatch; this costs nothing until a
// conversion fails.
template <typename T>
T convert(py::handle object) {
    py::detail::make_caster<T> caster;
    if (!caster.load(object, true)) {
        throw py::cast_error("Unable to cast Python instance of type " +
                             py::str(py::type::handle_of(object)).cast<std::string>() +
                             " to C++ type '" + py::type_id<T>() + "'");
    }
    return py::detail::cast_op<T>(std::move(caster));
}

// Tested on the type, before any conversion: bool counts, being an int.
bool is_int_or_float(py::handle object) {
    return PyLong_Check(object.ptr()) || PyFloat_Check(object.ptr());
}

// str and bytes pass the interpreter's sequence check but are never lanes.
bool is_lane_sequence(py::handle object) {
    return PySequence_Check(object.ptr()) && !PyUnicode_Check(object.ptr()) &&
           !PyBytes_Check(object.ptr());
}

double to_number(py::handle object) {
    if (PyFloat_CheckExact(object.ptr())) {
        return PyFloat_AS_DOUBLE(object.ptr());
    }
    return convert<double>(object);
}

SmallValue lanes_of(const std::array<double, 4>& lanes, std::size_t count) {
    switch (count) {
        case 1: return sym::small_value(lanes[0]);
        case 2: return sym::small_value(lanes[0], lanes[1]);
        case 3: return sym::small_value(lanes[0], lanes[1], lanes[2]);
        case 4: return sym::small_value(lanes[0], lanes[1], lanes[2], lanes[3]);
        default: throw py::value_error("unreachable symbolic value dimension");
    }
}

SmallValue parse_small_value_sequence(py::handle object, const char* label) {
    if (!is_lane_sequence(object)) {
        throw py::type_error(std::string(label) + " must be a numeric sequence of length 1..4");
    }
    const Py_ssize_t length = PySequence_Size(object.ptr());
    if (length < 0) {
        throw py::error_already_set();
    }
    if (length < 1 || length > 4) {
        throw py::value_error(std::string(label) + " must contain 1..4 values");
    }
    std::array<double, 4> lanes{};
    for (Py_ssize_t i = 0; i < length; ++i) {
        auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(object.ptr(), i));
        if (!item) {
            throw py::error_already_set();
        }
        lanes[static_cast<std::size_t>(i)] = to_number(item);
    }
    return lanes_of(lanes, static_cast<std::size_t>(length));
}

SmallValue parse_small_value_args(const py::args& args, const char* label) {
    const std::size_t count = args.size();
    if (count == 1 && is_lane_sequence(args[0])) {
        return parse_small_value_sequence(args[0], label);
    }
    if (count < 1 || count > 4) {
        throw py::value_error(std::string(label) + " expects 1..4 numeric values");
    }
    std::array<double, 4> lanes{};
    for (std::size_t i = 0; i < count; ++i) {
        lanes[i] = to_number(args[i]);
    }
    return lanes_of(lanes, count);
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

// NumPy's array and scalar base types, told by the names of the compiled
// types in the object's type order, so the module never imports NumPy. A
// class written in Python cannot pass for them, whatever its name.
PyTypeObject* numpy_base_type(py::handle object) {
    PyObject* order = Py_TYPE(object.ptr())->tp_mro;
    if (order == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order); ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(order, i));
        if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 &&
            (std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
             std::strcmp(type->tp_name, "numpy.generic") == 0)) {
            return type;
        }
    }
    return nullptr;
}

// The rows of an array as its base type reads them (a subclass cannot
// redefine them), 0 for a zero-dimensional one.
Py_ssize_t numpy_rows(py::handle array_type, py::handle array) {
    const py::tuple shape = array_type.attr("shape").attr("__get__")(array);
    return shape.empty() ? 0 : py::cast<Py_ssize_t>(shape[0]);
}

// A NumPy array or scalar stands for the list or Python number its base
// type's tolist() gives, so it coerces exactly as that would, errors
// included. An array of more than four rows is left as it is: the sequence
// rule refuses it by its length before reading an item, as it would the
// list, without building that list.
py::object numpy_as_python(py::handle object) {
    PyTypeObject* base = numpy_base_type(object);
    if (base == nullptr) {
        return {};
    }
    const py::handle type(reinterpret_cast<PyObject*>(base));
    if (std::strcmp(base->tp_name, "numpy.ndarray") == 0 && numpy_rows(type, object) > 4) {
        return {};
    }
    return type.attr("tolist")(object);
}

// An Expression made through Expression.__new__ holds no handle; it coerces
// to an empty one, which every builder refuses with its operand label.
// Numbers are tested first, as the cheapest check: no object is both.
Value coerce_symbolic_value(py::handle object, const char* label) {
    if (is_int_or_float(object)) {
        return sym::constant(to_number(object));
    }
    py::detail::make_caster<Value> expression;
    if (expression.load(object, false)) {
        const Value* value = py::detail::cast_op<const Value*>(expression);
        return value != nullptr ? *value : Value{};
    }
    // One conversion only: an object array may hold another NumPy object,
    // even itself.
    if (const py::object plain = numpy_as_python(object)) {
        if (numpy_base_type(plain) == nullptr) {
            return coerce_symbolic_value(plain, label);
        }
    }
    if (is_lane_sequence(object)) {
        return sym::constant(parse_small_value_sequence(object, label));
    }
    throw py::type_error(std::string(label) + " must be a symbolic value or numeric constant");
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
        .def_property_readonly("value", [](const Value& v) { return small_value_tuple(v.value()); })
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
    cls.def("eval", [](const Value& v) { return small_value_tuple(v.evaluate()); })
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
