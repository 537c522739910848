"""Clusters live: a sink that joins a ToA-ToT acquisition's hits into
particles as the blocks come, beside whoever else takes them.

    clusters = Clusters(calibration=Calibration.load("cal.h5"))
    device.acquire("dd_toa_tot", duration=10, sinks=[clusters]).wait()
    print(clusters.counts, clusters.peak())

The SDK's thread only queues each block (bounded in bytes: a block that finds
no room within `full_timeout` is dropped and counted). A thread of the sink's
own feeds them to a `vexasdk.events.Clusterer`, whose native work runs without
the interpreter lock, so a cluster that a block's end cuts in two is still one.
What it keeps of the rows is small and fixed: the spectrum (energy with a
calibration, summed ToT without) and the centroids' hit map in sub-pixel bins.
The rows themselves go to `on_clusters`, to an `HDF5Writer(clusters=...)`
that saves them beside the hits, and with ``keep=True`` into memory.

Every block is accounted: ``account`` is the stage "clusters" (received,
clustered, dropped, failed), and `Acquisition.account` lists it.
"""

from __future__ import annotations

import logging
import math
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from vexasdk.account import StageCounts, Tally
from vexasdk.events import CLUSTER_DTYPE, Calibration, ClusterCounts, Clusterer, ClusterRows
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import Peak, detector_shape, peak
from vexasdk.queues import ByteQueue, block_nbytes

if TYPE_CHECKING:
    from vexasdk.acquisition import Acquisition, Block

__all__ = ["ClusterSpectrum", "ClusterTotals", "Clusters", "cluster_reduction"]

M = OperationalMode
TOA_TOT_MODES = (M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot)
ENERGY_BIN_KEV = 0.2
ENERGY_TOP_KEV = 200.0
TOT_BIN_NS = 25.0
TOT_TOP_NS = 50_000.0
SIZES = 9  # spectra are kept per cluster size, 1 to 8 pixels and 9 or more
WHOLE_CHARGE_SIZE = 4
"""Clusters of this many pixels keep a photon's whole charge (see `Clusters.spectrum`)."""
_log = logging.getLogger("vexasdk")
_END: Any = object()


class ClusterSpectrum(NamedTuple):
    """Clusters per bin: of energy (keV) with a calibration, of summed ToT (ns)
    without. The last bin also holds what lies past it.

    Attributes:
        counts (numpy.ndarray): int64, one per bin.
        edges (numpy.ndarray): float64, one more than `counts`.
        unit (str): "keV" or "ns".
    """

    counts: npt.NDArray[np.int64]
    edges: npt.NDArray[np.float64]
    unit: str


