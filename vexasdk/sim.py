"""The virtual detector's control interface.

Everything here scripts the virtual detector that stands in for hardware: what
its devices look like, what its SDK calls answer (failures included), what its
acquisitions deliver and from how many native threads, and what was called
with which arguments. Tests use it; so can your own test suites.

Devices are addressed by their index in the virtual enumeration (0, the
default, is the first).
"""

from __future__ import annotations

import ctypes
import json
import os
import threading
from collections.abc import Callable
from typing import Any

import numpy as np

import vexasdk
from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk._utils import SdkError

SUCCESS = 0
ERR_ENOMEM = -12
ERR_EFAULT = -14
ERR_EBUSY = -16
ERR_ENODEV = -19
ERR_EINVAL = -22
ERR_BAD_STATE = -5001

ACQ_MODE_PROCESSED = 2

_LIB_PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(vexasdk.__file__))), "vexasdkpy.libs",
                         "libvexa_sdk_ng.so")
# The extension modules loaded this library already; this is the same instance.
_lib = ctypes.CDLL(_LIB_PATH)

_c = ctypes
_u32, _i32, _u64, _i64, _ptr = _c.c_uint32, _c.c_int32, _c.c_uint64, _c.c_int64, _c.c_void_p


def _declare(name: str, restype: Any, *argtypes: Any) -> Any:
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_sim_reset = _declare("vexasdk_sim_reset", _i32)
_sim_set_device_count = _declare("vexasdk_sim_set_device_count", _i32, _u32)
_sim_device_count = _declare("vexasdk_sim_device_count", _u32)
_sim_fail = _declare("vexasdk_sim_fail", _i32, _c.c_char_p, _i32, _i64)
_sim_clear_faults = _declare("vexasdk_sim_clear_faults", _i32)
_sim_call_count = _declare("vexasdk_sim_call_count", _u64, _c.c_char_p)
_sim_call_log = _declare("vexasdk_sim_call_log", _c.c_size_t, _c.c_char_p, _c.c_size_t)
_sim_clear_call_log = _declare("vexasdk_sim_clear_call_log", _i32)
_sim_set_delivery_threads = _declare("vexasdk_sim_set_delivery_threads", _i32, _u32, _u32)
_sim_queue_itot_evcount = _declare("vexasdk_sim_queue_itot_evcount", _i32, _u32, _ptr, _u64, _i32)
_sim_clear_queue = _declare("vexasdk_sim_clear_queue", _i32, _u32)
_sim_generate = _declare("vexasdk_sim_generate", _i32, _u32, _c.c_double, _u64, _u64)
_sim_blocks_delivered = _declare("vexasdk_sim_blocks_delivered", _u64, _u32)
_sim_trigger_count = _declare("vexasdk_sim_trigger_count", _u64, _u32)
_sim_deliver_here = _declare("vexasdk_sim_deliver_here", _i32, _ptr, _ptr, _ptr)
_acq_start = _declare("vexasdk_acq_start", _i32, _ptr, _ptr, _i32, _ptr, _ptr)
_acq_await_end = _declare("vexasdk_acq_await_end", _i32, _ptr)
_acq_abort = _declare("vexasdk_acq_abort", _i32, _ptr)
_chip_set_mode = _declare("vexasdk_chip_set_mode", _i32, _ptr, _u32)
_sim_device_of = _declare("vexasdk_sim_device_of", _i32, _ptr)


def _check(rc: int, what: str) -> None:
    if rc != SUCCESS:
        raise SdkError(what, rc)


def _index(device: int) -> int:
    if not isinstance(device, int) or isinstance(device, bool) or not 0 <= device < 2**32:
        raise ValueError(f"device must be an index in 0..{2**32 - 1}, got {device!r}")
    return device


