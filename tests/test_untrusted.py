"""Files, messages and arguments as a hostile user makes them: each ends in
time with one clear error, reads nothing it was not given, and allocates in
proportion to what it accepted."""

import io
import os
import subprocess
import sys
import threading
import time

import h5py
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vexasdk
import vexasdk.sim as sim
from vexasdk import OperationalMode
from vexasdk.cli import _safe, main
from vexasdk.nexus import BadFile, HDF5Writer, NotOurFile, load

M = OperationalMode


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """A small saved run, made once."""
    path = tmp_path_factory.mktemp("run") / "run.h5"
    assert main(["acquire", "--mode", "dd_toa_tot", "--duration", "0.2", "--bias", "100", "--quiet",
                 "--save", str(path)], out=io.StringIO()) == 0
    return path


@pytest.fixture(scope="module", params=[["--mode", "dd_toa_tot"], ["--mode", "fb_itot_evcount"],
                                        ["--mode", "binned_data", "--scan", "4x4", "--dwell", "20000"]],
                ids=["events", "frames", "scan"])
def saved_any(request, tmp_path_factory):
    """A small saved run of each kind of layout."""
    path = tmp_path_factory.mktemp("run") / "run.h5"
    assert main(["acquire", *request.param, "--duration", "0.2", "--bias", "100", "--quiet", "--save", str(path)],
                out=io.StringIO()) == 0
    return path


def copy_of(saved, tmp_path, change=None):
    path = tmp_path / "copy.h5"
    path.write_bytes(saved.read_bytes())
    if change is not None:
        with h5py.File(path, "r+") as f:
            change(f)
    return path


# ---- files ----

FLIPS = """
import random, sys, time
from vexasdk.nexus import NotOurFile, load
data = bytearray(open(sys.argv[1], "rb").read())
random.seed(5)
for _ in range(60):
    damaged = bytearray(data)
    damaged[random.randrange(min(len(data), 1 << 18))] ^= 1 << random.randrange(8)
    open(sys.argv[2], "wb").write(damaged)
    began = time.monotonic()
    try:
        run = load(sys.argv[2])
        run.detector_image(), [run.describe(name) for name in run.arrays]
    except (NotOurFile, OSError):
        pass
    assert time.monotonic() - began < 5, "a damaged file took too long"
print("ok")
"""


def test_flipped_bits_read_or_fail_at_once_never_hang(saved, tmp_path):
    done = subprocess.run([sys.executable, "-P", "-c", FLIPS, str(saved), str(tmp_path / "flipped.h5")],
                          capture_output=True, text=True, timeout=240)
    assert done.stdout.strip() == "ok", done.stderr[-2000:]


def external(f):
    del f["entry/instrument/chip_0/threshold"]
    f["entry/instrument/chip_0/threshold"] = h5py.ExternalLink("/etc/hostname", "/x")


def corrupt_ids(f):
    ids = f["entry/instrument/detector/events/event_id"]
    ids[0] = 2**32 - 1


@pytest.mark.parametrize("change, where, text", [
    (external, "/entry/instrument/chip_0/threshold", "links to another file"),
    (corrupt_ids, "/entry/instrument/detector/events/event_id", "to 4294967295, past the detector's"),
])
def test_a_damaged_or_reaching_file_is_one_error_naming_the_place(saved, tmp_path, change, where, text):
    path = copy_of(saved, tmp_path, change)
    with pytest.raises(BadFile) as error:
        load(path).detector_image()
    assert error.value.inside == where and text in str(error.value) and error.value.path == str(path)
    if change is external:  # when asked, it is followed: to a file that is no HDF5
        with pytest.raises(BadFile, match="file signature not found"):
            load(path, allow_external=True)


