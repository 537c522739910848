"""Every block is delivered or counted as missing: each way a block can be lost
past the callback, injected, with the account checked on both sides."""

import logging
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

pytest.importorskip("zmq")

import vexasdk.sim as sim  # noqa: E402
from vexasdk import OperationalMode  # noqa: E402
from vexasdk.account import Missing, SequenceGaps, Tally  # noqa: E402
from vexasdk.stream import Publisher, Receiver, StreamError, StreamTimeout  # noqa: E402

M = OperationalMode
BLOCKS = 60


@pytest.fixture
def address():
    folder = tempfile.mkdtemp(prefix="vxa", dir="/tmp")
    yield f"ipc://{folder}/s"
    shutil.rmtree(folder, ignore_errors=True)


def adds_up(stages):
    """Every stage settled: what came in went on, or was dropped or failed."""
    for stage in stages:
        assert stage.pending == 0 and stage.received == stage.delivered + stage.lost, stage
    return {stage.stage: stage for stage in stages}


def receive(receiver, got, delay=0.0, stop_after=None):
    def take():
        try:
            for block in receiver:
                got.append(block.sequence)
                time.sleep(delay)
                if stop_after is not None and len(got) >= stop_after:
                    receiver.close()  # gone mid-stream, as a killed receiver is
                    return
        except StreamError as error:
            got.append(error)

    thread = threading.Thread(target=take)
    thread.start()
    return thread


# name: (publisher options, receiver options or None for no receiver, per-block delay, stop after)
PATHS = {
    "slow receiver: the sender waits, nothing lost": ({}, {"hwm": 1}, 0.005, None),
    "sender's queue full: dropped there, named missing here": ({"max_queued": 2, "hwm": 1}, {"hwm": 1}, 0.02, None),
    "pub subscriber too slow: lost on the network": ({"hwm": 1, "pattern": "pub", "max_queued": 1000},
                                                     {"hwm": 1, "pattern": "pub"}, 0.02, None),
    "pub with no subscriber: nothing sent": ({"pattern": "pub", "receivers": 0}, None, 0.0, None),
    "receiver gone mid-stream: the end unconfirmed": ({"drain_timeout": 0.5, "hwm": 1}, {"hwm": 1}, 0.0, 5),
}


@pytest.mark.parametrize("options, receiving, delay, stop_after", PATHS.values(), ids=PATHS.keys())
def test_each_loss_is_counted_on_both_sides(ready, address, options, receiving, delay, stop_after):
    sim.generate(blocks_per_second=0, packets_per_block=2000, block_limit=BLOCKS)
    options = {"receivers": 1, "wait": 10, **options}
    got: list = []
    receiver = thread = None
    if receiving is not None:
        receiver = Receiver(address, start_timeout=10, **receiving)
        thread = receive(receiver, got, delay, stop_after)
    publisher = Publisher(address, **options)
    began = time.monotonic()
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[publisher], callback=lambda b: None)
    acquisition.wait()
    assert time.monotonic() - began < 20  # every case ends in time
    if thread is not None:
        thread.join(20)
    sender = adds_up(acquisition.account)
    assert sender["fetch"].delivered == sender["publisher"].received == BLOCKS
    counts = publisher.counts
    assert acquisition.lost == counts.dropped + counts.failed
    if receiver is None:
        assert counts.sent == 0 and counts.dropped == BLOCKS and counts.confirmed == 0
        return
    if stop_after is not None:  # nobody can vouch for what went out after the receiver left
        assert receiver.end is None and counts.confirmed == 0 and len(got) == stop_after
        return
    assert receiver.end is not None and counts.confirmed == 1 and receiver.end.receivers == 1
    stages = adds_up(receiver.account)
    assert stages["publisher"] == sender["publisher"]  # the sender's account travelled whole
    network, own = stages["network"], stages["receiver"]
    assert network.received == counts.sent and network.delivered == own.received == len(got)
    # What did not arrive is named, by number, and adds up with what did.
    missing = receiver.missing
    assert missing.count == BLOCKS - len(got) == counts.dropped + network.dropped
    assert receiver.complete == (missing.count == 0)
    if missing:
        absent = sorted(set(range(BLOCKS)) - set(got))
        assert (missing.first, missing.last) == (absent[0], absent[-1])
    assert got == sorted(got)


