"""The HDF5 writer: a sink of `Device.acquire` that keeps every block in a
NeXus file, from threads of its own.

The SDK's thread only queues a block (the queue bounded in blocks and in
bytes). The writer's thread turns each block into the file's columns with
vectorised numpy, gathers them into chunks, and hands full chunks to a pool
that compresses them without the interpreter lock; the compressed chunks are
written whole. Every `FLUSH_INTERVAL` seconds the file is made complete: the
last unfinished chunks written, the counts, hit map and times brought up to
date, HDF5's buffers flushed. A writer killed in between leaves the file of
its last flush, which says how many blocks it holds.
"""

from __future__ import annotations

import ctypes
import dataclasses
import datetime
import os
import re
import threading
import time
from typing import TYPE_CHECKING, Any

import awkward as ak  # type: ignore[import-untyped]
import h5py  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexasdk._event_columns import toa_tot_columns
from vexasdk.account import StageCounts, Tally
from vexasdk.acquisition import BINNED_MODES, Acquisition, Block
from vexasdk.nexus import layout as lay
from vexasdk.nexus.chunks import COMPRESSIONS, ChunkPool, Column, codec, whole_chunks
from vexasdk.nexus.records import DetectorRecord, RunEnd
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import ITOT_NS, TOA_NS, detector_coordinates, detector_shape
from vexasdk.queues import ByteQueue, block_nbytes

if TYPE_CHECKING:
    from vexasdk.clusters import Clusters

__all__ = ["FLUSH_INTERVAL", "HDF5Writer", "WriterCounts"]

M = OperationalMode
FLUSH_INTERVAL = 0.25
"""Seconds a written block may wait before the file on disk holds it."""
EVENT_CHUNK = 1 << 17  # rows of an event column's chunk
BLOCK_CHUNK = 1 << 12  # rows of a per-block column's chunk
_CHUNK_CACHE = 16 << 20


def iso(seconds: float) -> str:
    """ISO 8601, with the timezone (UTC)."""
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()


@dataclasses.dataclass(frozen=True)
class WriterCounts:
    """What a writer has done with the blocks it was given.

    Attributes:
        received (int): Blocks given to `put`.
        written (int): Blocks on the disk (as of the last flush).
        dropped (int): Blocks it let go: its queue stayed full.
        events (int): Events in the blocks written.
        queued_bytes (int): Bytes of blocks waiting for the disk now.
        failed (int): Blocks lost with the disk: it failed before they were
            written, or while they waited.
        positions (int): Binned modes: scan positions in the blocks written.
        triggers (int): Data-driven ToA-ToT: trigger pulses (rising edges on
            the first TDC channel) in the blocks written.
    """

    received: int = 0
    written: int = 0
    dropped: int = 0
    events: int = 0
    queued_bytes: int = 0
    failed: int = 0
    positions: int = 0
    triggers: int = 0


_END: Any = object()


@dataclasses.dataclass(frozen=True, slots=True)
class _Rows:
    """A batch of cluster rows on the writer's queue."""

    rows: npt.NDArray[Any]


def _abandon(held: Any) -> None:
    """Keeps the objects of a file the disk failed under until the process
    ends. HDF5 cannot close such a file (closing writes), and a dataset of it
    closed at the interpreter's exit, or after the file, breaks HDF5's own
    shutdown; left alone, HDF5 ends them at exit quietly. The file on disk is
    as its last flush left it."""
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(held))


