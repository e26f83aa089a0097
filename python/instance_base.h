// The binding library's shared base class of every bound class, refusing to
// make an instance of a class that has no bound C++ type.
//
// Every class pybind11 binds derives from one base class, pybind11_object,
// shared by every module built alike, and is made through its tp_new,
// pybind11::detail::pybind11_object_new. For a class with no registered
// C++ type (the base class itself, or a Python class derived from it
// directly) pybind11 3.1 throws a C++ exception out of that C function
// (instance::allocate_layout: "instance allocation failed: new instance has
// no pybind11-registered base types"), which aborts the interpreter. pickle
// protocols 0 and 1 reach it through copyreg._reduce_ex, which calls the
// base class with the object to pickle.
//
// guard() puts a tp_new in front of the library's, on the base class and on
// every class that took the library's from it (the interpreter refuses
// X.__new__(Y) unless both share one tp_new), and classes made later
// inherit it. It raises TypeError for a class without a bound C++ type and
// hands every other to the library's own, so every bound class of every
// module behaves as before. It uses the library's internals
// (detail::get_internals().instance_base, detail::all_type_info), so it is
// bounded to the versions it was tested with, and checks the base class at
// import.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR == 1,
              "the guard of the base class is only tested with pybind11 3.1");

namespace varnel::python {

class InstanceBase {
public:
    // Installs the guard once per process; throws ImportError when the base
    // class is not what it expects.
    static void guard() {
        namespace py = pybind11;
        auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
        if (base == nullptr || !PyType_Check(reinterpret_cast<PyObject*>(base)) ||
            base->tp_new == nullptr) {
            throw py::import_error("_varnel: unexpected binding library base class");
        }
        if (base->tp_new == &new_instance) {
            return;
        }
        library_new_ = base->tp_new;
        replace(base);
    }

private:
    static PyObject* new_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        try {
            if (pybind11::detail::all_type_info(type).empty()) {
                PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
                return nullptr;
            }
        } catch (pybind11::error_already_set& error) {
            error.restore();
            return nullptr;
        } catch (...) {
            pybind11::detail::try_translate_exceptions();
            return nullptr;
        }
        return library_new_(type, args, kwargs);
    }

    // `type` and every class below it that has the library's tp_new.
    static void replace(PyTypeObject* type) {
        namespace py = pybind11;
        if (type->tp_new == library_new_) {
            type->tp_new = &new_instance;
            PyType_Modified(type);
        }
        const py::list below = py::handle(reinterpret_cast<PyObject*>(type)).attr("__subclasses__")();
        for (const py::handle subclass : below) {
            replace(reinterpret_cast<PyTypeObject*>(subclass.ptr()));
        }
    }

    inline static newfunc library_new_ = nullptr;
};

}  // namespace varnel::python
