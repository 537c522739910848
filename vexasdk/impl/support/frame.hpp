// The delivery frame: the one way an SDK thread enters Python. Data and monitor
// trampolines supply their fetch, their texts and their build-and-call step;
// the frame does the rest, and nothing escapes back into the SDK.
#pragma once

#include <pthread.h>
#include <signal.h>

#include "support/capi.hpp"
#include "support/gil.hpp"
#include "support/ref.hpp"
#include "support/sdk_threads.hpp"
#include "support/texts.hpp"

namespace vx {

struct TrampolineSite {
    const char* qualname;         // traceback entry and unraisable-hook context
    const char* filename;         // file of the traceback entry
    int line;                     // line of the traceback entry
    const char* fetch_failed;     // logged with error() when the fetch fails
    const char* callback_failed;  // logged with exception() when building or calling fails
    const char* no_callable;      // the failure when the SDK passes no user data
    PyObject** globals;           // the module's namespace, set at initialisation
};

// Where a trampoline reports from, at the line that names it: every site,
// data or monitor, is made here. `fetch_failed` is null when there is
// nothing to fetch.
inline TrampolineSite trampoline_site(const char* qualname, const char* file, PyObject** globals,
                                      const char* fetch_failed, const char* callback_failed,
                                      const char* no_callable, int line = __builtin_LINE()) noexcept {
    return {qualname, file, line, fetch_failed, callback_failed, no_callable, globals};
}

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

// The interpreter's main thread, as threading knows it; 0 when unknown.
inline unsigned long main_thread_ident() noexcept {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (main_ident == static_cast<unsigned long>(-1)) main_ident = 0;
    PyErr_Clear();
    return main_ident;
}

inline void ignore_wake_up(int) noexcept {}

// Interrupts the main thread's wait, as a signal does: a wait on a lock, an
// event, a condition, a queue or a thread then runs the pending calls, the
// exit among them. A wait that a signal only interrupts to resume (time.sleep,
// blocking I/O) goes on until it returns; Python runs nothing of ours before
// that. The signal is one that nobody else handles: left alone if it has a
// handler that is not ours.
inline void wake_main_thread(unsigned long main_ident) noexcept {
    if (main_ident == 0) return;
    const int signal_number = SIGRTMAX;
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) return;
    if (current.sa_handler != ignore_wake_up) {
        if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO)) return;
        struct sigaction ours {};
        ours.sa_handler = ignore_wake_up;  // no SA_RESTART: the wait is interrupted
        sigemptyset(&ours.sa_mask);
        if (sigaction(signal_number, &ours, nullptr) != 0) return;
    }
    pthread_kill(static_cast<pthread_t>(main_ident), signal_number);
}

// The exit a callback asked for on an SDK thread, raised in the main thread.
inline PyObject* pending_exit_code = nullptr;

inline int raise_pending_exit(void*) noexcept {
    Ref code = Ref::steal(std::exchange(pending_exit_code, nullptr));
    if (!code) return 0;
    Ref exit = Ref::steal(PyObject_CallOneArg(PyExc_SystemExit, code.get()));
    if (exit) PyErr_SetObject(PyExc_SystemExit, exit.get());
    return -1;
}

// What the handler cannot take: printed with its traceback, then handed to
// the unraisable-exception hook. SystemExit would make the printer finalise
// the interpreter from this thread while the main thread still runs it, so
// on an SDK thread the exit is passed to the main thread instead; true then.
inline bool escape(const TrampolineSite& site) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    unsigned long main_ident = main_thread_ident();
    bool passed_on =
        PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit) && main_ident != PyThread_get_thread_ident();
    if (passed_on) {
        Ref code = Ref::steal(PyObject_GetAttrString(exc.get(), "code"));
        if (!code) {
            PyErr_Clear();
            code = Ref::borrow(Py_None);
        }
        Ref::steal(std::exchange(pending_exit_code, code.release()));  // the one it replaces goes now
        if (Py_AddPendingCall(raise_pending_exit, nullptr) < 0) PyErr_Clear();
        wake_main_thread(main_ident);
        PyErr_DisplayException(exc.get());
    } else {
        PyErr_SetRaisedException(Ref(exc).release());
        PyErr_PrintEx(0);
    }
    Ref context = Ref::steal(PyUnicode_FromString(site.qualname));
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(context.get());
    return passed_on;
}

