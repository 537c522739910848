"""Data-path benchmarks on the virtual detector.

Each line compares what the layer does with a ceiling measured on this
machine: the throughput of a plain numpy copy of the same bytes, and the cost
of the callback call itself. Ratios near 1 mean the layer adds little.
"""

import time

import numpy as np

import vexasdk
import vexasdk.sim as sim

TRAMPOLINE = ("_t3_itot_evcount", "fb_itot_evcount_cb")


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        began = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - began)
    return best


def delivery_seconds(device, block, blocks, trampoline, queue=sim.queue_itot_evcount):
    """Seconds per block delivered through `trampoline`."""
    for _ in range(blocks):
        queue(block)
    callback = lambda *block: None  # noqa: E731
    began = time.perf_counter()
    sim.start(device.context, trampoline, callback)
    sim.await_end(device.context)
    return (time.perf_counter() - began) / blocks


def layer_seconds(device, block, blocks, trampoline=TRAMPOLINE, queue=sim.queue_itot_evcount):
    """What the layer adds per block: delivery through the trampoline less
    delivery to a C callback that does nothing (the virtual detector's share)."""
    through = min(delivery_seconds(device, block, blocks, sim.trampoline(*trampoline), queue) for _ in range(3))
    engine = min(delivery_seconds(device, block, blocks, sim.null_callback(), queue) for _ in range(3))
    return through - engine


def binned(device):
    """A 512 x 512 scan with four packets a bin: one copy of the packets, the
    per-bin counts written by C++, and awkward's cut into bins."""
    bins = 512 * 512
    packets = np.zeros(4 * bins, sim.BIN_PACKET_DTYPE)
    packets["count"] = 1
    per_bin = np.split(packets, bins)
    values = np.arange(bins, dtype=np.uint64)

    def queue(_):
        sim.queue_binned(values, values, per_bin)

    layer_s = layer_seconds(device, None, 2, ("_t3_binning", "binned_data_cb"), queue)
    counts = np.full(bins, 4, np.uint64)

    def ceiling():
        import awkward as ak

        ak.unflatten(ak.from_numpy(packets.copy()), counts.copy())
        values.copy(), values.copy()

    ceiling_s = best_of(5, ceiling)
    print(f"binned block of {bins} bins, {len(packets)} packets: layer {layer_s * 1e3:.2f} ms, "
          f"numpy copies + awkward cut {ceiling_s * 1e3:.2f} ms (ratio {layer_s / ceiling_s:.2f})")


def controller_calls(device):
    """Controller calls: one SDK call with the lock released each (two for
    settings), against a call of a C builtin that does nothing."""
    chip, bias, unit = device.chips[0], device.bias_sources[0], device.power_units[0]
    monitor = device.monitors[0]
    calls = {
        "PixelChip.get_threshold()": chip.get_threshold,
        "PixelChip.set_threshold(5.0)": lambda: chip.set_threshold(5.0),
        "PixelChip.settings()": chip.settings,
        "BiasSource.get_desired()": bias.get_desired,
        "MonitorChannel.fetch_value()": monitor.fetch_value,
        "_PowerUnit.is_powered()": unit.is_powered,
    }
    n = 20000
    floor = best_of(5, lambda: [len(()) for _ in range(n)]) / n
    for name, call in calls.items():
        per_call = best_of(5, lambda: [call() for _ in range(n)]) / n
        print(f"{name:32s} {per_call * 1e6:6.2f} us per call (a bare C builtin: {floor * 1e6:.2f} us)")


def main():
    sim.reset()
    with vexasdk.open_device() as device:
        for unit in device.power_units:
            unit.power_up()
        block = np.zeros(1_000_000, sim.ITOT_EVCOUNT_DTYPE)
        block["address"] = np.arange(len(block))
        # The SDK's blocks are cold when they arrive: copy ten distinct ones in turn.
        sources = [block.copy() for _ in range(10)]
        def copy_each():
            for source in sources:
                source.copy()  # allocated, filled and dropped, as a callback that keeps nothing

        copy_s = best_of(3, copy_each) / len(sources)
        deliver_s = layer_seconds(device, block, 10)
        print(f"1,000,000-packet block: layer {deliver_s * 1e3:.2f} ms, numpy copy {copy_s * 1e3:.2f} ms "
              f"(ratio {deliver_s / copy_s:.2f}; {block.nbytes / deliver_s / 1e9:.1f} GB/s)")

        empty = block[:0]
        per_block = layer_seconds(device, empty, 2000)

        def noop(packets):
            pass

        view = empty.view(np.recarray)
        call_s = best_of(5, lambda: [noop(view) for _ in range(2000)]) / 2000
        view_s = best_of(5, lambda: [empty.view(np.recarray) for _ in range(2000)]) / 2000
        binned(device)
        controller_calls(device)
        print(f"empty block: layer {per_block * 1e6:.2f} us per block; of that the Python call "
              f"{call_s * 1e6:.2f} us and the record-array view {view_s * 1e6:.2f} us")


if __name__ == "__main__":
    main()
