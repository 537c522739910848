"""Queues between the SDK's thread and the threads of the sinks."""

from __future__ import annotations

import threading
from typing import Any

__all__ = ["ByteQueue", "block_nbytes"]


def block_nbytes(block: Any) -> int:
    """Bytes of a block's arrays: what a queue bounded in bytes counts it as."""
    return sum(int(getattr(value, "nbytes", 0) or 0) for value in getattr(block, "arrays", ()))


class ByteQueue:
    """A FIFO bounded both in items and in bytes."""

    def __init__(self, items: int, nbytes: int) -> None:
        self._items: list[tuple[Any, int]] = []
        self._head = 0
        self._max_items, self._max_bytes = items, nbytes
        self.nbytes = 0
        self._changed = threading.Condition()

    def put(self, item: Any, nbytes: int, timeout: float | None) -> bool:
        """Queues `item`, waiting up to `timeout` seconds for room; False if none came.
        An item larger than the whole bound goes in once the queue is empty."""
        with self._changed:
            def room() -> bool:
                queued = len(self._items) - self._head
                return queued == 0 or (queued < self._max_items and self.nbytes + nbytes <= self._max_bytes)

            if not self._changed.wait_for(room, timeout):
                return False
            self._items.append((item, nbytes))
            self.nbytes += nbytes
            self._changed.notify_all()
            return True

    def get(self, timeout: float | None) -> tuple[bool, Any]:
        """(True, item), or (False, None) after `timeout` seconds without one."""
        with self._changed:
            if not self._changed.wait_for(lambda: len(self._items) > self._head, timeout):
                return False, None
            item, nbytes = self._items[self._head]
            self._items[self._head] = (None, 0)
            self._head += 1
            if self._head > 1024 and self._head * 2 > len(self._items):
                del self._items[:self._head]
                self._head = 0
            self.nbytes -= nbytes
            self._changed.notify_all()
            return True, item
