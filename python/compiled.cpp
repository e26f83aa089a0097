// The varnel._compiled extension module: compiled functions of graphs made
// with _varnel. It takes _varnel's Expression objects (the binding library
// shares registered types between modules built alike) and makes no node.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/conversions.h"
#include "symbolic/function.h"
#include "symbolic/function_serialization.h"

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

std::vector<SmallValue> to_lane_list(const py::args& args, const char* label) {
    std::vector<SmallValue> values;
    values.reserve(args.size());
    for (py::handle arg : args) {
        values.push_back(to_lanes(arg, label));
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

// Only NumPy itself missing is told how to install it, with the import's
// error as the cause; any other failure to import it passes through as it
// is (a broken installation, an interpreter shutting down). `needs` names
// what needs it.
py::object numpy_module(const char* needs) {
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
                       (std::string(needs) + " needs NumPy; install it with: pip install numpy").c_str());
        throw py::error_already_set();
    }
}

// A new float64 array of this shape, filled by fill(first number).
template <typename Fill>
py::object new_array(const py::object& numpy, const py::tuple& shape, Fill fill) {
    py::object array = numpy.attr("empty")(shape, numpy.attr("float64"));
    const Buffer output(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    fill(static_cast<double*>(output.view().buf));
    return array;
}

// Rows that map reads where they lie, at any address: 2-D float64 in
// strides of whole doubles.
bool readable_in_place(const Py_buffer& view) {
    return view.ndim == 2 && is_float64(view) && view.strides[0] % 8 == 0 && view.strides[1] % 8 == 0;
}

// The rows a call over rows reads, where they lie when they can be read
// there, else as numpy.asarray(rows, float64) makes them, converted (copied)
// only here. `call` names the method in its messages.
class InputRows {
public:
    InputRows(const py::object& numpy, const sym::Function& function, py::handle rows, const char* call) {
        const int flags = PyBUF_STRIDES | PyBUF_FORMAT;
        if (PyObject_CheckBuffer(rows.ptr())) {
            input_.emplace(rows, flags);
            if (!readable_in_place(input_->view())) {
                input_.reset();
            }
        }
        if (!input_) {
            converted_ = numpy.attr("require")(rows, numpy.attr("float64"), "CA");
            input_.emplace(converted_, flags);
        }
        const Py_buffer& view = input_->view();
        if (view.ndim != 2) {
            throw py::value_error(std::string(call) + " input must be a 2-D array of shape (N, " +
                                  std::to_string(function.input_lanes()) + "), got shape " +
                                  py::str(converted_.attr("shape")).cast<std::string>());
        }
        if (view.shape[1] != function.input_lanes()) {
            throw py::value_error(std::string(call) + " input has " + std::to_string(view.shape[1]) +
                                  " columns, expected " + std::to_string(function.input_lanes()));
        }
    }
    const void* data() const { return input_->view().buf; }
    std::size_t count() const { return static_cast<std::size_t>(input_->view().shape[0]); }
    std::ptrdiff_t row_stride() const { return input_->view().strides[0] / 8; }
    std::ptrdiff_t lane_stride() const { return input_->view().strides[1] / 8; }

private:
    py::object converted_;
    std::optional<Buffer> input_;
};

// A Python int of at least 1 as a thread count: none runs more than 1024
// threads, so larger counts, beyond long long included, are 1024.
unsigned capped_count(py::handle count) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    return overflow > 0 ? 1024 : static_cast<unsigned>(std::min<long long>(value, 1024));
}

