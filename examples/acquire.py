"""A frame-based iToT-evcount acquisition on the virtual detector.

Powers the device up, sets the bias, thresholds and mode of its chips, watches
a temperature monitor, and sums the frames that the virtual detector produces
into a hit map. Frames arrive in the callback as numpy record arrays.
"""

import threading
import time

import numpy as np

import vexasdk
import vexasdk.sim as sim
from vexasdk.pixel_chip import OperationalMode

FRAMES = 100
PACKETS_PER_FRAME = 20_000


def main() -> None:
    [properties, *_] = vexasdk.enumerate_devices()
    print(f"Device {properties.serial_number}: {properties.product_name} at {properties.connection_string}")

    with vexasdk.open_device(properties.connection_string) as device:
        for unit in device.power_units:
            unit.power_up()
        bias = device.bias_sources[0]
        bias.set_desired(100.0)
        for chip in device.chips:
            chip.set_threshold(5.0)
            chip.configure()
        device.chip_array.set_mode(OperationalMode.fb_itot_evcount)
        info = device.chips[0].info()
        print(f"  {len(device.chips)} chips of {info.width} x {info.height} pixels, "
              f"threshold {device.chips[0].get_threshold():.2f} keV (raw {device.chips[0].get_raw_threshold()}), "
              f"mode {device.chip_array.get_mode().name}")

        temperatures = []
        for monitor in device.monitors:
            if monitor.info().name.endswith("temperature"):
                monitor.set_on_value_changed_cb(lambda event: temperatures.append(event.value))

        shape = (len(device.chips), info.height, info.width)
        events = np.zeros(shape, np.uint64)
        itot = np.zeros(shape, np.uint64)
        frames = 0
        lock = threading.Lock()

        def on_frame(packets):
            nonlocal frames
            chip, row, col = packets.address >> 16, (packets.address >> 8) & 0xFF, packets.address & 0xFF
            with lock:
                np.add.at(events, (chip, row, col), packets.evcount)
                np.add.at(itot, (chip, row, col), packets.itot)
                frames += 1

        sim.set_delivery_threads(2)
        sim.generate(blocks_per_second=100, packets_per_block=PACKETS_PER_FRAME, block_limit=FRAMES)
        began = time.perf_counter()
        sim.start(device.context, sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb"), on_frame)
        sim.await_end(device.context)
        elapsed = time.perf_counter() - began
        actual_bias = bias.actual()

    hits = int(np.count_nonzero(events))
    print(f"Acquired {frames} frames in {elapsed:.2f} s")
    print(f"  pixels hit        {hits} of {events.size} ({100 * hits / events.size:.1f} %)")
    print(f"  events            {int(events.sum())}")
    print(f"  mean iToT/event   {itot.sum() / max(events.sum(), 1) * 25:.0f} ns")
    print("  events per chip   " + "  ".join(f"{c}: {int(events[c].sum())}" for c in range(len(events))))
    hottest = np.unravel_index(np.argmax(events), events.shape)
    print(f"  hottest pixel     chip {hottest[0]}, row {hottest[1]}, column {hottest[2]} "
          f"({int(events[hottest])} events)")
    print(f"  bias              {actual_bias:.1f} V measured")
    if temperatures:
        print(f"  temperatures      {min(temperatures):.1f} to {max(temperatures):.1f} C "
              f"({len(temperatures)} readings)")


if __name__ == "__main__":
    main()
