"""Data-driven and frame-based ToA-ToT blocks delivered to Python callbacks."""

import logging as logging
from typing import Any, NamedTuple as NamedTuple, Protocol as Protocol

import numpy as np
import numpy.typing as npt

# The module annotates arrays with its dtypes (npt.NDArray[_toa_tot_dtype]);
# a type checker takes only scalar types there, so records are np.void here.

_toa_tot_dtype: np.dtype[np.void]
_tdc_dtype: np.dtype[np.uint64]

# C trampolines "dd_toa_tot_cb" and "fb_toa_tot_cb", as capsules.
__pyx_capi__: dict[str, Any]

class DdToaTotMetadata(NamedTuple):
    """Data-driven ToA-ToT metadata."""

    shutter_start: np.uint64
    tdcs: npt.NDArray[np.object_]  # element i: the timestamps of TDC i (np.uint64)

class DdToaTotCb(Protocol):
    """Data-driven ToA-ToT data callback."""

    def __call__(self, packets: npt.NDArray[np.void], metadata: DdToaTotMetadata) -> None: ...

class FbToaTotCb(Protocol):
    """Frame-based ToA-ToT data callback."""

    def __call__(self, packets: npt.NDArray[np.void]) -> None: ...
