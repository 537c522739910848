"""Blocks through the stream on this machine, against the bare delivery rate.

Data-driven ToA-ToT blocks of about 65,536 packets (1 MiB each) from the
virtual detector: first to a callback that does nothing (the ceiling), then
through a push `Publisher` to a `Receiver` in another process, over TCP on the
loopback and over ipc://. Twice: with blocks the virtual detector generates
as fast as it can (its particle model sets the pace), and with one such block
queued again and again (a copy per block sets it). Prints markdown table rows:
blocks/s and GB/s of packet data, and the share of the ceiling.

    python bench/stream.py [--blocks 600] [--packets 65536]

Not run by the tests.
"""

import argparse
import multiprocessing
import tempfile
import time

import vexasdk
import vexasdk.sim as sim
from vexasdk.stream import Publisher, Receiver

PACKET_BYTES = 16  # address u4, tot u4, toa u8


def receive(address: str, results: "multiprocessing.Queue[tuple[int, int, float, float]]") -> None:
    """The other process: takes every block, reports (blocks, packets, first, last arrival)."""
    blocks = packets = 0
    first = last = 0.0
    with Receiver(address, start_timeout=60.0, hwm=64) as receiver:
        for block in receiver:
            last = time.perf_counter()
            if blocks == 0:
                first = last
            blocks += 1
            packets += len(block.arrays[0])
    results.put((blocks, packets, first, last))


SAMPLE: list[object] = []  # one generated block's packets, shutter start and TDCs, for the queued runs


def ready(device: vexasdk.Device, blocks: int, packets: int, queued: bool) -> None:
    for unit in device.power_units:
        unit.power_up()
    sim.set_bias_actual(0, 100.0)
    for chip in device.chips:
        chip.configure()
    if not queued:
        sim.generate(blocks_per_second=0, packets_per_block=packets, block_limit=blocks)
        return
    if not SAMPLE:
        sim.generate(blocks_per_second=0, packets_per_block=packets, block_limit=1)
        taken: list[vexasdk.Block] = []
        device.acquire("dd_toa_tot", callback=taken.append).wait()
        block = taken[0]
        SAMPLE[:] = [block.arrays[0].copy(), int(block.metadata.shutter_start), [t.copy() for t in block.metadata.tdcs]]
    sim.generate_default(duration=0.0)
    for _ in range(blocks):
        sim.queue_toa_tot(SAMPLE[0], SAMPLE[1], SAMPLE[2])


def bare(blocks: int, packets: int, queued: bool) -> tuple[int, int, float]:
    counted = [0, 0]

    def count(block: vexasdk.Block) -> None:
        counted[0] += 1
        counted[1] += len(block.arrays[0])

    with vexasdk.open_device() as device:
        ready(device, blocks, packets, queued)
        began = time.perf_counter()
        device.acquire("dd_toa_tot", callback=count).wait()
        return counted[0], counted[1], time.perf_counter() - began


def streamed(address: str, blocks: int, packets: int, queued: bool) -> tuple[int, int, float, int]:
    spawn = multiprocessing.get_context("spawn")
    results: "multiprocessing.Queue[tuple[int, int, float, float]]" = spawn.Queue()
    other = spawn.Process(target=receive, args=(address, results))
    other.start()
    with vexasdk.open_device() as device:
        ready(device, blocks, packets, queued)
        publisher = Publisher(address, max_queued=blocks, receivers=1, wait=60.0)
        began = time.perf_counter()
        device.acquire("dd_toa_tot", callback=lambda block: None, sinks=[publisher]).wait()
        got, got_packets, _, last = results.get(timeout=120)
    other.join(30)
    # Both clocks are this machine's monotonic one: from the start here to the last block there.
    return got, got_packets, last - began, publisher.counts.dropped


def row(name: str, blocks: int, packets: int, seconds: float, ceiling: float | None, note: str = "") -> str:
    rate = blocks / seconds
    gigabytes = packets * PACKET_BYTES / seconds / 1e9
    share = f"{rate / ceiling:.2f}" if ceiling else "1.00"
    return (f"| {name} | {blocks} | {packets // max(blocks, 1):,} | {rate:,.0f} | {gigabytes:.2f} | {share} |"
            f" {note} |")


def main() -> None:
    parser = argparse.ArgumentParser(description="Blocks through the stream against the bare delivery rate.")
    parser.add_argument("--blocks", type=int, default=600)
    parser.add_argument("--packets", type=int, default=65_536)
    args = parser.parse_args()
    print("| path | blocks | packets/block | blocks/s | GB/s | of bare | |")
    print("|---|---|---|---|---|---|---|")
    for queued in (False, True):
        source = "queued copies" if queued else "generated"
        count, packets, seconds = bare(args.blocks, args.packets, queued)
        ceiling = count / seconds
        print(row(f"{source}: bare delivery (a callback that does nothing)", count, packets, seconds, None))
        with tempfile.TemporaryDirectory() as folder:
            for name, address in (("push, TCP on 127.0.0.1", "tcp://127.0.0.1:5561"),
                                  ("push, ipc://", f"ipc://{folder}/bench.sock")):
                got, got_packets, seconds, dropped = streamed(address, args.blocks, args.packets, queued)
                print(row(f"{source}: {name}, receiver process", got, got_packets, seconds, ceiling,
                          f"{dropped} dropped"))


if __name__ == "__main__":
    main()
