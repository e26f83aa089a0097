// The varnel._compiled extension module: compiled functions of graphs made
// with _varnel. It takes _varnel's Expression objects (the binding library
// shares registered types between modules built alike) and never makes a
// node, so node ids stay _varnel's alone.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "symbolic/function.h"

namespace py = pybind11;
namespace sym = varnel::symbolic;
using sym::SmallValue;
using sym::Value;

namespace {

struct CompiledFunction {
    sym::Function function;
    // Made from one Expression rather than a sequence: calls give one
    // value (or gradient) rather than a tuple of them.
    bool single_output;
    bool single_input;
};

}  // namespace

namespace pybind11::detail {

// An object made through __new__ alone holds nothing. The standard caster
// would hand out uninitialised storage for it; these load it as null
// instead, so a method called on it fails to match (TypeError) and an
// Expression without a handle becomes an empty handle, which Function
// refuses by name.
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

template <>
class type_caster<Value> : public null_safe_caster<Value> {};
template <>
class type_caster<CompiledFunction> : public null_safe_caster<CompiledFunction> {};

}  // namespace pybind11::detail

namespace {

// --- Python values in ------------------------------------------------------

// str and bytes pass the interpreter's sequence check but are never lanes.
bool is_sequence(py::handle object) {
    return PySequence_Check(object.ptr()) && !PyUnicode_Check(object.ptr()) &&
           !PyBytes_Check(object.ptr());
}

py::object item_of(py::handle sequence, Py_ssize_t index) {
    auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(sequence.ptr(), index));
    if (!item) {
        throw py::error_already_set();
    }
    return item;
}

Py_ssize_t length_of(py::handle sequence) {
    const Py_ssize_t length = PySequence_Size(sequence.ptr());
    if (length < 0) {
        throw py::error_already_set();
    }
    return length;
}

