"""Acquisitions started by the harness itself, for tests of exact trampolines."""

from __future__ import annotations

import ctypes
import threading
from collections.abc import Callable

import numpy as np

from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk.sim._native import (ACQ_MODE_PROCESSED, ERR_ENODEV, SUCCESS, _check, _declare, _i32, _lib, _ptr, _u32,
                                 _u32_value)
from vexasdk.sim.data import set_delivery_threads

_sim_deliver_here = _declare("vexasdk_sim_deliver_here", _i32, _ptr, _ptr, _ptr)
_acq_start = _declare("vexasdk_acq_start", _i32, _ptr, _ptr, _i32, _ptr, _ptr)
_acq_await_end = _declare("vexasdk_acq_await_end", _i32, _ptr)
_acq_abort = _declare("vexasdk_acq_abort", _i32, _ptr)
_chip_set_mode = _declare("vexasdk_chip_set_mode", _i32, _ptr, _u32)
_trigger_now = _declare("vexasdk_trigger_now", _i32, _ptr)
_sim_device_of = _declare("vexasdk_sim_device_of", _i32, _ptr)


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


def forget_callbacks(closed: Callable[[int], bool]) -> None:
    """Drops the callbacks of harness acquisitions on the contexts (by address)
    that `closed` says the SDK has closed."""
    with _running_lock:
        for key in [key for key in _running if closed(key)]:
            del _running[key]


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
    return int(get_pointer(capsule, get_name(capsule)))


def null_callback() -> int:
    """The address of a C callback that does nothing: delivering to it measures
    the virtual detector's own cost."""
    return ctypes.cast(_lib.vexasdk_sim_null_callback, ctypes.c_void_p).value or 0


def fetch_callback() -> int:
    """The address of a C callback that fetches each block and does nothing
    more: what the virtual detector and its answer to the fetch cost."""
    return ctypes.cast(_lib.vexasdk_sim_fetch_callback, ctypes.c_void_p).value or 0


def copy_callback() -> int:
    """The address of a C callback that fetches each block and copies its
    arrays with memcpy into memory it touched before: the least that keeping
    the data can cost."""
    return ctypes.cast(_lib.vexasdk_sim_copy_callback, ctypes.c_void_p).value or 0


def _address(context: _DeviceContext) -> int:
    return _device_opener.sdk_address(context) or 0


def set_mode(context: _DeviceContext, mode: int) -> None:
    """Switches every chip of the device to the SDK mode value `mode` (any
    32-bit value, or a member)."""
    _check(_chip_set_mode(_address(context), _u32_value(mode, "mode")), "Failed to set the chip mode.")


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


def trigger(context: _DeviceContext) -> None:
    """Issues a software trigger to the running acquisition, as the acquisition
    runner does."""
    _check(_trigger_now(_address(context)), "Failed to issue a trigger.")


def deliver(context: _DeviceContext, module: str, name: str, callback: Callable[..., object],
            threads: int = 1, device: int = 0) -> None:
    """Delivers every queued block through the trampoline `name` of
    `vexasdk.<module>` to `callback`, from `threads` native threads, and returns
    when all were delivered."""
    set_delivery_threads(threads, device)
    start(context, trampoline(module, name), callback)
    await_end(context)


def deliver_here(context: _DeviceContext, module: str, name: str, callback: Callable[..., object] | None) -> None:
    """Delivers the block at the head of the queue on the calling thread; with
    `callback` None the trampoline receives null user data, as from an SDK
    that lost it."""
    rc = _sim_deliver_here(_address(context), trampoline(module, name), None if callback is None else id(callback))
    _check(rc, "Failed to deliver the block.")
