import logging as logging
from typing import Any, Protocol as Protocol

import numpy as np
import numpy.typing as npt

__pyx_capi__: dict[str, Any]

_itot_evcount_dtype: np.dtype[np.void]

class FbItotEvcountCb(Protocol):
    """Frame-based iToT-evcount data callback."""

    def __call__(self, packets: npt.NDArray[np.void]) -> None: ...
