"""Files, messages and arguments as a hostile user makes them: each ends in
time with one clear error, reads nothing it was not given, and allocates in
proportion to what it accepted."""

import io
import os
import subprocess
import sys
import threading

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
    (corrupt_ids, "/entry/instrument/detector/events/event_id", "pixel number 4294967295 past the detector's"),
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


# ---- lifecycles and arguments ----

@pytest.mark.parametrize("where", ["callback", "sink"])
def test_abort_from_the_acquisitions_own_thread_returns_and_ends_it(ready, where):
    sim.generate(blocks_per_second=200, packets_per_block=10)  # until aborted
    seen: list = []
    made = threading.Event()

    def stop(block):
        made.wait(10)  # the first block may come before acquire() has returned
        if not seen:
            seen.append(threading.get_ident())
            acquisition.abort()
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
    assert acquisition.wait(10) and acquisition.stopped_by == "abort" and seen


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
