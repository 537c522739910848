"""Python interface to Timepix3 pixel detectors.

Open a device with :func:`open_device`; without hardware you get the virtual
detector, which :mod:`vexasdk.sim` scripts for tests and demos.
"""

from vexasdk._utils import SdkError
from vexasdk._device import Device, open_device
from vexasdk.enumeration import enumerate_devices

__all__ = ["Device", "SdkError", "enumerate_devices", "open_device", "sim"]


def __getattr__(name: str):
    # The harness loads the SDK library through ctypes; only those who use it pay.
    if name == "sim":
        import vexasdk.sim as sim

        return sim
    raise AttributeError(f"module 'vexasdk' has no attribute {name!r}")
