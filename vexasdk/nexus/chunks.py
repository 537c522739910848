"""Chunks, compressed off the interpreter lock and written whole.

The writer's thread gathers rows into chunks; a pool of threads compresses
each full chunk (the compressors release the interpreter lock), and the
writer's thread writes the compressed bytes as they stand with HDF5's direct
chunk write, in order. A chunk is written once, except the unfinished last
chunk of a growing dataset: a flush writes it uncompressed (marked so in the
chunk's filter mask, which every HDF5 reader honours), and since a file
followed by readers never reuses freed space, it stays uncompressed from then
on and is rewritten in place. A file is thus never larger than it would be
uncompressed, and every flush leaves it complete.
"""

from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import zlib
from collections.abc import Callable
from typing import Any

import h5py  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

__all__ = ["COMPRESSIONS", "ChunkPool", "Codec", "Column", "codec"]

COMPRESSIONS = ("blosc2", "lzf", "gzip", None)
"""What `HDF5Writer(compression=...)` takes; "blosc2" is the default."""
_RAW = 0xFFFFFFFF  # a filter mask that skips every filter: the chunk is stored as it is


@dataclasses.dataclass(frozen=True)
class Codec:
    """A compression: the dataset options that name its HDF5 filter, and how
    to compress a chunk for it here (None: HDF5 compresses it while writing)."""

    name: str | None
    options: dict[str, Any]
    compress: Callable[[npt.NDArray[Any]], Any] | None  # bytes, or an array to write as it is


def codec(name: str | None) -> Codec:
    """The codec named `name` (one of COMPRESSIONS)."""
    if name == "blosc2":
        import blosc2  # type: ignore[import-untyped]
        import hdf5plugin

        options = dict(hdf5plugin.Blosc2(cname="lz4", clevel=5, filters=hdf5plugin.Blosc2.BITSHUFFLE))
        params = {size: blosc2.CParams(typesize=size, clevel=5, codec=blosc2.Codec.LZ4,
                                       filters=[blosc2.Filter.BITSHUFFLE], nthreads=1) for size in (1, 2, 4, 8)}

        def blosc2_frame(chunk: npt.NDArray[Any]) -> bytes:
            # The Blosc2 filter stores a chunk as one super-chunk frame.
            frame: bytes = blosc2.SChunk(chunksize=chunk.nbytes, data=chunk,
                                         cparams=params[chunk.dtype.itemsize]).to_cframe()
            return frame

        return Codec(name, options, blosc2_frame)
    if name == "gzip":
        # HDF5's deflate filter stores a zlib stream.
        return Codec(name, {"compression": "gzip", "compression_opts": 4},
                     lambda chunk: zlib.compress(chunk.data, 4))
    if name == "lzf":
        return Codec(name, {"compression": "lzf"}, None)
    if name is None:
        return Codec(None, {}, lambda chunk: chunk)  # written from the array itself
    raise ValueError(f"compression must be one of {', '.join(map(repr, COMPRESSIONS))}, got {name!r}")