// threads=None: the Function's own choice (0), which keeps small work on
// one thread, of at most varnel.default_threads() (the environment's say
// and the CPUs this process may run on). Else a count of at least 1.
// The module is taken from sys.modules where it is already: importing it
// again would run the import system's Python code at every call, most of a
// short call's cost.
sym::RowOptions row_options(const py::object& threads) {
    sym::RowOptions options;
    if (threads.is_none()) {
        PyObject* loaded = PyImport_GetModule(py::str("varnel._threads").ptr());
        if (loaded == nullptr && PyErr_Occurred() != nullptr) {
            throw py::error_already_set();
        }
        const py::object module =
            loaded != nullptr ? py::reinterpret_steal<py::object>(loaded) : py::module_::import("varnel._threads");
        options.most_threads = capped_count(module.attr("default_threads")());
        return options;
    }
    if (!py::isinstance<py::int_>(threads) || py::isinstance<py::bool_>(threads)) {
        throw py::type_error("threads must be an int or None");
    }
    if (threads < py::int_(1)) {
        throw py::value_error("threads must be at least 1, got " + py::str(threads).cast<std::string>());
    }
    options.threads = capped_count(threads);
    return options;
}

// Runs a call over rows without the interpreter lock, asking between blocks
// whether a signal came (Ctrl-C): its handler's exception stops the call and
// is raised, and the caller keeps nothing of what was half written. The
// Parameters' values are read, and their gradients added into, holding the
// lock, as other threads set them holding it.
template <typename Run>
void run_rows(sym::RowOptions options, Run run) {
    options.interrupted = [] {
        const py::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0;
    };
    options.with_parameters = [](const std::function<void()>& step) {
        const py::gil_scoped_acquire gil;
        step();
    };
    bool done = false;
    {
        const py::gil_scoped_release release;
        done = run(options);
    }
    if (!done) {
        throw py::error_already_set();
    }
}

py::object map_rows(const CompiledFunction& self, py::handle rows, const py::object& threads) {
    const py::object numpy = numpy_module("Function.map");
    const sym::Function& function = self.function;
    const InputRows in(numpy, function, rows, "map");
    const sym::RowOptions choice = row_options(threads);
    return new_array(numpy, py::make_tuple(in.count(), function.output_lanes()), [&](double* out) {
        run_rows(choice, [&](const sym::RowOptions& options) {
            return function.map(in.data(), in.count(), in.row_stride(), in.lane_stride(), out, options);
        });
    });
}

py::object map_vjp_rows(const CompiledFunction& self, py::handle rows, const py::object& seeds, bool accumulate,
                        const py::object& threads) {
    const py::object numpy = numpy_module("Function.map_vjp");
    const sym::Function& function = self.function;
    const InputRows in(numpy, function, rows, "map_vjp");
    const auto m = static_cast<std::size_t>(function.output_lanes());
    py::object seed_array;
    std::ptrdiff_t seed_stride = 0;
    if (seeds.is_none()) {
        for (const Value& output : function.outputs()) {
            if (output.dimension() != 1) {
                throw py::value_error("map_vjp() without seeds requires scalar outputs");
            }
        }
        seed_array = numpy.attr("ones")(m, numpy.attr("float64"));
    } else {
        seed_array = numpy.attr("require")(seeds, numpy.attr("float64"), "CA");
        const py::tuple shape = seed_array.attr("shape");
        const bool shared = shape.size() == 1 && shape[0].cast<std::size_t>() == m;
        const bool per_row = shape.size() == 2 && shape[0].cast<std::size_t>() == in.count() &&
                             shape[1].cast<std::size_t>() == m;
        if (!shared && !per_row) {
            throw py::value_error("map_vjp seeds must have shape (" + std::to_string(m) + ",) or (" +
                                  std::to_string(in.count()) + ", " + std::to_string(m) + "), got " +
                                  py::str(shape).cast<std::string>());
        }
        seed_stride = per_row ? static_cast<std::ptrdiff_t>(m) : 0;
    }
    const Buffer seed_buffer(seed_array, PyBUF_C_CONTIGUOUS);
    const auto* seed_lanes = static_cast<const double*>(seed_buffer.view().buf);
    const sym::RowOptions choice = row_options(threads);
    return new_array(numpy, py::make_tuple(in.count(), function.input_lanes()), [&](double* out) {
        run_rows(choice, [&](const sym::RowOptions& options) {
            return function.map_vjp(in.data(), in.count(), in.row_stride(), in.lane_stride(), seed_lanes,
                                    seed_stride, out, accumulate, options);
        });
    });
}