def _bytes_of(array: np.ndarray, dtype: np.dtype, what: str) -> np.ndarray:
    """A C-contiguous copy-if-needed of `array` as records of `dtype`."""
    array = np.asarray(array)
    if array.dtype != dtype:
        raise TypeError(f"{what} must have dtype {dtype}, got {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    return np.ascontiguousarray(array)


# ---- world ----


def reset() -> None:
    """Closes every open context and restores the default virtual devices, with an
    empty call log and no scripted faults."""
    with _running_lock:
        _running.clear()
    _check(_sim_reset(), "Failed to reset the virtual detector.")
    # Every context is closed now: nothing the package registered can be called.
    _device_opener.forget_monitor_callables(None)


def set_device_count(count: int) -> None:
    """Sets how many virtual devices exist; new ones get the default model and
    contexts on removed ones are closed."""
    _check(_sim_set_device_count(_index(count)), "Failed to set the number of virtual devices.")
    from vexasdk import _device

    with _device._open_lock:
        opened = list(_device._open_contexts.values())
    for context in opened:
        if _sim_device_of(_address(context)) < 0:
            _device_opener.forget_monitor_callables(context)


def device_count() -> int:
    """The number of virtual devices."""
    return int(_sim_device_count())


# ---- faults and the call log ----


def fail(function: str, code: int, times: int | None = 1) -> None:
    """Makes the next `times` calls of the SDK function `function` return `code`
    without doing anything; every later call when `times` is None; `times=0`
    removes the fault."""
    count = -1 if times is None else times
    _check(_sim_fail(function.encode(), code, count), f"Failed to script a fault for {function}.")


def clear_faults() -> None:
    """Removes every scripted fault."""
    _check(_sim_clear_faults(), "Failed to clear the faults.")


def call_count(function: str | None = None) -> int:
    """How often the SDK function `function` (every function when None) was called
    since the last reset or `clear_call_log`."""
    return int(_sim_call_count(function.encode() if function is not None else None))


def call_log() -> list[dict[str, Any]]:
    """The newest calls (at most 100000), oldest first, each as {"fn": name,
    "args": {name: value}}. Pointers are addresses (None for null), byte ranges
    hex strings, floats exact."""
    size = _sim_call_log(None, 0)
    while True:
        buf = ctypes.create_string_buffer(size)
        needed = _sim_call_log(buf, size)
        if needed <= size:
            return json.loads(buf.value.decode("latin-1"))
        size = needed


def calls(function: str) -> list[dict[str, Any]]:
    """The arguments of each logged call of `function`, oldest first."""
    return [entry["args"] for entry in call_log() if entry["fn"] == function]


def clear_call_log() -> None:
    """Empties the call log and its counts."""
    _check(_sim_clear_call_log(), "Failed to clear the call log.")


# ---- acquisition ----

# Callbacks of acquisitions started here, kept alive until the acquisition ends.
_running: dict[int, object] = {}
_running_lock = threading.Lock()


def set_delivery_threads(threads: int, device: int = 0) -> None:
    """How many native threads deliver the blocks of the next acquisitions (1 to 64)."""
    _check(_sim_set_delivery_threads(_index(device), threads), "Failed to set the delivery threads.")


ITOT_EVCOUNT_DTYPE = np.dtype([("address", "<u4"), ("itot", "<u4"), ("evcount", "<u8")])


def queue_itot_evcount(packets: np.ndarray | None, *, count: int | None = None, fetch_rc: int = 0,
                       device: int = 0) -> None:
    """Queues an iToT-evcount block for the next acquisition.

    Args:
        packets: Records of ITOT_EVCOUNT_DTYPE, copied now; None makes the fetch
            answer a null pointer with `count` records.
        count: With packets None, the count the fetch reports.
        fetch_rc: What the fetch answers instead of the block when not 0.
        device: The virtual device.
    """
    if packets is None:
        _check(_sim_queue_itot_evcount(_index(device), None, count or 0, fetch_rc), "Failed to queue a block.")
        return
    data = _bytes_of(packets, ITOT_EVCOUNT_DTYPE, "packets")
    _check(_sim_queue_itot_evcount(_index(device), data.ctypes.data, len(data), fetch_rc), "Failed to queue a block.")


def queue_fetch_failure(code: int = ERR_EINVAL, device: int = 0) -> None:
    """Queues a block whose fetch fails with `code`, for the iToT-evcount fetch."""
    queue_itot_evcount(None, fetch_rc=code, device=device)


def clear_queue(device: int = 0) -> None:
    """Drops every queued block."""
    _check(_sim_clear_queue(_index(device)), "Failed to clear the queue.")


def generate(blocks_per_second: float = 0.0, packets_per_block: int = 1000, block_limit: int = 0,
             device: int = 0) -> None:
    """Once the queue runs empty, acquisitions produce plausible blocks of the
    chips' current mode: `packets_per_block` events each, `blocks_per_second`
    (0: as fast as possible), `block_limit` blocks in all (0: until aborted)."""
    _check(_sim_generate(_index(device), blocks_per_second, packets_per_block, block_limit),
           "Failed to set up data generation.")


def blocks_delivered(device: int = 0) -> int:
    """Blocks whose callback has returned since the device was last reset."""
    return int(_sim_blocks_delivered(_index(device)))


def trigger_count(device: int = 0) -> int:
    """Software triggers received since the device was last reset."""
    return int(_sim_trigger_count(_index(device)))


def trampoline(module: str, name: str) -> int:
    """The address of the C trampoline `name` in the export table of the module
    `vexasdk.<module>`."""
    import importlib

    mod = importlib.import_module(f"vexasdk.{module}")
    capsule = mod.__pyx_capi__[name]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, get_name(capsule))


