"""Pixel addresses, time units, hit maps and spectra, for the arrays blocks carry.

Every packet names its pixel by an address ``chip << 16 | row << 8 | column``,
with row and column 0 to 255 on a chip of 256 x 256 pixels. The chips of a
device sit two to a row in the assembled detector image: for a quad of 2 x 2
chips, chip 0 is the top left, 1 the top right, 2 the bottom left and 3 the
bottom right quarter of a 512 x 512 image.

Times: ToA (and the shutter start, and TDC timestamps) count ticks of
1.5625 ns; ToT and iToT count 25 ns. Everything here is numpy throughout:
nothing runs per packet in Python.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from vexasdk.acquisition import Block

__all__ = [
    "CHIP_SIZE", "CHIPS_PER_ROW", "ITOT_NS", "TOA_NS", "TOT_NS", "HitMap", "Peak", "Pixels", "ScanImage",
    "Spectrum", "coarse", "decode", "detector_coordinates", "detector_shape", "itot_ns", "peak", "toa_ns", "tot_ns", "tot_spectrum",
]

CHIP_SIZE = 256
"""Pixels along each side of a chip."""
CHIPS_PER_ROW = 2
"""Chips side by side in the assembled detector image."""
TOA_NS = 1.5625
"""Nanoseconds per ToA tick (also the shutter start and TDC timestamps)."""
TOT_NS = 25.0
"""Nanoseconds per ToT count."""
ITOT_NS = 25.0
"""Nanoseconds per iToT count."""


class Pixels(NamedTuple):
    """Decoded pixel addresses.

    Attributes:
        chip (npt.NDArray[np.uint32]): Chip index.
        row (npt.NDArray[np.uint32]): Row on the chip, 0 to 255.
        column (npt.NDArray[np.uint32]): Column on the chip, 0 to 255.
    """

    chip: npt.NDArray[np.uint32]
    row: npt.NDArray[np.uint32]
    column: npt.NDArray[np.uint32]


def decode(address: npt.ArrayLike) -> Pixels:
    """Splits pixel addresses into chip, row and column.

    Args:
        address: Addresses as packets carry them (any integer array).

    Returns:
        Pixels: Three arrays of the shape of `address`.
    """
    a = np.asarray(address).astype(np.uint32, copy=False)
    row = a >> np.uint32(8)
    row &= np.uint32(0xFF)
    return Pixels(a >> np.uint32(16), row, a & np.uint32(0xFF))


def detector_shape(chips: int) -> tuple[int, int]:
    """(rows, columns) of the assembled image of `chips` chips, two to a row.

    Raises:
        ValueError: `chips` is not a positive count.
    """
    if isinstance(chips, bool) or not isinstance(chips, (int, np.integer)) or chips < 1:
        raise ValueError(f"chips must be a positive number of chips, got {chips!r}")
    per_row = min(int(chips), CHIPS_PER_ROW)
    rows = -(-int(chips) // CHIPS_PER_ROW)
    return rows * CHIP_SIZE, per_row * CHIP_SIZE


def detector_coordinates(address: npt.ArrayLike) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """(row, column) of each address in the assembled detector image.

    Args:
        address: Addresses as packets carry them.

    Returns:
        tuple: Row and column arrays; for a quad both lie in 0..511.
    """
    # In place, one temporary at a time: files and reductions run this on
    # every packet of every block.
    chip, row, column = decode(address)
    image_row = (chip // CHIPS_PER_ROW).astype(np.intp)
    image_row *= CHIP_SIZE
    image_row += row
    chip %= CHIPS_PER_ROW
    image_column = chip.astype(np.intp)
    image_column *= CHIP_SIZE
    image_column += column
    return image_row, image_column


def toa_ns(toa: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """ToA ticks (or shutter starts, or TDC timestamps) in nanoseconds."""
    return np.asarray(toa, dtype=np.float64) * TOA_NS


def tot_ns(tot: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """ToT counts in nanoseconds."""
    return np.asarray(tot, dtype=np.float64) * TOT_NS


def itot_ns(itot: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """iToT counts in nanoseconds."""
    return np.asarray(itot, dtype=np.float64) * ITOT_NS


class Spectrum(NamedTuple):
    """A histogram of times over threshold.

    Attributes:
        counts (npt.NDArray[np.int64]): Hits per bin.
        edges_ns (npt.NDArray[np.float64]): Bin edges in nanoseconds, one more than counts.
    """

    counts: npt.NDArray[np.int64]
    edges_ns: npt.NDArray[np.float64]


def tot_spectrum(tot: npt.ArrayLike, bins: int = 100, max_ns: float | None = None) -> Spectrum:
    """The ToT spectrum of ToT counts (as packets carry them), in nanoseconds.

    Each bin is a whole number of 25 ns ToT steps, and the steps fall in the
    middle of bins, never on an edge: bins of any other width would take
    two steps into some and one into others (a picket fence).

    Args:
        tot: ToT counts, any integer array.
        bins: At most this many bins, at least 1.
        max_ns: ToTs up to this are counted; the largest ToT when None.

    Raises:
        ValueError: `bins` is not a positive integer or `max_ns` not a positive number.
    """
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError(f"bins must be a positive integer, got {bins!r}")
    values = tot_ns(tot).ravel()
    if max_ns is None:
        top = float(values.max()) if values.size else TOT_NS
    elif not np.isfinite(max_ns) or max_ns <= 0:
        raise ValueError(f"max_ns must be a positive number of nanoseconds, got {max_ns!r}")
    else:
        top = float(max_ns)
    steps = int(np.floor(max(top, TOT_NS) / TOT_NS))  # the last step counted
    per_bin = -(-(steps + 1) // int(bins))  # steps 0 to `steps`, in at most `bins` bins
    edges = (np.arange(-(-(steps + 1) // per_bin) + 1) * per_bin - 0.5) * TOT_NS
    counts, _ = np.histogram(values, bins=edges)
    return Spectrum(counts.astype(np.int64), edges.astype(np.float64))


class HitMap:
    """Counts of events per pixel of the assembled detector image, from blocks
    of any data mode that carry pixel addresses.

    ToA-ToT blocks add one per packet, iToT-evcount frames their event counts,
    binned-data blocks the event counts of every bin's packets. Blocks that
    carry only per-bin totals (binned event counts or iToTs) have no pixels to
    add; see ScanImage.

    Attributes:
        counts (npt.NDArray[np.uint64]): The image, rows x columns.
    """

    def __init__(self, chips: int = 4) -> None:
        self.counts: npt.NDArray[np.uint64] = np.zeros(detector_shape(chips), np.uint64)

    def add_packets(self, address: npt.ArrayLike, weights: npt.ArrayLike | None = None) -> None:
        """Adds `weights` (one each when None) at the pixels of `address`.
        Addresses outside the image are left out."""
        rows, columns = detector_coordinates(address)
        inside = (rows < self.counts.shape[0]) & (columns < self.counts.shape[1])
        w = np.ones(rows.shape, np.uint64) if weights is None else np.asarray(weights).astype(np.uint64)
        flat = self.counts.reshape(-1)
        np.add.at(flat, rows[inside] * self.counts.shape[1] + columns[inside], w[inside])

    def add(self, block: Block) -> None:
        """Adds what `block` holds of pixels."""
        packets = block.pixel_packets()
        if packets is None:
            return
        address, weights = packets
        self.add_packets(address, weights)

    def hottest(self) -> tuple[int, int, int]:
        """(row, column, count) of the pixel with the most events."""
        index = int(np.argmax(self.counts))
        row, column = divmod(index, self.counts.shape[1])
        return row, column, int(self.counts[row, column])

    def coarse(self, rows: int = 16, columns: int = 32) -> npt.NDArray[np.uint64]:
        """The image summed into `rows` x `columns` tiles (each a divisor of the
        image's size in its direction, or the image is cut to fit)."""
        return coarse(self.counts, rows, columns)


class ScanImage:
    """Per-position totals of a binned scan, as an image of the scan: the total
    counts (events over the whole detector) or iToTs of every scan position.
    Not a bright field, which counts only the events within a disc about the
    beam (`vexasdk.stream.virtual_images`, and the saved file's bright_field).

    Attributes:
        values (npt.NDArray[np.uint64]): height x width totals.
    """

    def __init__(self, width: int, height: int) -> None:
        for name, value in (("width", width), ("height", height)):
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
                raise ValueError(f"{name} must be a positive number of scan positions, got {value!r}")
        self.width, self.height = int(width), int(height)
        self.values: npt.NDArray[np.uint64] = np.zeros((self.height, self.width), np.uint64)

    def add(self, block: Block) -> None:
        """Adds a binned block's per-position totals at the positions it covers
        (its event counts, or its iToTs when it has no counts)."""
        totals = block.position_totals()
        if totals is None or block.first_position is None:
            return
        positions = (block.first_position + np.arange(len(totals))) % (self.width * self.height)
        np.add.at(self.values.reshape(-1), positions, np.asarray(totals, np.uint64))

    def coarse(self, rows: int = 16, columns: int = 32) -> npt.NDArray[np.uint64]:
        """The image summed into at most `rows` x `columns` tiles."""
        return coarse(self.values, min(rows, self.height), min(columns, self.width))


def coarse(image: npt.NDArray[np.uint64], rows: int, columns: int) -> npt.NDArray[np.uint64]:
    """`image` summed into `rows` x `columns` tiles of equal size; what is
    left over at the bottom and right edges is left out.

    Raises:
        ValueError: `rows` or `columns` is not a positive integer, or larger
            than the image in its direction.
    """
    for name, value in (("rows", rows), ("columns", columns)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
            raise ValueError(f"{name} must be a positive integer, got {value!r}")
    tall, wide = image.shape[0] // rows, image.shape[1] // columns
    if tall == 0 or wide == 0:
        raise ValueError(f"cannot tile a {image.shape[0]} x {image.shape[1]} image into {rows} x {columns}")
    cut = image[: rows * tall, : columns * wide]
    return cut.reshape(rows, tall, columns, wide).sum(axis=(1, 3), dtype=np.uint64)


class Peak(NamedTuple):
    """A line in a spectrum.

    Attributes:
        position (float): Where it peaks, in the spectrum's unit: the top of a
            Gaussian through the bins above half its height.
        fwhm (float): Its full width at half maximum, from where the counts
            cross half the top bin's, interpolated between bins.
        height (float): The top bin's counts.
        counts (int): Counts within the half-maximum width.
    """

    position: float
    fwhm: float
    height: float
    counts: int


def peak(counts: npt.ArrayLike, edges: npt.ArrayLike, *, within: tuple[float, float] | None = None) -> Peak:
    """The highest peak of a histogram, its position and full width at half
    maximum.

    Args:
        counts: Counts per bin, one-dimensional.
        edges: Bin edges, increasing, one more than `counts`.
        within: Only bins whose centres lie in (low, high) are looked at; the
            whole histogram when None.

    Returns:
        Peak: Position, FWHM, height and counts. A peak that runs into the
        range's end is measured to there; NaN position and width when no bin
        holds counts.

    Raises:
        ValueError: `counts` and `edges` that do not fit together.
    """
    c = np.asarray(counts, dtype=np.float64)
    e = np.asarray(edges, dtype=np.float64)
    if c.ndim != 1 or e.shape != (c.size + 1,) or not np.all(np.diff(e) > 0):
        raise ValueError(f"counts must be one-dimensional and edges increasing, one longer, got {c.shape} counts "
                         f"and {e.shape} edges")
    centres = 0.5 * (e[1:] + e[:-1])
    if within is not None:
        low, high = within
        keep = (centres > low) & (centres < high)
        c, centres, e = c[keep], centres[keep], e[np.concatenate([keep, [False]]) | np.concatenate([[False], keep])]
    if c.size == 0 or not np.any(c > 0):
        return Peak(math.nan, math.nan, 0.0, 0)
    top = int(np.argmax(c))
    half = c[top] / 2
    lo = top
    while lo > 0 and c[lo - 1] > half:
        lo -= 1
    hi = top
    while hi < c.size - 1 and c[hi + 1] > half:
        hi += 1

    def crossing(inside: int, outside: int) -> float:
        if outside < 0 or outside >= c.size:
            return float(e[0] if outside < 0 else e[-1])
        share = (c[inside] - half) / (c[inside] - c[outside])
        return float(centres[inside] + share * (centres[outside] - centres[inside]))

    fwhm = crossing(hi, hi + 1) - crossing(lo, lo - 1)
    position = float(centres[top])
    if hi - lo >= 2:
        # ln(counts) of a Gaussian is a parabola: its vertex, weighted by the counts' Poisson errors.
        x, y = centres[lo:hi + 1], np.log(c[lo:hi + 1])
        curve = np.polyfit(x - position, y, 2, w=np.sqrt(c[lo:hi + 1]))
        if curve[0] < 0:
            vertex = position - curve[1] / (2 * curve[0])
            if centres[lo] <= vertex <= centres[hi]:
                position = float(vertex)
    return Peak(position, fwhm, float(c[top]), int(c[lo:hi + 1].sum()))