py::object map_jacobian_rows(const CompiledFunction& self, py::handle rows, const py::object& threads) {
    const py::object numpy = numpy_module("Function.map_jacobian");
    const sym::Function& function = self.function;
    const InputRows in(numpy, function, rows, "map_jacobian");
    const sym::RowOptions choice = row_options(threads);
    return new_array(numpy, py::make_tuple(in.count(), function.output_lanes(), function.input_lanes()),
                     [&](double* out) {
                         run_rows(choice, [&](const sym::RowOptions& options) {
                             return function.map_jacobian(in.data(), in.count(), in.row_stride(),
                                                          in.lane_stride(), out, options);
                         });
                     });
}

// --- flat vectors ----------------------------------------------------------

// A 1-D float64 vector of all the lanes of `values` in order, as
// numpy.asarray makes it (no copy of a contiguous float64 vector), split
// into one value per Expression.
std::vector<SmallValue> split_vector(const py::object& numpy, py::handle vector, const std::vector<Value>& values,
                                     int lanes, const char* label) {
    // A float64 vector of the right length is read where it lies, strided
    // or not; anything else goes through numpy.require first.
    std::optional<Buffer> input;
    if (PyObject_CheckBuffer(vector.ptr())) {
        input.emplace(vector, PyBUF_STRIDES | PyBUF_FORMAT);
        const Py_buffer& view = input->view();
        if (view.ndim != 1 || !is_float64(view) || view.shape[0] != lanes || view.strides[0] % 8 != 0) {
            input.reset();
        }
    }
    if (!input) {
        const py::object array = numpy.attr("require")(vector, numpy.attr("float64"), "CA");
        input.emplace(array, PyBUF_STRIDES | PyBUF_FORMAT);
        if (input->view().ndim != 1 || input->view().shape[0] != lanes) {
            throw py::value_error(std::string(label) + " must have shape (" + std::to_string(lanes) + ",), got " +
                                  py::str(array.attr("shape")).cast<std::string>());
        }
    }
    const auto* lane = static_cast<const unsigned char*>(input->view().buf);
    const Py_ssize_t stride = input->view().strides[0];
    std::vector<SmallValue> split(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        split[k].dimension = values[k].dimension();
        for (int i = 0; i < split[k].dimension; ++i, lane += stride) {
            std::memcpy(&split[k].lanes[static_cast<std::size_t>(i)], lane, sizeof(double));
        }
    }
    return split;
}

std::vector<SmallValue> flat_inputs(const CompiledFunction& self, const py::object& numpy, const py::args& args) {
    if (args.size() != 1) {
        throw py::type_error("flat=True takes one vector of all input lanes, got " + std::to_string(args.size()) +
                             " arguments");
    }
    return split_vector(numpy, args[0], self.function.inputs(), self.function.input_lanes(), "flat input");
}

py::object flat_array(const py::object& numpy, const std::vector<SmallValue>& values, int lanes) {
    return new_array(numpy, py::make_tuple(lanes), [&](double* out) {
        for (const SmallValue& value : values) {
            out = std::copy(value.lanes.begin(), value.lanes.begin() + value.dimension, out);
        }
    });
}

// The Jacobian's rows as a tuple of tuples of floats.
py::tuple jacobian_rows(const std::vector<double>& matrix, std::size_t rows, std::size_t columns) {
    py::tuple result(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        py::tuple row(columns);
        for (std::size_t c = 0; c < columns; ++c) {
            row[c] = py::float_(matrix[r * columns + c]);
        }
        result[r] = row;
    }
    return result;
}

