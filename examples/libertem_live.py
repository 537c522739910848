"""LiberTEM UDFs on a 4D-STEM scan while it runs.

Powers the device up and biases the sensor, then lets LiberTEM-live start a
`binned_data` scan and run two UDFs on its frames as they arrive: the sum of
all frames (the scan's mean diffraction pattern, times its positions) and the
events at each position (an image of the scan). Prints a summary and saves
both to libertem_live.npz and, with matplotlib, the sum to libertem_live.png.

    python examples/libertem_live.py [--scan 32x32] [--dwell 1000] [--executor inline] [--out DIR]

Needs LiberTEM-live (pip install "vexasdk[libertem]", see docs/libertem.md).
Without hardware this runs on the virtual detector, which needs no set-up.
"""

import argparse
import pathlib
import time

import numpy as np
from libertem.udf.sum import SumUDF  # type: ignore[import-untyped]
from libertem.udf.sumsigudf import SumSigUDF  # type: ignore[import-untyped]
from libertem_live.api import LiveContext  # type: ignore[import-untyped]

import vexasdk
from vexasdk.libertem import open_connection


def draw(summed: np.ndarray, path: pathlib.Path) -> bool:
    """The sum frame as an image, on a log scale: the bright-field disc and what the specimen scattered."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    plt.imsave(path, np.log1p(summed), cmap="viridis")
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--scan", default="32x32", help="WIDTHxHEIGHT of the scan (default 32x32)")
    parser.add_argument("--dwell", type=int, default=1000, help="dwell time per position in ns (default 1000)")
    parser.add_argument("--executor", choices=["inline", "pipelined"], default="inline",
                        help="inline runs the UDFs here; pipelined on a process per core (default inline)")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("libertem_live_out"),
                        help="the folder the results go to, made if need be (default libertem_live_out)")
    args = parser.parse_args()
    width, height = (int(side) for side in args.scan.lower().split("x"))

    with vexasdk.open_device() as device, LiveContext.make_with(args.executor) as ctx:
        for unit in device.power_units:
            unit.power_up()
        device.set_bias(100.0)  # past full depletion, and waits until it has settled
        with open_connection(device, dwell_ns=args.dwell) as conn:
            # LiberTEM's nav_shape is (rows, columns): the scan's (height, width).
            aq = ctx.make_acquisition(conn=conn, nav_shape=(height, width))
            began = time.monotonic()
            summed, per_position = ctx.run_udf(dataset=aq, udf=[SumUDF(), SumSigUDF()])
            took = time.monotonic() - began
        summed = summed["intensity"].data
        per_position = per_position["intensity"].data

    row, column = np.unravel_index(np.argmax(summed), summed.shape)
    print(f"Scanned {width}x{height} positions at {args.dwell} ns in {took:.2f} s with LiberTEM ({args.executor})")
    print(f"  frames            {per_position.size} of {summed.shape[0]}x{summed.shape[1]} pixels")
    print(f"  positions missing {aq.missing_positions}")
    print(f"  events            {int(summed.sum())}")
    print(f"  brightest pixel   row {row}, column {column} ({int(summed[row, column])} events)")
    args.out.mkdir(parents=True, exist_ok=True)
    np.savez(args.out / "libertem_live.npz", summed=summed, per_position=per_position)
    print(f"  saved             {args.out / 'libertem_live.npz'}")
    if draw(summed, args.out / "libertem_live.png"):
        print(f"  figure            {args.out / 'libertem_live.png'}")


if __name__ == "__main__":  # the pipelined executor's worker processes import this file
    main()