def _address(context: _DeviceContext) -> int:
    return _device_opener.sdk_address(context) or 0


def set_mode(context: _DeviceContext, mode: int) -> None:
    """Switches every chip of the device to the SDK mode value `mode`."""
    _check(_chip_set_mode(_address(context), int(mode)), "Failed to set the chip mode.")


def start(context: _DeviceContext, trampoline_address: int, callback: Callable[..., object],
          width: int = 0, height: int = 0, dwell_time: int = 0) -> None:
    """Starts an acquisition that calls the trampoline with `callback` as user
    data, as the acquisition runner does; `callback` is kept alive until
    `await_end` or `abort` returns."""
    params = (ctypes.c_uint32 * 4)()
    ctypes.memmove(params, np.array([width, height], "<u4").tobytes() + np.array([dwell_time], "<u8").tobytes(), 16)
    key = _address(context)
    with _running_lock:
        _running[key] = callback
    rc = _acq_start(key, trampoline_address, ACQ_MODE_PROCESSED, ctypes.addressof(params), id(callback))
    if rc != SUCCESS:
        with _running_lock:
            _running.pop(key, None)
        _check(rc, "Failed to start the acquisition.")


def await_end(context: _DeviceContext) -> None:
    """Waits, with the interpreter lock released, until the acquisition has ended."""
    key = _address(context)
    rc = _acq_await_end(key)
    with _running_lock:
        _running.pop(key, None)
    _check(rc, "Failed to await the end of the acquisition.")


def abort(context: _DeviceContext) -> None:
    """Aborts the acquisition and waits for its end."""
    key = _address(context)
    rc = _acq_abort(key)
    if rc == SUCCESS:
        rc = _acq_await_end(key)
    with _running_lock:
        _running.pop(key, None)
    _check(rc, "Failed to abort the acquisition.")


def deliver(context: _DeviceContext, module: str, name: str, callback: Callable[..., object],
            threads: int = 1, device: int = 0) -> None:
    """Delivers every queued block through the trampoline `name` of
    `vexasdk.<module>` to `callback`, from `threads` native threads, and returns
    when all were delivered."""
    set_delivery_threads(threads, device)
    start(context, trampoline(module, name), callback)
    await_end(context)