class HDF5Writer:
    """Writes an acquisition's blocks to an HDF5 file in NeXus terms, from
    threads of its own; a sink for `Device.acquire(sinks=[writer])`. The
    layout is in docs/nexus-format.md; `vexasdk.nexus.load` reads it back.

    Args:
        path: The file to write.
        overwrite: Replace an existing file; otherwise one is refused.
        compression: "blosc2" (LZ4 with bit shuffling, the default: faster
            than the disk, and read by any HDF5 with the filters of
            ``hdf5plugin``), "lzf", "gzip", or None.
        max_queued: Blocks waiting for the disk, at most.
        max_queued_bytes: Bytes of blocks waiting for the disk, at most. A
            block that finds the queue full waits up to `full_timeout`
            seconds, then is dropped and counted in ``dropped_blocks``.
        full_timeout: See `max_queued_bytes`.
        threads: Threads that compress chunks (1 to 64).
        bright_field_radius: Binned data: the virtual bright-field disc, in pixels.
        dark_field_radii: Binned data: the annular dark-field ring, in pixels.
        series: Keep the file open over several acquisitions of one mode
            (one after the other; not for scans, whose file holds one): each
            one's blocks follow the last one's, its end is written when it
            closes, and `finish()` closes the file. A Bluesky run's frames,
            one acquisition per trigger, go to one file so.
        clusters: A `vexasdk.clusters.Clusters` whose rows the file keeps
            beside the hits, in ``instrument/detector/clusters`` (ToA-ToT
            modes; not in a series). The writer gives it the blocks: give
            only the writer to `sinks`. Its counts and spectrum are read
            from it as usual.

    Raises:
        FileExistsError: `path` exists and `overwrite` is false.
        ValueError: An argument outside its range.
    """

    def __init__(self, path: str | os.PathLike[str], *, overwrite: bool = False, compression: str | None = "blosc2",
                 max_queued: int = 4096, max_queued_bytes: int = 512 << 20, full_timeout: float = 2.0,
                 threads: int = 2, bright_field_radius: float = 32.0,
                 dark_field_radii: tuple[float, float] = (48.0, 200.0), series: bool = False,
                 clusters: Clusters | None = None) -> None:
        self.path = os.fspath(path)
        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be one of {', '.join(map(repr, COMPRESSIONS))}, got {compression!r}")
        for name, value, low in (("max_queued", max_queued, 1), ("max_queued_bytes", max_queued_bytes, 1),
                                 ("threads", threads, 1)):
            if isinstance(value, bool) or not isinstance(value, int) or value < low or (name == "threads" and value > 64):
                bound = "from 1 to 64" if name == "threads" else "of at least 1"
                raise ValueError(f"{name} must be an integer {bound}, got {value!r}")
        if not (isinstance(full_timeout, (int, float)) and full_timeout >= 0):
            raise ValueError(f"full_timeout must be a number of seconds, 0 or more, got {full_timeout!r}")
        inner, outer = dark_field_radii
        if not (0 < bright_field_radius and 0 <= inner < outer):
            raise ValueError(f"need 0 < bright_field_radius and 0 <= inner < outer dark-field radii, got "
                             f"{bright_field_radius!r} and {dark_field_radii!r}")
        if clusters is not None:
            from vexasdk.clusters import Clusters

            if not isinstance(clusters, Clusters):
                raise TypeError(f"clusters must be vexasdk.clusters.Clusters or None, got {type(clusters).__name__}")
            if series:
                raise ValueError("clusters cannot be kept in a series: give series=False or clusters=None")
        if not overwrite and os.path.exists(self.path):
            raise FileExistsError(f"{self.path} exists; give overwrite=True to replace it")
        self.compression = compression
        self._overwrite = overwrite
        self._codec = codec(compression)
        self._threads = threads
        self._queue = ByteQueue(max_queued, max_queued_bytes)
        self._full_timeout = float(full_timeout)
        self._radii = (float(bright_field_radius), float(inner), float(outer))
        self._file: h5py.File | None = None
        self._thread: threading.Thread | None = None
        self._tally = Tally("writer")  # received, written (delivered), dropped, failed with the disk
        self._events_written = 0
        self._error: BaseException | None = None
        self._began = 0.0
        self._acquisition: Acquisition | None = None
        self._series = series
        self._ends: list[RunEnd] = []  # of the series' acquisitions so far
        self._finished = False
        self._positions_written = self._triggers_written = 0
        self._clusters = clusters

    @property
    def counts(self) -> WriterCounts:
        """What the writer has done so far (a snapshot)."""
        stage = self._tally.counts
        return WriterCounts(stage.received, stage.delivered, stage.dropped, self._events_written, self._queue.nbytes,
                            stage.failed, self._positions_written, self._triggers_written)

    @property
    def account(self) -> StageCounts:
        """The writer's stage of the account: blocks received, on the disk,
        dropped (queue full) and failed (lost with the disk)."""
        return self._tally.counts

    @property
    def stages(self) -> tuple[StageCounts, ...]:
        """The writer's stage, and its clusters' when it has them."""
        if self._clusters is None:
            return (self._tally.counts,)
        return self._tally.counts, self._clusters.account

    # ---- the sink ----

    def open(self, acquisition: Acquisition) -> None:
        """Makes the file with its whole layout; the acquisition has not
        started yet. In a series, the file made for the first one takes the next."""
        if self._series and self._file is not None:
            if self._finished:
                raise RuntimeError(f"the series in {self.path} is finished: make another writer")
            if acquisition.mode is not self._sink.mode or acquisition.scan_shape is not None:
                raise ValueError(f"a series holds acquisitions of one mode, not scans: {self.path} holds "
                                 f"{self._sink.mode.name}, not {acquisition.mode.name}")
            self._acquisition = acquisition
            return
        if self._series and acquisition.scan_shape is not None:
            raise ValueError("a series holds acquisitions of one mode, not scans: a scan's file holds one scan")
        self.begin(acquisition.mode, acquisition.scan_shape, DetectorRecord.read(acquisition.device),
                   dwell_ns=acquisition.dwell_ns)
        self._acquisition = acquisition  # ended early should the disk fail

    def begin(self, mode: OperationalMode, scan_shape: tuple[int, int] | None, detector: DetectorRecord, *,
              dwell_ns: int | None = None) -> None:
        """Makes the file with its whole layout for a run of `mode` on `detector`
        (what `open` does for a local acquisition; a stream's receiver calls it
        with what the stream's start said). Blocks follow through `put`. A
        binned run's `dwell_ns`, when known, is recorded as the detector's
        count time at each position.

        Raises:
            FileExistsError, OSError: The file cannot be made.
            ValueError: A binned mode without its scan shape.
        """
        if mode in BINNED_MODES and scan_shape is None:
            raise ValueError(f"mode {mode.name} needs the scan shape")
        clusters = self._clusters
        nodes = lay.layout(mode, scan_shape, detector, self._radii, dwell_ns,
                           None if clusters is None else clusters.settings)
        if clusters is not None:  # refuses a mode without hits before the file is made
            clusters.start(mode, len(detector.chips), forward=self._put_rows)
        try:
            self._make_file(mode, scan_shape, detector, nodes)
        except BaseException:
            if clusters is not None:
                clusters.close()
            raise

    def _make_file(self, mode: OperationalMode, scan_shape: tuple[int, int] | None, detector: DetectorRecord,
                   nodes: list[lay.Node]) -> None:
        try:
            self._file = h5py.File(self.path, "w" if self._overwrite else "w-", libver="latest",
                                   rdcc_nbytes=_CHUNK_CACHE, alignment_threshold=1 << 16, alignment_interval=1 << 12)
        except FileExistsError:
            raise FileExistsError(f"{self.path} exists; give overwrite=True to replace it") from None
        except OSError as error:
            raise OSError(f"cannot create {self.path}: {error}") from None
        try:
            self._began = time.time()
            self._sink = _Sink(self._file, mode, scan_shape, detector, nodes, self._codec, self._threads, self._radii,
                               self._began)
            self._file.swmr_mode = True  # from here on a reader may follow the file
        except BaseException:
            self._file.close()
            raise
        self._thread = threading.Thread(target=self._write_all, name="vexasdk-hdf5-writer", daemon=True)
        self._thread.start()

    def put(self, block: Block) -> None:
        """Queues `block` for the disk (SDK thread): waits a bounded time for room."""
        self._tally.add(received=1)
        if self._clusters is not None:
            self._clusters.put(block)
        if self._error is None and self._queue.put(block, block_nbytes(block), self._full_timeout):
            return
        if self._error is None:
            self._tally.add(dropped=1)
        else:
            self._tally.add(failed=1)

    def _put_rows(self, rows: npt.NDArray[Any]) -> None:
        """Queues a batch of cluster rows (the clusters' thread): they wait
        for room as long as it takes, as the clusters' own queue drops blocks
        and counts them when clustering falls behind."""
        self._queue.put(_Rows(rows), rows.nbytes, None)

    def close(self, acquisition: Acquisition) -> None:
        """Writes what is still queued and the end's metadata, and closes the
        file (in a series, keeps it open for the next). Raises what went
        wrong with the disk, if anything did."""
        if not self._series:
            self.end(acquisition)
            return
        self._ends.append(RunEnd.of(acquisition))
        drained = threading.Event()
        self._queue.put(drained, 0, None)
        drained.wait()
        if self._error is None:
            try:
                self._sink.finish(self._series_end(), self._dropped_now() + sum(e.dropped for e in self._ends))
            except BaseException as error:
                self._error = error
        if self._error is not None:
            self.end(self._series_end())  # says what the file keeps

    def finish(self) -> None:
        """Closes the file of a series once its last acquisition has closed
        (a file with none is closed as it was made). Finishing twice does nothing."""
        if self._finished or self._file is None:
            self._finished = True
            return
        self._finished = True
        self.end(self._series_end())

    def _series_end(self) -> RunEnd:
        """The series' end as one run's: from its first start to its last end."""
        if not self._ends:
            now = time.time()
            return RunEnd(self._began, now, now - self._began, 0, 0)
        first, last = self._ends[0], self._ends[-1]
        return dataclasses.replace(last, started_at=first.started_at, elapsed=max(0.0, last.ended_at - first.started_at),
                                   failed_fetches=sum(e.failed_fetches for e in self._ends),
                                   dropped=sum(e.dropped for e in self._ends),
                                   end_known=all(e.end_known for e in self._ends))

    def end(self, end: Acquisition | RunEnd) -> None:
        """Writes what is still queued and the end's metadata (of a local
        acquisition, or as a stream's end message said), and closes the file.

        Raises:
            OSError: The disk failed: says the file, the cause, and what the
                file keeps. It is readable as its last flush left it, and
                says so in its counts; HDF5 cannot close it (that would
                write), so this process holds it open until it exits.
        """
        clustering: BaseException | None = None
        if self._clusters is not None:
            try:
                self._clusters.close()  # its last rows reach the queue first
            except BaseException as error:
                clustering = error
        if self._thread is not None:
            self._queue.put(_END, 0, None)
            self._thread.join()
            self._thread = None
        self._finished = True
        assert self._file is not None
        run_end = end if isinstance(end, RunEnd) else RunEnd.of(end)
        try:
            if self._error is None:
                if self._clusters is not None:
                    self._sink.cluster_counts(self._clusters.counts, self._clusters.account.lost)
                self._sink.finish(run_end, self._dropped_now() + run_end.dropped)
        except BaseException as error:
            self._error = error
        finally:
            if self._error is None:
                self._sink.close()
                try:
                    self._file.close()
                except BaseException as error:  # the disk again: what the last flush left stands
                    self._error = error
            if self._error is not None:
                _abandon((self._file, self._sink))
        if self._error is not None:
            kept = self.counts
            raise OSError(f"writing {self.path} failed: {_cause(self._error)}; the file keeps {kept.written} "
                          f"blocks ({kept.events} events) as of its last flush, {kept.dropped + kept.failed} blocks "
                          f"were lost") from self._error
        if clustering is not None:
            raise clustering

    # ---- the writer's thread ----

    def _write_all(self) -> None:
        unflushed: list[Block] = []
        deadline: float | None = None
        while True:
            got, block = self._queue.get(None if deadline is None else max(0.0, deadline - time.monotonic()))
            drained = isinstance(block, threading.Event)  # a series' acquisition has closed
            if block is _END or drained or not got or (deadline is not None and time.monotonic() >= deadline):
                self._flush(unflushed)
                unflushed, deadline = [], None
            if block is _END:
                return
            if drained:
                block.set()
                continue
            if not got:
                continue
            if isinstance(block, _Rows):
                if self._error is None:
                    self._write_rows(block.rows)
                    if deadline is None:
                        deadline = time.monotonic() + FLUSH_INTERVAL
                continue
            if self._error is not None:
                self._lose(1)
                continue
            try:
                self._sink.write(block)
            except BaseException as error:  # the disk: nothing more gets in, what the last flush kept stays
                self._fail(error, len(unflushed) + 1)
                unflushed = []
                continue
            unflushed.append(block)
            if deadline is None:
                deadline = time.monotonic() + FLUSH_INTERVAL

    def _write_rows(self, rows: npt.NDArray[Any]) -> None:
        try:
            self._sink.write_clusters(rows)
        except BaseException as error:  # the disk: as for blocks, what the last flush kept stays
            self._fail(error, 0)

    def _flush(self, blocks: list[Block]) -> None:
        if self._error is not None:
            return
        events = sum(block.event_count() for block in blocks)
        try:
            if self._clusters is not None:
                self._sink.cluster_counts(self._clusters.counts, self._clusters.account.lost)
            self._sink.flush(self._dropped_now(), time.time())
        except BaseException as error:
            self._fail(error, len(blocks))
            return
        self._events_written += events
        self._positions_written += sum(block.positions for block in blocks)
        self._triggers_written += sum(len(block.metadata.tdcs[0]) for block in blocks
                                      if block.metadata is not None and len(block.metadata.tdcs))
        self._tally.add(delivered=len(blocks))

    def _fail(self, error: BaseException, lost: int) -> None:
        self._error = error
        self._lose(lost)
        if self._acquisition is not None:
            self._acquisition.sink_failed()

    def _lose(self, blocks: int) -> None:
        self._tally.add(failed=blocks)

    def _dropped_now(self) -> int:
        """What the file says it lacks: blocks dropped, and those lost with the disk."""
        return self._tally.counts.lost


