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
_sim_queue_toa_tot = _declare("vexasdk_sim_queue_toa_tot", _i32, _u32, _ptr, _u64, _u64, _ptr, _u64, _i32)
_sim_queue_binned = _declare("vexasdk_sim_queue_binned", _i32, _u32, _ptr, _u64, _ptr, _u64, _ptr, _ptr, _u64, _i32)
_sim_queue_itot_fragment = _declare("vexasdk_sim_queue_itot_fragment", _i32, _u32, _ptr, _u64, _i32)
_sim_queue_evcount_fragment = _declare("vexasdk_sim_queue_evcount_fragment", _i32, _u32, _ptr, _u64, _i32)
_sim_clear_queue = _declare("vexasdk_sim_clear_queue", _i32, _u32)
_sim_generate = _declare("vexasdk_sim_generate", _i32, _u32, _c.c_double, _u64, _u64)
_sim_blocks_delivered = _declare("vexasdk_sim_blocks_delivered", _u64, _u32)
_sim_trigger_count = _declare("vexasdk_sim_trigger_count", _u64, _u32)
_sim_deliver_here = _declare("vexasdk_sim_deliver_here", _i32, _ptr, _ptr, _ptr)
_sim_set_enum_record = _declare("vexasdk_sim_set_enum_record", _i32, _u32, _c.c_char_p, _c.c_size_t)
_sim_get_enum_record = _declare("vexasdk_sim_get_enum_record", _i32, _u32, _c.c_char_p, _c.c_size_t)
_sim_set_enum_reported_count = _declare("vexasdk_sim_set_enum_reported_count", _i32, _i64)
_sim_set_bias_count = _declare("vexasdk_sim_set_bias_count", _i32, _u32, _u32)
_sim_set_bias_range = _declare("vexasdk_sim_set_bias_range", _i32, _u32, _u32, _c.c_float, _c.c_float)
_sim_set_bias_desired = _declare("vexasdk_sim_set_bias_desired", _i32, _u32, _u32, _c.c_float)
_sim_set_bias_actual = _declare("vexasdk_sim_set_bias_actual", _i32, _u32, _u32, _c.c_float)
_sim_get_bias = _declare("vexasdk_sim_get_bias", _i32, _u32, _u32, _c.POINTER(_c.c_float), _c.POINTER(_c.c_float))
_sim_set_unit_count = _declare("vexasdk_sim_set_unit_count", _i32, _u32, _u32)
_sim_set_unit_powered = _declare("vexasdk_sim_set_unit_powered", _i32, _u32, _u32, _c.c_bool)
_sim_get_unit_powered = _declare("vexasdk_sim_get_unit_powered", _i32, _u32, _u32, _c.POINTER(_c.c_bool))
_acq_start = _declare("vexasdk_acq_start", _i32, _ptr, _ptr, _i32, _ptr, _ptr)
_acq_await_end = _declare("vexasdk_acq_await_end", _i32, _ptr)
_acq_abort = _declare("vexasdk_acq_abort", _i32, _ptr)
_chip_set_mode = _declare("vexasdk_chip_set_mode", _i32, _ptr, _u32)
_sim_device_of = _declare("vexasdk_sim_device_of", _i32, _ptr)


def _check(rc: int, what: str) -> None:
    if rc != SUCCESS:
        raise SdkError(what, rc)


