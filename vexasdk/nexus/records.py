"""What a file keeps of the detector and of the run's end, read from an open
device or from a stream's messages, so that a file can be written far from
the device."""

from __future__ import annotations

import dataclasses
import re
import time
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from vexasdk._device import Device
    from vexasdk.acquisition import Acquisition

__all__ = ["ChipRecord", "DetectorRecord", "RunEnd", "monitor_units"]


@dataclasses.dataclass(frozen=True)
class ChipRecord:
    """What the file keeps of a chip, as read before the start.

    Attributes:
        name (str): The chip's name.
        threshold (float): keV.
        threshold_raw (int): The threshold as the chip's DAC value.
        polarity (str): The ChipPolarity's name.
        mode (str): The OperationalMode's name.
        pixel_mask (numpy.ndarray): The mask as written to the chip (0 masks a pixel).
    """

    name: str
    threshold: float
    threshold_raw: int
    polarity: str
    mode: str
    pixel_mask: npt.NDArray[Any]


@dataclasses.dataclass(frozen=True)
class DetectorRecord:
    """What the file keeps of the detector, as read before the start: taken
    from an open device (`read`), or from a stream's start message.

    Attributes:
        serial_number (str), description (str), connection_string (str): Who it is.
        bias (tuple[float, float] | None): (desired, actual) volts of bias
            source 0; None for a device without one.
        chips (tuple[ChipRecord, ...]): Every chip, in the SDK's order.
        monitors (tuple[str, ...]): The monitors' names.
        readings (numpy.ndarray): Their readings (float64, NaN where unavailable).
    """

    serial_number: str
    description: str
    connection_string: str
    bias: tuple[float, float] | None
    chips: tuple[ChipRecord, ...]
    monitors: tuple[str, ...]
    readings: npt.NDArray[np.float64]

    @classmethod
    def read(cls, device: Device) -> DetectorRecord:
        """Reads the record from an open device."""
        from vexasdk.enumeration import enumerate_devices

        described = next((d for d in enumerate_devices() if d.connection_string == device.connection_string), None)
        bias = None
        if device.bias_sources:
            bias = (float(device.bias_sources[0].get_desired()), float(device.bias_sources[0].actual()))
        chips = []
        for chip in device.chips:
            info, settings = chip.info(), chip.settings()
            chips.append(ChipRecord(info.chip_name, float(chip.get_threshold()), int(chip.get_raw_threshold()),
                                    settings.polarity.name, settings.mode.name, np.asarray(chip.get_pixel_mask())))
        return cls(described.serial_number if described else "", described.product_name if described else "",
                   device.connection_string, bias, tuple(chips),
                   tuple(channel.info().name for channel in device.monitors), readings(device))


@dataclasses.dataclass(frozen=True)
class RunEnd:
    """What the file keeps of an acquisition's end.

    Attributes:
        started_at (float), ended_at (float): Seconds since the epoch.
        elapsed (float): Seconds it ran.
        failed_fetches (int): Blocks the SDK could not hand over.
        dropped (int): Blocks lost before they reached the writer (the
            writer adds those it dropped itself).
        bias_voltage (float | None): The measured bias at the end; None keeps
            the one read at the start.
        readings (numpy.ndarray | None): The monitors' readings at the end;
            None leaves them unknown (NaN).
        end_known (bool): Whether the end is known: False when a stream's
            sender never said it ended (the file then says it is incomplete).
    """

    started_at: float
    ended_at: float
    elapsed: float
    failed_fetches: int
    dropped: int
    bias_voltage: float | None = None
    readings: npt.NDArray[np.float64] | None = None
    end_known: bool = True

    @classmethod
    def of(cls, acquisition: Acquisition) -> RunEnd:
        """The end of a local acquisition, reading its device while it is open."""
        counts, device = acquisition.counts, acquisition.device
        bias, values = None, None
        if not device.closed:
            if device.bias_sources:
                bias = float(device.bias_sources[0].actual())
            values = readings(device)
        started = acquisition.started_at or time.time()  # 0 when it never started: it ran for no time
        ended = acquisition.ended_at or time.time()
        return cls(started, ended, max(0.0, ended - started), counts.failed_fetches, counts.dropped, bias, values)


def readings(device: Device) -> npt.NDArray[np.float64]:
    """Every monitor's reading now; NaN for one that is unavailable."""
    values = []
    for channel in device.monitors:
        try:
            values.append(float(channel.fetch_value()))
        except Exception:  # an unavailable monitor reads as NaN
            values.append(float("nan"))
    return np.array(values, np.float64)


# The SDK names a monitor but gives no unit: it is known by what the name says.
_UNITS = (("temperature", "degC"), ("current", "uA"), ("voltage", "V"), ("speed", "1/min"), ("power", "W"))


def monitor_units(name: str) -> str | None:
    """The unit of a monitor's readings, known from its name; None for counts
    and anything else without a unit."""
    lowered = name.lower()
    return next((unit for word, unit in _UNITS if re.search(rf"\b{word}\b", lowered)), None)
