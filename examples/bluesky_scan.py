"""The detector in a Bluesky RunEngine: a count of three frames, then a fly
scan of a 4D-STEM scan, each into a file of its own, with the run's account
in its stop document.

Without hardware this runs on the virtual detector, which needs no set-up.
Run it with a folder for the files: ``python examples/bluesky_scan.py [DIR]``.
"""

import sys
import tempfile
from collections.abc import Generator
from pathlib import Path
from typing import Any

import bluesky.plan_stubs as bps
import bluesky.preprocessors as bpp
from bluesky import RunEngine
from bluesky.plans import count
from bluesky.utils import Msg
from ophyd_async.core import StaticPathProvider, TriggerInfo, UUIDFilenameProvider, init_devices

from vexasdk.nexus import load
from vexasdk.ophyd import VexaDetector, with_account


def fly_scan(det: VexaDetector, rows: int, row_time: float) -> Generator[Msg, Any, Any]:
    """One scan of `rows` rows, each row one event; the detector flies."""
    @bpp.stage_decorator([det])  # type: ignore[untyped-decorator]  # bluesky's decorators are untyped
    @bpp.run_decorator()  # type: ignore[untyped-decorator]
    def scan() -> Generator[Msg, Any, Any]:
        yield from bps.prepare(det, TriggerInfo(number_of_events=rows, livetime=row_time), wait=True)
        yield from bps.declare_stream(det, name="primary", collect=True)
        yield from bps.kickoff(det, wait=True)
        yield from bps.collect_while_completing(flyers=[det], dets=[det], flush_period=0.1)

    return (yield from scan())


def main() -> None:
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="vexasdk-bluesky-")).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    RE = RunEngine({})  # first: devices connect in its event loop
    files: list[str] = []
    stops: list[dict[str, Any]] = []

    def note(name: str, doc: dict[str, Any]) -> None:
        if name == "stream_resource" and doc["uri"] not in files:
            files.append(doc["uri"].removeprefix("file://localhost"))
        if name == "stop":
            stops.append(doc)

    RE.subscribe(note)  # type: ignore[no-untyped-call]
    with init_devices():
        det = VexaDetector(StaticPathProvider(UUIDFilenameProvider(), folder))
    RE(bps.mv(det.bias, 100, det.threshold, 5.0))  # bias in V, threshold in keV

    RE(with_account(count([det], num=3), det))
    RE(bps.mv(det.mode, "binned_data", det.scan_width, 32))
    RE(with_account(fly_scan(det, rows=32, row_time=32 * 1000e-9), det))

    for path, stop in zip(sorted(set(files), key=files.index), stops):
        run = load(path)
        print(f"{run.mode.name:16} {run.metadata['block_count']:4} blocks  {run.metadata['event_count']:9,} events  "
              f"{stop['exit_status']}: {stop['reason']}  {path}")
    det.device.close()


if __name__ == "__main__":
    main()
