// vexasdk.monitor_channel: monitor records, MonitorChannel, and the two
// trampolines through which the SDK delivers monitor events.
#include <cstdint>
#include <cstring>
#include <utility>

#include "support/controller.hpp"
#include "support/frame.hpp"
#include "support/gil.hpp"
#include "support/kept_callables.hpp"
#include "support/method.hpp"
#include "support/monitor_reading.hpp"
#include "support/module_start.hpp"
#include "support/pickle.hpp"
#include "support/sdk_text.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/monitor.h"

namespace {

constexpr char kBody[] = R"PY(
import logging
from collections.abc import Callable
from typing import NamedTuple


class MonitorRange(NamedTuple):
    """Contains minimum and maximum monitor values.

    Attributes:
        min (float | int): Minimum monitor value.
        max (float | int): Maximum monitor value.
    """

    min: float | int
    max: float | int


class MonitorInfo(NamedTuple):
    """Contains monitor information.

    Attributes:
        name (str): Monitor name.
        type (type[float] | type[int]): Type of the monitor's values, int or float.
        range (MonitorRange): Monitor value range.
    """

    name: str
    type: type[float] | type[int]
    range: MonitorRange


class MonitorFlags(NamedTuple):
    """Contains asynchronous monitor flags.

    Attributes:
        is_warning (bool): Whether the monitor reports a warning.
        is_error (bool): Whether the monitor reports an error.
        is_available (bool): Whether the monitor is available.
    """

    is_warning: bool
    is_error: bool
    is_available: bool


class OnAvailChangedArgs(NamedTuple):
    """Arguments for on-availability-changed callback function.

    Serves as an accessor to monitor-related data inside the
    monitor-on-availability-changed callback.

    Attributes:
        info (MonitorInfo): Monitor information.
        is_available (bool): Whether the monitor is available.
        timestamp (int): Timestamp of the monitor event.
    """

    info: MonitorInfo
    is_available: bool
    timestamp: int


class OnValueChangedArgs(NamedTuple):
    """Arguments for on-value-changed callback function.

    Serves as an accessor to monitor-related data inside the callback.

    Attributes:
        info (MonitorInfo): Monitor information.
        flags (MonitorFlags): Monitor flags.
        value (float | int): Monitor value.
        timestamp (int): Timestamp of the monitor event.
    """

    info: MonitorInfo
    flags: MonitorFlags
    value: float | int
    timestamp: int
)PY";

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

constexpr char kFile[] = "vexasdk/impl/monitor_channel";

constexpr char kFetchFailed[] = ": Failed to fetch the value.";
constexpr char kInvalidType[] = ": Invalid monitor type.";
constexpr char kSetAvailFailed[] = ": Failed to set on-availability-changed-callback.";
constexpr char kSetValueFailed[] = ": Failed to set on-value-changed-callback.";

constexpr char kNoRecord[] = "the SDK delivered a monitor event without its record";
constexpr char kNoInfo[] = "the SDK delivered a monitor event without monitor information";
constexpr char kNoName[] = "the SDK delivered a monitor event without a monitor name";
constexpr char kNoFlags[] = "the SDK delivered a value-changed event without monitor flags";
constexpr char kNoCallable[] = "the SDK delivered a monitor event without the registered callable";

using MonitorChannelObject = vx::ControllerObject;  // header, _id, _info, _context

MonitorChannelObject* channel(PyObject* self) noexcept { return vx::controller(self); }

// Monitor events of one kind go to the callable registered last for the
// monitor: the kept callables are told apart by monitor and kind.
enum class EventKind : uint32_t { avail = 1, value = 2 };

// ---- the trampolines ----

PyObject* int_type() noexcept { return reinterpret_cast<PyObject*>(&PyLong_Type); }
PyObject* float_type() noexcept { return reinterpret_cast<PyObject*>(&PyFloat_Type); }

// A C bool as the SDK wrote it: any non-zero byte is true.
bool flag_at(const bool* field) noexcept {
    unsigned char byte;
    memcpy(&byte, field, 1);
    return byte != 0;
}

// Calls the module-level name `name` (looked up now) with `args`; each must be
// non-null.
vx::Ref call_global(const char* name, std::initializer_list<PyObject*> args) noexcept {
    vx::Ref callable = vx::lookup_global(globals, name);
    if (!callable) return {};
    PyObject* stack[4];
    size_t n = 0;
    for (PyObject* arg : args) stack[n++] = arg;
    return vx::Ref::steal(PyObject_Vectorcall(callable.get(), stack, n, nullptr));
}

// An SDK record that cannot be read: a failure like any other of the event.
int bad_record(const char* text) noexcept {
    PyErr_SetString(PyExc_ValueError, text);
    return -1;
}