class Clusters:
    """A sink for `Device.acquire(sinks=[...])` that clusters the hits of a
    ToA-ToT acquisition as they come (see the module's documentation).

    Args:
        window_ns, neighbours, calibration, weight, disorder_ns, max_span_ns:
            As `vexasdk.events.Clusterer` takes them. A calibration must cover
            every chip of the detector.
        subpixels: Bins per pixel, along each side, of the centroids' hit map
            (1 to 16).
        keep: Keep every row in memory, for `rows()` (memory grows by 48 bytes
            a cluster).
        on_clusters: Called on the sink's thread with each batch of finished
            rows (CLUSTER_DTYPE); what it raises fails the block it came
            with, and is logged.
        max_queued_bytes: Bytes of blocks waiting to be clustered, at most.
        full_timeout: How long a block waits for room before it is dropped, s.

    Each acquisition it takes starts it afresh: counts, spectrum, map and
    kept rows are those of the last one.

    Raises:
        ValueError, TypeError: An argument out of its range (the text says which).
    """

    def __init__(self, *, window_ns: float = 500.0, neighbours: Literal[4, 8] = 8,
                 calibration: Calibration | None = None, weight: Literal["tot", "energy"] = "tot",
                 disorder_ns: float = 1000.0, max_span_ns: float = 100_000.0, subpixels: int = 4,
                 keep: bool = False, on_clusters: Callable[[ClusterRows], object] | None = None,
                 max_queued_bytes: int = 256 << 20, full_timeout: float = 2.0) -> None:
        settings = {"window_ns": window_ns, "neighbours": neighbours, "calibration": calibration, "weight": weight,
                    "disorder_ns": disorder_ns, "max_span_ns": max_span_ns}
        Clusterer(**settings)  # type: ignore[arg-type]  # checks them all now, not when the acquisition starts
        self._settings = settings
        if isinstance(subpixels, bool) or not isinstance(subpixels, int) or not 1 <= subpixels <= 16:
            raise ValueError(f"subpixels must be an integer from 1 to 16, got {subpixels!r}")
        if isinstance(max_queued_bytes, bool) or not isinstance(max_queued_bytes, int) or max_queued_bytes < 1:
            raise ValueError(f"max_queued_bytes must be an integer of at least 1, got {max_queued_bytes!r}")
        if isinstance(full_timeout, bool) or not isinstance(full_timeout, (int, float)) or not full_timeout >= 0:
            raise ValueError(f"full_timeout must be a number of seconds, 0 or more, got {full_timeout!r}")
        if on_clusters is not None and not callable(on_clusters):
            raise TypeError(f"on_clusters must be callable, got {type(on_clusters).__name__}")
        self.calibration = calibration
        self.subpixels = subpixels
        self.keep = bool(keep)
        self._on_clusters = on_clusters
        self._queue = ByteQueue(1 << 20, max_queued_bytes)
        self._full_timeout = float(full_timeout)
        self._tally = Tally("clusters")
        self._guard = threading.Lock()
        self._thread: threading.Thread | None = None
        self._forward: Callable[[ClusterRows], None] | None = None
        self._error: BaseException | None = None
        self._reset(4)

    def _reset(self, chips: int) -> None:
        rows, columns = detector_shape(chips)
        s = self.subpixels
        self._shape = (rows, columns)
        self._map = np.zeros((rows * s, columns * s), np.uint32)
        calibrated = self.calibration is not None
        step, top = (ENERGY_BIN_KEV, ENERGY_TOP_KEV) if calibrated else (TOT_BIN_NS, TOT_TOP_NS)
        self._edges = np.arange(round(top / step) + 1) * step
        self._spectrum = np.zeros((SIZES, len(self._edges) - 1), np.int64)
        self._kept: list[ClusterRows] = []
        self._unmapped: list[npt.NDArray[np.uint32]] = []  # bins of centroids not yet counted into the map
        self._unmapped_count = 0
        self._counts = ClusterCounts(0, 0, 0, 0, 0, 0)
        self._sizes = 0

    @property
    def settings(self) -> dict[str, Any]:
        """What the clusterer is given: window_ns, neighbours, calibration,
        weight, disorder_ns, max_span_ns."""
        return dict(self._settings)

    # ---- the sink ----

    def open(self, acquisition: Acquisition) -> None:
        """Before the acquisition starts: refuses modes without ToA-ToT hits."""
        self.start(acquisition.mode, len(acquisition.device.chips))

    def start(self, mode: OperationalMode, chips: int, forward: Callable[[ClusterRows], None] | None = None) -> None:
        """Starts clustering a run of `mode` on `chips` chips (what `open`
        does; a writer that saves the rows calls it, with `forward`, which
        takes each batch of rows on the sink's thread).

        Raises:
            ValueError: A mode without ToA-ToT hits, a calibration of fewer
                chips than the detector's.
            RuntimeError: It is clustering another acquisition now.
        """
        if self._thread is not None:
            raise RuntimeError("these Clusters are taking another acquisition's blocks: one at a time (with an "
                               "HDF5Writer(clusters=...), give only the writer to sinks)")
        if mode not in TOA_TOT_MODES:
            raise ValueError(f"clusters are made of ToA-ToT hits: mode {mode.name} has none "
                             f"({', '.join(m.name for m in TOA_TOT_MODES)} have)")
        chips = max(1, chips)
        if self.calibration is not None and self.calibration.chips < chips:
            raise ValueError(f"the calibration covers {self.calibration.chips} chips, the detector has {chips}")
        self._clusterer = Clusterer(**self._settings)  # type: ignore[arg-type]
        self._tally = Tally("clusters")
        self._error = None
        self._forward = forward
        with self._guard:
            self._reset(chips)
        self._thread = threading.Thread(target=self._run, name="vexasdk-clusters", daemon=True)
        self._thread.start()

    def put(self, block: Block) -> None:
        """Queues `block` (SDK thread), waiting a bounded time for room."""
        self._tally.add(received=1)
        if self._thread is None or not self._queue.put(block, block_nbytes(block), self._full_timeout):
            self._tally.add(dropped=1)

    def close(self, acquisition: Acquisition | None = None) -> None:
        """Clusters what is still queued, gives out the clusters still open,
        and ends the sink's thread. Raises what the clustering raised."""
        thread = self._thread
        if thread is not None:
            self._queue.put(_END, 0, None)
            thread.join()
            self._thread = None
        if self._error is not None:
            error, self._error = self._error, None
            raise RuntimeError(f"clustering failed: {error}") from error

    # ---- the sink's thread ----

    def _run(self) -> None:
        while True:
            _, block = self._queue.get(None)
            final = block is _END
            try:
                rows = self._clusterer.flush() if final else self._clusterer.add(block.packets)
                self._take(rows)
            except BaseException as error:  # noqa: BLE001  (the block is lost; the next may go through)
                if not final:
                    self._tally.add(failed=1)
                if self._error is None:
                    self._error = error
                _log.error("clustering a block failed: %s", error)
            else:
                if not final:
                    self._tally.add(delivered=1)
            if final:
                return

    def _take(self, rows: ClusterRows) -> None:
        counts = self._clusterer.counts
        with self._guard:
            self._counts = counts
            if len(rows):
                self._add_to_summaries(rows)
                if self.keep:
                    self._kept.append(rows)
        if len(rows):
            if self._forward is not None:
                self._forward(rows)
            if self._on_clusters is not None:
                self._on_clusters(rows)

    def _add_to_summaries(self, rows: ClusterRows) -> None:
        bins = _centroid_bins(rows, self._map.shape, self.subpixels)
        self._unmapped.append(bins)
        self._unmapped_count += len(bins)
        if self._unmapped_count >= self._map.size // 4:  # counted in one pass, when that costs less than the bins
            self._fold_map()
        _add_spectrum(self._spectrum, self._edges, rows, self.calibration is not None)
        self._sizes += int(rows["size"].sum())

    # ---- what it has made ----

    @property
    def account(self) -> StageCounts:
        """The stage "clusters": blocks received, clustered, dropped (queue
        full) and failed (clustering raised)."""
        return self._tally.counts

    @property
    def counts(self) -> ClusterCounts:
        """Hits and clusters so far (see `vexasdk.events.ClusterCounts`): as
        of the last block clustered."""
        with self._guard:
            return self._counts

    @property
    def mean_size(self) -> float:
        """Hits per cluster given out so far (NaN before the first)."""
        with self._guard:
            return self._sizes / self._counts.clusters if self._counts.clusters else math.nan

    def spectrum(self, size: int | None = None) -> ClusterSpectrum:
        """The clusters' energies (keV, 0.2 keV bins to 200) with a
        calibration, their summed ToTs (ns, 25 ns bins to 50 µs) without:
        of every cluster, or of those of `size` pixels (1 to 8; 9 stands for
        9 or more). Clusters of four pixels are those that keep a photon's
        whole charge: a photon that struck near a pixel's corner, each share
        above the threshold; smaller ones lose what fell under it."""
        with self._guard:
            return _spectrum_of(self._spectrum, self._edges, self.calibration is not None, size)

    def peak(self, low: float | None = None, high: float = math.inf, size: int | None = None) -> Peak:
        """The highest peak of `spectrum(size)` between `low` and `high` (its
        unit): by default above 20 keV or 500 ns, where the photo-peak stands
        above the threshold's edge (see `vexasdk.pixels.peak`; NaN position and
        width while the spectrum is empty there)."""
        return _peak_of(self.spectrum(size), low, high)

    def _fold_map(self) -> None:
        if self._unmapped:
            bins = np.concatenate(self._unmapped)
            self._map += np.bincount(bins, minlength=self._map.size).astype(np.uint32).reshape(self._map.shape)
            self._unmapped, self._unmapped_count = [], 0

    def hit_map(self) -> npt.NDArray[np.uint32]:
        """Centroids per sub-pixel bin of the assembled detector: (rows x
        subpixels, columns x subpixels); bin [i, j] covers y from i/s - 0.5
        to (i + 1)/s - 0.5 pixels, x likewise."""
        with self._guard:
            self._fold_map()
            return self._map.copy()

    def rows(self) -> ClusterRows:
        """Every row given out so far (with ``keep=True``)."""
        if not self.keep:
            raise RuntimeError("these Clusters keep no rows: make them with keep=True")
        with self._guard:
            return np.concatenate(self._kept) if self._kept else np.empty(0, CLUSTER_DTYPE)

    def __repr__(self) -> str:
        c = self.counts
        return f"Clusters({c.clusters} clusters of {c.hits} hits, calibrated={self.calibration is not None})"


