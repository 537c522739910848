"""README's examples run as written."""

import importlib.util
import os
import pathlib
import re
import socket
import subprocess
import sys

import pytest

from helpers import SANITIZED, run_python

README = pathlib.Path(__file__).parent.parent / "README.md"


def examples():
    """Every python block, in order."""
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def example(first_line):
    """The python block that begins with `first_line`."""
    [found] = [code for code in examples() if code.startswith(first_line)]
    return found


def test_the_acquisition_examples_run():
    acquire, awaited, runner = example("import vexasdk\n"), example("import asyncio\n"), example("import numpy")
    clusters = example("from vexasdk.events import")
    live = "import os, tempfile\nos.chdir(tempfile.mkdtemp())\n" + example("from vexasdk.clusters import")
    for code in (acquire, awaited, runner + "\nassert frames and frames[0].dtype.names\n",
                 clusters + "\nassert clusterer.counts.clusters > 0\n",
                 live + "\nassert len(photons) == clusters.counts.clusters > 0\n"):
        result = run_python(code, timeout=60)
        assert result.returncode == 0, result.stderr


def test_the_file_examples_open_what_the_command_line_saved(tmp_path):
    files = example("import h5py")
    for args in (["--mode", "dd_toa_tot", "--duration", "0.3", "--save", "run.h5"],
                 ["--mode", "binned_data", "--scan", "8x8", "--dwell", "1000", "--save", "scan.h5"]):
        made = subprocess.run([sys.executable, "-P", "-m", "vexasdk", "acquire", "--quiet", *args], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
        assert made.returncode == 0, made.stderr
    # The 4D-STEM tool is not among the test set-up's packages; where it is, it runs too.
    if importlib.util.find_spec("libertem") is None:
        files = files.split("import libertem")[0]
    # LiberTEM compiles with numba, whose JIT and ufuncs live as long as the
    # process: a sanitized run leaves them out of its leak check.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0") if SANITIZED \
        else None
    result = subprocess.run([sys.executable, "-c", files + "\nprint(len(ids), events.sizes)\n"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert "event_time_zero" in result.stdout


def test_the_streaming_examples_run_on_two_sides():
    pytest.importorskip("zmq")
    # The reduction needs a Dask cluster: tests/test_stream_dask.py runs reduce_on on one.
    sender, receiver = example("# on the detector's machine"), example("# anywhere")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    receiving = subprocess.Popen([sys.executable, "-P", "-c", receiver.replace("detector-pc:5555", f"127.0.0.1:{port}")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sent = run_python(sender.replace("tcp://*:5555", f"tcp://127.0.0.1:{port}"), timeout=60)
    received, errors = receiving.communicate(timeout=60)
    assert sent.returncode == 0, sent.stderr
    assert receiving.returncode == 0, errors
    assert "PublisherCounts(sent=" in sent.stdout and "AcquisitionCounts(blocks=" in received
