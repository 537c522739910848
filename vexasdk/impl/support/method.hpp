// Methods of extension types, and module-level functions, whose annotations
// are readable from Python as those of Python functions are
// (`PixelChip.set_polarity.__annotations__`, `enumerate_devices.__annotations__`).
// Each wraps its PyMethodDef (METH_FASTCALL | METH_KEYWORDS, static storage);
// calls go straight to the C function.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "support/ref.hpp"

namespace vx {

struct AnnotatedCallable {
    PyObject_HEAD
    PyMethodDef* def;
    PyTypeObject* owner;    // the class of a method (which outlives it); null for a function
    PyObject* module;       // a function's module, its C function's first argument; owned, null for a method
    PyObject* qualname;     // str, owned
    PyObject* annotations;  // dict, owned
    vectorcallfunc vectorcall;
};

// A METH_FASTCALL | METH_KEYWORDS function as the PyMethodDef entry holds it.
template <class Fn>
PyCFunction fastcall(Fn fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A method-table entry: every method takes fast-call arguments and keywords,
// and its doc opens with its signature.
template <class Fn>
PyMethodDef method(const char* name, Fn fn, const char* doc) noexcept {
    return {name, fastcall(fn), METH_FASTCALL | METH_KEYWORDS, doc};
}

namespace callable_detail {

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline AnnotatedCallable* of(PyObject* self) noexcept { return reinterpret_cast<AnnotatedCallable*>(self); }

// A method is called unbound (Type.method(obj, ...)) or, through the bound
// method that __get__ makes, with the instance first.
inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    AnnotatedCallable* self = of(callable);
    auto fn = reinterpret_cast<Fast>(reinterpret_cast<void*>(self->def->ml_meth));
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (self->owner == nullptr) return fn(self->module, args, nargs, kwnames);
    if (nargs < 1 || !PyObject_TypeCheck(args[0], self->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects needs an argument", self->def->ml_name,
                     self->owner->tp_name);
        return nullptr;
    }
    return fn(args[0], args + 1, nargs - 1, kwnames);
}

// Functions, like built-in ones, do not bind when found on a class.
inline PyObject* get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (of(self)->owner == nullptr || obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(of(self)->module);
    return 0;
}

inline int clear(PyObject* self) noexcept {
    Py_CLEAR(of(self)->module);
    return 0;
}

inline void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_XDECREF(of(self)->qualname);
    Py_XDECREF(of(self)->annotations);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* get_name(PyObject* self, void*) noexcept { return PyUnicode_FromString(of(self)->def->ml_name); }

inline PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(of(self)->qualname); }

inline PyObject* get_doc(PyObject* self, void*) noexcept {
    if (of(self)->def->ml_doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(of(self)->def->ml_doc);
}

inline PyObject* get_annotations(PyObject* self, void*) noexcept { return Py_NewRef(of(self)->annotations); }

inline PyObject* get_module(PyObject* self, void*) noexcept {
    if (of(self)->module == nullptr) Py_RETURN_NONE;
    return PyModule_GetNameObject(of(self)->module);
}

inline PyObject* get_objclass(PyObject* self, void*) noexcept {
    PyObject* owner = reinterpret_cast<PyObject*>(of(self)->owner);
    return Py_NewRef(owner ? owner : Py_None);
}

inline PyObject* repr(PyObject* self) noexcept {
    AnnotatedCallable* c = of(self);
    if (c->owner == nullptr) return PyUnicode_FromFormat("<built-in function %s>", c->def->ml_name);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", c->def->ml_name, c->owner->tp_name);
}

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One such type per module that uses it; each module readies its own.
inline PyTypeObject type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk.method",
    .tp_basicsize = sizeof(AnnotatedCallable),
    .tp_dealloc = dealloc,
    .tp_vectorcall_offset = offsetof(AnnotatedCallable, vectorcall),
    .tp_repr = repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = traverse,
    .tp_clear = clear,
    .tp_getset = getset,
    .tp_descr_get = get,
};

}  // namespace callable_detail

namespace signature_detail {

constexpr size_t npos = std::string_view::npos;

inline std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// Where `mark` first stands in `text` outside brackets, or npos: the commas
// of "Callable[[A, B], None]" separate no parameters.
inline size_t top_level(std::string_view text, char mark) noexcept {
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '[' || c == '(') ++depth;
        else if (c == ']' || c == ')') --depth;
        else if (c == mark && depth == 0) return i;
    }
    return npos;
}

