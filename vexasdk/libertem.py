"""A LiberTEM-live detector for this package's 4D-STEM scans.

LiberTEM runs its UDFs on the frames of a `binned_data` scan while the scan
runs: each scan position's packets become one frame of the assembled detector
image, sparse (scipy CSR, straight from the packets) or dense, as the UDFs
want them::

    from libertem.udf.sum import SumUDF
    from libertem_live.api import LiveContext
    from vexasdk.libertem import open_connection

    ctx = LiveContext.make_with("inline")
    with open_connection(device, dwell_ns=1000) as conn:          # a local device: LiberTEM starts the scan
        aq = ctx.make_acquisition(conn=conn, nav_shape=(64, 64))   # (rows, columns)
        summed = ctx.run_udf(dataset=aq, udf=SumUDF())["intensity"].data

    with open_connection(address="tcp://detector-pc:5555") as conn:   # a `vexasdk stream`: it starts the scan
        pending = conn.wait_for_acquisition(timeout=10.0)
        aq = ctx.make_acquisition(conn=conn, pending_aq=pending)
        summed = ctx.run_udf(dataset=aq, udf=SumUDF())["intensity"].data

A position whose block never arrived (dropped, lost on the network, or not
yet scanned when the acquisition ended) is an empty frame, and counted:
`ScanAcquisition.missing_positions`, `Connection.missing_positions`, and a
`MissingPositions` warning once the run has ended.

Needs LiberTEM-live (``pip install "vexasdk[libertem]"``); see docs/libertem.md.
"""

from __future__ import annotations

import itertools
import logging
import math
import time
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

import awkward as ak  # type: ignore[import-untyped]
import numpy as np

try:
    import scipy.sparse  # type: ignore[import-untyped]
    from libertem.common import Shape, Slice  # type: ignore[import-untyped]
    from libertem.common.executor import TaskCommHandler  # type: ignore[import-untyped]
    from libertem.io.dataset.base import DataSet, DataSetMeta, DataTile, Partition  # type: ignore[import-untyped]
    from libertem_live.detectors.base.acquisition import AcquisitionMixin  # type: ignore[import-untyped]
    from libertem_live.detectors.base.connection import (  # type: ignore[import-untyped]
        DetectorConnection, PendingAcquisition)
    from libertem_live.hooks import ReadyForDataEnv  # type: ignore[import-untyped]
    from sparseconverter import NUMPY, SCIPY_CSR  # type: ignore[import-untyped]
except ImportError as error:  # an optional dependency
    raise ImportError('vexasdk.libertem needs LiberTEM-live: pip install "vexasdk[libertem]"') from error

import vexasdk
from vexasdk._device import Device, _whole
from vexasdk.acquisition import Acquisition, Block, BlockSink, Overflow
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import detector_coordinates, detector_shape

if TYPE_CHECKING:
    from vexasdk.stream import Receiver
    from vexasdk.stream.wire import Pattern

__all__ = ["Connection", "MissingPositions", "PendingScan", "ScanAcquisition", "open_connection"]

_log = logging.getLogger("vexasdk")
_FRAME_DTYPE = np.dtype(np.uint32)  # events per pixel and position, as the packets count them
_PARTITION_POSITIONS = 128  # at least: results come a partition at a time, and each costs a task
_END_GRACE = 2.0  # seconds a scan whose every position came may take to end by itself


class MissingPositions(RuntimeWarning):
    """Scan positions had no data: LiberTEM saw empty frames there."""