def deliver_here(context: _DeviceContext, module: str, name: str, callback: Callable[..., object]) -> None:
    """Delivers the block at the head of the queue on the calling thread."""
    rc = _sim_deliver_here(_address(context), trampoline(module, name), id(callback))
    _check(rc, "Failed to deliver the block.")


# ---- monitors ----

MON_INT = 1
MON_FLOAT = 2

_AVAIL_CHANGED = 1
_VALUE_CHANGED = 2
_F_NAME, _F_TYPE, _F_RANGE, _F_VALUE, _F_FLAGS, _F_TIMESTAMP, _F_NULL_INFO, _F_NULL_FLAGS = (1 << i for i in range(8))


class _MonRangeF(ctypes.Structure):
    _fields_ = [("min", ctypes.c_float), ("max", ctypes.c_float)]


class _MonRangeI(ctypes.Structure):
    _fields_ = [("min", _u32), ("max", _u32)]


class _MonRange(ctypes.Union):
    _fields_ = [("f", _MonRangeF), ("i", _MonRangeI)]


class _MonValue(ctypes.Union):
    _fields_ = [("i", _u32), ("f", ctypes.c_float)]


class _MonInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", _u32), ("range", _MonRange)]


class _MonFlags(ctypes.Structure):
    _fields_ = [("is_warning", ctypes.c_bool), ("is_error", ctypes.c_bool), ("is_available", ctypes.c_bool)]


class _MonEvent(ctypes.Structure):
    _fields_ = [("mon_id", _u32), ("kind", _u32), ("fields", _u32), ("name", ctypes.c_char_p), ("type", _u32),
                ("range", _MonRange), ("value", _MonValue), ("flags", _MonFlags), ("timestamp", _u32)]


assert ctypes.sizeof(_MonInfo) == 24 and ctypes.sizeof(_MonEvent) == 48 and _MonEvent.timestamp.offset == 44

_sim_mon_set_info = _declare("vexasdk_sim_mon_set_info", _i32, _u32, _u32, ctypes.POINTER(_MonInfo))
_sim_mon_remove = _declare("vexasdk_sim_mon_remove", _i32, _u32, _u32)
_sim_mon_set_value = _declare("vexasdk_sim_mon_set_value", _i32, _u32, _u32, ctypes.POINTER(_MonValue))
_sim_mon_set_flags = _declare("vexasdk_sim_mon_set_flags", _i32, _u32, _u32, ctypes.POINTER(_MonFlags))
_sim_mon_set_rate = _declare("vexasdk_sim_mon_set_rate", _i32, _u32, ctypes.c_double)
_sim_mon_fire = _declare("vexasdk_sim_mon_fire", _i32, _u32, ctypes.POINTER(_MonEvent), _u32)
_sim_mon_await = _declare("vexasdk_sim_mon_await", _i32, _u32, ctypes.c_double)
_sim_mon_fire_here = _declare("vexasdk_sim_mon_fire_here", _i32, _u32, ctypes.POINTER(_MonEvent))
_sim_mon_callbacks = _declare("vexasdk_sim_mon_callbacks", _u64, _u32)


class _Own:
    def __repr__(self) -> str:
        return "OWN"


OWN: Any = _Own()
"""Default of the event parts the monitor supplies itself at delivery time."""


