"""Device.acquire and the Acquisition it returns: blocks in every mode, their
order and scan positions, the queue's policy, callbacks that fail, stopping,
Ctrl-C, and the arguments it refuses."""

import signal
import time

import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import Block, OperationalMode, SdkError
from vexasdk.acquisition import DATA_MODES

from helpers import INTERRUPTIBLE, make_ready, run_python

M = OperationalMode
SHAPES = {M.dd_toa_tot: 2, M.dd_toa_tot_sorted: 2, M.fb_toa_tot: 1, M.fb_itot_evcount: 1, M.binned_data: 3,
          M.binned_evcount: 1, M.binned_itot: 1}


@pytest.fixture
def ready(device):
    make_ready(device)
    sim.generate_default(duration=0.2)  # a fifth of a second of data, as it comes out of the box otherwise
    return device


def binned(mode):
    return {"scan": (16, 12), "dwell_ns": 1000} if mode.name.startswith("binned") else {}


@pytest.mark.parametrize("mode", DATA_MODES)
@pytest.mark.parametrize("form", ["iterator", "callback"])
def test_every_data_mode_in_both_forms(ready, mode, form):
    got = []
    acquisition = ready.acquire(mode, callback=got.append if form == "callback" else None, **binned(mode))
    if form == "iterator":
        got.extend(acquisition)
    else:
        assert acquisition.wait(10)
    assert not acquisition.running and acquisition.stopped_by == "device"
    assert got and [b.sequence for b in got] == list(range(len(got)))
    counts = acquisition.counts
    assert counts.blocks == len(got) and counts.dropped == 0 and counts.callback_failures == 0
    assert counts.packets == sum(b.packet_count() for b in got)
    for block in got:
        assert type(block) is Block and block.mode is mode and len(block.arrays) == SHAPES[mode]
        assert acquisition.started_at <= block.arrived <= acquisition.ended_at
    if mode.name.startswith("binned"):
        assert acquisition.scan_shape == (16, 12) == got[0].scan_shape
        assert counts.positions == 16 * 12


def test_binned_blocks_cover_the_scan_once_in_order(ready):
    sim.generate(blocks_per_second=0, packets_per_block=5)  # 5 positions a block
    blocks = list(ready.acquire(M.binned_evcount, scan=(8, 6), dwell_ns=500))
    assert [b.first_position for b in blocks] == list(range(0, 48, 5))
    assert sum(b.positions for b in blocks) == 48
    covered = np.concatenate([b.first_position + np.arange(b.positions) for b in blocks])
    np.testing.assert_array_equal(np.sort(covered), np.arange(48))


def test_a_full_queue_drops_the_newest_and_counts_it(ready):
    sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=200)
    seen = []
    with ready.acquire(M.fb_itot_evcount, max_queued=2, overflow="drop") as acquisition:
        for block in acquisition:
            seen.append(block.sequence)
            time.sleep(0.002)  # a slow consumer
    counts = acquisition.counts
    assert counts.dropped > 0 and counts.blocks + counts.dropped == 200
    assert len(seen) == counts.blocks and seen == sorted(seen)  # never a dropped one, in order


def test_a_full_queue_waits_for_a_slow_consumer(ready):
    sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=40)
    seen = []
    with ready.acquire(M.fb_itot_evcount, max_queued=1, overflow="wait", full_timeout=10.0) as acquisition:
        for block in acquisition:
            seen.append(block.sequence)
            time.sleep(0.005)
    assert seen == list(range(40)) and acquisition.counts.dropped == 0


def test_a_failing_callback_is_re_raised_once_it_has_ended(ready, vexasdk_log):
    sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=7)
    calls = []

    def callback(block):
        calls.append(block.sequence)
        raise ValueError(f"bad block {block.sequence}")

    acquisition = ready.acquire(M.fb_itot_evcount, callback=callback)
    with pytest.raises(ValueError, match="bad block 0") as raised:
        acquisition.wait()
    assert raised.value.__notes__ == ["The acquisition's callback failed 7 times in all."]
    assert len(calls) == 7 and acquisition.counts.callback_failures == 7
    assert [m for _, m, _ in vexasdk_log()] == ["Failed to execute acquisition data callback."] * 7
    assert acquisition.wait() is True  # reported once


def test_failed_fetches_are_counted_not_delivered(ready, vexasdk_log):
    for _ in range(3):
        sim.queue_fetch_failure()
    sim.queue_itot_evcount(np.zeros(4, sim.ITOT_EVCOUNT_DTYPE))
    acquisition = ready.acquire(M.fb_itot_evcount)
    blocks = list(acquisition)
    assert [len(b.packets) for b in blocks] == [4]  # the good one
    assert acquisition.counts.failed_fetches == 3 and acquisition.counts.blocks == 1
    assert len(vexasdk_log()) == 3


