"""Clusters: the pixel hits one particle leaves, joined and reduced to one event.

A photon or a track spreads its charge over a few neighbouring pixels, each of
which reports a hit (ToA, ToT) of its own. `cluster` joins the hits of one
``dd_toa_tot`` block into clusters and gives one row per cluster; `Clusterer`
does the same for a stream of blocks, joining the clusters that a block's end
cuts in two. All the per-hit work runs in native code without the interpreter
lock.

Which hits are joined: two hits are neighbours when their pixels touch in the
assembled detector image (8-neighbourhood, or 4 with ``neighbours=4``; a
pixel is its own neighbour, so a pixel that fires twice within the window
stays one cluster) and their ToAs differ by at most ``window_ns``. A cluster
is a set of hits connected by neighbour pairs: a hit joins a cluster when it
neighbours any hit of it, whatever the cluster's first hit. Chips 0 and 1 sit
side by side (as do 2 and 3), so a track crossing a chip edge is one cluster.
ToAs are the raw ones: the window is wide enough for the time walk.

Rows (`CLUSTER_DTYPE`), in order of each cluster's earliest hit:

- ``x``, ``y``: the weighted centroid in the assembled image, in pixels; the
  centre of the pixel at image row r and column c is x = c, y = r (the
  indices of a `HitMap`). Weights are the hits' ToTs, or their energies with
  ``weight="energy"``; NaN when every weight is 0.
- ``toa``: ns, the earliest hit's ToA; with a calibration, the earliest of
  the hits' ToAs less their time walk.
- ``tot``: ns, the sum of the hits' ToTs.
- ``energy``: keV, the sum of the hits' energies; NaN without a calibration.
- ``size``: hits (pixels) in the cluster.

Time walk: a small hit crosses the threshold late, by ``walk_ns / (1 +
(E - threshold) / 1 keV)`` (no walk counted below the threshold); with a
calibration each hit's ToA is corrected by it before the earliest is taken.
That is the virtual detector's own model: a 100 ns walk at the threshold,
falling to 1.6 ns 60 keV above it; a jitter of up to 3 ns remains.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Literal, NamedTuple, overload

import numpy as np
import numpy.typing as npt

from vexasdk._clusters import Engine, cluster_dtype
from vexasdk.pixels import CHIP_SIZE, TOA_NS

__all__ = ["CLUSTER_DTYPE", "PACKET_DTYPE", "Calibration", "ClusterCounts", "ClusterRows", "Clusterer", "cluster"]

CLUSTER_DTYPE: np.dtype[np.void] = cluster_dtype
"""One row per cluster: x, y, toa, tot, energy (float64) and size (uint32)."""
PACKET_DTYPE: np.dtype[np.void] = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
"""The ToA-ToT packets `cluster` and `Clusterer.add` take (those of ``dd_toa_tot`` blocks)."""

ClusterRows = npt.NDArray[np.void]
"""What `cluster`, `Clusterer.add` and `Clusterer.flush` give: CLUSTER_DTYPE rows (a plain array, not a record
array, whose ``size`` attribute would hide the field: ``clusters["size"]``)."""

MAX_CHIPS = 64
"""The most chips a calibration or a clusterer covers."""
_FIELDS_NEEDED = "address (uint32), tot (uint32) and toa (uint64)"


class Calibration:
    """Per-pixel ToT-to-energy calibration, with the time walk it implies.

    Each pixel's ToT (in 25 ns counts) follows its energy E (keV) as
    ``ToT = a E + b - c / (E - t)``; the energy of a hit is the root above t,
    unique for a > 0 and c >= 0.

    Args:
        a, b, c, t: Maps of shape (chips, 256, 256) indexed [chip, row,
            column], any real dtype; copied as float64. Finite, a > 0, c >= 0.
        threshold: Each chip's threshold in keV, one number for all or one per
            chip: where the time walk is counted from.
        walk_ns: The time walk of a hit at the threshold, in ns (0 to 1e6).

    Raises:
        ValueError: A map of the wrong shape or with a value out of its range,
            named with the first offending pixel.
    """

    __slots__ = ("_packed", "a", "b", "c", "t", "threshold", "walk_ns")
    a: npt.NDArray[np.float64]
    """keV to ToT slope map."""
    b: npt.NDArray[np.float64]
    """ToT offset map."""
    c: npt.NDArray[np.float64]
    """Curvature map near the threshold."""
    t: npt.NDArray[np.float64]
    """Asymptote map, keV."""
    threshold: npt.NDArray[np.float64]
    """Each chip's threshold, keV."""
    walk_ns: float
    """The time walk at the threshold, ns."""
    _packed: npt.NDArray[np.float64]

    def __init__(self, a: npt.ArrayLike, b: npt.ArrayLike, c: npt.ArrayLike, t: npt.ArrayLike, *,
                 threshold: float | Sequence[float] | npt.NDArray[np.floating] = 5.0, walk_ns: float = 100.0) -> None:
        maps = {name: _map(name, value) for name, value in (("a", a), ("b", b), ("c", c), ("t", t))}
        chips = {m.shape[0] for m in maps.values()}
        if len(chips) != 1:
            shapes = ", ".join(f"{name} {m.shape}" for name, m in maps.items())
            raise ValueError(f"the maps a, b, c and t must have the same shape, got {shapes}")
        _must("a", maps["a"], maps["a"] > 0, "positive")
        _must("c", maps["c"], maps["c"] >= 0, "at least 0")
        count = chips.pop()
        thresholds = np.array(threshold, dtype=np.float64, ndmin=1)
        if thresholds.shape == (1,):
            thresholds = np.repeat(thresholds, count)
        if thresholds.shape != (count,) or not np.all(np.isfinite(thresholds)):
            raise ValueError(f"threshold must be one finite number of keV or one per chip ({count}), got {threshold!r}")
        if isinstance(walk_ns, bool) or not isinstance(walk_ns, (int, float)) or not 0 <= walk_ns <= 1e6:
            raise ValueError(f"walk_ns must be a number of ns from 0 to 1e6, got {walk_ns!r}")
        # What the engine reads: the four numbers of a pixel side by side.
        packed = np.stack([maps["a"], maps["b"], maps["c"], maps["t"]], axis=-1)
        # Read-only throughout, so that what the engine reads is what these say.
        for name, value in [*maps.items(), ("threshold", thresholds), ("_packed", packed)]:
            value.flags.writeable = False
            object.__setattr__(self, name, value)
        object.__setattr__(self, "walk_ns", float(walk_ns))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"a Calibration is read-only: make a new one instead of setting {name}")

    def __reduce__(self) -> tuple[object, ...]:
        # Pickled (for Dask workers) as what makes it: the read-only slots cannot be set one by one.
        return _calibration, (self.a, self.b, self.c, self.t, self.threshold, self.walk_ns)

    @classmethod
    def uniform(cls, chips: int = 4, *, threshold: float = 5.0, walk_ns: float = 100.0) -> Calibration:
        """Every pixel of `chips` chips (1 to 64) as the virtual detector's:
        a = 1.6, b = 24, c = 60, t = 1.5."""
        if isinstance(chips, bool) or not isinstance(chips, (int, np.integer)) or not 1 <= chips <= MAX_CHIPS:
            raise ValueError(f"chips must be 1 to {MAX_CHIPS}, got {chips!r}")
        shape = (int(chips), CHIP_SIZE, CHIP_SIZE)
        return cls(*(np.full(shape, value) for value in (1.6, 24.0, 60.0, 1.5)), threshold=threshold,
                   walk_ns=walk_ns)

    @property
    def chips(self) -> int:
        """Chips the maps cover."""
        return int(self.a.shape[0])

    def save(self, path: str | os.PathLike[str], *, description: str = "", overwrite: bool = False) -> None:
        """Writes the calibration to an HDF5 file (docs/calibration.md); see
        `vexasdk.calibration.save`."""
        from vexasdk.calibration import save

        save(self, path, description=description, overwrite=overwrite)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Calibration:
        """The calibration an HDF5 file holds, checked throughout; see
        `vexasdk.calibration.load` (ValueError names the file and the dataset
        at fault)."""
        from vexasdk.calibration import load

        return load(path)

    def __repr__(self) -> str:
        return f"Calibration(chips={self.chips}, walk_ns={self.walk_ns})"