// A failure names the C++ target type, in the words _varnel's conversions
// use for it.
double to_number(py::handle object) {
    if (PyFloat_CheckExact(object.ptr())) {
        return PyFloat_AS_DOUBLE(object.ptr());
    }
    py::detail::make_caster<double> caster;
    if (!caster.load(object, true)) {
        throw py::cast_error("Unable to cast Python instance of type " +
                             py::str(py::type::handle_of(object)).cast<std::string>() +
                             " to C++ type 'double'");
    }
    return py::detail::cast_op<double>(std::move(caster));
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

// A NumPy array or scalar stands for the list or Python number its base
// type's tolist() gives, as an operand of _varnel's operators does: so a
// NumPy scalar of any type and a zero-dimensional array are numbers. An
// array of more than four rows is left as it is, for the sequence rule to
// refuse by its length without building that list.
py::object numpy_as_python(py::handle object) {
    PyTypeObject* base = numpy_base_type(object);
    if (base == nullptr) {
        return {};
    }
    const py::handle type(reinterpret_cast<PyObject*>(base));
    if (std::strcmp(base->tp_name, "numpy.ndarray") == 0) {
        const py::tuple shape = type.attr("shape").attr("__get__")(object);
        if (!shape.empty() && py::cast<Py_ssize_t>(shape[0]) > 4) {
            return {};
        }
    }
    return type.attr("tolist")(object);
}

// A number is one lane; a sequence of 1..4 numbers is that many. Finiteness
// and dimension are the Function's checks.
SmallValue to_lanes(py::handle object, const char* label) {
    SmallValue value;
    if (PyLong_Check(object.ptr()) || PyFloat_Check(object.ptr())) {
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
    const Py_ssize_t length = length_of(object);
    if (length < 1 || length > 4) {
        throw py::value_error(std::string(label) + " must contain 1..4 values");
    }
    value.dimension = static_cast<std::int32_t>(length);
    for (Py_ssize_t i = 0; i < length; ++i) {
        value.lanes[static_cast<std::size_t>(i)] = to_number(item_of(object, i));
    }
    return value;
}

std::vector<SmallValue> to_lane_list(const py::args& args, const char* label) {
    std::vector<SmallValue> values;
    values.reserve(args.size());
    for (py::handle arg : args) {
        values.push_back(to_lanes(arg, label));
    }
    return values;
}

// The handle of an Expression (empty for one without a handle), or false
// when the object is no Expression.
bool load_expression(py::handle object, Value& into) {
    py::detail::make_caster<Value> caster;
    if (!caster.load(object, false)) {
        return false;
    }
    const Value* value = py::detail::cast_op<const Value*>(caster);
    into = value != nullptr ? *value : Value{};
    return true;
}

// One Expression, or a sequence of them.
std::vector<Value> to_values(py::handle object, const char* label, bool& single) {
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

std::vector<SmallValue> to_seeds(const CompiledFunction& self, const py::object& seeds) {
    if (seeds.is_none()) {
        for (const Value& output : self.function.outputs()) {
            if (output.dimension() != 1) {
                throw py::value_error("vjp() without seeds requires scalar outputs");
            }
        }
        SmallValue one;
        one.dimension = 1;
        one.lanes[0] = 1.0;
        return std::vector<SmallValue>(self.function.outputs().size(), one);
    }
    if (self.single_output) {
        return {to_lanes(seeds, "vjp seed")};
    }
    if (!is_sequence(seeds)) {
        throw py::type_error("vjp seeds must be a sequence with one seed per output");
    }
    std::vector<SmallValue> values;
    const Py_ssize_t length = length_of(seeds);
    for (Py_ssize_t i = 0; i < length; ++i) {
        values.push_back(to_lanes(item_of(seeds, i), "vjp seed"));
    }
    return values;
}

// --- Python values out -----------------------------------------------------

py::tuple lanes_tuple(const SmallValue& value) {
    py::tuple result(static_cast<std::size_t>(value.dimension));
    for (int i = 0; i < value.dimension; ++i) {
        result[static_cast<std::size_t>(i)] = py::float_(value.lanes[static_cast<std::size_t>(i)]);
    }
    return result;
}

py::tuple lanes_tuples(const std::vector<SmallValue>& values, bool single) {
    if (single) {
        return lanes_tuple(values.front());
    }
    py::tuple result(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        result[k] = lanes_tuple(values[k]);
    }
    return result;
}

// --- map over a buffer -----------------------------------------------------

class Buffer {
public:
    Buffer(py::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) {
            throw py::error_already_set();
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
};

bool is_float64(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') {
        ++format;
    }
    return view.itemsize == 8 && std::strcmp(format, "d") == 0;
}

// Only NumPy itself missing is told how to install it, with the import's
// error as the cause; any other failure to import it passes through as it
// is (a broken installation, an interpreter shutting down).
py::object numpy_module() {
    try {
        return py::module_::import("numpy");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ModuleNotFoundError)) {
            throw;
        }
        const py::object missing = py::getattr(error.value(), "name", py::none());
        if (!py::isinstance<py::str>(missing) || missing.cast<std::string>() != "numpy") {
            throw;
        }
        py::raise_from(error, PyExc_ImportError,
                       "Function.map needs NumPy; install it with: pip install numpy");
        throw py::error_already_set();
    }
}

py::object map_rows(const CompiledFunction& self, py::handle rows) {
    py::object numpy = numpy_module();
    if (!PyObject_CheckBuffer(rows.ptr())) {
        throw py::type_error("map input must be a 2-D float64 array or buffer");
    }
    const Buffer input(rows, PyBUF_STRIDES | PyBUF_FORMAT);
    const Py_buffer& view = input.view();
    if (view.ndim != 2 || !is_float64(view)) {
        throw py::type_error("map input must be a 2-D float64 array or buffer");
    }
    const sym::Function& function = self.function;
    if (view.shape[1] != function.input_lanes()) {
        throw py::value_error("map input has " + std::to_string(view.shape[1]) +
                              " columns, expected " + std::to_string(function.input_lanes()));
    }
    if (view.strides[0] % 8 != 0 || view.strides[1] % 8 != 0) {
        throw py::value_error("map input strides must be multiples of 8 bytes");
    }
    py::object result = numpy.attr("empty")(py::make_tuple(view.shape[0], function.output_lanes()),
                                            numpy.attr("float64"));
    const Buffer output(result, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    function.map(view.buf, static_cast<std::size_t>(view.shape[0]),
                 view.strides[0] / 8, view.strides[1] / 8, static_cast<double*>(output.view().buf));
    return result;
}

[[noreturn]] void refuse_pickling(py::handle self) {
    throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
}

CompiledFunction compile(py::handle outputs, py::handle inputs) {
    bool single_output = false;
    bool single_input = false;
    std::vector<Value> output_values = to_values(outputs, "compile outputs", single_output);
    std::vector<Value> input_values = to_values(inputs, "compile inputs", single_input);
    return {sym::Function(std::move(output_values), std::move(input_values)), single_output, single_input};
}

std::string describe(const CompiledFunction& self) {
    const sym::Function& f = self.function;
    return "<varnel.Function of " + std::to_string(f.inputs().size()) + " inputs (" +
           std::to_string(f.input_lanes()) + " lanes) to " + std::to_string(f.outputs().size()) +
           " outputs (" + std::to_string(f.output_lanes()) + " lanes), " +
           std::to_string(f.instruction_count()) + " instructions>";
}

// Docstrings, each opening with the signature in the interpreter's own form
// ("name(parameters)\n--\n\n"): CPython makes __text_signature__ from it,
// so help(), inspect.signature and editors show the parameters by name, as
// the stubs do. Methods spell self out rather than "$self": the binding
// library's functions are bound to its function record, which inspect would
// take for self and drop.
constexpr const char* kFunctionDoc = R"doc(The outputs of a graph as a function of some of its leaves.

Made by varnel.compile(outputs, inputs). Constants are baked in; Parameters
that are not inputs are read at every call, so set_value is seen without
compiling again. Made from one output Expression, calls return one tuple of
lanes; made from a sequence, a tuple with one lane tuple per output. The
same holds for the inputs and the gradients vjp returns.)doc";

constexpr const char* kCallDoc = R"doc(__call__(self, /, *input_values)
--

The outputs' lanes for these input values, as eval gives them.

One argument per input, in the order of compile's inputs: a number or a
sequence of 1..4 numbers, as many lanes as that input has (a NumPy scalar
or array counts as what its tolist() gives). Returns a tuple
of floats for a Function of one output Expression, a tuple of such tuples
for a sequence of outputs.)doc";

