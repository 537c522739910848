// vexasdk._device_opener: the small bridge through which the package opens
// and closes SDK contexts and makes their _DeviceContext handles, and reads
// the descriptions the controllers are built from.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "_device_context.hpp"
#include "support/gil.hpp"
#include "support/kept_callables.hpp"
#include "support/sdk_threads.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/sdk.h"

namespace {

// Handles borrow the SDK context and its connection string, and a handle may
// outlive the Device that made it. The SDK keeps closed contexts answerable
// (ENODEV); the strings are kept here, one per context, for the same reason.
std::unordered_map<vexasdk_dev_ctx*, std::unique_ptr<std::string>>& connection_strings() {
    static auto* strings = new std::unordered_map<vexasdk_dev_ctx*, std::unique_ptr<std::string>>;
    return *strings;
}

// Contexts opened here and not yet closed. They are all closed at
// interpreter exit, before finalisation: afterwards no SDK thread (delivering
// data or monitor events) may ask for the interpreter lock. Guarded by the GIL.
std::unordered_set<vexasdk_dev_ctx*>& open_contexts() {
    static auto* contexts = new std::unordered_set<vexasdk_dev_ctx*>;
    return *contexts;
}

int raise_if_err(int rc, const char* message) noexcept {
    if (rc == 0) return 0;
    vx::Ref text = vx::Ref::steal(PyUnicode_FromString(message));
    if (!text) return -1;
    return vx::raise_if_err(rc, text.get());
}

int raise_if_err(int rc, PyObject* format, PyObject* arg) noexcept {
    if (rc == 0) return 0;
    vx::Ref text = vx::Ref::steal(PyUnicode_Format(format, arg));
    if (!text) return -1;
    return vx::raise_if_err(rc, text.get());
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
    const char* utf8 = PyUnicode_AsUTF8(arg);
    if (utf8 == nullptr) return nullptr;
    auto text = std::make_unique<std::string>(utf8);
    vexasdk_dev_ctx* ctx = nullptr;
    int rc = vx::without_gil([&] { return vexasdk_dev_open(text->c_str(), &ctx); });
    vx::Ref format = vx::Ref::steal(PyUnicode_FromString("Failed to open device %r."));
    if (!format || raise_if_err(rc, format.get(), arg) < 0) return nullptr;
    auto& strings = connection_strings();
    auto& slot = strings[ctx];
    if (!slot) slot = std::move(text);
    PyObject* handle = vx::device_context_vtable->from_ptr(ctx, slot.get());
    if (handle == nullptr) {
        vx::without_gil([&] { return vexasdk_dev_close(ctx); });
        return nullptr;
    }
    open_contexts().insert(ctx);
    return handle;
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
// thread: from inside a callback the acquisition cannot be waited for.
int close_context(vexasdk_dev_ctx* ctx) noexcept {
    stop_acquisition(ctx);
    int rc = vx::without_gil([&] { return vexasdk_dev_close(ctx); });
    // Closed now, or long before: either way the SDK calls nothing of it again.
    if (rc == VEXASDK_SUCCESS || rc == VEXASDK_ERR_ENODEV) {
        open_contexts().erase(ctx);
        if (ctx != nullptr && release_callables(ctx) < 0) PyErr_WriteUnraisable(nullptr);
    }
    return rc;
}

PyObject* close_device(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    // A callback of the device would wait for its own delivery to end.
    int rc = vx::on_sdk_thread() ? VEXASDK_ERR_BAD_STATE : close_context(ctx);
    if (raise_if_err(rc, "Failed to close the device.") < 0) return nullptr;
    Py_RETURN_NONE;
}

// Registered with atexit: closes every context still open. Failures cannot
// be helped any more at this point and are not reported.
PyObject* close_all(PyObject*, PyObject*) noexcept {
    std::vector<vexasdk_dev_ctx*> contexts(open_contexts().begin(), open_contexts().end());
    for (vexasdk_dev_ctx* ctx : contexts) close_context(ctx);
    open_contexts().clear();
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyObject* forget_callables(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = nullptr;
    if (PyLong_Check(arg)) {
        ctx = static_cast<vexasdk_dev_ctx*>(PyLong_AsVoidPtr(arg));
        if (ctx == nullptr && PyErr_Occurred()) return nullptr;
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

PyObject* open_context_addresses(PyObject*, PyObject*) noexcept {
    vx::Ref addresses = vx::Ref::steal(PyList_New(0));
    if (!addresses) return nullptr;
    for (vexasdk_dev_ctx* ctx : open_contexts()) {
        vx::Ref address = vx::Ref::steal(PyLong_FromVoidPtr(ctx));
        if (!address || PyList_Append(addresses.get(), address.get()) < 0) return nullptr;
    }
    return addresses.release();
}

vx::Ref monitor_number(bool real, const vexasdk_mon_range& range, bool max) noexcept {
    if (real) return vx::Ref::steal(PyFloat_FromDouble(max ? range.f.max : range.f.min));
    return vx::Ref::steal(PyLong_FromUnsignedLong(max ? range.i.max : range.i.min));
}

// (mon_id, name, type, min, max) of one monitor, read the way monitor events
// are: any type but float reads as int.
vx::Ref monitor_description(vexasdk_dev_ctx* ctx, uint32_t mon_id) noexcept {
    vexasdk_mon_info info{};
    int rc = vx::without_gil([&] { return vexasdk_mon_get_info(ctx, mon_id, &info); });
    if (rc != VEXASDK_SUCCESS) {
        vx::Ref message = vx::Ref::steal(PyUnicode_FromFormat("Failed to read the description of monitor %u.", mon_id));
        if (message) vx::raise_if_err(rc, message.get());
        return {};
    }
    if (info.name == nullptr) {
        PyErr_Format(PyExc_ValueError, "The SDK described monitor %u without a name.", mon_id);
        return {};
    }
    // Names are for people: bytes that are not UTF-8 stay visible as escapes.
    vx::Ref name = vx::Ref::steal(
        PyUnicode_DecodeUTF8(info.name, static_cast<Py_ssize_t>(strlen(info.name)), "backslashreplace"));
    uint32_t type;
    memcpy(&type, &info.type, sizeof type);
    bool real = type == VEXASDK_MON_FLOAT;
    vx::Ref id = vx::Ref::steal(PyLong_FromUnsignedLong(mon_id));
    vx::Ref lo = monitor_number(real, info.range, false);
    vx::Ref hi = monitor_number(real, info.range, true);
    if (!name || !id || !lo || !hi) return {};
    PyObject* kind = reinterpret_cast<PyObject*>(real ? &PyFloat_Type : &PyLong_Type);
    return vx::Ref::steal(PyTuple_Pack(5, id.get(), name.get(), kind, lo.get(), hi.get()));
}

PyObject* monitor_descriptions(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    // Far more than any device has; an SDK answering more is not believed.
    constexpr size_t kMost = size_t{1} << 20;
    std::vector<uint32_t> ids;
    size_t count = 0;
    int rc = VEXASDK_SUCCESS;
    // The list may grow between asking for its size and reading it.
    for (int attempt = 0;; ++attempt) {
        size_t capacity = ids.size();
        count = capacity;
        rc = vx::without_gil([&] { return vexasdk_mon_get_ids(ctx, capacity ? ids.data() : nullptr, &count); });
        if (rc != VEXASDK_SUCCESS || count <= capacity) break;
        if (attempt == 8 || count > kMost) {
            PyErr_Format(PyExc_ValueError, "The SDK reported %zu monitors, more than it lists.", count);
            return nullptr;
        }
        try {
            ids.resize(count);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
    if (raise_if_err(rc, "Failed to list the monitors.") < 0) return nullptr;
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
    int rc = vx::without_gil([&] { return vexasdk_bias_get_count(ctx, &count); });
    if (raise_if_err(rc, "Failed to get the number of bias sources.") < 0) return nullptr;
    vx::Ref ranges = vx::Ref::steal(PyList_New(0));
    if (!ranges) return nullptr;
    for (unsigned id = 0; id < count; ++id) {
        float min_volts = 0.0f, max_volts = 0.0f;
        rc = vx::without_gil(
            [&] { return vexasdk_bias_get_range(ctx, static_cast<uint8_t>(id), &min_volts, &max_volts); });
        if (rc != 0) {
            vx::Ref text = vx::Ref::steal(PyUnicode_FromFormat("Bias source %u: Failed to get the range.", id));
            if (!text || vx::raise_if_err(rc, text.get()) < 0) return nullptr;
        }
        vx::Ref range = vx::Ref::steal(Py_BuildValue("(dd)", static_cast<double>(min_volts),
                                                     static_cast<double>(max_volts)));
        if (!range || PyList_Append(ranges.get(), range.get()) < 0) return nullptr;
    }
    return ranges.release();
}

PyObject* power_unit_count(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    uint8_t count = 0;
    int rc = vx::without_gil([&] { return vexasdk_dev_get_unit_count(ctx, &count); });
    if (raise_if_err(rc, "Failed to get the number of power units.") < 0) return nullptr;
    return PyLong_FromLong(count);
}

PyObject* chip_count(PyObject*, PyObject* arg) noexcept {
    vexasdk_dev_ctx* ctx = context_of(arg, "context");
    if (ctx == nullptr && PyErr_Occurred()) return nullptr;
    uint8_t count = 0;
    int rc = vx::without_gil([&] { return vexasdk_chip_get_count(ctx, &count); });
    if (raise_if_err(rc, "Failed to retrieve number of chips on the device.") < 0) return nullptr;
    return PyLong_FromUnsignedLong(count);
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
    int rc = vx::without_gil([&] { return vexasdk_chip_get_info(ctx, chip, &info); });
    if (rc != 0) {
        vx::Ref message = vx::Ref::steal(PyUnicode_FromFormat("Chip %u: Failed to read the chip description.",
                                                              static_cast<unsigned>(chip)));
        if (!message) return nullptr;
        vx::raise_if_err(rc, message.get());
        return nullptr;
    }
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

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vexasdk._device_opener",
                          "Opens and closes SDK contexts for the package's device objects.", -1, functions};
bool initialised = false;

}  // namespace

PyMODINIT_FUNC PyInit__device_opener() {
    if (vx::first_initialisation(initialised, "vexasdk._device_opener") < 0) return nullptr;
    vx::Ref module = vx::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (vx::import_device_context() < 0 || vx::import_raise_if_err() < 0) return nullptr;
    vx::Ref atexit = vx::Ref::steal(PyImport_ImportModule("atexit"));
    vx::Ref close_all_fn = vx::Ref::steal(PyObject_GetAttrString(module.get(), "close_all"));
    if (!atexit || !close_all_fn) return nullptr;
    vx::Ref registered = vx::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", close_all_fn.get()));
    if (!registered) return nullptr;
    return module.release();
}