def _centroid_bins(rows: ClusterRows, shape: tuple[int, int], subpixels: int) -> npt.NDArray[np.uint32]:
    """The flat index, in a (height, width) map of `subpixels` bins a pixel,
    of each centroid inside it (undefined ones are left out)."""
    height, width = shape
    x, y = rows["x"], rows["y"]
    inside = (x > -0.5) & (y > -0.5) & (x < width / subpixels - 0.5) & (y < height / subpixels - 0.5)
    row = ((y[inside] + 0.5) * subpixels).astype(np.uint32)
    column = ((x[inside] + 0.5) * subpixels).astype(np.uint32)
    flat: npt.NDArray[np.uint32] = row * np.uint32(width) + column
    return flat


def _add_spectrum(table: npt.NDArray[np.int64], edges: npt.NDArray[Any], rows: ClusterRows, calibrated: bool) -> None:
    """Counts `rows` into `table` (a row per cluster size, a column per bin)."""
    values = rows["energy"] if calibrated else rows["tot"]
    known = np.isfinite(values)
    bins = np.minimum((np.maximum(values[known], 0) / edges[1]).astype(np.intp), table.shape[1] - 1)
    size = np.minimum(rows["size"][known], SIZES).astype(np.intp) - 1
    table += np.bincount(size * table.shape[1] + bins, minlength=table.size).reshape(table.shape)


