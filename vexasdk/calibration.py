"""Energy calibration: the file it is kept in, and fitting it from a flat-field run.

A `~vexasdk.events.Calibration` holds each pixel's ToT surrogate ToT = a E +
b - c / (E - t). `save` and `load` keep it in a small HDF5 file (laid out in
docs/calibration.md); `FlatField` fits it from a ``dd_toa_tot`` run under a
flood of known lines; `flat_field` runs that acquisition on a device; `peak`
finds a line's position and width in a spectrum.

What a flat-field run can tell: two lines per pixel fix two of the four
numbers. The fit takes a and b per pixel and c and t as given, the same for
every pixel (they shape the curve only near the threshold, where the lines say
nothing). The lines' single-pixel hits do not show the lines' energies:
charge spreads over neighbouring pixels, and a lone pixel keeps only what its
neighbours did not take and did not register (at a threshold of a few keV a
59.5 keV photon striking a pixel's centre leaves about 20 % of its charge in
the neighbours, under their threshold). So each pixel's two features (where
its single-pixel hits of each line lie) stand for energies the run itself
fixes, the same for every pixel:

- the first (highest) line's feature at ``containment`` times its energy, a
  property of the sensor's charge cloud and the threshold (0.805 for the
  virtual detector's sensor, fully depleted, at 5 keV);
- the second line's feature at the energy that makes clusters of four pixels
  of the first line sum to its energy: a photon striking near a pixel corner
  shares its charge among four pixels, each above threshold, and is the one
  event that keeps all of it.
"""

from __future__ import annotations

import datetime
import importlib.metadata
import math
import os
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import h5py  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexasdk.events import MAX_CHIPS, Calibration, Clusterer, cluster
from vexasdk.pixels import CHIP_SIZE, CHIPS_PER_ROW, TOT_NS, Peak, peak

if TYPE_CHECKING:
    from vexasdk._device import Device

__all__ = ["FORMAT", "FitReport", "FlatField", "Peak", "flat_field", "load", "peak", "save"]

FORMAT = "vexasdk ToT calibration"
"""The ``format`` attribute of a calibration file's group."""
VERSION = 1
"""The layout version this module writes and reads."""
GROUP = "calibration"
MAPS = {"a": "1/keV", "b": "1", "c": "keV", "t": "keV"}
"""The four maps and their units (ToT in counts of 25 ns)."""
_MAP_TEXT = {"a": "ToT counts per keV, far above threshold", "b": "ToT offset, counts",
             "c": "curvature near threshold, ToT counts times keV", "t": "asymptote, keV"}


# ---- the file ----


def save(calibration: Calibration, path: str | os.PathLike[str], *, description: str = "",
         overwrite: bool = False) -> None:
    """Writes `calibration` to the HDF5 file `path` (see docs/calibration.md).

    The file is written beside its place under another name and moved there
    when whole, so that a failure never leaves half a file.

    Args:
        calibration: What to keep.
        path: The file to write.
        description: What made it (kept as the ``description`` attribute).
        overwrite: Replace `path` if it exists.

    Raises:
        FileExistsError: `path` exists and `overwrite` is False.
        OSError: The file could not be written.
    """
    if not isinstance(calibration, Calibration):
        raise TypeError(f"calibration must be a Calibration, got {type(calibration).__name__}")
    target = os.fspath(path)
    if os.path.lexists(target) and not overwrite:
        raise FileExistsError(f"{target} exists; pass overwrite=True to replace it")
    folder = os.path.dirname(os.path.abspath(target))
    version = _version()
    handle, temporary = tempfile.mkstemp(suffix=".h5.part", dir=folder)
    os.close(handle)
    try:
        with h5py.File(temporary, "w") as f:
            now = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
            f.attrs.update({"NX_class": "NXroot", "creator": f"vexasdk {version}", "file_time": now,
                            "file_name": os.path.basename(target), "default": GROUP})
            group = f.create_group(GROUP)
            group.attrs.update({"NX_class": "NXcollection", "format": FORMAT, "version": VERSION,
                                "model": "ToT = a * E + b - c / (E - t)", "created": now,
                                "program": f"vexasdk {version}", "description": str(description)})
            for name, units in MAPS.items():
                data = group.create_dataset(name, data=getattr(calibration, name), dtype="<f8",
                                            compression="gzip", shuffle=True)
                data.attrs.update({"units": units, "long_name": _MAP_TEXT[name],
                                   "axes": "[chip, row, column]"})
            group.create_dataset("threshold", data=calibration.threshold, dtype="<f8").attrs["units"] = "keV"
            group.create_dataset("time_walk", data=calibration.walk_ns, dtype="<f8").attrs["units"] = "ns"
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def _version() -> str:
    try:
        return importlib.metadata.version("vexasdk")
    except importlib.metadata.PackageNotFoundError:
        return "(not installed)"


