// Methods of extension types whose annotations are readable from Python, as
// those of Python functions are: `PixelChip.set_polarity.__annotations__`.
// A method is a descriptor around the type's own PyMethodDef (which must be
// METH_FASTCALL | METH_KEYWORDS); calls go straight to the C function.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "support/ref.hpp"

namespace vx {

struct AnnotatedMethod {
    PyObject_HEAD
    PyMethodDef* def;
    PyTypeObject* owner;
    PyObject* annotations;  // dict, owned
    PyObject* qualname;     // str, owned
    vectorcallfunc vectorcall;
};

namespace method_detail {

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Called unbound (Type.method(obj, ...)) or, through the bound method that
// __get__ makes, with the instance first.
inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* self = reinterpret_cast<AnnotatedMethod*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1 || !PyObject_TypeCheck(args[0], self->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects needs an argument", self->def->ml_name,
                     self->owner->tp_name);
        return nullptr;
    }
    return reinterpret_cast<Fast>(reinterpret_cast<void*>(self->def->ml_meth))(args[0], args + 1, nargs - 1, kwnames);
}

inline PyObject* get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline void dealloc(PyObject* self) noexcept {
    auto* m = reinterpret_cast<AnnotatedMethod*>(self);
    Py_XDECREF(m->annotations);
    Py_XDECREF(m->qualname);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* get_name(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(reinterpret_cast<AnnotatedMethod*>(self)->def->ml_name);
}

inline PyObject* get_doc(PyObject* self, void*) noexcept {
    const char* doc = reinterpret_cast<AnnotatedMethod*>(self)->def->ml_doc;
    if (doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

inline PyObject* get_annotations(PyObject* self, void*) noexcept {
    return Py_NewRef(reinterpret_cast<AnnotatedMethod*>(self)->annotations);
}

inline PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(reinterpret_cast<AnnotatedMethod*>(self)->qualname);
}

inline PyObject* get_objclass(PyObject* self, void*) noexcept {
    return Py_NewRef(reinterpret_cast<PyObject*>(reinterpret_cast<AnnotatedMethod*>(self)->owner));
}

inline PyObject* repr(PyObject* self) noexcept {
    auto* m = reinterpret_cast<AnnotatedMethod*>(self);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", m->def->ml_name, m->owner->tp_name);
}

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One such type per module that uses it; each module readies its own.
inline PyTypeObject type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk.method",
    .tp_basicsize = sizeof(AnnotatedMethod),
    .tp_dealloc = dealloc,
    .tp_vectorcall_offset = offsetof(AnnotatedMethod, vectorcall),
    .tp_repr = repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_getset = getset,
    .tp_descr_get = get,
};

}  // namespace method_detail

