"""The detector in Bluesky: an ophyd-async device (``pip install "vexasdk[bluesky]"``).

`VexaDetector` is a `StandardDetector` made of the three logics ophyd-async
builds its own detectors from: a trigger logic (what a `TriggerInfo` asks
of the device), an acquire logic (starting, awaiting and stopping our
acquisitions, never on the event loop) and a data logic (our HDF5 writer,
and the StreamResource / StreamDatum documents that point into its file)::

    RE = RunEngine()
    with init_devices():
        det = VexaDetector(StaticPathProvider(UUIDFilenameProvider(), "/data"))
    RE(bps.mv(det.bias, 100))
    RE(count([det], num=3))

What one collection (one row of the documents' indices) is, by mode:

- ``fb_itot_evcount`` (the default): one frame, ``det`` its event counts,
  ``det-itot`` its iToTs, ``det-frame_time`` when it arrived. A trigger
  takes one acquisition of the frames asked for; all go to one file.
- ``fb_toa_tot``: one frame's event list, ``det`` the row of its first
  event in the file's events, ``det-event_time_zero`` its time.
- ``dd_toa_tot``, ``dd_toa_tot_sorted``: one trigger pulse, ``det`` its time
  (ns of the detector's clock). The acquisition runs from the first trigger
  (internal) or from `prepare` (external) until unstaged; an internal
  trigger is a software pulse on the trigger input, an external one the
  hardware's. The collection's events are those of the file's event list
  from its pulse for `livetime` seconds.
- ``binned_data``: one scan row (fly scans only): ``det`` the row's counts
  per position and pixel; prepared with ``number_of_events`` = the scan's
  height, the scan's width and dwell from `scan_width` and the livetime.

The run's account (blocks delivered, lost at which stage) goes into its stop
document with `with_account`.
"""

from __future__ import annotations

import asyncio
import dataclasses
import logging
import math
import time
from collections.abc import AsyncIterator, Callable, Generator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from bluesky.preprocessors import plan_mutator
from bluesky.utils import Msg
from event_model import DataKey, Limits, LimitsRange
from ophyd_async.core import (DetectorAcquireLogic, DetectorDataLogic, DetectorTriggerLogic, DeviceConnector,
                              PathProvider, SignalDict, SignalR, SignalRW, SoftSignalBackend, StandardDetector,
                              StreamableDataProvider, StreamResourceDataProvider, StreamResourceInfo, StrictEnum,
                              soft_signal_r_and_setter)

import vexasdk
from vexasdk.account import StageCounts, lost
from vexasdk.acquisition import Acquisition
from vexasdk.nexus import HDF5Writer
from vexasdk.nexus import layout as lay
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import detector_shape

__all__ = ["DataMode", "VexaDetector", "with_account"]

_log = logging.getLogger("vexasdk")
# An acquisition that runs until stopped: the continuous data-driven run.
_UNTIL_STOPPED = 1e6
# Bias counts as ready within this many volts of its set point.
_BIAS_READY_VOLTS = 1.0


class DataMode(StrictEnum):
    """The modes a `VexaDetector` acquires in."""

    FB_ITOT_EVCOUNT = "fb_itot_evcount"
    FB_TOA_TOT = "fb_toa_tot"
    DD_TOA_TOT = "dd_toa_tot"
    DD_TOA_TOT_SORTED = "dd_toa_tot_sorted"
    BINNED_DATA = "binned_data"


_DATA_DRIVEN = (DataMode.DD_TOA_TOT, DataMode.DD_TOA_TOT_SORTED)


@dataclasses.dataclass
class _Plan:
    external: bool = False
    collections: int = 1
    livetime: float = 0.0


