"""Acquisitions as objects: what `Device.acquire` returns.

An Acquisition starts through the device's acquisition runner with a callback
of the mode's shape, and hands every block on as a `Block`: through a bounded
queue to whoever iterates over it, or to a callback of the user's on the SDK's
thread. It counts what arrived, what was dropped and what failed, stops by
itself after a duration, and waits in short slices so that Ctrl-C works::

    with device.acquire(OperationalMode.dd_toa_tot, duration=2.0) as acquisition:
        for block in acquisition:
            hits.add(block)
    print(acquisition.counts)
"""

from __future__ import annotations

import asyncio
import atexit
import dataclasses
import logging
import queue
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, Literal, Protocol, Self, TypeVar, cast

import awkward as ak  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

# Imported before the exit handler below is registered, so that its own
# exit-time close (registered on import) runs after ours.
from vexasdk import _device_opener  # noqa: F401
from vexasdk._t3_binning import BinnedParams
from vexasdk._t3_toa_tot import DdToaTotMetadata
from vexasdk._utils import _ERROR_CODES, SdkError
from vexasdk.account import StageCounts, lost
from vexasdk.pixel_chip import OperationalMode

if TYPE_CHECKING:
    from vexasdk._device import Device

__all__ = ["DATA_MODES", "Acquisition", "AcquisitionCounts", "BinnedDataBlock", "BinnedTotalsBlock", "Block",
           "BlockCallback", "BlockSink", "FrameBlock", "Overflow", "Packets", "ToaTotBlock"]

_log = logging.getLogger("vexasdk")
_BAD_STATE = _ERROR_CODES["VEXASDK_ERR_BAD_STATE"]
_ENODEV = _ERROR_CODES["VEXASDK_ERR_ENODEV"]

M = OperationalMode
DATA_MODES: tuple[OperationalMode, ...] = (M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot, M.fb_itot_evcount,
                                           M.binned_data, M.binned_evcount, M.binned_itot)
"""The modes that deliver processed data blocks, in the order of their values."""
BINNED_MODES: tuple[OperationalMode, ...] = (M.binned_data, M.binned_evcount, M.binned_itot)
DataModeName = Literal["dd_toa_tot", "dd_toa_tot_sorted", "fb_toa_tot", "fb_itot_evcount", "binned_data",
                       "binned_evcount", "binned_itot"]
"""The data modes by name, as `Device.acquire` takes them: a type checker
catches a misspelt one."""

# What the delivery frame raises, with the callback, when the SDK could not hand a block over.
_FETCH_FAILED_EVENT = "vexasdk.fetch_failed"

Overflow = Literal["wait", "drop"]

# What a block's packets and metadata are: set per mode by `Device.acquire`'s
# overloads, so that a type checker knows a ToA-ToT block's packets from a
# binned one's; a bare `Block` is any block.
PacketsT = TypeVar("PacketsT", covariant=True, default=Any)
MetadataT = TypeVar("MetadataT", bound=DdToaTotMetadata | None, covariant=True, default=DdToaTotMetadata | None)


