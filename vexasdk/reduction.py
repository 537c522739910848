"""Reductions of blocks: per-block work that can run anywhere, and totals.

A `Reduction` splits the work on a stream of blocks in two: `reduce` makes a
small partial result of one block, wherever it runs (on a Dask worker, in
another process), and `combine` folds the partials into the total, where the
total is kept. `reduce_on` runs the first part on a Dask cluster as the blocks
arrive (from a `vexasdk.stream.Receiver`, or any iterable of blocks) and the
second on the client; `reduce_locally` does both here, for the same result::

    from vexasdk.reduction import hit_map, reduce_on, virtual_images
    with Client(cluster) as client, Receiver("tcp://detector-pc:5555") as receiver:
        totals = reduce_on(client, receiver, {"hits": hit_map(), "images": virtual_images((64, 64))})

Provided: `hit_map` (events per pixel of the assembled detector), `tot_spectrum`
(hits per ToT or iToT count), `virtual_images` (per scan position: event
counts, iToTs, virtual bright field and annular dark field). Nothing here
needs the network: workers import only numpy and awkward for it.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import functools
import time
import uuid
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Generic, TypeVar, cast, overload

import awkward as ak  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexasdk.acquisition import BINNED_MODES, Block
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import detector_coordinates, detector_shape

__all__ = ["Reduction", "ReductionInterrupted", "hit_map", "reduce_locally", "reduce_on", "tot_spectrum", "virtual_images"]

M = OperationalMode
P = TypeVar("P")
R = TypeVar("R")


@dataclasses.dataclass(frozen=True)
class Reduction(Generic[P, R]):
    """A reduction of blocks in two parts.

    Attributes:
        name (str): What it makes (a part of the Dask task keys).
        reduce (Callable[[Block], P]): One block's partial result; runs on a
            worker, so it must pickle (a module's function, or a
            functools.partial of one).
        combine (Callable[[R, P], R]): The total with a partial folded in
            (it may change the total in place and return it); runs where the
            total is kept, once per block, in any order.
        initial (Callable[[], R]): A total of no blocks.
    """

    name: str
    reduce: Callable[[Block], P]
    combine: Callable[[R, P], R]
    initial: Callable[[], R]


# ---- hit map ----

def _pixel_partial(chips: int, block: Block) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.uint64]]:
    """(pixel index, events) of every pixel the block hit: far smaller than the image."""
    rows, columns = detector_shape(chips)
    packets = block.pixel_packets()
    if packets is None:
        return np.zeros(0, np.int64), np.zeros(0, np.uint64)
    address, weights = packets
    row, column = detector_coordinates(address)
    inside = (row < rows) & (column < columns)
    index = (row * columns + column)[inside].astype(np.int64)
    counts = np.ones(len(index), np.uint64) if weights is None else np.asarray(weights, np.uint64)[inside]
    pixels, owner = np.unique(index, return_inverse=True)
    return pixels, np.bincount(owner, weights=counts, minlength=len(pixels)).astype(np.uint64)


def _add_pixels(total: npt.NDArray[np.uint64],
                partial: tuple[npt.NDArray[np.int64], npt.NDArray[np.uint64]]) -> npt.NDArray[np.uint64]:
    pixels, counts = partial
    np.add.at(total.reshape(-1), pixels, counts)
    return total


def _image(chips: int) -> npt.NDArray[np.uint64]:
    return np.zeros(detector_shape(chips), np.uint64)


def hit_map(chips: int = 4) -> Reduction[tuple[npt.NDArray[np.int64], npt.NDArray[np.uint64]], npt.NDArray[np.uint64]]:
    """Events per pixel of the assembled detector image of `chips` chips, as
    `vexasdk.pixels.HitMap` counts them: a rows x columns uint64 image."""
    detector_shape(chips)  # refuses what is no count of chips
    return Reduction("hit_map", functools.partial(_pixel_partial, chips), _add_pixels,
                     functools.partial(_image, chips))


# ---- ToT spectrum ----

def _spectrum_partial(bins: int, block: Block) -> npt.NDArray[np.int64]:
    values = block.time_counts()
    if values is None or not len(values):
        return np.zeros(bins, np.int64)
    return np.bincount(np.minimum(values, bins - 1), minlength=bins).astype(np.int64)


def _add_arrays(total: npt.NDArray[Any], partial: npt.NDArray[Any]) -> npt.NDArray[Any]:
    total += partial
    return total


def _zeros(bins: int) -> npt.NDArray[np.int64]:
    return np.zeros(bins, np.int64)


def tot_spectrum(bins: int = 1 << 14) -> Reduction[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Hits per ToT count (25 ns each) in the ToA-ToT modes, per iToT count in
    fb_itot_evcount and binned_data: an int64 array of `bins` (1 to 2**24);
    larger counts go to the last bin."""
    if isinstance(bins, bool) or not isinstance(bins, int) or not 1 <= bins <= 1 << 24:
        raise ValueError(f"bins must be an integer from 1 to {1 << 24}, got {bins!r}")
    return Reduction("tot_spectrum", functools.partial(_spectrum_partial, bins), _add_arrays,
                     functools.partial(_zeros, bins))