class _Control:
    """What the detector's logics share: the device, the file's writer and
    the acquisition now running, and the count of collections in the file."""

    def __init__(self, device: vexasdk.Device | str | None) -> None:
        self._given = device
        self.device: vexasdk.Device | None = device if isinstance(device, vexasdk.Device) else None
        self.mode = DataMode.FB_ITOT_EVCOUNT
        self.plan = _Plan()
        self.writer: HDF5Writer | None = None
        self.acquisition: Acquisition | None = None
        self.accounts: list[tuple[StageCounts, ...]] = []
        self.scan_width = 16
        self.collections, self._set_collections = soft_signal_r_and_setter(int, 0)
        self._watching: asyncio.Task[None] | None = None

    async def open(self) -> None:
        """Opens the device and readies it as a detector in a beamline is
        kept: powered, and biased to the operating bias unless it was biased."""
        if self.device is None or self.device.closed:
            self.device = await asyncio.to_thread(_open, self._given)
        device = self.device
        await device.aio.power_up()
        if device.bias_sources and device.bias_sources[0].get_desired() == 0:
            await asyncio.to_thread(device.bias_sources[0].set_desired, vexasdk.OPERATING_BIAS)

    @property
    def opened(self) -> vexasdk.Device:
        if self.device is None:
            raise RuntimeError("the detector is not connected: connect it first (init_devices, or await det.connect())")
        return self.device

    def written(self) -> int:
        """Collections on the disk, by what the writer has flushed."""
        if self.writer is None:
            return 0
        counts = self.writer.counts
        if self.mode in _DATA_DRIVEN:
            return counts.triggers
        if self.mode is DataMode.BINNED_DATA:
            return counts.positions // self.scan_width
        return counts.written

    def watch(self) -> None:
        """Follows the writer on the event loop: signals are not thread-safe,
        so the SDK's threads never touch them."""
        async def follow() -> None:
            # Set on change only: a wait for collections times out when none
            # come (the device closed, say), and then says why.
            shown, told = 0, None
            while True:
                if (written := self.written()) != shown:
                    self._set_collections(shown := written)
                running = self.acquisition
                if running is not None and not running.running and running is not told:
                    told = running
                    if running.stopped_by not in ("device", "frames", "duration"):
                        _log.error("the detector's acquisition ended (%s) with %d collections in %s",
                                   running.stopped_by, written, self.writer.path if self.writer else "no file")
                await asyncio.sleep(0.02)

        self._set_collections(0)
        self._watching = asyncio.get_running_loop().create_task(follow())

    async def stop(self) -> None:
        """Ends what runs, closes the file, and keeps the run's account."""
        await self.halt()
        if self._watching is not None:
            self._watching.cancel()
            self._watching = None
        writer, self.writer = self.writer, None
        if writer is not None:
            self._set_collections(0)
            await asyncio.to_thread(writer.finish)

    async def halt(self) -> None:
        """Aborts the acquisition if it runs (disarms it if armed), and keeps
        its account; what ended by itself was accounted for as it ended."""
        acquisition, self.acquisition = self.acquisition, None
        if acquisition is not None:
            finished = not acquisition.running
            await asyncio.to_thread(acquisition.abort)
            await _ended(acquisition)
            if not finished:
                self.accounts.append(acquisition.account)

    async def finished(self, acquisition: Acquisition) -> None:
        await acquisition
        self.accounts.append(acquisition.account)
        self._set_collections(self.written())


def _open(device: vexasdk.Device | str | None) -> vexasdk.Device:
    """The device to open: the first enumerated (the virtual detector's
    first without hardware), one by serial number, or by connection string."""
    if isinstance(device, vexasdk.Device):
        return device
    if device is not None:
        for properties in vexasdk.enumerate_devices():
            if device == properties.serial_number:
                return vexasdk.open_device(properties.connection_string)
    return vexasdk.open_device(device)


async def _ended(acquisition: Acquisition) -> None:
    try:
        await acquisition
    except Exception:  # what it raised was reported where it happened
        pass


class _Connector(DeviceConnector):
    """Opens the device on connecting, off the event loop."""

    def __init__(self, control: _Control) -> None:
        self._control = control

    async def connect_real(self, device: Any, timeout: float, force_reconnect: bool) -> None:
        await self._control.open()
        await super().connect_real(device, timeout, force_reconnect)


class _TriggerLogic(DetectorTriggerLogic):
    def __init__(self, control: _Control, detector: VexaDetector) -> None:
        self._control, self._detector = control, detector

    def config_sigs(self) -> set[SignalR[Any]]:
        d = self._detector
        return {d.mode, d.threshold, d.bias, d.readout_time, d.scan_width}

    def get_deadtime(self, config_values: SignalDict) -> float:
        return float(config_values[self._detector.readout_time])

    async def prepare_internal(self, num: int, livetime: float, deadtime: float) -> None:
        await self._prepare(_Plan(False, num, livetime))

    async def prepare_edge(self, num: int, livetime: float) -> None:
        if self._control.mode not in _DATA_DRIVEN:
            raise ValueError(f"external triggers mark the data-driven modes' event lists (dd_toa_tot, "
                             f"dd_toa_tot_sorted), not {self._control.mode.value}: set det.mode first")
        await self._prepare(_Plan(True, num, livetime))

    async def _prepare(self, plan: _Plan) -> None:
        control = self._control
        if control.mode.value.startswith("fb_") and plan.livetime:
            raise ValueError(f"livetime must be 0 in {control.mode.value}: a frame's length is the device's own")
        if control.mode is DataMode.BINNED_DATA and plan.collections > 1 << 32:
            raise ValueError(f"a scan has 1 to {1 << 32} rows, not {plan.collections}")
        if control.mode in _DATA_DRIVEN and not plan.livetime:
            plan.livetime = 0.1
        control.scan_width = await self._detector.scan_width.get_value()
        await self._detector.wait_for_bias()
        control.plan = plan


