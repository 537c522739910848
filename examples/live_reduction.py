"""A live hit map and virtual bright-field image of a 4D-STEM scan, reduced on
a Dask cluster while the scan streams.

Three parts, as they would run on three machines: the acquisition, which
streams its blocks (`vexasdk.stream.Publisher`); a receiver, which hands them
to the worker processes of a local Dask cluster as they arrive (`reduce_on`);
and the same reduction done here on the blocks as the acquisition delivered
them, which the cluster's must equal. Saves the images to live_reduction.npz
and, with matplotlib, draws live_reduction.png.

    python examples/live_reduction.py [--scan 64x64] [--dwell 50000] [--workers 3] [--out DIR]

Needs pyzmq and dask's distributed (pip install vexasdk[stream,dask]). Without
hardware this runs on the virtual detector, which needs no set-up.
"""

import argparse
import pathlib
import tempfile
import threading
import time
from collections.abc import Iterator
from typing import Any

import numpy as np
import distributed

import vexasdk
from vexasdk.acquisition import Block
from vexasdk.stream import Publisher, Receiver, Reduction, hit_map, reduce_locally, reduce_on, virtual_images


def acquire(address: str, scan: tuple[int, int], dwell_ns: int, delivered: list[Block],
            failures: list[BaseException]) -> None:
    """The detector's side: a binned scan, streamed to one receiver."""
    try:
        with vexasdk.open_device() as device:
            for unit in device.power_units:
                unit.power_up()
            device.set_bias(100.0)  # and waits until it has settled
            for chip in device.chips:
                chip.configure()
            publisher = Publisher(address, receivers=1, wait=60.0)
            acquisition = device.acquire("binned_data", scan=scan, dwell_ns=dwell_ns, callback=delivered.append,
                                         sinks=[publisher])
            acquisition.wait()
            print(f"  sent {publisher.counts.sent} blocks ({publisher.counts.dropped} dropped)")
    except BaseException as error:
        failures.append(error)


def shown(receiver: Receiver) -> Iterator[Block]:
    """The receiver's blocks, with a line of progress now and then."""
    last = 0.0
    for block in receiver:
        if time.monotonic() - last >= 0.5:
            last = time.monotonic()
            print(f"  block {block.sequence}: scan positions from {block.first_position}, "
                  f"{receiver.counts.blocks} received")
        yield block


def draw(images: dict[str, Any], hits: np.ndarray, path: pathlib.Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    figure, axes = plt.subplots(1, 3, figsize=(15, 5), constrained_layout=True)
    for ax, (title, image) in zip(axes, [("hit map (log events)", np.log1p(hits.astype(np.float64))),
                                         ("virtual bright field", images["bright_field"]),
                                         ("annular dark field", images["annular_dark_field"])]):
        shown_image = ax.imshow(image, cmap="viridis", interpolation="nearest")
        ax.set_title(title)
        figure.colorbar(shown_image, ax=ax, shrink=0.8)
    figure.savefig(path, dpi=80)
    plt.close(figure)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--scan", default="64x64", help="WIDTHxHEIGHT of the scan (default 64x64)")
    parser.add_argument("--dwell", type=int, default=50_000, help="dwell time per position in ns (default 50000)")
    parser.add_argument("--workers", type=int, default=3, help="Dask worker processes (default 3)")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("live_reduction_out"),
                        help="the folder the results go to, made if need be (default live_reduction_out)")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    width, height = (int(n) for n in args.scan.lower().split("x"))
    scan = (width, height)
    reductions: dict[str, Reduction[Any, Any]] = {"hits": hit_map(), "images": virtual_images(scan)}
    dask: Any = distributed  # its constructors carry no annotations

    with tempfile.TemporaryDirectory() as folder, \
            dask.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, dask.Client(cluster) as client:
        address = f"ipc://{folder}/scan.sock"
        delivered: list[Block] = []
        failures: list[BaseException] = []
        with Receiver(address, start_timeout=60.0) as receiver:
            detector = threading.Thread(target=acquire, args=(address, scan, args.dwell, delivered, failures))
            detector.start()
            print(f"Reducing a {width} x {height} scan on {args.workers} Dask workers as it streams")
            totals = reduce_on(client, shown(receiver), reductions)
            detector.join()
        if failures:
            raise failures[0]

    local = reduce_locally(delivered, reductions)
    hits, images = totals["hits"], totals["images"]
    same = np.array_equal(hits, local["hits"]) and all(
        np.array_equal(images[name], local["images"][name]) for name in images)
    print(f"  {len(delivered)} blocks, {int(hits.sum())} events; the cluster's result "
          f"{'matches' if same else 'DIFFERS FROM'} the local reduction")
    args.out.mkdir(parents=True, exist_ok=True)
    np.savez(args.out / "live_reduction.npz", hit_map=hits, **images)
    print(f"  saved         {args.out / 'live_reduction.npz'}")
    if draw(images, hits, args.out / "live_reduction.png"):
        print(f"  figure        {args.out / 'live_reduction.png'}")
    if not same:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
