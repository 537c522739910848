"""Python interface to Timepix3 pixel detectors.

Open a device with :func:`open_device` and acquire with
:meth:`Device.acquire`; without hardware you get the virtual detector, which
:mod:`vexasdk.sim` scripts for tests and demos. :mod:`vexasdk.pixels` decodes
pixel addresses and units and builds hit maps and spectra.
"""

import types

from vexasdk._device import Device, open_device
from vexasdk._t3_binning import BinnedDataCb, BinnedEvcountsCb, BinnedItotsCb, BinnedParams
from vexasdk._t3_itot_evcount import FbItotEvcountCb
from vexasdk._t3_toa_tot import DdToaTotCb, DdToaTotMetadata, FbToaTotCb
from vexasdk._utils import SdkError
from vexasdk.acquisition import DATA_MODES, Acquisition, AcquisitionCounts, Block, BlockCallback
from vexasdk.enumeration import DeviceProperties, enumerate_devices
from vexasdk.pixel_chip import ChipPolarity, OperationalMode

__all__ = [
    "DATA_MODES", "Acquisition", "AcquisitionCounts", "BinnedDataCb", "BinnedEvcountsCb", "BinnedItotsCb",
    "BinnedParams", "Block", "BlockCallback", "ChipPolarity", "DdToaTotCb", "DdToaTotMetadata", "Device",
    "DeviceProperties", "FbItotEvcountCb", "FbToaTotCb", "OperationalMode", "SdkError", "enumerate_devices",
    "open_device", "sim",
]


def __getattr__(name: str) -> types.ModuleType:
    # The harness loads the SDK library through ctypes; only those who use it pay.
    if name == "sim":
        import vexasdk.sim as sim

        return sim
    raise AttributeError(f"module 'vexasdk' has no attribute {name!r}")