def _int_in(value: Any, what: str, low: int, high: int) -> int:
    """`value` as an int in low..high; numpy integers count, bools do not."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not low <= int(value) <= high:
        raise ValueError(f"{what} must be an integer in {low}..{high}, got {value!r}")
    return int(value)


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{what} must be a number, got {type(value).__name__}")
    return float(value)


def _index(device: int) -> int:
    return _int_in(device, "device", 0, 2**32 - 1)


def _small_index(value: int, what: str) -> int:
    return _int_in(value, what, 0, 255)




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
    _check(_sim_reset(), "Failed to reset the virtual detector.")
    # Refused from inside a callback, and then acquisitions still run: only
    # now may their callbacks go.
    with _running_lock:
        _running.clear()
    # Every context is closed now: nothing the package registered can be called.
    _device_opener.forget_monitor_callables(None)


def set_device_count(count: int) -> None:
    """Sets how many virtual devices exist; new ones get the default model and
    contexts on removed ones are closed."""
    _check(_sim_set_device_count(_index(count)), "Failed to set the number of virtual devices.")
    for address in _device_opener.open_context_addresses():
        if _sim_device_of(address) < 0:  # closed with its device
            _device_opener.forget_monitor_callables(address)
    with _running_lock:
        for key in [key for key in _running if _sim_device_of(key) < 0]:
            del _running[key]


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
    """The newest calls (at most 100000, or 64 MiB of text), oldest first, each
    as {"fn": name, "args": {name: value}}. Pointers are addresses (None for
    null), byte ranges hex strings, floats exact."""
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

class _Kept:
    """A callback handed to the SDK by `start`; `started` once the SDK took it."""

    __slots__ = ("callback", "started")

    def __init__(self, callback: object) -> None:
        self.callback = callback
        self.started = False


# Callbacks of acquisitions started here, per context address. The SDK holds
# only their addresses, so each stays until the SDK has said that an
# acquisition started after it ended: an await or abort that began after its
# start returned success, or its context is closed. Failures (a refusal from
# inside a callback, a scripted fault) and other threads' starts in between
# release nothing.
_running: dict[int, list[_Kept]] = {}
_running_lock = threading.Lock()


def _started(key: int) -> list[_Kept]:
    with _running_lock:
        return [kept for kept in _running.get(key, ()) if kept.started]


def _release(key: int, entries: list[_Kept]) -> None:
    with _running_lock:
        kept = _running.get(key, [])
        kept[:] = [k for k in kept if not any(k is e for e in entries)]
        if not kept:
            _running.pop(key, None)


def _ended(rc: int, key: int) -> bool:
    """Whether an await or abort answering `rc` saw the acquisition end."""
    return rc == SUCCESS or (rc == ERR_ENODEV and _sim_device_of(key) < 0)


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


TOA_TOT_DTYPE = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
# The SDK's binned packet record: its second field is `count` (delivered to
# Python as `evcount`).
BIN_PACKET_DTYPE = np.dtype([("address", "<u4"), ("count", "<u4"), ("itot", "<u4")])
_TDC_RECORD_DTYPE = np.dtype([("timestamps", "<u8"), ("count", "<u8")])
_U64 = np.dtype("<u8")


def _u64_value(value: int, what: str) -> int:
    return _int_in(value, what, 0, 2**64 - 1)


def _fetch_rc(code: int) -> int:
    return _int_in(code, "fetch_rc", -(2**31), 2**31 - 1)


def _is_count(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _u64_array(values: Any, what: str) -> np.ndarray:
    """`values` as a C-contiguous array of little-endian uint64 (copied from any
    unsigned or non-negative integer array)."""
    array = np.asarray(values)
    if array.size == 0:
        return np.zeros(0, _U64)
    if array.dtype.kind not in "ui":
        raise TypeError(f"{what} must hold integers, got dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.dtype.kind == "i" and (array < 0).any():
        raise ValueError(f"{what} must not be negative")
    return np.ascontiguousarray(array, dtype=_U64)


def _data_or_null(values: Any, null_count: int | None, what: str,
                  keyword: str) -> tuple[np.ndarray | None, int | None, int]:
    """(array to keep alive, its address or None, count) of `values`, or of a
    null pointer with `null_count`."""
    if null_count is not None:
        if values is not None and len(values) != 0:
            raise ValueError(f"{what} and {keyword} exclude each other")
        return None, None, _u64_value(null_count, keyword)
    array = _u64_array(() if values is None else values, what)
    return array, array.ctypes.data, len(array)


def queue_toa_tot(packets: np.ndarray | None = None, shutter_time: int = 0, tdcs: Any = (), *,
                  fetch_rc: int = 0, null_packets_count: int | None = None, null_tdcs_count: int | None = None,
                  device: int = 0) -> None:
    """Queues a ToA-ToT block for the next acquisition (either ToA-ToT trampoline).

    Args:
        packets: Records of TOA_TOT_DTYPE, copied now; None for no packets.
        shutter_time: The block's shutter start, 0 to 2**64-1.
        tdcs: One entry per TDC: its timestamps (unsigned integers), or an int n
            for a TDC record with a null timestamp pointer and a count of n.
        fetch_rc: What the fetch answers instead of the block when not 0.
        null_packets_count: When given, the block has a null packet pointer
            with this count (`packets` must be None).
        null_tdcs_count: When given, the block has a null TDC list with this
            count (`tdcs` must be empty).
        device: The virtual device.
    """
    shutter = _u64_value(shutter_time, "shutter_time")
    rc = _fetch_rc(fetch_rc)
    if null_packets_count is not None:
        if packets is not None:
            raise ValueError("packets and null_packets_count exclude each other")
        data, packets_at, packet_count = None, None, _u64_value(null_packets_count, "null_packets_count")
    else:
        data = _bytes_of(np.zeros(0, TOA_TOT_DTYPE) if packets is None else packets, TOA_TOT_DTYPE, "packets")
        packets_at, packet_count = data.ctypes.data, len(data)
    tdcs = list(tdcs)
    if null_tdcs_count is not None:
        if tdcs:
            raise ValueError("tdcs and null_tdcs_count exclude each other")
        records, records_at, tdc_count = None, None, _u64_value(null_tdcs_count, "null_tdcs_count")
    else:
        timestamps = [None if _is_count(t) else _u64_array(t, f"tdcs[{i}]") for i, t in enumerate(tdcs)]
        records = np.zeros(len(tdcs), _TDC_RECORD_DTYPE)
        for i, (entry, array) in enumerate(zip(tdcs, timestamps)):
            if array is None:
                records[i] = (0, _u64_value(entry, f"tdcs[{i}]"))
            else:
                records[i] = (array.ctypes.data, len(array))
        records_at, tdc_count = records.ctypes.data, len(records)
    _check(_sim_queue_toa_tot(_index(device), packets_at, packet_count, shutter, records_at, tdc_count, rc),
           "Failed to queue a block.")


def queue_binned(evcounts: Any = (), itots: Any = (), bins: Any = (), *, fetch_rc: int = 0,
                 null_evcounts_count: int | None = None, null_itots_count: int | None = None,
                 null_bins_count: int | None = None, device: int = 0) -> None:
    """Queues a binned block for the next acquisition (binned_data_cb).

    The packets of all bins lie back to back in one buffer, in bin order; the
    packet pointers of empty bins point into a page that cannot be read.

    Args:
        evcounts: The event-count fragment's values (unsigned integers).
        itots: The iToT fragment's values.
        bins: One entry per bin: its packets (records of BIN_PACKET_DTYPE), or
            only its packet count. Given as counts, every non-empty bin has a
            null packet pointer; counts and packet arrays do not mix.
        fetch_rc: What the fetch answers instead of the block when not 0.
        null_evcounts_count, null_itots_count: When given, that fragment has a
            null pointer with this count (its values must be empty).
        null_bins_count: When given, the block has a null bin list with this
            count (`bins` must be empty).
        device: The virtual device.
    """
    rc = _fetch_rc(fetch_rc)
    ev, ev_at, ev_count = _data_or_null(evcounts, null_evcounts_count, "evcounts", "null_evcounts_count")
    it, it_at, it_count = _data_or_null(itots, null_itots_count, "itots", "null_itots_count")
    bins = list(bins)
    packets_at = None
    if null_bins_count is not None:
        if bins:
            raise ValueError("bins and null_bins_count exclude each other")
        counts, counts_at, bin_count = None, None, _u64_value(null_bins_count, "null_bins_count")
    else:
        as_counts = [_is_count(b) for b in bins]
        if all(as_counts):
            counts = np.array([_u64_value(b, f"bins[{i}]") for i, b in enumerate(bins)], _U64)
            packets = None
        else:
            arrays = []
            for i, b in enumerate(bins):
                if _is_count(b):
                    if int(b) != 0:
                        raise ValueError("bins given as packet arrays and as non-zero counts do not mix")
                    b = np.zeros(0, BIN_PACKET_DTYPE)
                elif len(b) == 0:
                    b = np.zeros(0, BIN_PACKET_DTYPE)
                arrays.append(_bytes_of(b, BIN_PACKET_DTYPE, f"bins[{i}]"))
            counts = np.array([len(a) for a in arrays], _U64)
            packets = np.concatenate(arrays) if arrays else np.zeros(0, BIN_PACKET_DTYPE)
            packets_at = packets.ctypes.data
        counts_at, bin_count = counts.ctypes.data, len(counts)
    _check(_sim_queue_binned(_index(device), ev_at, ev_count, it_at, it_count, packets_at, counts_at, bin_count, rc),
           "Failed to queue a block.")


def queue_itot_fragment(itots: Any = (), *, fetch_rc: int = 0, null_count: int | None = None,
                        device: int = 0) -> None:
    """Queues an iToT fragment for the next acquisition (binned_itot_cb); with
    `null_count` the fragment has a null pointer with that count."""
    rc = _fetch_rc(fetch_rc)
    data, at, count = _data_or_null(itots, null_count, "itots", "null_count")
    _check(_sim_queue_itot_fragment(_index(device), at, count, rc), "Failed to queue a block.")


def queue_evcount_fragment(evcounts: Any = (), *, fetch_rc: int = 0, null_count: int | None = None,
                           device: int = 0) -> None:
    """Queues an event-count fragment for the next acquisition
    (binned_evcount_cb); with `null_count` the fragment has a null pointer with
    that count."""
    rc = _fetch_rc(fetch_rc)
    data, at, count = _data_or_null(evcounts, null_count, "evcounts", "null_count")
    _check(_sim_queue_evcount_fragment(_index(device), at, count, rc), "Failed to queue a block.")


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


def null_callback() -> int:
    """The address of a C callback that does nothing: delivering to it measures
    the virtual detector's own cost."""
    return ctypes.cast(_lib.vexasdk_sim_null_callback, ctypes.c_void_p).value or 0


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
    entry = _Kept(callback)
    with _running_lock:
        _running.setdefault(key, []).append(entry)
    rc = _acq_start(key, trampoline_address, ACQ_MODE_PROCESSED, ctypes.addressof(params), id(callback))
    if rc != SUCCESS:
        _release(key, [entry])
        _check(rc, "Failed to start the acquisition.")
    entry.started = True


