"""Binned scanning data (4D-STEM) delivered to Python callbacks."""

import logging as logging
from typing import Any, NamedTuple as NamedTuple, Protocol as Protocol

import awkward as ak  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

# The module annotates arrays with its dtypes (npt.NDArray[_binned_itot_dtype]);
# a type checker takes only scalar types there.

_binned_evcount_dtype: np.dtype[np.uint64]
_binned_itot_dtype: np.dtype[np.uint64]
_binned_packet_dtype: np.dtype[np.void]

# C trampolines "binned_data_cb", "binned_evcount_cb" and "binned_itot_cb", as capsules.
__pyx_capi__: dict[str, Any]

class BinnedEvcountsCb(Protocol):
    """Binned event counts data callback."""

    def __call__(self, evcounts: npt.NDArray[np.uint64]) -> None: ...

class BinnedItotsCb(Protocol):
    """Binned iToTs data callback."""

    def __call__(self, itots: npt.NDArray[np.uint64]) -> None: ...

class BinnedDataCb(Protocol):
    """Binned packets + evcounts + iToTs data callback."""

    def __call__(
        self,
        evcounts: npt.NDArray[np.uint64],
        itots: npt.NDArray[np.uint64],
        packets: ak.Array,
    ) -> None: ...

class BinnedParams(NamedTuple):
    """Acquisition parameters of binning modes."""

    width: int
    height: int
    dwell_time_ns: int