inline int add(PyObject* dict, std::string_view name, std::string_view text) noexcept {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (key == nullptr) return -1;
    PyUnicode_InternInPlace(&key);
    Ref owned_key = Ref::steal(key);
    Ref value = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    return value ? PyDict_SetItem(dict, owned_key.get(), value.get()) : -1;
}

}  // namespace signature_detail

// The annotations that the text signature opening `def`'s doc gives, as
// strings: "Owner.name(self, [C type] param: annotation[ = default], ...)
// -> result". The signature is written once, and what Python reads of it
// cannot disagree with what help() shows. New dict or null.
inline PyObject* signature_annotations(const PyMethodDef* def) noexcept {
    using namespace signature_detail;
    const char* doc = def->ml_doc ? def->ml_doc : "";
    std::string_view line(doc, strcspn(doc, "\n"));
    size_t open = line.find('(');
    size_t close = line.rfind(") -> ");
    if (open == npos || close == npos || close < open) {
        PyErr_Format(PyExc_SystemError, "the doc of %s opens with no signature", def->ml_name);
        return nullptr;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::string_view params = line.substr(open + 1, close - open - 1); !params.empty();) {
        size_t comma = top_level(params, ',');
        std::string_view param = params.substr(0, comma);
        params = comma == npos ? std::string_view() : params.substr(comma + 1);
        size_t colon = top_level(param, ':');
        if (colon == npos) continue;  // self
        std::string_view declared = trimmed(param.substr(0, colon));
        std::string_view name = declared.substr(declared.rfind(' ') + 1);  // past a C type
        std::string_view annotation = param.substr(colon + 1);
        if (add(dict.get(), name, trimmed(annotation.substr(0, top_level(annotation, '=')))) < 0) return nullptr;
    }
    if (add(dict.get(), "return", trimmed(line.substr(close + 5))) < 0) return nullptr;
    return dict.release();
}

// A new annotated callable for `def`: a method of `owner`, or a function of
// `module`, annotated as its signature says. New reference or null.
inline PyObject* annotated(PyMethodDef* def, PyTypeObject* owner, PyObject* module, PyObject* qualname) noexcept {
    if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
        PyErr_Format(PyExc_SystemError, "%s is not a fast-call function", def->ml_name);
        return nullptr;
    }
    if (PyType_Ready(&callable_detail::type) < 0) return nullptr;
    Ref dict = Ref::steal(signature_annotations(def));
    if (!dict) return nullptr;
    auto* callable = PyObject_GC_New(AnnotatedCallable, &callable_detail::type);
    if (callable == nullptr) return nullptr;
    callable->def = def;
    callable->owner = owner;
    callable->module = Py_XNewRef(module);
    callable->qualname = Py_NewRef(qualname);
    callable->annotations = dict.release();
    callable->vectorcall = callable_detail::call;
    PyObject_GC_Track(callable);
    return reinterpret_cast<PyObject*>(callable);
}

// Replaces the documented methods of a readied type by annotated ones (the
// undocumented are the pickling refusals).
inline int annotate_methods(PyTypeObject* type) noexcept {
    const char* dot = strrchr(type->tp_name, '.');
    const char* class_name = dot ? dot + 1 : type->tp_name;
    for (PyMethodDef* def = type->tp_methods; def && def->ml_name; ++def) {
        if (def->ml_doc == nullptr) continue;
        Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, def->ml_name));
        Ref method = Ref::steal(qualname ? annotated(def, type, nullptr, qualname.get()) : nullptr);
        if (!method || PyDict_SetItemString(type->tp_dict, def->ml_name, method.get()) < 0) return -1;
    }
    PyType_Modified(type);
    return 0;
}

// Adds `def` to `module` as a function annotated as its signature says.
inline int add_annotated_function(PyObject* module, PyMethodDef* def) noexcept {
    Ref qualname = Ref::steal(PyUnicode_FromString(def->ml_name));
    Ref function = Ref::steal(qualname ? annotated(def, nullptr, module, qualname.get()) : nullptr);
    if (!function) return -1;
    return PyModule_AddObjectRef(module, def->ml_name, function.get());
}

}  // namespace vx