def _spectrum_of(table: npt.NDArray[np.int64], edges: npt.NDArray[Any], calibrated: bool,
                 size: int | None) -> ClusterSpectrum:
    if size is None:
        counts = table.sum(axis=0)
    elif isinstance(size, bool) or not isinstance(size, int) or not 1 <= size <= SIZES:
        raise ValueError(f"size must be None or 1 to {SIZES} pixels ({SIZES} for {SIZES} or more), got {size!r}")
    else:
        counts = table[size - 1].copy()
    return ClusterSpectrum(counts, edges.astype(np.float64), "keV" if calibrated else "ns")


def _peak_of(spectrum: ClusterSpectrum, low: float | None, high: float) -> Peak:
    if low is None:
        low = 20.0 if spectrum.unit == "keV" else 500.0
    return peak(spectrum.counts, spectrum.edges, within=(low, high))


# ---- a reduction over blocks, on Dask workers or here ----

class ClusterTotals:
    """What the `cluster_reduction` of a stream's blocks adds up to: the
    clusters' spectrum and centroid map, and how many there were.

    Each block is clustered on its own, wherever it is reduced. The clusters
    that touch a block's first or last ToAs (within ``window_ns +
    disorder_ns``) may go on in the block before or after: their hits are
    kept aside, and clustered together, exactly once, when the totals are
    first read. So a cluster that two blocks share counts once, whole,
    provided blocks overlap in time by no more than ``disorder_ns``. Hits
    kept aside are a small share of all (those near the blocks' ends).
    """

    def __init__(self, settings: dict[str, Any], subpixels: int, chips: int) -> None:
        self.settings, self.subpixels = settings, subpixels
        rows, columns = detector_shape(chips)
        self.shape = (rows * subpixels, columns * subpixels)
        calibrated = settings["calibration"] is not None
        step, top = (ENERGY_BIN_KEV, ENERGY_TOP_KEV) if calibrated else (TOT_BIN_NS, TOT_TOP_NS)
        self.edges = np.arange(round(top / step) + 1) * step
        self.unit = "keV" if calibrated else "ns"
        self.counts = np.zeros((SIZES, len(self.edges) - 1), np.int64)
        self.map_bins = np.zeros(0, np.uint32)  # sparse: bins and their counts, gathered now and then
        self.map_counts = np.zeros(0, np.int64)
        self.clusters = self.hits = self.out_of_range = 0
        self.aside: list[npt.NDArray[np.void]] = []

    # ---- folding in ----

    def add_rows(self, rows: ClusterRows) -> None:
        _add_spectrum(self.counts, self.edges, rows, self.unit == "keV")
        bins = _centroid_bins(rows, self.shape, self.subpixels)
        self._add_map(bins, np.ones(len(bins), np.int64))
        self.clusters += len(rows)
        self.hits += int(rows["size"].sum())

    def _add_map(self, bins: npt.NDArray[np.uint32], counts: npt.NDArray[np.int64]) -> None:
        self.map_bins = np.concatenate([self.map_bins, bins])
        self.map_counts = np.concatenate([self.map_counts, counts])
        if len(self.map_bins) > 1 << 20:
            self._gather_map()

    def _gather_map(self) -> None:
        bins, owner = np.unique(self.map_bins, return_inverse=True)
        self.map_counts = np.bincount(owner, weights=self.map_counts, minlength=len(bins)).astype(np.int64)
        self.map_bins = bins.astype(np.uint32)

    def merge(self, other: ClusterTotals) -> ClusterTotals:
        self.counts += other.counts
        self._add_map(other.map_bins, other.map_counts)
        self.clusters += other.clusters
        self.hits += other.hits
        self.out_of_range += other.out_of_range
        self.aside += other.aside
        return self

    def _settle(self) -> None:
        """Clusters the hits kept aside, all together: once."""
        if not self.aside:
            return
        from vexasdk.events import cluster

        hits = np.concatenate(self.aside)
        self.aside = []
        rows = cluster(hits, **{k: v for k, v in self.settings.items() if k not in ("disorder_ns", "max_span_ns")})
        self.add_rows(rows)

    # ---- reading ----

    def spectrum(self, size: int | None = None) -> ClusterSpectrum:
        """Clusters per bin of energy (keV) with a calibration, of summed ToT
        (ns) without, as `Clusters.spectrum` gives them."""
        self._settle()
        return _spectrum_of(self.counts, self.edges, self.unit == "keV", size)

    def peak(self, low: float | None = None, high: float = math.inf, size: int | None = None) -> Peak:
        """The spectrum's highest peak, as `Clusters.peak` finds it."""
        return _peak_of(self.spectrum(size), low, high)

    def hit_map(self) -> npt.NDArray[np.int64]:
        """Centroids per sub-pixel bin, as `Clusters.hit_map` lays them out."""
        self._settle()
        image = np.zeros(self.shape[0] * self.shape[1], np.int64)
        np.add.at(image, self.map_bins.astype(np.intp), self.map_counts)
        return image.reshape(self.shape)

    @property
    def cluster_count(self) -> int:
        """Clusters found."""
        self._settle()
        return self.clusters

    @property
    def hit_count(self) -> int:
        """Hits in them; hits past the chips are counted apart (`out_of_range`)."""
        self._settle()
        return self.hits

    def __repr__(self) -> str:
        return f"ClusterTotals({self.cluster_count} clusters of {self.hit_count} hits)"