def _calibration(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64], c: npt.NDArray[np.float64],
                 t: npt.NDArray[np.float64], threshold: npt.NDArray[np.float64], walk_ns: float) -> Calibration:
    return Calibration(a, b, c, t, threshold=threshold, walk_ns=walk_ns)


def _map(name: str, value: npt.ArrayLike) -> npt.NDArray[np.float64]:
    array = np.array(value, dtype=np.float64)  # a copy: the engine reads it while Python runs
    if array.ndim != 3 or array.shape[1:] != (CHIP_SIZE, CHIP_SIZE) or not 1 <= array.shape[0] <= MAX_CHIPS:
        raise ValueError(f"map {name} must have shape (chips, {CHIP_SIZE}, {CHIP_SIZE}) with 1 to {MAX_CHIPS} chips, "
                         f"got {array.shape}")
    _must(name, array, np.isfinite(array), "finite")
    return array


def _must(name: str, array: npt.NDArray[np.float64], ok: npt.NDArray[np.bool_], what: str) -> None:
    if not ok.all():
        chip, row, column = (int(i) for i in np.argwhere(~ok)[0])
        raise ValueError(f"map {name} must be {what} everywhere, got {float(array[chip, row, column])!r} at chip {chip}, "
                         f"row {row}, column {column} ({int(np.count_nonzero(~ok))} pixels in all)")


