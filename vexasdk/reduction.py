"""Reductions of blocks: per-block work that can run anywhere, and totals.

A `Reduction` splits the work on a stream of blocks in two: `reduce` makes a
small partial result of one block, wherever it runs (on a Dask worker, in
another process), and `combine` folds the partials into the total, where the
total is kept; `merge` joins two totals, so that a worker can fold a whole
batch of blocks and send back one total. `reduce_on` runs the work on a Dask
cluster in batches as the blocks arrive (from a `vexasdk.stream.Receiver`, or
any iterable of blocks) and joins the batches' results on the client;
`reduce_locally` does it all here, for the same result. Neither returns an
incomplete result without a word: missing blocks raise `IncompleteReduction`,
which carries the totals of what came::

    from vexasdk.reduction import hit_map, reduce_on, virtual_images
    with Client(cluster) as client, Receiver("tcp://detector-pc:5555") as receiver:
        totals = reduce_on(client, receiver, {"hits": hit_map(), "images": virtual_images((64, 64))})

Provided: `clusters` (clusters' energy or summed-ToT spectrum and centroid
map, joining the clusters that blocks' ends cut; see
`vexasdk.clusters.ClusterTotals`), `hit_map` (events per pixel of the assembled detector), `tot_spectrum`
(hits per ToT or iToT count), `virtual_images` (per scan position: event
counts, iToTs, virtual bright field and annular dark field). Nothing here
needs the network: workers import only numpy and awkward for it. How this
scales to a real cluster: docs/reduction.md.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import functools
import time
import uuid
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, cast, overload

import awkward as ak  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexasdk.account import StageCounts, Tally
from vexasdk.clusters import ClusterTotals, cluster_reduction
from vexasdk.acquisition import BINNED_MODES, Block
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import detector_coordinates, detector_shape
from vexasdk.queues import block_nbytes

if TYPE_CHECKING:
    from vexasdk.events import Calibration

__all__ = ["IncompleteReduction", "Reduction", "ReductionInterrupted", "Totals", "clusters", "hit_map", "reduce_locally",
           "reduce_on", "tot_spectrum", "virtual_images"]

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
        merge (Callable[[R, R], R] | None): Two totals as one (it may change
            the first in place and return it). With it, the workers fold a
            whole batch of blocks into one total and only that comes back;
            without it, every block's partial result comes back to be
            combined here.
    """

    name: str
    reduce: Callable[[Block], P]
    combine: Callable[[R, P], R]
    initial: Callable[[], R]
    merge: Callable[[R, R], R] | None = None


def clusters(*, window_ns: float = 500.0, neighbours: Literal[4, 8] = 8, calibration: Calibration | None = None,
             weight: Literal["tot", "energy"] = "tot", disorder_ns: float = 1000.0, subpixels: int = 4,
             chips: int = 4) -> Reduction[ClusterTotals, ClusterTotals]:
    """Clusters of the blocks' ToA-ToT hits: each block is clustered where it
    is reduced (natively, without the interpreter lock), and the totals join
    the clusters that the blocks' ends cut (see
    `vexasdk.clusters.ClusterTotals`). Settings as `vexasdk.clusters.Clusters`
    takes them; `chips` sets the size of the centroid map."""
    made: Reduction[ClusterTotals, ClusterTotals] = cluster_reduction(
        window_ns=window_ns, neighbours=neighbours, calibration=calibration, weight=weight, disorder_ns=disorder_ns,
        subpixels=subpixels, chips=chips)
    return made


# ---- hit map ----

def _add_arrays(total: npt.NDArray[Any], partial: npt.NDArray[Any]) -> npt.NDArray[Any]:
    total += partial
    return total


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
                     functools.partial(_image, chips), _add_arrays)


# ---- ToT spectrum ----

def _spectrum_partial(bins: int, block: Block) -> npt.NDArray[np.int64]:
    values = block.time_counts()
    if values is None or not len(values):
        return np.zeros(bins, np.int64)
    return np.bincount(np.minimum(values, bins - 1), minlength=bins).astype(np.int64)


def _zeros(bins: int) -> npt.NDArray[np.int64]:
    return np.zeros(bins, np.int64)


