// Names looked up at call time: interned once, then found in a module's
// globals or the builtins.
#pragma once

#include "support/ref.hpp"

namespace vx {

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
