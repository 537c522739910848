"""What a hostile user or an unfriendly SDK once did to the process: each case
crashed, hung or lost data, and must not again. Cases that could take the
process down run in a subprocess of their own."""

import numpy as np
import pytest

import vexasdk.sim as sim

from helpers import run_python

PREAMBLE = """
import os, sys, threading, time
import vexasdk, vexasdk.sim as sim
sim.set_monitor_rate(0)

def acquiring(threads=1, rate=0, packets=5, callback=None):
    device = powered_device(threads=threads)
    sim.generate(blocks_per_second=rate, packets_per_block=packets)
    seen = []
    device.acquisition_runner.start(callback or (lambda packets: (seen.append(len(packets)), sum(range(2000)))))
    while callback is None and len(seen) < 20:
        time.sleep(0.001)
    return device, seen
"""


def run_clean(body, runs=1, status=0, timeout=30, leak_check=True):
    """Runs PREAMBLE + body `runs` times; each must end with `status` and print
    nothing of a crash."""
    for _ in range(runs):
        result = run_python(PREAMBLE + body, timeout=timeout, leak_check=leak_check, script_helpers=True)
        assert result.returncode == status, result.stderr
        for crash in ("terminate called", "Fatal Python error", "Segmentation fault", "AddressSanitizer"):
            assert crash not in result.stderr, result.stderr
    return result


def test_daemon_threads_calling_controllers_at_exit():
    # CPython ends such a thread inside the lock-taking call with a forced
    # unwind, which must pass the layer's frames as it passes C ones.
    run_clean("""
device = vexasdk.open_device()
def spin():
    while True:
        try:
            device.chips[0].get_threshold()
            device.bias_sources[0].actual()
            device.monitors[0].fetch_value()
        except vexasdk.SdkError:
            pass  # closed at exit
for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.1)
""", runs=8, leak_check=False)  # the interpreter never frees what its killed daemon threads held


def test_sdk_threads_meeting_a_finalising_interpreter():
    # The SDK refuses both the abort and the close at exit: its delivery
    # threads run on into finalisation, busy in Python. What such a thread
    # holds when it stops for good is never freed, which is no leak of ours.
    run_clean("""
device, seen = acquiring(threads=4)
sim.fail("vexasdk_dev_close", sim.ERR_EBUSY, times=None)
sim.fail("vexasdk_acq_abort", sim.ERR_EBUSY, times=None)
""", runs=6, leak_check=False)


def test_a_device_opened_after_the_exit_handler_ran():
    # An exit handler registered before the package's runs after it: nothing
    # stops what it starts before finalisation.
    body = """
import atexit, time
def late():
    import vexasdk.sim as sim
    device = powered_device(threads=4)
    sim.generate(blocks_per_second=0, packets_per_block=5)
    seen = []
    device.acquisition_runner.start(lambda packets: (seen.append(1), sum(range(2000))))
    while len(seen) < 50:
        time.sleep(0.001)
atexit.register(late)
import vexasdk
"""
    for _ in range(4):
        result = run_python(body, timeout=30, script_helpers=True)
        assert result.returncode == 0, result.stderr
        assert "Fatal" not in result.stderr and "terminate" not in result.stderr


def test_a_close_answered_enodev_keeps_what_the_sdk_may_still_call():
    result = run_clean("""
import gc
device = vexasdk.open_device()
got = []
class Callable:
    def __call__(self, event):
        got.append(event.value)
device.monitors[0].set_on_value_changed_cb(Callable())
gc.collect()
sim.fail("vexasdk_dev_close", sim.ERR_ENODEV)
device.close()  # taken as closed; the SDK did not close it
gc.collect()
sim.fire_value_changed(0x100, 3.0)
print(device.closed, got)
""")
    assert result.stdout == "True [3.0]\n"


@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
def test_a_forked_child_leaves_the_parents_threads_alone(how):
    result = run_clean("""
import multiprocessing, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running: the point of the test
device, seen = acquiring(threads=2)
def in_child():
    threshold = device.chips[0].get_threshold()
    device.close()  # the parent's device: nothing to stop here
    with vexasdk.open_device() as own:
        return threshold, own.connection_string
if "HOW" == "os.fork":
    pid = os.fork()
    if pid == 0:
        print("child", *in_child(), flush=True)
        sys.exit(0)  # and the exit handler runs in the child
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
else:
    context = multiprocessing.get_context("fork")
    process = context.Process(target=in_child)
    process.start()
    process.join(20)
    status = process.exitcode
count = len(seen)
time.sleep(0.05)
print("child status", status, len(seen) > count)  # the parent's acquisition runs on
""".replace("HOW", how), leak_check=False)
    assert result.stdout.endswith("child status 0 True\n"), result.stdout
    if how == "os.fork":
        assert result.stdout.startswith("child 5.0 virtual:0\n")


