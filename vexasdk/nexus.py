"""HDF5 files in NeXus terms: the writer that keeps an acquisition, and the
reader that gives it back.

The writer is a sink of `Device.acquire`: it takes the blocks on the SDK's
thread, writes them from a thread of its own, and leaves a complete file
however the acquisition ended (normally, aborted, or after Ctrl-C). The file
is readable while it is written (HDF5's single-writer/multiple-reader mode)::

    writer = HDF5Writer("run.h5")
    acquisition = device.acquire("dd_toa_tot", duration=2.0, sinks=[writer])
    acquisition.wait()
    run = load("run.h5")

A run that arrives over a stream is written the same way: `begin` with the
detector's description the stream's start carried, `put` each block, `end`
with what its end message said (``vexasdk receive --save`` does so).

Layout (every group carries its ``NX_class``, every dataset with a unit its
``units``):

=====================================  ===========================================================
``/entry`` (NXentry)                   ``start_time``, ``end_time`` (ISO 8601), ``mode``,
                                       ``duration`` (s), ``block_count``, ``event_count``,
                                       ``failed_fetches``, ``dropped_blocks``
``/entry/instrument/detector``         ``serial_number``, ``description``, ``connection_string``,
(NXdetector)                           ``bias_voltage`` and ``bias_voltage_desired`` (V),
                                       ``x_pixel_size``/``y_pixel_size`` (pixels, 55 um), and
                                       ``chip_<n>`` (NXcollection): ``name``, ``threshold`` (keV),
                                       ``threshold_raw``, ``polarity``, ``mode``, ``pixel_mask``
``/entry/instrument/detector/monitors`` ``name``, ``start``, ``end``: every monitor's reading at the
(NXcollection)                          start and at the end
``/entry/events`` (NXevent_data)       ToA-ToT modes: ``event_id`` (``row * width + column`` of the
                                       assembled detector), ``event_time_offset`` (ns from the
                                       block's zero), ``event_time_zero`` (ns, one per block),
                                       ``event_index``, ``tot`` (ns)
``/entry/tdc`` (NXcollection)          data-driven ToA-ToT: ``channel_0`` to ``channel_3``
                                       (rising and falling edges of the two inputs), in ns
``/entry/data`` (NXdata)               fb_itot_evcount: ``evcount``, ``itot`` (ns) as
                                       (frame, rows, columns); binned_data: ``counts`` as
                                       (scan_y, scan_x, rows, columns), one chunk a position, and
                                       ``evcount``, ``itot`` (ns), ``bright_field``,
                                       ``annular_dark_field`` as (scan_y, scan_x) images;
                                       binned_evcount / binned_itot: ``evcount`` / ``itot`` image
=====================================  ===========================================================

Times: ToA counts 1.5625 ns, ToT and iToT 25 ns; the file holds ns. For
data-driven blocks ``event_time_zero`` is the shutter start; frame-based ToA-ToT
blocks carry no shutter time, so it is their earliest ToA (the frame's first
hit). Virtual bright field sums the counts within `bright_field_radius` pixels
of the detector's centre; annular dark field those from `dark_field_radii[0]`
to `dark_field_radii[1]`.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import queue
import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import awkward as ak  # type: ignore[import-untyped]
import h5py  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexasdk.acquisition import BINNED_MODES, Acquisition, Block
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import ITOT_NS, TOA_NS, TOT_NS, detector_coordinates, detector_shape

if TYPE_CHECKING:
    from vexasdk._device import Device

__all__ = ["FORMAT", "ChipRecord", "DetectorRecord", "HDF5Writer", "NotOurFile", "Run", "RunEnd", "load"]

M = OperationalMode
FORMAT = "vexasdk 1"
"""What `/entry` says in its ``creator`` attribute: files of this layout."""
_TOA_TOT = (M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot)
_EVENT_CHUNK = 1 << 16
_TDC_CHANNELS = 4  # rising and falling edges of the two TDC inputs
_TIME = "S40"  # ISO 8601, fixed-size so that it can be written while readers follow the file
_TEXT = h5py.string_dtype()
_FLUSH_INTERVAL = 0.25  # seconds a written block may wait before a reader following the file sees it
_FLUSH_NOW: Any = object()
_CHUNK_CACHE = 64 << 20  # growing chunks stay in memory between flushes instead of being rewritten per block


class NotOurFile(ValueError):
    """The file is not one the HDF5 writer made."""


def _iso(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()


def _group(parent: h5py.Group, name: str, nx_class: str) -> h5py.Group:
    group = parent.create_group(name)
    group.attrs["NX_class"] = nx_class
    return group


def _value(group: h5py.Group, name: str, value: Any, units: str | None = None) -> h5py.Dataset:
    dataset = group.create_dataset(name, data=value)
    if units is not None:
        dataset.attrs["units"] = units
    return dataset


def _growing(group: h5py.Group, name: str, dtype: Any, units: str | None, compression: str | None,
             shape: tuple[int, ...] = ()) -> h5py.Dataset:
    dataset = group.create_dataset(name, shape=(0, *shape), maxshape=(None, *shape), dtype=dtype,
                                   chunks=(_EVENT_CHUNK,) if not shape else (1, *shape), compression=compression)
    if units is not None:
        dataset.attrs["units"] = units
    return dataset


def _append(dataset: h5py.Dataset, values: npt.ArrayLike) -> None:
    array = np.asarray(values)
    if len(array) == 0:
        return
    start = dataset.shape[0]
    dataset.resize(start + len(array), axis=0)
    dataset[start:] = array


class _Held:
    """A group whose members stay open while blocks are written: closing a
    dataset writes out its cached chunks, and a file followed by readers
    never reuses the space of a chunk written twice."""

    def __init__(self, group: h5py.Group) -> None:
        self._group = group
        self._members: dict[str, Any] = {}

    def __getitem__(self, name: str) -> Any:
        member = self._members.get(name)
        if member is None:
            member = self._group[name]
            if isinstance(member, h5py.Group):
                member = _Held(member)
            self._members[name] = member
        return member


@dataclasses.dataclass(frozen=True)
class ChipRecord:
    """What the file keeps of a chip, as read before the start.

    Attributes:
        name (str): The chip's name.
        threshold (float): keV.
        threshold_raw (int): The threshold as the chip's DAC value.
        polarity (str): The ChipPolarity's name.
        mode (str): The OperationalMode's name.
        pixel_mask (numpy.ndarray): The mask as written to the chip (0 masks a pixel).
    """

    name: str
    threshold: float
    threshold_raw: int
    polarity: str
    mode: str
    pixel_mask: npt.NDArray[Any]


@dataclasses.dataclass(frozen=True)
class DetectorRecord:
    """What the file keeps of the detector, as read before the start: taken
    from an open device (`read`), or from a stream's start message, so that a
    file can be written far from the device.

    Attributes:
        serial_number (str), description (str), connection_string (str): Who it is.
        bias (tuple[float, float] | None): (desired, actual) volts of bias
            source 0; None for a device without one.
        chips (tuple[ChipRecord, ...]): Every chip, in the SDK's order.
        monitors (tuple[str, ...]): The monitors' names.
        readings (numpy.ndarray): Their readings (float64, NaN where unavailable).
    """

    serial_number: str
    description: str
    connection_string: str
    bias: tuple[float, float] | None
    chips: tuple[ChipRecord, ...]
    monitors: tuple[str, ...]
    readings: npt.NDArray[np.float64]

    @classmethod
    def read(cls, device: Device) -> DetectorRecord:
        """Reads the record from an open device."""
        from vexasdk.enumeration import enumerate_devices

        described = next((d for d in enumerate_devices() if d.connection_string == device.connection_string), None)
        bias = None
        if device.bias_sources:
            bias = (float(device.bias_sources[0].get_desired()), float(device.bias_sources[0].actual()))
        chips = []
        for chip in device.chips:
            info, settings = chip.info(), chip.settings()
            chips.append(ChipRecord(info.chip_name, float(chip.get_threshold()), int(chip.get_raw_threshold()),
                                    settings.polarity.name, settings.mode.name, np.asarray(chip.get_pixel_mask())))
        return cls(described.serial_number if described else "", described.product_name if described else "",
                   device.connection_string, bias, tuple(chips),
                   tuple(channel.info().name for channel in device.monitors), _readings(device))


@dataclasses.dataclass(frozen=True)
class RunEnd:
    """What the file keeps of an acquisition's end.

    Attributes:
        started_at (float), ended_at (float): Seconds since the epoch.
        elapsed (float): Seconds it ran.
        failed_fetches (int): Blocks the SDK could not hand over.
        dropped (int): Blocks lost before they reached the writer (the
            writer adds those it dropped itself).
        bias_voltage (float | None): The measured bias at the end; None keeps
            the one read at the start.
        readings (numpy.ndarray | None): The monitors' readings at the end;
            None leaves them unknown (NaN).
    """

    started_at: float
    ended_at: float
    elapsed: float
    failed_fetches: int
    dropped: int
    bias_voltage: float | None = None
    readings: npt.NDArray[np.float64] | None = None

    @classmethod
    def of(cls, acquisition: Acquisition) -> RunEnd:
        """The end of a local acquisition, reading its device while it is open."""
        counts, device = acquisition.counts, acquisition.device
        bias, readings = None, None
        if not device.closed:
            if device.bias_sources:
                bias = float(device.bias_sources[0].actual())
            readings = _readings(device)
        started = acquisition.started_at or _now()  # 0 when it never started: it ran for no time
        ended = acquisition.ended_at or _now()
        return cls(started, ended, max(0.0, ended - started), counts.failed_fetches, counts.dropped, bias, readings)


@dataclasses.dataclass
class _Counts:
    blocks: int = 0
    events: int = 0
    dropped: int = 0


class HDF5Writer:
    """Writes an acquisition's blocks to an HDF5/NeXus file, from a thread of
    its own; a sink for `Device.acquire(sinks=[writer])`.

    Args:
        path: The file to write.
        overwrite: Replace an existing file; otherwise one is refused.
        compression: "lzf" (fast, the default), "gzip", or None.
        max_queued: Blocks waiting for the disk, at most; a block that finds
            the queue full waits up to `full_timeout` seconds, then is dropped
            and counted in ``dropped_blocks``.
        full_timeout: See `max_queued`.
        bright_field_radius: Binned data: the virtual bright-field disc, in pixels.
        dark_field_radii: Binned data: the annular dark-field ring, in pixels.

    Raises:
        FileExistsError: `path` exists and `overwrite` is false.
        ValueError: An argument outside its range.
    """

    def __init__(self, path: str | os.PathLike[str], *, overwrite: bool = False, compression: str | None = "lzf",
                 max_queued: int = 4096, full_timeout: float = 2.0, bright_field_radius: float = 32.0,
                 dark_field_radii: tuple[float, float] = (48.0, 200.0)) -> None:
        self.path = os.fspath(path)
        if compression not in ("lzf", "gzip", None):
            raise ValueError(f"compression must be 'lzf', 'gzip' or None, got {compression!r}")
        if isinstance(max_queued, bool) or not isinstance(max_queued, int) or max_queued < 1:
            raise ValueError(f"max_queued must be an integer of at least 1, got {max_queued!r}")
        inner, outer = dark_field_radii
        if not (0 < bright_field_radius and 0 <= inner < outer):
            raise ValueError(f"need 0 < bright_field_radius and 0 <= inner < outer dark-field radii, got "
                             f"{bright_field_radius!r} and {dark_field_radii!r}")
        if not overwrite and os.path.exists(self.path):
            raise FileExistsError(f"{self.path} exists; give overwrite=True to replace it")
        self._overwrite = overwrite
        self._compression = compression
        self._queue: queue.Queue[Block | None] = queue.Queue(max_queued)
        self._full_timeout = full_timeout
        self._radii = (float(bright_field_radius), float(inner), float(outer))
        self._file: h5py.File | None = None
        self._thread: threading.Thread | None = None
        self._counts = _Counts()
        self._guard = threading.Lock()
        self._error: BaseException | None = None
        self._event_count = 0
        self._shape = (0, 0)
        self._entry: _Held | None = None

    # ---- the sink ----

    def open(self, acquisition: Acquisition) -> None:
        """Makes the file with its whole layout; the acquisition has not started yet."""
        self.begin(acquisition.mode, acquisition.scan_shape, DetectorRecord.read(acquisition.device))

    def begin(self, mode: OperationalMode, scan_shape: tuple[int, int] | None, detector: DetectorRecord) -> None:
        """Makes the file with its whole layout for a run of `mode` on `detector`
        (what `open` does for a local acquisition; a stream's receiver calls it
        with what the stream's start said). Blocks follow through `put`.

        Raises:
            FileExistsError, OSError: The file cannot be made.
            ValueError: A binned mode without its scan shape.
        """
        if mode in BINNED_MODES and scan_shape is None:
            raise ValueError(f"mode {mode.name} needs the scan shape")
        try:
            self._file = h5py.File(self.path, "w" if self._overwrite else "w-", libver="latest",
                                   rdcc_nbytes=_CHUNK_CACHE)
        except FileExistsError:
            raise FileExistsError(f"{self.path} exists; give overwrite=True to replace it") from None
        except OSError as error:
            raise OSError(f"cannot create {self.path}: {error}") from None
        try:
            self._layout(mode, scan_shape, detector)
            self._file.swmr_mode = True  # from here on a reader may follow the file
        except BaseException:
            self._file.close()
            raise
        self._thread = threading.Thread(target=self._write_all, name="vexasdk-hdf5-writer", daemon=True)
        self._thread.start()

    def put(self, block: Block) -> None:
        """Queues `block` for the disk (SDK thread): waits a bounded time for room."""
        if self._error is not None:
            self._drop()
            return
        try:
            self._queue.put(block, timeout=self._full_timeout)
        except queue.Full:
            self._drop()

    def close(self, acquisition: Acquisition) -> None:
        """Writes what is still queued and the end's metadata, and closes the
        file. Raises what went wrong with the disk, if anything did."""
        self.end(acquisition)

    def end(self, end: Acquisition | RunEnd) -> None:
        """Writes what is still queued and the end's metadata (of a local
        acquisition, or as a stream's end message said), and closes the file.
        Raises what went wrong with the disk, if anything did."""
        if self._thread is not None:
            self._queue.put(None)
            self._thread.join()
        assert self._file is not None
        try:
            self._finish(end if isinstance(end, RunEnd) else RunEnd.of(end))
        except BaseException as error:
            self._error = self._error or error
        finally:
            self._entry = None
            self._file.close()
        if self._error is not None:
            raise OSError(f"writing {self.path} failed: {self._error}") from self._error

    def _drop(self) -> None:
        with self._guard:
            self._counts.dropped += 1

    # ---- layout ----

    def _layout(self, mode: OperationalMode, scan_shape: tuple[int, int] | None, detector: DetectorRecord) -> None:
        assert self._file is not None
        f = self._file
        self._shape = detector_shape(max(1, len(detector.chips)))
        f.attrs["creator"] = FORMAT
        f.attrs["default"] = "entry"
        entry = _group(f, "entry", "NXentry")
        entry.attrs["default"] = "events" if mode in _TOA_TOT else "data"
        entry.attrs["creator"] = FORMAT
        for name in ("start_time", "end_time"):
            entry.create_dataset(name, shape=(), dtype=_TIME)
        entry["start_time"][()] = _iso(_now()).encode()
        _value(entry, "mode", mode.name)
        _value(entry, "duration", 0.0, "s")
        for name in ("block_count", "event_count", "failed_fetches", "dropped_blocks"):
            _value(entry, name, np.int64(0))
        self._detector(_group(_group(entry, "instrument", "NXinstrument"), "detector", "NXdetector"), detector)
        if mode in _TOA_TOT:
            self._events(entry, mode)
        elif mode is M.fb_itot_evcount:
            data = self._nxdata(entry, "evcount", ["frame", "y", "x"])
            _growing(data, "evcount", np.uint16, None, self._compression, self._shape)
            _growing(data, "itot", np.uint32, "ns", self._compression, self._shape)
        else:
            assert scan_shape is not None
            self._scan(entry, mode, scan_shape)

    def _detector(self, group: h5py.Group, detector: DetectorRecord) -> None:
        _value(group, "serial_number", detector.serial_number)
        _value(group, "description", detector.description)
        _value(group, "connection_string", detector.connection_string)
        _value(group, "x_pixel_size", 55e-6, "m")
        _value(group, "y_pixel_size", 55e-6, "m")
        group.create_dataset("bias_voltage", shape=(), dtype=np.float64).attrs["units"] = "V"
        group.create_dataset("bias_voltage_desired", shape=(), dtype=np.float64).attrs["units"] = "V"
        if detector.bias is not None:
            group["bias_voltage_desired"][()], group["bias_voltage"][()] = detector.bias
        for index, chip in enumerate(detector.chips):
            chip_group = _group(group, f"chip_{index}", "NXcollection")
            _value(chip_group, "name", chip.name)
            _value(chip_group, "threshold", chip.threshold, "keV")
            _value(chip_group, "threshold_raw", chip.threshold_raw)
            _value(chip_group, "polarity", chip.polarity)
            _value(chip_group, "mode", chip.mode)
            chip_group.create_dataset("pixel_mask", data=chip.pixel_mask, compression=self._compression)
        monitors = _group(group, "monitors", "NXcollection")
        monitors.create_dataset("name", data=np.array(list(detector.monitors), dtype=object), dtype=_TEXT)
        monitors.create_dataset("start", data=np.asarray(detector.readings, np.float64))
        monitors.create_dataset("end", shape=(len(detector.monitors),), dtype=np.float64, fillvalue=np.nan)

    def _events(self, entry: h5py.Group, mode: OperationalMode) -> None:
        events = _group(entry, "events", "NXevent_data")
        c = self._compression
        _growing(events, "event_id", np.uint32, None, c)
        _growing(events, "event_time_offset", np.float64, "ns", c)
        _growing(events, "event_time_zero", np.float64, "ns", c)
        _growing(events, "event_index", np.uint64, None, c)
        _growing(events, "tot", np.uint32, "ns", c)
        if mode is not M.fb_toa_tot:
            # Made now: datasets cannot be added once readers may follow the file.
            tdc = _group(entry, "tdc", "NXcollection")
            for channel in range(_TDC_CHANNELS):
                _growing(tdc, f"channel_{channel}", np.float64, "ns", c)

    def _nxdata(self, entry: h5py.Group, signal: str, axes: list[str]) -> h5py.Group:
        data = _group(entry, "data", "NXdata")
        data.attrs["signal"] = signal
        data.attrs["axes"] = axes
        return data

    def _scan(self, entry: h5py.Group, mode: OperationalMode, scan_shape: tuple[int, int]) -> None:
        width, height = scan_shape
        signal = {M.binned_data: "counts", M.binned_evcount: "evcount", M.binned_itot: "itot"}[mode]
        data = self._nxdata(entry, signal, ["scan_y", "scan_x", "y", "x"] if mode is M.binned_data
                            else ["scan_y", "scan_x"])
        image = {"shape": (height, width), "chunks": True, "compression": self._compression}
        if mode is M.binned_data:
            rows, columns = self._shape
            data.create_dataset("counts", shape=(height, width, rows, columns), dtype=np.uint16,
                                chunks=(1, 1, rows, columns), compression=self._compression)
            for name in ("bright_field", "annular_dark_field"):
                data.create_dataset(name, dtype=np.uint64, **image)
            data["bright_field"].attrs["radius"] = self._radii[0]
            data["annular_dark_field"].attrs["radii"] = self._radii[1:]
        if mode in (M.binned_data, M.binned_evcount):
            data.create_dataset("evcount", dtype=np.uint64, **image)
        if mode in (M.binned_data, M.binned_itot):
            data.create_dataset("itot", dtype=np.uint64, **image).attrs["units"] = "ns"

    # ---- blocks ----

    def _write_all(self) -> None:
        # Flushing after every block would rewrite each growing compressed
        # chunk once per block and leave the old copies as holes in the file;
        # a reader following the file sees what arrived at most a flush
        # interval late instead. A block counts once it is on the disk.
        assert self._file is not None
        unflushed = _Counts()
        deadline: float | None = None
        while True:
            try:
                block = self._queue.get(timeout=None if deadline is None else max(0.0, deadline - _now()))
            except queue.Empty:
                block = _FLUSH_NOW
            if block is None or block is _FLUSH_NOW or (deadline is not None and _now() >= deadline):
                self._flush(unflushed)
                unflushed, deadline = _Counts(), None
            if block is None:
                return
            if block is _FLUSH_NOW:
                continue
            if self._error is not None:
                self._drop()
                continue
            try:
                self._write(block)
            except BaseException as error:  # the disk: nothing more gets in, what is in stays
                self._flush(unflushed)
                unflushed, deadline = _Counts(), None
                self._error = error
                self._drop()
                continue
            unflushed.blocks += 1
            unflushed.events += block.event_count()
            if deadline is None:
                deadline = _now() + _FLUSH_INTERVAL

    def _flush(self, written: _Counts) -> None:
        assert self._file is not None
        if self._error is None:
            try:
                self._file.flush()
            except BaseException as error:
                self._error = error
        with self._guard:
            if self._error is None:
                self._counts.blocks += written.blocks
                self._counts.events += written.events
            else:
                self._counts.dropped += written.blocks

    def _write(self, block: Block) -> None:
        assert self._file is not None
        if self._entry is None:
            self._entry = _Held(self._file["entry"])
        entry: Any = self._entry
        if block.mode in _TOA_TOT:
            self._write_events(entry, block)
        elif block.mode is M.fb_itot_evcount:
            self._write_frame(entry["data"], block.arrays[0])
        else:
            self._write_scan(entry["data"], block)

    def _write_events(self, entry: h5py.Group, block: Block) -> None:
        events, packets = entry["events"], block.arrays[0]
        toa_ns = np.asarray(packets.toa, np.float64) * TOA_NS
        if block.metadata is not None:
            zero = float(block.metadata.shutter_start) * TOA_NS
        else:
            zero = float(toa_ns.min()) if len(toa_ns) else 0.0
        rows, columns = detector_coordinates(packets.address)
        _append(events["event_index"], [self._event_count])
        _append(events["event_time_zero"], [zero])
        _append(events["event_id"], (rows * self._shape[1] + columns).astype(np.uint32))
        _append(events["event_time_offset"], toa_ns - zero)
        _append(events["tot"], np.asarray(packets.tot, np.uint32) * np.uint32(TOT_NS))
        self._event_count += len(packets)
        if block.metadata is not None:
            tdc = entry["tdc"]
            for channel, stamps in enumerate(block.metadata.tdcs[:_TDC_CHANNELS]):
                _append(tdc[f"channel_{channel}"], np.asarray(stamps, np.float64) * TOA_NS)

    def _write_frame(self, data: h5py.Group, packets: Any) -> None:
        rows, columns = detector_coordinates(packets.address)
        inside = (rows < self._shape[0]) & (columns < self._shape[1])
        evcount = np.zeros(self._shape, np.uint16)
        itot = np.zeros(self._shape, np.uint32)
        evcount[rows[inside], columns[inside]] = np.minimum(packets.evcount[inside], np.iinfo(np.uint16).max)
        itot[rows[inside], columns[inside]] = np.asarray(packets.itot[inside], np.uint32) * np.uint32(ITOT_NS)
        _append(data["evcount"], evcount[None])
        _append(data["itot"], itot[None])

    def _write_scan(self, data: h5py.Group, block: Block) -> None:
        assert block.scan_shape is not None and block.first_position is not None
        width, height = block.scan_shape
        total = width * height
        first, count = block.first_position, block.positions
        positions = (first + np.arange(count)) % total
        y, x = np.divmod(positions, width)
        totals = np.asarray(block.arrays[0], np.uint64)
        if block.mode is M.binned_itot:
            _write_points(data["itot"], y, x, totals * np.uint64(ITOT_NS))
            return
        _write_points(data["evcount"], y, x, totals)
        if block.mode is M.binned_evcount:
            return
        _write_points(data["itot"], y, x, np.asarray(block.arrays[1], np.uint64) * np.uint64(ITOT_NS))
        packets = block.arrays[2]
        per_position = np.asarray(ak.num(packets, axis=1), np.int64)
        flat = ak.flatten(packets)
        rows, columns = detector_coordinates(ak.to_numpy(flat.address))
        counts = np.asarray(ak.to_numpy(flat.evcount), np.uint64)
        owner = np.repeat(np.arange(count), per_position)
        centre = (self._shape[0] / 2, self._shape[1] / 2)
        radius = np.hypot(rows - centre[0] + 0.5, columns - centre[1] + 0.5)
        bf_radius, inner, outer = self._radii
        bright = np.bincount(owner, weights=counts * (radius <= bf_radius), minlength=count)
        dark = np.bincount(owner, weights=counts * ((radius >= inner) & (radius <= outer)), minlength=count)
        _write_points(data["bright_field"], y, x, bright.astype(np.uint64))
        _write_points(data["annular_dark_field"], y, x, dark.astype(np.uint64))
        self._write_dense(data["counts"], y, x, owner, rows, columns, counts)

    def _write_dense(self, dataset: h5py.Dataset, y: npt.NDArray[np.intp], x: npt.NDArray[np.intp],
                     owner: npt.NDArray[np.intp], rows: npt.NDArray[np.intp], columns: npt.NDArray[np.intp],
                     counts: npt.NDArray[np.uint64]) -> None:
        # A few positions at a time: a dense frame is half a megabyte.
        step = 16
        inside = (rows < self._shape[0]) & (columns < self._shape[1])
        for start in range(0, len(y), step):
            stop = min(start + step, len(y))
            slab = np.zeros((stop - start, *self._shape), np.uint16)
            mine = inside & (owner >= start) & (owner < stop)
            slab[owner[mine] - start, rows[mine], columns[mine]] = np.minimum(counts[mine], np.iinfo(np.uint16).max)
            for i in range(stop - start):  # positions of a block need not share a scan row
                dataset[y[start + i], x[start + i]] = slab[i]

    # ---- the end ----

    def _finish(self, end: RunEnd) -> None:
        assert self._file is not None
        entry = self._file["entry"]
        with self._guard:
            written = dataclasses.replace(self._counts)
        entry["start_time"][()] = _iso(end.started_at).encode()
        entry["end_time"][()] = _iso(end.ended_at).encode()
        entry["duration"][()] = end.elapsed
        entry["block_count"][()] = written.blocks
        entry["event_count"][()] = written.events
        entry["failed_fetches"][()] = end.failed_fetches
        entry["dropped_blocks"][()] = written.dropped + end.dropped
        detector = entry["instrument/detector"]
        if end.bias_voltage is not None:
            detector["bias_voltage"][()] = end.bias_voltage
        if end.readings is not None:
            detector["monitors/end"][:] = end.readings


def _now() -> float:
    import time

    return time.time()


def _write_points(dataset: h5py.Dataset, y: npt.NDArray[np.intp], x: npt.NDArray[np.intp],
                  values: npt.NDArray[Any]) -> None:
    """Writes `values` at the scan positions (y, x), which run row by row and may
    wrap into a next scan: contiguous runs of a row are written at once."""
    start = 0
    while start < len(y):
        stop = start + 1
        while stop < len(y) and y[stop] == y[start] and x[stop] == x[stop - 1] + 1:
            stop += 1
        dataset[y[start], x[start]:x[stop - 1] + 1] = values[start:stop]
        start = stop


def _readings(device: Device) -> npt.NDArray[np.float64]:
    values = []
    for channel in device.monitors:
        try:
            values.append(float(channel.fetch_value()))
        except Exception:  # an unavailable monitor reads as NaN
            values.append(float("nan"))
    return np.array(values, np.float64)


# ---- the reader ----


@dataclasses.dataclass(frozen=True)
class Run:
    """A saved acquisition, read back by `load`.

    Attributes:
        path (str): The file.
        mode (OperationalMode): The mode it ran in.
        metadata (dict[str, Any]): The entry's fields (start_time, end_time,
            duration, block_count, event_count, failed_fetches, dropped_blocks) and the
            detector's (serial_number, description, connection_string,
            bias_voltage, bias_voltage_desired).
        chips (list[dict[str, Any]]): Per chip: name, threshold, threshold_raw,
            polarity, mode, pixel_mask.
        monitors (dict[str, tuple[float, float]]): Name: (reading at start, at end).
        arrays (dict[str, numpy.ndarray]): The data, by dataset name, each read
            when first asked for: event_id, event_time_offset, event_time_zero,
            event_index, tot and tdc/channel_<n> for ToA-ToT; evcount and itot
            frames; counts, evcount, itot, bright_field, annular_dark_field for
            scans.
    """

    path: str
    mode: OperationalMode
    metadata: dict[str, Any]
    chips: list[dict[str, Any]]
    monitors: dict[str, tuple[float, float]]
    arrays: dict[str, npt.NDArray[Any]]

    def __getitem__(self, name: str) -> npt.NDArray[Any]:
        return self.arrays[name]

    def detector_image(self) -> npt.NDArray[np.uint64]:
        """Events per pixel of the assembled detector over the whole run."""
        rows, columns = detector_shape(max(1, len(self.chips)))
        if self.mode in _TOA_TOT:
            ids = self.arrays["event_id"]
            return np.bincount(ids, minlength=rows * columns)[: rows * columns].reshape(rows, columns).astype(
                np.uint64)
        if self.mode is M.fb_itot_evcount:
            return self.arrays["evcount"].sum(axis=0, dtype=np.uint64)
        if self.mode is M.binned_data:
            assert isinstance(self.arrays, _Arrays)
            return self.arrays.sum_over_scan()
        return np.zeros((rows, columns), np.uint64)

    def block_events(self) -> Iterator[tuple[float, npt.NDArray[Any]]]:
        """ToA-ToT runs: (event_time_zero, event ids) of each block."""
        index, zero, ids = self.arrays["event_index"], self.arrays["event_time_zero"], self.arrays["event_id"]
        ends = np.append(index[1:], len(ids))
        for first, last, time_zero in zip(index, ends, zero):
            yield float(time_zero), ids[int(first):int(last)]


class _Arrays(dict[str, npt.NDArray[Any]]):
    """The run's datasets by name, each read from the file when first asked
    for: a scan's dense counts may be larger than memory likes."""

    def __init__(self, path: str, names: list[str]) -> None:
        super().__init__()
        self._path, self._names = path, names

    def _dataset_path(self, name: str) -> str:
        group = "tdc" if name.startswith("tdc/") else ("events" if name in _EVENT_FIELDS else "data")
        return f"entry/{group}/{name.removeprefix('tdc/')}"

    def __missing__(self, name: str) -> npt.NDArray[Any]:
        if name not in self._names:
            raise KeyError(name)
        with h5py.File(self._path, "r", libver="latest", swmr=True) as f:
            value: npt.NDArray[Any] = f[self._dataset_path(name)][()]
        self[name] = value
        return value

    def __contains__(self, name: object) -> bool:
        return name in self._names

    def keys(self) -> Any:
        return list(self._names)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)

    def items(self) -> Any:
        return [(name, self[name]) for name in self._names]

    def sum_over_scan(self) -> npt.NDArray[np.uint64]:
        """Scans: the dense counts summed over every position, read a scan row at a time."""
        with h5py.File(self._path, "r", libver="latest", swmr=True) as f:
            counts = f["entry/data/counts"]
            total = np.zeros(counts.shape[2:], np.uint64)
            for row in range(counts.shape[0]):
                total += counts[row].sum(axis=0, dtype=np.uint64)
        return total


