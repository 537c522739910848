"""Streams of blocks over ZeroMQ: every mode arrives as delivered, push shares
and pub copies the blocks, the publisher's policy when receivers are slow,
receivers that start early, late or wait on a dead sender, foreign and
malformed messages, and the command line's stream, receive and file."""

import json
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

zmq = pytest.importorskip("zmq")

import awkward as ak  # noqa: E402
import h5py  # noqa: E402

import vexasdk.sim as sim  # noqa: E402
from vexasdk import Block, OperationalMode  # noqa: E402
from vexasdk.nexus import load  # noqa: E402
from vexasdk.stream import (FormatError, Publisher, Receiver, StreamError, StreamTimeout, decode,  # noqa: E402
                            encode_block)

M = OperationalMode
SCAN = (7, 3)


@pytest.fixture
def address():
    # ipc paths are limited to about a hundred bytes: a short folder of its own.
    folder = tempfile.mkdtemp(prefix="vxs", dir="/tmp")
    yield f"ipc://{folder}/s"
    shutil.rmtree(folder, ignore_errors=True)


def binned(mode):
    return mode.name.startswith("binned")


def stream(device, mode, address, *, receivers=1, pattern="push", receive=None, publisher=None, then=None):
    """Streams an acquisition of `mode` to `receivers` receivers, connected
    before the publisher binds; (blocks as delivered, publisher, [(receiver,
    blocks) of each]) once all have ended. `then` sees each delivered block."""
    receiving = [Receiver(address, pattern, start_timeout=10, **(receive or {})) for _ in range(receivers)]
    results = [(r, []) for r in receiving]
    threads = [threading.Thread(target=lambda r=r, got=got: got.extend(r)) for r, got in results]
    for thread in threads:
        thread.start()
    delivered = []

    def deliver(block):
        delivered.append(block)
        if then is not None:
            then(block)

    publisher = publisher or Publisher(address, pattern, receivers=receivers, wait=10)
    device.acquire(mode, callback=deliver, sinks=[publisher],
                   **({"scan": SCAN, "dwell_ns": 1000} if binned(mode) else {})).wait()
    for thread in threads:
        thread.join(20)
    for receiver in receiving:
        receiver.close()
    return delivered, publisher, results


def assert_same_block(sent, got):
    assert (got.mode, got.sequence, got.arrived, got.first_position, got.scan_shape) == \
        (sent.mode, sent.sequence, sent.arrived, sent.first_position, sent.scan_shape)
    assert len(got.arrays) == len(sent.arrays)
    for a, b in zip(sent.arrays, got.arrays):
        assert type(a) is type(b)
        if isinstance(a, np.ndarray):
            assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
            assert b.flags.writeable and b.flags.aligned
        elif isinstance(a, ak.Array):
            assert a.layout.form == b.layout.form and ak.array_equal(a, b)
        else:  # DdToaTotMetadata
            assert type(a.shutter_start) is type(b.shutter_start) and a.shutter_start == b.shutter_start
            assert b.tdcs.dtype == object and len(a.tdcs) == len(b.tdcs)
            for x, y in zip(a.tdcs, b.tdcs):
                assert type(x) is type(y) and x.dtype == y.dtype and x.tobytes() == y.tobytes()


@pytest.mark.parametrize("mode", [M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot, M.fb_itot_evcount,
                                  M.binned_data, M.binned_evcount, M.binned_itot])
def test_every_mode_arrives_as_delivered(ready, address, mode):
    # Binned: 5 positions a block over a scan of 21, so blocks wrap rows and then the scan.
    sim.generate(blocks_per_second=0, packets_per_block=5 if binned(mode) else 400, block_limit=6)
    delivered, publisher, [(receiver, got)] = stream(ready, mode, address)
    assert len(delivered) == 6 and len(got) == 6
    for sent, block in zip(delivered, got):
        assert_same_block(sent, block)
    assert sum(b.event_count() for b in got) > 0 or mode is M.binned_itot
    assert receiver.start.mode is mode and receiver.start.detector.serial_number == "VX3-1001"
    assert receiver.start.scan_shape == (SCAN if binned(mode) else None)
    assert receiver.end.sent == 6 and receiver.end.dropped == 0 and receiver.end.stopped_by == "device"
    assert receiver.end.counts.blocks == 6 and receiver.counts.not_received == 0
    assert publisher.counts.sent == 6 and publisher.counts.dropped == 0


