// The interpreter lock and the thread's exception state, each given back by
// a guard. SDK calls are made without the lock, so that other Python threads
// (and the SDK's own, delivering data) run meanwhile; a thread the SDK owns
// takes it to enter Python.
#pragma once

#include "support/python.hpp"

namespace vx {

class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// The interpreter lock taken for a scope, from any thread: what PyGILState
// gave (`state`, taken already, or a fresh Ensure) is given back at its end.
class HeldGil {
public:
    HeldGil() noexcept : state_(PyGILState_Ensure()) {}
    explicit HeldGil(PyGILState_STATE state) noexcept : state_(state) {}
    ~HeldGil() { PyGILState_Release(state_); }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;

private:
    PyGILState_STATE state_;
};

// The exception being handled (sys.exception()) when the scope began, put
// back at its end whatever ran meanwhile left there. Needs the lock.
class KeptHandledException {
public:
    KeptHandledException() noexcept : saved_(PyErr_GetHandledException()) {}
    ~KeptHandledException() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    KeptHandledException(const KeptHandledException&) = delete;
    KeptHandledException& operator=(const KeptHandledException&) = delete;

private:
    PyObject* saved_;  // owned
};

// Runs `call` with the interpreter lock released. `call` must not touch any
// Python object.
template <class Call>
auto without_gil(Call&& call) noexcept -> decltype(call()) {
    ReleasedGil released;
    return call();
}

}  // namespace vx