def await_end(context: _DeviceContext) -> None:
    """Waits, with the interpreter lock released, until the acquisition has ended."""
    key = _address(context)
    started = _started(key)
    rc = _acq_await_end(key)
    if _ended(rc, key):
        _release(key, started)
    _check(rc, "Failed to await the end of the acquisition.")


def abort(context: _DeviceContext) -> None:
    """Aborts the acquisition and waits for its end."""
    key = _address(context)
    started = _started(key)
    rc = _acq_abort(key)
    if rc == SUCCESS:
        # From inside a callback this is refused: the acquisition ends later.
        rc = _acq_await_end(key)
    if _ended(rc, key):
        _release(key, started)
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


# ---- enumeration ----

ENUM_RECORD_SIZE = 160
# (field, width) of an enumeration record, in order.
ENUM_FIELDS = (("serial", 16), ("product", 64), ("connection_string", 16), ("instance_path", 64))


def make_enum_record(serial: bytes | str = b"", product: bytes | str = b"", connection_string: bytes | str = b"",
                     instance_path: bytes | str = b"") -> bytes:
    """A raw enumeration record. Each field is bytes (str is UTF-8 encoded) of at
    most its width, padded with NUL bytes; a field of the full width has none."""
    out = b""
    for (name, width), value in zip(ENUM_FIELDS, (serial, product, connection_string, instance_path)):
        raw = value.encode() if isinstance(value, str) else bytes(value)
        if len(raw) > width:
            raise ValueError(f"{name} holds at most {width} bytes, got {len(raw)}")
        out += raw.ljust(width, b"\0")
    return out