def test_two_push_receivers_share_the_blocks_none_lost_or_doubled(ready, address):
    sim.generate(blocks_per_second=0, packets_per_block=50, block_limit=80)
    delivered, _, results = stream(ready, M.fb_toa_tot, address, receivers=2)
    shares = [{b.sequence for b in got} for _, got in results]
    assert shares[0] and shares[1] and not shares[0] & shares[1]
    assert shares[0] | shares[1] == set(range(80)) == {b.sequence for b in delivered}
    for (receiver, _), share in zip(results, shares):
        assert receiver.start is not None and receiver.end.sent == 80  # each had the start and the end
        assert receiver.counts.not_received == 80 - len(share)


def test_a_viewer_joining_a_pub_stream_late_sees_the_rest_and_counts_what_it_missed(ready, address):
    sim.generate(blocks_per_second=200, packets_per_block=20, block_limit=100)
    late = {}

    def view():
        with Receiver(address, "pub", start_timeout=10, hwm=1000) as viewer:
            late["sequences"] = [b.sequence for b in viewer]
            late["viewer"] = viewer

    viewer = threading.Thread(target=view)
    _, _, [(early, got)] = stream(ready, M.fb_toa_tot, address, pattern="pub", receive={"hwm": 1000},
                                  then=lambda block: viewer.start() if block.sequence == 30 else None)
    viewer.join(20)
    assert [b.sequence for b in got] == list(range(100)) and early.counts.not_received == 0
    first = late["sequences"][0]  # about 30: what the publisher had not sent yet when the viewer joined
    assert 0 < first < 100 and late["sequences"] == list(range(first, 100))
    assert late["viewer"].start is None and late["viewer"].end.sent == 100
    assert late["viewer"].counts.not_received == first


def test_a_slow_receiver_makes_the_publisher_drop_and_the_counts_stay_true(ready, address):
    sim.generate(blocks_per_second=0, packets_per_block=20_000, block_limit=120)
    slow = Receiver(address, start_timeout=10, hwm=1)
    got = []

    def take():
        for block in slow:
            got.append(block.sequence)
            time.sleep(0.02)

    thread = threading.Thread(target=take)
    thread.start()
    publisher = Publisher(address, max_queued=4, hwm=1, receivers=1)
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[publisher], callback=lambda b: None)
    acquisition.wait()
    thread.join(20)
    counts = publisher.counts
    assert acquisition.counts.blocks == 120  # the SDK's thread lost nothing to the network
    assert counts.dropped > 0 and counts.sent + counts.dropped == 120
    assert len(got) == counts.sent == slow.end.sent and slow.end.dropped == counts.dropped
    assert slow.counts.not_received == counts.dropped and got == sorted(got)


def test_a_receiver_started_after_the_push_sender_gets_everything(ready, address):
    sim.generate(blocks_per_second=0, packets_per_block=100, block_limit=30)
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[Publisher(address)], callback=lambda b: None)
    time.sleep(0.3)  # the acquisition has ended by now; the publisher holds its blocks
    with Receiver(address, start_timeout=10) as receiver:
        got = [b.sequence for b in receiver]
    acquisition.wait()
    assert got == list(range(30)) and receiver.start is not None and receiver.counts.not_received == 0


SENDER = """
import sys, vexasdk, vexasdk.sim as sim
from vexasdk.stream import Publisher
sim.generate(blocks_per_second=50, packets_per_block=20)  # until it dies
with vexasdk.open_device() as device:
    for unit in device.power_units:
        unit.power_up()
    device.acquire("fb_toa_tot", sinks=[Publisher(sys.argv[1], receivers=1)], callback=lambda b: None).wait()
"""


def test_a_sender_dying_mid_stream_times_out_clearly_and_what_arrived_stays(address):
    sender = subprocess.Popen([sys.executable, "-P", "-c", SENDER, address])
    got = []
    try:
        with Receiver(address, timeout=1.0, start_timeout=30) as receiver:
            for block in receiver:
                got.append(block)
                if len(got) == 5:
                    sender.kill()
                    sender.wait()
            pytest.fail("the stream ended without its end")
    except StreamTimeout as error:
        assert "stopped without ending the stream" in str(error)
    finally:
        sender.kill()
        sender.wait()
    assert len(got) >= 5 and receiver.counts.blocks == len(got) and receiver.end is None
    assert [b.sequence for b in got] == list(range(len(got)))


