"""The virtual detector's own contract: validation, states, faults, the log."""

import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from helpers import make_ready

TRAMPOLINE = ("_t3_itot_evcount", "fb_itot_evcount_cb")


def start(device, callback, **params):
    sim.start(device.context, sim.trampoline(*TRAMPOLINE), callback, **params)


def test_scripted_faults_count_down(device):
    sim.fail("vexasdk_acq_await_end", sim.ERR_EBUSY, times=2)
    for _ in range(2):
        with pytest.raises(vexasdk.SdkError) as raised:
            sim.await_end(device.context)
        assert raised.value.code == sim.ERR_EBUSY
    # Back to the real answer: nothing is running.
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.await_end(device.context)
    assert raised.value.code == sim.ERR_BAD_STATE


def test_permanent_fault_until_removed(device):
    sim.fail("vexasdk_acq_abort", sim.ERR_ENOMEM, times=None)
    for _ in range(3):
        with pytest.raises(vexasdk.SdkError):
            sim.abort(device.context)
    sim.fail("vexasdk_acq_abort", 0, times=0)
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.abort(device.context)
    assert raised.value.code == sim.ERR_BAD_STATE


def test_call_log_records_arguments(ready):
    device = ready
    sim.set_mode(device.context, 1)  # delivers nothing processed: the acquisition ends at once
    sim.clear_call_log()
    start(device, lambda packets: None, width=7, height=9, dwell_time=2**63 + 5)
    sim.await_end(device.context)
    [args] = sim.calls("vexasdk_acq_start")
    assert (args["mode"], args["width"], args["height"], args["dwell_time"]) == (2, 7, 9, 2**63 + 5)
    assert args["ctx"] == vexasdk._device_opener.sdk_address(device.context)
    assert sim.call_count("vexasdk_acq_start") == 1 and sim.call_count() == 2


def test_acquisition_states(ready):
    device = ready
    sim.generate(blocks_per_second=200, packets_per_block=10)
    sim.set_mode(device.context, 9)
    got = []
    start(device, got.append)
    with pytest.raises(vexasdk.SdkError) as raised:
        start(device, got.append)
    assert raised.value.code == sim.ERR_EBUSY
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.set_mode(device.context, 7)
    assert raised.value.code == sim.ERR_EBUSY
    sim.abort(device.context)
    delivered = sim.blocks_delivered()
    assert len(got) == delivered
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.await_end(device.context)
    assert raised.value.code == sim.ERR_BAD_STATE


def test_generated_blocks_are_plausible(ready):
    device = ready
    sim.set_mode(device.context, 9)
    sim.generate(packets_per_block=5000, block_limit=3)
    got = []
    start(device, got.append)
    sim.await_end(device.context)
    # 5000 hits on average at these settings, a few of them on a pixel hit before.
    assert len(got) == 3 and all(4000 < len(b) <= 5500 for b in got)
    block = got[0]
    assert (block.evcount >= 1).all() and (block.itot >= 5 * block.evcount).all()
    assert ((block.address >> 16) < 4).all() and ((block.address & 0xFFFF) < 65536).all()


def test_closed_and_unknown_contexts_answer_errors():
    device = vexasdk.open_device()
    context = device.context
    device.close()
    device.close()
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.set_mode(context, 9)
    assert raised.value.code == sim.ERR_ENODEV
    with pytest.raises(vexasdk.SdkError) as raised:
        vexasdk.open_device("virtual:9")
    assert raised.value.code == sim.ERR_ENODEV
    assert "virtual:9" in str(raised.value)


def test_closing_aborts_a_running_acquisition():
    device = make_ready(vexasdk.open_device())
    sim.set_mode(device.context, 9)
    sim.generate(packets_per_block=10)
    got = []
    start(device, got.append)
    device.close()
    count = len(got)
    assert sim.blocks_delivered() == count


@pytest.mark.parametrize("bad", [
    lambda: sim.queue_itot_evcount(np.zeros(3, np.uint64)),
    lambda: sim.queue_itot_evcount(np.zeros((2, 2), sim.ITOT_EVCOUNT_DTYPE)),
    lambda: sim.set_delivery_threads(0),
    lambda: sim.set_delivery_threads(2, device=5),
    lambda: sim.generate(blocks_per_second=-1),
    lambda: sim.set_device_count(-1),
])
def test_harness_rejects_bad_input(bad):
    with pytest.raises((TypeError, ValueError, vexasdk.SdkError)):
        bad()