def load(path: str | os.PathLike[str]) -> Calibration:
    """The calibration kept in the HDF5 file `path`, checked throughout.

    Raises:
        FileNotFoundError, PermissionError: `path` cannot be opened.
        ValueError: It is no HDF5 file, is cut short or damaged, or lacks a
            dataset or holds one of the wrong shape, dtype, unit or values
            (the message names the file and the dataset).
    """
    name = os.fspath(path)
    with open(name, "rb"):  # a missing or unreadable file says so in its own words
        pass
    if not h5py.is_hdf5(name):
        raise ValueError(f"{name}: not an HDF5 file")
    try:
        with h5py.File(name, "r") as f:
            return _read(name, f)
    except OSError as error:  # HDF5 found the file cut short or damaged
        raise ValueError(f"{name}: cannot be read as HDF5 (cut short or damaged?): {error}") from None


def _read(name: str, f: Any) -> Calibration:
    group = f.get(GROUP)
    if not isinstance(group, h5py.Group):
        raise ValueError(f"{name}: no group /{GROUP}: not a calibration file")
    if group.attrs.get("format") != FORMAT:
        raise ValueError(f"{name}: /{GROUP} has format {group.attrs.get('format')!r}, not {FORMAT!r}")
    version = group.attrs.get("version")
    if not isinstance(version, (int, np.integer)) or not 1 <= version <= VERSION:
        shown = int(version) if isinstance(version, (int, np.integer)) else repr(version)
        raise ValueError(f"{name}: /{GROUP} has layout version {shown}; this vexasdk reads 1 to {VERSION}")

    def dataset(key: str, units: str, shape: tuple[int, ...] | None = None) -> npt.NDArray[np.float64]:
        where = f"{name}: /{GROUP}/{key}"
        item = group.get(key)
        if not isinstance(item, h5py.Dataset):
            raise ValueError(f"{where}: missing")
        if item.dtype.kind != "f":
            raise ValueError(f"{where}: must hold floating-point numbers, got {item.dtype}")
        if shape is not None and item.shape != shape:
            raise ValueError(f"{where}: must have shape {shape}, got {item.shape}")
        if item.attrs.get("units") != units:
            raise ValueError(f"{where}: must be in {units!r}, got units {item.attrs.get('units')!r}")
        value = np.asarray(item[()], dtype=np.float64)
        if not np.all(np.isfinite(value)):
            raise ValueError(f"{where}: must be finite, got {int(np.count_nonzero(~np.isfinite(value)))} values "
                             f"that are not")
        return value

    a_item = group.get("a")
    shape = a_item.shape if isinstance(a_item, h5py.Dataset) else None
    if shape is not None and (len(shape) != 3 or shape[1:] != (CHIP_SIZE, CHIP_SIZE)
                              or not 1 <= shape[0] <= MAX_CHIPS):
        raise ValueError(f"{name}: /{GROUP}/a: must have shape (chips, {CHIP_SIZE}, {CHIP_SIZE}) with 1 to "
                         f"{MAX_CHIPS} chips, got {shape}")
    maps = {key: dataset(key, units, shape) for key, units in MAPS.items()}
    chips = maps["a"].shape[0]
    threshold = dataset("threshold", "keV", (chips,))
    walk = dataset("time_walk", "ns", ())
    try:
        return Calibration(maps["a"], maps["b"], maps["c"], maps["t"], threshold=threshold, walk_ns=float(walk))
    except ValueError as error:
        raise ValueError(f"{name}: /{GROUP}: {error}") from None


# ---- fitting from a flat-field run ----

CONTAINMENT = 0.805
"""The share of a line's energy a pixel that alone registered the photon keeps,
where its single-pixel hits of the line peak: the virtual detector's sensor,
fully depleted, at a 5 keV threshold (its charge cloud has a spread of 0.3
pixel). A higher threshold lets photons further from a pixel's centre stay
single-pixel hits, and lowers it."""


