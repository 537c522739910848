"""Reading a saved run back: `load` gives a `Run`, whose data are read from
the file when first asked for. Files of the first layout ("vexasdk 1"), as
earlier versions wrote them, load as well."""

from __future__ import annotations

import contextlib
import ctypes
import dataclasses
import functools
import os
import stat
from collections.abc import Iterator
from typing import Any

import h5py  # type: ignore[import-untyped]
import hdf5plugin  # noqa: F401  (the compressions' filters, for HDF5)
import numpy as np
import numpy.typing as npt

from vexasdk.nexus import layout as lay
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import detector_shape

__all__ = ["FIRST_FORMAT", "BadFile", "NotOurFile", "Run", "load"]

M = OperationalMode
FIRST_FORMAT = "vexasdk 1"
_RUN_FIELDS = ("start_time", "end_time", "duration", "block_count", "event_count", "failed_fetches", "dropped_blocks",
               "complete")
_DETECTOR_FIELDS = ("serial_number", "description", "connection_string", "bias_voltage", "bias_voltage_desired")
_FIRST_EVENT_FIELDS = ("event_id", "event_time_offset", "event_time_zero", "event_index", "tot")


class NotOurFile(ValueError):
    """The file is not one the HDF5 writer made."""


class BadFile(NotOurFile):
    """A file that cannot be read as a run: damaged, truncated, not a regular
    file, or reaching into other files. Says the file and the place in it.

    Attributes:
        path (str): The file.
        inside (str): The object in it that failed ("/" for the file itself).
    """

    def __init__(self, path: str, inside: str, what: str) -> None:
        super().__init__(f"{path}: {inside}: {what}")
        self.path, self.inside = path, inside


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
            bias_voltage, bias_voltage_desired; count_time, the dwell at each
            position in s, for a binned run whose dwell was known); for a
            run saved with clusters, "clusters": their counts (cluster_count,
            batch_count, hit_count, late_hits, out_of_range_hits,
            cut_clusters, dropped_blocks).
        chips (list[dict[str, Any]]): Per chip: name, threshold, threshold_raw,
            polarity, mode, pixel_mask (as written to the chip: 0 masks a pixel).
        monitors (dict[str, tuple[float, float]]): Name: (reading at start, at end).
        arrays (dict[str, numpy.ndarray]): The data, by name, each read when
            first asked for: event_id, event_time_offset, event_time_zero
            (ns of the detector's clock), event_index, tot and tdc/channel_<n>
            for ToA-ToT; evcount and itot frames and frame_time (s, as each
            frame arrived); clusters/<column> (event_id, event_time_offset,
            event_time_zero, event_index, x, y, size, tot, energy) for runs
            saved with clusters; counts, evcount, itot,
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
        with _reading(self.path, "/entry"):
            return self._detector_image()

    def _detector_image(self) -> npt.NDArray[np.uint64]:
        rows, columns = detector_shape(max(1, len(self.chips)))
        if self.mode in lay.TOA_TOT:
            ids = self.arrays["event_id"]
            where = f"/entry/{lay.EVENTS}/event_id"
            if ids.dtype.kind not in "iu" or ids.ndim != 1:
                raise BadFile(self.path, where, f"pixel numbers of dtype {ids.dtype} and shape {ids.shape}")
            if len(ids) and not 0 <= int(ids.min()) <= int(ids.max()) < rows * columns:
                # counted, it would take max + 1 bins of memory
                raise BadFile(self.path, where, f"pixel numbers from {int(ids.min())} to {int(ids.max())}, "
                                                f"past the detector's {rows * columns}")
            return np.bincount(ids, minlength=rows * columns).reshape(rows, columns).astype(np.uint64)
        if self.mode is M.fb_itot_evcount:
            frames = self.arrays["evcount"]
            if frames.shape[1:] != (rows, columns):
                raise BadFile(self.path, f"/entry/{lay.arrays_of(self.mode)['evcount']}",
                              f"frames of shape {frames.shape[1:]}, not the detector's {(rows, columns)}")
            return frames.sum(axis=0, dtype=np.uint64)
        if self.mode is M.binned_data:
            assert isinstance(self.arrays, _Arrays)
            return self.arrays.sum_over_scan((rows, columns))
        return np.zeros((rows, columns), np.uint64)

    def describe(self, name: str) -> tuple[tuple[int, ...], np.dtype[Any], str | None]:
        """(shape, dtype, units) of the data `name` (one of `arrays`), read
        without reading the data."""
        assert isinstance(self.arrays, _Arrays)
        return self.arrays.describe(name)

    def clusters(self) -> npt.NDArray[np.void]:
        """ToA-ToT runs saved with clusters: their rows as `vexasdk.events.cluster`
        gives them (x, y, toa in ns of the detector's clock, tot, energy, size).

        Raises:
            KeyError: The run was saved without clusters.
        """
        from vexasdk.events import CLUSTER_DTYPE

        if "clusters/x" not in self.arrays:
            raise KeyError(f"{self.path} keeps no clusters: save with HDF5Writer(clusters=...) or acquire --clusters")
        where = f"/entry/{lay.CLUSTERS}"
        with _reading(self.path, where):
            a = {name: self.arrays[f"clusters/{name}"] for name in lay.CLUSTER_COLUMNS}
            index = a["event_index"].astype(np.int64)
            count = len(a["x"])
            whole = (len(index) == len(a["event_time_zero"])
                     and (count == 0 if not len(index) else index[0] == 0 and index[-1] <= count)
                     and not np.any(np.diff(index) < 0))
            if not whole:
                raise BadFile(self.path, f"{where}/event_index", "batch starts out of order or past the rows")
            rows = np.empty(count, CLUSTER_DTYPE)
            for name in ("x", "y", "tot", "energy", "size"):
                rows[name] = a[name]
            zero = np.repeat(a["event_time_zero"].astype(np.float64), np.diff(np.append(index, count)))
            rows["toa"] = a["event_time_offset"] + zero
        return rows

    def block_events(self) -> Iterator[tuple[float, npt.NDArray[Any]]]:
        """ToA-ToT runs: (event_time_zero, event ids) of each block."""
        with _reading(self.path, f"/entry/{lay.EVENTS}/event_index"):
            index, zero, ids = self.arrays["event_index"], self.arrays["event_time_zero"], self.arrays["event_id"]
            if index.dtype.kind not in "iu" or index.ndim != 1:
                raise ValueError(f"block starts of dtype {index.dtype} and shape {index.shape}, not integers")
            ends = np.append(index[1:], len(ids)).astype(np.int64)
            starts = index.astype(np.int64)
        for first, last, time_zero in zip(starts, ends, zero):
            yield float(time_zero), ids[first:last]


class _Arrays(dict[str, npt.NDArray[Any]]):
    """The run's datasets by name, each read from the file when first asked
    for: a scan's dense counts may be larger than memory likes."""

    def __init__(self, path: str, paths: dict[str, str], lengths: dict[str, int] | None = None) -> None:
        super().__init__()
        self._path, self._paths, self._lengths = path, paths, lengths or {}

    def __missing__(self, name: str) -> npt.NDArray[Any]:
        if name not in self._paths:
            raise KeyError(name)
        inside = "/" + self._paths[name]
        with _reading(self._path, inside), _open(self._path) as f:
            # A writer that failed may have grown a dataset past what it
            # flushed: the counts say what the file holds.
            value: npt.NDArray[Any] = np.asarray(_read(self._path, f, self._paths[name], self._lengths.get(name)))
            # Numbers only (a TDC's may be records): text, or records elsewhere, are damage.
            if value.dtype.kind not in ("iufb" if not name.startswith("tdc/") else "iufbV"):
                raise BadFile(self._path, inside, f"data of dtype {value.dtype}, not numbers")
        self[name] = value
        return value

    def __contains__(self, name: object) -> bool:
        return name in self._paths

    def describe(self, name: str) -> tuple[tuple[int, ...], np.dtype[Any], str | None]:
        with _reading(self._path, "/" + self._paths[name]), _open(self._path) as f:
            dataset = _dataset(self._path, f, self._paths[name])
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

    def sum_over_scan(self, detector: tuple[int, int]) -> npt.NDArray[np.uint64]:
        """Scans: the dense counts summed over every position, read a scan row at a time."""
        inside = "/" + self._paths["counts"]
        with _reading(self._path, inside), _open(self._path) as f:
            counts = _dataset(self._path, f, self._paths["counts"])
            if counts.ndim != 4 or counts.shape[2:] != detector:
                raise BadFile(self._path, inside, f"counts of shape {counts.shape}, not (scan rows, scan columns) "
                                                  f"+ the detector's {detector}")
            _check_size(self._path, inside, counts, None)
            total = np.zeros(counts.shape[2:], np.uint64)
            for row in range(counts.shape[0]):
                total += counts[row].sum(axis=0, dtype=np.uint64)
        return total


_READ_ATTEMPTS = 8  # a reader following a file retries a bad checksum: the writer may be mid-write


def _open(path: str) -> h5py.File:
    # A finished file opens plainly, where a bad checksum is an error at once.
    # One still written, or whose writer died and left it marked as open for
    # writing, is followed as its writer left it, retrying a bad checksum a
    # few times (HDF5's own default would retry for minutes, deaf to Ctrl-C).
    try:
        return h5py.File(path, "r", libver="latest")
    except OSError:
        pass  # marked as open for writing, or cut short by a full disk: followed as a reader would
    fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    fapl.set_libver_bounds(h5py.h5f.LIBVER_LATEST, h5py.h5f.LIBVER_LATEST)
    _bound_read_attempts(fapl)
    fid = h5py.h5f.open(os.fsencode(path), h5py.h5f.ACC_RDONLY | h5py.h5f.ACC_SWMR_READ, fapl=fapl)
    return h5py.File(fid)


def _bound_read_attempts(fapl: Any) -> None:
    """H5Pset_metadata_read_attempts, which h5py does not offer, from the
    HDF5 library h5py itself loaded."""
    setter = _read_attempts_setter()
    if setter is not None and setter(fapl.id, _READ_ATTEMPTS) < 0:
        raise OSError("HDF5 refused a bound on its read attempts")


@functools.cache
def _read_attempts_setter() -> Any:
    try:
        with open("/proc/self/maps") as maps:
            paths = {line.split()[-1] for line in maps if "/libhdf5" in line}
    except OSError:
        return None
    for candidate in sorted(paths):
        if "_hl" in os.path.basename(candidate):
            continue
        try:
            function = getattr(ctypes.CDLL(candidate), "H5Pset_metadata_read_attempts")
        except (OSError, AttributeError):
            continue
        function.argtypes, function.restype = [ctypes.c_int64, ctypes.c_uint], ctypes.c_int
        return function
    return None


@contextlib.contextmanager
def _reading(path: str, inside: str) -> Iterator[None]:
    """Whatever HDF5 or numpy raise while reading `inside` of the file, as a BadFile."""
    try:
        yield
    except BadFile:
        raise
    except (OSError, KeyError, ValueError, TypeError, IndexError, RuntimeError, OverflowError,
            MemoryError, AttributeError) as error:  # the last: a group where a dataset belongs, say
        raise BadFile(path, inside, f"{type(error).__name__}: {error}") from None


def _read(path: str, group: Any, name: str, length: int | None = None) -> Any:
    """The value of the dataset `name` in `group` (its first `length` rows if
    given), once its claimed size has been checked against the file's."""
    dataset = _dataset(path, group, name)
    with _reading(path, dataset.name):
        _check_size(path, dataset.name, dataset, length)
        if length is None or not dataset.shape:
            return dataset[()]
        return dataset[:max(0, length)]


def _dataset(path: str, group: Any, name: str) -> Any:
    where = f"{group.name.rstrip('/')}/{name}"
    with _reading(path, where):
        if group.get(name, getlink=True) is None:
            raise BadFile(path, where, "missing")
        item = group[name]  # a link that leads nowhere says why
    if not isinstance(item, h5py.Dataset):
        raise BadFile(path, where, "not a dataset")
    return item


def _check_size(path: str, inside: str, dataset: Any, length: int | None) -> None:
    """Refuses a dataset whose claimed size is out of proportion to the file:
    a damaged shape must not become an allocation of many GiB."""
    rows = dataset.shape[0] if dataset.shape else 1
    if length is not None:
        rows = min(rows, max(0, length))
    per_row = int(np.prod(dataset.shape[1:], dtype=np.float64)) * dataset.dtype.itemsize if dataset.shape else \
        dataset.dtype.itemsize
    limit = 1024 * os.path.getsize(path) + (64 << 20)  # compression may shrink data a thousandfold, no more
    if rows * per_row > limit:
        raise BadFile(path, inside, f"claims {rows * per_row:,} bytes, past what a file of "
                                    f"{os.path.getsize(path):,} bytes can hold")


def _refuse_reaching_out(path: str, f: h5py.File) -> None:
    """Refuses links to other files, and data stored in other files: reading
    this file must read nothing else."""
    found: list[BadFile] = []

    def visit(name: str, link: Any) -> bool | None:
        # Raising inside HDF5's visit would leave it mid-iteration: the first finding stops it instead.
        if isinstance(link, h5py.ExternalLink):
            found.append(BadFile(path, "/" + name, f"links to another file ({link.filename!r}); give "
                                                   f"allow_external=True to follow it"))
        elif isinstance(link, h5py.HardLink):
            item = f.get(name)
            if isinstance(item, h5py.Dataset) and (item.is_virtual or item.external):
                found.append(BadFile(path, "/" + name, "keeps its data in another file; give allow_external=True "
                                                       "to read it"))
        return True if found else None

    f.visititems_links(visit)
    if found:
        raise found[0]


def _decoded(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, np.generic):
        return value.item()
    return value


def load(path: str | os.PathLike[str], *, allow_external: bool = False) -> Run:
    """Reads a file the HDF5 writer made (of this version or an earlier one).
    A file whose writer died reads as it was at its last flush. The file is
    untrusted input: what it claims is checked before anything is allocated,
    and nothing outside it is read.

    Args:
        path: The file.
        allow_external: Follow links to other files and read data kept in
            other files (HDF5 allows both); refused by default.

    Raises:
        FileNotFoundError: There is no such file.
        BadFile: It is not a regular file, or it is damaged, or it reaches into
            other files: says the file and the place in it.
        NotOurFile: The file is HDF5 but not of this layout (BadFile is one).
    """
    path = os.fspath(path)
    try:
        kind = os.stat(path).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(f"{path} does not exist") from None
    if not stat.S_ISREG(kind):  # a FIFO or a device would block, or never end
        raise BadFile(path, "/", "not a regular file")
    if not h5py.is_hdf5(path):
        raise NotOurFile(f"{path} is not an HDF5 file, let alone one of vexasdk's")
    try:
        opened = _open(path)
    except OSError as error:
        raise BadFile(path, "/", f"cannot be read as HDF5: {error}") from None
    with opened as f, _reading(path, "/entry"):
        if not allow_external:
            _refuse_reaching_out(path, f)
        creator = _decoded(f.attrs.get("creator"))
        if "entry" not in f or creator not in (lay.FORMAT, FIRST_FORMAT):
            raise NotOurFile(f"{path} is not a file of vexasdk's ({lay.FORMAT!r})")
        entry = f["entry"]
        mode = OperationalMode[_decoded(_read(path, entry, "mode"))]
        metadata = {name: _decoded(_read(path, entry, name)) for name in _RUN_FIELDS
                    if name != "complete" or name in entry}  # which files of the first format lack
        # Files of the first format say nothing of completeness but what they lost.
        metadata["complete"] = bool(metadata.get("complete", not metadata["dropped_blocks"]
                                                 and not metadata["failed_fetches"]))
        detector = entry[lay.DETECTOR]
        for name in _DETECTOR_FIELDS:
            metadata[name] = _decoded(_read(path, detector, name))
        if "count_time" in detector:  # binned runs whose dwell time was known
            metadata["count_time"] = _decoded(_read(path, detector, "count_time"))
        _check_types(metadata)
        # Chips and monitors: beside the detector, or in it in the first layout.
        holder = entry["instrument"] if creator == lay.FORMAT else detector
        chips: list[dict[str, Any]] = []
        while f"chip_{len(chips)}" in holder:
            group = holder[f"chip_{len(chips)}"]
            chip = {name: _decoded(_read(path, group, name)) for name in group
                    if name not in ("data_origin", "data_size")}
            if "chip_mask" in chip:
                chip["pixel_mask"] = chip.pop("chip_mask")
            for name in _CHIP_FIELDS:
                if name not in chip:
                    stored = "chip_mask" if name == "pixel_mask" and creator == lay.FORMAT else name
                    raise BadFile(path, f"{group.name}/{stored}", "missing")
            _check_types(chip, f"chip_{len(chips)}")
            chips.append(chip)
        if creator == lay.FORMAT:
            monitors = {str(_decoded(_read(path, log, "description"))): _readings(path, log)
                        for log in holder.values() if _decoded(log.attrs.get("NX_class")) == "NXlog"}
            paths = {name: f"entry/{where}" for name, where in lay.arrays_of(mode).items()}
            if "frame_time" in paths and paths["frame_time"] not in f:  # written before frames had times
                del paths["frame_time"]
            if lay.CLUSTERS in entry:
                metadata["clusters"] = _cluster_counts(path, entry[lay.CLUSTERS])
            else:  # a run saved without clustering
                paths = {name: where for name, where in paths.items() if not name.startswith("clusters/")}
        else:
            monitors, paths = _first_format(entry)
    return Run(path, mode, metadata, chips, monitors, _Arrays(path, paths, _lengths(mode, metadata)))


_CHIP_FIELDS = ("name", "threshold", "threshold_raw", "polarity", "pixel_mask")
_TEXTS = {"start_time", "end_time", "serial_number", "description", "connection_string", "name", "polarity", "mode"}
_NUMBERS = {"duration", "bias_voltage", "bias_voltage_desired", "threshold", "count_time"}
_COUNTS = {"block_count", "event_count", "failed_fetches", "dropped_blocks", "threshold_raw"}


def _check_types(fields: dict[str, Any], where: str = "") -> None:
    """What the summaries print must be what it says it is: a damaged field
    is an error naming it, never a traceback further on."""
    for name, value in fields.items():
        if name in _TEXTS and isinstance(value, bytes):
            value = fields[name] = value.decode(errors="replace")
        wrong = (name in _TEXTS and not isinstance(value, str)
                 or name in _NUMBERS and not (isinstance(value, (int, float)) and not isinstance(value, bool))
                 or name in _COUNTS and not (isinstance(value, int) and not isinstance(value, bool) and value >= 0)
                 or name == "pixel_mask" and not (isinstance(value, np.ndarray) and value.ndim == 2))
        if wrong:
            raise ValueError(f"{where + '/' if where else ''}{name} is {str(value)[:60]!r}, of the wrong kind")


def _readings(path: str, log: Any) -> tuple[float, float]:
    """A monitor's two readings, at start and at end."""
    value = _dataset(path, log, "value")
    if value.shape != (2,):
        raise BadFile(path, value.name, f"{value.shape} readings, not the two at start and end")
    first, last = _read(path, log, "value")
    return float(first), float(last)


def _cluster_counts(path: str, group: Any) -> dict[str, int]:
    counts = {name: _decoded(_read(path, group, name)) for name in lay.CLUSTER_COUNTS}
    for name, value in counts.items():
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise BadFile(path, f"{group.name}/{name}", f"{str(value)[:60]!r}, not a count")
    return counts


def _lengths(mode: OperationalMode, metadata: dict[str, Any]) -> dict[str, int]:
    """How many rows of each growing dataset the file's counts vouch for."""
    blocks, events = int(metadata["block_count"]), int(metadata["event_count"])
    if mode in lay.TOA_TOT:
        lengths = {"event_index": blocks, "event_time_zero": blocks, "event_id": events, "event_time_offset": events,
                   "tot": events}
        if "clusters" in metadata:
            rows, batches = metadata["clusters"]["cluster_count"], metadata["clusters"]["batch_count"]
            lengths.update({f"clusters/{name}": batches if name in ("event_index", "event_time_zero") else rows
                            for name in lay.CLUSTER_COLUMNS})
        return lengths
    if mode is M.fb_itot_evcount:
        return {"evcount": blocks, "itot": blocks, "frame_time": blocks}
    return {}


def _first_format(entry: h5py.Group) -> tuple[dict[str, tuple[float, float]], dict[str, str]]:
    """Monitors and data of a file of the first layout."""
    group = entry["instrument/detector/monitors"]
    path = entry.file.filename
    names = [str(_decoded(n)) for n in _read(path, group, "name")]
    monitors = {name: (float(a), float(b)) for name, a, b in zip(names, _read(path, group, "start"),
                                                                 _read(path, group, "end"))}
    paths = {}
    for where in ("events", "data", "tdc"):
        for name in entry.get(where, ()):
            paths[f"tdc/{name}" if where == "tdc" else name] = f"entry/{where}/{name}"
    return monitors, paths