@pytest.mark.parametrize("bad, error", [
    # ctypes would keep the low bits: 2**32 + code is code, 2**32 no fault at all.
    (lambda ctx: sim.fail("vexasdk_acq_abort", 2**32), ValueError),
    (lambda ctx: sim.fail("vexasdk_acq_abort", 2**32 + sim.ERR_EBUSY), ValueError),
    (lambda ctx: sim.fail("vexasdk_acq_abort", -(2**31) - 1), ValueError),
    (lambda ctx: sim.fail("vexasdk_acq_abort", sim.ERR_EBUSY, times=2**63), ValueError),
    (lambda ctx: sim.fail("vexasdk_acq_abort", sim.ERR_EBUSY, times=-1), ValueError),
    # A NUL would end the name early: another function's fault.
    (lambda ctx: sim.fail("vexasdk_acq_abort\0_and_more", sim.ERR_EBUSY), ValueError),
    (lambda ctx: sim.fail(b"vexasdk_acq_abort", sim.ERR_EBUSY), TypeError),
    (lambda ctx: sim.call_count("vexasdk_acq_abort\0"), ValueError),
    (lambda ctx: sim.queue_itot_evcount(np.zeros(1, sim.ITOT_EVCOUNT_DTYPE), fetch_rc=2**32), ValueError),
    (lambda ctx: sim.queue_fetch_failure(2**32 + sim.ERR_EINVAL), ValueError),
    (lambda ctx: sim.queue_itot_evcount(None, count=-1), ValueError),
    (lambda ctx: sim.queue_itot_evcount(None, count=2**64), ValueError),
    (lambda ctx: sim.queue_itot_evcount(np.zeros(1, sim.ITOT_EVCOUNT_DTYPE), count=5), ValueError),
    (lambda ctx: sim.set_delivery_threads(2**32 + 2), ValueError),
    (lambda ctx: sim.set_delivery_threads(65), ValueError),
    (lambda ctx: sim.set_mode(ctx, 2**32 + 9), ValueError),
    (lambda ctx: sim.set_mode(ctx, 8.5), ValueError),
    # bytes(n) of an int is n NULs.
    (lambda ctx: sim.make_enum_record(serial=3), TypeError),
    (lambda ctx: sim.set_enum_record(sim.ENUM_RECORD_SIZE), TypeError),
    (lambda ctx: sim.set_enumeration([sim.ENUM_RECORD_SIZE]), TypeError),
])
def test_harness_refuses_values_its_c_types_would_change(device, bad, error):
    with pytest.raises(error):
        bad(device.context)
    # Nothing was scripted, queued or changed.
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.abort(device.context)
    assert raised.value.code == sim.ERR_BAD_STATE
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.deliver_here(device.context, "_t3_itot_evcount", "fb_itot_evcount_cb", print)
    assert raised.value.code == sim.ERR_BAD_STATE  # the queue is empty
    assert device.chip_array.get_mode() is vexasdk.pixel_chip.OperationalMode.dd_toa_tot
    assert vexasdk.enumerate_devices()[0].serial_number == "VX3-1001"


def test_harness_takes_the_edges_of_its_c_types(device):
    sim.fail("vexasdk_acq_abort", -(2**31), times=2**63 - 1)
    with pytest.raises(vexasdk.SdkError) as raised:
        sim.abort(device.context)
    assert raised.value.code == -(2**31)
    sim.fail("vexasdk_acq_abort", 2**31 - 1, times=0)
    sim.queue_itot_evcount(None, count=2**64 - 1, fetch_rc=2**31 - 1)
    sim.set_delivery_threads(64)
    sim.set_mode(device.context, vexasdk.pixel_chip.OperationalMode.fb_toa_tot)
    assert device.chip_array.get_mode() is vexasdk.pixel_chip.OperationalMode.fb_toa_tot
    sim.set_enum_record(bytearray(sim.make_enum_record(serial=memoryview(b"SN"))))
    assert vexasdk.enumerate_devices()[0].serial_number == "SN"


def test_generation_honours_the_block_limit_across_threads(ready):
    device = ready
    sim.set_mode(device.context, 9)
    sim.set_delivery_threads(3)
    sim.generate(blocks_per_second=1000, packets_per_block=1, block_limit=10)
    got = []
    start(device, got.append)
    sim.await_end(device.context)
    assert len(got) == 10