def test_blocks_from_several_sdk_threads_arrive_out_of_order_and_none_is_taken_for_a_duplicate(ready, address):
    sim.set_delivery_threads(3)
    sim.generate(blocks_per_second=0, packets_per_block=50, block_limit=BLOCKS)
    got: list = []
    receiver = Receiver(address, start_timeout=10)
    thread = receive(receiver, got)
    ready.acquire(M.fb_toa_tot, sinks=[Publisher(address, receivers=1)], callback=lambda b: None).wait()
    thread.join(20)
    assert sorted(got) == list(range(BLOCKS)) and receiver.complete and receiver.counts.duplicates == 0


def test_a_killed_sender_leaves_the_receiver_with_what_arrived_and_says_the_end_never_came(address):
    sender = subprocess.Popen([sys.executable, "-P", "-c", SENDER, address])
    got: list = []
    try:
        with Receiver(address, timeout=1.0, start_timeout=30) as receiver:
            with pytest.raises(StreamTimeout, match="unknown"):
                for block in receiver:
                    got.append(block.sequence)
                    if len(got) == 5:
                        sender.kill()
    finally:
        sender.kill()
        sender.wait()
    assert not receiver.complete and receiver.end is None and len(got) >= 5
    assert adds_up(receiver.account)["receiver"].delivered == len(got)


def test_a_restarted_sender_is_another_stream_never_mixed_in(ready, address):
    first = subprocess.Popen([sys.executable, "-P", "-c", SENDER, address])
    got: list = []
    receiver = Receiver(address, timeout=30, start_timeout=30)
    try:
        for block in receiver:
            got.append(block)
            if len(got) == 3:
                first.kill()
                first.wait()
                sim.generate(blocks_per_second=0, packets_per_block=10, block_limit=5)
                restarted = threading.Thread(target=lambda: ready.acquire(
                    M.fb_toa_tot, sinks=[Publisher(address, receivers=1, drain_timeout=1)],
                    callback=lambda b: None).wait())
                restarted.start()
        pytest.fail("a second stream went unnoticed")
    except StreamError as error:
        assert "another stream" in str(error) and "end never came" in str(error)
    finally:
        first.kill()
        receiver.close()
    restarted.join(20)
    assert len({b.stream for b in got}) == 1 and not receiver.complete


def test_fetch_failures_are_counted_where_they_happen_and_reach_the_receiver(ready, address):
    for _ in range(3):
        sim.queue_itot_evcount(np.zeros(4, sim.ITOT_EVCOUNT_DTYPE))
        sim.queue_fetch_failure()
    got: list = []
    receiver = Receiver(address, start_timeout=10)
    thread = receive(receiver, got)
    quiet = logging.getLogger("vexasdk")
    quiet.disabled = True  # counted where they happen, not read back from the log
    try:
        acquisition = ready.acquire(M.fb_itot_evcount, sinks=[Publisher(address, receivers=1)],
                                    callback=lambda b: None)
        acquisition.wait()
    finally:
        quiet.disabled = False
    thread.join(20)
    fetch = adds_up(acquisition.account)["fetch"]
    assert fetch.failed == 3 and acquisition.lost == 3
    assert receiver.end is not None and receiver.missing.count == 3 and not receiver.complete


def test_the_iterators_full_queue_is_in_the_account(ready):
    sim.generate(blocks_per_second=0, packets_per_block=100, block_limit=BLOCKS)
    acquisition = ready.acquire(M.fb_toa_tot, max_queued=2, overflow="drop")
    acquisition.wait()
    taken = sum(1 for _ in acquisition)
    queue = adds_up(acquisition.account)["queue"]
    assert queue.delivered == taken and queue.dropped == BLOCKS - taken > 0 and acquisition.lost == queue.dropped


SENDER = """
import sys, vexasdk, vexasdk.sim as sim
from vexasdk.stream import Publisher
sim.generate(blocks_per_second=50, packets_per_block=20)  # until it dies
with vexasdk.open_device() as device:
    for unit in device.power_units:
        unit.power_up()
    device.acquire("fb_toa_tot", sinks=[Publisher(sys.argv[1], receivers=1)], callback=lambda b: None).wait()
"""


def test_gaps_are_kept_as_extents_and_duplicates_refused():
    gaps = SequenceGaps()
    assert [gaps.take(n) for n in (0, 1, 4, 4, 2, 9, 2)] == [True, True, True, False, True, True, False]
    assert gaps.missing() == Missing(5, 3, 8) and gaps.missing(12) == Missing(7, 3, 11)  # 2 came late: not missing
    assert str(Missing(1, 3, 3)) == "1 block missing (number 3)" and not Missing()
    tally = Tally("x")
    tally.add(received=5, delivered=2, dropped=1)
    assert tally.settle() == 2 and tally.counts.pending == 0 and tally.counts.dropped == 3