@dataclasses.dataclass(frozen=True, slots=True)
class Block(Generic[PacketsT, MetadataT]):
    """One processed data block, as the SDK delivered it.

    Typed per mode: ``Block[packets, metadata]``, as the aliases `ToaTotBlock`
    (data-driven ToA-ToT), `FrameBlock` (frame-based modes), `BinnedDataBlock`
    and `BinnedTotalsBlock` (binned event counts or iToTs) name them.

    Attributes:
        mode (OperationalMode): The mode the acquisition ran in.
        arrays (tuple): The trampoline's arguments exactly as delivered:
            ``(packets, metadata)`` for data-driven ToA-ToT, ``(packets,)`` for
            the frame-based modes, ``(evcounts, itots, packets)`` for binned
            data (packets an awkward array, one list per scan position), and
            ``(evcounts,)`` or ``(itots,)`` for binned event counts or iToTs.
        sequence (int): 0 for the first block of the acquisition, then 1, 2, ...
            in order of arrival (dropped blocks take their numbers too).
        arrived (float): When it arrived, in seconds since the epoch.
        first_position (int | None): Binned modes: the index (row by row) of the
            first scan position the block covers; None otherwise.
        scan_shape (tuple[int, int] | None): Binned modes: (width, height) of the scan.
        stream (str): The acquisition's identifier, unique to it: with
            `sequence` it names the block among all blocks of all acquisitions
            (two senders, or one started again, never share it).
    """

    mode: OperationalMode
    arrays: tuple[Any, ...]
    sequence: int
    arrived: float
    first_position: int | None = None
    scan_shape: tuple[int, int] | None = None
    stream: str = ""

    @property
    def packets(self) -> PacketsT:
        """The block's packets (a numpy record array, or for binned data an
        awkward array of one list per scan position); None for blocks of
        per-position totals only."""
        if self.mode in (M.binned_evcount, M.binned_itot):
            return cast(PacketsT, None)
        return cast(PacketsT, self.arrays[2] if self.mode is M.binned_data else self.arrays[0])

    @property
    def metadata(self) -> MetadataT:
        """Data-driven ToA-ToT: the DdToaTotMetadata (shutter start, TDC
        timestamps); None otherwise."""
        return cast(MetadataT, self.arrays[1] if len(self.arrays) == 2 else None)

    @property
    def positions(self) -> int:
        """Binned modes: how many scan positions the block covers; 0 otherwise."""
        if self.mode not in BINNED_MODES:
            return 0
        return len(self.arrays[0])

    def packet_count(self) -> int:
        """How many packets the block holds (per-position totals count none)."""
        packets: Any = self.packets
        if packets is None:
            return 0
        if self.mode is M.binned_data:
            return _total_length(packets)
        return len(packets)

    def event_count(self) -> int:
        """How many events the block holds: a packet each in the ToA-ToT modes,
        the event counts in the others; 0 for iToT totals, which count none."""
        if self.mode in (M.fb_itot_evcount,):
            return int(np.sum(self.arrays[0].evcount, dtype=np.uint64))
        if self.mode in (M.binned_data, M.binned_evcount):
            return int(np.sum(self.arrays[0], dtype=np.uint64))
        if self.mode is M.binned_itot:
            return 0
        return len(self.arrays[0])

    def pixel_packets(self) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint64] | None] | None:
        """(addresses, events per address, None for one each) of the block's
        pixels, or None for blocks without pixels."""
        if self.mode is M.fb_itot_evcount:
            return self.arrays[0].address, self.arrays[0].evcount
        if self.mode is M.binned_data:
            flat = ak.flatten(self.arrays[2])
            return ak.to_numpy(flat.address), ak.to_numpy(flat.evcount)
        if self.mode in (M.binned_evcount, M.binned_itot):
            return None
        return self.arrays[0].address, None

    def time_counts(self) -> npt.NDArray[np.int64] | None:
        """The ToT (ToA-ToT modes) or iToT (frames and binned data) of each
        packet, in counts of the chips' clock; None for blocks of totals."""
        if self.mode is M.fb_itot_evcount:
            return np.asarray(self.arrays[0].itot, np.int64)
        if self.mode is M.binned_data:
            return np.asarray(ak.to_numpy(ak.flatten(self.arrays[2]).itot), np.int64)
        if self.mode in (M.binned_evcount, M.binned_itot):
            return None
        return np.asarray(self.arrays[0].tot, np.int64)

    def position_totals(self) -> npt.NDArray[np.uint64] | None:
        """Binned modes: one total per scan position (event counts, or iToTs
        for binned_itot); None otherwise."""
        return self.arrays[0] if self.mode in BINNED_MODES else None