def _cause(error: BaseException) -> str:
    """What the system said of a failed write, without HDF5's account of its
    buffers and descriptors."""
    text = str(error)
    said = re.search(r"error message = '([^']+)'", text)
    return said.group(1) if said else (text or type(error).__name__)


class _Sink:
    """The open file of one run: its layout made, its columns staged."""

    def __init__(self, f: h5py.File, mode: OperationalMode, scan_shape: tuple[int, int] | None,
                 detector: DetectorRecord, nodes: list[lay.Node], codec: Any, threads: int,
                 radii: tuple[float, float, float], began: float) -> None:
        self.f, self.mode, self.scan_shape = f, mode, scan_shape
        self.shape = detector_shape(max(1, len(detector.chips)))
        self.radii = radii
        self.began = began
        self.entry = _make(f, nodes, codec, scan_shape)
        self.pool = ChunkPool(codec, threads, in_flight=4 * threads)
        self.columns: dict[str, Column] = {}
        self.blocks = self.events = 0
        self.hits: _HitMap | None = None
        self.images: dict[str, npt.NDArray[np.uint64]] = {}
        self.clock_zero: str | None = None
        self.started = iso(began)
        self.entry["start_time"][()] = self.started.encode()
        images = {f"{name}/{name}" for name in lay.SCAN_IMAGES.get(mode, ())}
        for name, node in ((n.path, n) for n in nodes if isinstance(n, lay.Field)):
            if node.store == "events":
                self.columns[name] = Column(self.entry[name], EVENT_CHUNK)
            elif node.store == "blocks":
                self.columns[name] = Column(self.entry[name], BLOCK_CHUNK, compressed=False)
            elif name in images:
                self.images[name] = np.zeros(node.shape, np.uint64)
        if mode in lay.TOA_TOT or mode is M.fb_itot_evcount:
            self.hits = _HitMap(self.shape)
        self.monitor_groups = [n.path for n in nodes if isinstance(n, lay.Group) and n.nx_class == "NXlog"]
        for group in self.monitor_groups:
            self.entry[f"{group}/time"].attrs.modify("start", np.bytes_(self.started))
        if mode is M.fb_itot_evcount:
            self.entry["frames/frame_time"].attrs.modify("start", np.bytes_(self.started))
        self.datasets = {path: self.entry[path] for path in ("block_count", "event_count", "dropped_blocks",
                                                             "duration", "end_time")}
        self.clustered = lay.CLUSTERS in self.entry
        self.cluster_rows = self.cluster_batches = 0
        self.clusters_lost = 0
        self.pending_cluster_counts: Any = None

    # ---- blocks ----

    def write(self, block: Block) -> None:
        if self.mode in lay.TOA_TOT:
            self._events(block)
        elif self.mode is M.fb_itot_evcount:
            self._frame(block.arrays[0], block.arrived)
        else:
            self._scan(block)
        self.blocks += 1
        self.events += block.event_count()

    def _events(self, block: Block) -> None:
        packets = _packets(block.arrays[0])
        toa = packets["toa"]
        if block.metadata is not None:
            zero_ticks = int(block.metadata.shutter_start)
        else:
            zero_ticks = int(toa.min()) if len(toa) else 0
        zero = int(np.floor(zero_ticks * TOA_NS))  # whole ns: offsets stay exact
        if self.clock_zero is None:
            # The wall time at which the detector's clock read zero, from the
            # first block's latest event: off by the block's delivery latency.
            latest = int(toa.max()) if len(toa) else zero_ticks
            self.clock_zero = iso(block.arrived - latest * TOA_NS * 1e-9)
        c, pool = self.columns, self.pool
        c[f"{lay.EVENTS}/event_index"].append(np.array([self.events], np.int64), pool)
        c[f"{lay.EVENTS}/event_time_zero"].append(np.array([zero], np.int64), pool)
        # Straight into the chunks being staged: the three columns fill alike.
        columns = [c[f"{lay.EVENTS}/{name}"] for name in ("event_id", "event_time_offset", "tot")]
        assert self.hits is not None
        done = 0
        while done < len(packets):
            ids, offsets, tots = (column.room() for column in columns)
            n = min(len(packets) - done, len(ids))
            toa_tot_columns(packets[done:done + n], zero, self.shape[1], ids[:n], offsets[:n], tots[:n],
                            self.hits.recent)
            for column in columns:
                column.advance(n, pool)
            done += n
        if block.metadata is not None:
            for channel, stamps in enumerate(block.metadata.tdcs[:lay.TDC_CHANNELS]):
                c[f"tdc/channel_{channel}"].append(np.asarray(stamps, np.float64) * TOA_NS, pool)

    def write_clusters(self, rows: npt.NDArray[Any]) -> None:
        """A batch of cluster rows, as events of their own: the batch's
        earliest ToA (whole ns) is its time zero."""
        c, pool, group = self.columns, self.pool, lay.CLUSTERS
        toa = rows["toa"]
        zero = int(np.floor(toa.min()))
        rows_, columns = self.shape
        x, y = rows["x"], rows["y"]
        # The pixel nearest the centroid; an undefined one (every ToT 0) names pixel 0.
        column = np.clip(np.nan_to_num(np.rint(x)), 0, columns - 1).astype(np.uint32)
        row = np.clip(np.nan_to_num(np.rint(y)), 0, rows_ - 1).astype(np.uint32)
        c[f"{group}/event_index"].append(np.array([self.cluster_rows], np.int64), pool)
        c[f"{group}/event_time_zero"].append(np.array([zero], np.int64), pool)
        c[f"{group}/event_id"].append(row * np.uint32(columns) + column, pool)
        c[f"{group}/event_time_offset"].append(toa - zero, pool)
        for name in ("x", "y", "size", "tot", "energy"):
            c[f"{group}/{name}"].append(rows[name], pool)
        self.cluster_rows += len(rows)
        self.cluster_batches += 1

    def cluster_counts(self, counts: Any, lost: int) -> None:
        """What the next flush says of the clustering: its counts as of now,
        and the rows and batches written."""
        self.pending_cluster_counts = counts
        self.clusters_lost = lost

    def _write_cluster_counts(self) -> None:
        counts = self.pending_cluster_counts
        e, group = self.entry, lay.CLUSTERS
        values = {"cluster_count": self.cluster_rows, "batch_count": self.cluster_batches,
                  "dropped_blocks": self.clusters_lost}
        if counts is not None:
            values.update(hit_count=counts.hits, late_hits=counts.late, out_of_range_hits=counts.out_of_range,
                          cut_clusters=counts.cut)
        for name, value in values.items():
            e[f"{group}/{name}"][()] = value

    def _frame(self, packets: Any, arrived: float) -> None:
        rows, columns = detector_coordinates(packets["address"])
        inside = (rows < self.shape[0]) & (columns < self.shape[1])
        evcount = np.zeros(self.shape, np.uint16)
        itot = np.zeros(self.shape, np.uint32)
        evcount[rows[inside], columns[inside]] = np.minimum(packets["evcount"][inside], np.iinfo(np.uint16).max)
        itot[rows[inside], columns[inside]] = np.asarray(packets["itot"][inside], np.uint32) * np.uint32(ITOT_NS)
        index = self.blocks
        assert self.hits is not None
        self.hits.add_image(evcount)
        whole_chunks(self.entry["frames/evcount"], (index, 0, 0), evcount, self.pool)
        whole_chunks(self.entry["frames/itot"], (index, 0, 0), itot, self.pool)
        self.columns["frames/frame"].append(np.array([index], np.int64), self.pool)
        self.columns["frames/frame_time"].append(np.array([arrived - self.began], np.float64), self.pool)

    def _scan(self, block: Block) -> None:
        assert block.scan_shape is not None and block.first_position is not None
        width, height = block.scan_shape
        first, count = block.first_position, block.positions
        positions = (first + np.arange(count)) % (width * height)
        y, x = np.divmod(positions, width)
        totals = np.asarray(block.arrays[0], np.uint64)
        if block.mode is M.binned_itot:
            self.images["itot/itot"][y, x] = totals * np.uint64(ITOT_NS)
            return
        self.images["evcount/evcount"][y, x] = totals
        if block.mode is M.binned_evcount:
            return
        self.images["itot/itot"][y, x] = np.asarray(block.arrays[1], np.uint64) * np.uint64(ITOT_NS)
        packets = block.arrays[2]
        per_position = np.asarray(ak.num(packets, axis=1), np.int64)
        flat = ak.flatten(packets)
        rows, columns = detector_coordinates(ak.to_numpy(flat.address))
        counts = np.asarray(ak.to_numpy(flat.evcount), np.uint64)
        owner = np.repeat(np.arange(count), per_position)
        centre = (self.shape[0] / 2, self.shape[1] / 2)
        radius = np.hypot(rows - centre[0] + 0.5, columns - centre[1] + 0.5)
        bf_radius, inner, outer = self.radii
        bright = np.bincount(owner, weights=counts * (radius <= bf_radius), minlength=count)
        dark = np.bincount(owner, weights=counts * ((radius >= inner) & (radius <= outer)), minlength=count)
        self.images["bright_field/bright_field"][y, x] = bright.astype(np.uint64)
        self.images["annular_dark_field/annular_dark_field"][y, x] = dark.astype(np.uint64)
        inside = (rows < self.shape[0]) & (columns < self.shape[1])
        dense = self.entry["data/counts"]
        step = 16  # positions a slab: a dense frame is half a megabyte
        for start in range(0, count, step):
            stop = min(start + step, count)
            slab = np.zeros((stop - start, *self.shape), np.uint16)
            mine = inside & (owner >= start) & (owner < stop)
            slab[owner[mine] - start, rows[mine], columns[mine]] = np.minimum(counts[mine], np.iinfo(np.uint16).max)
            for i in range(stop - start):
                whole_chunks(dense, (int(y[start + i]), int(x[start + i]), 0, 0), slab[i], self.pool)

    # ---- flushes and the end ----

    def flush(self, dropped: int, now: float) -> None:
        """Makes the file on disk hold every block written so far, and say so."""
        self.pool.drain()
        for column in self.columns.values():
            column.flush(self.pool)
        self.pool.drain()
        if self.hits is not None:
            self.entry["data/counts"][...] = self.hits.image()
        for path, image in self.images.items():
            self.entry[path][...] = image
        if self.clock_zero is not None:
            self.entry[f"{lay.EVENTS}/event_time_zero"].attrs.modify("offset", np.bytes_(self.clock_zero))
            if self.clustered:
                self.entry[f"{lay.CLUSTERS}/event_time_zero"].attrs.modify("offset", np.bytes_(self.clock_zero))
        # The data on disk first, then the counts that vouch for it: HDF5
        # writes out one flush's objects in no order a reader may rely on.
        self.f.flush()
        d = self.datasets
        d["block_count"][()] = self.blocks
        d["event_count"][()] = self.events
        d["dropped_blocks"][()] = dropped
        d["duration"][()] = max(0.0, now - self.began)
        d["end_time"][()] = iso(now).encode()
        if self.clustered:
            self._write_cluster_counts()
        self.f.flush()

    def finish(self, end: RunEnd, dropped: int) -> None:
        self.flush(dropped, end.ended_at)
        e = self.entry
        e["start_time"][()] = iso(end.started_at).encode()
        e["end_time"][()] = iso(end.ended_at).encode()
        e["duration"][()] = end.elapsed
        e["failed_fetches"][()] = end.failed_fetches
        e["complete"][()] = int(end.end_known and not dropped and not end.failed_fetches and not self.clusters_lost)
        if end.bias_voltage is not None:
            e[f"{lay.DETECTOR}/bias_voltage"][()] = end.bias_voltage
        for index, group in enumerate(self.monitor_groups):
            if end.readings is not None and index < len(end.readings):
                e[f"{group}/value"][1] = end.readings[index]
            e[f"{group}/time"][1] = end.elapsed
            e[f"{group}/time"].attrs.modify("start", np.bytes_(iso(end.started_at)))
        self.f.flush()

    def close(self) -> None:
        """Lets go of every object of the file: after a failed write, one
        still held when the file closes would be closed later against a file
        HDF5 has half torn down."""
        self.pool.close()
        for held in (self.columns, self.datasets, self.images):
            held.clear()
        self.entry = None