def test_an_idle_sender_is_not_taken_for_dead(ready, address):
    sim.generate(blocks_per_second=1, packets_per_block=10, block_limit=3)  # a block a second
    _, _, [(receiver, got)] = stream(ready, M.fb_toa_tot, address, receive={"timeout": 0.5},
                                     publisher=Publisher(address, receivers=1, heartbeat=0.05))
    assert len(got) == 3 and receiver.end is not None


def test_a_receiver_says_what_it_found_at_the_address(address):
    with Receiver(address, start_timeout=0.3) as receiver:
        with pytest.raises(StreamTimeout, match="within 0.3 s: nothing listens there"):
            next(receiver)
    # Another program on a TCP port, which speaks no ZeroMQ.
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]

    def answer():
        for _ in range(20):
            try:
                peer, _ = server.accept()
            except OSError:
                return
            peer.sendall(b"HTTP/1.0 400 Bad Request\r\n\r\n" * 4)
            peer.close()

    answering = threading.Thread(target=answer)
    answering.start()
    try:
        with Receiver(f"tcp://127.0.0.1:{port}", start_timeout=1.0) as receiver:
            with pytest.raises(StreamTimeout, match="handshakes failed, so what listens there does not speak"):
                next(receiver)
    finally:
        server.shutdown(socket.SHUT_RDWR)  # wakes its accept(), which a close alone would not
        server.close()
        answering.join(10)


# ---- messages ----


def a_block(mode=M.binned_data, sequence=0):
    if mode is M.binned_data:
        packets = np.zeros(5, [("address", "<u4"), ("evcount", "<u4"), ("itot", "<u4")])
        packets["address"] = [1, 2, 3, 4, 5]
        lists = ak.unflatten(ak.from_numpy(packets), np.array([2, 0, 3], np.int64))
        arrays = (np.array([7, 0, 9], np.uint64), np.array([1, 0, 2], np.uint64), lists)
        return Block(mode, arrays, sequence, 1.5e9, 4, (3, 2))
    packets = np.zeros(3, sim.TOA_TOT_DTYPE).view(np.recarray)
    packets.toa = [10, 20, 30]
    return Block(mode, (packets,), sequence, 1.5e9)


def raw(frames):
    return [bytearray(memoryview(f)) for f in frames]  # writable, as the frames ZeroMQ hands over


def changed(frames, **header):
    frames = list(frames)
    described = json.loads(frames[1])
    described.update(header)
    frames[1] = bytearray(json.dumps(described).encode())
    return frames


GOOD = raw(encode_block(a_block(), "s1"))
HEADER = json.loads(GOOD[1])
MALFORMED = {
    "another version": ([bytearray(b"vexasdk.stream/2"), *GOOD[1:]], "speaks stream format '2'; this receiver reads format 1"),
    "header not JSON": ([GOOD[0], bytearray(b"{oops"), *GOOD[2:]], "its header is not JSON"),
    "a buffer short": (GOOD[:2] + [GOOD[2][:-8]] + GOOD[3:], "array 0 has 16 bytes, not the 24"),
    "a buffer missing": (GOOD[:-1], "lacks its buffers"),
    "a buffer too many": (GOOD + [b"x"], "buffers where the header describes"),
    "another dtype": (changed(GOOD, arrays=[dict(HEADER["arrays"][0], dtype="<f8"), *HEADER["arrays"][1:]]),
                      "array 0 of binned_data is described as '<f8'"),
    "lists that do not add up": (changed(GOOD, arrays=[*HEADER["arrays"][:2], dict(HEADER["arrays"][2], packets=9)]),
                                 "lists hold 5 packets, not the 9 sent"),
    "positions of a block differ": (changed(GOOD, arrays=[dict(HEADER["arrays"][0], shape=[2]), *HEADER["arrays"][1:]]),
                                    "array 0 has 24 bytes, not the 16"),
    "a position outside the scan": (changed(GOOD, first_position=6), "'first_position' is 6, outside 0 to 5"),
    "an unknown mode": (changed(GOOD, mode="dd_toa_tot_fancy"), "mode 'dd_toa_tot_fancy' is not a data mode"),
    "an unknown kind": (changed(GOOD, kind="confetti"), "kind 'confetti' is none of"),
    "no stream named": (changed(GOOD, stream=""), "it names no stream"),
    "a negative sequence": (changed(GOOD, sequence=-1), "'sequence' is -1"),
    "a header nested deep": ([GOOD[0], bytearray(b"[" * 100_000), *GOOD[2:]], "nests more than 4096 levels"),
    "a number past any float": (changed(GOOD, arrived=10**400), "OverflowError"),
    "a million empty frames": (GOOD + [b""] * 5000, "5006 frames, more than any message has"),
}