py::object value_and_jacobian(const CompiledFunction& self, const py::args& args, bool flat) {
    const sym::Function& f = self.function;
    const auto rows = static_cast<std::size_t>(f.output_lanes());
    const auto columns = static_cast<std::size_t>(f.input_lanes());
    if (flat) {
        const py::object numpy = numpy_module("flat=True");
        const std::vector<SmallValue> inputs = flat_inputs(self, numpy, args);
        py::object values = numpy.attr("empty")(rows, numpy.attr("float64"));
        py::object jacobian = numpy.attr("empty")(py::make_tuple(rows, columns), numpy.attr("float64"));
        const Buffer value_buffer(values, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        const Buffer jacobian_buffer(jacobian, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        f.value_and_jacobian(inputs, static_cast<double*>(value_buffer.view().buf),
                             static_cast<double*>(jacobian_buffer.view().buf));
        return py::make_tuple(values, jacobian);
    }
    const std::vector<SmallValue> inputs = to_lane_list(args, "function input");
    std::vector<double> lanes(rows);
    std::vector<double> matrix(rows * columns);
    f.value_and_jacobian(inputs, lanes.data(), matrix.data());
    std::vector<SmallValue> values(f.outputs().size());
    auto lane = lanes.begin();
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k].dimension = f.outputs()[k].dimension();
        std::copy(lane, lane + values[k].dimension, values[k].lanes.begin());
        lane += values[k].dimension;
    }
    return py::make_tuple(lanes_tuples(values, self.single_output), jacobian_rows(matrix, rows, columns));
}

// --- pickling --------------------------------------------------------------

[[noreturn]] void refuse_pickling(py::handle self) {
    throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
}

// The Function inside `self`, refusing one made without compile (through
// __new__ alone) and an instance of a subclass, which loading could not
// give back.
const CompiledFunction& pickled(py::handle self) {
    py::detail::make_caster<CompiledFunction> caster;
    if (Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(py::type::of<CompiledFunction>().ptr()) ||
        !caster.load(self, false) || py::detail::cast_op<const CompiledFunction*>(caster) == nullptr) {
        refuse_pickling(self);
    }
    return *py::detail::cast_op<const CompiledFunction*>(caster);
}

// Pickled as the serialized form of symbolic/function_serialization.h and
// whether compile was given one output and one input Expression, loaded by
// a Python function: a pickle names one by module and name, where it would
// name this module's functions through the binding library's records.
py::tuple reduce(py::handle self) {
    const CompiledFunction& f = pickled(self);
    const std::vector<std::uint8_t> form = sym::function_to_bytes(f.function);
    return py::make_tuple(
        py::module_::import("varnel._compile").attr("_load_function"),
        py::make_tuple(py::bytes(reinterpret_cast<const char*>(form.data()), form.size()), f.single_output,
                       f.single_input));
}

CompiledFunction load_function(py::handle form, bool single_output, bool single_input) {
    const Buffer bytes(form, PyBUF_SIMPLE);
    return {sym::function_from_bytes(static_cast<const std::uint8_t*>(bytes.view().buf),
                                     static_cast<std::size_t>(bytes.view().len), single_output, single_input),
            single_output, single_input};
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
same holds for the inputs and the gradients vjp returns.

With flat=True, a call, vjp, jacobian and value_and_jacobian take one
vector of every input lane in order (n numbers) and return NumPy arrays:
values of shape (m,), gradients of shape (n,) and the Jacobian of shape
(m, n), for m output lanes. That is what scipy.optimize and array libraries pass around.

A Function pickles (every protocol), so it can go to another process or
machine: the form holds its tape, its constants and the values its
Parameters hold when pickled. An unpickled Function is standalone: it
computes the same bits, but its Parameters are frozen copies that nothing
else reaches; set_value on the originals is not seen, and the Parameter
gradients its vjp adds go into those copies (make a Parameter an input to
get its gradient). copy.copy shares the graph; copy.deepcopy gives what
pickling gives.)doc";

constexpr const char* kCallDoc = R"doc(__call__(self, /, *input_values, flat=False)
--

The outputs' lanes for these input values, as eval gives them.

One argument per input, in the order of compile's inputs: a number or a
sequence of 1..4 numbers, as many lanes as that input has (a NumPy scalar
or array counts as what its tolist() gives). Returns a tuple of floats for
a Function of one output Expression, a tuple of such tuples for a sequence
of outputs.

