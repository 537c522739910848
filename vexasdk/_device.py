"""Opening and closing devices: the code that makes device-context handles and
builds the controllers from the SDK's descriptions."""

from __future__ import annotations

import enum

from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk._power_unit import _PowerUnit
from vexasdk._utils import SdkError
from vexasdk.acquisition_runner import AcquisitionRunner
from vexasdk.bias_source import BiasInfo, BiasSource
from vexasdk.chip_array import ChipArray
from vexasdk.enumeration import enumerate_devices
from vexasdk.monitor_channel import MonitorChannel, MonitorInfo, MonitorRange
from vexasdk.pixel_chip import ChipInfo, ChipPolarity, ChipThresholdInfo, OperationalMode, PixelChip


_ENODEV = -19

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
        acquisition_runner (AcquisitionRunner): Starts, awaits, aborts and
            triggers the device's acquisitions, in the chips' current mode.
        bias_sources (list[BiasSource]): The device's bias sources, in index order.
        power_units (list[_PowerUnit]): The device's power units, in index order.
        monitors (list[MonitorChannel]): One channel per monitor of the device,
            in the order the SDK lists them.
    """

    def __init__(self, context: _DeviceContext, connection_string: str) -> None:
        self.context = context
        self.connection_string = connection_string
        self.chips: list[PixelChip] = []
        self.chip_array = ChipArray(self.chips, context)
        self.acquisition_runner = AcquisitionRunner(self.chip_array, context)
        self.bias_sources: list[BiasSource] = []
        self.power_units: list[_PowerUnit] = []
        self.monitors: list[MonitorChannel] = []
        self._closed = False

    @property
    def closed(self) -> bool:
        """Whether the device has been closed."""
        return self._closed

    def close(self) -> None:
        """Closes the device: a running acquisition is aborted and awaited first.

        Once it has returned, none of the device's callbacks runs any more.
        Closing twice does nothing. Controllers of a closed device fail with
        SdkError on their next call. Closing from inside one of the device's
        callbacks is refused (SdkError, VEXASDK_ERR_BAD_STATE) and leaves the
        device open.
        """
        if self._closed:
            return
        try:
            _device_opener.close(self.context)
        except SdkError as error:
            # Already closed behind our back (the virtual detector was reset).
            # Any other failure (closing from one of the device's own callbacks
            # is refused) leaves it open, and so still closed at exit.
            if error.code != _ENODEV:
                raise
        self._closed = True

    def __enter__(self) -> Device:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<vexasdk.Device {self.connection_string!r} ({state})>"


def open_device(connection_string: str | None = None) -> Device:
    """Opens a device.

    Args:
        connection_string (str | None): The connection string of an enumerated
            device; the first enumerated device when None.

    Returns:
        Device: The opened device.

    Raises:
        SdkError: The SDK could not open or describe the device, or none is attached.
    """
    if connection_string is None:
        devices = enumerate_devices()
        if not devices:
            raise SdkError("No device attached.", _ENODEV)
        connection_string = devices[0].connection_string
    if not isinstance(connection_string, str):
        raise TypeError(f"connection_string must be str, not {type(connection_string).__name__}")
    context = _device_opener.open(connection_string)
    device = Device(context, connection_string)
    try:
        _build_controllers(device)
    except BaseException:
        device.close()
        raise
    return device


def _members(enumeration: type[enum.Enum], bits: int) -> list:
    # The SDK sets bit v for enumerator value v; a bit that names no member has
    # nothing to stand for it and is left out.
    return [member for member in enumeration if bits >> member.value & 1]


def _chip_info(context: _DeviceContext, chip: int) -> ChipInfo:
    (name, modes, polarities, min_kev, max_kev, noise_kev, min_raw, max_raw, calibrated, width,
     height) = _device_opener.chip_info(context, chip)
    return ChipInfo(name, _members(OperationalMode, modes), _members(ChipPolarity, polarities),
                    ChipThresholdInfo(min_kev, max_kev, noise_kev, min_raw, max_raw, calibrated), width, height)


def _build_controllers(device: Device) -> None:
    context = device.context
    # The chip array holds the very list of chips.
    device.chips.extend(PixelChip(chip, _chip_info(context, chip), context)
                        for chip in range(_device_opener.chip_count(context)))
    device.bias_sources = [
        BiasSource(bias_id, BiasInfo(min_volts, max_volts), context)
        for bias_id, (min_volts, max_volts) in enumerate(_device_opener.bias_ranges(context))
    ]
    device.power_units = [_PowerUnit(unit_id, context) for unit_id in range(_device_opener.power_unit_count(context))]
    device.monitors = _build_monitors(context)


def _build_monitors(context: _DeviceContext) -> list[MonitorChannel]:
    channels = []
    for mon_id, name, kind, low, high in _device_opener.monitor_descriptions(context):
        # A channel keeps its identifier as a C int and hands the SDK its 32
        # bits again: identifiers from 2**31 on travel as negative numbers.
        if mon_id >= 2**31:
            mon_id -= 2**32
        channels.append(MonitorChannel(mon_id, MonitorInfo(name, kind, MonitorRange(low, high)), context))
    return channels
