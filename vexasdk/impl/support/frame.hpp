// The delivery frame: the one way an SDK thread enters Python. Data and monitor
// trampolines supply their fetch, their texts and their build-and-call step;
// the frame does the rest, and nothing escapes back into the SDK.
#pragma once

#include "support/capi.hpp"
#include "support/ref.hpp"
#include "support/texts.hpp"

namespace vx {

struct TrampolineSite {
    const char* qualname;         // traceback entry and unraisable-hook context
    const char* filename;         // file of the traceback entry
    int line;                     // line of the traceback entry
    const char* fetch_failed;     // logged with error() when the fetch fails
    const char* callback_failed;  // logged with exception() when building or calling fails
    PyObject** globals;           // the module's namespace, set at initialisation
};

namespace frame_detail {

// logging.getLogger("vexasdk").<method>(message), `logging` as the module's
// namespace holds it now.
inline int log(const TrampolineSite& site, const char* method, const char* message) noexcept {
    Ref logging = lookup_global(*site.globals, "logging");
    if (!logging) return -1;
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", texts::kLoggerName));
    if (!logger) return -1;
    Ref result = Ref::steal(PyObject_CallMethod(logger.get(), method, "s", message));
    return result ? 0 : -1;
}

// What the handler cannot take: printed with its traceback (SystemExit ends
// the process there), then handed to the unraisable-exception hook.
inline void escape(const TrampolineSite& site) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(exc));
    PyErr_PrintEx(0);
    Ref context = Ref::steal(PyUnicode_FromString(site.qualname));
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(context.get());
}

// The handler of the guarded block, for the exception being raised.
inline void handle_failure(const TrampolineSite& site) noexcept {
    add_traceback(site.qualname, site.filename, site.line, *site.globals);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        escape(site);
        return;
    }
    // logging's exception() reads the exception being handled.
    PyObject* exc = PyErr_GetRaisedException();
    PyErr_SetHandledException(exc);
    int logged = log(site, "exception", site.callback_failed);
    Py_DECREF(exc);
    if (logged < 0) escape(site);
}

}  // namespace frame_detail

// Runs one delivery: `fetch()` without the interpreter lock (its result code
// decides between logging and delivering), then `build_and_call()` with it,
// which answers 0, or -1 with an exception set.
template <class Fetch, class BuildAndCall>
void deliver(const TrampolineSite& site, Fetch&& fetch, BuildAndCall&& build_and_call) noexcept {
    // An SDK thread must not ask for the lock once the interpreter finalises.
    if (Py_IsFinalizing()) return;
    int rc = fetch();
    if (Py_IsFinalizing()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* handled = PyErr_GetHandledException();
    if (rc != 0) {
        if (frame_detail::log(site, "error", site.fetch_failed) < 0) frame_detail::escape(site);
    } else if (build_and_call() < 0) {
        frame_detail::handle_failure(site);
    }
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    PyGILState_Release(gil);
}

// The frame for callbacks that have nothing to fetch (monitor events).
template <class BuildAndCall>
void deliver(const TrampolineSite& site, BuildAndCall&& build_and_call) noexcept {
    deliver(site, [] { return 0; }, std::forward<BuildAndCall>(build_and_call));
}

}  // namespace vx