def test_a_good_message_decodes_to_its_block():
    block = decode(GOOD).block
    assert_same_block(a_block(), block)
    assert block.positions == 3 and block.packet_count() == 5


@pytest.mark.parametrize("frames, message", MALFORMED.values(), ids=MALFORMED.keys())
def test_a_malformed_message_is_a_clear_error_never_a_wrong_array(frames, message):
    with pytest.raises(FormatError) as error:
        decode(frames)
    assert message in str(error.value)


def test_foreign_messages_are_skipped_and_counted_then_others_are_refused(address):
    context = zmq.Context()
    other = context.socket(zmq.PUSH)
    other.bind(address)
    try:
        with Receiver(address, timeout=5, start_timeout=5) as receiver:
            other.send_multipart([b"hello"])
            other.send_multipart([b"GET / HTTP/1.1", b"x"])
            other.send_multipart(encode_block(a_block(M.fb_toa_tot), "s1"), copy=False)
            assert_same_block(a_block(M.fb_toa_tot), next(receiver))
            assert receiver.counts.foreign == 2 and receiver.counts.blocks == 1
            other.send_multipart(encode_block(a_block(M.fb_toa_tot, sequence=1), "s2"))
            with pytest.raises(StreamError, match="a message of another stream arrived"):
                next(receiver)
            other.send_multipart(MALFORMED["another version"][0])
            with pytest.raises(FormatError, match="speaks stream format '2'"):
                next(receiver)
    finally:
        other.close(0)
        context.term()


def test_refusals(ready, address):
    for bad, text in [({"pattern": "pair"}, "pattern must be 'push' or 'pub'"),
                      ({"max_queued": 0}, "max_queued must be an integer from 1"),
                      ({"drain_timeout": -1}, "drain_timeout must be a number above 0"),
                      ({"receivers": True}, "receivers must be an integer")]:
        with pytest.raises(ValueError, match=text):
            Publisher(address, **bad)
    with pytest.raises(ValueError, match="must be a ZeroMQ address"):
        Receiver("127.0.0.1:5555")
    with pytest.raises(ValueError, match="cannot connect to 'tcp://nowhere'"):
        Receiver("tcp://nowhere")
    with pytest.raises(TimeoutError, match="0 of 1 receivers connected to ipc://.* within 0.2 s"):
        ready.acquire(M.fb_toa_tot, sinks=[Publisher(address, receivers=1, wait=0.2)])
    taken = socket.create_server(("127.0.0.1", 0))
    try:
        with pytest.raises(OSError, match="cannot bind tcp://127.0.0.1:.*: Address already in use"):
            ready.acquire(M.fb_toa_tot, sinks=[Publisher(f"tcp://127.0.0.1:{taken.getsockname()[1]}")])
    finally:
        taken.close()
    assert sim.call_count("vexasdk_acq_start") == 0  # nothing started without its stream


# ---- the command line ----


