"""The chips of a virtual device: descriptions, state behind the getters, masks."""

from __future__ import annotations

import ctypes
from collections.abc import Callable
from typing import Any

import numpy as np

from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk.sim._native import (SUCCESS, _c, _check, _declare, _i32, _index, _int_in, _number, _ptr, _u32,
                                 _u32_value, _u64)

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
_sim_time_get_thld = _declare("vexasdk_sim_time_get_thld", _i32, _ptr, _c.c_uint8, _u64, _c.POINTER(_c.c_double))

_CHIP_INFO_FIELDS = ("name", "supported_modes", "supported_polarities", "min_kev", "max_kev", "noise_kev",
                     "min_raw", "max_raw", "is_calibrated", "width", "height")
_CHIP_STATE_FIELDS = ("polarity", "mode", "thld_raw", "kev_per_raw", "raw_offset", "configure_count")


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


def _edit_chips(chip: int | None, device: int, fields: dict[str, Any], what: str, known: tuple[str, ...],
                record: Callable[[], Any], get: Callable[..., int], put: Callable[..., int],
                assign: Callable[[Any, str, Any], None]) -> None:
    # Each chosen chip's record is read, changed field by field, and written
    # back, so that the fields not given keep their values.
    unknown = set(fields) - set(known)
    if unknown:
        raise TypeError(f"unknown chip {what} fields: {', '.join(sorted(unknown))}")
    for index in _chips(chip, device):
        values = record()
        _check(get(_index(device), index, ctypes.byref(values)), f"Failed to read the chip {what}.")
        for field, value in fields.items():
            assign(values, field, value)
        _check(put(_index(device), index, ctypes.byref(values)), f"Failed to set the chip {what}.")


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
    def assign(info: Any, field: str, value: Any) -> None:
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

    _edit_chips(chip, device, fields, "description", _CHIP_INFO_FIELDS, _ChipInfo, _sim_get_chip_info,
                _sim_set_chip_info, assign)


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
    def assign(state: Any, field: str, value: Any) -> None:
        if field in ("kev_per_raw", "raw_offset"):
            setattr(state, field, _number(value, field))
        else:
            setattr(state, field, _u32_value(value, field))

    _edit_chips(chip, device, fields, "state", _CHIP_STATE_FIELDS, _ChipState, _sim_get_chip_state,
                _sim_set_chip_state, assign)


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


def time_get_thld(context: _DeviceContext, chip: int, calls: int) -> float:
    """Seconds that `calls` calls of vexasdk_chip_get_thld on chip `chip` of the
    open device take from a C++ loop: the floor under any binding of it."""
    seconds = _c.c_double()
    _check(_sim_time_get_thld(_device_opener.sdk_address(context) or 0, _int_in(chip, "chip", 0, 255),
                              _int_in(calls, "calls", 0, 2**64 - 1), ctypes.byref(seconds)),
           "Failed to time the threshold reads.")
    return seconds.value
