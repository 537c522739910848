"""A frame-based iToT-evcount acquisition, as on hardware.

Powers the device up, sets the sensor bias, the chips' thresholds and mode,
watches the temperature monitors, and runs an acquisition through the device's
acquisition runner. Frames arrive in the callback, on a thread of the SDK, as
numpy record arrays; they are summed into a hit map of the assembled quad.

Without hardware this runs on the virtual detector, which needs no set-up: its
acquisitions deliver about a second of plausible data and end by themselves.
"""

import threading
import time

import numpy as np

import vexasdk
from vexasdk.pixel_chip import ChipPolarity, OperationalMode

BIAS_VOLTS = 100.0
THRESHOLD_KEV = 5.0


def image_coordinates(address: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(row, column) in the assembled 2 x 2 quad of the pixel addresses
    `chip << 16 | row << 8 | column`."""
    chip, row, column = address >> 16, (address >> 8) & 0xFF, address & 0xFF
    return (chip // 2) * 256 + row, (chip % 2) * 256 + column


def main() -> None:
    [properties, *_] = vexasdk.enumerate_devices()
    print(f"Device {properties.serial_number}: {properties.product_name} at {properties.connection_string}")

    with vexasdk.open_device(properties.connection_string) as device:
        for unit in device.power_units:
            unit.power_up()
        bias = device.bias_sources[0]
        bias.set_desired(BIAS_VOLTS)
        for chip in device.chips:
            chip.set_polarity(ChipPolarity.electrons_collection)
            chip.set_threshold(THRESHOLD_KEV)
            chip.configure()
        device.chip_array.set_mode(OperationalMode.fb_itot_evcount)
        info = device.chips[0].info()
        print(f"  {len(device.chips)} chips of {info.width} x {info.height} pixels, "
              f"threshold {device.chips[0].get_threshold():.2f} keV (raw {device.chips[0].get_raw_threshold()}), "
              f"mode {device.chip_array.get_mode().name}")

        temperatures: list[float] = []
        for monitor in device.monitors:
            if monitor.info().name.endswith("temperature"):
                monitor.set_on_value_changed_cb(lambda event: temperatures.append(event.value))

        time.sleep(0.5)  # the bias settles
        events = np.zeros((512, 512), np.uint64)
        itot = np.zeros((512, 512), np.uint64)
        frames = 0
        lock = threading.Lock()

        def on_frame(packets: np.recarray) -> None:
            nonlocal frames
            rows, columns = image_coordinates(packets.address)
            with lock:
                np.add.at(events, (rows, columns), packets.evcount)
                np.add.at(itot, (rows, columns), packets.itot)
                frames += 1

        began = time.perf_counter()
        device.acquisition_runner.start(on_frame)
        device.acquisition_runner.await_end()
        elapsed = time.perf_counter() - began
        actual_bias = bias.actual()

    hits = int(np.count_nonzero(events))
    total = int(events.sum())
    print(f"Acquired {frames} frames in {elapsed:.2f} s")
    print(f"  pixels hit        {hits} of {events.size} ({100 * hits / events.size:.1f} %)")
    print(f"  events            {total}")
    print(f"  mean iToT/event   {int(itot.sum()) / max(total, 1) * 25:.0f} ns")
    quarters = events.reshape(2, 256, 2, 256).sum(axis=(1, 3))
    print("  events per chip   " + "  ".join(f"{c}: {int(quarters[c // 2, c % 2])}" for c in range(4)))
    hottest = np.unravel_index(np.argmax(events), events.shape)
    print(f"  hottest pixel     row {hottest[0]}, column {hottest[1]} ({int(events[hottest])} events)")
    print(f"  bias              {actual_bias:.1f} V measured")
    if temperatures:
        print(f"  temperatures      {min(temperatures):.1f} to {max(temperatures):.1f} C "
              f"({len(temperatures)} readings)")


if __name__ == "__main__":
    main()