class _AcquireLogic(DetectorAcquireLogic):
    def __init__(self, control: _Control) -> None:
        self._control = control

    async def start_acquiring(self) -> None:
        control = self._control
        device, mode, plan, writer = control.opened, control.mode, control.plan, control.writer
        sinks = [writer] if writer is not None else []
        if mode in _DATA_DRIVEN:
            if control.acquisition is None or not control.acquisition.running:
                control.acquisition = await device.aio.acquire(OperationalMode[mode.value], duration=_UNTIL_STOPPED, sinks=sinks)
            if not plan.external:
                await asyncio.to_thread(control.acquisition.trigger)
            return
        if mode is DataMode.BINNED_DATA:
            dwell = max(1, round(plan.livetime * 1e9 / control.scan_width)) if plan.livetime else 1000
            control.acquisition = await device.aio.acquire(OperationalMode[mode.value], scan=(control.scan_width, plan.collections),
                                                           dwell_ns=dwell, sinks=sinks)
        else:
            control.acquisition = await device.aio.acquire(OperationalMode[mode.value], frames=plan.collections, sinks=sinks)

    async def ensure_ready(self) -> None:
        """On staging: a run's account starts afresh."""
        await self.ensure_stopped()
        self._control.accounts.clear()

    async def wait_for_idle(self) -> None:
        control = self._control
        if control.mode in _DATA_DRIVEN:
            await asyncio.sleep(control.plan.livetime)  # the collection's events after its pulse
        elif control.acquisition is not None:
            await control.finished(control.acquisition)

    async def ensure_stopped(self) -> None:
        await self._control.halt()


