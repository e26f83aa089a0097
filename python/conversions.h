// What every extension module of varnel shares at its Python boundary: the
// caster of Expression arguments and results, Python numbers and sequences
// read as lanes, operands coerced to values, and lanes written as tuples.
// Each module compiles its own copy; none keeps state here.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "python/expression_objects.h"
#include "symbolic/symbolic.h"

namespace pybind11::detail {

// An object made through __new__ alone holds nothing. The standard caster
// would hand out uninitialised storage for it; this one loads it as null
// instead, so a member called on it fails to match (TypeError, or
// NotImplemented for operators) and an Expression without a handle becomes
// an empty handle, which the library refuses by name.
template <typename T>
class null_safe_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) { return this->template load_impl<null_safe_caster<T>>(src, convert); }

    void load_value(value_and_holder&& v_h) {
        if (v_h.holder_constructed()) {
            type_caster_base<T>::load_value(std::move(v_h));
        } else {
            this->value = nullptr;
        }
    }
};

// Every Value a binding hands out becomes a new object that owns a handle,
// made directly rather than entered in the binding library's registry of
// instances (see ExpressionObjects::make). Until the class is known to the
// module, and for reference policies, the standard way.
template <>
class type_caster<varnel::symbolic::Value> : public null_safe_caster<varnel::symbolic::Value> {
    using Value = varnel::symbolic::Value;

public:
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

namespace varnel::python {

namespace py = pybind11;
using symbolic::SmallValue;
using symbolic::Value;

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
inline bool is_int_or_float(py::handle object) {
    return PyLong_Check(object.ptr()) || PyFloat_Check(object.ptr());
}

// str and bytes pass the interpreter's sequence check but are never lanes.
inline bool is_sequence(py::handle object) {
    return PySequence_Check(object.ptr()) && !PyUnicode_Check(object.ptr()) &&
           !PyBytes_Check(object.ptr());
}

inline Py_ssize_t length_of(py::handle sequence) {
    const Py_ssize_t length = PySequence_Size(sequence.ptr());
    if (length < 0) {
        throw py::error_already_set();
    }
    return length;
}

inline py::object item_of(py::handle sequence, Py_ssize_t index) {
    auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(sequence.ptr(), index));
    if (!item) {
        throw py::error_already_set();
    }
    return item;
}

inline double to_number(py::handle object) {
    if (PyFloat_CheckExact(object.ptr())) {
        return PyFloat_AS_DOUBLE(object.ptr());
    }
    return convert<double>(object);
}

// The 1..4 numbers of a lane sequence, as they are: finiteness is the
// caller's to check.
inline SmallValue sequence_lanes(py::handle sequence, const char* label) {
    const Py_ssize_t length = length_of(sequence);
    if (length < 1 || length > 4) {
        throw py::value_error(std::string(label) + " must contain 1..4 values");
    }
    SmallValue value;
    value.dimension = static_cast<std::int32_t>(length);
    for (Py_ssize_t i = 0; i < length; ++i) {
        value.lanes[static_cast<std::size_t>(i)] = to_number(item_of(sequence, i));
    }
    return value;
}

// A lane value of `count` lanes, refusing lanes that are not finite.
inline SmallValue finite_lanes(const std::array<double, 4>& lanes, std::size_t count) {
    switch (count) {
        case 1: return symbolic::small_value(lanes[0]);
        case 2: return symbolic::small_value(lanes[0], lanes[1]);
        case 3: return symbolic::small_value(lanes[0], lanes[1], lanes[2]);
        case 4: return symbolic::small_value(lanes[0], lanes[1], lanes[2], lanes[3]);
        default: throw py::value_error("unreachable symbolic value dimension");
    }
}

inline SmallValue parse_small_value_sequence(py::handle object, const char* label) {
    if (!is_sequence(object)) {
        throw py::type_error(std::string(label) + " must be a numeric sequence of length 1..4");
    }
    const SmallValue value = sequence_lanes(object, label);
    return finite_lanes(value.lanes, static_cast<std::size_t>(value.dimension));
}

// NumPy's array and scalar base types, told by the names of the compiled
// types in the object's type order, so no module imports NumPy. A class
// written in Python cannot pass for them, whatever its name.
inline PyTypeObject* numpy_base_type(py::handle object) {
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
inline Py_ssize_t numpy_rows(py::handle array_type, py::handle array) {
    const py::tuple shape = array_type.attr("shape").attr("__get__")(array);
    return shape.empty() ? 0 : py::cast<Py_ssize_t>(shape[0]);
}

// What tolist() gives for an array of exactly NumPy's array type holding
// doubles in the machine's byte order, with no dimension or one of 1..4
// rows (the commonest input of a call), read through the buffer protocol
// rather than by calling back into NumPy; empty for any other object.
inline py::object float64_array_as_python(py::handle object, PyTypeObject* base) {
    if (Py_TYPE(object.ptr()) != base || std::strcmp(base->tp_name, "numpy.ndarray") != 0) {
        return {};
    }
    struct View {
        Py_buffer buffer;
        ~View() { PyBuffer_Release(&buffer); }
    };
    View view;
    if (PyObject_GetBuffer(object.ptr(), &view.buffer, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return {};
    }
    const Py_buffer& b = view.buffer;
    if (b.format == nullptr || std::strcmp(b.format, "d") != 0 || b.itemsize != sizeof(double)) {
        return {};
    }
    const auto lane = [&](Py_ssize_t i) {
        double x;
        std::memcpy(&x, static_cast<const unsigned char*>(b.buf) + i * (b.ndim == 0 ? 0 : b.strides[0]), sizeof x);
        return py::float_(x);
    };
    if (b.ndim == 0) {
        return lane(0);
    }
    if (b.ndim != 1 || b.shape[0] < 1 || b.shape[0] > 4) {
        return {};
    }
    py::list list(static_cast<std::size_t>(b.shape[0]));
    for (Py_ssize_t i = 0; i < b.shape[0]; ++i) {
        list[static_cast<std::size_t>(i)] = lane(i);
    }
    return std::move(list);
}

// A NumPy array or scalar stands for the list or Python number its base
// type's tolist() gives, so it coerces exactly as that would, errors
// included. An array of more than four rows is left as it is: the sequence
// rule refuses it by its length before reading an item, as it would the
// list, without building that list.
inline py::object numpy_as_python(py::handle object) {
    PyTypeObject* base = numpy_base_type(object);
    if (base == nullptr) {
        return {};
    }
    if (py::object lanes = float64_array_as_python(object, base)) {
        return lanes;
    }
    const py::handle type(reinterpret_cast<PyObject*>(base));
    if (std::strcmp(base->tp_name, "numpy.ndarray") == 0 && numpy_rows(type, object) > 4) {
        return {};
    }
    return type.attr("tolist")(object);
}

// An operand: an Expression's handle, or a new Constant of a number or a
// lane sequence. An Expression made through Expression.__new__ holds no
// handle; it coerces to an empty one, which every builder refuses with its
// operand label. Numbers are tested first, as the cheapest check: no object
// is both.
inline Value coerce_symbolic_value(py::handle object, const char* label) {
    if (is_int_or_float(object)) {
        return symbolic::constant(to_number(object));
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
    if (is_sequence(object)) {
        return symbolic::constant(parse_small_value_sequence(object, label));
    }
    throw py::type_error(std::string(label) + " must be a symbolic value or numeric constant");
}

// A number is one lane; a sequence of 1..4 numbers is that many. Finiteness
// and dimension are the Function's checks.
inline SmallValue to_lanes(py::handle object, const char* label) {
    if (is_int_or_float(object)) {
        SmallValue value;
        value.dimension = 1;
        value.lanes[0] = to_number(object);
        return value;
    }
    // One conversion only: an object array may hold another NumPy object,
    // even itself.
    if (const py::object plain = numpy_as_python(object)) {
        if (numpy_base_type(plain) == nullptr) {
            return to_lanes(plain, label);
        }
    }
    if (!is_sequence(object)) {
        throw py::type_error(std::string(label) + " must be a number or a sequence of 1..4 numbers");
    }
    return sequence_lanes(object, label);
}

// The handle of an Expression (empty for one without a handle), or false
// when the object is no Expression.
inline bool load_expression(py::handle object, Value& into) {
    py::detail::make_caster<Value> caster;
    if (!caster.load(object, false)) {
        return false;
    }
    const Value* value = py::detail::cast_op<const Value*>(caster);
    into = value != nullptr ? *value : Value{};
    return true;
}

// One Expression, or a sequence of them.
inline std::vector<Value> to_values(py::handle object, const char* label, bool& single) {
    std::vector<Value> values(1);
    single = load_expression(object, values[0]);
    if (single) {
        return values;
    }
    if (!is_sequence(object)) {
        throw py::type_error(std::string(label) + " must be an Expression or a sequence of Expressions");
    }
    const Py_ssize_t length = length_of(object);
    values.assign(static_cast<std::size_t>(length), Value{});
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!load_expression(item_of(object, i), values[static_cast<std::size_t>(i)])) {
            throw py::type_error(std::string(label) + " must be an Expression or a sequence of Expressions");
        }
    }
    return values;
}

// --- Python values out -----------------------------------------------------

// A tuple of one float per live lane, lane 0 first.
inline py::tuple lanes_tuple(const SmallValue& value) {
    py::tuple result(static_cast<std::size_t>(value.dimension));
    for (int i = 0; i < value.dimension; ++i) {
        result[static_cast<std::size_t>(i)] = py::float_(value[i]);
    }
    return result;
}

}  // namespace varnel::python
