"""One account of every block, kept the same way at every stage it passes.

A stage (the SDK's fetch, an acquisition's queue, a file writer, a
publisher, the network, a receiver, a reduction) takes blocks in and either
passes each on, drops it (no room, too late) or fails it (an error on the
way); what it holds meanwhile is pending. At every stage, at every moment::

    received == delivered + dropped + failed + pending

and once a stage has finished, nothing is pending: every block that reached it
is either further down the road or in a number that says it is missing.
`Tally` keeps one stage's counts (safe to add to from any thread);
`StageCounts` is a snapshot of them; `Missing` names the blocks of a stream
that never came, by sequence number.
"""

from __future__ import annotations

import bisect
import dataclasses
import threading
from collections.abc import Iterable

__all__ = ["Missing", "SequenceGaps", "StageCounts", "Tally", "account_text", "lost"]


@dataclasses.dataclass(frozen=True, slots=True)
class StageCounts:
    """One stage's counts, as they stood when taken.

    Attributes:
        stage (str): Which stage: "fetch", "queue", "writer", "publisher",
            "network", "receiver", "reduction".
        received (int): Blocks that reached the stage.
        delivered (int): Blocks it passed on (to the user, the disk, the network).
        dropped (int): Blocks it let go for want of room or time.
        failed (int): Blocks lost to an error on the way.
    """

    stage: str
    received: int = 0
    delivered: int = 0
    dropped: int = 0
    failed: int = 0

    @property
    def pending(self) -> int:
        """Blocks the stage still holds: neither passed on nor lost."""
        return self.received - self.delivered - self.dropped - self.failed

    @property
    def lost(self) -> int:
        """Blocks that stopped here: dropped or failed."""
        return self.dropped + self.failed

    def __str__(self) -> str:
        text = f"{self.stage}: {self.received} in, {self.delivered} on"
        if self.dropped:
            text += f", {self.dropped} dropped"
        if self.failed:
            text += f", {self.failed} failed"
        if self.pending:
            text += f", {self.pending} pending"
        return text


class Tally:
    """The running counts of one stage, added to from any thread."""

    __slots__ = ("_counts", "_guard", "stage")

    def __init__(self, stage: str) -> None:
        self.stage = stage
        self._counts = [0, 0, 0, 0]
        self._guard = threading.Lock()

    def add(self, received: int = 0, delivered: int = 0, dropped: int = 0, failed: int = 0) -> None:
        """Adds to the counts, all at once."""
        with self._guard:
            counts = self._counts
            counts[0] += received
            counts[1] += delivered
            counts[2] += dropped
            counts[3] += failed

    def settle(self, how: str = "dropped") -> int:
        """Counts what is still pending as dropped (or "failed"): the stage
        has finished and what it held will never go on. Returns how many."""
        with self._guard:
            counts = self._counts
            pending = counts[0] - counts[1] - counts[2] - counts[3]
            if pending > 0:
                counts[2 if how == "dropped" else 3] += pending
            return max(0, pending)

    @property
    def counts(self) -> StageCounts:
        """A snapshot of the counts."""
        with self._guard:
            return StageCounts(self.stage, *self._counts)

    def __repr__(self) -> str:
        return f"<vexasdk.account.Tally {self.counts}>"


def lost(stages: Iterable[StageCounts]) -> int:
    """Blocks lost at any of `stages` (dropped or failed)."""
    return sum(stage.lost for stage in stages)


def account_text(stages: Iterable[StageCounts]) -> str:
    """The stages on one line each, as summaries print them."""
    return "\n".join(str(stage) for stage in stages)


@dataclasses.dataclass(frozen=True, slots=True)
class Missing:
    """The blocks of a stream that a consumer never got, by sequence number.

    Attributes:
        count (int): How many.
        first (int | None): The lowest missing sequence number; None if none is missing.
        last (int | None): The highest one.
    """

    count: int = 0
    first: int | None = None
    last: int | None = None

    def __bool__(self) -> bool:
        return self.count > 0

    def __str__(self) -> str:
        if not self.count:
            return "none missing"
        if self.first is None or self.last is None:
            return f"{self.count} block{'s' if self.count != 1 else ''} missing"
        if self.count == 1:
            return f"1 block missing (number {self.first})"
        return f"{self.count} blocks missing (numbers {self.first} to {self.last})"


class SequenceGaps:
    """Which sequence numbers of a stream arrived, in little memory: only the
    gaps are remembered, as extents. Numbers may come out of order (an SDK
    that delivers on several threads): a late one fills its gap; one taken
    before is a duplicate. The most recent `MAX_EXTENTS` gaps can be filled;
    older ones stay counted as missing."""

    MAX_EXTENTS = 1 << 16

    __slots__ = ("_count", "_extents", "expected", "received")

    def __init__(self) -> None:
        self.expected = 0  # one past the highest number taken
        self.received = 0
        self._extents: list[list[int]] = []  # [first, last] of each gap that may yet be filled, in order
        self._count = 0  # numbers below `expected` not taken

    def take(self, sequence: int) -> bool:
        """Notes the arrival of `sequence`; False when it came before (a
        duplicate), which the caller counts as dropped."""
        if sequence >= self.expected:
            if sequence > self.expected:
                self._gap(self.expected, sequence - 1)
            self.expected = sequence + 1
        elif not self._fill(sequence):
            return False
        self.received += 1
        return True

    def _gap(self, first: int, last: int) -> None:
        self._count += last - first + 1
        self._extents.append([first, last])
        if len(self._extents) > self.MAX_EXTENTS:
            del self._extents[0]  # too old to be filled: missing for good

    def _fill(self, sequence: int) -> bool:
        extents = self._extents
        index = bisect.bisect_right(extents, [sequence, float("inf")]) - 1
        if index < 0 or not extents[index][0] <= sequence <= extents[index][1]:
            return False
        first, last = extents[index]
        replacement = [[a, b] for a, b in ((first, sequence - 1), (sequence + 1, last)) if a <= b]
        extents[index:index + 1] = replacement
        self._count -= 1
        return True

    def missing(self, total: int | None = None) -> Missing:
        """The numbers not received, of those below `total` (the numbers the
        sender gave out; None: only the gaps seen so far)."""
        count = self._count
        first = self._extents[0][0] if self._extents else None
        last = self._extents[-1][1] if self._extents else None
        if total is not None and total > self.expected:
            count += total - self.expected
            first = self.expected if first is None else first
            last = total - 1
        return Missing(count, first, last)
