"""Python interface to Timepix3 pixel detectors.

Open a device with :func:`open_device` and acquire with
:meth:`Device.acquire`; without hardware you get the virtual detector, which
:mod:`vexasdk.sim` scripts for tests and demos. :mod:`vexasdk.pixels` decodes
pixel addresses and units and builds hit maps and spectra.
"""

import os
import sys
import types
from importlib.machinery import EXTENSION_SUFFIXES


def _find_native_modules() -> None:
    """Run from a source checkout (`python -m vexasdk` at the repository's
    root), this folder has the Python code but not the native modules, which
    the build installed: the installed package lends them."""
    def built(folder: str) -> bool:
        return any(os.path.exists(os.path.join(folder, "_utils" + suffix)) for suffix in EXTENSION_SUFFIXES)

    here = os.path.dirname(os.path.abspath(__file__))
    if built(here):
        return
    for entry in sys.path:
        there = os.path.join(os.path.abspath(entry or os.curdir), "vexasdk")
        if there != here and built(there):
            __path__.append(there)
            return
    raise ImportError(f"vexasdk's native modules are not built beside {here}, nor installed: run `make install` "
                      f"(or `pip install .`) and use that environment's Python (`source .venv/bin/activate`)")


_find_native_modules()

from vexasdk._device import DEPLETION_BIAS, OPERATING_BIAS, Device, SensorNotDepleted, open_device
from vexasdk._t3_binning import BinnedDataCb, BinnedEvcountsCb, BinnedItotsCb, BinnedParams
from vexasdk._t3_itot_evcount import FbItotEvcountCb
from vexasdk._t3_toa_tot import DdToaTotCb, DdToaTotMetadata, FbToaTotCb
from vexasdk._utils import SdkError
from vexasdk.acquisition import (DATA_MODES, Acquisition, AcquisitionCounts, BinnedDataBlock, BinnedTotalsBlock, Block,
                                 BlockCallback, FrameBlock, Packets, ToaTotBlock)
from vexasdk.enumeration import DeviceProperties, enumerate_devices
from vexasdk.pixel_chip import ChipPolarity, OperationalMode

__all__ = [
    "DATA_MODES", "DEPLETION_BIAS", "OPERATING_BIAS", "SensorNotDepleted", "Acquisition", "AcquisitionCounts",
    "BinnedDataBlock", "BinnedDataCb", "BinnedEvcountsCb", "BinnedItotsCb", "BinnedParams", "BinnedTotalsBlock",
    "Block", "BlockCallback", "ChipPolarity", "DdToaTotCb", "DdToaTotMetadata", "Device", "DeviceProperties",
    "FbItotEvcountCb", "FbToaTotCb", "FrameBlock", "OperationalMode", "Packets", "SdkError", "ToaTotBlock",
    "enumerate_devices", "open_device", "sim",
]


def __getattr__(name: str) -> types.ModuleType:
    # The harness loads the SDK library through ctypes; only those who use it pay.
    if name == "sim":
        import vexasdk.sim as sim

        return sim
    raise AttributeError(f"module 'vexasdk' has no attribute {name!r}")