def _cluster_block(settings: dict[str, Any], subpixels: int, chips: int, block: Block) -> ClusterTotals:
    """One block's totals (on a worker): its clusters, less those that touch
    its ends, whose hits go aside."""
    from vexasdk.events import PACKET_DTYPE, cluster
    from vexasdk.pixels import TOA_NS

    totals = ClusterTotals(settings, subpixels, chips)
    packets = block.packets if block.mode in TOA_TOT_MODES else None
    if packets is None or not len(packets):
        return totals
    hits = np.empty(len(packets), PACKET_DTYPE)
    for name in ("address", "tot", "toa"):
        hits[name] = packets[name]
    rows, labels = cluster(hits, labels=True,
                           **{k: v for k, v in settings.items() if k not in ("disorder_ns", "max_span_ns")})
    toa = hits["toa"]
    band = (settings["window_ns"] + settings["disorder_ns"]) / TOA_NS
    near_ends = (toa < toa.min() + band) | (toa > toa.max() - band)
    touching = np.zeros(len(rows), bool)
    touching[labels[near_ends & (labels >= 0)]] = True
    totals.out_of_range = int((labels < 0).sum())
    totals.add_rows(rows[~touching])
    aside = (labels >= 0) & touching[np.maximum(labels, 0)]
    if aside.any():
        totals.aside.append(hits[aside])
    return totals


