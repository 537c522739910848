"""Opening and closing devices: the code that makes device-context handles and
builds the controllers from the SDK's descriptions."""

from __future__ import annotations

import atexit
import contextlib
import enum
import threading

from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk._utils import SdkError
from vexasdk.chip_array import ChipArray
from vexasdk.pixel_chip import ChipInfo, ChipPolarity, ChipThresholdInfo, OperationalMode, PixelChip

_ENODEV = -19

DEFAULT_CONNECTION_STRING = "virtual:0"

# Contexts opened and not yet closed, so that the process never exits with an
# SDK thread still able to call into Python.
_open_contexts: dict[int, _DeviceContext] = {}
_open_lock = threading.Lock()


class Device:
    """An opened device.

    Holds the device-context handle that every controller of the device shares,
    and closes the SDK context when closed (also at interpreter exit). Use it as
    a context manager to close it on leaving the block.

    Attributes:
        connection_string (str): The connection string the device was opened with.
        context (_DeviceContext): The device-context handle.
        chips (list[PixelChip]): One controller per chip, in the SDK's order.
        chip_array (ChipArray): All chips as one; it holds `chips` itself.
    """

    def __init__(self, context: _DeviceContext, connection_string: str) -> None:
        self.context = context
        self.connection_string = connection_string
        self._closed = False
        self.chips = _build_chips(context)
        self.chip_array = ChipArray(self.chips, context)

    @property
    def closed(self) -> bool:
        """Whether the device has been closed."""
        return self._closed

    def close(self) -> None:
        """Closes the device: a running acquisition is aborted and awaited first.

        Closing twice does nothing. Controllers of a closed device fail with
        SdkError on their next call.
        """
        if self._closed:
            return
        self._closed = True
        key = _device_opener.sdk_address(self.context)
        with _open_lock:
            _open_contexts.pop(key, None)
        try:
            _device_opener.close(self.context)
        except SdkError as error:
            # Already closed behind our back (the virtual detector was reset).
            if error.code != _ENODEV:
                raise

    def __enter__(self) -> Device:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<vexasdk.Device {self.connection_string!r} ({state})>"


def _members(enumeration: type[enum.Enum], bits: int) -> list:
    # The SDK sets bit v for enumerator value v; a bit that names no member has
    # nothing to stand for it and is left out.
    return [member for member in enumeration if bits >> member.value & 1]


def _chip_info(context: _DeviceContext, chip: int) -> ChipInfo:
    (name, modes, polarities, min_kev, max_kev, noise_kev, min_raw, max_raw, calibrated, width,
     height) = _device_opener.chip_info(context, chip)
    return ChipInfo(name, _members(OperationalMode, modes), _members(ChipPolarity, polarities),
                    ChipThresholdInfo(min_kev, max_kev, noise_kev, min_raw, max_raw, calibrated), width, height)


def _build_chips(context: _DeviceContext) -> list[PixelChip]:
    return [PixelChip(chip, _chip_info(context, chip), context) for chip in range(_device_opener.chip_count(context))]


def open_device(connection_string: str | None = None) -> Device:
    """Opens a device.

    Args:
        connection_string (str | None): The connection string of an enumerated
            device; the first virtual device when None.

    Returns:
        Device: The opened device.

    Raises:
        SdkError: The SDK could not open the device or describe its chips.
    """
    if connection_string is None:
        connection_string = DEFAULT_CONNECTION_STRING
    if not isinstance(connection_string, str):
        raise TypeError(f"connection_string must be str, not {type(connection_string).__name__}")
    context = _device_opener.open(connection_string)
    try:
        device = Device(context, connection_string)
    except BaseException:
        with contextlib.suppress(SdkError):
            _device_opener.close(context)
        raise
    with _open_lock:
        _open_contexts[_device_opener.sdk_address(context)] = context
    return device


@atexit.register
def _close_all() -> None:
    # Runs before the interpreter finalises: afterwards no SDK thread may ask for
    # the interpreter lock, so acquisitions and monitor delivery stop here.
    with _open_lock:
        contexts = list(_open_contexts.values())
        _open_contexts.clear()
    for context in contexts:
        try:
            _device_opener.close(context)
        except Exception:
            pass