constexpr const char* kVjpDoc = R"doc(vjp(self, /, *input_values, seeds=None)
--

The gradient of the seeded outputs with respect to each input.

seeds holds one seed per output (one seed for a Function of one output
Expression), each with its output's lane count; without it every output
must have one lane and gets 1.0. Returns one lane tuple per input (one
tuple for a Function of one input Expression). Like backward, it also adds
into the grad of every Parameter below the outputs that is not an input,
once nothing can fail.)doc";

constexpr const char* kJacobianDoc = R"doc(jacobian(self, /, *input_values)
--

Every output lane's derivative with respect to every input lane.

Returns a tuple of rows, one per output lane in order, each with one float
per input lane in order. Writes no gradient.)doc";

constexpr const char* kMapDoc = R"doc(map(self, rows, /)
--

Evaluate every row of rows into a NumPy array of shape (N, output lanes).

rows is a 2-D float64 array or buffer (strided or not) of shape
(N, input lanes): each row holds the lanes of every input, in order. The
loop runs in C++; a failing row raises its error with "row I: " before the
message. Needs NumPy.)doc";

constexpr const char* kReprDoc = R"doc(__repr__(self, /)
--

The number of inputs and outputs, their lanes and the instructions.)doc";

constexpr const char* kCompileDoc = R"doc(compile(outputs, inputs=())
--

Compile the graph below outputs into a Function of inputs; see
help(varnel.compile).)doc";

}  // namespace

PYBIND11_MODULE(_compiled, m, py::multiple_interpreters::not_supported()) {
    // Expression is registered by _varnel; loading it first makes sure the
    // type is known here whichever module is imported first.
    py::module_::import("_varnel");
    py::options options;
    options.disable_function_signatures();

    py::class_<CompiledFunction>(m, "Function", kFunctionDoc)
        .def(
            "__call__",
            [](const CompiledFunction& self, const py::args& args) {
                return lanes_tuples(self.function.evaluate(to_lane_list(args, "function input")),
                                    self.single_output);
            },
            kCallDoc)
        .def(
            "vjp",
            [](const CompiledFunction& self, const py::args& args, const py::object& seeds) {
                std::vector<SmallValue> values = to_lane_list(args, "function input");
                return lanes_tuples(self.function.vjp(values, to_seeds(self, seeds)),
                                    self.single_input);
            },
            py::arg("seeds") = py::none(), kVjpDoc)
        .def(
            "jacobian",
            [](const CompiledFunction& self, const py::args& args) {
                const sym::Function& f = self.function;
                const std::vector<double> matrix = f.jacobian(to_lane_list(args, "function input"));
                const auto columns = static_cast<std::size_t>(f.input_lanes());
                py::tuple rows(static_cast<std::size_t>(f.output_lanes()));
                for (std::size_t r = 0; r < rows.size(); ++r) {
                    py::tuple row(columns);
                    for (std::size_t c = 0; c < columns; ++c) {
                        row[c] = py::float_(matrix[r * columns + c]);
                    }
                    rows[r] = row;
                }
                return rows;
            },
            kJacobianDoc)
        .def("map", &map_rows, py::arg("rows"), kMapDoc)
        .def("__repr__", &describe, kReprDoc)
        // Refused as for an Expression, by every protocol, with or without
        // a function inside.
        .def("__reduce__", [](py::handle self) { refuse_pickling(self); })
        .def("__reduce_ex__", [](py::handle self, py::handle) { refuse_pickling(self); });

    m.def("compile", &compile, py::arg("outputs"), py::arg("inputs") = py::tuple(), kCompileDoc);
}
