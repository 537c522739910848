"""Opening and closing devices: the code that makes device-context handles and
builds the controllers from the SDK's descriptions."""

from __future__ import annotations

import enum
import logging
import math
import threading
import time
import warnings
import weakref
from typing import TYPE_CHECKING, Any, Literal, TypedDict, Unpack, overload

from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk._power_unit import _PowerUnit
from vexasdk._t3_binning import BinnedParams
from vexasdk._utils import _ERROR_CODES, SdkError
from vexasdk.acquisition_runner import AcquisitionRunner
from vexasdk.bias_source import BiasInfo, BiasSource
from vexasdk.chip_array import ChipArray
from vexasdk.enumeration import enumerate_devices
from vexasdk.monitor_channel import MonitorChannel, MonitorInfo, MonitorRange
from vexasdk.pixel_chip import ChipInfo, ChipPolarity, ChipThresholdInfo, OperationalMode, PixelChip


if TYPE_CHECKING:
    from collections.abc import Sequence

    import awkward as ak  # type: ignore[import-untyped]

    from vexasdk._t3_toa_tot import DdToaTotMetadata
    from vexasdk.aio import AsyncDevice
    from vexasdk.acquisition import Acquisition, BlockCallback, BlockSink, DataModeName, Overflow, Packets

    _M = OperationalMode
    # The modes by the shape of their blocks, as member or name: `acquire`'s
    # overloads give each its acquisition's block type.
    _ToaTotMode = Literal[_M.dd_toa_tot, _M.dd_toa_tot_sorted, "dd_toa_tot", "dd_toa_tot_sorted"]
    _FrameMode = Literal[_M.fb_toa_tot, _M.fb_itot_evcount, "fb_toa_tot", "fb_itot_evcount"]
    _BinnedTotalsMode = Literal[_M.binned_evcount, _M.binned_itot, "binned_evcount", "binned_itot"]

    class _AcquireOptions(TypedDict, total=False):
        duration: float | None
        scan: tuple[int, int] | None
        dwell_ns: int | None
        callback: BlockCallback | None
        max_queued: int
        overflow: Overflow
        full_timeout: float
        sinks: Sequence[BlockSink]
        frames: int | None

_log = logging.getLogger("vexasdk")

#: The bias the command line brings a sensor to unless told otherwise, in volts:
#: past full depletion for the 300 µm silicon sensors these detectors carry.
OPERATING_BIAS = 100.0
#: Below this bias (in volts, either polarity) a 300 µm silicon sensor is not
#: fully depleted: it sees a part of the particles, their charge spread wider.
#: `Device.depletion_bias` holds it per device, for other sensors.
DEPLETION_BIAS = 60.0


class SensorNotDepleted(UserWarning):
    """An acquisition started with the sensor biased below its full depletion."""

