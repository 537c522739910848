"""The sending end of a stream: a sink of `Device.acquire` that sends every
block over ZeroMQ from a thread of its own."""

from __future__ import annotations

import dataclasses
import logging
import queue
import threading
import time
from typing import TYPE_CHECKING, Any

import zmq

from vexasdk.account import SequenceGaps, StageCounts, Tally
from vexasdk.acquisition import Block
from vexasdk.nexus import DetectorRecord, RunEnd
from vexasdk.stream.wire import (_SLICE, _TOPIC, Pattern, _address, _encode_start, _finite_or_none, _frames,
                                 _pattern, _positive, _whole, encode_block, encode_end)

if TYPE_CHECKING:
    from vexasdk.acquisition import Acquisition

_log = logging.getLogger("vexasdk")


@dataclasses.dataclass(frozen=True, slots=True)
class PublisherCounts:
    """What a publisher has done so far.

    Attributes:
        sent (int): Block messages handed to ZeroMQ for the receivers.
        dropped (int): Blocks that were never sent: the queue was full, no
            receiver was there to take them ("pub" with no subscriber), or
            the receivers took nothing for `drain_timeout` after the end.
        bytes (int): Bytes of those messages' buffers and headers.
        receivers (int): Receivers connected at the last look (every tenth
            of a second while the stream runs; the last count once closed).
        failed (int): Blocks lost to an error while sending.
        confirmed (int): Receivers that hung up once the end had reached
            them, which a receiver does only after every block before it:
            0 after the end means nobody is known to have everything sent.
    """

    sent: int = 0
    dropped: int = 0
    bytes: int = 0
    receivers: int = 0
    failed: int = 0
    confirmed: int = 0


