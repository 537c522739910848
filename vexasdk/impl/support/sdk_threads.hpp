// Threads the SDK made. Python runs on one only inside a callback of the
// layer, and from there nothing may wait for the SDK's deliveries to end (the
// delivery waited for may be this very one) or count on a stop having taken
// effect. The delivery frame marks such a thread the first time it enters
// Python; the mark lives in the thread's state, which the frame keeps for the
// thread's life.
#pragma once

#include "support/python.hpp"

namespace vx {

inline constexpr char kSdkThreadKey[] = "vexasdk.sdk_thread";

// With the interpreter lock held. A failure only loses the mark.
inline void mark_sdk_thread() noexcept {
    PyObject* state = PyThreadState_GetDict();  // borrowed
    if (state == nullptr || PyDict_SetItemString(state, kSdkThreadKey, Py_True) < 0) PyErr_Clear();
}

// With the interpreter lock held.
inline bool on_sdk_thread() noexcept {
    PyObject* state = PyThreadState_GetDict();
    if (state == nullptr) return false;
    PyObject* mark = nullptr;
    if (PyDict_GetItemStringRef(state, kSdkThreadKey, &mark) < 0) PyErr_Clear();
    Py_XDECREF(mark);
    return mark != nullptr;
}

}  // namespace vx
