"""Reading a saved run back: `load` gives a `Run`, whose data are read from
the file when first asked for. Files of the first layout ("vexasdk 1"), as
earlier versions wrote them, load as well."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterator
from typing import Any

import h5py  # type: ignore[import-untyped]
import hdf5plugin  # noqa: F401  (the compressions' filters, for HDF5)
import numpy as np
import numpy.typing as npt

from vexasdk.nexus import layout as lay
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import detector_shape

__all__ = ["FIRST_FORMAT", "NotOurFile", "Run", "load"]

M = OperationalMode
FIRST_FORMAT = "vexasdk 1"
_RUN_FIELDS = ("start_time", "end_time", "duration", "block_count", "event_count", "failed_fetches", "dropped_blocks",
               "complete")
_DETECTOR_FIELDS = ("serial_number", "description", "connection_string", "bias_voltage", "bias_voltage_desired")
_FIRST_EVENT_FIELDS = ("event_id", "event_time_offset", "event_time_zero", "event_index", "tot")


class NotOurFile(ValueError):
    """The file is not one the HDF5 writer made."""


@dataclasses.dataclass(frozen=True)
class Run:
    """A saved acquisition, read back by `load`.

    Attributes:
        path (str): The file.
        mode (OperationalMode): The mode it ran in.
        metadata (dict[str, Any]): The entry's fields (start_time, end_time,
            duration, block_count, event_count, failed_fetches, dropped_blocks,
            complete) and the
            detector's (serial_number, description, connection_string,
            bias_voltage, bias_voltage_desired).
        chips (list[dict[str, Any]]): Per chip: name, threshold, threshold_raw,
            polarity, mode, pixel_mask (as written to the chip: 0 masks a pixel).
        monitors (dict[str, tuple[float, float]]): Name: (reading at start, at end).
        arrays (dict[str, numpy.ndarray]): The data, by name, each read when
            first asked for: event_id, event_time_offset, event_time_zero
            (ns of the detector's clock), event_index, tot and tdc/channel_<n>
            for ToA-ToT; evcount and itot frames; counts, evcount, itot,
            bright_field, annular_dark_field for scans.
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
        if self.mode in lay.TOA_TOT:
            ids = self.arrays["event_id"]
            return np.bincount(ids, minlength=rows * columns)[: rows * columns].reshape(rows, columns).astype(
                np.uint64)
        if self.mode is M.fb_itot_evcount:
            return self.arrays["evcount"].sum(axis=0, dtype=np.uint64)
        if self.mode is M.binned_data:
            assert isinstance(self.arrays, _Arrays)
            return self.arrays.sum_over_scan()
        return np.zeros((rows, columns), np.uint64)

    def describe(self, name: str) -> tuple[tuple[int, ...], np.dtype[Any], str | None]:
        """(shape, dtype, units) of the data `name` (one of `arrays`), read
        without reading the data."""
        assert isinstance(self.arrays, _Arrays)
        return self.arrays.describe(name)

    def block_events(self) -> Iterator[tuple[float, npt.NDArray[Any]]]:
        """ToA-ToT runs: (event_time_zero, event ids) of each block."""
        index, zero, ids = self.arrays["event_index"], self.arrays["event_time_zero"], self.arrays["event_id"]
        ends = np.append(index[1:], len(ids))
        for first, last, time_zero in zip(index, ends, zero):
            yield float(time_zero), ids[int(first):int(last)]


class _Arrays(dict[str, npt.NDArray[Any]]):
    """The run's datasets by name, each read from the file when first asked
    for: a scan's dense counts may be larger than memory likes."""

    def __init__(self, path: str, paths: dict[str, str], lengths: dict[str, int] | None = None) -> None:
        super().__init__()
        self._path, self._paths, self._lengths = path, paths, lengths or {}

    def __missing__(self, name: str) -> npt.NDArray[Any]:
        if name not in self._paths:
            raise KeyError(name)
        with _open(self._path) as f:
            dataset = f[self._paths[name]]
            # A writer that failed may have grown a dataset past what it
            # flushed: the counts say what the file holds.
            length = self._lengths.get(name)
            value: npt.NDArray[Any] = dataset[()] if length is None else dataset[:length]
        self[name] = value
        return value

    def __contains__(self, name: object) -> bool:
        return name in self._paths

    def describe(self, name: str) -> tuple[tuple[int, ...], np.dtype[Any], str | None]:
        with _open(self._path) as f:
            dataset = f[self._paths[name]]
            length = self._lengths.get(name)
            shape = dataset.shape if length is None else (min(length, dataset.shape[0]), *dataset.shape[1:])
            units = _decoded(dataset.attrs.get("units"))
            return shape, dataset.dtype, units

    def keys(self) -> Any:
        return list(self._paths)

    def __iter__(self) -> Iterator[str]:
        return iter(self._paths)

    def __len__(self) -> int:
        return len(self._paths)

    def items(self) -> Any:
        return [(name, self[name]) for name in self._paths]

    def sum_over_scan(self) -> npt.NDArray[np.uint64]:
        """Scans: the dense counts summed over every position, read a scan row at a time."""
        with _open(self._path) as f:
            counts = f[self._paths["counts"]]
            total = np.zeros(counts.shape[2:], np.uint64)
            for row in range(counts.shape[0]):
                total += counts[row].sum(axis=0, dtype=np.uint64)
        return total


def _open(path: str) -> h5py.File:
    # As a reader following the file: it may still be written, or its writer
    # may have died and left it marked as open for writing.
    return h5py.File(path, "r", libver="latest", swmr=True)


def _decoded(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, np.generic):
        return value.item()
    return value


def load(path: str | os.PathLike[str]) -> Run:
    """Reads a file the HDF5 writer made (of this version or an earlier one).
    A file whose writer died reads as it was at its last flush.

    Raises:
        NotOurFile: The file is HDF5 but not of this layout.
        FileNotFoundError: There is no such file.
        OSError: The file cannot be read.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path} does not exist")
    if not h5py.is_hdf5(path):
        raise NotOurFile(f"{path} is not an HDF5 file, let alone one of vexasdk's")
    try:
        opened = _open(path)
    except OSError as error:
        raise OSError(f"cannot read {path}: {error}") from None
    with opened as f:
        creator = _decoded(f.attrs.get("creator"))
        if "entry" not in f or creator not in (lay.FORMAT, FIRST_FORMAT):
            raise NotOurFile(f"{path} is not a file of vexasdk's ({lay.FORMAT!r})")
        entry = f["entry"]
        mode = OperationalMode[_decoded(entry["mode"][()])]
        metadata = {name: _decoded(entry[name][()]) for name in _RUN_FIELDS if name in entry}
        # Files of the first format say nothing of completeness but what they lost.
        metadata["complete"] = bool(metadata.get("complete", not metadata["dropped_blocks"]
                                                 and not metadata["failed_fetches"]))
        detector = entry[lay.DETECTOR]
        for name in _DETECTOR_FIELDS:
            metadata[name] = _decoded(detector[name][()])
        # Chips and monitors: beside the detector, or in it in the first layout.
        holder = entry["instrument"] if creator == lay.FORMAT else detector
        chips: list[dict[str, Any]] = []
        while f"chip_{len(chips)}" in holder:
            group = holder[f"chip_{len(chips)}"]
            chip = {name: _decoded(group[name][()]) for name in group if name not in ("data_origin", "data_size")}
            if "chip_mask" in chip:
                chip["pixel_mask"] = chip.pop("chip_mask")
            chips.append(chip)
        if creator == lay.FORMAT:
            monitors = {_decoded(log["description"][()]): (float(log["value"][0]), float(log["value"][1]))
                        for log in holder.values() if _decoded(log.attrs.get("NX_class")) == "NXlog"}
            paths = {name: f"entry/{where}" for name, where in lay.arrays_of(mode).items()}
        else:
            monitors, paths = _first_format(entry)
    return Run(path, mode, metadata, chips, monitors, _Arrays(path, paths, _lengths(mode, metadata)))


def _lengths(mode: OperationalMode, metadata: dict[str, Any]) -> dict[str, int]:
    """How many rows of each growing dataset the file's counts vouch for."""
    blocks, events = int(metadata["block_count"]), int(metadata["event_count"])
    if mode in lay.TOA_TOT:
        return {"event_index": blocks, "event_time_zero": blocks, "event_id": events, "event_time_offset": events,
                "tot": events}
    if mode is M.fb_itot_evcount:
        return {"evcount": blocks, "itot": blocks}
    return {}


def _first_format(entry: h5py.Group) -> tuple[dict[str, tuple[float, float]], dict[str, str]]:
    """Monitors and data of a file of the first layout."""
    group = entry["instrument/detector/monitors"]
    names = [_decoded(n) for n in group["name"][()]]
    monitors = {name: (float(a), float(b)) for name, a, b in zip(names, group["start"][()], group["end"][()])}
    paths = {}
    for where in ("events", "data", "tdc"):
        for name in entry.get(where, ()):
            paths[f"tdc/{name}" if where == "tdc" else name] = f"entry/{where}/{name}"
    return monitors, paths