With flat=True, the one argument is a vector of every input lane in order
(anything numpy.asarray makes a float64 vector of shape (n,)), and the
result is a NumPy array of every output lane in order, of shape (m,).)doc";

constexpr const char* kVjpDoc = R"doc(vjp(self, /, *input_values, seeds=None, flat=False)
--

The gradient of the seeded outputs with respect to each input.

seeds holds one seed per output (one seed for a Function of one output
Expression), each with its output's lane count; without it every output
must have one lane and gets 1.0. Returns one lane tuple per input (one
tuple for a Function of one input Expression). Like backward, it also adds
into the grad of every Parameter below the outputs that is not an input,
once nothing can fail.

With flat=True, the one argument is a vector of every input lane, seeds
(when given) a vector of every output lane, and the gradient is a NumPy
array of shape (n,), one number per input lane.)doc";

constexpr const char* kJacobianDoc = R"doc(jacobian(self, /, *input_values, flat=False)
--

Every output lane's derivative with respect to every input lane.

Returns a tuple of rows, one per output lane in order, each with one float
per input lane in order. Writes no gradient. With flat=True, the one
argument is a vector of every input lane, and the result a NumPy array of
shape (m, n).)doc";

constexpr const char* kValueAndJacobianDoc = R"doc(value_and_jacobian(self, /, *input_values, flat=False)
--

The outputs' lanes and their Jacobian, from one forward pass.

Returns (values, jacobian): values as a call gives them and jacobian as
jacobian() does, the same bits. With flat=True, the one argument is a
vector of every input lane, and the result two NumPy arrays, of shapes
(m,) and (m, n), filled in C++: the residuals and the Jacobian that
scipy.optimize.least_squares asks for. Writes no gradient.)doc";

constexpr const char* kReduceDoc = R"doc(__reduce__(self, /)
--

Pickles the Function's tape, constants and current Parameter values.)doc";

constexpr const char* kCopyDoc = R"doc(__copy__(self, /)
--

Another Function over the same graph, reading the same Parameters.)doc";

constexpr const char* kLoadFunctionDoc = R"doc(_load_function(form, single_output, single_input)
--

The Function that pickling saved as form (bytes). Raises ValueError when
the bytes are not such a form, are damaged, or hold other than one output
(one input) where single_output (single_input) is set.)doc";

constexpr const char* kMapDoc = R"doc(map(self, rows, /, *, threads=None)
--

Evaluate every row of rows into a NumPy array of shape (N, output lanes).

rows is anything numpy.asarray makes a 2-D float64 array of shape
(N, input lanes): an array of any dtype, a list of lists, a DataFrame.
Each row holds the lanes of every input, in order. A float64 array or
buffer (strided or not) is read where it lies; anything else is converted
first. The rows run in C++ in blocks, without the interpreter lock, on
threads threads (None: up to varnel.default_threads(), which follows
VARNEL_NUM_THREADS, OMP_NUM_THREADS and the CPUs this process may run on,
where the work is large enough to gain, else 1); the values are those of row-by-row calls, bit for
bit, on any thread count. A failing row raises its error with "row I: " before the
message, I the first failing row. Ctrl-C stops it with KeyboardInterrupt.
Needs NumPy.)doc";

constexpr const char* kMapVjpDoc = R"doc(map_vjp(self, rows, /, seeds=None, *, accumulate=False, threads=None)
--

Each row's gradient with respect to the inputs: a NumPy array of shape
(N, input lanes), row I what vjp gives for row I of rows.

rows as for map. seeds holds every output lane's seed, shape (m,) for the
same seeds on every row or (N, m) for one row of seeds per row; without it
every output must have one lane and gets 1.0. With accumulate=True, the
sum over the rows of the gradients of the Parameters below the outputs
that are not inputs is added into their grad, once every row is done (one
training step over a data set); the sum does not depend on the thread
count. threads, errors and Ctrl-C as for map: a failed or stopped call adds
nothing. Needs NumPy.)doc";

constexpr const char* kMapJacobianDoc = R"doc(map_jacobian(self, rows, /, *, threads=None)
--

