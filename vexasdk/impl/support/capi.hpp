// Module plumbing: C export tables between modules, method tables of types,
// importing a type with a size check, numpy's type objects, module bodies.
#pragma once

#include <initializer_list>

#include "support/ref.hpp"
#include "support/texts.hpp"

namespace vx {

inline constexpr char kExportTable[] = "__pyx_capi__";
inline constexpr char kVtableKey[] = "__pyx_vtable__";

// Publishes `fn` in the module's export table under `name`, with `signature`
// as the capsule's name.
inline int export_function(PyObject* module, const char* name, void* fn, const char* signature) noexcept {
    Ref table = Ref::steal(PyObject_GetAttrString(module, kExportTable));
    if (!table) {
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table || PyModule_AddObjectRef(module, kExportTable, table.get()) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(fn, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

// The function `name` from the export table of `module_name`, checked
// against `signature`; null with the error set otherwise.
inline void* import_function(const char* module_name, const char* name, const char* signature) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref table = Ref::steal(PyObject_GetAttrString(module.get(), kExportTable));
    if (!table) return nullptr;
    PyObject* capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, texts::kMissingExport, module_name, "function", name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* actual = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Format(PyExc_TypeError, texts::kWrongSignature, "function", module_name, name, signature,
                     actual ? actual : "");
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

template <class Fn>
int import_function(const char* module_name, const char* name, const char* signature, Fn** out) noexcept {
    *out = reinterpret_cast<Fn*>(import_function(module_name, name, signature));
    return *out ? 0 : -1;
}

// Stores a type's C method table in its dictionary.
inline int set_vtable(PyTypeObject* type, void* vtable) noexcept {
    Ref capsule = Ref::steal(PyCapsule_New(vtable, nullptr, nullptr));
    if (!capsule || PyDict_SetItemString(type->tp_dict, kVtableKey, capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

inline void* get_vtable(PyTypeObject* type) noexcept {
    Ref capsule = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), kVtableKey));
    if (!capsule) return nullptr;
    void* vtable = PyCapsule_CheckExact(capsule.get()) ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (vtable == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, texts::kInvalidVtable);
    }
    return vtable;
}

// Imports the extension type `module_name.name`, whose instances this module
// reads through a record of `size` bytes. A smaller type fails; a larger one
// warns. Returns a new reference or null.
inline PyTypeObject* import_type(const char* module_name, const char* name, size_t size) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref obj = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, texts::kNotAType, module_name, name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    auto basic = static_cast<size_t>(type->tp_basicsize);
    if (basic < size) {
        PyErr_Format(PyExc_ValueError, texts::kSizeChanged, module_name, name, size, basic);
        return nullptr;
    }
    if (basic > size && PyErr_WarnFormat(nullptr, 0, texts::kSizeChanged, module_name, name, size, basic) < 0)
        return nullptr;
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// numpy's type objects, which every module but the device context needs
// before its body runs.
inline int import_numpy_types() noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const char* name : {"dtype", "ndarray", "flatiter", "broadcast", "ufunc", "generic", "number", "integer",
                             "signedinteger", "unsignedinteger", "inexact", "floating", "complexfloating",
                             "flexible", "character"}) {
        Ref type = Ref::steal(PyObject_GetAttrString(numpy.get(), name));
        if (!type) return -1;
        if (!PyType_Check(type.get())) {
            PyErr_Format(PyExc_TypeError, texts::kNotAType, "numpy", name);
            return -1;
        }
    }
    return 0;
}

// Runs a module's Python-level part in its namespace, with annotations kept
// as strings.
inline int run_module_body(PyObject* module, const char* filename, const char* source) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (PyDict_GetItemString(globals, "__builtins__") == nullptr &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        return -1;
    PyCompilerFlags flags = {CO_FUTURE_ANNOTATIONS, PY_MINOR_VERSION};
    Ref code = Ref::steal(Py_CompileStringExFlags(source, filename, Py_file_input, &flags, -1));
    if (!code) return -1;
    Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals, globals));
    return result ? 0 : -1;
}

