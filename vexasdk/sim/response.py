"""Pixels that differ: each pixel's ToT surrogate and threshold."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from vexasdk.sim._native import _c, _check, _declare, _i32, _index, _number_in, _ptr, _u32, _u64_value
from vexasdk.sim.chips import _chip_infos

SIDE = 256
"""Pixels along each side of a chip's maps: those that take hits."""
UNIFORM = {"a": 1.6, "b": 24.0, "c": 60.0, "t": 1.5}
"""The surrogate's constants of every pixel out of the box (and after `reset`)."""

_sim_set_pixel_response = _declare("vexasdk_sim_set_pixel_response", _i32, _u32, _u32, _ptr, _ptr, _ptr, _ptr, _ptr,
                                   _c.c_size_t)
_sim_get_pixel_response = _declare("vexasdk_sim_get_pixel_response", _i32, _u32, _u32, _ptr, _ptr, _ptr, _ptr, _ptr,
                                   _c.c_size_t)


class PixelCalibration(NamedTuple):
    """Every pixel's response: arrays of shape (chips, 256, 256), indexed
    [chip, row, column] as pixel addresses number them.

    A pixel that measured E keV reports ToT = a E + b - c / (E - t) (25 ns
    units, rounded, at least 1 and at most 1023; 1 for E at most t + 0.01),
    and fires when E, noise included, reaches its chip's threshold plus
    ``threshold_offsets`` keV.
    """

    a: npt.NDArray[np.float64]
    """ToT per keV, far above threshold; above 0."""
    b: npt.NDArray[np.float64]
    """ToT."""
    c: npt.NDArray[np.float64]
    """ToT keV: how far the ToT bends down near threshold; at least 0."""
    t: npt.NDArray[np.float64]
    """keV: where it would bend to minus infinity."""
    threshold_offsets: npt.NDArray[np.float64]
    """keV above the chip's threshold."""


def pixel_calibration(device: int = 0) -> PixelCalibration:
    """Every pixel's response, as the device's data follows it now."""
    chips = len(_chip_infos(device))
    maps = [np.empty((chips, SIDE, SIDE)) for _ in PixelCalibration._fields]
    for chip in range(chips):
        arrays = [m[chip] for m in maps]
        _check(_sim_get_pixel_response(_index(device), chip, *(a.ctypes.data for a in arrays), SIDE * SIDE),
               "Failed to read the pixels' response.")
    return PixelCalibration(*maps)


def _map(values: Any, name: str, chips: int, low: float | None = None, above: bool = False) -> np.ndarray:
    """`values` as a C-contiguous float64 array of shape (chips, 256, 256),
    finite and at least (or, `above`, more than) `low`."""
    array = np.ascontiguousarray(values, dtype=np.float64)
    if array.shape != (chips, SIDE, SIDE):
        raise ValueError(f"{name} must have shape {(chips, SIDE, SIDE)} (chips, rows, columns), got {array.shape}")
    bad = ~np.isfinite(array)
    if low is not None:
        bad |= array <= low if above else array < low
    if bad.any():
        where = tuple(int(i) for i in np.argwhere(bad)[0])
        valid = "finite" if low is None else f"finite and {'above' if above else 'at least'} {low:g}"
        raise ValueError(f"{name} must be {valid}, got {float(array[where])!r} at [chip, row, column] {list(where)}")
    return array


def set_pixel_calibration(a: npt.ArrayLike, b: npt.ArrayLike, c: npt.ArrayLike, t: npt.ArrayLike,
                          threshold_offsets: npt.ArrayLike | None = None, *, device: int = 0) -> None:
    """Gives every pixel its own ToT surrogate ToT = a E + b - c / (E - t) and,
    with `threshold_offsets`, its own threshold (None keeps the offsets the
    pixels have). Arrays of shape (chips, 256, 256), [chip, row, column]: see
    PixelCalibration. The data follows from the next block on.

    Raises:
        ValueError: A map of another shape, a value that is not finite, an `a`
            at or below 0 or a `c` below 0 (ToT must rise with energy).
    """
    chips = len(_chip_infos(device))
    maps = [_map(a, "a", chips, 0.0, above=True), _map(b, "b", chips), _map(c, "c", chips, 0.0),
            _map(t, "t", chips)]
    if threshold_offsets is None:
        offsets = pixel_calibration(device).threshold_offsets
    else:
        offsets = _map(threshold_offsets, "threshold_offsets", chips)
    maps.append(offsets)
    for chip in range(chips):
        _check(_sim_set_pixel_response(_index(device), chip, *(m[chip].ctypes.data for m in maps), SIDE * SIDE),
               "Failed to set the pixels' response.")


def set_threshold_dispersion(offsets_kev: npt.ArrayLike, device: int = 0) -> None:
    """Gives every pixel its own threshold: its chip's plus `offsets_kev` keV,
    finite, shape (chips, 256, 256), [chip, row, column]. The surrogates stay
    as they are."""
    now = pixel_calibration(device)
    set_pixel_calibration(now.a, now.b, now.c, now.t, offsets_kev, device=device)


def uniform_pixels(device: int = 0) -> None:
    """Back to pixels as they come out of the box (as after `reset`): every one
    with the surrogate of UNIFORM, at its chip's threshold."""
    for chip in range(len(_chip_infos(device))):
        _check(_sim_set_pixel_response(_index(device), chip, None, None, None, None, None, 0),
               "Failed to set the pixels' response.")


def vary_pixels(*, spread_a: float = 0.05, spread_b: float = 1.5, spread_c: float = 10.0, spread_t: float = 0.2,
                threshold_spread_kev: float = 0.3, seed: int = 0, device: int = 0) -> PixelCalibration:
    """Draws every pixel's response around UNIFORM and sets it: Gaussian, with
    these standard deviations (0 to 100 each; a's in ToT per keV, b's in ToT,
    c's in ToT keV, t's and the thresholds' in keV), the same maps for the
    same `seed` (0 to 2**64-1) and chip count. Each is clipped to 4 standard
    deviations, `a` to at least 0.1 and `c` to at least 0, and `t` to 0 to
    3 keV, below any threshold worth setting: every pixel's ToT then rises
    with energy over everything it can measure.

    Returns:
        PixelCalibration: The maps set.
    """
    spreads = {name: _number_in(value, name, 0.0, 100.0) for name, value in (
        ("spread_a", spread_a), ("spread_b", spread_b), ("spread_c", spread_c), ("spread_t", spread_t),
        ("threshold_spread_kev", threshold_spread_kev))}
    rng = np.random.default_rng(_u64_value(seed, "seed"))
    shape = (len(_chip_infos(device)), SIDE, SIDE)

    def draw(mean: float, spread: float) -> np.ndarray:
        return mean + spread * np.clip(rng.standard_normal(shape), -4.0, 4.0)

    maps = PixelCalibration(
        a=np.maximum(draw(UNIFORM["a"], spreads["spread_a"]), 0.1),
        b=draw(UNIFORM["b"], spreads["spread_b"]),
        c=np.maximum(draw(UNIFORM["c"], spreads["spread_c"]), 0.0),
        t=np.clip(draw(UNIFORM["t"], spreads["spread_t"]), 0.0, 3.0),
        threshold_offsets=draw(0.0, spreads["threshold_spread_kev"]))
    set_pixel_calibration(*maps, device=device)
    return maps