# ---- virtual images of a scan ----

IMAGES = ("evcount", "itot", "bright_field", "annular_dark_field")
"""The images `virtual_images` makes, each (height, width) uint64 over the scan."""


@dataclasses.dataclass(frozen=True)
class _ImageSettings:
    scan_shape: tuple[int, int]
    chips: int
    bright_field_radius: float
    dark_field_radii: tuple[float, float]


def _images_partial(settings: _ImageSettings, block: Block) -> tuple[npt.NDArray[np.int64], dict[str, Any]]:
    """(scan positions, {image: values at them}) of one binned block."""
    if block.mode not in BINNED_MODES or block.first_position is None:
        return np.zeros(0, np.int64), {}
    width, height = settings.scan_shape
    count = block.positions
    positions = (block.first_position + np.arange(count, dtype=np.int64)) % (width * height)
    if block.mode is M.binned_itot:
        return positions, {"itot": np.asarray(block.arrays[0], np.uint64)}
    values: dict[str, Any] = {"evcount": np.asarray(block.arrays[0], np.uint64)}
    if block.mode is M.binned_data:
        values["itot"] = np.asarray(block.arrays[1], np.uint64)
        values["bright_field"], values["annular_dark_field"] = _fields(settings, block.arrays[2], count)
    return positions, values