def set_enum_record(record: bytes, device: int = 0) -> None:
    """Replaces the enumeration record of `device` with 160 raw bytes, taken as
    they are (see make_enum_record). Opening then matches its connection string."""
    raw = bytes(record)
    if len(raw) != ENUM_RECORD_SIZE:
        raise ValueError(f"an enumeration record is {ENUM_RECORD_SIZE} bytes, got {len(raw)}")
    _check(_sim_set_enum_record(_index(device), raw, len(raw)), "Failed to set the enumeration record.")


def enum_record(device: int = 0) -> bytes:
    """The 160 raw bytes of the enumeration record of `device`."""
    buf = ctypes.create_string_buffer(ENUM_RECORD_SIZE)
    _check(_sim_get_enum_record(_index(device), buf, ENUM_RECORD_SIZE), "Failed to read the enumeration record.")
    return buf.raw


def set_enumeration(records: list[bytes]) -> None:
    """Makes exactly these raw records the enumerated devices, one virtual device
    each, in order (contexts on removed devices are closed)."""
    raws = [bytes(record) for record in records]
    for raw in raws:
        if len(raw) != ENUM_RECORD_SIZE:
            raise ValueError(f"an enumeration record is {ENUM_RECORD_SIZE} bytes, got {len(raw)}")
    set_device_count(len(raws))
    for device, raw in enumerate(raws):
        set_enum_record(raw, device)


