"""The virtual detector's library as ctypes sees it, and the argument checks
every part of the harness shares."""

from __future__ import annotations

import ctypes
import os
from typing import Any

import numpy as np

import vexasdk
import vexasdk._utils
from vexasdk._utils import _ERROR_CODES, SdkError

SUCCESS = _ERROR_CODES["VEXASDK_SUCCESS"]
ERR_ENOMEM = _ERROR_CODES["VEXASDK_ERR_ENOMEM"]
ERR_EFAULT = _ERROR_CODES["VEXASDK_ERR_EFAULT"]
ERR_EBUSY = _ERROR_CODES["VEXASDK_ERR_EBUSY"]
ERR_ENODEV = _ERROR_CODES["VEXASDK_ERR_ENODEV"]
ERR_EINVAL = _ERROR_CODES["VEXASDK_ERR_EINVAL"]
ERR_BAD_STATE = _ERROR_CODES["VEXASDK_ERR_BAD_STATE"]

ACQ_MODE_PROCESSED = 2

# Beside the package the native modules came from (in a source checkout, the installed one).
_LIB_PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(vexasdk._utils.__file__))),
                         "vexasdkpy.libs", "libvexa_sdk_ng.so")
# The extension modules loaded this library already; this is the same instance.
_lib = ctypes.CDLL(_LIB_PATH)

_c = ctypes
_u32, _i32, _u64, _i64, _ptr = _c.c_uint32, _c.c_int32, _c.c_uint64, _c.c_int64, _c.c_void_p


def _declare(name: str, restype: Any, *argtypes: Any) -> Any:
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


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


def _number_in(value: Any, what: str, low: float, high: float) -> float:
    """`value` as a float in low..high; NaN lies in no range."""
    number = _number(value, what)
    if not low <= number <= high:
        raise ValueError(f"{what} must be a number in {low:g}..{high:g}, got {value!r}")
    return number


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


def _u64_value(value: int, what: str) -> int:
    return _int_in(value, what, 0, 2**64 - 1)


def _i32_value(value: Any, what: str) -> int:
    return _int_in(value, what, -(2**31), 2**31 - 1)


def _fetch_rc(code: int) -> int:
    return _i32_value(code, "fetch_rc")


def _c_string(text: Any, what: str) -> bytes:
    """`text` as the C string the library reads: a str without NUL, which
    would end it early."""
    if not isinstance(text, str):
        raise TypeError(f"{what} must be str, got {type(text).__name__}")
    if "\0" in text:
        raise ValueError(f"{what} must not contain NUL, got {text!r}")
    return text.encode()


def _is_count(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _u32_value(value: Any, what: str) -> int:
    """An enumeration member's value or an int, checked to fit 32 unsigned bits."""
    return _int_in(getattr(value, "value", value), what, 0, 2**32 - 1)
