// Direct access to Expression objects for the number slots and for every
// binding that returns an Expression: reading the handle an object holds and
// making a result object, without the binding library's per-call type
// lookups and instance registry. This relies on the
// binding library's instance layout, so it is bounded to the versions it was
// tested with, and the import checks the layout on a real object before any
// slot is installed.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "symbolic/symbolic.h"

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR == 1,
              "the Expression object layout is only tested with pybind11 3.1");

namespace varnel::python {

// The binding library's default holder, stored in place beside the value
// pointer of the simple instance layout.
using Holder = std::unique_ptr<symbolic::Value>;
static_assert(sizeof(Holder) <= sizeof(void*) * pybind11::detail::instance_simple_holder_in_ptrs(),
              "the holder must fit the simple instance layout");

class ExpressionObjects {
public:
    // Checks every layout assumption on an object made by the binding
    // library and on one made here, then remembers the class and takes over
    // its deallocation. Throws ImportError when an assumption does not hold.
    static void adopt(PyTypeObject* type) {
        // pybind11 gives every class of the modules that share its internals
        // one base, pybind11::detail::internals::instance_base, made by the
        // first of them to load, whose tp_dealloc is that module's copy of
        // pybind11::detail::pybind11_object_dealloc: so the class must
        // deallocate as that base does, not as this module's copy would, and
        // objects this class does not take apart go back to it.
        auto* base = reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
        if (base == nullptr || type->tp_base != base || type->tp_dealloc != base->tp_dealloc) {
            unsupported("_varnel", "class layout");
        }
        check_class(type, "_varnel");
        library_dealloc_ = type->tp_dealloc;
        type->tp_dealloc = &dealloc;
    }

    // For a module of the companion package, with its own copy of this
    // class: the same checks, without the deallocation, which stays the one
    // _varnel installed and takes apart the objects made here as its own.
    static void join(PyTypeObject* type, const char* module) { check_class(type, module); }

    static bool adopted() { return type_ != nullptr; }

    static bool is_exact(PyObject* object) { return Py_TYPE(object) == type_; }

    // The handle of an object of exactly the Expression class; null for an
    // object made through Expression.__new__, which holds none.
    static const symbolic::Value* handle_of(PyObject* object) {
        auto* inst = reinterpret_cast<pybind11::detail::instance*>(object);
        if (!inst->simple_holder_constructed) {
            return nullptr;
        }
        return static_cast<const symbolic::Value*>(inst->simple_value_holder[0]);
    }

    // A new Expression object that owns `value`, laid out as the binding
    // library lays out a moved-in result. It is not entered in the library's
    // registry of instances, which only serves to hand back an existing
    // object for a C++ pointer, something this module never does; the
    // library's deallocation skips deregistration for such objects. Every
    // Expression a binding returns is made here (see the module's caster).
    static PyObject* make(symbolic::Value&& value) {
        auto owned = std::make_unique<symbolic::Value>(std::move(value));
        PyObject* object = type_->tp_alloc(type_, 0);
        if (object == nullptr) {
            return nullptr;
        }
        auto* inst = reinterpret_cast<pybind11::detail::instance*>(object);
        inst->owned = true;
        inst->simple_layout = true;
        inst->simple_value_holder[0] = owned.get();
        new (&inst->simple_value_holder[1]) Holder(std::move(owned));
        inst->simple_holder_constructed = true;
        return object;
    }

private:
    // The class's deallocation. An object made by make(), holding nothing
    // but its handle, is taken apart here: the handle's release never calls
    // into Python. Every other object (registered by the library, watched by
    // a weak reference, of a subclass) goes the library's own way.
    static void dealloc(PyObject* object) {
        auto* inst = reinterpret_cast<pybind11::detail::instance*>(object);
        PyTypeObject* type = Py_TYPE(object);
        if (type != type_ || !inst->simple_layout || inst->simple_instance_registered ||
            inst->weakrefs != nullptr || inst->has_patients || !inst->owned) {
            library_dealloc_(object);
            return;
        }
        if (inst->simple_holder_constructed) {
            reinterpret_cast<Holder*>(&inst->simple_value_holder[1])->~Holder();
        }
        type->tp_free(object);
        Py_DECREF(type);
    }

    [[noreturn]] static void unsupported(const char* module, const char* what) {
        throw pybind11::import_error(std::string(module) + ": unexpected binding library " + what);
    }

    static void check_class(PyTypeObject* type, const char* module) {
        namespace py = pybind11;
        if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(py::detail::instance)) ||
            type->tp_as_number == nullptr) {
            unsupported(module, "class layout");
        }
        // Made by the library itself from an empty handle: no node, no id.
        py::object sample = py::cast(symbolic::Value{});
        check_instance(type, sample.ptr(), module, "object made by the binding library");
        type_ = type;
        py::object mine = py::reinterpret_steal<py::object>(make(symbolic::Value{}));
        if (!mine) {
            throw py::error_already_set();
        }
        check_instance(type, mine.ptr(), module, "object made for a number slot");
        if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) || type->tp_dictoffset != 0) {
            unsupported(module, "class flags");
        }
    }

    // The library's own accessors must find the value and holder exactly
    // where handle_of and make read and write them.
    static void check_instance(PyTypeObject* type, PyObject* object, const char* module, const char* what) {
        auto* inst = reinterpret_cast<pybind11::detail::instance*>(object);
        if (Py_TYPE(object) != type || !inst->simple_layout || !inst->owned) {
            unsupported(module, what);
        }
        pybind11::detail::value_and_holder v_h = inst->get_value_and_holder();
        if (!v_h.holder_constructed() || v_h.value_ptr() != inst->simple_value_holder[0] ||
            static_cast<void*>(&v_h.holder<Holder>()) != &inst->simple_value_holder[1] ||
            v_h.holder<Holder>().get() != handle_of(object)) {
            unsupported(module, what);
        }
    }

    inline static PyTypeObject* type_ = nullptr;
    inline static destructor library_dealloc_ = nullptr;
};

}  // namespace varnel::python