def _fields(settings: _ImageSettings, packets: Any,
            count: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    """Per position: events within the bright-field disc, and within the dark-field ring,
    both around the centre of the assembled detector (as the HDF5 writer reckons them)."""
    per_position = np.asarray(ak.num(packets, axis=1), np.int64)
    flat = ak.flatten(packets)
    rows, columns = detector_coordinates(ak.to_numpy(flat.address))
    counts = np.asarray(ak.to_numpy(flat.evcount), np.float64)
    owner = np.repeat(np.arange(count), per_position)
    shape = detector_shape(settings.chips)
    radius = np.hypot(rows - shape[0] / 2 + 0.5, columns - shape[1] / 2 + 0.5)
    inner, outer = settings.dark_field_radii
    bright = np.bincount(owner, weights=counts * (radius <= settings.bright_field_radius), minlength=count)
    dark = np.bincount(owner, weights=counts * ((radius >= inner) & (radius <= outer)), minlength=count)
    return bright.astype(np.uint64), dark.astype(np.uint64)


def _add_images(total: dict[str, npt.NDArray[np.uint64]],
                partial: tuple[npt.NDArray[np.int64], dict[str, Any]]) -> dict[str, npt.NDArray[np.uint64]]:
    positions, values = partial
    for name, image_values in values.items():
        np.add.at(total[name].reshape(-1), positions, image_values)
    return total


def _scan_images(scan_shape: tuple[int, int]) -> dict[str, npt.NDArray[np.uint64]]:
    width, height = scan_shape
    return {name: np.zeros((height, width), np.uint64) for name in IMAGES}


def virtual_images(scan_shape: tuple[int, int], chips: int = 4, bright_field_radius: float = 32.0,
                   dark_field_radii: tuple[float, float] = (48.0, 200.0)) -> Reduction[
                       tuple[npt.NDArray[np.int64], dict[str, Any]], dict[str, npt.NDArray[np.uint64]]]:
    """Images of a binned scan of `scan_shape` (width, height): per scan
    position the event counts ("evcount"), the iToT counts ("itot", 25 ns
    each) and, from binned data's packets, the virtual bright field (events
    within `bright_field_radius` pixels of the detector's centre) and annular
    dark field (from `dark_field_radii[0]` to `dark_field_radii[1]`). Images a
    mode cannot make stay zero."""
    if not (isinstance(scan_shape, tuple) and len(scan_shape) == 2 and all(
            isinstance(n, int) and not isinstance(n, bool) and n >= 1 for n in scan_shape)):
        raise ValueError(f"scan_shape must be (width, height) of positive integers, got {scan_shape!r}")
    inner, outer = dark_field_radii
    if not (0 < bright_field_radius and 0 <= inner < outer):
        raise ValueError(f"need 0 < bright_field_radius and 0 <= inner < outer dark-field radii, got "
                         f"{bright_field_radius!r} and {dark_field_radii!r}")
    detector_shape(chips)
    settings = _ImageSettings(scan_shape, chips, float(bright_field_radius), (float(inner), float(outer)))
    return Reduction("virtual_images", functools.partial(_images_partial, settings), _add_images,
                     functools.partial(_scan_images, scan_shape))


# ---- running them ----

@overload
def reduce_locally(blocks: Iterable[Block], reductions: Reduction[Any, R]) -> R: ...
@overload
def reduce_locally(blocks: Iterable[Block], reductions: Mapping[str, Reduction[Any, Any]]) -> dict[str, Any]: ...


def reduce_locally(blocks: Iterable[Block], reductions: Reduction[Any, Any] | Mapping[str, Reduction[Any, Any]]) -> Any:
    """Runs `reductions` (one, or several by name) over `blocks` here: the
    same totals `reduce_on` makes on a cluster."""
    named = _named(reductions)
    totals = {name: reduction.initial() for name, reduction in named.items()}
    for block in blocks:
        for name, reduction in named.items():
            totals[name] = reduction.combine(totals[name], reduction.reduce(block))
    return totals if isinstance(reductions, Mapping) else totals["result"]


def _named(reductions: Reduction[Any, Any] | Mapping[str, Reduction[Any, Any]]) -> dict[str, Reduction[Any, Any]]:
    named = dict(reductions) if isinstance(reductions, Mapping) else {"result": reductions}
    if not named or not all(isinstance(r, Reduction) for r in named.values()):
        raise TypeError("reductions must be a Reduction, or a non-empty mapping of names to Reductions")
    return named


@dataclasses.dataclass
class _InFlight:
    block: Block
    attempt: int
    data: Any
    waiting: dict[Any, str]  # future: the reduction's name


@overload
def reduce_on(client: Any, blocks: Iterable[Block], reductions: Reduction[Any, R], *, max_in_flight: int = 8,
              retries: int = 3) -> R: ...
@overload
def reduce_on(client: Any, blocks: Iterable[Block], reductions: Mapping[str, Reduction[Any, Any]], *,
              max_in_flight: int = 8, retries: int = 3) -> dict[str, Any]: ...


def reduce_on(client: Any, blocks: Iterable[Block],
              reductions: Reduction[Any, Any] | Mapping[str, Reduction[Any, Any]], *, max_in_flight: int = 8,
              retries: int = 3) -> Any:
    """Reduces `blocks` on the workers of a `dask.distributed` client as they
    arrive, and combines the partial results here.

    Each block is scattered to a worker once; every reduction then runs there
    as a task keyed by the reduction's name and the block's sequence number,
    and its partial result comes back to be folded into the total, once per
    block. At most `max_in_flight` blocks are out on the cluster at a time:
    the rest wait in the receiver (and, past its queue, in the publisher's).

    A worker that dies takes the blocks it held with it, which no task can
    recompute: such a block is scattered again from here, up to `retries`
    times. A task that is run twice (Dask reruns one whose worker died while
    it ran) has one key and one result: every block counts exactly once.

    Args:
        client: A `distributed.Client`.
        blocks: A `vexasdk.stream.Receiver`, or any iterable of blocks.
        reductions: One `Reduction`, or several by name.
        max_in_flight: Blocks out on the cluster at most, 1 to 10,000.
        retries: Times a block lost with a worker is sent again, 0 to 100.

    Returns:
        The total (for one reduction), or a dict of totals by name.

    Raises:
        ReductionInterrupted: Iterating over `blocks` raised (a stream's
            sender died, say): the totals of the blocks that came are in it.
        Exception: What a reduction raised on a worker (the rest is cancelled).
        RuntimeError: A block was lost with its workers more than `retries` times.
    """
    if isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int) or not 1 <= max_in_flight <= 10_000:
        raise ValueError(f"max_in_flight must be an integer from 1 to 10000, got {max_in_flight!r}")
    if isinstance(retries, bool) or not isinstance(retries, int) or not 0 <= retries <= 100:
        raise ValueError(f"retries must be an integer from 0 to 100, got {retries!r}")
    named = _named(reductions)
    run = _Run(client, named, uuid.uuid4().hex[:12], retries)
    source = iter(blocks)
    try:
        while True:
            try:
                block = next(source)
            except StopIteration:
                break
            except Exception as error:  # the blocks stopped coming (a sender died): keep what came
                while run.in_flight:
                    run.harvest()
                raise ReductionInterrupted(f"the blocks stopped coming after {run.blocks} of them: {error}",
                                           run.result(reductions), run.blocks) from error
            while len(run.in_flight) >= max_in_flight:
                run.harvest()
            run.submit(block, 0)
        while run.in_flight:
            run.harvest()
    except BaseException:
        run.cancel()
        raise
    return run.result(reductions)