def open_connection(device: Device | str | None = None, *, address: str | None = None, dwell_ns: int = 1000,
                    sinks: Sequence[BlockSink] = (), max_queued: int = 256, overflow: Overflow = "wait",
                    pattern: Pattern = "push", timeout: float = 10.0,
                    sig_shape: tuple[int, int] | None = None) -> Connection:
    """Opens a connection that LiberTEM-live's ``LiveContext.make_acquisition`` takes.

    Without `address`, a local device, in LiberTEM's active mode: each UDF run
    on an acquisition of it (``make_acquisition(conn=conn, nav_shape=(rows,
    columns))``) starts a `binned_data` scan of that shape and calls the
    acquisition's ``hooks.on_ready_for_data``. The device must be powered and
    biased, as for any acquisition.

    With `address`, a `vexasdk stream` publisher's scans, in passive mode:
    `Connection.wait_for_acquisition` waits for the next one.

    Args:
        device: The local device, or its connection string; None opens the
            first enumerated one, which the connection closes with itself.
        address: A publisher's address, such as "tcp://127.0.0.1:5555"
            (needs pyzmq); not together with `device`.
        dwell_ns: Local scans: the dwell at each position, 1 to 2**64-1 ns.
        sinks: Local scans: take every block besides LiberTEM, such as a
            `vexasdk.nexus.HDF5Writer` (give a new writer before each run).
        max_queued, overflow: Local scans: the acquisition's queue for
            LiberTEM, as for `Device.acquire`; a block it drops is a gap,
            filled and counted.
        pattern: The publisher's pattern, "push" or "pub".
        timeout: Streams: seconds of silence, once a scan began, after which
            the sender is taken for dead and the UDF run fails with
            `vexasdk.stream.StreamTimeout`.
        sig_shape: Streams: (rows, columns) of the detector image, for a
            receiver that joins a scan late and so misses the start message
            that describes the detector; None is a quad's 512 x 512.

    Returns:
        Connection: The connection; close it (or use it as a context manager).

    Raises:
        ValueError: An argument outside its range, or both `device` and `address`.
        SdkError: The device could not be opened.
    """
    dwell_ns = _whole("dwell_ns", dwell_ns, 2**64 - 1)
    if address is not None and device is not None:
        raise ValueError(f"give a device or an address, not both (device={device!r}, address={address!r})")
    if sig_shape is not None and (not isinstance(sig_shape, tuple) or len(sig_shape) != 2):
        raise ValueError(f"sig_shape must be (rows, columns), got {sig_shape!r}")
    if sig_shape is not None:
        sig_shape = (_whole("sig_shape rows", sig_shape[0], 2**16), _whole("sig_shape columns", sig_shape[1], 2**16))
    if address is not None:
        from vexasdk.stream.wire import _address, _pattern, _positive

        stream = _Stream(_address(address), _pattern(pattern), _positive("timeout", timeout),
                         sig_shape or detector_shape(4))
        return Connection(stream=stream)
    if device is None or isinstance(device, str):
        opened = vexasdk.open_device(device)
        return Connection(local=_Local(opened, dwell_ns, tuple(sinks), max_queued, overflow), owned=opened)
    if not isinstance(device, Device):
        raise TypeError(f"device must be a Device, a connection string or None, got {type(device).__name__}")
    return Connection(local=_Local(device, dwell_ns, tuple(sinks), max_queued, overflow))


class _Local:
    """What a local scan is started with."""

    def __init__(self, device: Device, dwell_ns: int, sinks: tuple[BlockSink, ...], max_queued: int,
                 overflow: Overflow) -> None:
        self.device, self.dwell_ns, self.sinks = device, dwell_ns, sinks
        self.max_queued, self.overflow = max_queued, overflow

    def sig_shape(self) -> tuple[int, int]:
        return detector_shape(max(1, len(self.device.chips)))

    def start(self, width: int, height: int) -> Acquisition:
        return self.device.acquire("binned_data", scan=(width, height), dwell_ns=self.dwell_ns, sinks=self.sinks,
                                   max_queued=self.max_queued, overflow=self.overflow)


class _Stream:
    """Where a stream's scans come from."""

    def __init__(self, address: str, pattern: Pattern, timeout: float, sig_shape: tuple[int, int]) -> None:
        self.address, self.pattern, self.timeout, self.sig_shape = address, pattern, timeout, sig_shape