def tot_spectrum(bins: int = 1 << 14) -> Reduction[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Hits per ToT count (25 ns each) in the ToA-ToT modes, per iToT count in
    fb_itot_evcount and binned_data: an int64 array of `bins` (1 to 2**24);
    larger counts go to the last bin."""
    if isinstance(bins, bool) or not isinstance(bins, int) or not 1 <= bins <= 1 << 24:
        raise ValueError(f"bins must be an integer from 1 to {1 << 24}, got {bins!r}")
    return Reduction("tot_spectrum", functools.partial(_spectrum_partial, bins), _add_arrays,
                     functools.partial(_zeros, bins), _add_arrays)


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


def _merge_images(total: dict[str, npt.NDArray[np.uint64]],
                  other: dict[str, npt.NDArray[np.uint64]]) -> dict[str, npt.NDArray[np.uint64]]:
    for name, image in other.items():
        total[name] += image
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
                     functools.partial(_scan_images, scan_shape), _merge_images)


# ---- running them ----

class IncompleteReduction(Exception):
    """The totals lack blocks: blocks the source knows are missing (a
    stream's gaps, a sender's drops), blocks lost with workers more often
    than allowed, or the source broke off. `reduce_on` and `reduce_locally`
    never return such totals: they raise this, with the totals in it.

    Attributes:
        totals: The totals of the blocks that were reduced, as a complete
            result would be returned (a `Totals`, or the one total).
        blocks (int): How many blocks they are.
        missing (int): Blocks known to be missing from them.
        complete (bool): False.
        account (StageCounts): The reduction's stage of the account.
    """

    complete = False

    def __init__(self, message: str, totals: Any, blocks: int, missing: int = 0,
                 account: StageCounts | None = None) -> None:
        super().__init__(message)
        self.totals = totals
        self.blocks = blocks
        self.missing = missing
        self.account = account if account is not None else StageCounts("reduction", blocks, blocks)


class ReductionInterrupted(IncompleteReduction):
    """The blocks stopped coming before their end (a stream broke off); what
    came is reduced (an `IncompleteReduction`)."""


class Totals(dict[str, Any]):
    """The totals of several reductions, by name, and how complete they are.

    Attributes:
        complete (bool): Every block the source produced is in them (True:
            an incomplete result is raised as `IncompleteReduction`).
        missing (int): Blocks missing from them (0).
        blocks (int): Blocks reduced.
        account (StageCounts): The reduction's stage of the account:
            received, folded in, dropped as duplicates, lost with workers.
    """

    complete: bool = True
    missing: int = 0
    blocks: int = 0
    account: StageCounts = StageCounts("reduction")


def _key(block: Any) -> tuple[str, int]:
    """What names a block among all blocks: its stream and its number."""
    return getattr(block, "stream", ""), block.sequence


def _missing_in(source: object) -> int:
    """Blocks the source knows it never had (a stream receiver's `missing`)."""
    missing = getattr(source, "missing", 0)
    return int(getattr(missing, "count", missing) or 0)


def _result(reductions: object, totals: dict[str, Any], tally: Tally, missing: int, source: object,
            interrupted: BaseException | None = None) -> Any:
    """The totals as returned; raises IncompleteReduction when blocks are missing."""
    stage = tally.counts
    missing += stage.failed
    if isinstance(reductions, Mapping):
        result: Any = Totals(totals)
        result.complete, result.missing, result.blocks, result.account = not missing, missing, stage.delivered, stage
    else:
        result = totals["result"]
    if interrupted is not None:
        raise ReductionInterrupted(f"the blocks stopped coming after {stage.received} of them: {interrupted}",
                                   result, stage.delivered, missing, stage) from interrupted
    if missing:
        raise IncompleteReduction(f"the totals lack {missing} block{'s' if missing != 1 else ''} "
                                  f"({_missing_text(source, stage)}); {stage.delivered} are in them",
                                  result, stage.delivered, missing, stage)
    return result


def _missing_text(source: object, stage: StageCounts) -> str:
    parts = []
    if stage.failed:
        parts.append(f"{stage.failed} lost with their workers")
    upstream = getattr(source, "missing", None)
    if upstream:
        parts.append(f"the source lacks {upstream}")
    return "; ".join(parts) or "missing upstream"


@overload
def reduce_locally(blocks: Iterable[Block], reductions: Reduction[Any, R]) -> R: ...
@overload
def reduce_locally(blocks: Iterable[Block], reductions: Mapping[str, Reduction[Any, Any]]) -> Totals: ...


def reduce_locally(blocks: Iterable[Block], reductions: Reduction[Any, Any] | Mapping[str, Reduction[Any, Any]]) -> Any:
    """Runs `reductions` (one, or several by name) over `blocks` here: the
    same totals, and the same account, that `reduce_on` makes on a cluster.

    Raises:
        IncompleteReduction: `blocks` knows it lacks blocks (a stream's
            `missing`): the totals of what came are in it.
    """
    named = _named(reductions)
    totals = {name: reduction.initial() for name, reduction in named.items()}
    tally, taken = Tally("reduction"), set()
    for block in blocks:
        tally.add(received=1)
        if _key(block) in taken:
            tally.add(dropped=1)
            continue
        taken.add(_key(block))
        for name, reduction in named.items():
            totals[name] = reduction.combine(totals[name], reduction.reduce(block))
        tally.add(delivered=1)
    return _result(reductions, totals, tally, _missing_in(blocks), blocks)


def _named(reductions: Reduction[Any, Any] | Mapping[str, Reduction[Any, Any]]) -> dict[str, Reduction[Any, Any]]:
    named = dict(reductions) if isinstance(reductions, Mapping) else {"result": reductions}
    if not named or not all(isinstance(r, Reduction) for r in named.values()):
        raise TypeError("reductions must be a Reduction, or a non-empty mapping of names to Reductions")
    return named


@dataclasses.dataclass
class _Batch:
    """Blocks that travel to a worker together, as one object."""

    blocks: list[Any]


_WorkerPart = tuple[Callable[[Any], Any], Callable[[Any, Any], Any] | None, Callable[[], Any] | None]


def _worker_parts(named: dict[str, Reduction[Any, Any]]) -> dict[str, _WorkerPart]:
    """What each reduction needs on a worker: only `reduce`, unless the
    batch is folded there (only then do `combine` and `initial` travel)."""
    return {name: (r.reduce, r.combine, r.initial) if r.merge is not None else (r.reduce, None, None)
            for name, r in named.items()}


def _reduce_batch(parts: dict[str, _WorkerPart], batch: _Batch) -> dict[str, Any]:
    """On a worker: each reduction over the batch, folded into one total where
    the reduction can merge totals, else the blocks' partial results."""
    out: dict[str, Any] = {}
    for name, (reduce, combine, initial) in parts.items():
        if combine is not None and initial is not None:
            total = initial()
            for block in batch.blocks:
                total = combine(total, reduce(block))
            out[name] = total
        else:
            out[name] = [reduce(block) for block in batch.blocks]
    return out


def _whole_in(name: str, value: object, low: float, high: float) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be an integer from {low:g} to {high:g}, got {value!r}")


@overload
def reduce_on(client: Any, blocks: Iterable[Block], reductions: Reduction[Any, R], *, max_in_flight: int = 8,
              retries: int = 3, batch_bytes: int = 32 << 20, batch_seconds: float = 0.25) -> R: ...
@overload
def reduce_on(client: Any, blocks: Iterable[Block], reductions: Mapping[str, Reduction[Any, Any]], *,
              max_in_flight: int = 8, retries: int = 3, batch_bytes: int = 32 << 20,
              batch_seconds: float = 0.25) -> Totals: ...


def reduce_on(client: Any, blocks: Iterable[Block],
              reductions: Reduction[Any, Any] | Mapping[str, Reduction[Any, Any]], *, max_in_flight: int = 8,
              retries: int = 3, batch_bytes: int = 32 << 20, batch_seconds: float = 0.25) -> Any:
    """Reduces `blocks` on the workers of a `dask.distributed` client as they
    arrive, and combines the results here.

    The blocks travel in batches: a batch closes at `batch_bytes` of arrays,
    or `batch_seconds` after its first block, whichever comes first, and goes
    to a worker as one task that runs every reduction over it. A reduction
    that can merge totals (the bundled ones can) folds the whole batch there,
    so one small total per batch comes back; any other sends back each
    block's partial result, combined here. At most `max_in_flight` batches
    are out on the cluster at a time: the rest wait in the source (a
    receiver, and past its queue, the publisher).

    Every block counts once, by its stream and sequence number: a block seen
    again is a duplicate, dropped and counted. A worker that dies takes the
    batch it held with it: the batch is sent again from here, up to
    `retries` times, then counted as lost. A task that Dask runs twice has one
    key and one result.

    Nothing incomplete is returned: when blocks are missing (the source says
    so through its `missing`, as a stream `Receiver` does, or batches were
    lost with workers) `IncompleteReduction` is raised, carrying the totals
    of what came; `ReductionInterrupted`, one of them, when the source broke
    off. A complete result for several reductions is a `Totals` dict, which
    says `complete`, `missing`, `blocks` and the reduction's `account`.

    Args:
        client: A `distributed.Client`.
        blocks: A `vexasdk.stream.Receiver`, or any iterable of blocks.
        reductions: One `Reduction`, or several by name.
        max_in_flight: Batches out on the cluster at most, 1 to 10,000.
        retries: Times a batch lost with a worker is sent again, 0 to 100.
        batch_bytes: Bytes of arrays that close a batch, 1 to 2**34.
        batch_seconds: Seconds after its first block that close a batch (so
            that a slow stream is reduced as it goes), above 0 to 3600.

    Returns:
        The total (for one reduction), or a `Totals` dict of totals by name.

    Raises:
        IncompleteReduction: Blocks are missing from the totals (which it carries).
        ReductionInterrupted: Iterating over `blocks` raised (a stream's
            sender died, say): the totals of the blocks that came are in it.
        Exception: What a reduction raised on a worker (the rest is cancelled).
    """
    _whole_in("max_in_flight", max_in_flight, 1, 10_000)
    _whole_in("retries", retries, 0, 100)
    _whole_in("batch_bytes", batch_bytes, 1, 2**34)
    if isinstance(batch_seconds, bool) or not isinstance(batch_seconds, (int, float)) or \
            not 0 < batch_seconds <= 3600:
        raise ValueError(f"batch_seconds must be a number above 0 and at most 3600, got {batch_seconds!r}")
    named = _named(reductions)
    run = _Run(client, named, uuid.uuid4().hex[:12], retries)
    source = iter(blocks)
    batch: list[Any] = []
    size, opened = 0, 0.0
    interrupted: BaseException | None = None
    try:
        while True:
            try:
                block = next(source)
            except StopIteration:
                break
            except Exception as error:  # the blocks stopped coming (a sender died): keep what came
                interrupted = error
                break
            if not run.take(block):
                continue
            if not batch:
                opened = time.monotonic()
            batch.append(block)
            size += block_nbytes(block)
            if size >= batch_bytes or time.monotonic() - opened >= batch_seconds:
                while len(run.in_flight) >= max_in_flight:
                    run.harvest()
                run.submit(batch, 0)
                batch, size = [], 0
        if batch:
            run.submit(batch, 0)
        while run.in_flight:
            run.harvest()
    except BaseException:
        run.cancel()
        raise
    return _result(reductions, run.totals, run.tally, _missing_in(blocks), blocks, interrupted)


@dataclasses.dataclass
class _InFlight:
    blocks: list[Any]
    attempt: int
    future: Any
    worker: str | None
    data: Any = None  # the scattered batch: let go with the future, not when the collector gets to it


class _Run:
    """The bookkeeping of one `reduce_on`: what is out, what is folded in."""

    def __init__(self, client: Any, named: dict[str, Reduction[Any, Any]], run: str, retries: int) -> None:
        self.client, self.named, self.run, self.retries = client, named, run, retries
        self.parts = _worker_parts(named)
        self.totals = {name: reduction.initial() for name, reduction in named.items()}
        self.in_flight: dict[int, _InFlight] = {}
        self.taken: set[tuple[str, int]] = set()
        self.tally = Tally("reduction")
        self.batches = 0
        self.workers: list[str] = []

    def take(self, block: Any) -> bool:
        """Whether `block` is new; a duplicate is counted as dropped."""
        self.tally.add(received=1)
        key = _key(block)
        if key in self.taken:
            self.tally.add(dropped=1)
            return False
        self.taken.add(key)
        return True

    def submit(self, blocks: list[Any], attempt: int, index: int | None = None) -> None:
        if index is None:
            index, self.batches = self.batches, self.batches + 1
        worker, data = self._scatter(_Batch(blocks))
        # The attempt is part of the key: a key whose data was lost stays
        # cancelled on the client, and a new attempt is new work.
        future = self.client.submit(_reduce_batch, self.parts, data, key=f"vexasdk-batch-{self.run}-{index}-{attempt}",
                                    pure=False)
        self.in_flight[index] = _InFlight(blocks, attempt, future, worker, data)

    def _target(self) -> str | None:
        """The worker with the fewest batches out: Dask would put every
        scattered batch on one worker, and the others would wait."""
        if not self.workers:
            self.workers = list(self.client.scheduler_info().get("workers", {}))
        if not self.workers:
            return None
        load = {worker: 0 for worker in self.workers}
        for entry in self.in_flight.values():
            if entry.worker in load:
                load[entry.worker] += 1
        return min(self.workers, key=lambda worker: load[worker])

    def _scatter(self, batch: _Batch) -> tuple[str | None, Any]:
        # A worker that dies while it takes the batch fails the scatter itself
        # (its connection closes, or no worker is left for a moment), and one
        # the scheduler has just removed is a KeyError of its address.
        for wait in (0.0, 0.1, 0.3, 1.0, 3.0):
            time.sleep(wait)
            target = self._target()
            try:
                return target, self.client.scatter(batch, hash=False, workers=None if target is None else [target])
            except (OSError, ValueError, TimeoutError, KeyError) as error:
                failure: BaseException = error
                self.workers = []  # look again: the worker may be gone
        raise RuntimeError(f"a batch of {len(batch.blocks)} blocks could not be sent to any worker: "
                           f"{failure}") from failure

    def harvest(self) -> None:
        import distributed

        wait: Any = distributed.wait  # untyped
        futures = {entry.future: index for index, entry in self.in_flight.items()}
        try:
            done = wait(list(futures), return_when="FIRST_COMPLETED").done
        except concurrent.futures.CancelledError:  # what a lost worker held: done, and done again below
            done = {future for future in futures if future.done()}
        for future in done:
            index = futures[future]
            entry = self.in_flight.pop(index)
            if future.status == "finished":
                try:
                    out = future.result()
                except BaseException as error:  # finished, but what it made went with its worker
                    if not _is_loss(error):
                        raise
                    self._lost(index, entry)
                else:
                    self._fold(out, len(entry.blocks))
            elif future.status == "cancelled" or _lost_with_a_worker(future):
                self._lost(index, entry)
            else:
                failure = cast(BaseException, future.exception())
                _release(entry)  # nothing of it stays on the cluster, though the error travels on
                raise failure
            _release(entry)

    def _lost(self, index: int, entry: _InFlight) -> None:
        self.workers = []  # one of them is gone
        if entry.attempt >= self.retries:
            self.tally.add(failed=len(entry.blocks))  # said in the result: it is incomplete
            return
        self.submit(entry.blocks, entry.attempt + 1, index)

    def _fold(self, out: dict[str, Any], blocks: int) -> None:
        for name, reduction in self.named.items():
            if reduction.merge is not None:
                self.totals[name] = reduction.merge(self.totals[name], out[name])
            else:
                for partial in out[name]:
                    self.totals[name] = reduction.combine(self.totals[name], partial)
        self.tally.add(delivered=blocks)

    def cancel(self) -> None:
        """Lets go of everything the run still has on the cluster."""
        entries = list(self.in_flight.values())
        if entries:
            self.client.cancel([entry.future for entry in entries] + [entry.data for entry in entries
                                                                       if entry.data is not None])
        for entry in entries:
            _release(entry)
        self.in_flight.clear()


def _release(entry: _InFlight) -> None:
    entry.future.release()
    if entry.data is not None:
        entry.data.release()


def _lost_with_a_worker(future: Any) -> bool:
    return future.status == "error" and _is_loss(future.exception())


def _is_loss(error: BaseException | None) -> bool:
    """Whether `error` says the work or its data went with a worker."""
    from distributed import KilledWorker

    return isinstance(error, (KilledWorker, OSError, concurrent.futures.CancelledError, asyncio.CancelledError)) or \
        type(error).__name__ in ("CommClosedError", "FutureCancelledError")
