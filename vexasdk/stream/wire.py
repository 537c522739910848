"""The stream's wire format: what a `Publisher` sends and a `Receiver` reads,
message by message. Described for other implementations in wire-format.md,
beside this file; the two change together.
"""

from __future__ import annotations

import dataclasses
import functools
import json
import math
from collections.abc import Sequence
from typing import Any, Literal, cast

import awkward as ak  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt
import zmq

from vexasdk import _t3_binning, _t3_itot_evcount, _t3_toa_tot
from vexasdk._t3_toa_tot import DdToaTotMetadata
from vexasdk.account import Missing, StageCounts
from vexasdk.acquisition import BINNED_MODES, DATA_MODES, AcquisitionCounts, Block
from vexasdk.nexus import ChipRecord, DetectorRecord
from vexasdk.pixel_chip import OperationalMode

M = OperationalMode
Pattern = Literal["push", "pub"]

FORMAT_VERSION = 1
"""The version of the wire format this module writes and reads."""
_PREFIX = b"vexasdk.stream/"
_TOPIC = _PREFIX + str(FORMAT_VERSION).encode()
_HEADER_LIMIT = 1 << 20  # a header is a few hundred bytes, a start a few kB; more is not one of ours
_NESTING_LIMIT = 4096  # brackets in a header: ours have a few dozen
FRAMES_LIMIT = 4096
"""Frames of one message at most: a block has a few, one per TDC channel for data-driven ToA-ToT."""
_SLICE = 0.05  # seconds between looks at the clock, at Ctrl-C, at the peers


class StreamError(OSError):
    """The stream cannot go on as it should (an I/O error, as a broken connection is)."""


class FormatError(StreamError, ValueError):
    """A message of this format that is malformed, or of another version of it."""


class StreamTimeout(StreamError, TimeoutError):
    """Nothing arrived for longer than the receiver's timeout."""

# ---- the wire format ----


@functools.lru_cache(maxsize=64)  # a handful of dtypes, described once each message otherwise
def _descr(dtype: np.dtype[Any]) -> Any:
    """The dtype as .npy files describe it, in JSON's terms (lists for tuples)."""
    return json.loads(json.dumps(np.lib.format.dtype_to_descr(dtype)))