def set_enum_reported_count(count: int | None) -> None:
    """Makes the enumeration report `count` devices whatever it wrote (it never
    writes more than the caller's capacity); None restores the true count."""
    if count is not None and (not isinstance(count, int) or isinstance(count, bool) or not 0 <= count < 2**63):
        raise ValueError(f"count must be None or in 0..{2**63 - 1}, got {count!r}")
    _check(_sim_set_enum_reported_count(-1 if count is None else count), "Failed to script the enumeration count.")


# ---- bias sources ----


def set_bias_count(count: int, device: int = 0) -> None:
    """Sets how many bias sources the device has (0 to 255); new ones span
    -200 V to 200 V."""
    _check(_sim_set_bias_count(_index(device), _small_index(count, "count")), "Failed to set the bias source count.")


def set_bias_range(bias_id: int, min_volts: float, max_volts: float, device: int = 0) -> None:
    """Sets the range the SDK checks desired values against (min <= max)."""
    low, high = _number(min_volts, "min_volts"), _number(max_volts, "max_volts")
    if not low <= high:
        raise ValueError(f"min_volts must not exceed max_volts, got {low!r} and {high!r}")
    _check(_sim_set_bias_range(_index(device), _small_index(bias_id, "bias_id"), low, high),
           "Failed to set the bias range.")


def set_bias_desired(bias_id: int, volts: float, device: int = 0) -> None:
    """Sets the desired value without the range check; the actual value starts
    following it."""
    _check(_sim_set_bias_desired(_index(device), _small_index(bias_id, "bias_id"), _number(volts, "volts")),
           "Failed to set the desired bias.")


def set_bias_actual(bias_id: int, volts: float, device: int = 0) -> None:
    """Makes the actual value read exactly `volts` (as float32), without lag or
    noise, until the desired value next changes."""
    _check(_sim_set_bias_actual(_index(device), _small_index(bias_id, "bias_id"), _number(volts, "volts")),
           "Failed to set the actual bias.")


def bias(bias_id: int, device: int = 0) -> tuple[float, float]:
    """The (desired, actual) values of a bias source, in volts."""
    desired, actual = ctypes.c_float(), ctypes.c_float()
    _check(_sim_get_bias(_index(device), _small_index(bias_id, "bias_id"), ctypes.byref(desired),
                         ctypes.byref(actual)), "Failed to read the bias.")
    return desired.value, actual.value


# ---- power units ----


def set_unit_count(count: int, device: int = 0) -> None:
    """Sets how many power units the device has (0 to 255); new ones are unpowered."""
    _check(_sim_set_unit_count(_index(device), _small_index(count, "count")), "Failed to set the power unit count.")


def set_unit_powered(unit_id: int, powered: bool, device: int = 0) -> None:
    """Powers a unit up or down, as the device would report it."""
    if not isinstance(powered, bool):
        raise TypeError(f"powered must be bool, got {type(powered).__name__}")
    _check(_sim_set_unit_powered(_index(device), _small_index(unit_id, "unit_id"), powered),
           "Failed to set the power state.")


def unit_powered(unit_id: int, device: int = 0) -> bool:
    """Whether a power unit is powered up."""
    powered = ctypes.c_bool()
    _check(_sim_get_unit_powered(_index(device), _small_index(unit_id, "unit_id"), ctypes.byref(powered)),
           "Failed to read the power state.")
    return powered.value

# ---- chips ----


