"""Acquisition runner functionality."""

from typing import Any

from vexasdk._device_context import _DeviceContext
from vexasdk._t3_binning import BinnedDataCb as BinnedDataCb
from vexasdk._t3_binning import BinnedEvcountsCb as BinnedEvcountsCb
from vexasdk._t3_binning import BinnedItotsCb as BinnedItotsCb
from vexasdk._t3_binning import BinnedParams as BinnedParams
from vexasdk._t3_itot_evcount import FbItotEvcountCb as FbItotEvcountCb
from vexasdk._t3_toa_tot import DdToaTotCb as DdToaTotCb
from vexasdk._t3_toa_tot import FbToaTotCb as FbToaTotCb
from vexasdk.chip_array import ChipArray

__pyx_capi__: dict[str, Any]

class AcquisitionRunner:
    """Acquisition runner."""

    def __init__(self, chip_array: ChipArray, context: _DeviceContext) -> None: ...
    def start(
        self,
        callback: DdToaTotCb | FbToaTotCb | FbItotEvcountCb | BinnedDataCb | BinnedEvcountsCb | BinnedItotsCb,
        params: BinnedParams | None = None,
    ) -> None: ...
    def await_end(self) -> None: ...
    def abort(self) -> None: ...
    def trigger(self) -> None: ...
