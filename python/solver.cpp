// The varnel._solver extension module: least squares and equation solving
// over graphs made with _varnel. Like _compiled, it takes _varnel's
// Expression objects and never makes a node. The iteration runs in C++;
// between its steps it checks for Ctrl-C and, when asked, prints a line.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "python/conversions.h"
#include "symbolic/solve.h"
#include "symbolic/sparse_solve.h"

namespace sym = varnel::symbolic;

using namespace varnel::python;

namespace {

// --- Python values in ------------------------------------------------------

// x0 has the unknowns' shape: the lanes of the one unknown, or one item of
// lanes per unknown.
std::vector<SmallValue> to_start(py::handle x0, bool single_unknown, std::size_t unknowns) {
    if (single_unknown) {
        return {to_lanes(x0, "x0")};
    }
    if (!is_sequence(x0)) {
        throw py::type_error("x0 must be a sequence with one value per unknown");
    }
    const Py_ssize_t length = length_of(x0);
    if (static_cast<std::size_t>(length) != unknowns) {
        throw py::value_error("x0 has " + std::to_string(length) + " values, expected " +
                              std::to_string(unknowns) + " (one per unknown)");
    }
    std::vector<SmallValue> values;
    for (Py_ssize_t k = 0; k < length; ++k) {
        values.push_back(to_lanes(item_of(x0, k), ("x0 value " + std::to_string(k)).c_str()));
    }
    return values;
}

// Any whole number (an int, a NumPy integer): a limit beyond int is as good
// as none, and one below it is refused with the limits below 1.
int iteration_limit(py::handle max_iterations) {
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(max_iterations.ptr()));
    if (!index) {
        PyErr_Clear();
        throw py::type_error("max_iterations must be an int");
    }
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow > 0 || (overflow == 0 && limit > std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    return overflow < 0 || limit < 1 ? 0 : static_cast<int>(limit);
}

// --- Python values out -----------------------------------------------------

py::tuple lanes_tuple(const double* lanes, int count) {
    py::tuple result(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        result[static_cast<std::size_t>(i)] = py::float_(lanes[i]);
    }
    return result;
}

// Lanes per unknown: one tuple for a single unknown, else a tuple of them.
py::tuple per_unknown(const double* lanes, const std::vector<Value>& unknowns, bool single) {
    py::tuple result(unknowns.size());
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        const int dimension = unknowns[k].dimension();
        result[k] = lanes_tuple(lanes, dimension);
        lanes += dimension;
    }
    if (single) {
        return result[0].cast<py::tuple>();
    }
    return result;
}

py::object module_or_none(const char* name) {
    try {
        return py::module_::import(name);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
        return py::none();
    }
}

// A float64 array of this shape from row-major data, or without NumPy a
// tuple (of tuples for a matrix).
py::object matrix_of(const py::object& numpy, const std::vector<double>& data, std::size_t rows,
                     std::size_t columns, bool vector) {
    if (numpy.is_none()) {
        if (vector) {
            return lanes_tuple(data.data(), static_cast<int>(rows));
        }
        py::tuple result(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            result[r] = lanes_tuple(data.data() + r * columns, static_cast<int>(columns));
        }
        return result;
    }
    py::object shape = vector ? py::object(py::make_tuple(rows)) : py::object(py::make_tuple(rows, columns));
    py::object array = numpy.attr("empty")(shape, numpy.attr("float64"));
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        throw py::error_already_set();
    }
    if (!data.empty()) {
        std::memcpy(view.buf, data.data(), data.size() * sizeof(double));
    }
    PyBuffer_Release(&view);
    return array;
}

// A vector of numbers: a NumPy array of the given type, or a tuple.
template <typename T>
py::object vector_of(const py::object& numpy, const std::vector<T>& data, const char* dtype) {
    if (numpy.is_none()) {
        py::tuple result(data.size());
        for (std::size_t i = 0; i < data.size(); ++i) {
            result[i] = py::cast(data[i]);
        }
        return result;
    }
    py::object array = numpy.attr("empty")(data.size(), numpy.attr(dtype));
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        throw py::error_already_set();
    }
    if (!data.empty()) {
        std::memcpy(view.buf, data.data(), data.size() * sizeof(T));
    }
    PyBuffer_Release(&view);
    return array;
}

// A sparse Jacobian: SciPy's csr_array where SciPy is installed, else the
// compressed rows as a tuple (values, column indices, row starts).
py::object sparse_of(const py::object& numpy, const sym::SparseJacobian& jacobian) {
    py::tuple rows = py::make_tuple(vector_of(numpy, jacobian.values, "float64"),
                                    vector_of(numpy, jacobian.column_indices, "int32"),
                                    vector_of(numpy, jacobian.row_starts, "int64"));
    const py::object sparse = numpy.is_none() ? py::none() : module_or_none("scipy.sparse");
    if (sparse.is_none()) {
        return rows;
    }
    return sparse.attr("csr_array")(rows, py::arg("shape") = py::make_tuple(jacobian.rows, jacobian.columns));
}

// --- The result ------------------------------------------------------------