class Connection(DetectorConnection):  # type: ignore[misc]
    """A local device (active mode) or a stream (passive mode), for
    ``LiveContext.make_acquisition(conn=...)``; made by `open_connection`.

    Attributes:
        device (Device | None): The local device; None for a stream.
        address (str | None): The stream's address; None for a local device.
    """

    def __init__(self, *, local: _Local | None = None, stream: _Stream | None = None,
                 owned: Device | None = None) -> None:
        self._local, self._stream, self._owned = local, stream, owned
        self.device: Device | None = None if local is None else local.device
        self.address: str | None = None if stream is None else stream.address
        self._receivers: list[Receiver] = []
        self._last: ScanAcquisition | None = None

    @property
    def missing_positions(self) -> int:
        """Scan positions without data in the latest acquisition's run (so
        far, while it runs): filled with empty frames."""
        return 0 if self._last is None else self._last.missing_positions

    def wait_for_acquisition(self, timeout: float | None = None) -> PendingScan | None:
        """Streams: waits for the next scan's first block.

        Args:
            timeout: At most this many seconds; None waits without end.

        Returns:
            PendingScan | None: The scan, for ``make_acquisition(conn=...,
            pending_aq=...)``; None if none began in time.

        Raises:
            ValueError: The stream carries another mode than binned_data.
            RuntimeError: A local device, which LiberTEM starts itself (active mode).
        """
        if self._stream is None:
            raise RuntimeError("a local device's scans start with LiberTEM's run (active mode): "
                               "pass nav_shape=(rows, columns) to make_acquisition instead of waiting")
        from vexasdk.stream import Receiver, StreamTimeout

        stream = self._stream
        receiver = Receiver(stream.address, stream.pattern, timeout=stream.timeout, start_timeout=timeout)
        self._receivers.append(receiver)
        try:
            first = next(receiver, None)
        except StreamTimeout:
            first = None
        if first is None:  # no scan began in time, or one ended without a block
            self._forget(receiver)
            return None
        if first.mode is not OperationalMode.binned_data or first.scan_shape is None:
            self._forget(receiver)
            raise ValueError(f"the stream at {stream.address} carries {first.mode.name} blocks; "
                             f"LiberTEM reads binned_data scans only")
        sig_shape = stream.sig_shape
        if receiver.start is not None and receiver.start.detector.chips:
            sig_shape = detector_shape(len(receiver.start.detector.chips))
        return PendingScan(receiver, first, sig_shape)

    def _forget(self, receiver: Receiver) -> None:
        receiver.close()
        if receiver in self._receivers:
            self._receivers.remove(receiver)

    def get_acquisition_cls(self) -> type[ScanAcquisition]:
        """The acquisition class LiberTEM makes for this connection."""
        return ScanAcquisition

    def close(self) -> None:
        """Closes the stream's receivers, and the device if the connection opened it."""
        for receiver in list(self._receivers):
            self._forget(receiver)
        if self._owned is not None:
            self._owned.close()
            self._owned = None

    def __repr__(self) -> str:
        where = self.address if self._stream is not None else getattr(self.device, "connection_string", "?")
        return f"<vexasdk.libertem.Connection {where}>"


class PendingScan(PendingAcquisition):  # type: ignore[misc]
    """A stream's scan that has begun: its first block is here; made by
    `Connection.wait_for_acquisition`."""

    def __init__(self, receiver: Receiver, first: Block, sig_shape: tuple[int, int]) -> None:
        assert first.scan_shape is not None
        self._receiver: Receiver | None = receiver
        self._first = first
        self.scan_shape: tuple[int, int] = first.scan_shape
        """(width, height) of the scan, as its blocks say."""
        self.sig_shape = sig_shape
        """(rows, columns) of the detector image."""

    @property
    def nimages(self) -> int:
        """Scan positions: frames in all."""
        return self.scan_shape[0] * self.scan_shape[1]

    @property
    def nav_shape(self) -> tuple[int, int]:
        """(rows, columns) of the scan."""
        return self.scan_shape[1], self.scan_shape[0]

    def _take(self) -> tuple[Receiver, Iterator[Block]]:
        if self._receiver is None:
            raise RuntimeError("this scan was read by an earlier run: wait for the next one "
                               "(conn.wait_for_acquisition()) and make a new acquisition of it")
        receiver, self._receiver = self._receiver, None
        return receiver, itertools.chain([self._first], receiver)