def _fold_block(total: ClusterTotals, partial: ClusterTotals) -> ClusterTotals:
    return total.merge(partial)


def _merge_totals(total: ClusterTotals, other: ClusterTotals) -> ClusterTotals:
    return total.merge(other)


def _no_totals(settings: dict[str, Any], subpixels: int, chips: int) -> ClusterTotals:
    return ClusterTotals(settings, subpixels, chips)


def cluster_reduction(*, window_ns: float = 500.0, neighbours: Literal[4, 8] = 8,
                      calibration: Calibration | None = None, weight: Literal["tot", "energy"] = "tot",
                      disorder_ns: float = 1000.0, subpixels: int = 4, chips: int = 4) -> Any:
    """Clusters as a `vexasdk.reduction.Reduction`, for `reduce_on` (Dask
    workers) or `reduce_locally`: each block is clustered where it is
    reduced, and the totals (`ClusterTotals`) join the clusters the blocks'
    ends cut. Settings as `Clusters` takes them; `chips` sets the centroid
    map's size. Blocks of modes without ToA-ToT hits add nothing."""
    import functools

    from vexasdk.reduction import Reduction

    settings = {"window_ns": window_ns, "neighbours": neighbours, "calibration": calibration, "weight": weight,
                "disorder_ns": disorder_ns, "max_span_ns": 100_000.0}
    Clusterer(**settings)  # type: ignore[arg-type]  # checks them now
    if isinstance(subpixels, bool) or not isinstance(subpixels, int) or not 1 <= subpixels <= 16:
        raise ValueError(f"subpixels must be an integer from 1 to 16, got {subpixels!r}")
    detector_shape(chips)
    return Reduction("clusters", functools.partial(_cluster_block, settings, subpixels, chips), _fold_block,
                     functools.partial(_no_totals, settings, subpixels, chips), _merge_totals)