vx::Ref fail(const char* text) noexcept {
    bad_record(text);
    return {};
}

// The event's MonitorInfo, and its value read in the same type when `value`
// is given. A type other than float reads as int.
vx::Ref monitor_info(const vexasdk_mon_info* info, const vexasdk_mon_value* value, vx::Ref* py_value) noexcept {
    if (info == nullptr) return fail(kNoInfo);
    vx::MonitorReading reading(*info);
    vx::Ref lo = reading.min(info->range);
    vx::Ref hi = reading.max(info->range);
    if (!lo || !hi) return {};
    vx::Ref range = call_global("MonitorRange", {lo.get(), hi.get()});
    if (!range) return {};
    if (value != nullptr) {
        *py_value = reading.value(*value);
        if (!*py_value) return {};
    }
    if (info->name == nullptr) return fail(kNoName);
    vx::Ref name = vx::Ref::steal(vx::decode_sdk_name(info->name));
    if (!name) return {};
    return call_global("MonitorInfo", {name.get(), reading.type(), range.get()});
}

int call_user(PyObject* callable, PyObject* event) noexcept {
    vx::Ref result = vx::Ref::steal(PyObject_CallOneArg(callable, event));
    return result ? 0 : -1;
}

const vx::TrampolineSite avail_site =
    vx::trampoline_site("vexasdk.monitor_channel._mon_on_avail_changed_cb", kFile, &globals, nullptr,
                        "Failed to execute on-availability-changed monitor callback.", kNoCallable);

const vx::TrampolineSite value_site =
    vx::trampoline_site("vexasdk.monitor_channel._mon_on_value_changed_cb", kFile, &globals, nullptr,
                        "Failed to execute on-value-changed monitor callback.", kNoCallable);

void _mon_on_avail_changed_cb(const vexasdk_mon_on_avail_changed_args* args, void* user_data) noexcept {
    vx::deliver(avail_site, user_data, [&](PyObject* callable) -> int {
        if (args == nullptr) return bad_record(kNoRecord);
        vx::Ref info = monitor_info(args->info, nullptr, nullptr);
        if (!info) return -1;
        vx::Ref timestamp = vx::Ref::steal(PyLong_FromUnsignedLong(args->timestamp));
        if (!timestamp) return -1;
        vx::Ref event = call_global("OnAvailChangedArgs",
                                    {info.get(), flag_at(&args->is_available) ? Py_True : Py_False, timestamp.get()});
        if (!event) return -1;
        return call_user(callable, event.get());
    });
}

void _mon_on_value_changed_cb(const vexasdk_mon_on_value_changed_args* args, void* user_data) noexcept {
    vx::deliver(value_site, user_data, [&](PyObject* callable) -> int {
        if (args == nullptr) return bad_record(kNoRecord);
        vx::Ref value;
        vx::Ref info = monitor_info(args->info, &args->value, &value);
        if (!info) return -1;
        const vexasdk_mon_flags* c_flags = args->flags;
        if (c_flags == nullptr) return bad_record(kNoFlags);
        auto boolean = [](bool b) { return b ? Py_True : Py_False; };
        vx::Ref flags = call_global("MonitorFlags", {boolean(flag_at(&c_flags->is_warning)),
                                                     boolean(flag_at(&c_flags->is_error)),
                                                     boolean(flag_at(&c_flags->is_available))});
        if (!flags) return -1;
        vx::Ref timestamp = vx::Ref::steal(PyLong_FromUnsignedLong(args->timestamp));
        if (!timestamp) return -1;
        vx::Ref event = call_global("OnValueChangedArgs", {info.get(), flags.get(), value.get(), timestamp.get()});
        if (!event) return -1;
        return call_user(callable, event.get());
    });
}

// ---- MonitorChannel ----

// "Monitor " + f"{info.name}" + suffix.
vx::Ref failure_message(PyObject* info, const char* suffix) noexcept {
    vx::Ref name = vx::Ref::steal(PyObject_GetAttrString(info, "name"));
    if (!name) return {};
    vx::Ref text = vx::Ref::steal(PyObject_Format(name.get(), nullptr));
    if (!text) return {};
    return vx::Ref::steal(PyUnicode_FromFormat("Monitor %U%s", text.get(), suffix));
}

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return vx::controller_new(type, args, kwargs, "mon_id", "mon_info");
}

