"""A frame-based iToT-evcount acquisition, as on hardware.

Powers the device up, sets the sensor bias, the chips' thresholds and polarity,
and acquires for a second with `Device.acquire`, taking the frames as they
arrive and summing them into a hit map of the assembled quad.

Without hardware this runs on the virtual detector, which needs no set-up.
"""


import numpy as np

import vexasdk
from vexasdk.pixel_chip import ChipPolarity, OperationalMode
from vexasdk.pixels import ITOT_NS, HitMap

BIAS_VOLTS = 100.0
THRESHOLD_KEV = 5.0


def main() -> None:
    [properties, *_] = vexasdk.enumerate_devices()
    print(f"Device {properties.serial_number}: {properties.product_name} at {properties.connection_string}")

    with vexasdk.open_device(properties.connection_string) as device:
        for unit in device.power_units:
            unit.power_up()
        device.set_bias(BIAS_VOLTS)  # and waits until it has settled
        bias = device.bias_sources[0]
        for chip in device.chips:
            chip.set_polarity(ChipPolarity.electrons_collection)
            chip.set_threshold(THRESHOLD_KEV)
            chip.configure()
        print(f"  {len(device.chips)} chips, threshold {device.chips[0].get_threshold():.2f} keV, "
              f"bias {bias.actual():.1f} V")

        hits = HitMap(len(device.chips))
        itot = 0
        with device.acquire(OperationalMode.fb_itot_evcount, duration=1.0) as acquisition:
            for frame in acquisition:  # numpy record arrays: address, itot, evcount
                hits.add(frame)
                itot += int(frame.arrays[0].itot.sum())
        counts = acquisition.counts

    events = int(hits.counts.sum())
    hit = int(np.count_nonzero(hits.counts))
    row, column, most = hits.hottest()
    print(f"Acquired {counts.blocks} frames in {acquisition.elapsed:.2f} s ({counts.dropped} dropped)")
    print(f"  pixels hit        {hit} of {hits.counts.size} ({100 * hit / hits.counts.size:.1f} %)")
    print(f"  events            {events}")
    print(f"  mean iToT/event   {itot / max(events, 1) * ITOT_NS:.0f} ns")
    print(f"  hottest pixel     row {row}, column {column} ({most} events)")


if __name__ == "__main__":
    main()
