"""Pixel chip functionality."""

from enum import Enum as Enum
from typing import Any, NamedTuple as NamedTuple, SupportsInt

import numpy as np
import numpy.typing as npt

from vexasdk._device_context import _DeviceContext

__test__: dict[str, Any]

class ChipThresholdInfo(NamedTuple):
    min_kev: float
    max_kev: float
    noise_kev: float
    min_raw: int
    max_raw: int
    is_calibrated: bool

class OperationalMode(Enum):
    evcount_8bit = 1
    evcount_10bit = 2
    evcount_14bit = 3
    itot_8_bit = 4
    itot_10_bit = 5
    itot_14_bit = 6
    dd_toa_tot = 7
    fb_toa_tot = 8
    fb_itot_evcount = 9
    dd_toa_tot_sorted = 10
    binned_data = 11
    binned_evcount = 12
    binned_itot = 13

class ChipPolarity(Enum):
    holes_collection = 1
    electrons_collection = 2

class ChipInfo(NamedTuple):
    chip_name: str
    supported_modes: list[OperationalMode]
    supported_polarities: list[ChipPolarity]
    threshold_info: ChipThresholdInfo
    width: int
    height: int

class ChipSettings(NamedTuple):
    polarity: ChipPolarity
    mode: OperationalMode

class PixelChip:
    """Pixel chip."""

    def __init__(self, chip_id: SupportsInt, chip_info: ChipInfo, context: _DeviceContext) -> None: ...
    def info(self) -> ChipInfo: ...
    def settings(self) -> ChipSettings: ...
    def configure(self) -> None: ...
    def set_polarity(self, polarity: ChipPolarity) -> None: ...
    def get_threshold(self) -> float: ...
    def set_threshold(self, thr_kev: float) -> None: ...
    def get_raw_threshold(self) -> int: ...
    def set_raw_threshold(self, thr_raw: int) -> None: ...
    def get_pixel_mask(self) -> npt.NDArray[np.uint8]: ...
    def set_pixel_mask(self, pixel_mask: npt.NDArray[np.uint8]) -> None: ...