_ENODEV = _ERROR_CODES["VEXASDK_ERR_ENODEV"]

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
        #: Volts below which `acquire` warns that the sensor is not fully depleted.
        self.depletion_bias = DEPLETION_BIAS
        self._acquisitions: weakref.WeakSet[Acquisition] = weakref.WeakSet()  # to say why they end, if closed

    @property
    def aio(self) -> AsyncDevice:
        """The device's slow calls as coroutines, for asyncio (`vexasdk.aio`)."""
        from vexasdk.aio import AsyncDevice

        return AsyncDevice(self)

    @property
    def closed(self) -> bool:
        """Whether the device has been closed."""
        return self._closed

    def close(self) -> None:
        """Closes the device: a running acquisition is aborted and awaited
        first, its sinks closed.

        Once it has returned, none of the device's callbacks runs any more.
        Closing twice does nothing. Controllers of a closed device fail with
        SdkError on their next call.

        From an acquisition's own callback (or a sink's `put`), where waiting
        for its end would wait for ever, it aborts the device's acquisitions
        and returns at once; the device closes on a thread of its own as soon
        as they have ended (`closed` says when). Closing from inside any other
        of the device's callbacks is refused (SdkError,
        VEXASDK_ERR_BAD_STATE) and leaves the device open.
        """
        if self._closed:
            return
        for armed in [acquisition for acquisition in self._acquisitions if acquisition.armed]:
            armed.abort()  # never started: its sinks close now
        running = list(self._acquisitions)
        if any(acquisition._on_own_thread() for acquisition in running):
            for acquisition in running:
                acquisition._stop("close")
            threading.Thread(target=self._close_once_ended, args=(running,), name="vexasdk-close").start()
            return
        for acquisition in list(self._acquisitions):
            acquisition._stopping("close")
        try:
            _device_opener.close(self.context)
        except SdkError as error:
            # Already closed behind our back (the virtual detector was reset).
            # Any other failure (closing from one of the device's own callbacks
            # is refused) leaves it open, and so still closed at exit: what
            # runs goes on, and will end for another reason.
            if error.code != _ENODEV:
                for acquisition in list(self._acquisitions):
                    acquisition._withdraw_stopping("close")
                raise
        self._closed = True
        # The SDK is done with them; their sinks (a file being written) are
        # closed on a thread of their own, which may still be at it.
        for acquisition in list(self._acquisitions):
            acquisition._await_sinks()

    def _close_once_ended(self, acquisitions: list[Acquisition]) -> None:
        for acquisition in acquisitions:
            acquisition._ended.wait()
        try:
            self.close()
        except SdkError as error:
            _log.error("Failed to close the device after its acquisition's callback asked to: %s", error)

    @overload
    def acquire(self, mode: _ToaTotMode, **options: Unpack[_AcquireOptions]
                ) -> Acquisition[Packets, DdToaTotMetadata]: ...
    @overload
    def acquire(self, mode: _FrameMode, **options: Unpack[_AcquireOptions]) -> Acquisition[Packets, None]: ...
    @overload
    def acquire(self, mode: Literal[_M.binned_data, "binned_data"], **options: Unpack[_AcquireOptions]
                ) -> Acquisition[ak.Array, None]: ...
    @overload
    def acquire(self, mode: _BinnedTotalsMode, **options: Unpack[_AcquireOptions]) -> Acquisition[None, None]: ...
    @overload
    def acquire(self, mode: OperationalMode | DataModeName, **options: Unpack[_AcquireOptions]) -> Acquisition: ...

    def acquire(self, mode: OperationalMode | DataModeName, **options: Any) -> Acquisition:
        """Starts an acquisition in `mode` and returns it, running: `arm`,
        then `Acquisition.start`.

        Sets every chip to `mode` and starts through the acquisition runner
        with a callback of the mode's shape. Blocks arrive as `Block` objects:
        iterate over the acquisition for them, or pass `callback`, which then
        receives each on the SDK's thread. Configure bias, threshold and power
        first, as for any acquisition.

        Args:
            mode: A data mode, as a member or by name ("dd_toa_tot", "binned_data", ...).
            duration: Seconds after which the acquisition is stopped; None runs
                it until it ends by itself or is aborted.
            scan: Binned modes only, and required there: (width, height) of the
                scan, each 1 to 2**32-1 positions.
            dwell_ns: Binned modes only, and required there: the dwell time at
                each position in ns, 1 to 2**64-1.
            callback: Receives every block on the SDK's thread; what it raises is
                logged, counted and re-raised from `Acquisition.wait()` once
                the acquisition has ended.
            max_queued: How many blocks the iterator's queue holds, at least 1.
            overflow: What a full queue does with a new block: "wait" up to
                `full_timeout` seconds for room, then drop it; "drop" it at once.
                Dropped blocks are counted, never delivered. With sinks a
                full queue never waits: the block is the sinks' already, and
                the iterator passes over it (``counts.skipped``).
            full_timeout: See `overflow`; 0 to 60 seconds.
            sinks: Take every block besides the iterator or callback, such as
                an `HDF5Writer`; each is opened before the start and closed once
                the acquisition has ended (`wait()` returns after that).
            frames: Frame-based modes: stop after this many frames (blocks),
                1 to 2**32; None runs until `duration` or the end.

        Returns:
            Acquisition: The acquisition, running.

        Raises:
            ValueError: An argument outside its range (the message names it and the range).
            TypeError: An argument of the wrong type.
            SdkError: The device refused (for example, a power unit is down).
        """
        acquisition = self.arm(mode, **options)
        acquisition.start()
        return acquisition

    @overload
    def arm(self, mode: _ToaTotMode, **options: Unpack[_AcquireOptions]) -> Acquisition[Packets, DdToaTotMetadata]: ...
    @overload
    def arm(self, mode: _FrameMode, **options: Unpack[_AcquireOptions]) -> Acquisition[Packets, None]: ...
    @overload
    def arm(self, mode: Literal[_M.binned_data, "binned_data"], **options: Unpack[_AcquireOptions]
            ) -> Acquisition[ak.Array, None]: ...
    @overload
    def arm(self, mode: _BinnedTotalsMode, **options: Unpack[_AcquireOptions]) -> Acquisition[None, None]: ...
    @overload
    def arm(self, mode: OperationalMode | DataModeName, **options: Unpack[_AcquireOptions]) -> Acquisition: ...

    def arm(self, mode: OperationalMode | DataModeName, *, duration: float | None = None,
            scan: tuple[int, int] | None = None, dwell_ns: int | None = None,
            callback: BlockCallback | None = None, max_queued: int = 256, overflow: Overflow = "wait",
            full_timeout: float = 1.0, sinks: Sequence[BlockSink] = (), frames: int | None = None) -> Acquisition:
        """Arms an acquisition in `mode`, with the arguments of `acquire`:
        checks every one, sets the chips to `mode` and opens the sinks (a
        writer makes its file), all that may take time or fail, so that
        `Acquisition.start()` then only starts it; `abort()` disarms it.

        Returns:
            Acquisition: The acquisition, armed.

        Raises:
            As `acquire`, but for a refused start, which `start()` raises.
        """
        from vexasdk.acquisition import DATA_MODES, Acquisition

        member = _data_mode(mode, DATA_MODES)
        supported = self.chip_array.get_supported_modes() if self.chips else []
        if self.chips and member not in supported:
            names = ", ".join(m.name for m in DATA_MODES if m in supported) or "none"
            raise ValueError(f"mode {member.name} is not supported by the chips; they support: {names}")
        binned = member.name.startswith("binned")
        params = _binned_params(member.name, scan, dwell_ns) if binned else None
        if not binned and (scan is not None or dwell_ns is not None):
            raise ValueError(f"scan and dwell_ns are for the binned modes only, not {member.name}")
        if duration is not None:
            duration = _number_in("duration", duration, 0.0, 1e9, exclusive_low=True)
        if frames is not None:
            if not member.name.startswith("fb_"):
                raise ValueError(f"frames is for the frame-based modes only (fb_toa_tot, fb_itot_evcount), "
                                 f"not {member.name}")
            frames = _whole("frames", frames, 1 << 32)
        if isinstance(max_queued, bool) or not isinstance(max_queued, int) or max_queued < 1:
            raise ValueError(f"max_queued must be an integer of at least 1, got {max_queued!r}")
        if overflow not in ("wait", "drop"):
            raise ValueError(f"overflow must be 'wait' or 'drop', got {overflow!r}")
        full_timeout = _number_in("full_timeout", full_timeout, 0.0, 60.0)
        if callback is not None and not callable(callback):
            raise TypeError(f"callback must be callable, got {type(callback).__name__}")
        self._warn_if_undepleted()
        if self.connection_string.startswith("virtual:"):
            self._follow_duration(duration, frames)
        self.chip_array.set_mode(member)
        acquisition = Acquisition(self, member, params=params, duration=duration, callback=callback,
                                  max_queued=max_queued, overflow=overflow, full_timeout=full_timeout, sinks=sinks,
                                  frames=frames)
        acquisition._arm()
        self._acquisitions.add(acquisition)
        return acquisition

    def _explain_refusal(self, error: SdkError) -> None:
        """Says, beside the SDK's own words, what to do about a refused start."""
        down = [index for index, unit in enumerate(self.power_units) if not _quietly(unit.is_powered, True)]
        if down:
            error.add_note(f"power up the device's units first (`unit.power_up()`; power units {down} are down), "
                           f"or call device.power_up()")

    def power_up(self) -> None:
        """Powers up every power unit that is down: an acquisition needs them all.

        Raises:
            SdkError: A unit refused.
        """
        for unit in self.power_units:
            if not unit.is_powered():
                unit.power_up()

    def set_threshold(self, kev: float, *, configure: bool = True) -> None:
        """Sets every chip's threshold, checked first against each chip's
        range, and (by default) configures the chips with it.

        Args:
            kev: The threshold in keV.
            configure: Also write the settings to the chips (`PixelChip.configure`).

        Raises:
            ValueError: Outside a chip's range (the message names the chip and the range).
            SdkError: A chip refused.
        """
        for index, chip in enumerate(self.chips):
            limits = chip.info().threshold_info
            _number_in(f"kev (chip {index}'s threshold, keV)", kev, limits.min_kev, limits.max_kev)
        for chip in self.chips:
            chip.set_threshold(kev)
            if configure:
                chip.configure()

    def set_bias(self, volts: float, *, timeout: float = 5.0, source: int = 0) -> float:
        """Sets the sensor's bias and waits until it has settled (within a
        volt of `volts`); the measured bias.

        Args:
            volts: The bias, within the source's range (`bias_sources[source].info()`).
            timeout: Seconds to wait for it to settle, 0 to 600.
            source: Which bias source.

        Raises:
            ValueError: `volts` outside the source's range (the message says it).
            TimeoutError: Not settled in time (says where it stands).
            SdkError: The device refused.
        """
        if not 0 <= source < len(self.bias_sources):
            raise ValueError(f"source must be 0 to {len(self.bias_sources) - 1}, got {source!r}"
                             if self.bias_sources else "the device has no bias source")
        bias = self.bias_sources[source]
        limits = bias.info()
        volts = _number_in("volts", volts, limits.min, limits.max)
        timeout = _number_in("timeout", timeout, 0.0, 600.0)
        bias.set_desired(volts)
        deadline = time.monotonic() + timeout
        while abs((actual := bias.actual()) - volts) > 1.0:
            if time.monotonic() >= deadline:
                raise TimeoutError(f"the bias is at {actual:.1f} V after {timeout:g} s, not yet at {volts:g} V")
            time.sleep(0.02)
        return actual

    def _warn_if_undepleted(self) -> None:
        if not self.bias_sources:
            return
        volts = self.bias_sources[0].actual()
        if abs(volts) < self.depletion_bias:
            warnings.warn(SensorNotDepleted(
                f"the sensor is biased at {round(volts, 1) + 0.0:.1f} V, below its full depletion at {self.depletion_bias:g} V: "
                f"it sees only a part of the particles; bias it first, for example "
                f"device.set_bias({OPERATING_BIAS:g})"), stacklevel=3)

    def _follow_duration(self, duration: float | None, frames: int | None = None) -> None:
        # The virtual detector generates a second of data unless told: asked
        # for longer, it generates for as long as asked, as hardware would.
        from vexasdk import sim

        index = sim.device_of(self.context)
        if index is not None:
            sim.data.follow_duration(index, duration, frames)

    def __enter__(self) -> Device:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<vexasdk.Device {self.connection_string!r} ({state})>"


