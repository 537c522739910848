// The two C functions of vexasdk._utils that the layer relies on.
#pragma once

#include "support/capi.hpp"
#include "support/gil.hpp"

namespace vx {

inline constexpr char kUtilsModule[] = "vexasdk._utils";
inline constexpr char kRaiseIfErrSignature[] = "int (int, PyObject *)";
inline constexpr char kCToNpArrSignature[] = "PyArrayObject *(void *, size_t, PyObject *)";

using RaiseIfErr = int(int, PyObject*);
// Declared with PyObject* here: the data modules need no numpy headers.
using CToNpArr = PyObject*(void*, size_t, PyObject*);

inline RaiseIfErr* raise_if_err = nullptr;
inline CToNpArr* c_to_np_arr = nullptr;

// The one way an SDK result reaches _raise_if_err. Each answers true when it
// raised (the caller returns its failure), false on success.
//
// With a PyUnicode_FromFormat format: success builds no message, nobody
// would see it.
template <class... Args>
bool sdk_failed(int rc, const char* format, Args... args) noexcept {
    if (rc == 0) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat(format, args...));
    if (!message) return true;
    return raise_if_err(rc, message.get()) == -1 && PyErr_Occurred();
}

// With a message made before the result was known, where making it has
// effects of its own (it reads Python attributes); a message that could not
// be made counts as raised.
inline bool sdk_failed(int rc, const Ref& message) noexcept {
    if (!message) return true;
    return rc != 0 && raise_if_err(rc, message.get()) == -1 && PyErr_Occurred();
}

// Without the interpreter lock (_raise_if_err takes it itself), with a
// message made beforehand: nothing here may make one. The caller checks
// PyErr_Occurred() once it holds the lock again.
inline bool sdk_failed_unlocked(int rc, PyObject* message) noexcept {
    return rc != 0 && raise_if_err(rc, message) == -1;
}

// Calls the SDK without the interpreter lock (`call` touches no Python
// object), then as sdk_failed.
template <class Call, class... Args>
bool sdk_call_failed(Call&& call, const char* format, Args... args) noexcept {
    return sdk_failed(without_gil(call), format, args...);
}

inline int import_raise_if_err() noexcept {
    return import_function(kUtilsModule, "_raise_if_err", kRaiseIfErrSignature, &raise_if_err);
}

inline int import_c_to_np_arr() noexcept {
    return import_function(kUtilsModule, "_c_to_np_arr", kCToNpArrSignature, &c_to_np_arr);
}

}  // namespace vx