class ClusterCounts(NamedTuple):
    """What a `Clusterer` has seen.

    Attributes:
        hits (int): Packets received.
        clusters (int): Clusters given out.
        late (int): Hits dropped because they came after the clusters they
            could have joined were given out (older than the newest ToA seen
            less disorder_ns).
        out_of_range (int): Hits whose address names a chip past the last.
        cut (int): Clusters given out unfinished because they had lasted
            max_span_ns (a pixel firing without pause): what followed starts
            a new cluster.
        held (int): Hits held back now, of clusters that may still grow.
    """

    hits: int
    clusters: int
    late: int
    out_of_range: int
    cut: int
    held: int


def _packets(packets: object) -> npt.NDArray[np.void]:
    """`packets` as a contiguous array of PACKET_DTYPE, copied only when laid out otherwise."""
    dtype = getattr(packets, "dtype", None)
    names = getattr(dtype, "names", None) or ()
    if not isinstance(packets, np.ndarray) or dtype is None or not {"address", "tot", "toa"} <= set(names):
        described = f"an array of {dtype}" if isinstance(packets, np.ndarray) else type(packets).__name__
        raise TypeError(f"packets must be a numpy structured array with the fields {_FIELDS_NEEDED}, "
                        f"got {described}")
    fields = dtype.fields
    assert fields is not None
    for name, want in (("address", np.uint32), ("tot", np.uint32), ("toa", np.uint64)):
        have = fields[name][0]
        if have.kind != "u" or not np.can_cast(have, want, "safe"):
            raise TypeError(f"packets must have the fields {_FIELDS_NEEDED}, got {name} of {have}")
    flat = packets.reshape(-1)
    if (dtype.itemsize == PACKET_DTYPE.itemsize and all(fields[n][:2] == PACKET_DTYPE.fields[n][:2]  # type: ignore[index]
                                                         for n in ("address", "tot", "toa"))
            and flat.flags.c_contiguous):
        return flat
    out = np.empty(flat.shape, PACKET_DTYPE)
    for name in ("address", "tot", "toa"):
        out[name] = flat[name]
    return out


def _ticks(value: float, name: str, most: float) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)) \
            or not 0 <= value <= most:
        raise ValueError(f"{name} must be a number of ns from 0 to {most:g}, got {value!r}")
    return math.floor(float(value) / TOA_NS)


class Clusterer:
    """Clusters a stream of ``dd_toa_tot`` blocks, one block after another.

    `add` takes a block's packets and gives back the clusters finished so far;
    `flush`, at the end, gives the rest. A cluster that a block's end cuts in
    two is given out once, whole: hits that later ones could still join are
    held back. Packets may come out of ToA order, within a block and across
    blocks, by up to ``disorder_ns``: a hit is held until no hit within the
    window of it can still come, that is until the newest ToA seen is more
    than ``disorder_ns + window_ns`` past it. A hit older than the newest ToA
    seen less ``disorder_ns`` comes too late: the clusters it could join may be
    gone; it is dropped and counted (``counts.late``), never joined to a
    cluster given out already or made into a cluster of its own.

    Memory: the hits held, those within ``disorder_ns + window_ns +
    max_span_ns`` of the newest, plus one block's work (about 20 bytes a hit
    and 70 a cluster) while `add` runs. A cluster still growing after
    ``max_span_ns`` (a pixel that fires without pause) is given out as it is,
    and counted (``counts.cut``).

    Args:
        window_ns: Neighbouring hits join when their ToAs are this close, 0 to
            1e9 ns.
        neighbours: 8 (pixels touching at a corner join) or 4.
        calibration: Per-pixel energies and time-walk correction; None gives
            NaN energies and raw ToAs. Its chip count sets the detector's;
            without one, a quad of 4 chips.
        weight: "tot" or "energy" (needs a calibration): the centroid's weights.
        disorder_ns: How far out of ToA order packets may come, 0 to 1e12 ns.
        max_span_ns: The longest a cluster may last, 0 to 1e12 ns.

    Not for several threads at once: a call while another runs raises
    RuntimeError.
    """

    __slots__ = ("_engine",)

    def __init__(self, window_ns: float = 500.0, neighbours: Literal[4, 8] = 8, calibration: Calibration | None = None,
                 weight: Literal["tot", "energy"] = "tot", disorder_ns: float = 1000.0,
                 max_span_ns: float = 100_000.0) -> None:
        self._engine = _engine(window_ns, neighbours, calibration, weight, disorder_ns, max_span_ns)

    def add(self, packets: npt.NDArray[np.void]) -> ClusterRows:
        """The clusters finished once `packets` are in (CLUSTER_DTYPE rows).

        Args:
            packets: A block's packets: a structured array with the fields
                address (uint32), tot (uint32) and toa (uint64), as
                ``block.packets`` of a ``dd_toa_tot`` acquisition.

        Raises:
            TypeError: `packets` lacks those fields.
        """
        return self._engine.add(_packets(packets), False)

    def flush(self) -> ClusterRows:
        """Every cluster still held: the end of the stream. The clusterer can
        go on afterwards; hits older than what it has seen count as late."""
        return self._engine.add(np.empty(0, PACKET_DTYPE), True)

    @property
    def counts(self) -> ClusterCounts:
        """Hits and clusters so far (see `ClusterCounts`)."""
        return ClusterCounts(*self._engine.counts())