Packets = np.recarray[tuple[int], np.dtype[np.record]]
"""A block's packets in the ToA-ToT and frame-based modes: a record array,
whose fields read as attributes (``packets.toa``) or by name."""
ToaTotBlock = Block[Packets, DdToaTotMetadata]
"""A data-driven ToA-ToT block: packets (address, tot, toa) and the metadata."""
FrameBlock = Block[Packets, None]
"""A frame-based block: one frame's packets, (address, tot, toa) or (address, itot, evcount)."""
BinnedDataBlock = Block[ak.Array, None]
"""A binned-data block: its packets an awkward array of one list per scan position."""
BinnedTotalsBlock = Block[None, None]
"""A block of binned event counts or iToTs: totals per position (`Block.arrays`), no packets."""


def _total_length(packets: Any) -> int:
    return int(ak.sum(ak.num(packets, axis=1)))


BlockCallback = Callable[[Block], object]
"""What `Device.acquire(callback=...)` calls with each block, on the SDK's thread."""


class BlockSink(Protocol):
    """Something that takes every block of an acquisition besides its user:
    a file writer, a stream to other machines. Given to `Device.acquire(sinks=...)`.

    `put` runs on the SDK's thread for every block and must return at once:
    the slow work belongs on a thread of the sink's own. `close` runs once the
    acquisition has ended and may take its time: `Acquisition.wait()` returns
    after it. What `close` raises is re-raised from `wait()`.
    """

    def open(self, acquisition: Acquisition) -> None:
        """Before the acquisition starts; raising keeps it from starting."""

    def put(self, block: Block) -> None:
        """One block, on the SDK's thread."""

    def close(self, acquisition: Acquisition) -> None:
        """Once the acquisition has ended."""


@dataclasses.dataclass(frozen=True, slots=True)
class AcquisitionCounts:
    """What an acquisition has seen so far.

    Attributes:
        blocks (int): Blocks delivered: queued for the iterator, handed to the
            callback, or taken by the sinks.
        packets (int): Packets in those blocks.
        events (int): Events in those blocks (see Block.event_count).
        positions (int): Binned modes: scan positions those blocks cover.
        dropped (int): Blocks dropped because the queue was full (never counted above).
        skipped (int): Blocks the sinks took that the iterator's full queue
            passed over: with sinks, a full queue never waits, as nobody may
            be iterating (counted in `blocks`).
        failed_fetches (int): Blocks the SDK could not hand over.
        callback_failures (int): Calls of the user's callback that raised.
    """

    blocks: int = 0
    packets: int = 0
    events: int = 0
    positions: int = 0
    dropped: int = 0
    skipped: int = 0
    failed_fetches: int = 0
    callback_failures: int = 0


_delivering = threading.local()  # .acquisition: whose block this thread is delivering now
_COUNT_FIELDS = tuple(field.name for field in dataclasses.fields(AcquisitionCounts))


class _Running:
    """The acquisitions running in this process: for the exit handler, and
    to count the blocks their SDK could not hand over where that happens, in
    the delivery frame, which raises an audit event with the callback it was
    to call: the callback names its acquisition."""

    def __init__(self) -> None:
        self.acquisitions: list[Acquisition] = []
        self.by_callback: dict[int, Acquisition] = {}
        self.guard = threading.Lock()

    def add(self, acquisition: Acquisition, callback: object) -> None:
        with self.guard:
            self.acquisitions.append(acquisition)
            self.by_callback[id(callback)] = acquisition

    def remove(self, acquisition: Acquisition) -> None:
        with self.guard:
            if acquisition in self.acquisitions:
                self.acquisitions.remove(acquisition)
            for key in [key for key, owner in self.by_callback.items() if owner is acquisition]:
                del self.by_callback[key]

    def audit(self, event: str, args: tuple[Any, ...]) -> None:
        # Every audit event of the process passes here: the test comes first.
        if event == _FETCH_FAILED_EVENT:
            owner = self.by_callback.get(id(args[0]))
            if owner is not None:
                owner._count(failed_fetches=1)


