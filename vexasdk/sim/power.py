"""Bias sources and power units as the device reports them."""

from __future__ import annotations

import ctypes

from vexasdk.sim._native import _c, _check, _declare, _i32, _index, _number, _small_index, _u32

_sim_set_bias_count = _declare("vexasdk_sim_set_bias_count", _i32, _u32, _u32)
_sim_set_bias_range = _declare("vexasdk_sim_set_bias_range", _i32, _u32, _u32, _c.c_float, _c.c_float)
_sim_set_bias_desired = _declare("vexasdk_sim_set_bias_desired", _i32, _u32, _u32, _c.c_float)
_sim_set_bias_actual = _declare("vexasdk_sim_set_bias_actual", _i32, _u32, _u32, _c.c_float)
_sim_get_bias = _declare("vexasdk_sim_get_bias", _i32, _u32, _u32, _c.POINTER(_c.c_float), _c.POINTER(_c.c_float))
_sim_set_unit_count = _declare("vexasdk_sim_set_unit_count", _i32, _u32, _u32)
_sim_set_unit_powered = _declare("vexasdk_sim_set_unit_powered", _i32, _u32, _u32, _c.c_bool)
_sim_get_unit_powered = _declare("vexasdk_sim_get_unit_powered", _i32, _u32, _u32, _c.POINTER(_c.c_bool))


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