def test_callbacks_stay_alive_until_their_acquisition_has_ended():
    # Only an await or abort that saw the acquisition end may drop the
    # callback the SDK holds; refusals from inside a callback and scripted
    # faults leave it running.
    from helpers import run_python

    result = run_python("""
        import gc, time
        import vexasdk, vexasdk.sim as sim
        device = powered_device(threads=4)
        codes = []
        def attempt(action):
            try:
                action()
            except vexasdk.SdkError as error:
                codes.append(error.code)
        inside = {"await": lambda: sim.await_end(device.context), "abort": lambda: sim.abort(device.context),
                  "reset": sim.reset}
        for case in ["await", "abort", "reset", "await fault", "abort fault", "await enodev"]:
            sim.generate(blocks_per_second=4000, packets_per_block=5, block_limit=200)
            class Callback:
                calls = 0
                def __call__(self, packets):
                    self.calls += 1
                    if self.calls == 2 and case in inside:
                        attempt(inside[case])
            if case.endswith("fault"):
                sim.fail("vexasdk_acq_" + case.split()[0].replace("await", "await_end"), sim.ERR_EINVAL)
            if case.endswith("enodev"):
                sim.fail("vexasdk_acq_await_end", sim.ERR_ENODEV)
            sim.start(device.context, sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb"), Callback())
            if " " in case:
                attempt(inside[case.split()[0]])
            for _ in range(30):
                gc.collect()
                time.sleep(0.001)
            sim.await_end(device.context)
        print(codes)
    """, script_helpers=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[-5001, -5001, -5001, -22, -22, -19]\n"


@pytest.mark.parametrize("action", ["close", "await"])
def test_callbacks_of_two_devices_cannot_wait_for_each_other(action):
    # Each device's callback waits for the other's delivery to end: were
    # either wait allowed, neither would return.
    from helpers import run_python

    result = run_python("""
        import threading, time
        import vexasdk, vexasdk.sim as sim
        sim.set_monitor_rate(0)
        sim.set_device_count(2)
        devices = [vexasdk.open_device("virtual:0"), vexasdk.open_device("virtual:1")]
        for index, device in enumerate(devices):
            for unit in device.power_units: unit.power_up()
            sim.set_mode(device.context, 9)
            sim.generate(blocks_per_second=0, packets_per_block=5, device=index)
        both = threading.Barrier(2, timeout=5)
        codes = []
        def waiting_for(other):
            calls = [0]
            def callback(packets):
                calls[0] += 1
                if calls[0] == 3:
                    both.wait()
                    try:
                        other.close() if "ACTION" == "close" else sim.await_end(other.context)
                    except vexasdk.SdkError as error:
                        codes.append(error.code)
            return callback
        trampoline = sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb")
        sim.start(devices[0].context, trampoline, waiting_for(devices[1]))
        sim.start(devices[1].context, trampoline, waiting_for(devices[0]))
        while len(codes) < 2:
            time.sleep(0.01)
        for device in devices:
            device.close()
        print(codes)
    """.replace("ACTION", action), timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[-5001, -5001]\n"


def test_a_replayed_queue_comes_round_in_order_with_the_same_data(ready):
    blocks = [np.full(3, i, sim.TOA_TOT_DTYPE) for i in range(3)]
    for block in blocks:
        sim.queue_toa_tot(block, 7, [np.arange(2, dtype=np.uint64)] * 4)
    sim.replay_queue(4)
    seen = []
    ready.chip_array.set_mode(vexasdk.OperationalMode.dd_toa_tot)
    ready.acquisition_runner.start(lambda packets, metadata: seen.append((packets.tobytes(), metadata.shutter_start)))
    ready.acquisition_runner.await_end()
    assert seen == [(b.tobytes(), 7) for b in blocks] * 4
    with pytest.raises(ValueError, match="times"):
        sim.replay_queue(0)


@pytest.mark.parametrize("callback", ["null_callback", "fetch_callback", "copy_callback"])
def test_the_native_benchmark_callbacks_take_every_kind_of_block(ready, callback):
    sim.queue_toa_tot(np.zeros(5, sim.TOA_TOT_DTYPE), 1, [np.arange(3, dtype=np.uint64)] * 4)
    sim.queue_itot_evcount(np.zeros(4, sim.ITOT_EVCOUNT_DTYPE))
    sim.queue_binned([1, 2], [3, 4], [np.zeros(2, sim.BIN_PACKET_DTYPE), np.zeros(0, sim.BIN_PACKET_DTYPE)])
    sim.queue_evcount_fragment([5])
    sim.queue_itot_fragment([6])
    sim.start(ready.context, getattr(sim, callback)(), None)
    sim.await_end(ready.context)
    assert sim.blocks_delivered() == 5
    assert sim.time_get_thld(ready.context, 0, 1000) > 0