def _u32_of(value: object, what: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 2**32:
        raise ValueError(f"{what} must be an int in 0..{2**32 - 1}, got {value!r}")
    return value


def _number_into(target: Any, value: object, what: str) -> None:
    """Stores an int as the union's `i`, a float as its `f`."""
    if isinstance(value, float):
        target.f = value
    else:
        target.i = _u32_of(value, what)


def _range_into(target: _MonRange, bounds: object) -> None:
    if not isinstance(bounds, tuple) or len(bounds) != 2:
        raise ValueError(f"range must be a (min, max) tuple, got {bounds!r}")
    low, high = bounds
    if isinstance(low, float) and isinstance(high, float):
        target.f.min, target.f.max = low, high
    elif isinstance(low, float) or isinstance(high, float):
        raise ValueError(f"range bounds must be both floats or both ints, got {bounds!r}")
    else:
        target.i.min, target.i.max = _u32_of(low, "range minimum"), _u32_of(high, "range maximum")


def _name_bytes(name: object) -> bytes | None:
    if name is None:
        return None
    if isinstance(name, str):
        name = name.encode()
    if not isinstance(name, bytes) or b"\0" in name:
        raise ValueError(f"name must be str, bytes without NUL, or None, got {name!r}")
    return name


def set_monitor(mon_id: int, name: str | bytes | None, type: int, range: tuple[float, float] | tuple[int, int],
                device: int = 0) -> None:
    """Adds monitor `mon_id` or replaces its description (a new one reads 0).

    Args:
        mon_id: The monitor identifier, 0..2**32-1.
        name: The name's bytes (str is UTF-8 encoded); None makes the SDK
            describe the monitor with a null name.
        type: The SDK's type value: MON_INT, MON_FLOAT or any other.
        range: (min, max), two floats (stored single precision) or two ints.
        device: The virtual device.
    """
    info = _MonInfo()
    info.name = _name_bytes(name)
    info.type = _u32_of(type, "type")
    _range_into(info.range, range)
    _check(_sim_mon_set_info(_index(device), _u32_of(mon_id, "mon_id"), ctypes.byref(info)),
           f"Failed to describe monitor {mon_id}.")


def remove_monitor(mon_id: int, device: int = 0) -> None:
    """Removes a monitor together with its registered callbacks."""
    _check(_sim_mon_remove(_index(device), _u32_of(mon_id, "mon_id")), f"Failed to remove monitor {mon_id}.")


def set_monitor_value(mon_id: int, value: float | int, device: int = 0) -> None:
    """What reading the monitor answers: a float is stored single precision, an
    int (0..2**32-1) as unsigned 32 bits, whatever the monitor's type."""
    raw = _MonValue()
    _number_into(raw, value, "value")
    _check(_sim_mon_set_value(_index(device), _u32_of(mon_id, "mon_id"), ctypes.byref(raw)),
           f"Failed to set the value of monitor {mon_id}.")


def set_monitor_flags(mon_id: int, *, is_warning: bool = False, is_error: bool = False, is_available: bool = True,
                      device: int = 0) -> None:
    """The flags (and availability) the monitor's own events carry."""
    flags = _MonFlags(bool(is_warning), bool(is_error), bool(is_available))
    _check(_sim_mon_set_flags(_index(device), _u32_of(mon_id, "mon_id"), ctypes.byref(flags)),
           f"Failed to set the flags of monitor {mon_id}.")


def set_monitor_rate(events_per_second: float, device: int = 0) -> None:
    """How many events per second the device's monitor thread makes up on its own
    while a context is open: drifting values of random monitors and now and then
    an availability change. 0 (the default after a reset) makes none."""
    rate = float(events_per_second)
    if not 0.0 <= rate <= 1e6:
        raise ValueError(f"events_per_second must be in 0..1e6, got {events_per_second!r}")
    _check(_sim_mon_set_rate(_index(device), rate), "Failed to set the monitor event rate.")


def monitor_callbacks(device: int = 0) -> int:
    """Monitor callback calls that returned since the device was last reset."""
    return int(_sim_mon_callbacks(_index(device)))


def await_monitor_events(timeout: float = 10.0, device: int = 0) -> None:
    """Waits, with the interpreter lock released, until every event fired so far
    has been delivered; SdkError (EBUSY) once `timeout` seconds have passed."""
    _check(_sim_mon_await(_index(device), float(timeout)), "Monitor events were not delivered in time.")


def _event(kind: int, mon_id: int, *, name: object, type: object, range: object, value: object, flags: object,
           timestamp: object, null_info: bool, null_flags: bool) -> _MonEvent:
    event = _MonEvent()
    event.mon_id = _u32_of(mon_id, "mon_id")
    event.kind = kind
    fields = 0
    if name is not OWN:
        event.name = _name_bytes(name)
        fields |= _F_NAME
    if type is not OWN:
        event.type = _u32_of(type, "type")
        fields |= _F_TYPE
    if range is not OWN:
        _range_into(event.range, range)
        fields |= _F_RANGE
    if value is not OWN:
        _number_into(event.value, value, "value")
        fields |= _F_VALUE
    if flags is not OWN:
        if not isinstance(flags, tuple) or len(flags) != 3:
            raise ValueError(f"flags must be (is_warning, is_error, is_available), got {flags!r}")
        event.flags.is_warning, event.flags.is_error, event.flags.is_available = (bool(f) for f in flags)
        fields |= _F_FLAGS
    if timestamp is not OWN:
        event.timestamp = _u32_of(timestamp, "timestamp")
        fields |= _F_TIMESTAMP
    if null_info:
        fields |= _F_NULL_INFO
    if null_flags:
        fields |= _F_NULL_FLAGS
    event.fields = fields
    return event


def _fire(event: _MonEvent, device: int, here: bool, wait: bool, timeout: float) -> None:
    index = _index(device)
    if here:
        _check(_sim_mon_fire_here(index, ctypes.byref(event)), "Failed to deliver the monitor event.")
        return
    _check(_sim_mon_fire(index, ctypes.byref(event), 1), "Failed to fire the monitor event.")
    if wait:
        await_monitor_events(timeout, device)


def fire_value_changed(mon_id: int, value: float | int = OWN, *, name: str | bytes | None = OWN, type: int = OWN,
                       range: tuple[float, float] | tuple[int, int] = OWN, flags: tuple[bool, bool, bool] = OWN,
                       timestamp: int = OWN, null_info: bool = False, null_flags: bool = False, device: int = 0,
                       here: bool = False, wait: bool = True, timeout: float = 10.0) -> None:
    """Fires one value-changed event of monitor `mon_id` at the callback
    registered for it (an event with none registered is dropped).

    Every part left at OWN is the monitor's own at delivery time; the others
    are delivered exactly as given: `value` and `range` as in
    set_monitor_value, `type` any 32-bit value, `name` any bytes or None for a
    null pointer, `flags` (is_warning, is_error, is_available). `null_info`
    and `null_flags` deliver null record pointers.

    The device's monitor thread delivers it, and the call returns once the
    callback has returned (unless `wait` is false); with `here` the calling
    thread delivers it instead. A context must be open on the device.
    """
    event = _event(_VALUE_CHANGED, mon_id, name=name, type=type, range=range, value=value, flags=flags,
                   timestamp=timestamp, null_info=null_info, null_flags=null_flags)
    _fire(event, device, here, wait, timeout)


def fire_avail_changed(mon_id: int, is_available: bool = OWN, *, name: str | bytes | None = OWN, type: int = OWN,
                       range: tuple[float, float] | tuple[int, int] = OWN, timestamp: int = OWN,
                       null_info: bool = False, device: int = 0, here: bool = False, wait: bool = True,
                       timeout: float = 10.0) -> None:
    """Fires one availability-changed event of monitor `mon_id`, like
    fire_value_changed; `is_available` left at OWN is the monitor's own."""
    flags = OWN if is_available is OWN else (False, False, bool(is_available))
    event = _event(_AVAIL_CHANGED, mon_id, name=name, type=type, range=range, value=OWN, flags=flags,
                   timestamp=timestamp, null_info=null_info, null_flags=False)
    _fire(event, device, here, wait, timeout)