class _ChipInfo(ctypes.Structure):
    _fields_ = [("name", _c.c_char * 32), ("supported_modes", _u32), ("supported_polarities", _u32),
                ("min_kev", _c.c_float), ("max_kev", _c.c_float), ("noise_kev", _c.c_float), ("min_raw", _u32),
                ("max_raw", _u32), ("is_calibrated", _c.c_bool), ("width", _u32), ("height", _u32)]


class _ChipState(ctypes.Structure):
    _fields_ = [("polarity", _u32), ("mode", _u32), ("thld_raw", _u32), ("kev_per_raw", _c.c_float),
                ("raw_offset", _c.c_float), ("configure_count", _u32)]


class _ChipSettings(ctypes.Structure):
    _fields_ = [("polarity", _u32), ("mode", _u32)]


assert ctypes.sizeof(_ChipInfo) == 72 and ctypes.sizeof(_ChipState) == 24 and ctypes.sizeof(_ChipSettings) == 8

_sim_set_chip_count = _declare("vexasdk_sim_set_chip_count", _i32, _u32, _u32)
_sim_get_chip_info = _declare("vexasdk_sim_get_chip_info", _i32, _u32, _u32, _c.POINTER(_ChipInfo))
_sim_set_chip_info = _declare("vexasdk_sim_set_chip_info", _i32, _u32, _u32, _c.POINTER(_ChipInfo))
_sim_get_chip_state = _declare("vexasdk_sim_get_chip_state", _i32, _u32, _u32, _c.POINTER(_ChipState))
_sim_set_chip_state = _declare("vexasdk_sim_set_chip_state", _i32, _u32, _u32, _c.POINTER(_ChipState))
_sim_get_chip_mask = _declare("vexasdk_sim_get_chip_mask", _i32, _u32, _u32, _ptr, _c.c_size_t)
_sim_set_chip_mask = _declare("vexasdk_sim_set_chip_mask", _i32, _u32, _u32, _ptr, _c.c_size_t)
_sim_script_chip_settings = _declare("vexasdk_sim_script_chip_settings", _i32, _u32, _c.POINTER(_ChipSettings),
                                     _u32)
_sim_clear_chip_settings = _declare("vexasdk_sim_clear_chip_settings", _i32, _u32)

_CHIP_INFO_FIELDS = ("name", "supported_modes", "supported_polarities", "min_kev", "max_kev", "noise_kev",
                     "min_raw", "max_raw", "is_calibrated", "width", "height")
_CHIP_STATE_FIELDS = ("polarity", "mode", "thld_raw", "kev_per_raw", "raw_offset", "configure_count")


def _u32_value(value: Any, what: str) -> int:
    """An enumeration member's value or an int, checked to fit 32 unsigned bits."""
    return _int_in(getattr(value, "value", value), what, 0, 2**32 - 1)




def _bits(values: Any, what: str) -> int:
    """A set of enumerator values (or members) as the SDK's bit mask."""
    mask = 0
    for value in values:
        value = _u32_value(value, what)
        if value >= 32:
            raise ValueError(f"{what} must be below 32 to fit the bit mask, got {value}")
        mask |= 1 << value
    return mask


def _chips(chip: int | None, device: int) -> range | list[int]:
    if chip is not None:
        return [_index(chip)]
    return range(len(_chip_infos(device)))


def _chip_infos(device: int) -> list[_ChipInfo]:
    infos: list[_ChipInfo] = []
    while True:
        info = _ChipInfo()
        if _sim_get_chip_info(_index(device), len(infos), ctypes.byref(info)) != SUCCESS:
            return infos
        infos.append(info)


def set_chip_count(count: int, device: int = 0) -> None:
    """Sets how many chips the device has (0 to 255); added chips come as out of
    the box, removed ones lose their state."""
    if not isinstance(count, int) or not 0 <= count <= 255:
        raise ValueError(f"count must be in 0..255, got {count!r}")
    _check(_sim_set_chip_count(_index(device), count), "Failed to set the number of chips.")


