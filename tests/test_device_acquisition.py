"""Acquisitions on a device, end to end: the runner a device is built with,
closing while data flows, and leaving the process in the middle of it."""

import threading

import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk.acquisition_runner import AcquisitionRunner
from vexasdk.pixel_chip import OperationalMode

from helpers import run_python

M = OperationalMode


def ready(device, mode=M.fb_itot_evcount):
    for unit in device.power_units:
        unit.power_up()
    device.chip_array.set_mode(mode)


def test_the_device_builds_its_runner(device):
    runner = device.acquisition_runner
    assert type(runner) is AcquisitionRunner and device.acquisition_runner is runner
    ready(device)
    sim.generate(packets_per_block=10, block_limit=3)
    got = []
    runner.start(got.append)
    runner.await_end()
    assert len(got) == 3


def test_close_aborts_and_waits_for_a_running_acquisition():
    device = vexasdk.open_device()
    ready(device)
    sim.set_delivery_threads(3)
    sim.generate(blocks_per_second=0, packets_per_block=5)  # until aborted
    calls, after = [0], []
    closed = threading.Event()

    def callback(packets):
        calls[0] += 1
        if closed.is_set():
            after.append(calls[0])

    device.acquisition_runner.start(callback)
    while calls[0] < 10:
        threading.Event().wait(0.002)
    device.close()
    closed.set()
    threading.Event().wait(0.05)
    assert after == [] and device.closed
    assert sim.blocks_delivered() == calls[0]
    [abort] = sim.calls("vexasdk_acq_abort")
    assert sim.call_count("vexasdk_dev_close") == 1 and abort["ctx"] is not None


def test_close_with_nothing_running_just_closes():
    device = vexasdk.open_device()
    sim.clear_call_log()
    device.close()
    assert device.closed and sim.call_count("vexasdk_dev_close") == 1


@pytest.mark.parametrize("where", ["data", "monitor"])
def test_close_inside_a_callback_is_refused_and_changes_nothing(device, where):
    ready(device)
    sim.generate(blocks_per_second=0, packets_per_block=3, block_limit=40)
    codes = []

    def close(*args):
        if not codes:
            try:
                device.close()
            except SdkError as error:
                codes.append(error.code)

    if where == "monitor":
        device.monitors[0].set_on_value_changed_cb(close)
        sim.fire_value_changed(device.monitors[0].info() and 0x100)
    got = []
    device.acquisition_runner.start(lambda packets: (got.append(packets), where == "data" and close()))
    device.acquisition_runner.await_end()
    assert codes == [sim.ERR_BAD_STATE] and not device.closed
    assert len(got) == 40  # the refused close stopped nothing
    assert sim.call_count("vexasdk_acq_abort") == 0


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("end", ["sys.exit(0)", "pass", "raise SystemExit(0)"])
def test_exit_during_an_acquisition_is_clean(threads, end):
    result = run_python(f"""
        import sys, time
        import vexasdk.sim as sim
        device = powered_device("dd_toa_tot", threads={threads})
        sim.generate(blocks_per_second=2000, packets_per_block=50)
        seen = []
        device.acquisition_runner.start(lambda packets, metadata: seen.append(len(packets)))
        while len(seen) < 10:
            time.sleep(0.005)
        {end}
    """, timeout=60, script_helpers=True)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


def shape_of(args):
    import awkward as ak
    import numpy as np

    kinds = []
    for arg in args:
        if isinstance(arg, ak.Array):
            kinds.append("awkward")
        elif isinstance(arg, np.recarray):
            kinds.append(f"records {','.join(arg.dtype.names)}")
        elif isinstance(arg, np.ndarray):
            kinds.append(f"array {arg.dtype}")
        else:
            kinds.append(type(arg).__name__)
    return kinds


@pytest.mark.parametrize("mode, shape", [
    (M.dd_toa_tot, ["records address,tot,toa", "DdToaTotMetadata"]),
    (M.dd_toa_tot_sorted, ["records address,tot,toa", "DdToaTotMetadata"]),
    (M.fb_toa_tot, ["records address,tot,toa"]),
    (M.fb_itot_evcount, ["records address,itot,evcount"]),
    (M.binned_data, ["array uint64", "array uint64", "awkward"]),
    (M.binned_evcount, ["array uint64"]),
    (M.binned_itot, ["array uint64"]),
])
def test_every_data_mode_reaches_a_callback_of_its_shape(device, mode, shape):
    from vexasdk._t3_binning import BinnedParams

    ready(device, mode)
    sim.generate(packets_per_block=40, block_limit=2)
    calls = []
    binned = mode.name.startswith("binned")
    device.acquisition_runner.start(lambda *args: calls.append(args), BinnedParams(8, 5, 500) if binned else None)
    device.acquisition_runner.await_end()
    assert len(calls) == 2
    assert all(shape_of(args) == shape for args in calls)


def hits(device, mode=M.dd_toa_tot):
    """The packets of a short default acquisition in `mode`, through the runner."""
    import numpy as np

    device.chip_array.set_mode(mode)
    sim.generate_default(duration=0.2)
    blocks = []
    device.acquisition_runner.start(lambda packets, *metadata: blocks.append(packets))
    device.acquisition_runner.await_end()
    return np.concatenate(blocks).view(np.recarray)


def test_what_a_user_sets_shapes_the_data(device):
    import numpy as np

    from helpers import make_ready

    make_ready(device)
    chip = device.chips[1]
    mask = np.ones((256, 256), np.uint8)
    mask[:, 100:200] = 0  # indexed [column, row]: rows 100 to 199
    chip.set_pixel_mask(mask)
    before = hits(device)
    on_chip = before[before.address >> 16 == 1]
    rows = (on_chip.address >> 8) & 0xFF
    assert len(on_chip) > 100 and not ((rows >= 100) & (rows < 200)).any()
    for c in device.chips:
        c.set_threshold(20.0)
    raised = hits(device)
    assert len(raised) < 0.7 * len(before) and raised.tot.min() > before.tot.min()