// The handler of the guarded block, for the exception being raised; true when
// an exit was passed to the main thread.
inline bool handle_failure(const TrampolineSite& site) noexcept {
    add_traceback(site.qualname, site.filename, site.line, *site.globals);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return escape(site);
    // logging's exception() reads the exception being handled; the frame puts
    // back the one there before.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(exc.get());
    int logged = log(site, "exception", site.callback_failed);
    exc = {};
    return logged < 0 && escape(site);
}

struct NothingToStop {
    void operator()() const noexcept {}
};

// An SDK thread keeps the thread state the interpreter gives it, so that
// later blocks on that thread only take the lock (a thread state made and
// destroyed per block costs microseconds). It is given back when the thread
// ends, unless the interpreter is going away anyway.
struct ThreadStateKeeper {
    bool kept = false;
    void keep() noexcept {
        if (!kept) {
            PyGILState_Ensure();  // one more level: Release no longer destroys the state
            mark_sdk_thread();
            kept = true;
        }
    }
    ~ThreadStateKeeper() {
        if (!kept || !Py_IsInitialized() || Py_IsFinalizing()) return;
        HeldGil gil;
        PyGILState_Release(PyGILState_LOCKED);  // the level keep() added
    }
};

inline PyGILState_STATE ensure_gil() noexcept {
    thread_local ThreadStateKeeper keeper;
    // Only threads the interpreter does not know; its own manage their state.
    bool foreign = !keeper.kept && PyGILState_GetThisThreadState() == nullptr;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (foreign) keeper.keep();
    return gil;
}

}  // namespace frame_detail

// Runs one delivery: `fetch()` without the interpreter lock (its result code
// decides between logging and delivering), then `build_and_call(callable)`
// with the callable the SDK passed as user data, which answers 0, or -1 with
// an exception set. When the callback asked the process to exit, `stop()`
// runs last, without the lock: the main thread exits once it runs Python
// again, which may need what it waits for to end.
template <class Fetch, class BuildAndCall, class Stop = frame_detail::NothingToStop>
void deliver(const TrampolineSite& site, void* user_data, Fetch&& fetch, BuildAndCall&& build_and_call,
             Stop&& stop = {}) noexcept {
    // An SDK thread must not ask for the lock once the interpreter finalises.
    if (Py_IsFinalizing()) return;
    int rc = fetch();
    if (Py_IsFinalizing()) return;
    bool exiting = false;
    {
        HeldGil gil(frame_detail::ensure_gil());
        KeptHandledException handled;
        if (rc != 0) {
            // Counted where it happens: the event names the callable whose
            // block was lost, so that its owner accounts for it; the log says
            // it to whoever reads logs.
            PyObject* owner = user_data != nullptr ? static_cast<PyObject*>(user_data) : Py_None;
            if (PySys_Audit(texts::kFetchFailedEvent, "O", owner) < 0 ||
                frame_detail::log(site, "error", site.fetch_failed) < 0)
                exiting = frame_detail::escape(site);
        } else {
            // Held for the call: nothing the callback does may free it meanwhile.
            Ref callable = Ref::borrow(static_cast<PyObject*>(user_data));
            if (!callable) PyErr_SetString(PyExc_ValueError, site.no_callable);
            if (!callable || build_and_call(callable.get()) < 0) exiting = frame_detail::handle_failure(site);
        }
    }
    if (exiting) stop();
}

// The frame for callbacks that have nothing to fetch (monitor events).
template <class BuildAndCall>
void deliver(const TrampolineSite& site, void* user_data, BuildAndCall&& build_and_call) noexcept {
    deliver(site, user_data, [] { return 0; }, std::forward<BuildAndCall>(build_and_call));
}

}  // namespace vx