_END: Any = object()


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
        self.peak = 0  # the most connected at once
        self.gone = 0  # receivers that hung up
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
                    self._joined()
                elif event == zmq.EVENT_DISCONNECTED:
                    if self._failed:
                        self._failed -= 1  # the connection whose handshake failed
                    else:
                        self._left()
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
                if message[:1] == b"\x01":
                    self._joined()
                else:
                    self._left()

    def _joined(self) -> None:
        self.count += 1
        self.peak = max(self.peak, self.count)

    def _left(self) -> None:
        if self.count:
            self.count -= 1
            self.gone += 1

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
    counts: how many blocks were numbered, sent, dropped and failed, and
    which numbers never went out, so that a receiver names what it lacks.
    While the stream is idle it says so once a `heartbeat`, so that a
    receiver tells a quiet sender from a dead one.

    Policy when the receivers are slower than the detector: the SDK's thread
    never waits; a block that finds the queue of `max_queued` blocks full is
    dropped at once and counted. The sending thread waits for a receiver to
    take each block (a push socket holds a block while every receiver has
    `hwm` messages pending, or while none is connected), so the newest blocks
    are the ones dropped. After the end the queued blocks and then the end
    message go out as fast as the receivers take them; only when they take
    nothing for `drain_timeout` seconds is the rest dropped and counted. The
    publisher then waits, as long again, for each receiver to hang up, which
    a receiver does once it has the end and so everything before it
    (`PublisherCounts.confirmed`). With "pub", ZeroMQ itself drops what a
    subscriber has no room for, for that subscriber alone: it sees the gap
    in the sequence numbers (`Receiver.missing`); a block published while no
    subscriber is connected reaches nobody and is counted as dropped.

    Args:
        address: Where to bind: "tcp://127.0.0.1:5555", "tcp://*:5555", "ipc:///tmp/run.sock".
        pattern: "push" (each block to one receiver) or "pub" (every block to every subscriber).
        max_queued: Blocks waiting for the network, at most (1 to 1,000,000).
        hwm: Messages ZeroMQ keeps pending for each receiver (1 to 1,000,000).
        receivers: Before the acquisition starts, wait for this many receivers
            to connect (0 to 1000); each of them gets the start message.
        wait: Seconds to wait for them; then opening fails and nothing starts.
        drain_timeout: After the end, seconds without progress (no block
            taken, no receiver hanging up) after which the publisher gives up.
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
        self.stream: str | None = None
        """The stream's identifier: the acquisition's (`Acquisition.stream`), once opened."""
        self.endpoint: str | None = None
        self._context: zmq.Context[zmq.Socket[bytes]] | None = None
        self._socket: zmq.Socket[bytes] | None = None
        self._peers: _Peers | None = None
        self._thread: threading.Thread | None = None
        self._tally = Tally("publisher")
        self._sent = SequenceGaps()  # the numbers that went out, to name the ones that did not
        self._guard = threading.Lock()
        self._bytes = 0
        self._receivers_now = 0
        self._looked = 0.0
        self._confirmed = 0
        self._ending = False  # the acquisition has ended: the queue drains
        self._progress = 0.0  # when the last block, end or hang-up went through, after the end
        self._start: list[Any] = []
        self._end: dict[str, Any] = {}
        self._upstream: tuple[StageCounts, ...] = ()
        self._error: BaseException | None = None

    @property
    def counts(self) -> PublisherCounts:
        """What has been sent and dropped so far (a snapshot)."""
        stage = self._tally.counts
        with self._guard:
            return PublisherCounts(stage.delivered, stage.dropped, self._bytes, self._receivers_now, stage.failed,
                                   self._confirmed)

    @property
    def account(self) -> StageCounts:
        """The publisher's stage of the account: blocks received from the
        acquisition, handed to ZeroMQ, dropped and failed."""
        return self._tally.counts

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
        self.stream = acquisition.stream
        self._start = _encode_start(self.stream, acquisition.mode, acquisition.scan_shape,
                                    DetectorRecord.read(acquisition.device), acquisition.dwell_ns)
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
        deadline = time.monotonic() + self._wait
        while self._look() < self._receivers:
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{self._receivers_now} of {self._receivers} receivers connected to "
                                   f"{self.endpoint} within {self._wait:g} s")
            time.sleep(_SLICE / 5)

    def _look(self, recent: bool = False) -> int:
        """The receivers connected now (on the thread that owns the socket);
        with `recent`, as last seen if that was less than 10 ms ago: a look
        is a system call, and messages go out thousands a second."""
        assert self._peers is not None
        now = time.monotonic()
        if recent and now - self._looked < 0.01:
            return self._receivers_now
        self._looked = now
        count = self._peers.update()
        with self._guard:
            self._receivers_now = count
        return count

    def put(self, block: Block) -> None:
        """Queues `block` for the network (SDK thread): never waits; drops it
        when the queue is full."""
        self._tally.add(received=1)
        if self._ending or self._error is not None:
            self._tally.add(dropped=1)
            return
        try:
            self._queue.put_nowait(block)
        except queue.Full:
            self._tally.add(dropped=1)

    def close(self, acquisition: Acquisition) -> None:
        """Sends what is still queued and the end message, waits for the
        receivers to have it, and closes the socket. Raises what went wrong
        on the sending thread, if anything did."""
        end = RunEnd.of(acquisition)
        # Sinks close before the acquisition reports itself ended; why it ends is known already.
        self._end = {"counts": dataclasses.asdict(acquisition.counts), "stopped_by": acquisition._stopped_by,
                     "started_at": end.started_at, "ended_at": end.ended_at, "elapsed": end.elapsed,
                     "bias_voltage": end.bias_voltage, "readings": _finite_or_none(end.readings)}
        self._upstream = tuple(stage for stage in acquisition.account if stage.stage == "fetch")
        self._progress = time.monotonic()
        self._ending = True
        if self._thread is not None:
            self._queue.put(_END)  # room appears: the thread takes or drops what is queued
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
                    self._look()
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
            self._tally.settle("failed")

    def _stalled(self) -> bool:
        """After the end: whether nothing went through for `drain_timeout`."""
        return self._ending and time.monotonic() - self._progress >= self._drain_timeout

    def _send(self, frames: list[Any], block: bool) -> bool:
        """Sends one message: waits while no receiver can take it, without
        bound while the acquisition runs, after its end until no receiver
        has taken anything for `drain_timeout`."""
        assert self._socket is not None
        recent = True
        while True:
            receivers = self._look(recent)
            recent = False  # after a wait, look again
            if self.pattern == "pub" and not receivers:
                return False  # published to nobody: ZeroMQ would discard it as sent
            try:
                self._socket.send_multipart(frames, flags=zmq.NOBLOCK, copy=False)
                if self._ending:
                    self._progress = time.monotonic()
                return True
            except zmq.Again:
                pass
            if not block or self._stalled():
                return False
            self._socket.poll(int(_SLICE * 1000), zmq.POLLOUT)

    def _send_block(self, block: Block) -> None:
        if self._stalled():
            self._tally.add(dropped=1)
            return
        frames = encode_block(block, block.stream or self.stream or "")
        if self._send(frames, block=True):
            self._sent.take(block.sequence)
            with self._guard:
                self._bytes += sum(memoryview(f).nbytes for f in frames)
            self._tally.add(delivered=1)
        else:
            self._tally.add(dropped=1)

    def _send_copies(self, frames: list[Any], wait: bool) -> int:
        """One copy of a message to each receiver connected now (a push
        socket hands consecutive messages to its receivers in turn); how many
        went out."""
        sent = 0
        for _ in range(max(1, self._look()) if self.pattern == "push" else 1):
            if not self._send(frames, block=wait):
                break
            sent += 1
        return sent

    def _send_end(self) -> None:
        # Every receiver must see the end, also one whose pipe is full or that
        # shares a push socket with others: it goes out to each receiver
        # connected, waiting for room, and again until every receiver has hung
        # up (as a receiver does once it has the end: so it has all before
        # it), or none did anything for `drain_timeout`.
        assert self._peers is not None
        stage = self._tally.counts
        fields = {"sent": stage.delivered, "dropped": stage.dropped, "failed": stage.failed,
                  "numbered": stage.received, "unsent": self._sent.missing(stage.received),
                  "receivers": self._peers.peak, "account": (*self._upstream, stage), **self._end}
        frames = encode_end(self.stream or "", fields)
        gone_before = self._peers.gone
        self._send_copies(frames, wait=True)
        gone = gone_before
        while self._look() > 0 and not self._stalled():
            time.sleep(_SLICE)
            if self._peers.gone > gone:
                self._progress = time.monotonic()
                gone = self._peers.gone
            self._send_copies(frames, wait=False)
        with self._guard:
            self._confirmed = self._peers.gone - gone_before
