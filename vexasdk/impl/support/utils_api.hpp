// The two C functions of vexasdk._utils that the layer relies on.
#pragma once

#include "support/capi.hpp"

namespace vx {

inline constexpr char kUtilsModule[] = "vexasdk._utils";
inline constexpr char kRaiseIfErrSignature[] = "int (int, PyObject *)";
inline constexpr char kCToNpArrSignature[] = "PyArrayObject *(void *, size_t, PyObject *)";

using RaiseIfErr = int(int, PyObject*);
// Declared with PyObject* here: the data modules need no numpy headers.
using CToNpArr = PyObject*(void*, size_t, PyObject*);

inline RaiseIfErr* raise_if_err = nullptr;
inline CToNpArr* c_to_np_arr = nullptr;

// Hands an SDK failure to _raise_if_err with the message `format` makes; true
// when it raised. Success builds no message: nobody would see it.
template <class... Args>
bool sdk_failed(int rc, const char* format, Args... args) noexcept {
    if (rc == 0) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat(format, args...));
    if (!message) return true;
    return raise_if_err(rc, message.get()) == -1 && PyErr_Occurred();
}

inline int import_raise_if_err() noexcept {
    return import_function(kUtilsModule, "_raise_if_err", kRaiseIfErrSignature, &raise_if_err);
}

inline int import_c_to_np_arr() noexcept {
    return import_function(kUtilsModule, "_c_to_np_arr", kCToNpArrSignature, &c_to_np_arr);
}

}  // namespace vx
