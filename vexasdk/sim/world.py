"""The virtual world: resetting it and how many devices it holds."""

from __future__ import annotations

from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk.sim import acquisition, data
from vexasdk.sim._native import _c, _check, _declare, _i32, _index, _ptr, _u32

_sim_reset = _declare("vexasdk_sim_reset", _i32)
_sim_set_device_count = _declare("vexasdk_sim_set_device_count", _i32, _u32)
_sim_device_count = _declare("vexasdk_sim_device_count", _u32)
_sim_device_of = _declare("vexasdk_sim_device_of", _i32, _ptr)
_sim_compiler = _declare("vexasdk_sim_compiler", _c.c_char_p)


def reset() -> None:
    """Closes every open context and restores the default virtual devices, with an
    empty call log and no scripted faults."""
    _check(_sim_reset(), "Failed to reset the virtual detector.")
    data._scripted.clear()
    # Refused from inside a callback, and then acquisitions still run: only
    # now may their callbacks go.
    acquisition.forget_callbacks(lambda address: True)
    # Every context is closed now: nothing the package registered can be called.
    _device_opener.forget_callables(None)


def set_device_count(count: int) -> None:
    """Sets how many virtual devices exist; new ones get the default model and
    contexts on removed ones are closed."""
    _check(_sim_set_device_count(_index(count)), "Failed to set the number of virtual devices.")
    data._scripted.intersection_update(range(count))
    for address in _device_opener.open_context_addresses():
        if _sim_device_of(address) < 0:  # closed with its device
            _device_opener.forget_callables(address)
    acquisition.forget_callbacks(lambda address: _sim_device_of(address) < 0)


def device_count() -> int:
    """The number of virtual devices."""
    return int(_sim_device_count())


def device_of(context: _DeviceContext) -> int | None:
    """The index of the virtual device an open context belongs to; None for a
    context that is closed or not the virtual detector's."""
    index = int(_sim_device_of(_device_opener.sdk_address(context) or 0))
    return None if index < 0 else index


def compiler() -> str:
    """The compiler that built the virtual detector and the package's modules."""
    return (_sim_compiler() or b"").decode("utf-8", "replace")
