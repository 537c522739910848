// vexasdk._device_opener: the small bridge through which the package opens
// and closes SDK contexts and makes their _DeviceContext handles, and reads
// the descriptions the controllers are built from.
#include <cstring>
#include <memory>
#include <string>

#include "_device_context.hpp"
#include "support/gil.hpp"
#include "support/kept_callables.hpp"
#include "support/memory.hpp"
#include "support/module_start.hpp"
#include "support/monitor_reading.hpp"
#include "support/sdk_text.hpp"
#include "support/sdk_threads.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/sdk.h"

namespace {

// The opener's books, kept in Python containers (guarded by the interpreter
// lock, and running out of memory is an exception like any other), made at
// the first start-up and never freed; a start-up retried after a failed one
// keeps them.
struct Books {
    // Contexts opened here and not yet closed: {address: None}. They are all
    // stopped and closed at interpreter exit, before finalisation: afterwards
    // no SDK thread (delivering data or monitor events) may enter Python.
    PyObject* open;
    // Contexts a forked child inherited: {address: None}. The SDK threads
    // behind them run in the parent only, so the child leaves them alone.
    PyObject* inherited;
    // The connection strings that handles borrow, one per distinct text, for
    // the life of the process: a handle may outlive its device, and devices
    // are reopened under the same few names. {str: capsule of std::string}.
    PyObject* strings;
} books;

int make_books() noexcept {
    for (PyObject** slot : {&books.open, &books.inherited, &books.strings}) {
        if (*slot == nullptr) *slot = PyDict_New();
        if (*slot == nullptr) return -1;
    }
    return 0;
}

vx::Ref address_of(vexasdk_dev_ctx* ctx) noexcept { return vx::Ref::steal(PyLong_FromVoidPtr(ctx)); }

// 1 when `ctx` is in `book`, 0 when not, -1 with an error.
int in_book(PyObject* book, vexasdk_dev_ctx* ctx) noexcept {
    vx::Ref address = address_of(ctx);
    return address ? PyDict_Contains(book, address.get()) : -1;
}

int add_to(PyObject* book, vexasdk_dev_ctx* ctx) noexcept {
    vx::Ref address = address_of(ctx);
    return address ? PyDict_SetItem(book, address.get(), Py_None) : -1;
}

void remove_from(PyObject* book, vexasdk_dev_ctx* ctx) noexcept {
    vx::Ref address = address_of(ctx);
    if (!address || PyDict_Pop(book, address.get(), nullptr) < 0) PyErr_Clear();
}

void free_string(PyObject* capsule) noexcept {
    delete static_cast<std::string*>(PyCapsule_GetPointer(capsule, nullptr));
}

// The kept copy of `text` (a str), made on first use. Null with an error.
const std::string* kept_string(PyObject* text) noexcept {
    PyObject* found = PyDict_GetItemWithError(books.strings, text);
    if (found != nullptr) return static_cast<const std::string*>(PyCapsule_GetPointer(found, nullptr));
    if (PyErr_Occurred()) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return nullptr;
    std::string* copy = vx::new_string(utf8, static_cast<size_t>(size));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    vx::Ref capsule = vx::Ref::steal(PyCapsule_New(copy, nullptr, free_string));
    if (!capsule) {
        delete copy;
        return nullptr;
    }
    return PyDict_SetItem(books.strings, text, capsule.get()) < 0 ? nullptr : copy;
}

vexasdk_dev_ctx* context_of(PyObject* obj, const char* name) noexcept {
    if (vx::context_arg(obj, name) < 0) return nullptr;
    return vx::sdk_context(obj);
}

PyObject* open_device(PyObject*, PyObject* arg) noexcept {
    if (!PyUnicode_Check(arg)) {
        vx::raise_arg_type("connection_string", "str", arg);
        return nullptr;
    }
    const char* utf8 = PyUnicode_AsUTF8(arg);  // owned by `arg`, which the call holds
    if (utf8 == nullptr) return nullptr;
    vexasdk_dev_ctx* ctx = nullptr;
    if (vx::sdk_call_failed([&] { return vexasdk_dev_open(utf8, &ctx); }, "Failed to open device %R.", arg))
        return nullptr;
    const std::string* text = kept_string(arg);
    vx::Ref handle = vx::Ref::steal(text ? vx::device_context_vtable->from_ptr(ctx, text) : nullptr);
    if (!handle || add_to(books.open, ctx) < 0) {
        vx::without_gil([&] { return vexasdk_dev_close(ctx); });
        return nullptr;
    }
    return handle.release();
}

// The modules that keep the callables handed to the SDK (monitor callables,
// acquisition callbacks) until the SDK can no longer call them; this tells
// them that moment has come for `ctx` (every context when null). A module
// never imported kept nothing.
int release_callables(vexasdk_dev_ctx* ctx) noexcept {
    for (const char* module : {"vexasdk.monitor_channel", "vexasdk.acquisition_runner"}) {
        vx::Ref name = vx::Ref::steal(PyUnicode_FromString(module));
        if (!name) return -1;
        vx::Ref loaded = vx::Ref::steal(PyImport_GetModule(name.get()));
        if (!loaded) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        void (*release)(vexasdk_dev_ctx*) = nullptr;
        if (vx::import_function(module, vx::kReleaseCallablesName, vx::kReleaseCallablesSignature, &release) < 0)
            return -1;
        release(ctx);
    }
    return 0;
}

// Ends the device's acquisition, if one runs, and waits for its end, with the
// lock released: the SDK then calls none of its callbacks any more, whatever
// its close does. Nothing running is what was wanted; any other answer is
// left to the close that follows.
void stop_acquisition(vexasdk_dev_ctx* ctx) noexcept {
    vx::without_gil([&] {
        if (vexasdk_acq_abort(ctx) == VEXASDK_SUCCESS) vexasdk_acq_await_end(ctx);
    });
}

// Stops what runs, then closes `ctx`; the SDK's result. Not on an SDK
// thread: from inside a callback the acquisition cannot be waited for. What
// the SDK may still call stays referenced unless the close succeeded: an SDK
// that refused, whatever its answer, may still be delivering.
int close_context(vexasdk_dev_ctx* ctx) noexcept {
    stop_acquisition(ctx);
    int rc = vx::without_gil([&] { return vexasdk_dev_close(ctx); });
    if (rc == VEXASDK_SUCCESS) {
        remove_from(books.open, ctx);
        if (release_callables(ctx) < 0) PyErr_WriteUnraisable(nullptr);
    }
    return rc;
}

PyObject* close_device(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    int inherited = in_book(books.inherited, ctx);
    if (inherited < 0) return nullptr;
    if (inherited) {
        // The parent's device: its SDK threads are not here to stop.
        remove_from(books.inherited, ctx);
        Py_RETURN_NONE;
    }
    // A callback of the device would wait for its own delivery to end.
    int rc = vx::on_sdk_thread() ? VEXASDK_ERR_BAD_STATE : close_context(ctx);
    if (vx::sdk_failed(rc, "Failed to close the device.")) return nullptr;
    Py_RETURN_NONE;
}

// The addresses in `book` as a list, so that closing may change the book.
vx::Ref addresses_in(PyObject* book) noexcept { return vx::Ref::steal(PyDict_Keys(book)); }

// Registered with atexit: stops and closes every context still open. What
// the SDK refuses to close stays referenced, as after any refused close.
// Failures cannot be helped any more at this point and are not reported.
PyObject* close_all(PyObject*, PyObject*) noexcept {
    vx::Ref addresses = addresses_in(books.open);
    for (Py_ssize_t i = 0; addresses && i < PyList_GET_SIZE(addresses.get()); ++i) {
        auto* ctx = static_cast<vexasdk_dev_ctx*>(PyLong_AsVoidPtr(PyList_GET_ITEM(addresses.get(), i)));
        if (ctx != nullptr) close_context(ctx);
    }
    PyErr_Clear();
    Py_RETURN_NONE;
}

// Run in a forked child: every context open in the parent is the parent's.
PyObject* after_fork_in_child(PyObject*, PyObject*) noexcept {
    if (PyDict_Update(books.inherited, books.open) < 0) return nullptr;
    PyDict_Clear(books.open);
    Py_RETURN_NONE;
}

PyObject* forget_callables(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = nullptr;  // every context, for None
    if (PyLong_Check(arg)) {
        ctx = static_cast<vexasdk_dev_ctx*>(PyLong_AsVoidPtr(arg));
        if (ctx == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_NONE;  // address 0 is no context: it registered nothing
        }
    } else if (arg != Py_None) {
        ctx = context_of(arg, "context");
        if (ctx == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_NONE;  // a handle without a context registered nothing
        }
    }
    if (release_callables(ctx) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* open_context_addresses(PyObject*, PyObject*) noexcept { return addresses_in(books.open).release(); }

// (mon_id, name, type, min, max) of one monitor, read the way monitor events
// read it.
vx::Ref monitor_description(vexasdk_dev_ctx* ctx, uint32_t mon_id) noexcept {
    vexasdk_mon_info info{};
    if (vx::sdk_call_failed([&] { return vexasdk_mon_get_info(ctx, mon_id, &info); },
                            "Failed to read the description of monitor %u.", mon_id))
        return {};
    if (info.name == nullptr) {
        PyErr_Format(PyExc_ValueError, "The SDK described monitor %u without a name.", mon_id);
        return {};
    }
    vx::Ref name = vx::Ref::steal(vx::decode_sdk_name(info.name));
    vx::MonitorReading reading(info);
    vx::Ref id = vx::Ref::steal(PyLong_FromUnsignedLong(mon_id));
    vx::Ref lo = reading.min(info.range);
    vx::Ref hi = reading.max(info.range);
    if (!name || !id || !lo || !hi) return {};
    return vx::Ref::steal(PyTuple_Pack(5, id.get(), name.get(), reading.type(), lo.get(), hi.get()));
}

PyObject* monitor_descriptions(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    // Far more than any device has; an SDK answering more is not believed.
    constexpr size_t kMost = size_t{1} << 20;
    std::unique_ptr<uint32_t[], vx::PyMemFree> ids;
    size_t capacity = 0, count = 0;
    int rc = VEXASDK_SUCCESS;
    // The list may grow between asking for its size and reading it.
    for (int attempt = 0;; ++attempt) {
        count = capacity;
        rc = vx::without_gil([&] { return vexasdk_mon_get_ids(ctx, capacity ? ids.get() : nullptr, &count); });
        if (rc != VEXASDK_SUCCESS || count <= capacity) break;
        if (attempt == 8 || count > kMost) {
            PyErr_Format(PyExc_ValueError, "The SDK reported %zu monitors, more than it lists.", count);
            return nullptr;
        }
        ids.reset(static_cast<uint32_t*>(PyMem_Calloc(count, sizeof(uint32_t))));
        if (!ids) return PyErr_NoMemory();
        capacity = count;
    }
    if (vx::sdk_failed(rc, "Failed to list the monitors.")) return nullptr;
    vx::Ref list = vx::Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        vx::Ref item = monitor_description(ctx, ids[i]);
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* sdk_address(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    return PyLong_FromVoidPtr(ctx);
}

PyObject* connection_string(PyObject*, PyObject* arg) noexcept {
    if (vx::context_arg(arg, "context") < 0) return nullptr;
    const std::string* text = reinterpret_cast<vx::DeviceContextObject*>(arg)->connection_string;
    if (text == nullptr) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
}

// The (min, max) range in volts of every bias source, in index order.
PyObject* bias_ranges(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    uint8_t count = 0;
    if (vx::sdk_call_failed([&] { return vexasdk_bias_get_count(ctx, &count); },
                            "Failed to get the number of bias sources."))
        return nullptr;
    vx::Ref ranges = vx::Ref::steal(PyList_New(0));
    if (!ranges) return nullptr;
    for (unsigned id = 0; id < count; ++id) {
        float min_volts = 0.0f, max_volts = 0.0f;
        if (vx::sdk_call_failed(
                [&] { return vexasdk_bias_get_range(ctx, static_cast<uint8_t>(id), &min_volts, &max_volts); },
                "Bias source %u: Failed to get the range.", id))
            return nullptr;
        vx::Ref range = vx::Ref::steal(Py_BuildValue("(dd)", static_cast<double>(min_volts),
                                                     static_cast<double>(max_volts)));
        if (!range || PyList_Append(ranges.get(), range.get()) < 0) return nullptr;
    }
    return ranges.release();
}

// A count the SDK reports for the device of `arg` through `get_count`.
PyObject* device_count(PyObject* arg, vexasdk_err_code (*get_count)(vexasdk_dev_ctx*, uint8_t*),
                       const char* failed) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    uint8_t count = 0;
    if (vx::sdk_call_failed([&] { return get_count(ctx, &count); }, failed)) return nullptr;
    return PyLong_FromUnsignedLong(count);
}

PyObject* power_unit_count(PyObject*, PyObject* arg) noexcept {
    return device_count(arg, vexasdk_dev_get_unit_count, "Failed to get the number of power units.");
}

PyObject* chip_count(PyObject*, PyObject* arg) noexcept {
    return device_count(arg, vexasdk_chip_get_count, "Failed to retrieve number of chips on the device.");
}

// The SDK's description of one chip as a plain tuple; the package builds the
// ChipInfo from it. Mode and polarity sets stay bit masks.
PyObject* chip_info(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        vx::raise_arg_count("chip_info", 2, 2, nargs);
        return nullptr;
    }
    vexasdk_dev_ctx* ctx = context_of(args[0], "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    uint8_t chip = 0;
    if (vx::unsigned_arg(args[1], "uint8_t", &chip) < 0) return nullptr;
    vexasdk_chip_info info{};
    if (vx::sdk_call_failed([&] { return vexasdk_chip_get_info(ctx, chip, &info); },
                            "Chip %u: Failed to read the chip description.", static_cast<unsigned>(chip)))
        return nullptr;
    // The SDK owes a terminated name; a full field is cut rather than overrun.
    vx::Ref name = vx::Ref::steal(
        PyUnicode_DecodeUTF8(info.name, static_cast<Py_ssize_t>(strnlen(info.name, sizeof info.name)), "replace"));
    if (!name) return nullptr;
    return Py_BuildValue("(OkkdddkkOkk)", name.get(), static_cast<unsigned long>(info.supported_modes),
                         static_cast<unsigned long>(info.supported_polarities), static_cast<double>(info.min_kev),
                         static_cast<double>(info.max_kev), static_cast<double>(info.noise_kev),
                         static_cast<unsigned long>(info.min_raw), static_cast<unsigned long>(info.max_raw),
                         info.is_calibrated ? Py_True : Py_False, static_cast<unsigned long>(info.width),
                         static_cast<unsigned long>(info.height));
}

PyMethodDef functions[] = {
    {"open", open_device, METH_O, "open(connection_string: str) -> _DeviceContext\n\nOpens an SDK context."},
    {"close", close_device, METH_O, "close(context: _DeviceContext) -> None\n\nCloses an SDK context."},
    {"open_context_addresses", open_context_addresses, METH_NOARGS,
     "open_context_addresses() -> list[int]\n\nThe SDK addresses of the contexts opened here and not closed here."},
    {"after_fork_in_child", after_fork_in_child, METH_NOARGS,
     "after_fork_in_child() -> None\n\nMarks every open context as the parent's (run in a forked child)."},
    {"close_all", close_all, METH_NOARGS,
     "close_all() -> None\n\nCloses every context opened here and not closed yet (run at interpreter exit)."},
    {"monitor_descriptions", monitor_descriptions, METH_O,
     "monitor_descriptions(context: _DeviceContext) -> list[tuple[int, str, type, float | int, float | int]]\n\n"
     "The device's monitors as (identifier, name, value type, minimum, maximum)."},
    {"forget_callables", forget_callables, METH_O,
     "forget_callables(context: _DeviceContext | int | None) -> None\n\n"
     "Releases the monitor callables and acquisition callbacks handed to the SDK\n"
     "through a context it has closed behind the package's back (all of them for None)."},
    {"sdk_address", sdk_address, METH_O, "sdk_address(context: _DeviceContext) -> int\n\nThe SDK context's address."},
    {"connection_string", connection_string, METH_O,
     "connection_string(context: _DeviceContext) -> str | None\n\nThe connection string a handle borrows."},
    {"bias_ranges", bias_ranges, METH_O,
     "bias_ranges(context: _DeviceContext) -> list[tuple[float, float]]\n\n"
     "The (min, max) range in volts of every bias source of the device."},
    {"power_unit_count", power_unit_count, METH_O,
     "power_unit_count(context: _DeviceContext) -> int\n\nThe number of power units of the device."},
    {"chip_count", chip_count, METH_O,
     "chip_count(context: _DeviceContext) -> int\n\nThe number of chips the SDK reports for the device."},
    {"chip_info", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(chip_info)), METH_FASTCALL,
     "chip_info(context: _DeviceContext, chip: int) -> tuple\n\nThe SDK's description of a chip: name, mode and "
     "polarity bit masks, min, max and noise keV, min and max raw, calibrated, width, height."},
    {nullptr, nullptr, 0, nullptr},
};

// Every context still open is closed at interpreter exit; a forked child
// forgets the parent's.
int close_all_at_exit_and_fork(PyObject* module) noexcept {
    vx::Ref atexit = vx::Ref::steal(PyImport_ImportModule("atexit"));
    vx::Ref os = vx::Ref::steal(PyImport_ImportModule("os"));
    vx::Ref close_all_fn = vx::Ref::steal(PyObject_GetAttrString(module, "close_all"));
    vx::Ref after_fork_fn = vx::Ref::steal(PyObject_GetAttrString(module, "after_fork_in_child"));
    if (!atexit || !os || !close_all_fn || !after_fork_fn) return -1;
    vx::Ref registered = vx::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", close_all_fn.get()));
    if (!registered) return -1;
    vx::Ref no_args = vx::Ref::steal(PyTuple_New(0));
    vx::Ref keywords = vx::Ref::steal(Py_BuildValue("{sO}", "after_in_child", after_fork_fn.get()));
    vx::Ref at_fork = vx::Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!no_args || !keywords || !at_fork) return -1;
    registered = vx::Ref::steal(PyObject_Call(at_fork.get(), no_args.get(), keywords.get()));
    return registered ? 0 : -1;
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._device_opener",
                       "Opens and closes SDK contexts for the package's device objects.", -1, functions}};

}  // namespace

PyMODINIT_FUNC PyInit__device_opener() {
    return vx::ModuleStart(module)
        .then(make_books, vx::import_device_context, vx::import_raise_if_err)
        .then(close_all_at_exit_and_fork)
        .done();
}
