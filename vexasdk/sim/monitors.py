"""Monitors of a virtual device and the events they fire."""

from __future__ import annotations

import ctypes
from typing import Any

from vexasdk.sim._native import _check, _declare, _i32, _index, _u32, _u32_value, _u64

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