def vexasdk(*args, **kwargs):
    return subprocess.Popen([sys.executable, "-P", "-m", "vexasdk", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


def datasets(path):
    """{name: (value, attributes)} of every dataset, {name: attributes} of every group."""
    found = {}

    def attributes(item):
        # Each side names its own file, and estimates the detector clock's wall time from its own arrivals.
        return {key: np.asarray(value).tolist() for key, value in item.attrs.items()
                if key not in ("file_name", "file_time", "offset")}

    with h5py.File(path, "r") as f:
        f.visititems(lambda name, item: found.__setitem__(name, (item[()], attributes(item)))
                     if isinstance(item, h5py.Dataset) else found.__setitem__(name, attributes(item)))
    return found


@pytest.mark.parametrize("args", [["--mode", "dd_toa_tot", "--duration", "0.4"],
                                  ["--mode", "binned_data", "--scan", "16x8", "--dwell", "20000"]])
def test_stream_and_receive_save_what_a_local_save_writes(tmp_path, address, args):
    receiving = vexasdk("receive", "--connect", address, "--save", "received.h5", "--start-timeout", "30",
                        cwd=tmp_path)
    streaming = vexasdk("stream", *args, "--bias", "100", "--bind", address, "--receivers", "1",
                        "--save", "local.h5", cwd=tmp_path)
    sent, sender_errors = streaming.communicate(timeout=40)
    received, receiver_errors = receiving.communicate(timeout=40)
    assert streaming.returncode == 0, sender_errors
    assert receiving.returncode == 0, receiver_errors
    blocks = int(sent.split("  blocks        ")[1].split()[0].replace(",", ""))
    assert f"(push): {blocks:,} messages sent, 0 dropped" in sent and " sent  0 dropped" in sent  # progress too
    assert f"received      {blocks:,} blocks ({blocks:,} sent, 0 dropped by the sender; 0 not received" in received
    local, remote = datasets(tmp_path / "local.h5"), datasets(tmp_path / "received.h5")
    assert local.keys() == remote.keys()
    for name, value in local.items():
        if name.endswith("bias_voltage") or "/monitor_" in name and name.endswith("/value"):  # read by each side
            np.testing.assert_allclose(value[0], remote[name][0], rtol=0.02, atol=0.5)
        elif isinstance(value, tuple):
            assert np.array_equal(value[0], remote[name][0]), name
            assert value[1] == remote[name][1], name
        else:
            assert value == remote[name], name


@pytest.mark.parametrize("args, status, text", [
    (["receive", "--connect", "ipc:///tmp/vxs-nobody-here", "--start-timeout", "0.3"], 1,
     "vexasdk receive: no stream from ipc:///tmp/vxs-nobody-here within 0.3 s: nothing listens there"),
    (["stream", "--mode", "fb_toa_tot", "--bind", "localhost:5555"], 2, "must be a ZeroMQ address"),
    (["stream", "--mode", "fb_toa_tot", "--bind", "tcp://127.0.0.1:port"], 1,
     "vexasdk stream: cannot bind tcp://127.0.0.1:port: Invalid argument"),
    (["receive", "--connect", "tcp://127.0.0.1:99999"], 1, "the port of 'tcp://127.0.0.1:99999' must be 0 to 65535"),
    (["stream", "--mode", "fb_toa_tot", "--bind", "ipc:///tmp/vxs-nobody-comes", "--receivers", "1", "--wait", "0.2"],
     1, "vexasdk stream: 0 of 1 receivers connected to ipc:///tmp/vxs-nobody-comes within 0.2 s"),
])
def test_the_command_line_says_what_went_wrong(args, status, text):
    child = vexasdk(*args)
    _, err = child.communicate(timeout=30)
    assert child.returncode == status and text in err and "Traceback" not in err


def test_lost_blocks_end_in_status_3_with_the_account(tmp_path, address):
    nobody = vexasdk("stream", "--mode", "fb_toa_tot", "--duration", "0.3", "--pattern", "pub", "--bind", address)
    out, err = nobody.communicate(timeout=30)
    assert nobody.returncode == 3 and "no receiver connected" in out and "publisher:" in out, err
    sender = subprocess.Popen([sys.executable, "-P", "-c", SENDER, address])
    receiving = vexasdk("receive", "--connect", address, "--save", "got.h5", "--timeout", "1", "--start-timeout", "30",
                        cwd=tmp_path)
    time.sleep(2.0)
    sender.kill()
    out, err = receiving.communicate(timeout=30)
    sender.wait()
    assert receiving.returncode == 3 and "the end never came" in out, err
    assert "incomplete" in out and load(tmp_path / "got.h5").metadata["complete"] is False
