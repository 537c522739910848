"""Clusters held against the truth of the run that made them: how many
particles were found whole, and how well their centroids place them."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from vexasdk.sim.truth import ParticleKind

__all__ = ["ClusterScore", "isolated", "score_clusters"]

X_RAYS = (ParticleKind.photo_peak, ParticleKind.line, ParticleKind.continuum)


class ClusterScore(NamedTuple):
    """How clusters found the isolated X-ray photons of a run.

    Attributes:
        isolated (int): X-ray photons with no other particle near them in
            space and time (see `score_clusters`).
        found_once (float): The share of them found as exactly one cluster.
        missed (int): Of them, found in no cluster.
        split (int): Of them, found in more than one.
        photo_peak (int): Isolated photo-peak photons found once: those the
            centroid figures take.
        centroid_rms (float): Root mean square of the distance from their
            clusters' centroids to where they struck, pixels (NaN for none).
        centroid_rms_x (float): Along columns alone, pixels.
        centroid_rms_y (float): Along rows alone, pixels.
    """

    isolated: int
    found_once: float
    missed: int
    split: int
    photo_peak: int
    centroid_rms: float
    centroid_rms_x: float
    centroid_rms_y: float


def _pairs_within(toa: npt.NDArray[np.float64], window: float) -> list[tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]]:
    """Index pairs (i, i + k) of `toa` (sorted) no more than `window` apart, by k."""
    pairs = []
    k = 1
    while k < len(toa):
        near = np.flatnonzero(toa[k:] - toa[:-k] <= window)
        if not len(near):
            break
        pairs.append((near, near + k))
        k += 1
    return pairs


def isolated(truth: npt.NDArray[np.void], distance_px: float = 5.0, time_ns: float = 2000.0) -> npt.NDArray[np.bool_]:
    """Which X-ray photons of `truth` (by arrival, as `vexasdk.sim.truth`
    gives it) have no other particle within `distance_px` pixels and
    `time_ns` of them."""
    toa = np.asarray(truth["toa"], np.float64)
    if np.any(np.diff(toa) < 0):
        raise ValueError("truth must be sorted by toa, as vexasdk.sim.truth gives it")
    alone = np.isin(truth["kind"], X_RAYS)
    for first, second in _pairs_within(toa, time_ns):
        # A track's extent counts: it may reach a photon from its far end.
        reach = distance_px + np.hypot(truth["dx"][first], truth["dy"][first]) + np.hypot(truth["dx"][second],
                                                                                        truth["dy"][second])
        close = np.hypot(truth["x"][first] - truth["x"][second], truth["y"][first] - truth["y"][second]) <= reach
        alone[first[close]] = False
        alone[second[close]] = False
    result: npt.NDArray[np.bool_] = alone
    return result


def score_clusters(rows: npt.NDArray[np.void], truth: npt.NDArray[np.void], *, match_px: float = 2.0,
                   before_ns: float = 20.0, after_ns: float = 250.0, distance_px: float = 5.0,
                   time_ns: float = 2000.0) -> ClusterScore:
    """How `rows` (CLUSTER_DTYPE, from `vexasdk.events.cluster` or a
    `Clusterer`) found the particles of `truth` (`vexasdk.sim.truth()` of the
    same acquisition).

    Each X-ray photon with no other particle within `distance_px` pixels and
    `time_ns` (so that whatever clusters lie near it are its own) is matched
    to the clusters whose centroid lies within `match_px` pixels of where it
    struck and whose time lies from `before_ns` before its arrival to
    `after_ns` after (the time walk delays a hit up to about 100 ns).
    """
    alone = np.flatnonzero(isolated(truth, distance_px, time_ns))
    order = np.argsort(rows["toa"], kind="stable")
    toa, x, y = rows["toa"][order], rows["x"][order], rows["y"][order]
    t = truth[alone]
    first = np.searchsorted(toa, t["toa"] - before_ns, side="left")
    last = np.searchsorted(toa, t["toa"] + after_ns, side="right")
    found = np.zeros(len(alone), np.int64)
    nearest = np.full(len(alone), -1, np.int64)
    for k in range(int((last - first).max(initial=0))):
        candidate = first + k
        inside = candidate < last
        c = candidate[inside]
        close = np.hypot(x[c] - t["x"][inside], y[c] - t["y"][inside]) <= match_px
        hits = np.flatnonzero(inside)[close]
        found[hits] += 1
        nearest[hits] = c[close]
    once = found == 1
    peak = once & (t["kind"] == ParticleKind.photo_peak)
    dx = x[nearest[peak]] - t["x"][peak]
    dy = y[nearest[peak]] - t["y"][peak]
    def rms(squares: npt.NDArray[np.float64]) -> float:
        return float(np.sqrt(np.mean(squares))) if len(squares) else math.nan

    return ClusterScore(len(alone), float(once.mean()) if len(alone) else math.nan, int((found == 0).sum()),
                        int((found > 1).sum()), int(peak.sum()), rms(dx ** 2 + dy ** 2), rms(dx ** 2), rms(dy ** 2))