class _Frames:
    """Main process: a scan's blocks as CSR rows, one a position, in scan order;
    gaps (and what never came) as empty rows, counted."""

    def __init__(self, blocks: Iterator[Block], positions: int, sig_shape: tuple[int, int]) -> None:
        self._positions = positions
        self._sig_shape = sig_shape
        self._pieces = self._assemble(blocks)
        self._rest: Any = None  # rows of a block past the partition they were taken for
        self.given = 0  # positions handed on
        self.missing = 0
        self.error: Exception | None = None

    @property
    def done(self) -> bool:
        return self.given >= self._positions and self.error is None

    def take(self, count: int) -> Iterator[Any]:
        """The next `count` positions' rows, in pieces."""
        while count > 0:
            piece = self._rest if self._rest is not None else next(self._pieces)
            self._rest = None
            if piece.shape[0] > count:
                piece, self._rest = piece[:count], piece[count:]
            count -= piece.shape[0]
            self.given += piece.shape[0]
            yield piece

    def _assemble(self, blocks: Iterator[Block]) -> Iterator[Any]:
        at = 0
        for block in blocks:
            first, count = block.first_position, block.positions
            if first is None or count == 0:
                continue
            if first < at:
                break  # the scan began again: its first pass is over
            if first > at:
                yield self._empty(min(first, self._positions) - at)
            at = min(first + count, self._positions)
            yield self._rows(block, at - first)
            if at == self._positions:
                return
        if at < self._positions:
            yield self._empty(self._positions - at)

    def _empty(self, count: int) -> Any:
        self.missing += count
        return scipy.sparse.csr_matrix((count, math.prod(self._sig_shape)), dtype=_FRAME_DTYPE)

    def _rows(self, block: Block, count: int) -> Any:
        rows_of, columns_of = self._sig_shape
        pixels = block.pixel_packets()
        assert pixels is not None
        addresses, events = pixels
        assert events is not None
        per_position = np.asarray(ak.to_numpy(ak.num(block.packets, axis=1)), np.int64)
        owner = np.repeat(np.arange(block.positions), per_position)
        rows, columns = detector_coordinates(addresses)
        # Outside the image: packets of chips a late receiver's shape lacks.
        keep = (rows < rows_of) & (columns < columns_of) & (owner < count)
        indptr = np.zeros(count + 1, np.int64)
        np.cumsum(np.bincount(owner[keep], minlength=count)[:count], out=indptr[1:])
        frames = scipy.sparse.csr_matrix(
            (events[keep].astype(_FRAME_DTYPE), rows[keep] * columns_of + columns[keep], indptr),
            shape=(count, rows_of * columns_of))
        frames.sum_duplicates()  # canonical: sorted, a pixel once a position
        return frames


class _CommHandler(TaskCommHandler):  # type: ignore[misc]
    """Main process: hands each partition's rows to the worker that runs it."""

    def __init__(self, frames: _Frames) -> None:
        self._frames = frames

    def handle_task(self, task: Any, queue: Any) -> None:
        frames = self._frames
        if frames.error is None:
            try:
                for piece in frames.take(task.get_partition().slice.shape[0]):
                    queue.put({"type": "FRAMES", "rows": piece.shape[0], "data": piece.data,
                               "indices": piece.indices, "indptr": piece.indptr})
            except Exception as error:  # the source failed
                frames.error = error
        # The worker raises the error itself: the executor then still ends
        # the task as it should, and the user sees the cause, not a cancellation.
        queue.put({"type": "ERROR", "error": frames.error} if frames.error is not None else {"type": "END"})

    def start(self) -> None:
        """Nothing to prepare: the scan started with the acquisition."""

    def done(self) -> None:
        """Nothing to end here: `ScanAcquisition.end_acquisition` does."""


class _ScanPartition(Partition):  # type: ignore[misc]
    """Worker side: rebuilds the rows it is sent into tiles. Holds no device
    or receiver, so that it pickles to worker processes."""

    def __init__(self, meta: Any, partition_slice: Any) -> None:
        super().__init__(meta=meta, partition_slice=partition_slice, io_backend=None, decoder=None)
        self._context: Any = None

    def set_worker_context(self, worker_context: Any) -> None:
        self._context = worker_context

    def set_corrections(self, corrections: Any) -> None:
        if corrections is not None and corrections.have_corrections():
            raise NotImplementedError("corrections are not supported for live scans")

    def get_locations(self) -> None:
        return None

    def get_max_io_size(self) -> None:
        return None

    def get_tiles(self, tiling_scheme: Any, dest_dtype: Any = "float32", roi: Any = None,
                  array_backend: str | None = None) -> Iterator[Any]:
        if roi is not None:
            raise NotImplementedError("live scans are read whole: roi is not supported (select from the results)")
        if array_backend not in (None, NUMPY, SCIPY_CSR):
            raise ValueError(f"array_backend must be {NUMPY!r} or {SCIPY_CSR!r}, got {array_backend!r}")
        try:
            queue = self._context.get_worker_queue()
        except (AttributeError, NotImplementedError):  # no context, or one that cannot stream
            raise RuntimeError("live scans stream through LiberTEM's inline or pipelined executor only") from None
        depth = tiling_scheme.adjust_for_partition(self).depth
        position = self.slice.origin[0]
        held: list[Any] = []
        count = 0
        ended = False
        while not ended:
            with queue.get() as (header, _):
                if header["type"] == "ERROR":
                    raise header["error"]
                ended = header["type"] == "END"
                if not ended:
                    held.append(scipy.sparse.csr_matrix((header["data"], header["indices"], header["indptr"]),
                                                        shape=(header["rows"], self.meta.shape.sig.size)))
                    count += header["rows"]
            while count >= depth or (ended and count):
                rows = scipy.sparse.vstack(held, format="csr") if len(held) > 1 else held[0]
                tile, rest = rows[:depth], rows[depth:]
                held, count = ([rest] if rest.shape[0] else []), rest.shape[0]
                yield self._tile(tile, position, dest_dtype, array_backend)
                position += tile.shape[0]

    def _tile(self, rows: Any, position: int, dest_dtype: Any, array_backend: str | None) -> Any:
        sig = tuple(self.meta.shape.sig)
        frames = len(rows.indptr) - 1
        typed = scipy.sparse.csr_matrix((rows.data.astype(dest_dtype), rows.indices, rows.indptr), shape=rows.shape)
        data = typed if array_backend == SCIPY_CSR else typed.toarray().reshape((frames, *sig))
        where = Slice(origin=(position, 0, 0), shape=Shape((frames, *sig), sig_dims=len(sig)))
        return DataTile(data, tile_slice=where, scheme_idx=0)


