"""Leaving the process while the virtual detector still delivers data."""

import pytest

from helpers import run_python

ACQUIRING = """
import sys, time
import vexasdk.sim as sim
device = powered_device(threads=THREADS)
sim.generate(blocks_per_second=2000, packets_per_block=100)
count = 0
def callback(packets):
    global count
    count += 1
    ACTION
sim.start(device.context, sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb"), callback)
while count < 20:
    time.sleep(0.01)
END
"""


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("action, end, code", [
    ("time.sleep(0.001)", "sys.exit(0)", 0),
    ("if count == 30: sys.exit(3)", "time.sleep(1); sys.exit(1)", 3),
    ("time.sleep(0.001)", "raise SystemExit(0)", 0),
])
def test_exit_mid_acquisition_is_clean(threads, action, end, code):
    script = ACQUIRING.replace("THREADS", str(threads)).replace("ACTION", action).replace("END", end)
    result = run_python(script, timeout=60, script_helpers=True)
    assert result.returncode == code, result.stderr
    assert "Fatal" not in result.stderr and "terminate" not in result.stderr


def test_exit_from_a_callback_ends_an_acquisition_the_main_thread_awaits():
    result = run_python("""
        import sys
        import vexasdk.sim as sim
        device = powered_device(threads=3)
        sim.generate(packets_per_block=10)  # until aborted
        count = 0
        def callback(packets):
            global count
            count += 1
            if count == 5:
                sys.exit(4)
        sim.start(device.context, sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb"), callback)
        sim.await_end(device.context)
        while True:
            pass
    """, timeout=60, script_helpers=True)
    assert result.returncode == 4, result.stderr
    assert "SystemExit: 4" in result.stderr


def test_contexts_opened_without_a_device_object_are_closed_at_exit():
    # Monitor events keep coming while the interpreter exits; only closing the
    # context before finalisation keeps the SDK thread out of Python.
    result = run_python("""
        import vexasdk, vexasdk.sim as sim
        from vexasdk import _device_opener
        context = _device_opener.open("virtual:0")
        sim.set_monitor_rate(100000)
        for mon_id in (0x100, 0x101, 0x102):
            from vexasdk.monitor_channel import MonitorChannel, MonitorInfo, MonitorRange
            MonitorChannel(mon_id, MonitorInfo("t", float, MonitorRange(0.0, 1.0)), context).set_on_value_changed_cb(
                lambda event: None)
        sim.await_monitor_events()
    """)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("where", ["data", "monitor"])
def test_close_refused_inside_a_callback_leaves_the_device_open(where):
    # The SDK refuses to close a device from one of its own callbacks; the
    # device must stay open and tracked, so that exit still stops it.
    result = run_python("""
        import sys, time
        import vexasdk, vexasdk.sim as sim
        device = powered_device(threads=4)
        sim.generate(blocks_per_second=0, packets_per_block=10)
        codes = []
        def close(*args):
            if not codes:
                try:
                    device.close()
                except vexasdk.SdkError as error:
                    codes.append(error.code)
        if "WHERE" == "monitor":
            device.monitors[0].set_on_value_changed_cb(close)
            sim.fire_value_changed(device.monitors[0].info() and 0x100)
        count = [0]
        def on_data(packets):
            count[0] += 1
            if "WHERE" == "data":
                close()
        sim.start(device.context, sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb"), on_data)
        while count[0] < 50:
            time.sleep(0.005)
        print(codes, device.closed, flush=True)
        sys.exit(0)
    """.replace("WHERE", where), script_helpers=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[-5001] False\n"


CONTRACT_START = """
import gc, sys, time
import vexasdk.sim as sim
sim.set_monitor_rate(0)
device = powered_device("dd_toa_tot", threads=2)
sim.generate(blocks_per_second=1000, packets_per_block=20)
count = [0]
def callback(packets, metadata):
    count[0] += 1
    ACTION
device.acquisition_runner.start(callback)
while count[0] < 10:
    time.sleep(0.002)
END
"""


@pytest.mark.parametrize("action, end, status, printed", [
    # A KeyboardInterrupt is no failure of the callback's: printed, handed to
    # the unraisable hook, and the acquisition goes on.
    ("if count[0] == 3: raise KeyboardInterrupt", "time.sleep(0.05); print(count[0] > 10)", 0, "True\n"),
    # The device object dropped mid-acquisition: the exit handler still stops it.
    ("pass", "del device; gc.collect(); time.sleep(0.02); print('dropped')", 0, "dropped\n"),
    # Exit from the main thread while callbacks raise.
    ("raise RuntimeError('no')", "sys.exit(5)", 5, ""),
    # Every close refused, the acquisition aborted by nobody.
    ("pass", "sim.fail('vexasdk_dev_close', sim.ERR_EBUSY, times=None); "
             "sim.fail('vexasdk_acq_abort', sim.ERR_EBUSY, times=None); print('refused')", 0, "refused\n"),
])
def test_the_shutdown_contract(action, end, status, printed):
    result = run_python(CONTRACT_START.replace("ACTION", action).replace("END", end), timeout=10,
                        script_helpers=True)
    assert result.returncode == status, result.stderr
    assert result.stdout == printed
    for crash in ("Fatal Python error", "terminate called", "Segmentation fault"):
        assert crash not in result.stderr