// typing.NamedTuple wraps string annotations in ForwardRef; the named records
// of `module` get them back as written, on the class and on its __new__.
inline int keep_record_annotations(PyObject* module, std::initializer_list<const char*> records) noexcept {
    for (const char* name : records) {
        Ref record = Ref::steal(PyObject_GetAttrString(module, name));
        if (!record) return -1;
        Ref wrapped = Ref::steal(PyObject_GetAttrString(record.get(), "__annotations__"));
        if (!wrapped) return -1;
        if (!PyDict_Check(wrapped.get())) {
            PyErr_Format(PyExc_TypeError, "%s.__annotations__ is not a dict", name);
            return -1;
        }
        Ref plain = Ref::steal(PyDict_New());
        if (!plain) return -1;
        Py_ssize_t pos = 0;
        PyObject *field, *annotation;
        while (PyDict_Next(wrapped.get(), &pos, &field, &annotation)) {
            PyObject* found = nullptr;
            if (PyObject_GetOptionalAttrString(annotation, "__forward_arg__", &found) < 0) return -1;
            Ref text = Ref::steal(found);
            if (PyDict_SetItem(plain.get(), field, text ? text.get() : annotation) < 0) return -1;
        }
        Ref constructor = Ref::steal(PyObject_GetAttrString(record.get(), "__new__"));
        if (!constructor || PyObject_SetAttrString(record.get(), "__annotations__", plain.get()) < 0 ||
            PyObject_SetAttrString(constructor.get(), "__annotations__", plain.get()) < 0)
            return -1;
    }
    return 0;
}

// Adds an entry for C function `qualname` to the traceback of the exception
// being raised, as if a Python frame of that name had seen it pass.
inline void add_traceback(const char* qualname, const char* filename, int line, PyObject* globals) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(filename, qualname, line);
    PyFrameObject* frame = code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();  // a failure here only loses the entry
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

// Single-phase modules are initialised once per process. An initialisation
// that failed (numpy missing, say) did not count: the next import tries again.
inline int first_initialisation(bool& done, const char* module_name) noexcept {
    if (done) {
        PyErr_Format(PyExc_ImportError, texts::kInitialisedTwice, module_name);
        return -1;
    }
    return 0;
}

// The end of a module's initialisation: `module`, or null with the error set.
inline PyObject* initialised(bool& done, PyObject* module) noexcept {
    if (module != nullptr) done = true;
    return module;
}

// A name that a module looks up again and again: an interned string, made
// the first time it is needed (with the interpreter lock held) and kept for
// the life of the process, so that a lookup makes and hashes nothing.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    // Borrowed; null with the error set when it cannot be made.
    PyObject* get() noexcept {
        if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

// `obj.<name>`. New reference or null.
inline Ref attr(PyObject* obj, Name& name) noexcept {
    PyObject* key = name.get();
    return Ref::steal(key ? PyObject_GetAttr(obj, key) : nullptr);
}

// A module-level name as a trampoline sees it at call time: the module's
// globals, then the builtins; NameError otherwise. Failures of the lookup
// itself count as not found, as they do for PyDict_GetItemString. New
// reference.
inline Ref lookup_global(PyObject* globals, PyObject* key, const char* text) noexcept {
    PyObject* found = PyDict_GetItemWithError(globals, key);
    if (found == nullptr) {
        PyErr_Clear();
        found = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    }
    if (found == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", text);
        return {};
    }
    return Ref::borrow(found);
}

inline Ref lookup_global(PyObject* globals, Name& name) noexcept {
    PyObject* key = name.get();
    return key ? lookup_global(globals, key, name.text()) : Ref();
}

// The same for a name looked up now and then.
inline Ref lookup_global(PyObject* globals, const char* text) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(text));
    return key ? lookup_global(globals, key.get(), text) : Ref();
}

}  // namespace vx
