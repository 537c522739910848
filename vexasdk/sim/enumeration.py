"""The virtual enumeration: raw records of the devices it lists."""

from __future__ import annotations

import ctypes

from vexasdk.sim._native import _c, _check, _declare, _i32, _i64, _index, _u32
from vexasdk.sim.world import set_device_count

_sim_set_enum_record = _declare("vexasdk_sim_set_enum_record", _i32, _u32, _c.c_char_p, _c.c_size_t)
_sim_get_enum_record = _declare("vexasdk_sim_get_enum_record", _i32, _u32, _c.c_char_p, _c.c_size_t)
_sim_set_enum_reported_count = _declare("vexasdk_sim_set_enum_reported_count", _i32, _i64)


def _raw(value: object, what: str) -> bytes:
    """Bytes-like `value` as bytes; bytes(n) of an int would make n NULs."""
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be bytes, got {type(value).__name__}")
    return bytes(value)


ENUM_RECORD_SIZE = 160
# (field, width) of an enumeration record, in order.
ENUM_FIELDS = (("serial", 16), ("product", 64), ("connection_string", 16), ("instance_path", 64))


def make_enum_record(serial: bytes | str = b"", product: bytes | str = b"", connection_string: bytes | str = b"",
                     instance_path: bytes | str = b"") -> bytes:
    """A raw enumeration record. Each field is bytes (str is UTF-8 encoded) of at
    most its width, padded with NUL bytes; a field of the full width has none."""
    out = b""
    for (name, width), value in zip(ENUM_FIELDS, (serial, product, connection_string, instance_path)):
        raw = value.encode() if isinstance(value, str) else _raw(value, name)
        if len(raw) > width:
            raise ValueError(f"{name} holds at most {width} bytes, got {len(raw)}")
        out += raw.ljust(width, b"\0")
    return out


def set_enum_record(record: bytes, device: int = 0) -> None:
    """Replaces the enumeration record of `device` with 160 raw bytes, taken as
    they are (see make_enum_record). Opening then matches its connection string."""
    raw = _raw(record, "record")
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
    raws = [_raw(record, "record") for record in records]
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