PyObject* fetch_value(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("fetch_value", nargs, kwnames) < 0) return nullptr;
    // Attribute reads run Python code that may re-initialise the channel.
    vx::Ref info = vx::Ref::borrow(channel(self)->info);
    vexasdk_dev_ctx* ctx = vx::controller_context(self);
    auto mon_id = static_cast<uint32_t>(channel(self)->id);
    vexasdk_mon_value value{};
    int rc = vx::without_gil([&] { return vexasdk_mon_get_value(ctx, mon_id, &value); });
    // The message is made whatever the result: making it reads the record.
    if (vx::sdk_failed(rc, failure_message(info.get(), kFetchFailed))) return nullptr;
    // The description record decides, never the SDK's own type information.
    vx::Ref type = vx::Ref::steal(PyObject_GetAttrString(info.get(), "type"));
    if (!type) return nullptr;
    if (type.get() == int_type()) return PyLong_FromUnsignedLong(value.i);
    type = vx::Ref::steal(PyObject_GetAttrString(info.get(), "type"));
    if (!type) return nullptr;
    if (type.get() == float_type()) return PyFloat_FromDouble(value.f);
    vx::Ref message = failure_message(info.get(), kInvalidType);
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return nullptr;
}

template <EventKind kind>
PyObject* set_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr bool avail = kind == EventKind::avail;
    PyObject* callback;  // borrowed from the call, which keeps it alive until the registry has it
    if (vx::bind_args(avail ? "set_on_avail_changed_cb" : "set_on_value_changed_cb", args, nargs, kwnames,
                      {"callback"}, 1, &callback) < 0)
        return nullptr;
    vx::Ref info = vx::Ref::borrow(channel(self)->info);
    vexasdk_dev_ctx* ctx = vx::controller_context(self);
    auto mon_id = static_cast<uint32_t>(channel(self)->id);
    vx::KeptCallables::Ticket ticket;
    if (!vx::kept_callables().begin(vx::KeptCallables::key(ctx, mon_id, static_cast<uint32_t>(kind)), ticket))
        return nullptr;
    int rc = vx::without_gil([&] {
        if constexpr (avail) return vexasdk_mon_set_avail_changed_cb(ctx, mon_id, _mon_on_avail_changed_cb, callback);
        else return vexasdk_mon_set_value_changed_cb(ctx, mon_id, _mon_on_value_changed_cb, callback);
    });
    vx::kept_callables().end(ticket, rc == VEXASDK_SUCCESS ? callback : nullptr, /*replaces=*/true);
    if (vx::sdk_failed(rc, failure_message(info.get(), avail ? kSetAvailFailed : kSetValueFailed))) return nullptr;
    Py_RETURN_NONE;
}

auto channel_methods = vx::refusing_pickles(
    vx::method("info", vx::controller_info, R"(MonitorChannel.info(self) -> MonitorInfo

Gets monitor information.

Returns:
    MonitorInfo: The description record the channel was created with.
)"),
    vx::method("fetch_value", fetch_value, R"(MonitorChannel.fetch_value(self) -> float | int

Synchronously fetches the value of the monitor.

Returns:
    float | int: Monitor value, of the type its description names.

Raises:
    TypeError: The description names neither int nor float.
)"),
    vx::method("set_on_avail_changed_cb", set_callback<EventKind::avail>, R"(MonitorChannel.set_on_avail_changed_cb(self, callback: Callable[[OnAvailChangedArgs], None]) -> None

Sets an asynchronous on-availability-changed monitor callback.

The callback runs on a thread of the SDK whenever the monitor's availability
changes; whatever it raises is logged on the logger "vexasdk".

Args:
    callback (Callable[[OnAvailChangedArgs], None]): Monitor callback.
)"),
    vx::method("set_on_value_changed_cb", set_callback<EventKind::value>, R"(MonitorChannel.set_on_value_changed_cb(self, callback: Callable[[OnValueChangedArgs], None]) -> None

Sets an asynchronous on-value-changed monitor callback.

The callback runs on a thread of the SDK whenever the monitor's value
changes; whatever it raises is logged on the logger "vexasdk".

Args:
    callback (Callable[[OnValueChangedArgs], None]): Monitor callback.
)"));

// The first part of the doc is the constructor's text signature, split off __doc__.
PyTypeObject channel_type = vx::ControllerFields::type(
    "vexasdk.monitor_channel.MonitorChannel", channel_methods.data(), channel_new,
    "MonitorChannel(mon_id, mon_info, context)\n--\n\n"
    "Monitor channel.\n\n"
    "Each instance represents a single monitor.");

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk.monitor_channel", "Monitor channel functionality.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit_monitor_channel() {
    return vx::ModuleStart(module, globals)
        .ready(channel_type)
        .exports({{vx::kReleaseCallablesName, vx::release_callables, vx::kReleaseCallablesSignature}})
        .then(vx::import_numpy_types, vx::import_device_context, vx::import_raise_if_err)
        .add("MonitorChannel", channel_type)
        .body(kFile, kBody, {"MonitorRange", "MonitorInfo", "MonitorFlags", "OnAvailChangedArgs", "OnValueChangedArgs"})
        .annotate(channel_type)
        .done();
}