struct SolveResult {
    sym::SolveSummary summary;
    sym::JacobianLayout layout;
    py::object x;
    py::object residuals;
    py::object jacobian;
    py::object covariance;
    py::object standard_errors;
};

SolveResult make_result(sym::LayoutSolveSummary solved, const std::vector<Value>& unknowns, bool single_unknown) {
    sym::SolveSummary& summary = solved.summary;
    SolveResult result;
    result.layout = solved.layout;
    const py::object numpy = module_or_none("numpy");
    const auto m = static_cast<std::size_t>(summary.residual_lanes);
    const auto n = static_cast<std::size_t>(summary.unknown_lanes);
    std::vector<double> x;
    for (const SmallValue& value : summary.x) {
        x.insert(x.end(), value.lanes.begin(), value.lanes.begin() + value.dimension);
    }
    result.x = per_unknown(x.data(), unknowns, single_unknown);
    result.residuals = matrix_of(numpy, summary.residuals, m, 1, true);
    if (solved.layout == sym::JacobianLayout::Sparse) {
        result.jacobian = sparse_of(numpy, solved.jacobian);
    } else {
        result.jacobian = matrix_of(numpy, summary.jacobian, m, n, false);
    }
    result.covariance =
        summary.covariance.empty() ? py::none() : matrix_of(numpy, summary.covariance, n, n, false);
    result.standard_errors = summary.standard_errors.empty()
                                 ? py::none()
                                 : py::object(per_unknown(summary.standard_errors.data(), unknowns, single_unknown));
    result.summary = std::move(summary);
    return result;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string describe(const SolveResult& self) {
    const sym::SolveSummary& s = self.summary;
    std::string text = "<varnel.SolveResult ";
    text += s.success ? "success" : "failure";
    text += std::string(" (") + sym::to_string(s.status) + "): " + s.message + "\n";
    text += "  cost " + format("%.10g", s.cost) + " after " + std::to_string(s.iterations) + " iterations (" +
            std::to_string(s.residual_evaluations) + " evaluations of the residuals, " +
            std::to_string(s.jacobian_evaluations) + " of the Jacobian)";
    text += "\n  x " + py::repr(self.x).cast<std::string>();
    if (!self.standard_errors.is_none()) {
        text += "\n  standard errors " + py::repr(self.standard_errors).cast<std::string>();
    }
    return text + ">";
}

// --- The calls -------------------------------------------------------------

// One line per step when verbose, and a check for Ctrl-C (or any other
// signal whose handler raises) between steps.
std::function<void(const sym::SolveIteration&)> reporter(bool verbose) {
    return [verbose](const sym::SolveIteration& step) {
        if (verbose) {
            if (step.iteration == 1) {
                py::print(py::str("{:>9} {:>16} {:>10} {:>10} {:>10}")
                              .format("iteration", "cost", "step", "gradient", "radius"));
            }
            char line[128];
            std::snprintf(line, sizeof line, "%9d %16.9e %10.3e %10.3e %10.3e%s", step.iteration, step.cost,
                          step.step_norm, step.gradient_norm, step.trust_radius,
                          step.accepted ? "" : "  rejected");
            py::print(line);
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    };
}

struct Call {
    sym::LeastSquaresProblem problem;
    std::vector<SmallValue> start;
    bool single_unknown;
};

Call prepare(py::handle residuals, py::handle unknowns, py::handle x0, const char* label) {
    bool single_residual = false;
    bool single_unknown = false;
    std::vector<Value> residual_values = to_values(residuals, label, single_residual);
    std::vector<Value> unknown_values = to_values(unknowns, "unknowns", single_unknown);
    sym::LeastSquaresProblem problem(std::move(residual_values), std::move(unknown_values));
    std::vector<SmallValue> start =
        x0.is_none() ? problem.start() : to_start(x0, single_unknown, problem.function().inputs().size());
    return {std::move(problem), std::move(start), single_unknown};
}

sym::SolveOptions options_of(int max_iterations, double ftol, double xtol, double gtol, bool update,
                             bool verbose) {
    sym::SolveOptions options;
    options.max_iterations = max_iterations;
    options.ftol = ftol;
    options.xtol = xtol;
    options.gtol = gtol;
    options.update = update;
    options.on_iteration = reporter(verbose);
    return options;
}

SolveResult least_squares(py::handle residuals, py::handle unknowns, py::handle x0, const std::string& loss,
                          double f_scale, py::handle max_iterations, double ftol, double xtol, double gtol,
                          bool update, bool verbose, const std::string& jacobian) {
    const int limit = iteration_limit(max_iterations);
    Call call = prepare(residuals, unknowns, x0, "residuals");
    sym::SolveOptions options = options_of(limit, ftol, xtol, gtol, update, verbose);
    options.loss = sym::loss_from_string(loss);
    options.f_scale = f_scale;
    const sym::JacobianLayout layout = sym::jacobian_layout_from_string(jacobian);
    return make_result(sym::least_squares(call.problem, call.start, options, layout),
                       call.problem.function().inputs(), call.single_unknown);
}

SolveResult solve(py::handle equations, py::handle unknowns, py::handle x0, double tolerance,
                  py::handle max_iterations, double ftol, double xtol, double gtol, bool update, bool verbose,
                  const std::string& jacobian) {
    const int limit = iteration_limit(max_iterations);
    Call call = prepare(equations, unknowns, x0, "equations");
    sym::SolveOptions options = options_of(limit, ftol, xtol, gtol, update, verbose);
    options.tolerance = tolerance;
    const sym::JacobianLayout layout = sym::jacobian_layout_from_string(jacobian);
    return make_result(sym::solve(call.problem, call.start, options, layout), call.problem.function().inputs(),
                       call.single_unknown);
}

}  // namespace

PYBIND11_MODULE(_solver, m, py::multiple_interpreters::not_supported()) {
    // Expression is registered by _varnel; see _compiled.
    py::module_::import("_varnel");

    py::class_<SolveResult>(m, "SolveResult", "What least_squares and solve found, and how.")
        .def_property_readonly(
            "x", [](const SolveResult& self) { return self.x; },
            "The unknowns' values at the end: lanes per unknown, as eval gives them.")
        .def_property_readonly(
            "cost", [](const SolveResult& self) { return self.summary.cost; },
            "The cost there; with the linear loss, half the sum of squared residuals.")
        .def_property_readonly(
            "residuals", [](const SolveResult& self) { return self.residuals; },
            "Every residual lane there (a NumPy array where NumPy is installed, else a tuple).")
        .def_property_readonly(
            "jacobian", [](const SolveResult& self) { return self.jacobian; },
            "d(residual lane)/d(unknown lane) there, one row per residual lane; with the sparse\n"
            "layout a scipy.sparse.csr_array (without SciPy, the compressed rows as a tuple\n"
            "(values, column indices, row starts)).")
        .def_property_readonly(
            "layout", [](const SolveResult& self) { return std::string(sym::to_string(self.layout)); },
            "How the solver held the Jacobian: 'dense' or 'sparse'.")
        .def_property_readonly(
            "iterations", [](const SolveResult& self) { return self.summary.iterations; },
            "Steps tried, accepted or not.")
        .def_property_readonly(
            "evaluations",
            [](const SolveResult& self) {
                return py::make_tuple(self.summary.residual_evaluations, self.summary.jacobian_evaluations);
            },
            "(evaluations of the residuals, evaluations of the Jacobian).")
        .def_property_readonly(
            "success", [](const SolveResult& self) { return self.summary.success; },
            "Whether it converged (least_squares) or satisfied every equation (solve).")
        .def_property_readonly(
            "status", [](const SolveResult& self) { return std::string(sym::to_string(self.summary.status)); },
            "Why it stopped: 'ftol', 'xtol', 'gtol', 'precision', 'solved' (converged);\n"
            "'max_iterations', 'not_finite', 'not_solved'.")
        .def_property_readonly(
            "message", [](const SolveResult& self) { return self.summary.message; }, "The status in words.")
        .def_property_readonly(
            "covariance", [](const SolveResult& self) { return self.covariance; },
            "s^2 (J^T J)^-1 over the unknown lanes, with s^2 = sum(r^2) / (residual lanes -\n"
            "unknown lanes), of the rows weighed by sqrt(rho') with a robust loss; None without degrees\n"
            "of freedom, with a rank-deficient J, or with the sparse layout.")
        .def_property_readonly(
            "standard_errors", [](const SolveResult& self) { return self.standard_errors; },
            "The square roots of the covariance's diagonal, lanes per unknown; None without\n"
            "degrees of freedom or with a rank-deficient J.")
        .def("__repr__", &describe);

    // The defaults of the options, for the signatures of varnel.least_squares
    // and varnel.solve (python/varnel/_solve.py), which document the calls.
    const sym::SolveOptions defaults;
    py::dict options;
    options["loss"] = sym::to_string(defaults.loss);
    options["f_scale"] = defaults.f_scale;
    options["max_iterations"] = defaults.max_iterations;
    options["ftol"] = defaults.ftol;
    options["xtol"] = defaults.xtol;
    options["gtol"] = defaults.gtol;
    options["tolerance"] = defaults.tolerance;
    options["jacobian"] = sym::to_string(sym::JacobianLayout::Auto);
    m.attr("DEFAULTS") = options;
    m.def("least_squares", &least_squares, "varnel.least_squares, with every argument given.", py::arg("residuals"),
          py::arg("unknowns"), py::arg("x0"), py::arg("loss"), py::arg("f_scale"), py::arg("max_iterations"),
          py::arg("ftol"), py::arg("xtol"), py::arg("gtol"), py::arg("update"), py::arg("verbose"),
          py::arg("jacobian"));
    m.def("solve", &solve, "varnel.solve, with every argument given.", py::arg("equations"), py::arg("unknowns"),
          py::arg("x0"), py::arg("tolerance"), py::arg("max_iterations"), py::arg("ftol"), py::arg("xtol"),
          py::arg("gtol"), py::arg("update"), py::arg("verbose"), py::arg("jacobian"));
}