_running = _Running()
sys.addaudithook(_running.audit)


@atexit.register
def _end_all_at_exit() -> None:
    # Runs before the device-opening code's own exit-time close (registered
    # earlier, see the imports): an acquisition still running when the script ends is aborted
    # and its sinks closed while the interpreter is whole, so that a file
    # being written is finished, not cut off by finalisation halfway.
    with _running.guard:
        running = list(_running.acquisitions)
    for acquisition in running:
        if acquisition.armed:  # never started: its sinks close with nothing in them
            acquisition.abort()
            continue
        try:
            acquisition._stop("exit")
        except SdkError:
            pass
        acquisition._ended.wait(_EXIT_WAIT)


_EXIT_WAIT = 30.0  # seconds an acquisition's end may take at exit, at most


def _settle(woken: asyncio.Future[None]) -> None:
    if not woken.done():  # cancelled meanwhile
        woken.set_result(None)
_END: Any = object()  # queued behind an acquisition's last block


class Acquisition(Generic[PacketsT, MetadataT]):
    """A running (or ended) acquisition; made by `Device.acquire`.

    Typed by the blocks it yields, ``Acquisition[packets, metadata]`` as for `Block`.

    Iterate over it for its blocks (the iteration ends once the acquisition
    has ended and every queued block was taken), or let `Device.acquire`'s
    callback receive them. As a context manager, leaving the block aborts what
    still runs and waits for its end.
    """

    def __init__(self, device: Device, mode: OperationalMode, *, params: BinnedParams | None,
                 duration: float | None, callback: BlockCallback | None, max_queued: int,
                 overflow: Overflow, full_timeout: float, sinks: Sequence[BlockSink] = (),
                 frames: int | None = None) -> None:
        self._device = device
        self.stream = uuid.uuid4().hex
        """The acquisition's identifier: every block of it carries it (`Block.stream`)."""
        self._sinks = tuple(sinks)
        self._sink_error: BaseException | None = None
        self._runner = device.acquisition_runner
        self._mode = mode
        self._params = params
        self._duration = duration
        self._frames = frames
        self._callback = callback
        self._queue: queue.Queue[Any] = queue.Queue(max_queued)
        self._overflow = overflow
        self._full_timeout = full_timeout
        self._guard = threading.Lock()
        # AcquisitionCounts' fields, kept as plain numbers: a frozen record
        # made again for every block would cost more than the block's own work.
        self._tallies = dict.fromkeys(_COUNT_FIELDS, 0)
        self._sequence = 0
        self._taken = 0  # blocks the iterator handed out
        self._iterated = False
        self._position = 0
        self._delivery = self._deliver  # the one callable the runner holds: it names this acquisition
        self._failure: BaseException | None = None
        self._failure_reported = False
        self._ended = threading.Event()
        self._stopped_by: str | None = None
        self._timer: threading.Timer | None = None
        self._waiter: threading.Thread | None = None
        self._end_error: SdkError | None = None
        self._armed = False
        self._started = False
        # Event loops whose `async for` or `await` wait for a block or the end:
        # woken from the SDK's thread, never polled.
        self._wakers: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = []
        self.started_at: float = 0.0
        self.ended_at: float | None = None

    # ---- state ----

    @property
    def device(self) -> Device:
        """The device it runs on."""
        return self._device

    @property
    def mode(self) -> OperationalMode:
        """The mode the acquisition runs in."""
        return self._mode

    @property
    def scan_shape(self) -> tuple[int, int] | None:
        """Binned modes: (width, height) of the scan; None otherwise."""
        return None if self._params is None else (self._params.width, self._params.height)

    @property
    def dwell_ns(self) -> int | None:
        """Binned modes: the dwell time at each scan position, in ns; None otherwise."""
        return None if self._params is None else self._params.dwell_time_ns

    @property
    def counts(self) -> AcquisitionCounts:
        """What has arrived so far (a snapshot)."""
        with self._guard:
            return AcquisitionCounts(**self._tallies)

    @property
    def account(self) -> tuple[StageCounts, ...]:
        """Where every block went, stage by stage (a snapshot): the SDK's
        fetch; the callback, or the queue of whoever iterates; then every sink
        that keeps an account (a file writer, a publisher). At each stage
        ``received == delivered + dropped + failed + pending``; once the
        acquisition has ended and its sinks are closed nothing is pending."""
        with self._guard:
            counts, numbered, taken = AcquisitionCounts(**self._tallies), self._sequence, self._taken
        stages = [StageCounts("fetch", numbered + counts.failed_fetches, numbered, 0, counts.failed_fetches)]
        if self._callback is not None:
            stages.append(StageCounts("callback", numbered, numbered - counts.callback_failures, 0,
                                      counts.callback_failures))
        elif self._iterated or not self._sinks:
            stages.append(StageCounts("queue", numbered, taken, counts.dropped + counts.skipped))
        for sink in self._sinks:
            # A sink with stages of its own (a writer that clusters) lists them all.
            own = getattr(sink, "stages", None)
            own = own if isinstance(own, tuple) else (getattr(sink, "account", None),)
            stages += [stage for stage in own if isinstance(stage, StageCounts)]
        return tuple(stages)

    @property
    def lost(self) -> int:
        """Blocks lost at any stage of `account` (dropped or failed): once the
        acquisition has ended, what its user and its sinks will never have."""
        return lost(self.account)

    @property
    def running(self) -> bool:
        """Whether the acquisition has not ended yet (armed counts as running)."""
        return not self._ended.is_set()

    @property
    def armed(self) -> bool:
        """Whether it is armed and not yet started: its sinks are open (files
        made) and the chips in its mode; `start()` starts it, `abort()` disarms it."""
        return self._armed and not self._started and not self._ended.is_set()

    @property
    def stopped_by(self) -> str | None:
        """Why it ended: "device" (it ended by itself), "duration", "abort",
        "close" (its device was closed), "exit" (still running when the
        interpreter exited), "sink" (a sink could not go on: its disk
        failed, say), "frames" (it made the frames asked for), "disarmed"
        (aborted while armed, before it started), or None while it runs."""
        return self._stopped_by if self._ended.is_set() else None

    @property
    def elapsed(self) -> float:
        """Seconds since the start, up to the end once it has ended."""
        end = self.ended_at if self.ended_at is not None else time.time()
        return end - self.started_at

    # ---- control ----

    def _arm(self) -> None:
        """Opens the sinks and registers the acquisition: all but the start."""
        opened: list[BlockSink] = []
        try:
            for sink in self._sinks:
                sink.open(self)
                opened.append(sink)
        except BaseException:
            self._sinks = tuple(opened)
            self._close_sinks()
            raise
        _running.add(self, self._delivery)
        # First of the exit handlers again: libraries the sinks use (h5py)
        # register theirs on import, and tear down what a sink still needs.
        atexit.unregister(_end_all_at_exit)
        atexit.register(_end_all_at_exit)
        self._armed = True

    def start(self) -> None:
        """Starts an armed acquisition (`Device.arm`); `Device.acquire` arms
        and starts in one.

        Raises:
            RuntimeError: Not armed: started already, or ended (disarmed).
            SdkError: The device refused; the acquisition has then ended,
                its sinks closed.
        """
        with self._guard:
            if not self._armed or self._started or self._ended.is_set():
                state = "has ended" if self._ended.is_set() else "has started already" if self._started else "is not armed"
                raise RuntimeError(f"the acquisition {state}: only an armed acquisition starts")
            self._started = True
        self.started_at = time.time()
        try:
            # One callback of every mode's shape: it takes whatever the trampoline passes.
            self._runner.start(cast(Any, self._delivery), self._params)
        except BaseException as error:
            self._finished("start failed")
            if isinstance(error, SdkError):
                self._device._explain_refusal(error)
            raise
        self._waiter = threading.Thread(target=self._await_end, name="vexasdk-acquisition", daemon=True)
        self._waiter.start()
        if self._duration is not None:
            self._timer = threading.Timer(self._duration, self._stop_quietly, args=("duration",))
            self._timer.daemon = True
            self._timer.start()

    def _await_end(self) -> None:
        cause = "device"
        try:
            self._runner.await_end()
        except SdkError as error:
            if error.code == _ENODEV:
                cause = "close"  # the device was closed, which ends what ran on it
            else:
                self._end_error = error  # refused: wait() says so, and nobody waits any more
        self._finished(cause)

    def _finished(self, cause: str) -> None:
        with self._guard:
            if self._stopped_by is None:
                self._stopped_by = cause
        if self._timer is not None:
            self._timer.cancel()
        self.ended_at = time.time()
        self._close_sinks()
        # Running until its sinks are closed: the exit handler waits for what
        # it finds here.
        _running.remove(self)
        self._ended.set()
        # The iterator learns of the end at once, behind the blocks still
        # queued: the marker goes in past the bound, as nothing more follows.
        with self._queue.mutex:
            self._queue.queue.append(_END)
            self._queue.not_empty.notify()
        self._wake()

    def _close_sinks(self) -> None:
        for sink in self._sinks:
            try:
                sink.close(self)
            except BaseException as error:  # reported by wait()
                if self._sink_error is None:
                    self._sink_error = error

    def _await_sinks(self) -> None:
        """Waits, in slices that Ctrl-C can interrupt, until the acquisition
        has ended and its sinks are closed; at once on the thread that
        closes them."""
        if threading.current_thread() is self._waiter:
            return
        while not self._ended.wait(0.05):
            if self._waiter is None:
                return  # never started

    def _stopping(self, cause: str) -> None:
        """Notes why it is about to end, unless another reason came first."""
        with self._guard:
            if self._stopped_by is None and not self._ended.is_set():
                self._stopped_by = cause

    def _withdraw_stopping(self, cause: str) -> None:
        """Takes back `cause` as the reason to end: what was to end it was refused."""
        with self._guard:
            if self._stopped_by == cause and not self._ended.is_set():
                self._stopped_by = None

    def _stop(self, cause: str) -> None:
        self._stopping(cause)
        try:
            self._runner.abort()
        except SdkError as error:
            if error.code != _BAD_STATE:  # ended meanwhile
                raise

    def _stop_quietly(self, cause: str) -> None:
        try:
            self._stop(cause)
        except SdkError as error:
            _log.error("Failed to stop the acquisition after its duration: %s", error)

    def sink_failed(self) -> None:
        """Ends the acquisition because a sink cannot go on (its disk failed,
        say): from any thread, a sink's own included, without waiting for the
        end. What the sink raises from `close` is then re-raised by `wait()`."""
        threading.Thread(target=self._stop_quietly, args=("sink",), name="vexasdk-sink-failed", daemon=True).start()

    def _on_own_thread(self) -> bool:
        """Whether this thread is delivering one of this acquisition's blocks
        (in the callback, or a sink's put): its end cannot come until that returns."""
        return getattr(_delivering, "acquisition", None) is self

    def abort(self) -> None:
        """Aborts the acquisition, if it still runs, and waits for its end;
        from the acquisition's own callback (or a sink's `put`) it returns at
        once, and the acquisition ends once the callback has returned. An
        armed acquisition that has not started is disarmed: its sinks close
        with nothing written."""
        if self._ended.is_set():
            return
        with self._guard:
            disarm = not self._started
            self._started = True  # no start from here on
        if disarm:
            self._finished("disarmed")
            return
        self._stop("abort")
        if self._on_own_thread():
            return
        self._ended.wait()

    def trigger(self) -> None:
        """Sends a software trigger to the running acquisition.

        Raises:
            SdkError: Nothing runs, or the SDK refused.
        """
        self._runner.trigger()

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until the acquisition has ended, in short slices so that
        Ctrl-C works: a KeyboardInterrupt aborts the acquisition, waits for its
        end, and propagates.

        Args:
            timeout (float | None): At most this many seconds; None waits for the end.

        Returns:
            bool: Whether it has ended.

        Raises:
            Exception: The first exception the callback raised, once the
                acquisition has ended, with a note of how many calls failed in all.
            SdkError: The SDK refused to await the end.
            RuntimeError: Called from the acquisition's own callback.
        """
        if self._on_own_thread():
            raise RuntimeError("wait() from the acquisition's own callback would wait for ever: the acquisition "
                               "cannot end while its callback runs; call abort(), which returns at once")
        if self.armed and timeout is None:
            raise RuntimeError("wait() on an armed acquisition that was never started would wait for ever: "
                               "start() it, or abort() to disarm it")
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        try:
            while not self._ended.wait(0.05 if deadline is None else max(0.0, min(0.05, deadline - time.monotonic()))):
                if deadline is not None and time.monotonic() >= deadline:
                    return False
        except KeyboardInterrupt:
            self._interrupted()
            raise
        self._report()
        return True

    def _interrupted(self) -> None:
        try:
            self._stop("abort")
        except SdkError:
            pass
        while not self._ended.wait(0.05):
            pass

    def _report(self) -> None:
        for name in ("_end_error", "_sink_error"):
            error = getattr(self, name)
            if error is not None:
                setattr(self, name, None)
                raise error
        with self._guard:
            failure, count = self._failure, self._tallies["callback_failures"]
            if failure is None or self._failure_reported:
                return
            self._failure_reported = True
        failure.add_note(f"The acquisition's callback failed {count} time{'s' if count != 1 else ''} in all.")
        raise failure

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if not self._ended.is_set():
            try:
                self._stop("abort")
            except SdkError:
                if kind is None:
                    raise
        self._interruptible_end()
        if kind is None:
            self._report()

    def _interruptible_end(self) -> None:
        try:
            while not self._ended.wait(0.05):
                pass
        except KeyboardInterrupt:
            self._interrupted()
            raise

    # ---- blocks ----

    def __iter__(self) -> Iterator[Block[PacketsT, MetadataT]]:
        if self._callback is not None:
            raise TypeError("this acquisition hands its blocks to its callback: there is nothing to iterate over")
        return self

    def __next__(self) -> Block[PacketsT, MetadataT]:
        self._iterated = True
        try:
            while True:
                # Every block is queued before the end's marker; the marker
                # stays, so that asking again ends again.
                try:
                    block = self._queue.get(timeout=0.05)
                except queue.Empty:
                    continue
                if block is _END:
                    with self._queue.mutex:
                        self._queue.queue.appendleft(_END)
                    raise StopIteration
                got: Block[PacketsT, MetadataT] = block
                with self._guard:
                    self._taken += 1
                return got
        except KeyboardInterrupt:
            self._interrupted()
            raise

    # ---- asyncio ----

    def __aiter__(self) -> Self:
        if self._callback is not None:
            raise TypeError("this acquisition hands its blocks to its callback: there is nothing to iterate over")
        return self

    async def __anext__(self) -> Block[PacketsT, MetadataT]:
        """The next block, without blocking the event loop: the SDK's thread
        wakes the loop when one is queued."""
        self._iterated = True
        while True:
            woken = self._waker()
            try:
                block = self._queue.get_nowait()
            except queue.Empty:
                await woken
                continue
            self._unwait(woken)
            if block is _END:
                with self._queue.mutex:
                    self._queue.queue.appendleft(_END)
                raise StopAsyncIteration
            with self._guard:
                self._taken += 1
            got: Block[PacketsT, MetadataT] = block
            return got

    def __await__(self) -> Any:
        """``await acquisition``: until it has ended and its sinks are closed,
        then re-raises what `wait()` would. Cancelled (a timeout, Ctrl-C in
        the loop), it aborts the acquisition and lets it end off the loop."""
        return self._ended_async().__await__()

    async def _ended_async(self) -> None:
        if self.armed:
            raise RuntimeError("awaiting an armed acquisition that was never started would wait for ever: "
                               "start() it, or abort() to disarm it")
        try:
            while not self._ended.is_set():
                woken = self._waker()
                if self._ended.is_set():
                    self._unwait(woken)
                    break
                await woken
        except asyncio.CancelledError:
            self._stop_quietly("abort")
            raise
        self._report()

    def _waker(self) -> asyncio.Future[None]:
        loop = asyncio.get_running_loop()
        woken: asyncio.Future[None] = loop.create_future()
        with self._guard:
            self._wakers.append((loop, woken))
        return woken

    def _unwait(self, woken: asyncio.Future[None]) -> None:
        with self._guard:
            self._wakers = [entry for entry in self._wakers if entry[1] is not woken]

    def _wake(self) -> None:
        """Wakes every waiting event loop (from any thread): a block was queued, or the end."""
        if not self._wakers:
            return
        with self._guard:
            wakers, self._wakers = self._wakers, []
        for loop, woken in wakers:
            try:
                loop.call_soon_threadsafe(_settle, woken)
            except RuntimeError:  # that loop has closed: nobody waits there any more
                pass

    def _count(self, **added: int) -> None:
        with self._guard:
            tallies = self._tallies
            for name, value in added.items():
                tallies[name] += value

    def _deliver(self, *arrays: Any) -> None:
        """The callback the runner starts with: runs on an SDK thread for every block."""
        _delivering.acquisition = self
        try:
            self._deliver_block(arrays)
        finally:
            _delivering.acquisition = None

    def _deliver_block(self, arrays: tuple[Any, ...]) -> None:
        arrived = time.time()
        binned = self._params is not None
        with self._guard:
            sequence = self._sequence
            self._sequence += 1
            first = None
            if binned:
                assert self._params is not None
                first = self._position % max(1, self._params.width * self._params.height)
                self._position += len(arrays[0])
        block = Block(self._mode, arrays, sequence, arrived, first, self.scan_shape, self.stream)
        for sink in self._sinks:
            try:
                sink.put(block)
            except Exception:
                _log.exception("A sink of the acquisition failed to take a block.")
        if self._callback is None:
            try:
                if self._overflow == "drop" or self._sinks:
                    # With sinks the block is kept already, and nobody may be
                    # iterating: the SDK's thread never waits for an iterator.
                    self._queue.put_nowait(block)
                else:
                    self._queue.put(block, timeout=self._full_timeout)
            except queue.Full:
                if not self._sinks:
                    self._count(dropped=1)
                    self._enough(sequence)
                    return
                self._count(skipped=1)
            self._wake()
        packets, events, positions = block.packet_count(), block.event_count(), block.positions
        with self._guard:
            tallies = self._tallies
            tallies["blocks"] += 1
            tallies["packets"] += packets
            tallies["events"] += events
            tallies["positions"] += positions
        self._enough(sequence)
        if self._callback is None:
            return
        try:
            self._callback(block)
        except BaseException as error:
            with self._guard:
                if self._failure is None:
                    self._failure = error
                self._tallies["callback_failures"] += 1
            raise  # and the trampoline logs it, as for any callback

    def _enough(self, sequence: int) -> None:
        """Stops the acquisition once it has made the frames asked for; the
        SDK's thread asks the end, and does not wait for it."""
        if self._frames is not None and sequence + 1 == self._frames:
            self._stop_quietly("frames")

    def __repr__(self) -> str:
        state = "armed" if self.armed else "running" if self.running else f"ended ({self.stopped_by})"
        return f"<vexasdk.Acquisition {self._mode.name} {state}, {self.counts.blocks} blocks>"
