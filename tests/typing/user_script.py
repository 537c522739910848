"""What a user writes: checked with mypy --strict by tests/test_typing.py."""

import os
import tempfile

import numpy as np
import numpy.typing as npt

import vexasdk
from vexasdk import Acquisition, Block, DdToaTotMetadata, OperationalMode
from vexasdk.nexus import HDF5Writer, load
from vexasdk.pixels import HitMap, ScanImage, decode, tot_spectrum


def summarise(acquisition: Acquisition) -> str:
    counts = acquisition.counts
    return f"{counts.blocks} blocks, {counts.events} events, {counts.dropped} dropped"


def on_block(block: Block) -> None:
    chips = decode(block.packets.address).chip
    print(block.sequence, np.unique(chips))


def on_data_driven(packets: npt.NDArray[np.void], metadata: DdToaTotMetadata) -> None:
    print(len(packets), int(metadata.shutter_start))


def main() -> None:
    with vexasdk.open_device() as device:
        for unit in device.power_units:
            unit.power_up()
        hits = HitMap(len(device.chips))
        with device.acquire(OperationalMode.dd_toa_tot, duration=0.5) as acquisition:
            for block in acquisition:
                hits.add(block)
                first_toa: np.uint64 = block.packets.toa[0] if len(block.packets) else np.uint64(0)
                print(first_toa, block.metadata.shutter_start)  # typed per mode: no None to rule out
        print(summarise(acquisition), hits.hottest(), tot_spectrum(hits.counts.ravel(), bins=10).counts)
        device.acquire("fb_itot_evcount", callback=on_block, max_queued=8).wait(timeout=5.0)
        scan = ScanImage(16, 16)
        for totals in device.acquire("binned_evcount", scan=(16, 16), dwell_ns=1000, overflow="drop"):
            scan.add(totals)  # a Block[None, None]: per-position totals, no packets
        path = os.path.join(tempfile.mkdtemp(), "run.h5")
        device.acquire("fb_toa_tot", duration=0.2, sinks=[HDF5Writer(path, overwrite=True)]).wait()
        run = load(path)
        print(run.metadata["block_count"], run["event_id"].shape)
        device.chip_array.set_mode(OperationalMode.dd_toa_tot)
        device.acquisition_runner.start(on_data_driven)
        device.acquisition_runner.await_end()


if __name__ == "__main__":
    main()