def test_show_refuses_what_is_not_a_regular_file_in_one_line(tmp_path):
    fifo = tmp_path / "run.h5"
    os.mkfifo(fifo)
    done = subprocess.run([sys.executable, "-P", "-m", "vexasdk", "show", str(fifo)], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 1 and done.stderr.strip() == f"vexasdk show: {fifo}: /: not a regular file"


def test_strings_from_a_file_cannot_rewrite_the_terminal(saved, tmp_path):
    def hostile(f):
        del f["entry/instrument/detector/serial_number"]
        f["entry/instrument/detector/serial_number"] = b"\x1b]0;owned\x07\x1b[2J"

    out = io.StringIO()
    assert main(["show", str(copy_of(saved, tmp_path, hostile))], out=out) == 0
    assert "\x1b" not in out.getvalue() and "\\x1b]0;owned\\x07\\x1b[2J" in out.getvalue()
    assert _safe("ok ünïcode\ttab\r") == "ok ünïcode\\ttab\\r"


def _datasets(path):
    with h5py.File(path, "r") as f:
        found: list[str] = []
        f.visititems(lambda name, item: found.append(name) if isinstance(item, h5py.Dataset) else None)
    return sorted(found)


def _replace(f, name, value):
    del f[name]
    f[name] = value


# What a damaged or hostile writer can leave in place of a dataset.
DAMAGE = {
    "a string": lambda f, name: _replace(f, name, "\x1b[2J" * 3),
    "wrong dtype": lambda f, name: _replace(f, name, np.full(f[name].shape or (), 1.5, np.float32)),
    "a compound": lambda f, name: _replace(f, name, np.zeros(3, [("a", "<i4"), ("b", "<f8")])),
    "no rows": lambda f, name: _replace(f, name, np.zeros((0,) + f[name].shape[1:], f[name].dtype)),
    "huge": lambda f, name: _replace(f, name, np.full(f[name].shape or (), np.iinfo(np.int64).max, np.int64)),
    "negative": lambda f, name: _replace(f, name, np.full(f[name].shape or (), -7, np.int64)),
    "not a number": lambda f, name: _replace(f, name, np.full(f[name].shape or (), np.nan)),
    "scalar": lambda f, name: _replace(f, name, 3),
    "a group": lambda f, name: (f.__delitem__(name), f.create_group(name)),
    "a huge claim": lambda f, name: (f.__delitem__(name), f.create_dataset(name, (2**40,), "<u8", chunks=(1024,))),
    "gone": lambda f, name: f.__delitem__(name),
}


def read_all(path):
    """Everything a user can ask of a loaded file, as `show` does and more."""
    run = load(path)
    run.detector_image()
    for name in run.arrays:
        run.describe(name), run.arrays[name]
    if "event_index" in run.arrays:
        list(run.block_events())


@settings(max_examples=int(os.environ.get("FUZZ_EXAMPLES", 60)), deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                 HealthCheck.function_scoped_fixture])
@given(st.data())
def test_any_damage_to_a_file_is_one_error_naming_it(saved_any, tmp_path, capsys, data):
    path = copy_of(saved_any, tmp_path)
    if data.draw(st.booleans(), "cut the file short"):
        with open(path, "r+b") as handle:
            handle.truncate(data.draw(st.integers(0, os.path.getsize(path) - 1), "length"))
    else:
        names = _datasets(path)
        with h5py.File(path, "r+") as f:
            for name in data.draw(st.lists(st.sampled_from(names), min_size=1, max_size=3, unique=True), "where"):
                DAMAGE[data.draw(st.sampled_from(sorted(DAMAGE)), "damage")](f, name)
    try:
        read_all(path)
    except BadFile as error:
        assert error.path == str(path) and error.inside.startswith("/")
    except NotOurFile:
        pass
    capsys.readouterr()
    status = main(["show", str(path)], out=io.StringIO())
    err = capsys.readouterr().err
    assert status == 0 and not err or status == 1 and len(err.strip().splitlines()) == 1, err


# ---- messages ----

@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_any_damage_to_a_message_is_a_format_error(data):
    from test_stream import GOOD

    from vexasdk.stream import FormatError, decode

    frames = [bytearray(f) for f in GOOD]
    which = data.draw(st.integers(1, len(frames) - 1))
    if data.draw(st.booleans()):
        frames[which] = frames[which][:data.draw(st.integers(0, len(frames[which])))]  # truncated
    else:
        for _ in range(data.draw(st.integers(1, 8))):
            if frames[which]:
                at = data.draw(st.integers(0, len(frames[which]) - 1))
                frames[which][at] = data.draw(st.integers(0, 255))
    try:
        decode(frames)
    except FormatError:
        pass


