"""The particles behind generated data, and how their hits' arrival times walk."""

from __future__ import annotations

import enum

import numpy as np
import numpy.typing as npt

from vexasdk.pixels import TOA_NS
from vexasdk.sim._native import _c, _check, _declare, _i32, _index, _int_in, _ptr, _u32, _u64


class ParticleKind(enum.IntEnum):
    """What a truth record's particle is (its ``kind`` field)."""

    photo_peak = 0
    """A 59.5 keV photon."""
    line = 1
    """A 13.9 keV fluorescence photon."""
    continuum = 2
    """A scattered photon, 3 to 55 keV."""
    track = 3
    """A minimum-ionising particle crossing the sensor: a track of up to four pixels."""
    electron = 4
    """A 200 keV beam electron of a scan (the binned modes)."""


TRUTH_DTYPE = np.dtype([("x", "<f8"), ("y", "<f8"), ("toa", "<f8"), ("energy", "<f8"), ("kind", "u1"),
                        ("pixels", "<u4"), ("block", "<u8"), ("dx", "<f8"), ("dy", "<f8")])
"""The fields `truth` answers: see there."""

# vexasdk_sim_truth, as the virtual detector records it.
_RECORD_DTYPE = np.dtype({"names": ["x", "y", "dx", "dy", "energy", "toa", "block", "pixels", "kind"],
                          "formats": ["<f8", "<f8", "<f8", "<f8", "<f8", "<u8", "<u8", "<u4", "u1"],
                          "offsets": [0, 8, 16, 24, 32, 40, 48, 56, 60], "itemsize": 64})

MAX_PARTICLES = 2**26
"""The most particles one acquisition's truth can hold."""

_sim_record_truth = _declare("vexasdk_sim_record_truth", _i32, _u32, _i32, _u64)
_sim_get_truth = _declare("vexasdk_sim_get_truth", _i32, _u32, _ptr, _u64, _c.POINTER(_u64), _c.POINTER(_u64))


def record_truth(on: bool, max_particles: int = 1_000_000, device: int = 0) -> None:
    """Whether the next acquisitions record the particles behind their
    generated data (off out of the box and after `reset`, so that generation
    costs nothing more), and at most how many (1 to MAX_PARTICLES); those past
    the limit are counted by `truth_dropped`. Each acquisition starts a new
    record; turning recording off keeps the last one readable."""
    if not isinstance(on, bool):
        raise TypeError(f"on must be bool, got {type(on).__name__}")
    limit = _int_in(max_particles, "max_particles", 1, MAX_PARTICLES)
    _check(_sim_record_truth(_index(device), 1 if on else 0, limit), "Failed to set truth recording.")


def _read(device: int) -> tuple[np.ndarray, int]:
    """The device's truth records as recorded, and how many were dropped."""
    recorded, dropped = _u64(), _u64()
    records = np.zeros(0, _RECORD_DTYPE)
    while True:
        _check(_sim_get_truth(_index(device), records.ctypes.data if len(records) else None, len(records),
                              _c.byref(recorded), _c.byref(dropped)), "Failed to read the truth.")
        # A running acquisition may have recorded more meanwhile: take a snapshot that holds all.
        if recorded.value <= len(records):
            return records[:recorded.value], int(dropped.value)
        records = np.zeros(recorded.value + recorded.value // 8 + 1024, _RECORD_DTYPE)


def truth(device: int = 0) -> np.recarray:
    """The particles behind the data the device's last (or running)
    acquisition generated, by arrival time, when `record_truth` was on.

    A particle counts when the generated blocks hold hits of it: each arrived
    in the detector time of the block that holds all its hits, so none is
    split between blocks, nor cut at the run's end (its hits' ToAs may lie up
    to 65 ticks past the block's end). Particles whose charge made no hit
    (under threshold, masked, off the chips, not collected) are not recorded;
    queued blocks have none. A particle hit in a frame mode may share a pixel
    with another and then report there once.

    Returns:
        np.recarray: Records of TRUTH_DTYPE:

        - ``x``, ``y``: where its charge landed, as image column and row of the
          assembled detector image that `vexasdk.pixels.detector_coordinates`
          numbers, sub-pixel, with pixel centres at whole numbers (pixel column
          c spans c - 0.5 to c + 0.5): a symmetric cluster's ToT-weighted
          centroid of those numbers lands on (x, y). A track's is its middle.
        - ``toa``: nanoseconds on the packets' clock (ToA ticks x 1.5625): the
          tick its hits are timed from, each hit's ToA being that plus its time
          walk (`time_walk_ns`). In the binned modes, the start of its scan
          position's dwell.
        - ``energy``: keV deposited in the sensor: all of the particle's on a
          sensor depleted, the collected share below depletion. Charge that
          spreads beyond the chips is counted too.
        - ``kind``: a ParticleKind.
        - ``pixels``: the pixel hits it made (before a frame merges a pixel's).
        - ``block``: the generated block that holds its hits, counted from 0.
        - ``dx``, ``dy``: pixels a track runs from end to end (small for beam
          electrons, 0 for photons).
    """
    records, _ = _read(device)
    out = np.zeros(len(records), TRUTH_DTYPE)
    for name in TRUTH_DTYPE.names or ():
        out[name] = records[name]
    out["toa"] *= TOA_NS
    # Delivery threads record block by block, not necessarily in time order.
    return out[np.argsort(out["toa"], kind="stable")].view(np.recarray)


def truth_dropped(device: int = 0) -> int:
    """Particles of the last (or running) acquisition that `truth` does not
    hold: past the limit `record_truth` set."""
    return _read(device)[1]


# The time walk: a hit whose energy cleared its pixel's threshold by `over`
# keV is timed floor(64 / (1 + over) + 2 u) ticks after its particle, u
# uniform in [0, 1).
_WALK_TICKS = 64.0


def time_walk_ns(over_kev: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The mean delay, in ns, of the ToA of a hit whose energy cleared its
    pixel's threshold by `over_kev` keV (negative counts as 0) behind its
    particle's arrival: 100 / (1 + over) + 0.78125 ns. Each hit's own delay is
    random: floor(64 / (1 + over) + 2 u) ticks of 1.5625 ns, u uniform in
    [0, 1), which is one of the three whole ticks around the mean."""
    over = np.maximum(np.asarray(over_kev, dtype=np.float64), 0.0)
    # floor(w + 2u) has the mean w + 1/2 whatever the fraction of w.
    result: npt.NDArray[np.float64] = (_WALK_TICKS / (1.0 + over) + 0.5) * TOA_NS
    return result