class ReductionInterrupted(Exception):
    """The blocks stopped coming before their end (a stream broke off); what
    came is reduced.

    Attributes:
        totals: The totals of the blocks that came, as `reduce_on` returns them.
        blocks (int): How many blocks they are.
    """

    def __init__(self, message: str, totals: Any, blocks: int) -> None:
        super().__init__(message)
        self.totals = totals
        self.blocks = blocks


class _Run:
    """The bookkeeping of one `reduce_on`: what is out, what is folded in."""

    def __init__(self, client: Any, named: dict[str, Reduction[Any, Any]], run: str, retries: int) -> None:
        self.client, self.named, self.run, self.retries = client, named, run, retries
        self.totals = {name: reduction.initial() for name, reduction in named.items()}
        self.in_flight: dict[int, _InFlight] = {}
        self.folded: set[tuple[str, int]] = set()
        self.submitted = 0

    @property
    def blocks(self) -> int:
        """Blocks handed out so far, whose totals are in or on their way."""
        return self.submitted

    def result(self, reductions: object) -> Any:
        return self.totals if isinstance(reductions, Mapping) else self.totals["result"]

    def submit(self, block: Block, attempt: int, names: Iterable[str] | None = None) -> None:
        if attempt == 0:
            self.submitted += 1
        data = self._scatter(block)
        waiting = {}
        for name in names if names is not None else self.named:
            # The attempt is part of the key: a key whose data was lost stays
            # cancelled on the client, and a new attempt is new work.
            key = f"vexasdk-{name}-{self.run}-{block.sequence}-{attempt}"
            waiting[self.client.submit(self.named[name].reduce, data, key=key, pure=False)] = name
        self.in_flight[block.sequence] = _InFlight(block, attempt, data, waiting)

    def _scatter(self, block: Block) -> Any:
        # A worker that dies while it takes the block fails the scatter itself
        # (its connection closes, or no worker is left for a moment).
        for wait in (0.0, 0.1, 0.3, 1.0, 3.0):
            time.sleep(wait)
            try:
                return self.client.scatter(block, hash=False)
            except OSError as error:
                failure = error
        raise RuntimeError(f"block {block.sequence} could not be sent to any worker: {failure}") from failure

    def harvest(self) -> None:
        import distributed

        wait: Any = distributed.wait  # untyped
        futures = [future for entry in self.in_flight.values() for future in entry.waiting]
        try:
            done = wait(futures, return_when="FIRST_COMPLETED").done
        except concurrent.futures.CancelledError:  # what a lost worker held: done, and done again below
            done = {future for future in futures if future.done()}
        lost: dict[int, list[str]] = {}
        for sequence, entry in list(self.in_flight.items()):
            for future in [f for f in entry.waiting if f in done]:
                name = entry.waiting.pop(future)
                if future.status == "finished":
                    try:
                        partial = future.result()
                    except BaseException as error:  # finished, but what it made went with its worker
                        if not _is_loss(error):
                            raise
                        lost.setdefault(sequence, []).append(name)
                    else:
                        self._fold(name, sequence, partial)
                elif future.status == "cancelled" or _lost_with_a_worker(future):
                    lost.setdefault(sequence, []).append(name)
                else:
                    raise cast(BaseException, future.exception())
                future.release()
            if not entry.waiting and sequence not in lost:
                del self.in_flight[sequence]
        for sequence, names in lost.items():
            entry = self.in_flight.pop(sequence)
            for future in entry.waiting:  # what still runs on the lost data is done again too
                names.append(entry.waiting[future])
                future.release()
            if entry.attempt >= self.retries:
                raise RuntimeError(f"block {sequence} was lost with the workers that held it "
                                   f"{entry.attempt + 1} times")
            self.submit(entry.block, entry.attempt + 1, names)

    def _fold(self, name: str, sequence: int, partial: Any) -> None:
        if (name, sequence) in self.folded:
            return
        self.folded.add((name, sequence))
        self.totals[name] = self.named[name].combine(self.totals[name], partial)

    def cancel(self) -> None:
        futures = [future for entry in self.in_flight.values() for future in entry.waiting]
        if futures:
            self.client.cancel(futures)
        self.in_flight.clear()


def _lost_with_a_worker(future: Any) -> bool:
    return future.status == "error" and _is_loss(future.exception())


def _is_loss(error: BaseException | None) -> bool:
    """Whether `error` says the work or its data went with a worker."""
    from distributed import KilledWorker

    return isinstance(error, (KilledWorker, OSError, concurrent.futures.CancelledError, asyncio.CancelledError)) or \
        type(error).__name__ in ("CommClosedError", "FutureCancelledError")