class ScanAcquisition(AcquisitionMixin, DataSet):  # type: ignore[misc]
    """A scan as a LiberTEM dataset; made by ``LiveContext.make_acquisition(conn=...)``.

    Attributes:
        acquisition (Acquisition | None): Local scans: the device's acquisition
            of the latest run (None before the first).
    """

    def __init__(self, *, conn: Connection, nav_shape: tuple[int, ...] | None = None,
                 frames_per_partition: int | None = None, controller: Any = None,
                 pending_aq: PendingScan | None = None, hooks: Any = None) -> None:
        if not isinstance(conn, Connection):
            raise TypeError(f"conn must be a vexasdk.libertem.Connection, got {type(conn).__name__}")
        if conn._stream is not None and pending_aq is None:
            raise ValueError("a stream's scans are started by its sender (passive mode): pass "
                             "pending_aq=conn.wait_for_acquisition()")
        if pending_aq is not None and not isinstance(pending_aq, PendingScan):
            raise TypeError(f"pending_aq must come from conn.wait_for_acquisition(), got {type(pending_aq).__name__}")
        if conn._local is not None and pending_aq is not None:
            raise ValueError("a local device's scans start with LiberTEM's run (active mode): pass nav_shape, "
                             "not pending_aq")
        if frames_per_partition is not None:
            frames_per_partition = _whole("frames_per_partition", frames_per_partition, 2**63 - 1)
        super().__init__(conn=conn, nav_shape=nav_shape, frames_per_partition=frames_per_partition or 1,
                         controller=controller, pending_aq=pending_aq, hooks=hooks)
        shape = tuple(int(side) if isinstance(side, np.integer) else side for side in self._nav_shape)
        if pending_aq is None:
            if len(shape) != 2:
                raise ValueError(f"nav_shape must be (rows, columns) of the scan, got {nav_shape!r}")
            self._scan = (_whole("nav_shape columns", shape[1], 2**32 - 1),
                          _whole("nav_shape rows", shape[0], 2**32 - 1))
            assert conn._local is not None
            self._sig_shape = conn._local.sig_shape()
        else:
            if math.prod(shape) != pending_aq.nimages:
                raise ValueError(f"nav_shape {nav_shape!r} does not hold the stream's scan of "
                                 f"{pending_aq.nimages} positions (rows, columns: {pending_aq.nav_shape})")
            self._scan = pending_aq.scan_shape
            self._sig_shape = pending_aq.sig_shape
        positions = int(math.prod(shape))
        if frames_per_partition is None:  # whole scan rows, for results a row at a time
            width = self._scan[0]
            frames_per_partition = width * max(1, _PARTITION_POSITIONS // width)
        self._frames_per_partition = min(frames_per_partition, positions)
        self._positions = positions
        self._frames: _Frames | None = None
        self._missing = 0
        self._receiver: Receiver | None = None
        self.acquisition: Acquisition | None = None
        self._meta: Any = None

    def initialize(self, executor: Any) -> ScanAcquisition:
        """Called by LiberTEM's ``make_acquisition``."""
        self._meta = DataSetMeta(shape=self.shape, array_backends=(SCIPY_CSR, NUMPY), image_count=self._positions,
                                 raw_dtype=_FRAME_DTYPE)
        return self

    @property
    def missing_positions(self) -> int:
        """Scan positions of the latest run (so far) that had no data: filled with empty frames."""
        return self._missing if self._frames is None else self._frames.missing

    @property
    def shape(self) -> Any:
        """(rows, columns) of the scan, then of the detector image."""
        return Shape(tuple(self._nav_shape) + self._sig_shape, sig_dims=2)

    @property
    def dtype(self) -> np.dtype[Any]:
        """The frames' raw type: events per pixel."""
        return _FRAME_DTYPE

    @property
    def array_backends(self) -> tuple[str, ...]:
        """Sparse first: a UDF that takes it gets the packets as they came."""
        return (SCIPY_CSR, NUMPY)

    @property
    def meta(self) -> Any:
        return self._meta

    def check_valid(self) -> bool:
        return True

    def get_num_partitions(self) -> int:
        return -(-self._positions // int(self._frames_per_partition))

    def get_partitions(self) -> Iterator[Any]:
        for index, (where, _start, _stop) in enumerate(self.get_slices()):
            partition = _ScanPartition(self._meta, where)
            partition.set_idx(index)
            yield partition

    def get_task_comm_handler(self) -> _CommHandler:
        if self._frames is None:
            raise RuntimeError("a live scan runs through LiberTEM-live: LiveContext().run_udf(dataset=...)")
        return _CommHandler(self._frames)

    def get_base_shape(self, roi: Any) -> tuple[int, ...]:
        return (1, *self._sig_shape)  # whole frames: the rows are whole positions

    def adjust_tileshape(self, tileshape: tuple[int, ...], roi: Any) -> tuple[int, ...]:
        return (tileshape[0], *self._sig_shape)

    def need_decode(self, read_dtype: Any, roi: Any, corrections: Any) -> bool:
        return True

    def get_max_io_size(self) -> int:
        return 16 * 2**20  # bytes of dense frames a tile: a few 512 x 512 frames

    def get_cache_key(self) -> str:
        raise TypeError("a live scan cannot be cached")

    def start_acquisition(self) -> None:
        """Called by LiberTEM before a run: starts a local scan and calls
        ``hooks.on_ready_for_data``, or takes the stream's pending scan."""
        if self._frames is not None:
            raise RuntimeError("this acquisition is running already")
        conn: Connection = self._conn
        conn._last = self
        if conn._local is not None:
            self.acquisition = conn._local.start(*self._scan)
            blocks: Iterator[Block] = iter(self.acquisition)
        else:
            self._receiver, blocks = self._pending_aq._take()
        self._frames = _Frames(blocks, self._positions, self._sig_shape)
        if conn._local is not None:
            try:
                self._hooks.on_ready_for_data(ReadyForDataEnv(aq=self))
            except BaseException:
                self.end_acquisition()  # LiberTEM ends only what started
                raise

    def end_acquisition(self) -> None:
        """Called by LiberTEM after a run, however it ended: ends the scan
        (aborting a local one that still runs), closes the stream's
        receiver, and warns of positions without data."""
        frames, self._frames = self._frames, None
        if frames is None:
            return
        self._missing = frames.missing
        try:
            if self.acquisition is not None:
                self._end_local(self.acquisition, frames.done)
            if self._receiver is not None:
                self._end_stream(self._receiver, frames.done)
        finally:
            if self._missing:
                warnings.warn(f"{self._missing} of {self._positions} scan positions had no data (blocks dropped, "
                              f"lost, or the scan ended early): LiberTEM saw empty frames there",
                              MissingPositions, stacklevel=2)

    def _end_local(self, acquisition: Acquisition, complete: bool) -> None:
        if complete:
            acquisition.wait(_END_GRACE)
        acquisition.abort()
        try:
            acquisition.wait()  # what a sink or the SDK raised
        except Exception:
            if complete:
                raise
            _log.exception("The scan's acquisition failed too, after the LiberTEM run did.")

    def _end_stream(self, receiver: Receiver, complete: bool) -> None:
        self._receiver = None
        try:
            if complete:  # take the stream's end, so that its sender's account is whole
                deadline = time.monotonic() + _END_GRACE
                for _ in receiver:
                    if time.monotonic() > deadline:
                        break
        except Exception:
            _log.exception("The stream failed after its scan's last position.")
        finally:
            self._conn._forget(receiver)

    def __repr__(self) -> str:
        return f"<vexasdk.libertem.ScanAcquisition {tuple(self.shape)}>"
