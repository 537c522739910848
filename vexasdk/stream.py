"""Streaming blocks to other processes and machines over ZeroMQ.

A `Publisher` is a sink of `Device.acquire`: it sends every block as one
multipart message, from a thread of its own, so that the SDK's thread never
waits on the network. A `Receiver`, in another process or on another machine,
yields the same `Block` objects a local acquisition would, ends with the
stream's end, and can feed an `HDF5Writer`. `reduce_on` reduces the blocks on
a Dask cluster as they arrive (see `vexasdk.reduction`)::

    publisher = Publisher("tcp://*:5555")                       # the detector's machine
    device.acquire("dd_toa_tot", duration=10.0, sinks=[publisher]).wait()

    with Receiver("tcp://detector-pc:5555") as receiver:        # anywhere
        for block in receiver:
            hits.add(block)

Patterns: "push" hands each block to one receiver (several receivers share the
blocks between them); "pub" sends every block to every subscriber (a live
viewer may join and leave at any time, and misses what a slow one cannot
take). The wire format is described in docs/stream-format.md; messages that
do not start with this format's first frame are skipped and counted
(`ReceiverCounts.foreign`), while one of another format version, or a
malformed one, raises `FormatError`: never a wrong array.

Needs pyzmq (``pip install vexasdk[stream]``).
"""

from __future__ import annotations

import dataclasses
import json
import logging
import math
import queue
import threading
import time
import uuid
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, cast

import awkward as ak  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

try:
    import zmq
except ImportError as error:  # an optional dependency
    raise ImportError("vexasdk.stream needs pyzmq: pip install vexasdk[stream]") from error

from vexasdk import _t3_binning, _t3_itot_evcount, _t3_toa_tot
from vexasdk._t3_toa_tot import DdToaTotMetadata
from vexasdk.acquisition import BINNED_MODES, DATA_MODES, AcquisitionCounts, Block
from vexasdk.nexus import ChipRecord, DetectorRecord, RunEnd
from vexasdk.pixel_chip import OperationalMode
from vexasdk.reduction import (Reduction, ReductionInterrupted, hit_map, reduce_locally, reduce_on, tot_spectrum,
                               virtual_images)

if TYPE_CHECKING:
    from vexasdk.acquisition import Acquisition

__all__ = [
    "FORMAT_VERSION", "FormatError", "Pattern", "Publisher", "PublisherCounts", "Receiver", "ReceiverCounts",
    "Reduction", "ReductionInterrupted", "StreamEnd", "StreamError", "StreamStart", "StreamTimeout", "decode",
    "encode_block", "hit_map", "reduce_locally", "reduce_on", "tot_spectrum", "virtual_images",
]

_log = logging.getLogger("vexasdk")
M = OperationalMode
Pattern = Literal["push", "pub"]

FORMAT_VERSION = 1
"""The version of the wire format this module writes and reads."""
_PREFIX = b"vexasdk.stream/"
_TOPIC = _PREFIX + str(FORMAT_VERSION).encode()
_HEADER_LIMIT = 16 << 20  # a header is a few hundred bytes; more is not one of ours
_SLICE = 0.05  # seconds between looks at the clock, at Ctrl-C, at the peers


class StreamError(OSError):
    """The stream cannot go on as it should (an I/O error, as a broken connection is)."""


class FormatError(StreamError, ValueError):
    """A message of this format that is malformed, or of another version of it."""


class StreamTimeout(StreamError, TimeoutError):
    """Nothing arrived for longer than the receiver's timeout."""