def test_stops_after_its_duration(ready):
    sim.generate(blocks_per_second=500, packets_per_block=5)  # until aborted
    began = time.monotonic()
    acquisition = ready.acquire(M.dd_toa_tot, duration=0.3)
    assert acquisition.wait(10)
    assert acquisition.stopped_by == "duration" and 0.25 < time.monotonic() - began < 5
    assert acquisition.counts.blocks > 10


def test_leaving_the_block_aborts_what_still_runs(ready):
    sim.generate(blocks_per_second=500, packets_per_block=5)
    with ready.acquire(M.fb_toa_tot) as acquisition:
        next(iter(acquisition))
    assert not acquisition.running and acquisition.stopped_by == "abort"
    again = ready.acquire(M.fb_toa_tot, duration=0.05)  # the device is ready for the next
    assert again.wait(10)


def test_closing_the_device_ends_its_acquisition(ready):
    sim.generate(blocks_per_second=200, packets_per_block=5)
    acquisition = ready.acquire(M.fb_toa_tot)
    next(iter(acquisition))
    ready.close()
    assert acquisition.wait(10) and acquisition.stopped_by == "close"


class SlowSink:
    """A sink whose close takes a while, as a file's last write does."""

    def __init__(self):
        self.closed = False

    def open(self, acquisition):
        pass

    def put(self, block):
        pass

    def close(self, acquisition):
        time.sleep(0.3)
        self.closed = True


class CountingSink(SlowSink):
    def __init__(self):
        super().__init__()
        self.blocks = 0

    def put(self, block):
        self.blocks += 1

    def close(self, acquisition):
        self.closed = True


def test_sinks_alone_never_wait_for_an_iterator(ready):
    # Nobody iterates: the iterator's queue fills, and the SDK's thread must
    # not wait for room (a second per block) while the sinks keep every block.
    sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=300)
    sink = CountingSink()
    acquisition = ready.acquire(M.fb_itot_evcount, max_queued=10, full_timeout=5.0, sinks=[sink])
    began = time.monotonic()
    assert acquisition.wait(20)
    assert time.monotonic() - began < 5.0
    counts = acquisition.counts
    assert sink.blocks == counts.blocks == 300 and counts.dropped == 0 and counts.skipped == 290
    assert len(list(acquisition)) == 10  # the iterator still has the first ones


def test_closing_the_device_returns_once_the_sinks_are_closed(ready):
    sim.generate(blocks_per_second=200, packets_per_block=5)
    sink = SlowSink()
    ready.acquire(M.fb_toa_tot, sinks=[sink])
    ready.close()
    assert sink.closed


def test_an_acquisition_running_at_exit_closes_its_sinks_first(tmp_path):
    result = run_python(f"""
import sys, vexasdk, vexasdk.sim as sim
sys.path.insert(0, {str(tmp_path)!r})
from vexasdk.nexus import HDF5Writer
device = vexasdk.open_device()
for unit in device.power_units:
    unit.power_up()
sim.generate(blocks_per_second=200, packets_per_block=50)
acquisition = device.acquire("fb_toa_tot", sinks=[HDF5Writer({str(tmp_path / "run.h5")!r})])
next(iter(acquisition))
print("leaving")  # the script ends with the acquisition and its file open
""", timeout=60)
    assert result.returncode == 0 and result.stdout == "leaving\n", result.stderr
    from vexasdk.nexus import load
    run = load(tmp_path / "run.h5")
    assert run.metadata["block_count"] > 0 and run.metadata["end_time"]


def test_trigger_reaches_the_running_acquisition(ready):
    sim.generate(blocks_per_second=200, packets_per_block=5)
    with ready.acquire(M.dd_toa_tot) as acquisition:
        acquisition.trigger()
        acquisition.trigger()
    assert sim.trigger_count() == 2
    with pytest.raises(SdkError):
        acquisition.trigger()  # nothing runs any more


