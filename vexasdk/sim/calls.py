"""Scripted faults and the call log."""

from __future__ import annotations

import ctypes
import json
from typing import Any

from vexasdk.sim._native import _c, _c_string, _check, _declare, _i32, _i32_value, _i64, _int_in, _u64

_sim_fail = _declare("vexasdk_sim_fail", _i32, _c.c_char_p, _i32, _i64)
_sim_clear_faults = _declare("vexasdk_sim_clear_faults", _i32)
_sim_call_count = _declare("vexasdk_sim_call_count", _u64, _c.c_char_p)
_sim_call_log = _declare("vexasdk_sim_call_log", _c.c_size_t, _c.c_char_p, _c.c_size_t)
_sim_clear_call_log = _declare("vexasdk_sim_clear_call_log", _i32)


def fail(function: str, code: int, times: int | None = 1) -> None:
    """Makes the next `times` calls of the SDK function `function` return `code`
    without doing anything; every later call when `times` is None; `times=0`
    removes the fault. `code` is any 32-bit result code."""
    name = _c_string(function, "function")
    rc = _i32_value(code, "code")
    count = -1 if times is None else _int_in(times, "times", 0, 2**63 - 1)
    _check(_sim_fail(name, rc, count), f"Failed to script a fault for {function}.")


def clear_faults() -> None:
    """Removes every scripted fault."""
    _check(_sim_clear_faults(), "Failed to clear the faults.")


def call_count(function: str | None = None) -> int:
    """How often the SDK function `function` (every function when None) was called
    since the last reset or `clear_call_log`."""
    return int(_sim_call_count(_c_string(function, "function") if function is not None else None))


def call_log() -> list[dict[str, Any]]:
    """The newest calls (at most 100000, or 64 MiB of text), oldest first, each
    as {"fn": name, "args": {name: value}}. Pointers are addresses (None for
    null), byte ranges hex strings, floats exact."""
    size = _sim_call_log(None, 0)
    while True:
        buf = ctypes.create_string_buffer(size)
        needed = _sim_call_log(buf, size)
        if needed <= size:
            log: list[dict[str, Any]] = json.loads(buf.value.decode("latin-1"))
            return log
        size = needed


def calls(function: str) -> list[dict[str, Any]]:
    """The arguments of each logged call of `function`, oldest first."""
    return [entry["args"] for entry in call_log() if entry["fn"] == function]


def clear_call_log() -> None:
    """Empties the call log and its counts."""
    _check(_sim_clear_call_log(), "Failed to clear the call log.")