def chip_info(chip: int, device: int = 0) -> dict[str, Any]:
    """The description the SDK gives of a chip: name (str), supported_modes and
    supported_polarities (sorted lists of enumerator values), threshold limits,
    is_calibrated, width and height."""
    info = _ChipInfo()
    _check(_sim_get_chip_info(_index(device), _index(chip), ctypes.byref(info)), "Failed to read the chip description.")
    result: dict[str, Any] = {field: getattr(info, field) for field in _CHIP_INFO_FIELDS}
    result["name"] = info.name.decode("utf-8", "replace")
    for field in ("supported_modes", "supported_polarities"):
        result[field] = [v for v in range(32) if result[field] >> v & 1]
    return result


def set_chip_info(chip: int | None = None, device: int = 0, **fields: Any) -> None:
    """Changes fields of a chip's description (of every chip when `chip` is None),
    as chip_info names them; modes and polarities are iterables of enumerator
    values or members. A new sensor size resets the mask to all unmasked.
    Devices opened earlier keep the descriptions they read."""
    unknown = set(fields) - set(_CHIP_INFO_FIELDS)
    if unknown:
        raise TypeError(f"unknown chip description fields: {', '.join(sorted(unknown))}")
    for index in _chips(chip, device):
        info = _ChipInfo()
        _check(_sim_get_chip_info(_index(device), index, ctypes.byref(info)), "Failed to read the chip description.")
        for field, value in fields.items():
            if field == "name":
                name = value.encode() if isinstance(value, str) else None
                if name is None or len(name) > 31 or b"\0" in name:
                    raise ValueError(f"name must be a str of at most 31 UTF-8 bytes without NUL, got {value!r}")
                info.name = name
            elif field in ("supported_modes", "supported_polarities"):
                setattr(info, field, _bits(value, field))
            elif field in ("min_kev", "max_kev", "noise_kev"):
                setattr(info, field, _number(value, field))
            elif field == "is_calibrated":
                info.is_calibrated = bool(value)
            else:
                setattr(info, field, _u32_value(value, field))
        _check(_sim_set_chip_info(_index(device), index, ctypes.byref(info)), "Failed to set the chip description.")


def set_chip_size(width: int, height: int, chip: int | None = None, device: int = 0) -> None:
    """Sets the sensor size of a chip (of every chip when `chip` is None), 0 to
    4096 pixels each way; the mask is reset to all unmasked."""
    set_chip_info(chip, device, width=width, height=height)


def set_supported_modes(modes: Any, chip: int | None = None, device: int = 0) -> None:
    """Sets the operational modes a chip (every chip when `chip` is None) reports
    as supported: enumerator values or members."""
    set_chip_info(chip, device, supported_modes=list(modes))


def chip_state(chip: int, device: int = 0) -> dict[str, Any]:
    """What a chip's getters answer: polarity, mode, thld_raw, the calibration
    kev_per_raw and raw_offset (kev = (thld_raw - raw_offset) * kev_per_raw), and
    configure_count, the configurations that succeeded."""
    state = _ChipState()
    _check(_sim_get_chip_state(_index(device), _index(chip), ctypes.byref(state)), "Failed to read the chip state.")
    return {field: getattr(state, field) for field in _CHIP_STATE_FIELDS}


def set_chip_state(chip: int | None = None, device: int = 0, **fields: Any) -> None:
    """Sets fields of a chip's state (of every chip when `chip` is None), as
    chip_state names them. Polarity and mode may be any 32-bit value, members
    too; kev_per_raw must be finite and above 0."""
    unknown = set(fields) - set(_CHIP_STATE_FIELDS)
    if unknown:
        raise TypeError(f"unknown chip state fields: {', '.join(sorted(unknown))}")
    for index in _chips(chip, device):
        state = _ChipState()
        _check(_sim_get_chip_state(_index(device), index, ctypes.byref(state)), "Failed to read the chip state.")
        for field, value in fields.items():
            if field in ("kev_per_raw", "raw_offset"):
                setattr(state, field, _number(value, field))
            else:
                setattr(state, field, _u32_value(value, field))
        _check(_sim_set_chip_state(_index(device), index, ctypes.byref(state)), "Failed to set the chip state.")


def chip_mask(chip: int, device: int = 0) -> np.ndarray:
    """A chip's mask in the SDK's layout: width * height bytes, column-major
    (pixel x, y at x * height + y), 0 masks the pixel."""
    info = chip_info(chip, device)
    mask = np.empty(info["width"] * info["height"], np.uint8)
    _check(_sim_get_chip_mask(_index(device), _index(chip), mask.ctypes.data, mask.size), "Failed to read the mask.")
    return mask