Each row's Jacobian: a NumPy array of shape (N, output lanes, input lanes),
entry [I, r, c] the derivative of output lane r with respect to input lane
c at row I, as jacobian gives it. rows, threads, errors and Ctrl-C as for
map. Writes no gradient. Needs NumPy.)doc";

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
            [](const CompiledFunction& self, const py::args& args, bool flat) -> py::object {
                if (flat) {
                    const py::object numpy = numpy_module("flat=True");
                    return flat_array(numpy, self.function.evaluate(flat_inputs(self, numpy, args)),
                                      self.function.output_lanes());
                }
                return lanes_tuples(self.function.evaluate(to_lane_list(args, "function input")),
                                    self.single_output);
            },
            py::arg("flat").noconvert() = false, kCallDoc)
        .def(
            "vjp",
            [](const CompiledFunction& self, const py::args& args, const py::object& seeds,
               bool flat) -> py::object {
                const sym::Function& f = self.function;
                if (flat) {
                    const py::object numpy = numpy_module("flat=True");
                    std::vector<SmallValue> values = flat_inputs(self, numpy, args);
                    return flat_array(numpy,
                                      f.vjp(values, seeds.is_none() ? to_seeds(self, seeds)
                                                                    : split_vector(numpy, seeds, f.outputs(),
                                                                                   f.output_lanes(), "flat seeds")),
                                      f.input_lanes());
                }
                std::vector<SmallValue> values = to_lane_list(args, "function input");
                return lanes_tuples(f.vjp(values, to_seeds(self, seeds)), self.single_input);
            },
            py::arg("seeds") = py::none(), py::arg("flat").noconvert() = false, kVjpDoc)
        .def(
            "jacobian",
            [](const CompiledFunction& self, const py::args& args, bool flat) -> py::object {
                const sym::Function& f = self.function;
                const auto columns = static_cast<std::size_t>(f.input_lanes());
                if (flat) {
                    const py::object numpy = numpy_module("flat=True");
                    const std::vector<double> matrix = f.jacobian(flat_inputs(self, numpy, args));
                    return new_array(numpy, py::make_tuple(f.output_lanes(), f.input_lanes()),
                                     [&](double* out) { std::copy(matrix.begin(), matrix.end(), out); });
                }
                return jacobian_rows(f.jacobian(to_lane_list(args, "function input")),
                                     static_cast<std::size_t>(f.output_lanes()), columns);
            },
            py::arg("flat").noconvert() = false, kJacobianDoc)
        .def("value_and_jacobian", &value_and_jacobian, py::arg("flat").noconvert() = false,
             kValueAndJacobianDoc)
        .def("map", &map_rows, py::arg("rows"), py::kw_only(), py::arg("threads") = py::none(), kMapDoc)
        .def("map_vjp", &map_vjp_rows, py::arg("rows"), py::arg("seeds") = py::none(), py::kw_only(),
             py::arg("accumulate").noconvert() = false, py::arg("threads") = py::none(), kMapVjpDoc)
        .def("map_jacobian", &map_jacobian_rows, py::arg("rows"), py::kw_only(), py::arg("threads") = py::none(),
             kMapJacobianDoc)
        .def("__repr__", &describe, kReprDoc)
        .def("__reduce__", &reduce, kReduceDoc)
        .def("__copy__", [](py::handle self) -> CompiledFunction { return pickled(self); }, kCopyDoc);

    // Function[values, gradients], as the stubs write it, also works in
    // annotations that are evaluated.
    m.attr("Function").attr("__class_getitem__") = py::reinterpret_steal<py::object>(
        PyClassMethod_New(py::module_::import("types").attr("GenericAlias").ptr()));

    m.def("compile", &compile, py::arg("outputs"), py::arg("inputs") = py::tuple(), kCompileDoc);
    m.def("_load_function", &load_function, py::arg("form"), py::arg("single_output").noconvert(),
          py::arg("single_input").noconvert(), kLoadFunctionDoc);
}
