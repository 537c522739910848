"""Leaving the process while the virtual detector still delivers data."""

import pytest

from helpers import run_python

ACQUIRING = """
import sys, time
import vexasdk, vexasdk.sim as sim
device = vexasdk.open_device()
sim.set_mode(device.context, 9)
sim.set_delivery_threads(THREADS)
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
    result = run_python(script, timeout=60)
    assert result.returncode == code, result.stderr
    assert "Fatal" not in result.stderr and "terminate" not in result.stderr


@pytest.mark.parametrize("where", ["data", "monitor"])
def test_close_refused_inside_a_callback_leaves_the_device_open(where):
    # The SDK refuses to close a device from one of its own callbacks; the
    # device must stay open and tracked, so that exit still stops it.
    result = run_python("""
        import sys, time
        import vexasdk, vexasdk.sim as sim
        device = vexasdk.open_device()
        sim.set_mode(device.context, 9)
        sim.set_delivery_threads(4)
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
    """.replace("WHERE", where))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[-5001] False\n"