def set_chip_mask(mask: Any, chip: int, device: int = 0) -> None:
    """Sets a chip's mask from width * height bytes in the SDK's layout (any
    shape; read in C order)."""
    data = np.ascontiguousarray(np.asarray(mask, dtype=np.uint8).reshape(-1))
    _check(_sim_set_chip_mask(_index(device), _index(chip), data.ctypes.data, data.size), "Failed to set the mask.")


def script_chip_settings(records: Any, device: int = 0) -> None:
    """Makes the SDK report these (polarity, mode) records for the chips'
    settings instead of their own, however many chips there are (0 to 255
    records; values need not name a member). None goes back to the chips'
    own."""
    if records is None:
        _check(_sim_clear_chip_settings(_index(device)), "Failed to clear the scripted settings.")
        return
    records = list(records)
    if len(records) > 255:
        raise ValueError(f"at most 255 settings records, got {len(records)}")
    array = (_ChipSettings * max(1, len(records)))()
    for i, record in enumerate(records):
        polarity, mode = record
        array[i] = _ChipSettings(_u32_value(polarity, "polarity"), _u32_value(mode, "mode"))
    _check(_sim_script_chip_settings(_index(device), array, len(records)), "Failed to script the settings.")

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




def _number_into(target: Any, value: object, what: str) -> None:
    """Stores an int as the union's `i`, a float as its `f`."""
    if isinstance(value, float):
        target.f = value
    else:
        target.i = _u32_value(value, what)


def _range_into(target: _MonRange, bounds: object) -> None:
    if not isinstance(bounds, tuple) or len(bounds) != 2:
        raise ValueError(f"range must be a (min, max) tuple, got {bounds!r}")
    low, high = bounds
    if isinstance(low, float) and isinstance(high, float):
        target.f.min, target.f.max = low, high
    elif isinstance(low, float) or isinstance(high, float):
        raise ValueError(f"range bounds must be both floats or both ints, got {bounds!r}")
    else:
        target.i.min, target.i.max = _u32_value(low, "range minimum"), _u32_value(high, "range maximum")


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
    info.type = _u32_value(type, "type")
    _range_into(info.range, range)
    _check(_sim_mon_set_info(_index(device), _u32_value(mon_id, "mon_id"), ctypes.byref(info)),
           f"Failed to describe monitor {mon_id}.")


def remove_monitor(mon_id: int, device: int = 0) -> None:
    """Removes a monitor together with its registered callbacks."""
    _check(_sim_mon_remove(_index(device), _u32_value(mon_id, "mon_id")), f"Failed to remove monitor {mon_id}.")


def set_monitor_value(mon_id: int, value: float | int, device: int = 0) -> None:
    """What reading the monitor answers: a float is stored single precision, an
    int (0..2**32-1) as unsigned 32 bits, whatever the monitor's type."""
    raw = _MonValue()
    _number_into(raw, value, "value")
    _check(_sim_mon_set_value(_index(device), _u32_value(mon_id, "mon_id"), ctypes.byref(raw)),
           f"Failed to set the value of monitor {mon_id}.")


def set_monitor_flags(mon_id: int, *, is_warning: bool = False, is_error: bool = False, is_available: bool = True,
                      device: int = 0) -> None:
    """The flags (and availability) the monitor's own events carry."""
    flags = _MonFlags(bool(is_warning), bool(is_error), bool(is_available))
    _check(_sim_mon_set_flags(_index(device), _u32_value(mon_id, "mon_id"), ctypes.byref(flags)),
           f"Failed to set the flags of monitor {mon_id}.")


def set_monitor_rate(events_per_second: float, device: int = 0) -> None:
    """How many events per second the device's monitor thread makes up on its own
    while a context is open: drifting values of random monitors and now and then
    an availability change. 0 makes none; the default, also after a reset, is 10."""
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
    event.mon_id = _u32_value(mon_id, "mon_id")
    event.kind = kind
    fields = 0
    if name is not OWN:
        event.name = _name_bytes(name)
        fields |= _F_NAME
    if type is not OWN:
        event.type = _u32_value(type, "type")
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
        event.timestamp = _u32_value(timestamp, "timestamp")
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