@pytest.mark.parametrize("kwargs, error, text", [
    ({"mode": "dd_toatot"}, ValueError, r"mode must be one of the data modes dd_toa_tot, dd_toa_tot_sorted, .*"),
    ({"mode": M.evcount_8bit}, ValueError, r"mode evcount_8bit delivers no processed data"),
    ({"mode": 7}, ValueError, r"mode must be one of the data modes"),
    ({"mode": "binned_data"}, ValueError, r"mode binned_data needs scan=\(width, height\) and dwell_ns"),
    ({"mode": "binned_data", "scan": (0, 4), "dwell_ns": 1}, ValueError, r"scan width must be an integer from 1"),
    ({"mode": "binned_data", "scan": (4, 2**32), "dwell_ns": 1}, ValueError, r"scan height must be .* 4294967295"),
    ({"mode": "binned_data", "scan": [4, 4], "dwell_ns": 1}, ValueError, r"scan must be a \(width, height\) tuple"),
    ({"mode": "binned_data", "scan": (4, 4), "dwell_ns": 0}, ValueError, r"dwell_ns must be an integer from 1"),
    ({"mode": "dd_toa_tot", "scan": (4, 4)}, ValueError, r"scan and dwell_ns are for the binned modes only"),
    ({"mode": "dd_toa_tot", "duration": 0}, ValueError, r"duration must be above 0 and at most"),
    ({"mode": "dd_toa_tot", "duration": float("nan")}, ValueError, r"duration must be above 0"),
    ({"mode": "dd_toa_tot", "duration": "1"}, TypeError, r"duration must be a number, got str"),
    ({"mode": "dd_toa_tot", "max_queued": 0}, ValueError, r"max_queued must be an integer of at least 1"),
    ({"mode": "dd_toa_tot", "overflow": "block"}, ValueError, r"overflow must be 'wait' or 'drop'"),
    ({"mode": "dd_toa_tot", "full_timeout": 61}, ValueError, r"full_timeout must be at least 0 and at most 60"),
    ({"mode": "dd_toa_tot", "callback": 5}, TypeError, r"callback must be callable, got int"),
])
def test_bad_arguments_start_nothing(ready, kwargs, error, text):
    mode = kwargs.pop("mode")
    with pytest.raises(error, match=text):
        ready.acquire(mode, **kwargs)
    assert sim.call_count("vexasdk_acq_start") == 0


def test_a_mode_the_chips_do_not_support(ready):
    sim.set_supported_modes([7, 9])
    with vexasdk.open_device() as device:
        with pytest.raises(ValueError, match="mode fb_toa_tot is not supported by the chips; they support: "
                                             "dd_toa_tot, fb_itot_evcount"):
            device.acquire("fb_toa_tot")


def test_a_refused_start_leaves_the_device_ready(device):
    with pytest.raises(SdkError) as raised:
        device.acquire(M.dd_toa_tot)  # the power units are down
    assert raised.value.code == sim.ERR_BAD_STATE
    make_ready(device)
    sim.generate_default(duration=0.05)
    assert list(device.acquire(M.dd_toa_tot))


@pytest.mark.parametrize("where", ["wait", "iteration"])
def test_ctrl_c_aborts_waits_for_the_end_and_propagates(where):
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent(f"""
        import faulthandler, sys, time
        faulthandler.dump_traceback_later(15, exit=True)  # a hang shows where, in the assertion below
        import vexasdk, vexasdk.sim as sim
        from helpers import make_ready, run_python
        device = make_ready(vexasdk.open_device())
        sim.generate(blocks_per_second=200, packets_per_block=5)  # until aborted
        acquisition = device.acquire("dd_toa_tot")
        print("ready", flush=True)
        try:
            if "{where}" == "wait":
                acquisition.wait()
            else:
                for block in acquisition:
                    pass
        except KeyboardInterrupt:
            print("interrupted", acquisition.running, acquisition.stopped_by, acquisition.counts.blocks > 0, flush=True)
            again = device.acquire("dd_toa_tot", duration=0.05)
            print("again", again.wait(10), flush=True)
            sys.exit(130)
    """)
    import pathlib

    env_path = str(pathlib.Path(__file__).parent)
    child = subprocess.Popen([sys.executable, "-P", "-c", f"import sys; sys.path.insert(0, {env_path!r})\n" + script],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **INTERRUPTIBLE)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=20)
    assert child.returncode == 130, err
    assert out == "interrupted False abort True\nagain True\n"


def test_pixels_of_every_kind_reach_the_hit_map(ready):
    from vexasdk.pixels import HitMap, ScanImage

    for mode in (M.dd_toa_tot, M.fb_itot_evcount, M.binned_data):
        hits, scan = HitMap(), ScanImage(16, 12)
        for block in ready.acquire(mode, **binned(mode)):
            hits.add(block)
            scan.add(block)
        assert hits.counts.sum() > 0
        assert (scan.values.sum() > 0) == (mode is M.binned_data)