class FitReport(NamedTuple):
    """How a `FlatField.fit` went.

    Attributes:
        fitted (int): Pixels with ``min_hits`` single-pixel hits of their
            own near each line.
        fallback (int): The others: their features lean on what their chip's
            pixels say, the more the fewer hits they had; a pixel without any
            (or whose features gave no rising response) gets its chip's a and
            b, fitted from all its pixels' hits together (the guess where even
            those were too few).
        chips_fitted (int): Chips whose pixels' hits together were enough.
        hits (int): Packets taken.
        single (int): Single-pixel clusters counted in the pixels' spectra.
        first_kev (float): The energy the first feature stands for: the
            first line's times ``containment``.
        second_kev (tuple[float, ...]): The energy the second feature stands
            for, on each chip, as its clusters of four pixels fixed it.
        full_peak_kev (tuple[float, ...]): Where each chip's clusters of four
            pixels of the first line peak with the fitted calibration (the
            line's energy when the fit converged).
        full_clusters (int): Those clusters within 10 % of the line, in the
            sample the fit used.
    """

    fitted: int
    fallback: int
    chips_fitted: int
    hits: int
    single: int
    first_kev: float
    second_kev: tuple[float, ...]
    full_peak_kev: tuple[float, ...]
    full_clusters: int


class FlatField:
    """Per-pixel statistics of a flat-field ``dd_toa_tot`` run, and the fit of
    a calibration from them.

    Feed it every block's packets with `add` (in order: clusters are joined
    across blocks), then `fit`. It keeps each pixel's spectrum of
    single-pixel hits as counts per ToT step (uint16, 2 bytes x `max_tot` a
    pixel: 84 MB for a quad at the default 160) and the packets of the first
    blocks, up to `sample_hits` (16 bytes each), for the clusters of four
    pixels `fit` needs.

    Args:
        chips: Chips of the detector, 1 to 64.
        threshold: Each chip's threshold in keV during the run (one number or
            one per chip): kept in the calibration, for the time walk.
        max_tot: ToT steps counted per pixel, 16 to 1024: hits of a larger
            ToT are left out.
        sample_hits: Packets kept for the fit's cluster sums, 10,000 to 2**28.
        window_ns: Hits this close in time, in touching pixels, are one
            cluster (as for `vexasdk.events.cluster`).
    """

    def __init__(self, chips: int = 4, *, threshold: float | Sequence[float] = 5.0, max_tot: int = 160,
                 sample_hits: int = 4_000_000, window_ns: float = 500.0) -> None:
        self._shape = Calibration.uniform(_count(chips, "chips", 1, MAX_CHIPS), threshold=5.0)
        thresholds = np.array(threshold, dtype=np.float64, ndmin=1)
        if thresholds.shape == (1,):
            thresholds = np.repeat(thresholds, chips)
        if thresholds.shape != (chips,) or not np.all(np.isfinite(thresholds)):
            raise ValueError(f"threshold must be one finite number of keV or one per chip ({chips}), "
                             f"got {threshold!r}")
        self.threshold = thresholds
        self._bins = _count(max_tot, "max_tot", 16, 1024)
        self._sample_limit = _count(sample_hits, "sample_hits", 10_000, 2**28)
        self._spectra = np.zeros((chips * CHIP_SIZE * CHIP_SIZE, self._bins), np.uint16)
        self._clusterer = Clusterer(window_ns=window_ns, calibration=self._shape)
        self._window_ns = float(window_ns)
        self._sample: list[npt.NDArray[np.void]] = []
        self._sampled = 0
        self.hits = 0
        """Packets taken so far."""
        self.single = 0
        """Single-pixel clusters counted so far."""
        self.report: FitReport | None = None
        """How the last `fit` went; None before one."""
        self.fitted_pixels: npt.NDArray[np.bool_] | None = None
        """After a `fit`: which pixels (chips, 256, 256) had ``min_hits`` of
        their own near each line."""

    @property
    def chips(self) -> int:
        """Chips of the detector."""
        return self._shape.chips

    def add(self, packets: npt.NDArray[np.void]) -> None:
        """Takes one block's packets (``block.packets`` of a ``dd_toa_tot`` run).

        Raises:
            TypeError: `packets` lacks the fields address, tot and toa.
        """
        rows = self._clusterer.add(packets)
        self.hits += len(packets)
        if self._sampled < self._sample_limit:
            self._sample.append(np.array(packets, copy=True))
            self._sampled += len(packets)
        self._count(rows)

    def finish(self) -> None:
        """Counts the clusters still held at the end of the run (`fit` calls it)."""
        self._count(self._clusterer.flush())

    def _count(self, rows: npt.NDArray[np.void]) -> None:
        lone = rows[(rows["size"] == 1)]
        tot = np.rint(lone["tot"] / TOT_NS).astype(np.intp)
        pixel = _pixel_index(lone["x"], lone["y"])
        keep = (tot < self._bins) & (pixel < len(self._spectra))
        flat = pixel[keep] * self._bins + tot[keep]
        self.single += int(keep.sum())
        where, counts = np.unique(flat, return_counts=True)
        spectra = self._spectra.reshape(-1)
        # Saturating: a pixel would need 65,535 hits of one ToT step first.
        spectra[where] = np.minimum(spectra[where].astype(np.int64) + counts, np.iinfo(np.uint16).max)

    def fit(self, lines: tuple[float, float] = (59.5, 13.9), *, containment: float = CONTAINMENT,
            c: float = 60.0, t: float = 1.5, guess: tuple[float, float] = (1.6, 24.0), min_hits: int = 8,
            walk_ns: float = 100.0) -> Calibration:
        """The calibration the run implies (see the module's documentation for
        what it fixes and how); `report` says how it went.

        Args:
            lines: The two lines' energies in keV, the higher first (the
                virtual detector's: 59.5 and 13.9).
            containment: The share of the first line's energy its single-pixel
                hits keep (0.5 to 1): a property of the sensor.
            c, t: Every pixel's c (at least 0) and t (keV, below both
                features).
            guess: a and b of a typical pixel, for where to look for the
                lines; a pixel off by more than a tenth of the features' ToTs is
                missed.
            min_hits: Single-pixel hits a pixel needs near each line, at least 2.
            walk_ns: The time walk at the threshold, ns, for the calibration.

        Raises:
            ValueError: An argument out of its range, or a run without the
                clusters the fit needs (the message says which).
        """
        high, low = (float(x) for x in lines)
        if not (math.isfinite(high) and math.isfinite(low) and 0 < low < high):
            raise ValueError(f"lines must be two energies in keV, the higher first, got {lines!r}")
        if not 0.5 <= containment <= 1.0:
            raise ValueError(f"containment must be 0.5 to 1, got {containment!r}")
        if not (math.isfinite(c) and c >= 0 and math.isfinite(t) and t < 0.5 * containment * low):
            raise ValueError(f"c must be at least 0 and t below the second feature ({0.5 * containment * low:g} "
                             f"keV), got c={c!r}, t={t!r}")
        if not (guess[0] > 0 and math.isfinite(guess[1])):
            raise ValueError(f"guess must be (a above 0, b finite), got {guess!r}")
        min_hits = _count(min_hits, "min_hits", 2, 2**31)
        self.finish()
        sample = np.concatenate(self._sample) if self._sample else np.zeros(0, self._sample_dtype())
        first = containment * high
        windows = (high * (containment - 0.05), high * (containment + 0.05), low * 0.6, low * 0.9)
        fitter = _Fitter(self._spectra, self.chips, c, t, guess, min_hits)

        def full_peak(second: _Array) -> tuple[_Array, _Array, Calibration]:
            """Where each chip's clusters of four pixels peak, less the line's energy, and how many
            there are near it."""
            cal = fitter.calibration(first, second, self.threshold, walk_ns)
            rows = cluster(sample, window_ns=self._window_ns, calibration=cal)
            rows = rows[rows["size"] == 4]
            chip = _pixel_index(rows["x"], rows["y"]) // (CHIP_SIZE * CHIP_SIZE)
            offsets, near = np.full(self.chips, np.nan), np.zeros(self.chips)
            for index in range(self.chips):
                energy = rows["energy"][chip == index]
                counts, edges = np.histogram(energy, bins=np.arange(0.8 * high, 1.2 * high, 0.005 * high))
                offsets[index] = peak(counts, edges).position - high
                near[index] = np.count_nonzero(np.abs(energy - high) < 0.1 * high)
            return offsets, near, cal

        rows = cluster(sample, window_ns=self._window_ns, calibration=self._shape)
        fours = np.bincount(_pixel_index(rows["x"], rows["y"])[rows["size"] == 4] // (CHIP_SIZE * CHIP_SIZE),
                            minlength=self.chips)
        if fours.min() < 100:
            raise ValueError(f"the run has {fours.min()} clusters of four pixels on chip {int(np.argmin(fours))} "
                             f"among its first {len(sample):,} hits; the fit needs more than 100 near {high:g} keV: "
                             f"a longer run, or a flood of that line")
        second = np.full(self.chips, containment * low * 0.9)
        for _ in range(2):  # the features' windows follow the responses, which follow the second feature's energy
            fitter.measure(first, second, windows)
            # Each chip's cluster sums rise with its second feature's energy: a secant search from two guesses.
            x0, x1 = second * 0.97, second * 1.03
            y0, _, _ = full_peak(x0)
            y1, near, cal = full_peak(x1)
            short = ~np.isfinite(y0) | ~np.isfinite(y1) | (near < 100)
            if short.any():
                index = int(np.argmax(short))
                raise ValueError(f"the run has {int(near[index])} clusters of four pixels near {high:g} keV on chip "
                                 f"{index} among its first {len(sample):,} hits; the fit needs 100 at least: a "
                                 f"longer run, or a flood of that line")
            for _ in range(8):
                if np.all(np.abs(y1) < 0.0005 * high):
                    break
                step = np.where(y1 != y0, y1 * (x1 - x0) / np.where(y1 != y0, y1 - y0, 1.0), 0.0)
                x0, y0 = x1, y1
                x1 = np.clip(x1 - step, t + 0.5, first - 1.0)
                y1, near, cal = full_peak(x1)
            second = x1
        self.fitted_pixels = fitter.own
        self.report = FitReport(fitter.fitted, fitter.fallback, fitter.chips_fitted, self.hits, self.single, first,
                                tuple(float(x) for x in second), tuple(float(y + high) for y in y1),
                                int(near.sum()))
        return cal

    @staticmethod
    def _sample_dtype() -> np.dtype[np.void]:
        from vexasdk.events import PACKET_DTYPE

        return PACKET_DTYPE