class _Provider(StreamResourceDataProvider):
    """Data keys that also say their units and what a row is."""

    def __init__(self, described: dict[str, dict[str, Any]], **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self._described = described

    async def make_datakeys(self, collections_per_event: int) -> dict[str, DataKey]:
        keys = await super().make_datakeys(collections_per_event)
        for name, key in keys.items():
            key.update(self._described.get(name, {}))  # type: ignore[typeddict-item]
        return keys


class _DataLogic(DetectorDataLogic):
    def __init__(self, control: _Control, path_provider: PathProvider) -> None:
        self._control, self._path_provider = control, path_provider

    async def prepare_unbounded(self, datakey_name: str) -> StreamableDataProvider:
        control = self._control
        info = self._path_provider(datakey_name)
        path = Path(info.directory_path) / f"{info.filename}.h5"
        binned = control.mode is DataMode.BINNED_DATA
        control.writer = await asyncio.to_thread(HDF5Writer, path, series=not binned)
        control.watch()
        resources, described = _resources(datakey_name, control.mode, len(control.opened.chips),
                                          control.scan_width, control.plan.livetime)
        return _Provider(described, uri=f"{info.directory_uri}{info.filename}.h5", resources=resources,
                         mimetype="application/x-hdf5", collections_written_signal=control.collections)

    async def stop(self) -> None:
        await self._control.stop()

    def get_hinted_fields(self, datakey_name: str) -> Sequence[str]:
        return [datakey_name]


def _resources(name: str, mode: DataMode, chips: int, width: int, livetime: float
               ) -> tuple[list[StreamResourceInfo], dict[str, dict[str, Any]]]:
    """The file's datasets a collection reads from, and what each data key says."""
    rows, columns = detector_shape(max(1, chips))

    def row(key: str, path: str, dtype: Any, shape: tuple[int, ...] = (), chunk: tuple[int, ...] = (4096,)
            ) -> StreamResourceInfo:
        return StreamResourceInfo(data_key=key, shape=shape, chunk_shape=chunk, dtype_numpy=np.dtype(dtype).str,
                                  parameters={"dataset": f"/entry/{path}"})

    if mode is DataMode.FB_ITOT_EVCOUNT:
        image = (rows, columns)
        return ([row(name, "frames/evcount", np.uint16, image, (1, *image)),
                 row(f"{name}-itot", "frames/itot", np.uint32, image, (1, *image)),
                 row(f"{name}-frame_time", "frames/frame_time", np.float64)],
                {name: {"dims": ["y", "x"], "description": "events per pixel in the frame"},
                 f"{name}-itot": {"units": "ns", "dims": ["y", "x"]},
                 f"{name}-frame_time": {"units": "s", "description": "the frame's arrival after the file's start"}})
    events = f"/entry/{lay.EVENTS}"
    if mode is DataMode.FB_TOA_TOT:
        return ([row(name, f"{lay.EVENTS}/event_index", np.int64),
                 row(f"{name}-event_time_zero", f"{lay.EVENTS}/event_time_zero", np.int64)],
                {name: {"description": f"an event list: the frame's events start at this row of {events}/event_id, "
                                       f"event_time_offset and tot, and end where the next frame's start"},
                 f"{name}-event_time_zero": {"units": "ns"}})
    if mode in _DATA_DRIVEN:
        return ([row(name, "tdc/channel_0", np.float64)],
                {name: {"units": "ns", "description": f"an event list: the trigger pulse's time on the detector's "
                                                      f"clock; the collection's events are those of {events} from "
                                                      f"this time for {livetime:g} s"}})
    return ([row(name, "data/counts", np.uint16, (width, rows, columns), (1, 1, rows, columns))],
            {name: {"dims": ["scan_x", "y", "x"], "description": "one scan row: events per position and pixel"}})


class VexaDetector(StandardDetector):
    """The detector as an ophyd-async `StandardDetector`.

    Args:
        path_provider: Where each run's HDF5 file goes (``<filename>.h5``);
            an existing file is refused, so give each run its own name
            (`UUIDFilenameProvider`).
        device: The device: None for the first enumerated (without hardware,
            the virtual detector's first), a serial number, a connection
            string, or an opened `vexasdk.Device`. Opened on connecting,
            which also powers it up and, if unbiased, sets its bias to
            `vexasdk.OPERATING_BIAS`.
        name: The device's name in documents.

    Signals (each with units and limits in ``describe()``):
        mode: The data mode (`DataMode`).
        threshold: Every chip's threshold, keV; set and configured.
        bias: The bias set point, V; `bias_actual` the measured bias and
            `bias_ready` whether it is within a volt of the set point
            (`prepare` waits for it up to `bias_timeout` seconds).
        readout_time: The dead time between collections that the detector
            reports, s.
        scan_width: Binned data: the scan's width, positions.
        temperatures: Each temperature the device monitors, °C (`temperature_<i>`).
    """

    def __init__(self, path_provider: PathProvider, device: vexasdk.Device | str | None = None, *,
                 name: str = "") -> None:
        control = self._control = _Control(device)
        self.mode = _signal(DataMode, DataMode.FB_ITOT_EVCOUNT, setter=self._set_mode)
        self.threshold = _signal(float, 5.0, "keV", 2, setter=self._set_threshold, limits=(0.0, 1000.0))
        self.bias = _signal(float, vexasdk.OPERATING_BIAS, "V", 1, getter=self._bias_desired, setter=self._set_bias,
                            limits=(-1000.0, 1000.0))
        self.bias_actual = _signal(float, 0.0, "V", 1, getter=self._bias_actual)
        self.bias_ready = _signal(bool, False, getter=self._bias_ready)
        self.bias_timeout = _signal(float, 30.0, "s", 1, limits=(0.0, 600.0))
        self.readout_time = _signal(float, 0.0, "s", 6, limits=(0.0, 1.0))
        self.scan_width = _signal(int, 16, "positions", limits=(1, 1 << 32))
        self.temperature_0 = _signal(float, math.nan, "degC", 1, getter=lambda: self._temperature(0),
                                     limits=(-40.0, 125.0))
        self.temperature_1 = _signal(float, math.nan, "degC", 1, getter=lambda: self._temperature(1),
                                     limits=(-40.0, 125.0))
        self.add_detector_logics(_TriggerLogic(control, self), _AcquireLogic(control),
                                 _DataLogic(control, path_provider))
        self.add_config_signals(self.bias_actual, self.bias_ready, self.temperature_0, self.temperature_1)
        super().__init__(name=name, connector=_Connector(control))

    @property
    def device(self) -> vexasdk.Device:
        """The opened device (once connected)."""
        return self._control.opened

    @property
    def account(self) -> tuple[tuple[StageCounts, ...], ...]:
        """The account of each acquisition since the detector was staged
        (`Acquisition.account`), the one running now as it stands."""
        running = self._control.acquisition
        now = (running.account,) if running is not None and running.running else ()
        return (*self._control.accounts, *now)

    async def wait_for_bias(self) -> None:
        """Waits until the bias is within a volt of its set point.

        Raises:
            TimeoutError: Not so within `bias_timeout` seconds; says where it stands.
        """
        timeout = await self.bias_timeout.get_value()
        deadline = time.monotonic() + timeout
        while not self._bias_ready():
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{self.name}: the bias is at {self._bias_actual():.1f} V after {timeout:g} s, "
                                   f"not within {_BIAS_READY_VOLTS:g} V of its set point "
                                   f"{await self.bias.get_value():g} V")
            await asyncio.sleep(0.05)

    async def _set_mode(self, mode: DataMode) -> None:
        self._control.mode = DataMode(mode)

    async def _set_threshold(self, kev: float) -> None:
        await self._control.opened.aio.set_threshold(kev)

    async def _set_bias(self, volts: float) -> None:
        device = self._control.opened
        if not device.bias_sources:
            raise ValueError(f"{self.name}: the device has no bias source")
        limits = device.bias_sources[0].info()
        if not limits.min <= volts <= limits.max:
            raise ValueError(f"bias must be {limits.min:g} to {limits.max:g} V, got {volts!r}")
        await asyncio.to_thread(device.bias_sources[0].set_desired, volts)

    def _bias_desired(self) -> float:
        device = self._control.device
        if device is None or device.closed or not device.bias_sources:
            return math.nan
        return float(device.bias_sources[0].get_desired())

    def _bias_actual(self) -> float:
        device = self._control.device
        if device is None or device.closed or not device.bias_sources:
            return math.nan
        return float(device.bias_sources[0].actual())

    def _bias_ready(self) -> bool:
        device = self._control.device
        if device is None or device.closed or not device.bias_sources:
            return False
        source = device.bias_sources[0]
        return abs(source.actual() - source.get_desired()) <= _BIAS_READY_VOLTS

    def _temperature(self, which: int) -> float:
        device = self._control.device
        if device is None or device.closed:
            return math.nan
        found = [m for m in device.monitors if "temperature" in m.info().name.lower()]
        try:
            return float(found[which].fetch_value()) if which < len(found) else math.nan
        except Exception:  # an unavailable monitor reads as NaN
            return math.nan


