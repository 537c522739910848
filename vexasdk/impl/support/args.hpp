// Argument parsing and conversion with the texts callers of the layer see.
#pragma once

#include <climits>
#include <cstdint>
#include <initializer_list>

#include "support/ref.hpp"
#include "support/texts.hpp"

namespace vx {

// Raises the argument-count TypeError for `func`.
inline void raise_arg_count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    bool too_few = given < min;
    Py_ssize_t expected = too_few ? min : max;
    const char* bound = min == max ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, texts::kArgCount, func, bound, expected, expected == 1 ? "" : "s", given);
}

inline void raise_arg_type(const char* name, const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, texts::kArgType, name, expected, Py_TYPE(got)->tp_name);
}

// Binds vectorcall arguments to `names`: out[i] receives a borrowed reference
// or null when an optional argument (index >= required) was not given.
inline int bind_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out) noexcept {
    const Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
    if (nargs > count) {
        raise_arg_count(func, required, count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, texts::kKeywordsMustBeStrings, func);
            return -1;
        }
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
                slot = i;
                break;
            }
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, texts::kUnexpectedKeyword, func, key);
            return -1;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, texts::kMultipleValues, func, key);
            return -1;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            raise_arg_count(func, required, count, nargs);
            return -1;
        }
    }
    return 0;
}

// The same for a tuple and a dict, as tp_init receives them.
inline int bind_args(const char* func, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
                     Py_ssize_t required, PyObject** out) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return bind_args(func, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, names, required, out);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return -1;
    PyObject* stack[16];
    if (nargs + nkw > 16) {
        raise_arg_count(func, required, static_cast<Py_ssize_t>(names.size()), nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k++] = value;
    }
    return bind_args(func, stack, nargs, kwnames.get(), names, required, out);
}

// For methods that take nothing besides self (METH_FASTCALL | METH_KEYWORDS).
inline int no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, texts::kNoArgs, func, nargs);
        return -1;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, texts::kNoKeywords, func);
        return -1;
    }
    return 0;
}

// An `int` argument: ints as they are, other numbers through int(), anything
// else the argument-type error; the value must fit a C int.
inline int int_arg(PyObject* obj, const char* name, int* out) noexcept {
    Ref number;
    if (!PyLong_Check(obj)) {
        if (!PyNumber_Check(obj)) {
            raise_arg_type(name, "int", obj);
            return -1;
        }
        number = Ref::steal(PyNumber_Long(obj));
        if (!number) return -1;
        obj = number.get();
    }
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, texts::kTooLarge, "int");
        return -1;
    }
    *out = static_cast<int>(value);
    return 0;
}

// The integer value of `obj` for a C conversion: ints as they are, objects with
// an integer conversion through it, anything else "an integer is required".
inline Ref integer_of(PyObject* obj) noexcept {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || (nb->nb_int == nullptr && nb->nb_index == nullptr)) {
        PyErr_SetString(PyExc_TypeError, texts::kIntegerRequired);
        return {};
    }
    return Ref::steal(PyNumber_Long(obj));
}

// An unsigned C integer of at most 64 bits named `type` in the errors.
template <class T>
int unsigned_arg(PyObject* obj, const char* type, T* out) noexcept {
    Ref number = integer_of(obj);
    if (!number) return -1;
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        PyErr_Format(PyExc_OverflowError, texts::kNegativeToUnsigned, type);
        return -1;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, texts::kTooLarge, type);
        return -1;
    }
    if (value > static_cast<unsigned long long>(static_cast<T>(-1))) {
        PyErr_Format(PyExc_OverflowError, texts::kTooLarge, type);
        return -1;
    }
    *out = static_cast<T>(value);
    return 0;
}

// A 32-bit SDK enumeration: any value outside 0..4294967295 is "too large".
inline int enum_arg(PyObject* obj, const char* type, uint32_t* out) noexcept {
    Ref number = integer_of(obj);
    if (!number) return -1;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
        PyErr_Format(PyExc_OverflowError, texts::kTooLarge, type);
        return -1;
    }
    *out = static_cast<uint32_t>(value);
    return 0;
}

// The `value` attribute of an enumeration member, converted as above.
inline int member_value_arg(PyObject* member, const char* type, uint32_t* out) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(member, "value"));
    if (!value) return -1;
    return enum_arg(value.get(), type, out);
}

}  // namespace vx