def _engine(window_ns: float, neighbours: int, calibration: Calibration | None, weight: str, disorder_ns: float,
            max_span_ns: float) -> Engine:
    if isinstance(neighbours, bool) or neighbours not in (4, 8):
        raise ValueError(f"neighbours must be 4 or 8, got {neighbours!r}")
    if calibration is not None and not isinstance(calibration, Calibration):
        raise TypeError(f"calibration must be a Calibration or None, got {type(calibration).__name__}")
    if weight not in ("tot", "energy"):
        raise ValueError(f"weight must be 'tot' or 'energy', got {weight!r}")
    if weight == "energy" and calibration is None:
        raise ValueError("weight='energy' needs a calibration, got calibration=None")
    window = _ticks(window_ns, "window_ns", 1e9)
    disorder = _ticks(disorder_ns, "disorder_ns", 1e12)
    span = _ticks(max_span_ns, "max_span_ns", 1e12)
    if calibration is None:
        return Engine(window, neighbours, 4, disorder, span, False)
    return Engine(window, neighbours, calibration.chips, disorder, span, weight == "energy",
                  calibration._packed, calibration.threshold, calibration.walk_ns)


@overload
def cluster(packets: npt.NDArray[np.void], *, window_ns: float = ..., neighbours: Literal[4, 8] = ...,
            calibration: Calibration | None = ..., weight: Literal["tot", "energy"] = ...,
            labels: Literal[False] = ...) -> ClusterRows: ...
@overload
def cluster(packets: npt.NDArray[np.void], *, window_ns: float = ..., neighbours: Literal[4, 8] = ...,
            calibration: Calibration | None = ..., weight: Literal["tot", "energy"] = ...,
            labels: Literal[True]) -> tuple[ClusterRows, npt.NDArray[np.int64]]: ...
def cluster(packets: npt.NDArray[np.void], *, window_ns: float = 500.0, neighbours: Literal[4, 8] = 8,
            calibration: Calibration | None = None, weight: Literal["tot", "energy"] = "tot",
            labels: bool = False) -> ClusterRows | tuple[ClusterRows, npt.NDArray[np.int64]]:
    """The clusters of one block's hits, one CLUSTER_DTYPE row each, in order of
    their earliest hit (see the module's documentation).

    Packets may be in any ToA order. Hits whose address names a chip past the
    last (past the calibration's chips, or the quad's 4) are skipped; a
    `Clusterer` counts them.

    Args:
        packets: A structured array with the fields address (uint32), tot
            (uint32) and toa (uint64): ``block.packets`` of a ``dd_toa_tot``
            acquisition, or any array with those fields.
        window_ns: Neighbouring hits join when their ToAs are this close, 0 to
            1e9 ns.
        neighbours: 8 (pixels touching at a corner join) or 4.
        calibration: Per-pixel energies and time-walk correction; None gives
            NaN energies and raw ToAs.
        weight: "tot" or "energy" (needs a calibration): the centroid's weights.
        labels: Also give, for each packet in the order given (flattened), the
            index of its cluster's row, or -1 for a packet skipped: ``(rows,
            labels)``, labels an int64 array.

    Raises:
        TypeError: `packets` lacks those fields, or `calibration` is no
            Calibration.
        ValueError: An argument out of its range (the message gives it).
    """
    engine = _engine(window_ns, neighbours, calibration, weight, 0.0, 0.0)
    return engine.add(_packets(packets), True, bool(labels))