_Array = npt.NDArray[np.float64]
_Features = tuple[_Array, _Array, _Array, _Array]  # each response's two features and the hits behind each


class _Fitter:
    """Per-pixel features from the single-pixel spectra, and a and b from them."""

    def __init__(self, spectra: npt.NDArray[np.uint16], chips: int, c: float, t: float, guess: tuple[float, float],
                 min_hits: int) -> None:
        self.spectra, self.chips, self.c, self.t, self.guess, self.min_hits = spectra, chips, c, t, guess, min_hits
        self.pooled = spectra.reshape(chips, -1, spectra.shape[1]).sum(axis=1, dtype=np.int64)
        self.fitted = self.fallback = self.chips_fitted = 0
        self.own = np.zeros((chips, CHIP_SIZE, CHIP_SIZE), bool)
        empty = np.zeros(0)
        self.pixel_features: _Features = (empty, empty, empty, empty)
        self.chip_features: _Features = self.pixel_features

    def tot(self, energy: float, a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return a * energy + b - self.c / (energy - self.t)

    def solve(self, features: _Features, first: float, second: _Array
              ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
        """a and b of the responses through both features, and whether each had the hits for it."""
        t1, n1, t2, n2 = features
        a = (t1 - t2 + self.c / (first - self.t) - self.c / (second - self.t)) / (first - second)
        b = t1 - a * first + self.c / (first - self.t)
        good = ((n1 >= self.min_hits) & (n2 >= self.min_hits) & np.isfinite(a) & np.isfinite(b)
                & (a > 0.05 * self.guess[0]))
        return a, b, good

    def measure(self, first: float, second: _Array, windows: tuple[float, float, float, float]) -> None:
        """Each chip's and each pixel's features, in windows of energy (`windows`: two per feature) seen
        through the response fitted so far."""
        bins = self.spectra.shape[1]
        # Where each chip's hits of the first line lie, looked for well around the guess's.
        a = np.full(self.chips, self.guess[0])
        b = np.full(self.chips, self.guess[1])
        expected = float(self.tot(first, a[:1], b[:1])[0])
        edges = np.arange(bins + 1) - 0.5
        for chip in range(self.chips):
            found = peak(self.pooled[chip], edges, within=(0.7 * expected, min(1.4 * expected, bins - 1.0)))
            if math.isfinite(found.position):
                a[chip] = (found.position - b[chip] + self.c / (first - self.t)) / first
        for _ in range(3):
            self.chip_features = self.features(self.pooled, windows, a, b)
            new_a, new_b, good = self.solve(self.chip_features, first, second)
            a, b = np.where(good, new_a, a), np.where(good, new_b, b)
        per_chip = len(self.spectra) // self.chips
        a, b = np.repeat(a, per_chip), np.repeat(b, per_chip)
        # Wide windows first, for the pixels far from their chip's response, then the windows asked for.
        wide = _widen(windows[:2], 2.5) + _widen(windows[2:], 1.5)
        for round_ in range(4):
            self.pixel_features = self.features(self.spectra, wide if round_ < 2 else windows, a, b, shrink=True)
            new_a, new_b, _ = self.solve(self.pixel_features, first, np.repeat(second, per_chip))
            usable = np.isfinite(new_a) & np.isfinite(new_b) & (new_a > 0.05 * self.guess[0])
            a, b = np.where(usable, new_a, a), np.where(usable, new_b, b)

    def features(self, spectra: npt.NDArray[np.integer[Any]], windows: tuple[float, float, float, float],
                 a: _Array, b: _Array, shrink: bool = False) -> _Features:
        t1, n1, s1 = self.median(spectra, self.tot(windows[0], a, b), self.tot(windows[1], a, b))
        t2, n2, s2 = self.median(spectra, self.tot(windows[2], a, b), self.tot(windows[3], a, b))
        if shrink:
            t1, t2 = self.shrink(t1, n1, s1, t2, n2, s2)
        return t1, n1, t2, n2

    def shrink(self, t1: _Array, n1: _Array, s1: _Array, t2: _Array, n2: _Array, s2: _Array
               ) -> tuple[_Array, _Array]:
        """Each pixel's features weighed against what its chip's pixels say,
        by how well its own hits tell them: a pixel with few hits leans on its
        chip, one with many on itself (the estimate of least mean square error
        for features spread normally about the chip's)."""
        t1, t2 = t1.copy(), t2.copy()
        per_chip = len(t1) // self.chips
        for chip in range(self.chips):
            part = slice(chip * per_chip, (chip + 1) * per_chip)
            p1, c1, q1, p2, c2, q2 = t1[part], n1[part], s1[part], t2[part], n2[part], s2[part]
            chip_t1, _, chip_t2, _ = (float(x[chip]) for x in self.chip_features)
            # A median of n hits of spread v errs by about pi/2 v / n (squared).
            v1 = q1.sum() / max(float(np.clip(c1 - 1, 0, None).sum()), 1.0)
            v2 = q2.sum() / max(float(np.clip(c2 - 1, 0, None).sum()), 1.0)
            e1 = np.pi / 2 * v1 / np.maximum(c1, 1.0)
            e2 = np.pi / 2 * v2 / np.maximum(c2, 1.0)
            well = (c2 >= self.min_hits) & (c1 >= self.min_hits)
            if well.sum() < 10:  # nothing to tell the pixels apart with: the chip's own
                p1[:], p2[:] = chip_t1, chip_t2
                continue
            spread2 = max(float(np.var(p2[c2 >= self.min_hits]) - np.mean(e2[c2 >= self.min_hits])), 1e-6)
            w2 = np.where(c2 > 0, spread2 / (spread2 + e2), 0.0)
            p2[:] = w2 * p2 + (1 - w2) * np.mean(p2[c2 >= self.min_hits])
            # The first feature as the second predicts it (b moves both), and its spread about that.
            slope, offset = np.polyfit(p2[well], p1[well], 1)
            predicted = offset + slope * p2
            spread1 = max(float(np.var(p1[well] - predicted[well]) - np.mean(e1[well])), 1e-6)
            w1 = np.where(c1 > 0, spread1 / (spread1 + e1), 0.0)
            p1[:] = w1 * p1 + (1 - w1) * predicted
        return t1, t2

    def calibration(self, first: float, second: _Array, threshold: npt.NDArray[np.float64],
                    walk_ns: float) -> Calibration:
        """The calibration of the features as `measure` found them, given the energies they stand for."""
        chip_a, chip_b, chip_good = self.solve(self.chip_features, first, second)
        chip_a[~chip_good], chip_b[~chip_good] = self.guess
        per_chip = len(self.spectra) // self.chips
        a, b, good = self.solve(self.pixel_features, first, np.repeat(second, per_chip))
        usable = np.isfinite(a) & np.isfinite(b) & (a > 0.05 * self.guess[0])
        a = np.where(usable, a, np.repeat(chip_a, per_chip))
        b = np.where(usable, b, np.repeat(chip_b, per_chip))
        self.own = good.reshape(self.chips, CHIP_SIZE, CHIP_SIZE)
        self.fitted, self.fallback = int(good.sum()), int((~good).sum())
        self.chips_fitted = int(chip_good.sum())
        shape = (self.chips, CHIP_SIZE, CHIP_SIZE)
        return Calibration(a.reshape(shape), b.reshape(shape), np.full(shape, self.c), np.full(shape, self.t),
                           threshold=threshold, walk_ns=walk_ns)

    @staticmethod
    def median(spectra: npt.NDArray[np.integer[Any]], low: npt.NDArray[np.float64], high: npt.NDArray[np.float64],
               chunk: int = 1 << 15) -> tuple[_Array, _Array, _Array]:
        """Each pixel's median ToT of its hits between `low` and `high`, how
        many it has there, and the sum of their squared distances from their
        mean. A step k counts as ToTs k - 1/2 to k + 1/2."""
        pixels, bins = spectra.shape
        middle = np.empty(pixels)
        count = np.empty(pixels)
        spread = np.empty(pixels)
        for start in range(0, pixels, chunk):  # a chunk at a time: 4 bytes a bin, not 4 x 262144
            part = slice(start, start + chunk)
            lo, hi = low[part, None], high[part, None]
            # Only the steps some pixel's window reaches.
            first = int(np.clip(np.floor(np.nanmin(lo)), 0, bins - 1))
            last = int(np.clip(np.ceil(np.nanmax(hi)) + 1, first + 1, bins))
            steps = np.arange(first, last, dtype=np.float64)
            share = np.clip(np.minimum(steps + 0.5, hi) - np.maximum(steps - 0.5, lo), 0.0, 1.0)
            weights = spectra[part, first:last] * share.astype(np.float32)
            cumulative = np.cumsum(weights, axis=1)
            total = cumulative[:, -1]
            half = total / 2
            k = np.minimum((cumulative < half[:, None]).sum(axis=1), last - first - 1)
            before = np.where(k > 0, np.take_along_axis(cumulative, np.maximum(k - 1, 0)[:, None], 1)[:, 0], 0.0)
            inside = np.take_along_axis(weights, k[:, None], 1)[:, 0]
            fraction = np.where(inside > 0, (half - before) / np.maximum(inside, 1e-30), 0.5)
            middle[part] = first + k - 0.5 + fraction
            count[part] = total
            mean = (weights @ steps.astype(np.float32)) / np.maximum(total, 1e-30)
            spread[part] = (weights * (steps - mean[:, None]) ** 2).sum(axis=1)
        return middle, count, spread


def _widen(window: tuple[float, ...], factor: float) -> tuple[float, float]:
    """`window` (low, high) `factor` times as wide about its middle."""
    middle, half = (window[0] + window[1]) / 2, (window[1] - window[0]) / 2
    return middle - factor * half, middle + factor * half


def _count(value: object, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not low <= value <= high:
        raise ValueError(f"{name} must be a whole number from {low:,} to {high:,}, got {value!r}")
    return int(value)


def _pixel_index(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
    """The pixel (chip * 65536 + row * 256 + column) at each centroid of a
    single-pixel cluster, from its place in the assembled image."""
    column = np.rint(x).astype(np.intp)
    row = np.rint(y).astype(np.intp)
    chip = (row // CHIP_SIZE) * CHIPS_PER_ROW + column // CHIP_SIZE
    return chip * CHIP_SIZE * CHIP_SIZE + (row % CHIP_SIZE) * CHIP_SIZE + column % CHIP_SIZE


def flat_field(device: Device, seconds: float, *, max_tot: int = 160, sample_hits: int = 4_000_000) -> FlatField:
    """Runs a ``dd_toa_tot`` acquisition of `seconds` on `device` under a
    flat field and feeds every block to a new `FlatField` (then `fit` it).

    Power, bias and thresholds as the device has them: set them first. The
    chips' thresholds are read for the calibration.

    Raises:
        ValueError: `seconds` out of its range (above 0, at most 1e9).
        RuntimeError: Blocks were lost on the way (the fit would miss them).
        SdkError: The device refused.
    """
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 < seconds <= 1e9:
        raise ValueError(f"seconds must be above 0 and at most 1e9, got {seconds!r}")
    flat = FlatField(len(device.chips), threshold=[chip.get_threshold() for chip in device.chips],
                     max_tot=max_tot, sample_hits=sample_hits)
    acquisition = device.acquire("dd_toa_tot", duration=seconds)
    try:
        for block in acquisition:
            flat.add(block.packets)
    finally:
        if acquisition.running:  # the loop was left by an exception: stop the detector too
            acquisition.abort()
    acquisition.wait()
    if acquisition.lost:
        raise RuntimeError(f"the flat-field run lost {acquisition.lost} blocks; run it again (a slower consumer "
                           f"than the detector?)")
    return flat


# ---- the command line: vexasdk calibrate ----


def add_command(commands: Any) -> None:
    """Registers ``vexasdk calibrate`` with the command line's subparsers."""
    from vexasdk.cli import _finite_float, _positive_float

    command = commands.add_parser(
        "calibrate", help="fit each pixel's energy calibration from a flat-field run and save it",
        description="Acquires dd_toa_tot under a flood of two known lines (the virtual detector's: 59.5 and "
                    "13.9 keV), fits each pixel's ToT-to-energy response and saves it as an HDF5 file that "
                    "vexasdk.events.Calibration.load reads.")
    command.add_argument("--duration", type=_positive_float, required=True, metavar="S",
                         help="seconds of flat field (a few hundred for every pixel of a quad at the virtual "
                              "detector's rate; shorter runs fit fewer pixels)")
    command.add_argument("--out", required=True, metavar="FILE.h5", help="the calibration file to write")
    command.add_argument("--overwrite", action="store_true", help="replace --out if it exists")
    command.add_argument("--lines", type=_lines, default=(59.5, 13.9), metavar="HIGH,LOW",
                         help="the two lines' energies in keV (default 59.5,13.9)")
    command.add_argument("--containment", type=_finite_float, default=CONTAINMENT, metavar="SHARE",
                         help=f"the share of the high line's energy its single-pixel hits keep, 0.5 to 1 "
                              f"(default {CONTAINMENT:g}, the virtual detector's sensor)")
    command.add_argument("--threshold", type=_finite_float, metavar="KEV",
                         help="every chip's threshold in keV (default: as the chips are)")
    command.add_argument("--device", metavar="CONN", help="connection string (default: the first device)")


def command(args: Any, out: Any) -> int:
    """``vexasdk calibrate``: the run, the fit, the file and a short summary."""
    import vexasdk
    from vexasdk.cli import UsageError, _bias_of, _check_new_file, _check_ranges, _settle_bias

    _check_new_file("--out", args.out, "cal.h5", args.overwrite)
    if not 0.5 <= args.containment <= 1.0:
        raise UsageError(f"--containment must be 0.5 to 1, got {args.containment:g}")
    with vexasdk.open_device(args.device) as device:
        _check_ranges(device, args.threshold, None)
        for unit in device.power_units:
            unit.power_up()
        bias = _bias_of(device, None)
        if bias is not None:
            _settle_bias(device, bias)
        for chip in device.chips:
            if args.threshold is not None:
                chip.set_threshold(args.threshold)
            chip.configure()
        print(f"Flat field on {args.device or 'the first device'}: {args.duration:g} s of dd_toa_tot", file=out,
              flush=True)
        flat = flat_field(device, args.duration)
    min_hits = 8
    calibration = flat.fit(args.lines, containment=args.containment, min_hits=min_hits)
    report = flat.report
    assert report is not None
    pixels = report.fitted + report.fallback
    calibration.save(args.out, overwrite=args.overwrite,
                     description=f"flat field of {args.duration:g} s, lines {args.lines[0]:g} and "
                                 f"{args.lines[1]:g} keV, {report.fitted} of {pixels} pixels fitted")
    lines = [f"  hits          {report.hits:,} ({report.single:,} single-pixel clusters)",
             f"  fitted        {report.fitted:,} of {pixels:,} pixels on their own hits (a and b each; c and t "
             f"alike for all)",
             f"  few hits      {report.fallback:,} pixels had under {min_hits} near a line: fitted leaning on "
             f"their chip's pixels, or given their chip's a and b where they had none ({report.chips_fitted} of "
             f"{calibration.chips} chips had enough hits together; the others the typical response)",
             f"  features      {report.first_kev:.2f} keV and, chip by chip, "
             f"{', '.join(f'{x:.2f}' for x in report.second_kev)} keV",
             f"  check         clusters of four pixels peak at "
             f"{', '.join(f'{x:.2f}' for x in report.full_peak_kev)} keV, chip by chip ({report.full_clusters:,} "
             f"of them; the line: {args.lines[0]:g} keV)",
             f"  saved         {args.out}"]
    print("\n".join(lines), file=out, flush=True)
    return 0


def _lines(text: str) -> tuple[float, float]:
    import argparse

    try:
        high, low = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be two energies in keV, such as 59.5,13.9, got {text!r}") from None
    if not (math.isfinite(high) and math.isfinite(low) and 0 < low < high):
        raise argparse.ArgumentTypeError(f"must be two positive energies, the higher first, got {text!r}")
    return high, low
