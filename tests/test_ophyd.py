"""The detector in a Bluesky RunEngine, judged by the documents it emits and
the files they point into."""

import asyncio
import threading
import time

import h5py
import numpy as np
import pytest

pytest.importorskip("ophyd_async")
import bluesky.plan_stubs as bps  # noqa: E402
import bluesky.preprocessors as bpp  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.plans import count  # noqa: E402
from bluesky.utils import FailedStatus, RunEngineInterrupted  # noqa: E402
from ophyd_async.core import (DetectorTrigger, StaticPathProvider, TriggerInfo,  # noqa: E402
                              UUIDFilenameProvider, init_devices)

from vexasdk import sim  # noqa: E402
from vexasdk.nexus import load  # noqa: E402
from vexasdk.ophyd import VexaDetector, with_account  # noqa: E402


@pytest.fixture(scope="module")
def RE():
    engine = RunEngine({}, call_returns_result=True)
    yield engine
    engine.loop.call_soon_threadsafe(engine.loop.stop)


@pytest.fixture
def documents(RE):
    collected = []
    token = RE.subscribe(lambda name, doc: collected.append((name, doc)))
    yield collected
    RE.unsubscribe(token)


@pytest.fixture
def det(RE, tmp_path):
    with init_devices():
        det = VexaDetector(StaticPathProvider(UUIDFilenameProvider(), tmp_path))
    yield det
    det.device.close()


def checked(documents):
    """Checks what the documents say against the files they name: each data
    key's shape and dtype, and stream datums that cover every row once."""
    names = [name for name, _ in documents]
    assert names[0] == "start" and names[-1] == "stop"
    keys = {k: v for name, doc in documents if name == "descriptor" for k, v in doc["data_keys"].items()}
    resources = {doc["uid"]: doc for name, doc in documents if name == "stream_resource"}
    covered = {uid: [] for uid in resources}
    for name, doc in documents:
        if name == "stream_datum":
            covered[doc["stream_resource"]] += range(doc["indices"]["start"], doc["indices"]["stop"])
    for uid, resource in resources.items():
        key = keys[resource["data_key"]]
        with h5py.File(resource["uri"].removeprefix("file://localhost"), "r") as f:
            dataset = f[resource["parameters"]["dataset"]]
            assert dataset.dtype.str == key["dtype_numpy"] and list(dataset.shape[1:]) == key["shape"][1:]
            assert sorted(covered[uid]) == list(range(len(dataset))), resource["data_key"]
    return documents[-1][1]


@pytest.mark.parametrize("plan", ["count", "scan"])
def test_step_plans_write_one_file_of_their_frames(RE, det, documents, plan):
    if plan == "count":
        RE(with_account(count([det], num=3), det))
    else:
        from bluesky.plans import scan
        from ophyd_async.sim import SimMotor

        with init_devices():
            motor = SimMotor()
        RE(with_account(scan([det], motor, 0, 1, 3), det))
    stop = checked(documents)
    assert stop["exit_status"] == "success" and "det: 3 blocks made, 0 lost" in stop["reason"]
    [resource] = [doc for name, doc in documents if name == "stream_resource" and doc["data_key"] == "det"]
    run = load(resource["uri"].removeprefix("file://localhost"))
    assert run["evcount"].shape == (3, 512, 512) and run.metadata["complete"]
    assert [name for name, _ in documents].count("event") == 3


def fly(det, events, trigger=DetectorTrigger.INTERNAL, livetime=0.0, during=None, exposure_timeout=None):
    @bpp.stage_decorator([det])
    @bpp.run_decorator()
    def plan():
        info = TriggerInfo(number_of_events=events, trigger=trigger, livetime=livetime,
                           **({"exposure_timeout": exposure_timeout} if exposure_timeout else {}))
        yield from bps.prepare(det, info, wait=True)
        yield from bps.declare_stream(det, name="primary", collect=True)
        yield from bps.kickoff(det, wait=True)
        if during is not None:
            threading.Thread(target=during, daemon=True).start()
        yield from bps.collect_while_completing(flyers=[det], dets=[det], flush_period=0.05)

    return with_account(plan(), det)


def pulses(det, count):
    """The hardware trigger's pulses, as the virtual detector takes them."""
    def send():
        for _ in range(count):
            time.sleep(0.05)
            det.device.acquisition_runner.trigger()
    return send


@pytest.mark.parametrize("mode, events, settings", [
    ("fb_itot_evcount", 5, {}),
    ("fb_toa_tot", 4, {}),
    ("binned_data", 6, {"scan_width": 8, "livetime": 8e-6}),
    ("dd_toa_tot", 4, {"trigger": DetectorTrigger.EXTERNAL_EDGE, "livetime": 0.02}),
])
def test_fly_scans_in_every_mode(RE, det, documents, mode, events, settings):
    RE(bps.mv(det.mode, mode, det.scan_width, settings.get("scan_width", 16)))
    external = settings.get("trigger") is DetectorTrigger.EXTERNAL_EDGE
    RE(fly(det, events, settings.get("trigger", DetectorTrigger.INTERNAL), settings.get("livetime", 0.0),
           during=pulses(det, events) if external else None))
    stop = checked(documents)
    rows = sum(doc["indices"]["stop"] - doc["indices"]["start"] for name, doc in documents
               if name == "stream_datum" and doc["stream_resource"] == documents[2][1]["uid"])
    assert rows == events and stop["exit_status"] == "success" and ", 0 lost" in stop["reason"]


def test_signals_describe_their_units_and_limits_and_refuse_what_is_outside(RE, det):
    keys = asyncio.run_coroutine_threadsafe(det.describe_configuration(), RE.loop).result(10)
    assert keys["det-threshold"]["units"] == "keV" and keys["det-bias"]["limits"]["control"]["high"] == 1000.0
    assert keys["det-temperature_0"]["units"] == "degC" and keys["det-bias_ready"]["dtype"] == "boolean"
    with pytest.raises(FailedStatus):
        RE(bps.mv(det.bias, 300))  # past the source's 200 V


def test_a_bias_that_never_settles_fails_the_run_with_the_file_closed(RE, det, documents):
    RE(bps.mv(det.bias_timeout, 0.3))
    sim.set_bias_actual(0, 40.0)
    with pytest.raises(Exception, match="the bias is at 40.0 V after 0.3 s"):
        RE(fly(det, 3))
    assert documents[-1][1]["exit_status"] == "fail"


@pytest.mark.parametrize("fault", ["pause_and_abort", "device_closed"])
def test_a_run_cut_short_leaves_the_detector_disarmed_and_the_file_readable(RE, det, documents, tmp_path, fault):
    RE(bps.mv(det.mode, "binned_data", det.scan_width, 64))
    if fault == "pause_and_abort":  # what Ctrl-C, then RE.abort(), does
        def interrupt():
            time.sleep(0.3)
            RE.request_pause(defer=False)
        with pytest.raises(RunEngineInterrupted):
            RE(fly(det, 64, livetime=64 * 100e-6, during=interrupt))
        RE.abort()
    else:
        def disconnect():
            time.sleep(0.3)
            det.device.close()
        with pytest.raises(Exception):
            RE(fly(det, 64, livetime=64 * 100e-6, exposure_timeout=1.0, during=disconnect))
    assert documents[-1][0] == "stop" and documents[-1][1]["exit_status"] in ("abort", "fail")
    assert det._control.acquisition is None and det._control.writer is None
    [path] = tmp_path.glob("*.h5")
    run = load(path)
    assert run["evcount"].shape == (64, 64)  # and every block the file holds accounted: "complete" says so
