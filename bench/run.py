"""The benchmarks, in one run: `make bench`.

Every figure is measured side by side with a reference measured on this
machine in the same run (a ctypes call, a Python loop doing the same numpy
work, memcpy, the virtual detector's own cost), the sides alternated over
rounds; the table quotes the median of the per-round ratios with their range,
the target, and what limits the figure. The table is printed and written,
with the date, the machine and the versions, to a file of its own:
bench/results-<UTC time>.md, or BENCH_OUT. bench/RESULTS.md is the tracked
history: copy a run's table there by hand when it is one to keep. A missed
target is reported, never raised: benchmarks do not fail a build.

BENCH_ROUNDS sets the rounds per figure (7); BENCH_ONLY=controller,binned
runs some of them.
"""

from __future__ import annotations

import os
import platform
import subprocess
import sys
import time
from pathlib import Path

# One core's worth of numpy: BLAS threads that spin would take the second core
# from the delivery thread.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import awkward as ak  # noqa: E402
import numpy as np  # noqa: E402

import vexasdk  # noqa: E402
import vexasdk.sim as sim  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from cases import CASES  # noqa: E402
from rounds import ROUNDS, markdown  # noqa: E402

HERE = Path(__file__).resolve().parent


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def commit() -> str:
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              cwd=Path(__file__).parent, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def header(seconds: float) -> str:
    return (f"## {time.strftime('%Y-%m-%d %H:%M')} - commit {commit()}\n\n"
            f"CPU: {cpu_model()}, {os.cpu_count()} cores. Python {platform.python_version()}, "
            f"numpy {np.__version__}, awkward {ak.__version__}, compiler {sim.compiler()}. "
            f"{ROUNDS} rounds a figure, {seconds:.0f} s in all.\n")


def main() -> None:
    only = {name for name in os.environ.get("BENCH_ONLY", "").split(",") if name}
    began = time.perf_counter()
    sim.reset()
    sim.set_monitor_rate(0)
    rows = []
    with vexasdk.open_device() as device:
        for unit in device.power_units:
            unit.power_up()
        sim.set_bias_actual(0, 100.0)
        for case in CASES:
            if only and case.__name__ not in only:
                continue
            print(f"{case.__name__} ...", file=sys.stderr, flush=True)
            rows += case(device)
    report = header(time.perf_counter() - began) + "\n" + markdown(rows) + "\n"
    print(report)
    out = Path(os.environ.get("BENCH_OUT") or HERE / time.strftime("results-%Y%m%dT%H%M%SZ.md", time.gmtime()))
    with out.open("a") as results:
        results.write("\n" + report)
    print(f"written to {out}", file=sys.stderr)


if __name__ == "__main__":
    main()
