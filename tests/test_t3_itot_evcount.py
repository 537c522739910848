import sys
import threading

import numpy as np
import pytest

from helpers import random_records

import vexasdk.sim as sim
from vexasdk import _t3_itot_evcount as itot

# Every test here acquires.
pytestmark = pytest.mark.usefixtures("ready")

FETCH_FAILED = "Failed to retrieve Timepix3 frame-based iToT-evcount packets."
CALLBACK_FAILED = "Failed to execute acquisition data callback."
CONTEXT = "vexasdk._t3_itot_evcount.fb_itot_evcount_cb"


def packets(n, seed=0):
    return random_records(sim.ITOT_EVCOUNT_DTYPE, n, seed)


def deliver(device, callback, threads=1):
    sim.deliver(device.context, "_t3_itot_evcount", "fb_itot_evcount_cb", callback, threads=threads)


def test_module_surface():
    assert itot._itot_evcount_dtype == np.dtype([("address", "uint32"), ("itot", "uint32"), ("evcount", "uint64")])
    assert itot._itot_evcount_dtype.itemsize == 16
    assert [itot._itot_evcount_dtype.fields[f][1] for f in ("address", "itot", "evcount")] == [0, 4, 8]
    assert itot.FbItotEvcountCb.__call__.__annotations__ == {
        "packets": "npt.NDArray[_itot_evcount_dtype]", "return": "None"}
    assert itot.FbItotEvcountCb.__doc__.startswith("Frame-based iToT-evcount data callback.")
    assert itot.FbItotEvcountCb.__module__ == "vexasdk._t3_itot_evcount"
    assert itot.FbItotEvcountCb.__call__(None, packets=None) is None
    for name in ("logging", "Protocol", "np", "npt"):
        assert hasattr(itot, name)


@pytest.mark.parametrize("n", [0, 1, 1_000_000])
def test_blocks_arrive_record_for_record(device, n):
    sent = packets(n)
    sim.queue_itot_evcount(sent)
    got = []
    deliver(device, got.append)
    [block] = got
    assert isinstance(block, np.recarray)
    assert block.shape == (n,) and block.dtype == itot._itot_evcount_dtype
    assert block.view(np.ndarray).tobytes() == sent.tobytes()
    if n:
        assert block.address[0] == sent["address"][0] and block.evcount[-1] == sent["evcount"][-1]


def test_fetch_failure_is_logged_once_and_the_next_block_delivered(device, vexasdk_log):
    sim.queue_fetch_failure(sim.ERR_EINVAL)
    sim.queue_itot_evcount(packets(3))
    got = []
    deliver(device, got.append)
    assert [len(b) for b in got] == [3]
    assert vexasdk_log() == [("ERROR", FETCH_FAILED, None)]


@pytest.mark.parametrize("count", [1, 2**40])
def test_null_packets_with_a_count_are_logged(device, vexasdk_log, count):
    sim.queue_itot_evcount(None, count=count)
    sim.queue_itot_evcount(packets(2))
    got = []
    deliver(device, got.append)
    assert [len(b) for b in got] == [2]
    [(level, message, exc_info)] = vexasdk_log()
    assert (level, message, exc_info[0]) == ("ERROR", CALLBACK_FAILED, ValueError)


def test_raising_callback_is_logged_with_the_trampoline_in_the_traceback(device, vexasdk_log):
    import traceback

    sim.queue_itot_evcount(packets(1))
    sim.queue_itot_evcount(packets(2))
    seen = []

    def callback(block):
        seen.append(len(block))
        raise ValueError("bad block")

    deliver(device, callback)
    assert seen == [1, 2]
    records = vexasdk_log()
    assert [(level, message) for level, message, _ in records] == [("ERROR", CALLBACK_FAILED)] * 2
    text = "".join(traceback.format_exception(*records[0][2]))
    assert CONTEXT in text and "vexasdk/impl/_t3_itot_evcount" in text
    assert "in callback" in text and "ValueError: bad block" in text


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemError])
def test_non_exceptions_and_logging_failures_reach_the_unraisable_hook(device, monkeypatch, capfd, error):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    sim.queue_itot_evcount(packets(1))
    if error is KeyboardInterrupt:
        def callback(block):
            raise KeyboardInterrupt
    else:
        # A module namespace without `logging` makes the logging itself fail.
        monkeypatch.delattr(itot, "logging")

        def callback(block):
            raise ValueError("never logged")
    deliver(device, callback)
    [report] = hooked
    assert report.object == CONTEXT
    assert report.exc_type is (KeyboardInterrupt if error is KeyboardInterrupt else NameError)
    assert "Traceback" in capfd.readouterr().err


def test_handled_exception_is_restored(device):
    sim.queue_itot_evcount(packets(1))

    def callback(block):
        raise ValueError("inside")

    try:
        raise KeyError("outer")
    except KeyError as outer:
        sim.deliver_here(device.context, "_t3_itot_evcount", "fb_itot_evcount_cb", callback)
        assert sys.exception() is outer


def test_any_callable_works(device):
    class Collector:
        def __init__(self):
            self.sizes = []

        def __call__(self, block):
            self.sizes.append(len(block))

        def method(self, block):
            self.sizes.append(-len(block))

    collector = Collector()
    for n in (1, 2):
        sim.queue_itot_evcount(packets(n))
    deliver(device, collector)
    sim.queue_itot_evcount(packets(3))
    deliver(device, collector.method)
    assert collector.sizes == [1, 2, -3]


def test_blocks_from_several_native_threads(device):
    blocks = [packets(100 + i, seed=i) for i in range(64)]
    for block in blocks:
        sim.queue_itot_evcount(block)
    got, threads = [], set()

    def callback(block):
        threads.add(threading.get_ident())
        got.append(block.view(np.ndarray).tobytes())

    deliver(device, callback, threads=4)
    assert sorted(got) == sorted(b.tobytes() for b in blocks)
    assert threading.get_ident() not in threads


def test_kept_arrays_survive_the_sdk_reusing_its_memory(device):
    sent = packets(1000)
    sim.queue_itot_evcount(sent)
    kept = []
    deliver(device, kept.append)
    # The virtual detector overwrote its block buffer after the callback.
    assert kept[0].view(np.ndarray).tobytes() == sent.tobytes()
