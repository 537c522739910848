"""A frame-based iToT-evcount acquisition on the virtual detector.

The virtual detector produces plausible frames; every frame arrives in the
callback as a numpy record array, which is summed into a hit map.
"""

import threading
import time

import numpy as np

import vexasdk
import vexasdk.sim as sim

ITOT_EVCOUNT_FBZS = 9  # the SDK's mode value for frame-based iToT-evcount
FRAMES = 50
PACKETS_PER_FRAME = 20_000


def main() -> None:
    with vexasdk.open_device() as device:
        sim.set_mode(device.context, ITOT_EVCOUNT_FBZS)
        sim.set_delivery_threads(2)
        sim.generate(blocks_per_second=100, packets_per_block=PACKETS_PER_FRAME, block_limit=FRAMES)

        events = np.zeros((4, 256, 256), np.uint64)
        itot = np.zeros_like(events)
        frames = 0
        lock = threading.Lock()

        def on_frame(packets):
            nonlocal frames
            chip, row, col = packets.address >> 16, (packets.address >> 8) & 0xFF, packets.address & 0xFF
            with lock:
                np.add.at(events, (chip, row, col), packets.evcount)
                np.add.at(itot, (chip, row, col), packets.itot)
                frames += 1

        began = time.perf_counter()
        sim.start(device.context, sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb"), on_frame)
        sim.await_end(device.context)
        elapsed = time.perf_counter() - began

    hits = int(np.count_nonzero(events))
    print(f"Acquired {frames} frames in {elapsed:.2f} s on {device.connection_string}")
    print(f"  pixels hit        {hits} of {events.size} ({100 * hits / events.size:.1f} %)")
    print(f"  events            {int(events.sum())}")
    print(f"  mean iToT/event   {itot.sum() / max(events.sum(), 1) * 25:.0f} ns")
    print("  events per chip   " + "  ".join(f"chip {c}: {int(events[c].sum())}" for c in range(4)))
    hottest = np.unravel_index(np.argmax(events), events.shape)
    print(f"  hottest pixel     chip {hottest[0]}, row {hottest[1]}, column {hottest[2]} "
          f"({int(events[hottest])} events)")


if __name__ == "__main__":
    main()