_EVENT_FIELDS = ("event_id", "event_time_offset", "event_time_zero", "event_index", "tot")


def _decoded(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, np.generic):
        return value.item()
    return value


def load(path: str | os.PathLike[str]) -> Run:
    """Reads a file the HDF5 writer made.

    Raises:
        NotOurFile: The file is HDF5 but not of this layout.
        OSError: The file cannot be read (or is not HDF5).
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path} does not exist")
    try:
        opened = h5py.File(path, "r", libver="latest", swmr=True)
    except OSError:
        raise NotOurFile(f"{path} is not an HDF5 file, let alone one of vexasdk's") from None
    with opened as f:
        if _decoded(f.attrs.get("creator")) != FORMAT or "entry" not in f:
            raise NotOurFile(f"{path} is not a file of vexasdk's ({FORMAT!r})")
        entry = f["entry"]
        mode = OperationalMode[_decoded(entry["mode"][()])]
        metadata = {name: _decoded(entry[name][()]) for name in (
            "start_time", "end_time", "duration", "block_count", "event_count", "failed_fetches", "dropped_blocks")}
        detector = entry["instrument/detector"]
        for name in ("serial_number", "description", "connection_string", "bias_voltage", "bias_voltage_desired"):
            metadata[name] = _decoded(detector[name][()])
        chips = []
        index = 0
        while f"chip_{index}" in detector:
            group = detector[f"chip_{index}"]
            chips.append({name: _decoded(group[name][()]) for name in group})
            index += 1
        monitors_group = detector["monitors"]
        names = [_decoded(n) for n in monitors_group["name"][()]]
        monitors = {name: (float(a), float(b)) for name, a, b in
                    zip(names, monitors_group["start"][()], monitors_group["end"][()])}
        names = [f"tdc/{name}" if group_name == "tdc" else name
                 for group_name in ("events", "data", "tdc") if group_name in entry for name in entry[group_name]]
    return Run(path, mode, metadata, chips, monitors, _Arrays(path, names))
