"""The receiving end of a stream: yields a `Publisher`'s blocks as a local
acquisition would, and accounts for every block the sender numbered."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Iterator
from types import TracebackType

import zmq

from vexasdk.account import Missing, SequenceGaps, StageCounts
from vexasdk.acquisition import Block
from vexasdk.stream.wire import (FRAMES_LIMIT, _PREFIX, _SLICE, Pattern, StreamEnd, StreamError, StreamStart, StreamTimeout,
                                 _address, _Foreign, _Message, _pattern, _positive, _whole, decode)


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
        duplicates (int): Blocks that came again (a number already taken), not yielded.
    """

    messages: int = 0
    blocks: int = 0
    bytes: int = 0
    foreign: int = 0
    not_received: int = 0
    duplicates: int = 0


@dataclasses.dataclass(slots=True)
class _Seen:
    """ReceiverCounts as they grow (one thread iterates): numbers, not a new record per message."""

    messages: int = 0
    blocks: int = 0
    bytes: int = 0
    foreign: int = 0
    duplicates: int = 0


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
        self._counts = _Seen()
        self._gaps = SequenceGaps()
        self._yielded = 0
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
        seen = self._counts
        not_received = self._gaps.missing(None if self.end is None else self.end.numbered).count
        return ReceiverCounts(seen.messages, seen.blocks, seen.bytes, seen.foreign, not_received, seen.duplicates)

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
                block = self._took(message.block)
                if block is not None:
                    return block
                continue
            if message.start is not None and self.start is None:
                self.start = message.start
            if message.end is not None:
                self._ended(message.end)

    def _took(self, block: Block) -> Block | None:
        if not self._gaps.take(block.sequence):
            self._counts.duplicates += 1
            return None
        self._counts.blocks += 1
        self._yielded += 1
        return block

    def _ended(self, end: StreamEnd) -> None:
        self.end = end
        self.close()  # hanging up tells the publisher that this receiver has the end

    @property
    def shared(self) -> bool:
        """Whether other receivers took a share of the blocks (a push stream
        with several receivers): then the numbers this one lacks are theirs,
        and only what the sender never sent is missing for certain."""
        return self.pattern == "push" and self.end is not None and self.end.receivers > 1

    @property
    def missing(self) -> Missing:
        """The blocks of the stream that reached no consumer through this
        receiver: sent but lost on the way, or never sent (the sender dropped
        them), named by number; and blocks the SDK produced but could not
        hand over, which never had a number (counted only). Final once the
        end has arrived; before it, or when it never comes, the gaps seen so
        far (`complete` says which)."""
        if self.end is None:
            return self._gaps.missing()
        numbered = self.end.unsent if self.shared else self._gaps.missing(self.end.numbered)
        unnumbered = sum(stage.failed for stage in self.end.account if stage.stage == "fetch")
        if not unnumbered:
            return numbered
        return Missing(numbered.count + unnumbered, numbered.first, numbered.last)

    @property
    def complete(self) -> bool:
        """Whether the stream ended and every block the detector produced arrived."""
        return self.end is not None and not self.missing

    @property
    def account(self) -> tuple[StageCounts, ...]:
        """Where the stream's blocks went, stage by stage: the sender's stages
        as its end message gave them (the SDK's fetch, the publisher), the
        network (blocks sent; received here; lost on the way), and this
        receiver (received; yielded; duplicates dropped). Before the end
        only the receiver's own stage is known."""
        arrived = self._counts.blocks + self._counts.duplicates
        own = StageCounts("receiver", arrived, self._yielded, self._counts.duplicates)
        if self.end is None:
            return (own,)
        sent = self.end.sent
        if self.shared:  # what the others took is not this receiver's to account for
            network = StageCounts("network", self._counts.blocks, self._counts.blocks)
        else:
            network = StageCounts("network", sent, self._counts.blocks, max(0, sent - self._counts.blocks))
        return (*self.end.account, network, own)

    def _receive(self) -> _Message:
        """The next message of the stream; foreign ones are skipped and counted."""
        assert self._socket is not None
        began = time.monotonic()
        while True:
            # A message waiting is taken at once; only an empty queue costs a poll.
            try:
                frames: list[zmq.Frame] | None = self._take(zmq.NOBLOCK)
            except zmq.Again:
                frames = self._take(0) if self._socket.poll(int(_SLICE * 1000)) else None
            if frames is not None:
                size = sum(len(f) for f in frames)
                try:
                    message = decode(frames)
                except _Foreign:
                    self._counts.foreign += 1
                    continue
                self._check_stream(message)
                self._last = time.monotonic()
                self._counts.messages += 1
                self._counts.bytes += size
                return message
            self._watch_connection()
            now = time.monotonic()
            if self._last is not None and now - self._last >= self._timeout:
                raise StreamTimeout(f"nothing from {self.address} for {self._timeout:g} s after "
                                    f"{self._counts.blocks} blocks (numbers up to {self._gaps.expected - 1}, "
                                    f"{self._gaps.missing().count} missing among them): the sender stopped "
                                    f"without ending the stream, so how many more it sent is unknown")
            if self._last is None and self._start_timeout is not None and now - began >= self._start_timeout:
                raise StreamTimeout(self._silence())

    def _take(self, flags: int) -> list[zmq.Frame]:
        """One message's frames, keeping no more than a message of ours has
        (one past, so that decoding says so): a message of a million empty
        frames costs no more here than one of a few."""
        assert self._socket is not None
        frames = [self._socket.recv(flags, copy=False)]
        more = frames[0].more
        while more:
            frame = self._socket.recv(copy=False)
            more = frame.more
            if len(frames) <= FRAMES_LIMIT:
                frames.append(frame)
        return frames

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
            raise StreamError(f"a message of another stream arrived from {self.address} before this one ended, "
                              f"after {self._counts.blocks} blocks of it: a second sender there, or the first one "
                              f"started again; this stream's end never came")

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