class _HitMap:
    """Events per pixel of the assembled detector, counted as blocks are
    written: the native pass counts into `recent` (32 bits, cheap to hit at
    random), which joins the total at every flush."""

    def __init__(self, shape: tuple[int, int]) -> None:
        self.shape = shape
        self.total = np.zeros(shape[0] * shape[1], np.uint64)
        self.recent = np.zeros(shape[0] * shape[1], np.uint32)

    def add_image(self, image: npt.NDArray[Any]) -> None:
        self.total += image.ravel()

    def image(self) -> npt.NDArray[np.uint64]:
        self.total += self.recent
        self.recent[:] = 0
        return self.total.reshape(self.shape)


_PACKET = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])


def _packets(packets: Any) -> npt.NDArray[Any]:
    """ToA-ToT packets as contiguous SDK records, as the native pass reads them."""
    array = np.asarray(packets)
    if array.dtype.fields == _PACKET.fields and array.dtype.itemsize == _PACKET.itemsize:
        return np.ascontiguousarray(array)
    records = np.empty(len(array), _PACKET)
    for name in _PACKET.names or ():
        records[name] = array[name]
    return records


def _make(f: h5py.File, nodes: list[lay.Node], codec: Any, scan_shape: tuple[int, int] | None) -> h5py.Group:
    """Makes the file's layout; the /entry group."""
    f.attrs["default"] = "entry"
    f.attrs["creator"] = lay.FORMAT
    f.attrs["NX_class"] = "NXroot"
    f.attrs["file_name"] = os.path.basename(f.filename)
    f.attrs["file_time"] = iso(time.time())
    f.attrs["HDF5_Version"] = h5py.version.hdf5_version
    f.attrs["h5py_version"] = h5py.version.version
    entry = f.create_group("entry")
    for node in nodes:
        if isinstance(node, lay.Group):
            group = entry.require_group(node.path) if node.path else entry
            group.attrs["NX_class"] = node.nx_class
            for name, value in node.attrs.items():
                group.attrs[name] = value
        else:
            dataset = _dataset(entry, node, codec)
            if node.units is not None:
                dataset.attrs["units"] = node.units
            for name, value in node.attrs.items():
                if value == "":  # rewritten later, in place: a fixed size
                    dataset.attrs.create(name, np.bytes_(b""), dtype=lay.TIME_TEXT)
                else:
                    dataset.attrs[name] = value
    return entry