class ChunkPool:
    """Compresses chunks on threads of its own and writes them on the calling
    thread, in the order they were given; at most `in_flight` wait at once."""

    def __init__(self, codec: Codec, threads: int, in_flight: int) -> None:
        self._codec = codec
        self._pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="vexasdk-hdf5-compress") \
            if codec.compress is not None and codec.name is not None else None
        self._pending: collections.deque[tuple[h5py.Dataset, tuple[int, ...], Any, Any]] = collections.deque()
        self._in_flight = in_flight
        self._spare: dict[tuple[tuple[int, ...], np.dtype[Any]], list[npt.NDArray[Any]]] = {}

    def buffer(self, like: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """A zeroed array of `like`'s shape and type: one whose chunk was
        written, if there is one (a fresh one costs page faults to fill)."""
        spare = self._spare.get((like.shape, like.dtype))
        if spare:
            array = spare.pop()
            array.fill(0)
            return array
        return np.zeros_like(like)

    def put(self, dataset: h5py.Dataset, offset: tuple[int, ...], chunk: npt.NDArray[Any], raw: bool = False) -> None:
        """Queues `chunk` (owned from now on) for the chunk of `dataset` at `offset`."""
        if raw:
            work: Any = (_RAW, chunk)
        elif self._pool is not None:
            work = self._pool.submit(self._codec.compress, chunk)  # type: ignore[arg-type]
        elif self._codec.compress is not None:
            work = (0, self._codec.compress(chunk))
        else:
            work = None
        self._pending.append((dataset, offset, work, chunk))
        while len(self._pending) > self._in_flight:
            self._write_oldest()

    def drain(self) -> None:
        """Writes every chunk given so far."""
        while self._pending:
            self._write_oldest()

    def close(self) -> None:
        """Ends the threads; chunks not yet written are forgotten."""
        for _, _, work, _ in self._pending:
            if isinstance(work, concurrent.futures.Future):
                work.cancel()
        self._pending.clear()
        if self._pool is not None:
            self._pool.shutdown(wait=True)

    def _write_oldest(self) -> None:
        dataset, offset, work, chunk = self._pending.popleft()
        if work is None:  # HDF5 compresses it
            index = tuple(slice(o, o + n) for o, n in zip(offset, chunk.shape))
            dataset[index] = chunk
            return
        mask, data = (0, work.result()) if isinstance(work, concurrent.futures.Future) else work
        dataset.id.write_direct_chunk(offset, data, filter_mask=mask)
        spare = self._spare.setdefault((chunk.shape, chunk.dtype), [])
        if len(spare) < self._in_flight:
            spare.append(chunk)


class Column:
    """A dataset that grows by rows, one chunk of `chunk_rows` rows at a time."""

    def __init__(self, dataset: h5py.Dataset, chunk_rows: int, compressed: bool = True) -> None:
        self.dataset = dataset
        self._compressed = compressed
        self.rows = 0  # rows given, written or staged
        self._chunk_rows = chunk_rows
        self._staged = np.zeros((chunk_rows, *dataset.shape[1:]), dataset.dtype)
        self._fill = 0
        self._raw: set[int] = set()  # chunks written uncompressed once: they stay so
        self._tail_written = 0  # rows of the staged chunk as the last flush wrote them

    def append(self, values: npt.NDArray[Any], pool: ChunkPool) -> None:
        """Stages `values`; each chunk they fill goes to `pool`."""
        taken = 0
        while taken < len(values):
            room = self.room()
            n = min(len(values) - taken, len(room))
            room[:n] = values[taken:taken + n]
            self.advance(n, pool)
            taken += n

    def room(self) -> npt.NDArray[Any]:
        """The unfilled rows of the chunk being staged, for a caller that
        writes rows in place; `advance` then says how many it wrote."""
        return self._staged[self._fill:]

    def advance(self, rows: int, pool: ChunkPool) -> None:
        """Takes `rows` rows written into `room()`; a chunk filled goes to `pool`."""
        self._fill += rows
        self.rows += rows
        if self._fill == self._chunk_rows:
            self._emit(pool, full=True)

    def flush(self, pool: ChunkPool) -> None:
        """Makes every row given so far part of the dataset: the unfinished
        chunk written uncompressed, if it has rows not yet written."""
        if self._fill > self._tail_written:
            self._emit(pool, full=False)
        elif self.dataset.shape[0] < self.rows:
            self.dataset.resize(self.rows, axis=0)

    def _emit(self, pool: ChunkPool, full: bool) -> None:
        index = (self.rows - self._fill) // self._chunk_rows
        if self.dataset.shape[0] < self.rows:
            self.dataset.resize(self.rows, axis=0)
        if full:  # handed over whole: a fresh one stages the next
            chunk, self._staged = self._staged, pool.buffer(self._staged)
        else:
            chunk = pool.buffer(self._staged)
            chunk[:self._fill] = self._staged[:self._fill]
        raw = not (full and self._compressed) or index in self._raw
        if raw:
            self._raw.add(index)
        pool.put(self.dataset, (index * self._chunk_rows,) + (0,) * (self._staged.ndim - 1), chunk, raw)
        if full:
            self._fill = self._tail_written = 0
            self._raw.discard(index)
        else:
            self._tail_written = self._fill


def whole_chunks(dataset: h5py.Dataset, index: tuple[int, ...], values: npt.NDArray[Any], pool: ChunkPool) -> None:
    """Writes `values` (one chunk's shape) as the chunk of `dataset` at `index`
    (in chunks), growing the dataset along its first axis to hold it."""
    chunk = dataset.chunks
    offset = tuple(i * c for i, c in zip(index, chunk))
    if dataset.maxshape[0] is None and dataset.shape[0] < offset[0] + chunk[0]:
        dataset.resize(offset[0] + chunk[0], axis=0)
    pool.put(dataset, offset, values.reshape(chunk))