@pytest.mark.parametrize("wait", [
    "threading.Event().wait()",
    "lock = threading.Lock(); lock.acquire(); lock.acquire()",
    "import queue; queue.Queue().get()",
    "device.acquisition_runner.await_end(); threading.Event().wait()",
])
def test_exit_from_a_callback_while_the_main_thread_waits_in_c(wait):
    # The exit is queued for the main thread, whose wait is interrupted so
    # that it runs it.
    import time

    began = time.monotonic()
    run_clean("""
count = [0]
def callback(packets):
    count[0] += 1
    if count[0] == 5:
        sys.exit(7)
device, seen = acquiring(rate=200, callback=callback)
WAIT
""".replace("WAIT", wait), status=7, timeout=20)
    assert time.monotonic() - began < 10


@pytest.mark.parametrize("module, name", [
    ("_t3_itot_evcount", "fb_itot_evcount_cb"), ("_t3_toa_tot", "dd_toa_tot_cb"), ("_t3_toa_tot", "fb_toa_tot_cb"),
    ("_t3_binning", "binned_data_cb"), ("_t3_binning", "binned_evcount_cb"), ("_t3_binning", "binned_itot_cb"),
])
def test_null_user_data_is_logged_and_the_next_block_delivered(device, vexasdk_log, module, name):
    queue = {"_t3_itot_evcount": lambda: sim.queue_itot_evcount(np.zeros(2, sim.ITOT_EVCOUNT_DTYPE)),
             "_t3_toa_tot": lambda: sim.queue_toa_tot(np.zeros(2, sim.TOA_TOT_DTYPE)),
             "_t3_binning": {"binned_data_cb": lambda: sim.queue_binned([1], [1], [0]),
                             "binned_evcount_cb": lambda: sim.queue_evcount_fragment([1]),
                             "binned_itot_cb": lambda: sim.queue_itot_fragment([1])}.get(name)}[module]
    queue()
    queue()
    sim.deliver_here(device.context, module, name, None)
    got = []
    sim.deliver_here(device.context, module, name, lambda *args: got.append(args))
    [(level, message, exc_info)] = vexasdk_log()
    assert (level, message, exc_info[0]) == ("ERROR", "Failed to execute acquisition data callback.", ValueError)
    assert str(exc_info[1]) == "the SDK delivered a data block without the registered callback"
    assert len(got) == 1


@pytest.mark.parametrize("queue, text", [
    (lambda: sim.queue_toa_tot(np.zeros(1, sim.TOA_TOT_DTYPE), null_tdcs_count=2**40),
     "the SDK reported 1099511627776 TDC records at a null pointer"),
    (lambda: sim.queue_binned(null_bins_count=2**40), "the SDK reported 1099511627776 bins at a null pointer"),
])
def test_null_lists_with_huge_counts_allocate_nothing(device, vexasdk_log, queue, text):
    import tracemalloc

    name = "dd_toa_tot_cb" if "TDC" in text else "binned_data_cb"
    module = "_t3_toa_tot" if "TDC" in text else "_t3_binning"
    queue()
    tracemalloc.start()
    try:
        sim.deliver_here(device.context, module, name, lambda *args: None)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    [(_, _, exc_info)] = vexasdk_log()
    assert str(exc_info[1]) == text
    assert peak < 1 << 20


def test_a_failed_first_import_is_not_the_last_word():
    result = run_python("""
import sys
import numpy
sys.modules["numpy"] = None  # as if numpy were missing
try:
    import vexasdk._t3_itot_evcount
except ImportError as error:
    print("first:", type(error).__name__)
sys.modules["numpy"] = numpy
import vexasdk._t3_itot_evcount
print("then:", vexasdk._t3_itot_evcount.__name__)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "first: ImportError\nthen: vexasdk._t3_itot_evcount\n"