# ---- the wire format ----


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
                  detector: DetectorRecord) -> list[Any]:
    chips = [{"name": c.name, "threshold": c.threshold, "threshold_raw": c.threshold_raw, "polarity": c.polarity,
              "mode": c.mode, "mask": {"dtype": _descr(c.pixel_mask.dtype), "shape": list(c.pixel_mask.shape)}}
             for c in detector.chips]
    header = {"kind": "start", "stream": stream, "mode": mode.name,
              "scan_shape": list(scan_shape) if scan_shape is not None else None,
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
    """

    stream: str
    mode: OperationalMode
    scan_shape: tuple[int, int] | None
    detector: DetectorRecord


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

    @property
    def blocks(self) -> int:
        """Blocks the acquisition numbered in all (what was sent, and what was dropped anywhere)."""
        return self.counts.blocks + self.counts.dropped


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


def _decode_block(header: dict[str, Any], frames: Sequence[Any], stream: str) -> Block:
    what = "block"
    mode_name = _field(header, "mode", str, what)
    mode = next((m for m in DATA_MODES if m.name == mode_name), None)
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
    return Block(mode, tuple(arrays), sequence, arrived, first, scan_shape)


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
    return StreamStart(stream, mode, scan_shape, detector)


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
    return StreamEnd(stream, acquisition_counts, _count(header, "sent", what), _count(header, "dropped", what),
                     stopped_by, float(times[0] or 0.0), float(times[1] or 0.0), float(times[2] or 0.0),
                     _optional_float(header, "bias_voltage", what),
                     None if readings is None else np.array([np.nan if v is None else v for v in readings],
                                                            np.float64))


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
    try:
        header = json.loads(bytes(_buffer(frames[1])))
    except (UnicodeDecodeError, ValueError):
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


# ---- the publisher ----


@dataclasses.dataclass(frozen=True, slots=True)
class PublisherCounts:
    """What a publisher has done so far.

    Attributes:
        sent (int): Block messages handed to ZeroMQ for the receivers.
        dropped (int): Blocks that were never sent: the queue was full, or the
            receivers did not take them within `drain_timeout` after the end.
        bytes (int): Bytes of those messages' buffers and headers.
        receivers (int): Receivers connected now.
    """

    sent: int = 0
    dropped: int = 0
    bytes: int = 0
    receivers: int = 0


_END: Any = object()


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


class _Peers:
    """How many receivers are connected to a bound socket.

    A push socket says so through its monitor (handshakes done, connections
    gone; a connection whose handshake failed was never a receiver); an XPUB
    socket through its subscriptions, which also tells when a subscriber's
    subscription has arrived, so that nothing sent after it is filtered away.
    """

    def __init__(self, socket: zmq.Socket[bytes], pattern: Pattern) -> None:
        self._socket = socket
        self._pattern = pattern
        self._monitor: zmq.Socket[bytes] | None = None
        self.count = 0
        self._failed = 0
        if pattern == "push":
            self._monitor = socket.get_monitor_socket(
                zmq.EVENT_HANDSHAKE_SUCCEEDED | zmq.EVENT_DISCONNECTED | zmq.EVENT_HANDSHAKE_FAILED_NO_DETAIL
                | zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL | zmq.EVENT_HANDSHAKE_FAILED_AUTH)

    def update(self) -> int:
        """Takes in what happened since the last look; the receivers now."""
        if self._monitor is not None:
            from zmq.utils.monitor import recv_monitor_message

            while self._monitor.poll(0):
                event = recv_monitor_message(self._monitor)["event"]
                if event == zmq.EVENT_HANDSHAKE_SUCCEEDED:
                    self.count += 1
                elif event == zmq.EVENT_DISCONNECTED:
                    if self._failed:
                        self._failed -= 1  # the connection whose handshake failed
                    else:
                        self.count = max(0, self.count - 1)
                else:
                    self._failed += 1
            return self.count
        while True:
            try:
                message = self._socket.recv(zmq.NOBLOCK)
            except zmq.Again:
                return self.count
            # Only subscriptions that let this stream's messages through are receivers of it.
            if message[:1] in (b"\x00", b"\x01") and _TOPIC.startswith(message[1:]):
                self.count = self.count + 1 if message[:1] == b"\x01" else max(0, self.count - 1)

    def close(self) -> None:
        if self._monitor is not None:
            self._socket.disable_monitor()
            self._monitor.close(0)


class Publisher:
    """Sends an acquisition's blocks over ZeroMQ, from a thread of its own; a
    sink for `Device.acquire(sinks=[publisher])`, for one acquisition.

    It binds `address` when the acquisition opens it and sends a start message
    (the detector's description: what a file records), then a message per
    block, and once the acquisition has ended an end message with the final
    counts. While the stream is idle it says so once a `heartbeat`, so that a
    receiver tells a quiet sender from a dead one.

    Policy when the receivers are slower than the detector: the SDK's thread
    never waits; a block that finds the queue of `max_queued` blocks full is
    dropped at once and counted. The sending thread waits as long as the
    acquisition runs for a receiver to take each block (a push socket holds a
    block while every receiver has `hwm` messages pending, or while none is
    connected), so the newest blocks are the ones dropped. After the end the
    queued blocks get `drain_timeout` seconds to go out; what is still queued
    then is dropped and counted. With "pub", ZeroMQ itself drops what a
    subscriber has no room for, for that subscriber alone: it sees the gap in
    the sequence numbers (`ReceiverCounts.not_received`).

    Args:
        address: Where to bind: "tcp://127.0.0.1:5555", "tcp://*:5555", "ipc:///tmp/run.sock".
        pattern: "push" (each block to one receiver) or "pub" (every block to every subscriber).
        max_queued: Blocks waiting for the network, at most (1 to 1,000,000).
        hwm: Messages ZeroMQ keeps pending for each receiver (1 to 1,000,000).
        receivers: Before the acquisition starts, wait for this many receivers
            to connect (0 to 1000); each of them gets the start message.
        wait: Seconds to wait for them; then opening fails and nothing starts.
        drain_timeout: Seconds the queued blocks and the end message get to
            reach the receivers after the acquisition has ended.
        heartbeat: Seconds of silence after which an idle stream says it lives.

    Raises:
        ValueError: An argument outside its range.
    """

    def __init__(self, address: str, pattern: Pattern = "push", *, max_queued: int = 256, hwm: int = 16,
                 receivers: int = 0, wait: float = 30.0, drain_timeout: float = 10.0, heartbeat: float = 1.0) -> None:
        self.address = _address(address)
        self.pattern = _pattern(pattern)
        self._queue: queue.Queue[Any] = queue.Queue(_whole("max_queued", max_queued, 1, 1_000_000))
        self._hwm = _whole("hwm", hwm, 1, 1_000_000)
        self._receivers = _whole("receivers", receivers, 0, 1000)
        self._wait = _positive("wait", wait)
        self._drain_timeout = _positive("drain_timeout", drain_timeout)
        self._heartbeat = _positive("heartbeat", heartbeat)
        self.stream = uuid.uuid4().hex
        self.endpoint: str | None = None
        self._context: zmq.Context[zmq.Socket[bytes]] | None = None
        self._socket: zmq.Socket[bytes] | None = None
        self._peers: _Peers | None = None
        self._thread: threading.Thread | None = None
        self._guard = threading.Lock()
        self._counts = PublisherCounts()
        self._deadline: float | None = None  # set once the acquisition has ended
        self._start: list[Any] = []
        self._end: dict[str, Any] = {}
        self._error: BaseException | None = None

    @property
    def counts(self) -> PublisherCounts:
        """What has been sent and dropped so far (a snapshot)."""
        peers = self._peers  # None once the socket is closed
        with self._guard:
            return dataclasses.replace(self._counts, receivers=peers.count if peers is not None else 0)

    def _add(self, **added: int) -> None:
        with self._guard:
            self._counts = dataclasses.replace(
                self._counts, **{name: getattr(self._counts, name) + value for name, value in added.items()})

    # ---- the sink ----

    def open(self, acquisition: Acquisition) -> None:
        """Binds the address, waits for `receivers`, and starts the sending
        thread; the acquisition has not started yet.

        Raises:
            OSError: The address cannot be bound.
            TimeoutError: Fewer than `receivers` connected within `wait` seconds.
            RuntimeError: The publisher already streamed an acquisition.
        """
        if self._context is not None:
            raise RuntimeError("a Publisher streams one acquisition; make another for the next")
        self._start = _encode_start(self.stream, acquisition.mode, acquisition.scan_shape,
                                    DetectorRecord.read(acquisition.device))
        self._context = zmq.Context()
        try:
            self._bind()
            self._await_receivers()
        except BaseException:
            self._close_socket()
            raise
        self._thread = threading.Thread(target=self._run, name="vexasdk-stream-publisher", daemon=True)
        self._thread.start()

    def _bind(self) -> None:
        assert self._context is not None
        socket = self._context.socket(zmq.PUSH if self.pattern == "push" else zmq.XPUB)
        socket.setsockopt(zmq.SNDHWM, self._hwm)
        socket.setsockopt(zmq.LINGER, 0)
        if self.pattern == "pub":
            socket.setsockopt(zmq.XPUB_VERBOSER, 1)  # every subscriber's (un)subscription, not only the first
        self._socket = socket
        try:
            socket.bind(self.address)
        except zmq.ZMQError as error:
            raise OSError(f"cannot bind {self.address}: {error}") from None
        self.endpoint = socket.getsockopt_string(zmq.LAST_ENDPOINT)
        self._peers = _Peers(socket, self.pattern)

    def _await_receivers(self) -> None:
        assert self._peers is not None
        deadline = time.monotonic() + self._wait
        while self._peers.update() < self._receivers:
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{self._peers.count} of {self._receivers} receivers connected to "
                                   f"{self.endpoint} within {self._wait:g} s")
            time.sleep(_SLICE / 5)

    def put(self, block: Block) -> None:
        """Queues `block` for the network (SDK thread): never waits; drops it
        when the queue is full."""
        if self._deadline is not None or self._error is not None:
            self._add(dropped=1)
            return
        try:
            self._queue.put_nowait(block)
        except queue.Full:
            self._add(dropped=1)

    def close(self, acquisition: Acquisition) -> None:
        """Sends what is still queued (for up to `drain_timeout` seconds) and the
        end message, and closes the socket. Raises what went wrong on the
        sending thread, if anything did."""
        end = RunEnd.of(acquisition)
        counts = acquisition.counts
        # Sinks close before the acquisition reports itself ended; why it ends is known already.
        self._end = {"counts": dataclasses.asdict(counts), "stopped_by": acquisition._stopped_by,
                     "started_at": end.started_at, "ended_at": end.ended_at, "elapsed": end.elapsed,
                     "bias_voltage": end.bias_voltage, "readings": _finite_or_none(end.readings)}
        self._deadline = time.monotonic() + self._drain_timeout
        if self._thread is not None:
            self._queue.put(_END)  # room appears: past the deadline the thread drops what it cannot send
            self._thread.join()
        self._close_socket()
        if self._error is not None:
            raise OSError(f"streaming to {self.endpoint or self.address} failed: {self._error}") from self._error

    def _close_socket(self) -> None:
        if self._peers is not None:
            self._peers.close()
        if self._socket is not None:
            self._socket.close(0)
        if self._context is not None:
            self._context.term()
        self._peers, self._socket = None, None

    # ---- the sending thread ----

    def _run(self) -> None:
        try:
            self._send_copies(self._start, wait=True)
            idle_since = time.monotonic()
            while True:
                try:
                    item = self._queue.get(timeout=_SLICE)
                except queue.Empty:
                    if time.monotonic() - idle_since >= self._heartbeat:
                        self._send_copies(_frames({"kind": "alive", "stream": self.stream}), wait=False)
                        idle_since = time.monotonic()
                    continue
                if item is _END:
                    break
                self._send_block(item)
                idle_since = time.monotonic()
            self._send_end()
        except BaseException as error:  # reported by close(); the acquisition goes on without the stream
            _log.exception("The stream publisher failed.")
            self._error = error
            self._drop_queued()

    def _drop_queued(self) -> None:
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                return
            if item is not _END:
                self._add(dropped=1)

    def _send(self, frames: list[Any], block: bool) -> bool:
        """Sends one message: waits while no receiver can take it, without
        bound while the acquisition runs, until the drain deadline after."""
        assert self._socket is not None and self._peers is not None
        while True:
            self._peers.update()
            try:
                self._socket.send_multipart(frames, flags=zmq.NOBLOCK, copy=False)
                return True
            except zmq.Again:
                pass
            if not block or (self._deadline is not None and time.monotonic() >= self._deadline):
                return False
            self._socket.poll(int(_SLICE * 1000), zmq.POLLOUT)

    def _send_block(self, block: Block) -> None:
        frames = encode_block(block, self.stream)
        if self._send(frames, block=True):
            size = sum(memoryview(f).nbytes for f in frames)
            self._add(sent=1, bytes=size)
        else:
            self._add(dropped=1)

    def _send_copies(self, frames: list[Any], wait: bool) -> None:
        """One copy of a message to each receiver connected now: a push socket
        hands consecutive messages to its receivers in turn."""
        assert self._peers is not None
        for _ in range(max(1, self._peers.update()) if self.pattern == "push" else 1):
            if not self._send(frames, block=wait) and not wait:
                return

    def _send_end(self) -> None:
        # Every receiver must see the end, also one whose queue is full or
        # that shares a push socket with others: it goes out again and again
        # until every receiver has hung up (as a receiver does once it has the
        # end), or the time is up.
        assert self._peers is not None and self._deadline is not None
        with self._guard:
            counts = self._counts
        frames = _frames({"kind": "end", "stream": self.stream, "sent": counts.sent, "dropped": counts.dropped,
                          **self._end})
        deadline = max(self._deadline, time.monotonic() + 1.0)
        while True:
            self._send_copies(frames, wait=False)
            if self._peers.count == 0 or time.monotonic() >= deadline:
                return
            time.sleep(_SLICE)
            if self._peers.update() == 0:
                return


# ---- the receiver ----


@dataclasses.dataclass(frozen=True, slots=True)
class ReceiverCounts:
    """What a receiver has seen so far.

    Attributes:
        messages (int): Messages of the stream (blocks, start, end, heartbeats).
        blocks (int): Blocks received.
        bytes (int): Bytes of the messages received.
        foreign (int): Messages from another program, skipped.
        not_received (int): Blocks of the stream this receiver did not get, by
            their sequence numbers (with "pub": what it missed; with "push":
            also what other receivers took); final once the end has arrived.
    """

    messages: int = 0
    blocks: int = 0
    bytes: int = 0
    foreign: int = 0
    not_received: int = 0


class Receiver:
    """Connects to a `Publisher` and yields its blocks as `Block` objects, as
    a local `Device.acquire` delivers them; the iteration ends with the
    stream's end message.

    Iterate in one thread. As a context manager it closes on leaving the block.
    The receiver may start before the publisher (it connects once the address
    is bound) or after it (with "push", the publisher holds the blocks until a
    receiver takes them; a receiver that joins late misses the start message,
    so `start` stays None).

    Args:
        address: The publisher's address, such as "tcp://127.0.0.1:5555".
        pattern: The publisher's pattern: "push" or "pub".
        timeout: Seconds of silence, once the stream has begun, after which the
            sender is taken for dead (`StreamTimeout`); what arrived stays.
            The publisher sends a heartbeat every second while idle.
        start_timeout: Seconds to wait for the first message; None waits
            without end (Ctrl-C stops it).
        hwm: Messages ZeroMQ keeps for this receiver before the sender waits (push) or drops (pub).

    Raises:
        ValueError: An argument outside its range, or an address ZeroMQ cannot connect to.
    """

    def __init__(self, address: str, pattern: Pattern = "push", *, timeout: float = 10.0,
                 start_timeout: float | None = None, hwm: int = 16) -> None:
        self.address = _address(address)
        self.pattern = _pattern(pattern)
        self._timeout = _positive("timeout", timeout)
        self._start_timeout = None if start_timeout is None else _positive("start_timeout", start_timeout)
        self.start: StreamStart | None = None
        """The stream's start message, once it arrived (None if it joined late)."""
        self.end: StreamEnd | None = None
        """The stream's end message, once it arrived."""
        self.stream: str | None = None
        self._counts = ReceiverCounts()
        self._next_sequence = 0
        self._last: float | None = None
        self._connected = False
        self._handshake_failures = 0
        self._context: zmq.Context[zmq.Socket[bytes]] | None = zmq.Context()
        socket = self._context.socket(zmq.PULL if self.pattern == "push" else zmq.SUB)
        socket.setsockopt(zmq.RCVHWM, _whole("hwm", hwm, 1, 1_000_000))
        socket.setsockopt(zmq.LINGER, 0)
        if self.pattern == "pub":
            socket.setsockopt(zmq.SUBSCRIBE, _PREFIX)  # messages of this format, any version: a mismatch is said
        self._socket: zmq.Socket[bytes] | None = socket
        self._monitor: zmq.Socket[bytes] | None = socket.get_monitor_socket(
            zmq.EVENT_HANDSHAKE_SUCCEEDED | zmq.EVENT_HANDSHAKE_FAILED_NO_DETAIL | zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL)
        try:
            socket.connect(address)
        except zmq.ZMQError as error:
            self.close()
            raise ValueError(f"cannot connect to {address!r}: {error}") from None

    @property
    def counts(self) -> ReceiverCounts:
        """What has arrived so far."""
        return self._counts

    @property
    def ended(self) -> bool:
        """Whether the stream's end has arrived."""
        return self.end is not None

    def __iter__(self) -> Iterator[Block]:
        return self

    def __next__(self) -> Block:
        while True:
            if self.end is not None or self._socket is None:
                raise StopIteration
            message = self._receive()
            if message.block is not None:
                return self._took(message.block)
            if message.start is not None and self.start is None:
                self.start = message.start
            if message.end is not None:
                self._ended(message.end)

    def _took(self, block: Block) -> Block:
        if block.sequence < self._next_sequence:
            raise StreamError(f"block {block.sequence} of the stream arrived after block {self._next_sequence - 1}")
        self._counts = dataclasses.replace(self._counts, blocks=self._counts.blocks + 1,
                                           not_received=self._counts.not_received + block.sequence
                                           - self._next_sequence)
        self._next_sequence = block.sequence + 1
        return block

    def _ended(self, end: StreamEnd) -> None:
        self.end = end
        missed = max(0, end.blocks - self._next_sequence)
        self._counts = dataclasses.replace(self._counts, not_received=self._counts.not_received + missed)
        self.close()  # hanging up tells the publisher that this receiver has the end

    def _receive(self) -> _Message:
        """The next message of the stream; foreign ones are skipped and counted."""
        assert self._socket is not None
        began = time.monotonic()
        while True:
            if self._socket.poll(int(_SLICE * 1000)):
                frames = self._socket.recv_multipart(copy=False)
                size = sum(f.buffer.nbytes for f in frames)
                try:
                    message = decode(frames)
                except _Foreign:
                    self._counts = dataclasses.replace(self._counts, foreign=self._counts.foreign + 1)
                    continue
                self._check_stream(message)
                self._last = time.monotonic()
                self._counts = dataclasses.replace(self._counts, messages=self._counts.messages + 1,
                                                   bytes=self._counts.bytes + size)
                return message
            self._watch_connection()
            now = time.monotonic()
            if self._last is not None and now - self._last >= self._timeout:
                raise StreamTimeout(f"nothing from {self.address} for {self._timeout:g} s after "
                                    f"{self._counts.blocks} blocks: the sender stopped without ending the stream")
            if self._last is None and self._start_timeout is not None and now - began >= self._start_timeout:
                raise StreamTimeout(self._silence())

    def _silence(self) -> str:
        text = f"no stream from {self.address} within {self._start_timeout:g} s: "
        if self._handshake_failures:
            text += (f"{self._handshake_failures} handshakes failed, so what listens there does not speak "
                     f"ZeroMQ's protocol")
        elif not self._connected:
            text += "nothing listens there"
        else:
            text += "connected, but nothing came"
        if self._counts.foreign:
            text += f" ({self._counts.foreign} messages from another program skipped)"
        return text

    def _watch_connection(self) -> None:
        from zmq.utils.monitor import recv_monitor_message

        while self._monitor is not None and self._monitor.poll(0):
            if recv_monitor_message(self._monitor)["event"] == zmq.EVENT_HANDSHAKE_SUCCEEDED:
                self._connected = True
            else:
                self._handshake_failures += 1

    def _check_stream(self, message: _Message) -> None:
        if self.stream is None:
            self.stream = message.stream
        elif message.stream != self.stream:
            raise StreamError(f"a message of another stream arrived from {self.address} before this one ended: "
                              f"a second sender there, or the first one started again")

    def close(self) -> None:
        """Closes the connection; what arrived stays. Closing twice does nothing."""
        if self._socket is not None:
            self._socket.disable_monitor()
            self._socket.close(0)
        if self._monitor is not None:
            self._monitor.close(0)
        if self._context is not None:
            self._context.term()
        self._socket = self._monitor = self._context = None

    def __enter__(self) -> Receiver:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "ended" if self.end is not None else ("closed" if self._socket is None else "open")
        return f"<vexasdk.stream.Receiver {self.address} {self.pattern} {state}, {self._counts.blocks} blocks>"