@pytest.mark.parametrize("changes, error", [
    ({"mask": {"dtype": "|O", "shape": [1, 1]}}, "a pixel mask of dtype '|O'"),
    ({"dwell_ns": -5}, "dwell_ns is '-5'"),
    ({"dwell_ns": 2.5}, "dwell_ns is '2.5'"),
    ({"dwell_ns": True}, "dwell_ns is 'True'"),
    ({"dwell_ns": 1 << 64}, "not 1 to 2\\*\\*64-1"),
])
def test_a_start_message_of_bad_values_is_refused_before_any_file(changes, error):
    import json

    from vexasdk.stream import FormatError, decode
    from vexasdk.stream.wire import _PREFIX

    chip = {"name": "c", "threshold": 5.0, "threshold_raw": 1, "polarity": "electrons", "mode": "binned_data",
            "mask": changes.get("mask", {"dtype": "|u1", "shape": [1, 1]})}
    header = {"kind": "start", "stream": "s", "mode": "binned_data", "scan_shape": [2, 2],
              "dwell_ns": changes.get("dwell_ns", 1000),
              "detector": {"serial_number": "x", "description": "x", "connection_string": "x", "bias": None,
                           "chips": [chip], "monitors": [], "readings": None}}
    with pytest.raises(FormatError, match=error):
        decode([_PREFIX + b"1", json.dumps(header).encode(), b"\0" * 8])


MANY_FRAMES = """
import resource, sys
from vexasdk.stream import Receiver
with Receiver(sys.argv[1], timeout=60, start_timeout=60) as receiver:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("ready", flush=True)
    next(receiver)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(grown // 1024, receiver.counts.foreign, flush=True)
"""


def test_a_message_of_many_empty_frames_costs_the_receiver_little(tmp_path):
    import zmq
    from test_stream import a_block, encode_block

    frames = 300_000  # 600 kB on the wire; ZeroMQ itself holds 64 bytes a frame until the last has come
    address = f"ipc://{tmp_path}/s"
    context = zmq.Context()
    sender = context.socket(zmq.PUSH)
    sender.bind(address)
    child = subprocess.Popen([sys.executable, "-P", "-c", MANY_FRAMES, address], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        sender.send_multipart([b""] * frames)
        sender.send_multipart(encode_block(a_block(M.fb_toa_tot), "s1"), copy=False)
        grown_mib, foreign = map(int, child.stdout.readline().split())
    finally:
        child.kill(), child.wait(), sender.close(0), context.term()
    assert foreign == 1 and grown_mib < 40, f"the receiver grew by {grown_mib} MiB"


# ---- lifecycles and arguments ----

@pytest.mark.parametrize("call", ["abort", "close"])
@pytest.mark.parametrize("where", ["callback", "sink"])
def test_abort_or_close_from_the_acquisitions_own_thread_returns_and_ends_it(ready, where, call):
    sim.generate(blocks_per_second=200, packets_per_block=10)  # until aborted
    seen: list = []
    made = threading.Event()

    def stop(block):
        made.wait(10)  # the first block may come before acquire() has returned
        if not seen:
            seen.append(threading.get_ident())
            acquisition.abort() if call == "abort" else ready.close()
            with pytest.raises(RuntimeError, match="would wait for ever"):
                acquisition.wait()

    class Sink:
        def open(self, acquisition):
            pass

        def put(self, block):
            stop(block)

        def close(self, acquisition):
            pass

    sinks = [Sink()] if where == "sink" else []
    acquisition = ready.acquire(M.fb_toa_tot, callback=stop if where == "callback" else (lambda b: None), sinks=sinks)
    made.set()
    assert acquisition.wait(10) and acquisition.stopped_by == call and seen
    if call == "close":
        deadline = time.monotonic() + 10
        while not ready.closed and time.monotonic() < deadline:
            time.sleep(0.01)
        assert ready.closed


@pytest.mark.parametrize("call, text", [
    (lambda d: d.acquire(M.fb_toa_tot, duration=10**400), "duration must be above 0 and at most 1e"),
    (lambda d: __import__("vexasdk.plot").plot.save_summary(None, ""), "must name a file"),
])
def test_arguments_out_of_range_are_refused_with_the_range(ready, call, text):
    pytest.importorskip("matplotlib")
    with pytest.raises(ValueError, match=text):
        call(ready)


@pytest.mark.parametrize("args, text", [
    (["acquire", "--mode", "binned_data", "--scan", "65536x65536", "--dwell", "1000"], "at most 16,777,216 positions"),
    (["receive", "--connect", "ipc:///tmp/x", "--save", "r.h5", "--plot", ""], "--plot must name an image file"),
    (["acquire", "--mode", "dd_toa_tot", "--save", "r.h5", "--plot", "."], "--plot must name an image file"),
])
def test_the_command_line_refuses_what_would_exhaust_memory_or_write_elsewhere(tmp_path, args, text):
    done = subprocess.run([sys.executable, "-P", "-m", "vexasdk", *args], capture_output=True, text=True, timeout=60,
                          cwd=tmp_path)
    assert done.returncode == 2 and text in done.stderr and "Traceback" not in done.stderr
    assert not list(tmp_path.iterdir())  # nothing written