// A METH_FASTCALL | METH_KEYWORDS function as the PyMethodDef entry holds it.
template <class Fn>
PyCFunction fastcall(Fn fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

struct Annotation {
    const char* name;  // parameter name, or "return"
    const char* text;  // the annotation, kept as a string
};

struct MethodAnnotations {
    const char* method;
    std::initializer_list<Annotation> annotations;
};

// Replaces the listed methods of a readied type by annotated ones.
inline int annotate_methods(PyTypeObject* type, std::initializer_list<MethodAnnotations> methods) noexcept {
    if (PyType_Ready(&method_detail::type) < 0) return -1;
    for (const MethodAnnotations& entry : methods) {
        PyMethodDef* def = type->tp_methods;
        while (def && def->ml_name && strcmp(def->ml_name, entry.method) != 0) ++def;
        if (def == nullptr || def->ml_name == nullptr || def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
            PyErr_Format(PyExc_SystemError, "%s.%s is not a fast-call method", type->tp_name, entry.method);
            return -1;
        }
        Ref annotations = Ref::steal(PyDict_New());
        if (!annotations) return -1;
        for (const Annotation& a : entry.annotations) {
            Ref text = Ref::steal(PyUnicode_FromString(a.text));
            if (!text || PyDict_SetItemString(annotations.get(), a.name, text.get()) < 0) return -1;
        }
        const char* dot = strrchr(type->tp_name, '.');
        Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", dot ? dot + 1 : type->tp_name, entry.method));
        if (!qualname) return -1;
        auto* method = PyObject_New(AnnotatedMethod, &method_detail::type);
        if (method == nullptr) return -1;
        method->def = def;
        method->owner = type;
        method->annotations = annotations.release();
        method->qualname = qualname.release();
        method->vectorcall = method_detail::call;
        Ref holder = Ref::steal(reinterpret_cast<PyObject*>(method));
        if (PyDict_SetItemString(type->tp_dict, entry.method, holder.get()) < 0) return -1;
    }
    PyType_Modified(type);
    return 0;
}

// Module-level functions get the same: `enumerate_devices.__annotations__`.
// The PyMethodDef (METH_FASTCALL | METH_KEYWORDS) must have static storage.
struct AnnotatedFunction {
    PyObject_HEAD
    PyMethodDef* def;
    PyObject* module;       // owned; the C function's first argument
    PyObject* module_name;  // str, owned
    PyObject* annotations;  // dict, owned
    vectorcallfunc vectorcall;
};

namespace function_detail {

inline AnnotatedFunction* of(PyObject* self) noexcept { return reinterpret_cast<AnnotatedFunction*>(self); }

inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    AnnotatedFunction* f = of(callable);
    auto fn = reinterpret_cast<method_detail::Fast>(reinterpret_cast<void*>(f->def->ml_meth));
    return fn(f->module, args, PyVectorcall_NARGS(nargsf), kwnames);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(of(self)->module);
    Py_VISIT(of(self)->module_name);
    Py_VISIT(of(self)->annotations);
    return 0;
}

inline int clear(PyObject* self) noexcept {
    Py_CLEAR(of(self)->module);
    Py_CLEAR(of(self)->module_name);
    Py_CLEAR(of(self)->annotations);
    return 0;
}

inline void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* get_name(PyObject* self, void*) noexcept { return PyUnicode_FromString(of(self)->def->ml_name); }

inline PyObject* get_doc(PyObject* self, void*) noexcept {
    if (of(self)->def->ml_doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(of(self)->def->ml_doc);
}

inline PyObject* get_annotations(PyObject* self, void*) noexcept { return Py_XNewRef(of(self)->annotations); }

inline PyObject* get_module(PyObject* self, void*) noexcept {
    return Py_NewRef(of(self)->module_name ? of(self)->module_name : Py_None);
}

inline PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<built-in function %s>", of(self)->def->ml_name);
}

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Not a descriptor: like built-in functions, it does not bind when stored in a class.
inline PyTypeObject type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk.function",
    .tp_basicsize = sizeof(AnnotatedFunction),
    .tp_dealloc = dealloc,
    .tp_vectorcall_offset = offsetof(AnnotatedFunction, vectorcall),
    .tp_repr = repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_traverse = traverse,
    .tp_clear = clear,
    .tp_getset = getset,
};

}  // namespace function_detail

// Adds `def` to `module` as a function whose annotations are `annotations`.
inline int add_annotated_function(PyObject* module, PyMethodDef* def,
                                  std::initializer_list<Annotation> annotations) noexcept {
    if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
        PyErr_Format(PyExc_SystemError, "%s is not a fast-call function", def->ml_name);
        return -1;
    }
    if (PyType_Ready(&function_detail::type) < 0) return -1;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return -1;
    for (const Annotation& a : annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(a.text));
        if (!text || PyDict_SetItemString(dict.get(), a.name, text.get()) < 0) return -1;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    auto* function = PyObject_GC_New(AnnotatedFunction, &function_detail::type);
    if (function == nullptr) return -1;
    function->def = def;
    function->module = Py_NewRef(module);
    function->module_name = module_name.release();
    function->annotations = dict.release();
    function->vectorcall = function_detail::call;
    PyObject_GC_Track(function);
    Ref holder = Ref::steal(reinterpret_cast<PyObject*>(function));
    return PyModule_AddObjectRef(module, def->ml_name, holder.get());
}

}  // namespace vx
