// The varnel._compiled extension module: compiled functions of graphs made
// with _varnel. It takes _varnel's Expression objects (the binding library
// shares registered types between modules built alike) and makes no node.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "python/conversions.h"
#include "symbolic/function.h"

namespace py = pybind11;
namespace sym = varnel::symbolic;
using sym::SmallValue;
using sym::Value;
using namespace varnel::python;

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

template <>
class type_caster<CompiledFunction> : public null_safe_caster<CompiledFunction> {};

}  // namespace pybind11::detail

namespace {

// --- Python values in ------------------------------------------------------

// A number is one lane; a sequence of 1..4 numbers is that many. Finiteness
// and dimension are the Function's checks.
SmallValue to_lanes(py::handle object, const char* label) {
    if (is_int_or_float(object)) {
        SmallValue value;
        value.dimension = 1;
        value.lanes[0] = to_number(object);
        return value;
    }
    if (!is_sequence(object)) {
        throw py::type_error(std::string(label) + " must be a number or a sequence of 1..4 numbers");
    }
    return sequence_lanes(object, label);
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

py::object numpy_module() {
    try {
        return py::module_::import("numpy");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
        throw py::import_error("Function.map needs NumPy; install it with: pip install numpy");
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
    function.map(static_cast<const double*>(view.buf), static_cast<std::size_t>(view.shape[0]),
                 view.strides[0] / 8, view.strides[1] / 8, static_cast<double*>(output.view().buf));
    return result;
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

}  // namespace

PYBIND11_MODULE(_compiled, m, py::multiple_interpreters::not_supported()) {
    // Expression is registered by _varnel; loading it first makes sure the
    // type is known here whichever module is imported first.
    py::module_::import("_varnel");

    py::class_<CompiledFunction>(m, "Function")
        .def("__call__",
             [](const CompiledFunction& self, const py::args& args) {
                 return lanes_tuples(self.function.evaluate(to_lane_list(args, "function input")),
                                     self.single_output);
             })
        .def(
            "vjp",
            [](const CompiledFunction& self, const py::args& args, const py::object& seeds) {
                std::vector<SmallValue> values = to_lane_list(args, "function input");
                return lanes_tuples(self.function.vjp(values, to_seeds(self, seeds)),
                                    self.single_input);
            },
            py::arg("seeds") = py::none())
        .def("jacobian",
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
             })
        .def("map", &map_rows)
        .def("__repr__", &describe);

    m.def("compile", &compile, py::arg("outputs"), py::arg("inputs") = py::tuple());
}