def _raw(array: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    """The array's bytes, as a view when it is contiguous (as delivered arrays are)."""
    return np.ascontiguousarray(np.asarray(array)).reshape(-1).view(np.uint8)


def _frames(header: dict[str, Any], buffers: Sequence[Any] = ()) -> list[Any]:
    return [_TOPIC, json.dumps(header, separators=(",", ":"), allow_nan=False).encode(), *buffers]


def encode_block(block: Block, stream: str) -> list[Any]:
    """The message of one block: the format's first frame, the JSON header,
    then the arrays' buffers (views, not copies, of the numpy arrays).

    Args:
        block: The block, as an acquisition delivered it.
        stream: The stream's identifier (every message of a stream carries it).
    """
    parts: list[dict[str, Any]] = []
    buffers: list[Any] = []
    for value in block.arrays:
        if isinstance(value, ak.Array):
            # One list of packets per scan position: the lengths, then the packets back to back.
            lengths = np.asarray(ak.num(value, axis=1), np.uint64)
            packets = ak.to_numpy(ak.flatten(value))
            parts.append({"type": "lists", "dtype": _descr(packets.dtype), "length": len(lengths),
                          "packets": len(packets)})
            buffers += [_raw(lengths), _raw(packets)]
        elif isinstance(value, np.ndarray):
            parts.append({"type": "ndarray", "dtype": _descr(value.dtype), "shape": list(value.shape),
                          "recarray": isinstance(value, np.recarray)})
            buffers.append(_raw(value))
        elif isinstance(value, DdToaTotMetadata):
            tdcs = [np.ascontiguousarray(stamps, "<u8") for stamps in value.tdcs]
            parts.append({"type": "metadata", "shutter_start": int(value.shutter_start),
                          "tdcs": [len(stamps) for stamps in tdcs]})
            buffers += [_raw(stamps) for stamps in tdcs]
        else:
            raise TypeError(f"a block of {block.mode.name} holds a {type(value).__name__}, which has no encoding")
    header = {"kind": "block", "stream": stream, "sequence": block.sequence, "mode": block.mode.name,
              "arrived": block.arrived, "first_position": block.first_position,
              "scan_shape": list(block.scan_shape) if block.scan_shape is not None else None, "arrays": parts}
    return _frames(header, buffers)


def _encode_start(stream: str, mode: OperationalMode, scan_shape: tuple[int, int] | None,
                  detector: DetectorRecord, dwell_ns: int | None = None) -> list[Any]:
    chips = [{"name": c.name, "threshold": c.threshold, "threshold_raw": c.threshold_raw, "polarity": c.polarity,
              "mode": c.mode, "mask": {"dtype": _descr(c.pixel_mask.dtype), "shape": list(c.pixel_mask.shape)}}
             for c in detector.chips]
    header = {"kind": "start", "stream": stream, "mode": mode.name,
              "scan_shape": list(scan_shape) if scan_shape is not None else None, "dwell_ns": dwell_ns,
              "detector": {"serial_number": detector.serial_number, "description": detector.description,
                           "connection_string": detector.connection_string,
                           "bias": list(detector.bias) if detector.bias is not None else None,
                           "chips": chips, "monitors": list(detector.monitors),
                           "readings": _finite_or_none(detector.readings)}}
    return _frames(header, [_raw(c.pixel_mask) for c in detector.chips])


def _finite_or_none(values: npt.NDArray[np.float64] | None) -> list[float | None] | None:
    # JSON has no NaN: an unavailable reading travels as null.
    if values is None:
        return None
    return [float(v) if math.isfinite(v) else None for v in np.asarray(values, np.float64)]


@dataclasses.dataclass(frozen=True)
class StreamStart:
    """What a stream's start message says.

    Attributes:
        stream (str): The stream's identifier.
        mode (OperationalMode): The acquisition's mode.
        scan_shape (tuple[int, int] | None): Binned modes: (width, height).
        detector (DetectorRecord): The detector as read before the start: what a file records.
        dwell_ns (int | None): Binned modes: the dwell time at each position in ns,
            when the sender said it.
    """

    stream: str
    mode: OperationalMode
    scan_shape: tuple[int, int] | None
    detector: DetectorRecord
    dwell_ns: int | None = None


@dataclasses.dataclass(frozen=True)
class StreamEnd:
    """What a stream's end message says.

    Attributes:
        stream (str): The stream's identifier.
        counts (AcquisitionCounts): The acquisition's counts at its end.
        sent (int): Block messages the publisher sent.
        dropped (int): Blocks the publisher dropped (its queue was full, or the
            receivers did not take them in time after the end).
        stopped_by (str | None): Why the acquisition ended (see `Acquisition.stopped_by`).
        started_at (float), ended_at (float), elapsed (float): Its times (seconds).
        bias_voltage (float | None): The measured bias at the end.
        readings (numpy.ndarray | None): The monitors' readings at the end (NaN: unavailable).
        numbered (int): Sequence numbers the sender gave out: 0 to numbered - 1.
        failed (int): Blocks the publisher lost to an error while sending.
        unsent (Missing): The numbers the sender never sent (dropped or failed).
        receivers (int): The most receivers connected at once: with "push",
            more than one shared the blocks.
        account (tuple[StageCounts, ...]): The sender's stages, from the
            SDK's fetch to the publisher.
    """

    stream: str
    counts: AcquisitionCounts
    sent: int
    dropped: int
    stopped_by: str | None
    started_at: float
    ended_at: float
    elapsed: float
    bias_voltage: float | None
    readings: npt.NDArray[np.float64] | None
    numbered: int = 0
    failed: int = 0
    unsent: Missing = Missing()
    receivers: int = 1
    account: tuple[StageCounts, ...] = ()

    @property
    def blocks(self) -> int:
        """Blocks the acquisition numbered in all (what was sent, and what was dropped anywhere)."""
        return self.numbered


@dataclasses.dataclass(frozen=True)
class _Message:
    kind: str
    stream: str
    block: Block | None = None
    start: StreamStart | None = None
    end: StreamEnd | None = None


class _Foreign(ValueError):
    """Not a message of this format at all."""


def _buffer(frame: Any) -> memoryview:
    return frame.buffer if isinstance(frame, zmq.Frame) else memoryview(frame)


def _field(header: dict[str, Any], name: str, kind: type, what: str) -> Any:
    value = header.get(name)
    if not isinstance(value, kind) or (isinstance(value, bool) and kind is not bool):
        raise FormatError(f"malformed {what} message: {name!r} is {value!r}")
    return value


def _count(header: dict[str, Any], name: str, what: str, high: int = 2**64 - 1) -> int:
    value = _field(header, name, int, what)
    if not 0 <= value <= high:
        raise FormatError(f"malformed {what} message: {name!r} is {value!r}, outside 0 to {high}")
    return int(value)


def _optional_count(header: dict[str, Any], name: str, what: str) -> int | None:
    return None if header.get(name) is None else _count(header, name, what)


def _optional_float(header: dict[str, Any], name: str, what: str) -> float | None:
    value = header.get(name)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise FormatError(f"malformed {what} message: {name!r} is {value!r}")
    return float(value)


def _array(frame: Any, dtype: np.dtype[Any], count: int, what: str) -> npt.NDArray[Any]:
    """`count` items of `dtype` over the frame's bytes, which must be exactly that many."""
    data = _buffer(frame)
    if data.nbytes != count * dtype.itemsize:
        raise FormatError(f"malformed block message: {what} has {data.nbytes} bytes, not the {count * dtype.itemsize} "
                          f"of {count} items of {dtype.itemsize} bytes")
    array = np.frombuffer(data, dtype, count) if count else np.zeros(0, dtype)
    return array if array.flags.aligned else array.copy()  # small frames may sit unaligned inside the message


# What each mode delivers: the kind of every argument and, for arrays, its dtype
# and whether it is a record array. Anything else in a block message is malformed.
_ND = "ndarray"


@functools.cache
def _expected(mode: OperationalMode) -> list[tuple[str, Any, bool]]:
    toa_tot = np.dtype((np.record, _t3_toa_tot._toa_tot_dtype))
    values = _t3_binning._binned_evcount_dtype
    if mode in (M.dd_toa_tot, M.dd_toa_tot_sorted):
        return [(_ND, toa_tot, True), ("metadata", None, False)]
    if mode is M.fb_toa_tot:
        return [(_ND, toa_tot, True)]
    if mode is M.fb_itot_evcount:
        return [(_ND, np.dtype((np.record, _t3_itot_evcount._itot_evcount_dtype)), True)]
    if mode is M.binned_data:
        return [(_ND, values, False), (_ND, _t3_binning._binned_itot_dtype, False),
                ("lists", _t3_binning._binned_packet_dtype, False)]
    if mode is M.binned_evcount:
        return [(_ND, values, False)]
    return [(_ND, _t3_binning._binned_itot_dtype, False)]


_DATA_MODES = {mode.name: mode for mode in DATA_MODES}


def _decode_block(header: dict[str, Any], frames: Sequence[Any], stream: str) -> Block:
    what = "block"
    mode_name = _field(header, "mode", str, what)
    mode = _DATA_MODES.get(mode_name)
    if mode is None:
        raise FormatError(f"malformed block message: mode {mode_name!r} is not a data mode")
    sequence = _count(header, "sequence", what)
    arrived = _optional_float(header, "arrived", what)
    if arrived is None or not math.isfinite(arrived):
        raise FormatError(f"malformed block message: 'arrived' is {header.get('arrived')!r}")
    first, scan_shape = _scan_fields(header, mode)
    parts = _field(header, "arrays", list, what)
    expected = _expected(mode)
    if len(parts) != len(expected):
        raise FormatError(f"malformed block message: {len(parts)} arrays where {mode.name} delivers {len(expected)}")
    arrays: list[Any] = []
    at = 0
    for index, (part, (kind, dtype, record)) in enumerate(zip(parts, expected)):
        if not isinstance(part, dict) or part.get("type") != kind:
            raise FormatError(f"malformed block message: array {index} of {mode.name} must be of type {kind!r}")
        if dtype is not None and (part.get("dtype") != _descr(dtype) or bool(part.get("recarray")) != record):
            raise FormatError(f"malformed block message: array {index} of {mode.name} is described as "
                              f"{part.get('dtype')!r}, not {_descr(dtype)!r}")
        value, used = _decode_part(kind, dtype, record, part, frames[at:], f"array {index}")
        arrays.append(value)
        at += used
    if at != len(frames):
        raise FormatError(f"malformed block message: {len(frames)} buffers where the header describes {at}")
    if mode in BINNED_MODES and len({len(value) for value in arrays}) != 1:
        raise FormatError("malformed block message: the arrays of a binned block cover different numbers of positions")
    return Block(mode, tuple(arrays), sequence, arrived, first, scan_shape, stream)


def _scan_fields(header: dict[str, Any], mode: OperationalMode) -> tuple[int | None, tuple[int, int] | None]:
    first, shape = header.get("first_position"), header.get("scan_shape")
    if mode not in BINNED_MODES:
        if first is not None or shape is not None:
            raise FormatError(f"malformed block message: a {mode.name} block has no scan position")
        return None, None
    if not (isinstance(shape, list) and len(shape) == 2 and all(
            isinstance(n, int) and not isinstance(n, bool) and 1 <= n < 2**32 for n in shape)):
        raise FormatError(f"malformed block message: scan_shape is {shape!r}, not [width, height] of 1 to {2**32 - 1}")
    width, height = shape
    position = _count(header, "first_position", "block", width * height - 1)
    return position, (width, height)


def _decode_part(kind: str, dtype: Any, record: bool, part: dict[str, Any], frames: Sequence[Any],
                 what: str) -> tuple[Any, int]:
    """One argument of the block from the frames ahead; and how many frames it took."""
    if kind == _ND:
        shape = part.get("shape")
        if not (isinstance(shape, list) and len(shape) == 1 and isinstance(shape[0], int) and shape[0] >= 0):
            raise FormatError(f"malformed block message: {what} has shape {shape!r}, not [length]")
        if not frames:
            raise FormatError(f"malformed block message: {what} has no buffer")
        array = _array(frames[0], dtype, shape[0], what)
        return (array.view(np.recarray) if record else array), 1
    if kind == "metadata":
        counts = part.get("tdcs")
        shutter = _count(part, "shutter_start", "block")
        if not (isinstance(counts, list) and all(isinstance(n, int) and n >= 0 for n in counts)):
            raise FormatError(f"malformed block message: {what} lists TDC counts {counts!r}")
        if len(frames) < len(counts):
            raise FormatError(f"malformed block message: {what} lacks TDC buffers")
        tdcs = np.empty(len(counts), object)
        for channel, (count, frame) in enumerate(zip(counts, frames)):
            tdcs[channel] = _array(frame, _t3_toa_tot._tdc_dtype, count, f"TDC {channel}").view(np.recarray)
        # As the trampoline delivers it: the shutter start a Python int.
        return DdToaTotMetadata(cast(Any, shutter), tdcs), len(counts)
    length, total = _count(part, "length", "block"), _count(part, "packets", "block")
    if len(frames) < 2:
        raise FormatError(f"malformed block message: {what} lacks its buffers")
    lengths = _array(frames[0], np.dtype("<u8"), length, f"{what}'s lengths")
    if int(lengths.sum(dtype=np.uint64)) != total:
        raise FormatError(f"malformed block message: {what}'s lists hold {int(lengths.sum())} packets, "
                          f"not the {total} sent")
    packets = _array(frames[1], dtype, total, f"{what}'s packets")
    # Built as the binned-data callback builds it: the same layout as delivered.
    return ak.unflatten(ak.from_numpy(packets), lengths), 2


def _decode_start(header: dict[str, Any], frames: Sequence[Any], stream: str) -> StreamStart:
    what = "start"
    mode_name = _field(header, "mode", str, what)
    if mode_name not in [m.name for m in DATA_MODES]:
        raise FormatError(f"malformed start message: mode {mode_name!r} is not a data mode")
    mode = OperationalMode[mode_name]
    shape = header.get("scan_shape")
    scan_shape: tuple[int, int] | None = None
    if mode in BINNED_MODES:
        if not (isinstance(shape, list) and len(shape) == 2 and all(isinstance(n, int) and n >= 1 for n in shape)):
            raise FormatError(f"malformed start message: scan_shape is {shape!r}")
        scan_shape = (shape[0], shape[1])
    dwell = header.get("dwell_ns")
    if dwell is not None and not (type(dwell) is int and 1 <= dwell < 1 << 64):
        raise FormatError(f"malformed start message: dwell_ns is {str(dwell)[:60]!r}, not 1 to 2**64-1")
    d = _field(header, "detector", dict, what)
    try:
        chips_described = list(d["chips"])
        if len(chips_described) != len(frames):
            raise FormatError(f"malformed start message: {len(chips_described)} chips, {len(frames)} masks")
        chips = tuple(ChipRecord(str(c["name"]), float(c["threshold"]), int(c["threshold_raw"]), str(c["polarity"]),
                                 str(c["mode"]), _mask(c["mask"], frame)) for c, frame in zip(chips_described, frames))
        bias = None if d["bias"] is None else (float(d["bias"][0]), float(d["bias"][1]))
        readings = np.array([np.nan if v is None else float(v) for v in d["readings"]], np.float64)
        monitors = tuple(str(name) for name in d["monitors"])
        detector = DetectorRecord(str(d["serial_number"]), str(d["description"]), str(d["connection_string"]), bias,
                                  chips, monitors, readings)
    except (KeyError, TypeError, ValueError, IndexError) as error:
        if isinstance(error, FormatError):
            raise
        raise FormatError(f"malformed start message: the detector's description lacks or garbles {error}") from None
    if len(detector.readings) != len(detector.monitors):
        raise FormatError("malformed start message: monitors and readings differ in number")
    return StreamStart(stream, mode, scan_shape, detector, dwell if mode in BINNED_MODES else None)


def _mask(described: Any, frame: Any) -> npt.NDArray[Any]:
    dtype_text, shape = described["dtype"], described["shape"]
    # Masks are small integers; no description may make numpy build anything else.
    if dtype_text not in ("|u1", "|i1", "|b1", "<u2", "<i2", "<u4", "<i4", "<u8", "<i8"):
        raise FormatError(f"malformed start message: a pixel mask of dtype {dtype_text!r}")
    if not (isinstance(shape, list) and len(shape) == 2 and all(isinstance(n, int) and 0 <= n <= 1 << 16
                                                                for n in shape)):
        raise FormatError(f"malformed start message: a pixel mask of shape {shape!r}")
    dtype = np.dtype(dtype_text)
    return _array(frame, dtype, shape[0] * shape[1], "a pixel mask").reshape(shape)


def _decode_end(header: dict[str, Any], stream: str) -> StreamEnd:
    what = "end"
    counts = _field(header, "counts", dict, what)
    try:
        acquisition_counts = AcquisitionCounts(**{f.name: _count(counts, f.name, what)
                                                  for f in dataclasses.fields(AcquisitionCounts)})
    except TypeError:
        raise FormatError(f"malformed end message: counts {counts!r}") from None
    stopped_by = header.get("stopped_by")
    if stopped_by is not None and not isinstance(stopped_by, str):
        raise FormatError(f"malformed end message: stopped_by is {stopped_by!r}")
    times = [_optional_float(header, name, what) for name in ("started_at", "ended_at", "elapsed")]
    if any(t is None for t in times):
        raise FormatError("malformed end message: it lacks its times")
    readings = header.get("readings")
    if readings is not None and not (isinstance(readings, list) and all(
            v is None or isinstance(v, (int, float)) for v in readings)):
        raise FormatError(f"malformed end message: readings {readings!r}")
    sent, dropped = _count(header, "sent", what), _count(header, "dropped", what)
    numbered = _optional_count(header, "numbered", what)
    failed = _optional_count(header, "failed", what) or 0
    if numbered is None:  # a sender before the account: every number it gave out was sent or dropped
        numbered = acquisition_counts.blocks + acquisition_counts.dropped
    if sent + dropped + failed > numbered:
        raise FormatError(f"malformed end message: {sent} sent, {dropped} dropped and {failed} failed of "
                          f"only {numbered} blocks")
    return StreamEnd(stream, acquisition_counts, sent, dropped,
                     stopped_by, float(times[0] or 0.0), float(times[1] or 0.0), float(times[2] or 0.0),
                     _optional_float(header, "bias_voltage", what),
                     None if readings is None else np.array([np.nan if v is None else v for v in readings],
                                                            np.float64),
                     numbered, failed, _missing(header.get("unsent"), dropped + failed),
                     _optional_count(header, "receivers", what) or 1, _stages(header.get("account")))


def _missing(described: Any, count: int) -> Missing:
    if not isinstance(described, dict):
        return Missing(count)
    first, last = described.get("first"), described.get("last")
    if not all(n is None or (isinstance(n, int) and not isinstance(n, bool) and n >= 0) for n in (first, last)):
        raise FormatError(f"malformed end message: unsent {described!r}")
    return Missing(count, first, last)


def _stages(described: Any) -> tuple[StageCounts, ...]:
    if described is None:
        return ()
    if not isinstance(described, list):
        raise FormatError(f"malformed end message: account {described!r}")
    stages = []
    for stage in described:
        if not isinstance(stage, dict) or not isinstance(stage.get("stage"), str):
            raise FormatError(f"malformed end message: account stage {stage!r}")
        stages.append(StageCounts(stage["stage"], *(_count(stage, name, "end") for name in
                                                    ("received", "delivered", "dropped", "failed"))))
    return tuple(stages)


def encode_end(stream: str, fields: dict[str, Any]) -> list[Any]:
    """The end message of `stream`: `fields` as the end's header has them,
    `unsent` a Missing and `account` StageCounts, turned into JSON's terms here."""
    header = dict(fields)
    unsent: Missing = header.pop("unsent")
    header["unsent"] = {"first": unsent.first, "last": unsent.last}
    header["account"] = [dataclasses.asdict(stage) for stage in header.pop("account")]
    return _frames({"kind": "end", "stream": stream, **header})


def decode(frames: Sequence[Any]) -> _Message:
    """Reads one message (its frames as bytes, or as zmq Frames).

    Raises:
        FormatError: A message of this format of another version, or malformed.
        ValueError: Not a message of this format at all (a `_Foreign` error).
    """
    if not frames:
        raise _Foreign("an empty message")
    topic = bytes(_buffer(frames[0])[:64])
    if not topic.startswith(_PREFIX):
        raise _Foreign(f"a message whose first frame is {topic[:32]!r}")
    version = topic[len(_PREFIX):]
    if version != str(FORMAT_VERSION).encode():
        raise FormatError(f"the sender speaks stream format {version.decode(errors='replace')!r}; this receiver "
                          f"reads format {FORMAT_VERSION}: run the same vexasdk version on both sides")
    if len(frames) < 2 or _buffer(frames[1]).nbytes > _HEADER_LIMIT:
        raise FormatError("malformed message: it has no header frame of a sensible size")
    if len(frames) > FRAMES_LIMIT:
        raise FormatError(f"malformed message: {len(frames)} frames, more than any message has ({FRAMES_LIMIT})")
    try:
        return _decode(frames)
    except FormatError:
        raise
    except (ValueError, TypeError, OverflowError, RecursionError, KeyError, IndexError, AttributeError,
            MemoryError) as error:
        # Whatever a hostile header makes of the checks below: said as what it is.
        raise FormatError(f"malformed message: {type(error).__name__}: {str(error)[:200]}") from None


def _decode(frames: Sequence[Any]) -> _Message:
    text = bytes(_buffer(frames[1]))
    if text.count(b"[") + text.count(b"{") > _NESTING_LIMIT:  # json would recurse once per level
        raise FormatError(f"malformed message: its header nests more than {_NESTING_LIMIT} levels deep")
    try:
        header = json.loads(text)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise FormatError("malformed message: its header is not JSON") from None
    if not isinstance(header, dict):
        raise FormatError("malformed message: its header is not a JSON object")
    kind = header.get("kind")
    stream = header.get("stream")
    if not isinstance(stream, str) or not stream:
        raise FormatError("malformed message: it names no stream")
    if kind == "block":
        return _Message(kind, stream, block=_decode_block(header, frames[2:], stream))
    if kind == "start":
        return _Message(kind, stream, start=_decode_start(header, frames[2:], stream))
    if kind == "end":
        return _Message(kind, stream, end=_decode_end(header, stream))
    if kind == "alive":
        return _Message(kind, stream)
    raise FormatError(f"malformed message: kind {kind!r} is none of block, start, end, alive")


# ---- what both ends check of their arguments ----


def _positive(name: str, value: object, low: float = 0.0, high: float = 1e6) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not low < float(value) <= high:
        raise ValueError(f"{name} must be a number above {low:g} and at most {high:g}, got {value!r}")
    return float(value)


def _whole(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be an integer from {low} to {high}, got {value!r}")
    return value


def _pattern(value: object) -> Pattern:
    if value not in ("push", "pub"):
        raise ValueError(f"pattern must be 'push' or 'pub', got {value!r}")
    return "push" if value == "push" else "pub"


def _address(value: object) -> str:
    if not isinstance(value, str) or "://" not in value:
        raise ValueError(f"address must be a ZeroMQ address such as 'tcp://127.0.0.1:5555', got {value!r}")
    port = value.rpartition(":")[2]
    # ZeroMQ takes a TCP port past 65535 modulo 65536: another port than the one asked for.
    if value.startswith("tcp://") and port.isdigit() and int(port) > 65535:
        raise ValueError(f"the port of {value!r} must be 0 to 65535")
    return value
