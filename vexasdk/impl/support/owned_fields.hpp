// The lifetime of an extension object whose fields are owned references that
// hold None when unset (before construction has stored anything, or once the
// garbage collector has cleared them): what the collector visits and clears,
// and what deallocation drops.
#pragma once

#include <utility>

#include "support/python.hpp"

namespace vx {

template <class Object, PyObject* Object::*... Fields>
struct OwnedFields {
    static Object* of(PyObject* self) noexcept { return reinterpret_cast<Object*>(self); }

    // A new instance of `type` whose fields hold `values`, in the order of
    // Fields, each as a new reference. Called once the constructor's arguments
    // are checked, so that no half-built instance exists.
    template <class... Values>
    static PyObject* make(PyTypeObject* type, Values... values) noexcept {
        static_assert(sizeof...(Values) == sizeof...(Fields), "one value for each field");
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        ((of(self)->*Fields = Py_NewRef(static_cast<PyObject*>(values))), ...);
        return self;
    }

    static void set_none(PyObject* self) noexcept { ((of(self)->*Fields = Py_NewRef(Py_None)), ...); }

    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        int rc = 0;
        ((rc = rc != 0 || of(self)->*Fields == nullptr ? rc : visit(of(self)->*Fields, arg)), ...);
        return rc;
    }

    static int clear(PyObject* self) noexcept {
        // Each is dropped only once its field holds None again: a finaliser that
        // runs meanwhile must not see freed objects.
        (Py_XDECREF(std::exchange(of(self)->*Fields, Py_NewRef(Py_None))), ...);
        return 0;
    }

    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        if (type->tp_finalize != nullptr && !PyObject_GC_IsFinalized(self) &&
            PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected
        PyObject_GC_UnTrack(self);
        (Py_XDECREF(std::exchange(of(self)->*Fields, nullptr)), ...);
        type->tp_free(self);
    }

    // The static type of such objects, made by `make`: collected, and open to
    // subclasses.
    static PyTypeObject type(const char* name, PyMethodDef* methods, newfunc make, const char* doc) noexcept {
        return {
            .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
            .tp_name = name,
            .tp_basicsize = sizeof(Object),
            .tp_dealloc = dealloc,
            .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
            .tp_doc = doc,
            .tp_traverse = traverse,
            .tp_clear = clear,
            .tp_methods = methods,
            .tp_new = make,
        };
    }
};

}  // namespace vx