def _signal(datatype: Any, initial: Any, units: str | None = None, precision: int | None = None, *,
            getter: Callable[[], Any] | None = None, setter: Callable[[Any], Any] | None = None,
            limits: tuple[float, float] | None = None) -> SignalRW[Any]:
    """A soft signal with units and control limits in its description;
    limits are enforced before the setter runs."""
    checked = setter
    if limits is not None:
        low, high = limits

        async def checked(value: Any) -> None:
            if not low <= value <= high:
                raise ValueError(f"must be {low:g} to {high:g}{' ' + units if units else ''}, got {value!r}")
            if setter is not None:
                await setter(value)

    backend = SoftSignalBackend(datatype, initial, units, precision, getter=getter, setter=checked)
    if limits is not None:
        backend.metadata["limits"] = Limits(control=LimitsRange(low=limits[0], high=limits[1]))
    return SignalRW(backend=backend)


def with_account(plan: Generator[Msg, Any, Any], *detectors: VexaDetector) -> Generator[Msg, Any, Any]:
    """Runs `plan` with the detectors' account in its stop document: the
    reason says how many blocks each delivered and lost, and a run that lost
    blocks ends with exit status "fail"."""
    ours: set[int] = set()  # the close_run messages made here, which pass through this again

    def at_close(msg: Msg) -> tuple[Generator[Msg, Any, Any] | None, None]:
        if msg.command != "close_run" or id(msg) in ours:
            return None, None
        texts, lost_in_all = [], 0
        for detector in detectors:
            made = sum(account[0].received for account in detector.account if account)
            missing = sum(lost(account) for account in detector.account)
            lost_in_all += missing
            where = {stage.stage: 0 for account in detector.account for stage in account}
            for stage in (stage for account in detector.account for stage in account):
                where[stage.stage] += stage.dropped + stage.failed
            stages = ", ".join(f"{name} {count}" for name, count in where.items() if count)
            texts.append(f"{detector.name}: {made} blocks made, {missing} lost" + (f" ({stages})" if stages else ""))
        reason = "; ".join(filter(None, [msg.kwargs.get("reason"), *texts]))
        status = "fail" if lost_in_all and msg.kwargs.get("exit_status") in (None, "success") else \
            msg.kwargs.get("exit_status")

        replacement = Msg("close_run", exit_status=status, reason=reason)  # type: ignore[no-untyped-call]
        ours.add(id(replacement))

        def replaced() -> Generator[Msg, Any, Any]:
            return (yield replacement)

        return replaced(), None

    return plan_mutator(plan, at_close)  # type: ignore[no-untyped-call, no-any-return]