def _dataset(entry: h5py.Group, node: lay.Field, codec: Any) -> h5py.Dataset:
    store, path = node.store, node.path
    if store == "value":
        value = node.value
        if isinstance(value, str):
            return entry.create_dataset(path, data=value, dtype=h5py.string_dtype())
        value = np.asarray(value)
        if value.nbytes >= 1 << 16:  # the detector's pixel maps: deflate, which every HDF5 reads
            return entry.create_dataset(path, data=value, chunks=True, compression="gzip", shuffle=True)
        return entry.create_dataset(path, data=value)
    if store == "scalar":
        dataset = entry.create_dataset(path, shape=(), dtype=node.dtype)
        # Written at once, so that its storage exists before readers may follow
        # the file: space allocated later changes the header under them.
        dataset[()] = node.value if node.value is not None else np.zeros((), dataset.dtype)
        return dataset
    if store == "image":
        return entry.create_dataset(path, shape=node.shape, dtype=node.dtype,
                                    data=node.value if node.value is not None else None)
    if store == "events":
        return entry.create_dataset(path, shape=(0,), maxshape=(None,), dtype=node.dtype, chunks=(EVENT_CHUNK,),
                                    **codec.options)
    if store == "blocks":
        return entry.create_dataset(path, shape=(0,), maxshape=(None,), dtype=node.dtype, chunks=(BLOCK_CHUNK,))
    if store == "frames":
        return entry.create_dataset(path, shape=(0, *node.shape), maxshape=(None, *node.shape), dtype=node.dtype,
                                    chunks=(1, *node.shape), **codec.options)
    # positions: the 4D counts, one chunk a scan position
    return entry.create_dataset(path, shape=node.shape, dtype=node.dtype, chunks=(1, 1, *node.shape[2:]),
                                **codec.options)