def _data_mode(mode: object, data_modes: tuple[OperationalMode, ...]) -> OperationalMode:
    names = ", ".join(m.name for m in data_modes)
    if isinstance(mode, OperationalMode):
        member = mode
    elif isinstance(mode, str) and mode in OperationalMode.__members__:
        member = OperationalMode[mode]
    else:
        raise ValueError(f"mode must be one of the data modes {names}, got {mode!r}")
    if member not in data_modes:
        raise ValueError(f"mode {member.name} delivers no processed data; the data modes are {names}")
    return member


def _quietly(call: Any, fallback: Any) -> Any:
    try:
        return call()
    except SdkError:
        return fallback


def _number_in(name: str, value: object, low: float, high: float, exclusive_low: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:  # an integer past any float: past any bound too
        number = math.inf if value > 0 else -math.inf
    too_low = number <= low if exclusive_low else number < low
    if math.isnan(number) or too_low or number > high:
        bound = "above" if exclusive_low else "at least"
        raise ValueError(f"{name} must be {bound} {low:g} and at most {high:g}, got {value!r}")
    return number


def _whole(name: str, value: object, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= high:
        raise ValueError(f"{name} must be an integer from 1 to {high}, got {value!r}")
    return value


def _binned_params(mode: str, scan: object, dwell_ns: object) -> BinnedParams:
    if scan is None or dwell_ns is None:
        raise ValueError(f"mode {mode} needs scan=(width, height) and dwell_ns")
    if not isinstance(scan, tuple) or len(scan) != 2:
        raise ValueError(f"scan must be a (width, height) tuple, got {scan!r}")
    width, height = (_whole(f"scan {axis}", value, 2**32 - 1) for axis, value in zip(("width", "height"), scan))
    return BinnedParams(width, height, _whole("dwell_ns", dwell_ns, 2**64 - 1))


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


def _members(enumeration: type[enum.Enum], bits: int) -> list[Any]:
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
