"""Hits joined into clusters and reduced to centroids, without the interpreter lock."""

from collections.abc import Buffer
from typing import Literal, overload

import numpy as np
import numpy.typing as npt

cluster_dtype: np.dtype[np.void]

class Engine:
    """The clustering state vexasdk.events.Clusterer drives."""

    def __init__(self, window_ticks: int, neighbours: int, chips: int, disorder_ticks: int, max_span_ticks: int,
                 energy_weight: bool, calibration: Buffer | None = None, thresholds: Buffer | None = None,
                 walk_ns: float = 0.0) -> None: ...
    @overload
    def add(self, packets: Buffer, final: bool, labels: Literal[False] = False) -> npt.NDArray[np.void]: ...
    @overload
    def add(self, packets: Buffer, final: bool,
            labels: Literal[True]) -> tuple[npt.NDArray[np.void], npt.NDArray[np.int64]]: ...
    @overload
    def add(self, packets: Buffer, final: bool,
            labels: bool = False) -> npt.NDArray[np.void] | tuple[npt.NDArray[np.void], npt.NDArray[np.int64]]:
        """The clusters finished once `packets` (16-byte ToA-ToT records) are added, as cluster_dtype rows in order of
        their earliest hit; with `final`, every cluster. With `labels` (and `final`), also each packet's row (int64;
        -1 for a packet skipped). Runs without the interpreter lock."""
    def counts(self) -> tuple[int, int, int, int, int, int]:
        """Hits received, clusters given out, late hits dropped, hits of addresses past the chips, clusters cut at
        max_span, and hits held now."""
