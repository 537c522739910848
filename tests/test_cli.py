"""The command line, as a user runs it (here never on a terminal): plain
output, summaries, exit statuses."""

import signal
import subprocess
import time
import sys

import pytest

from helpers import INTERRUPTIBLE


def vexasdk(*args, timeout=60):
    return subprocess.run([sys.executable, "-P", "-m", "vexasdk", *args], capture_output=True, text=True,
                          timeout=timeout)


def assert_plain(text):
    assert "\x1b" not in text and "\r" not in text  # no control characters off a terminal


def test_list_and_info():
    listed = vexasdk("list")
    assert listed.returncode == 0, listed.stderr
    assert "VX3-1001" in listed.stdout and "virtual:0" in listed.stdout
    info = vexasdk("info", "--device", "virtual:0")
    assert info.returncode == 0, info.stderr
    for text in ("VX3-1001-C0", "256 x 256", "Bias sources", "Power units", "Chip 0 temperature", "-200 to 200"):
        assert text in info.stdout
    assert_plain(listed.stdout + info.stdout)


@pytest.mark.parametrize("args, lines", [
    (["--mode", "dd_toa_tot", "--duration", "1", "--bias", "100", "--threshold", "6"],
     ["Acquisition of dd_toa_tot on virtual:0: stopped at its duration", "  ToT           mean ", "  hit map "]),
    (["--mode", "binned_data", "--scan", "32x32", "--dwell", "1000", "--bias", "100"],
     ["Acquisition of binned_data on virtual:0: ended by the device", "  iToT          mean ",
      "  scan          32 x 32 positions, 1,024 covered (100 %); total counts"]),
    (["--mode", "binned_itot", "--scan", "8x4", "--dwell", "100", "--quiet"],
     ["  scan          8 x 4 positions, 32 covered (100 %); iToT totals:"]),
])
def test_acquire_prints_plain_progress_and_a_summary(args, lines):
    result = vexasdk("acquire", *args)
    assert result.returncode == 0, result.stderr
    for line in lines:
        assert line in result.stdout
    assert_plain(result.stdout)
    if "--quiet" in args:
        assert result.stdout.startswith("Acquisition of")
    else:
        assert " blocks " in result.stdout.splitlines()[0]  # a progress line before the summary


@pytest.mark.parametrize("args, text", [
    (["acquire", "--mode", "dd_toatot"], "argument --mode: invalid choice: 'dd_toatot' (choose from 'dd_toa_tot',"),
    (["acquire", "--mode", "dd_toa_tot", "--duration", "-1"], "argument --duration: must be a positive number"),
    (["acquire", "--mode", "binned_data", "--scan", "32"], "argument --scan: must be WIDTHxHEIGHT"),
    (["acquire", "--mode", "binned_data"], "--mode binned_data needs --scan WxH and --dwell NS"),
    (["acquire", "--mode", "fb_toa_tot", "--scan", "4x4"], "--scan and --dwell are for the binned modes only"),
    (["acquire", "--mode", "fb_toa_tot", "--threshold", "900"], "--threshold must be 2.50 to 199.75 keV (chip 0)"),
    (["acquire", "--mode", "fb_toa_tot", "--bias", "300"], "--bias must be -200 to 200 V, got 300"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
])
def test_bad_arguments_exit_2_and_say_why(args, text):
    result = vexasdk(*args)
    assert result.returncode == 2, result.stderr
    assert text in result.stderr and "Traceback" not in result.stderr


def test_an_sdk_failure_exits_1_with_its_message():
    result = vexasdk("acquire", "--mode", "dd_toa_tot", "--device", "virtual:7")
    assert result.returncode == 1
    assert result.stderr == ("vexasdk acquire: Failed to open device 'virtual:7'. "
                             "(VEXASDK_ERR_ENODEV, code -19)\n")


def test_ctrl_c_aborts_exits_130_and_still_summarises():
    child = subprocess.Popen([sys.executable, "-P", "-m", "vexasdk", "acquire", "--mode", "fb_itot_evcount",
                              "--duration", "30", "--bias", "100"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, **INTERRUPTIBLE)
    first = child.stdout.readline()  # the first progress line: it runs
    assert " blocks " in first
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=20)
    assert child.returncode == 130, err
    assert "Acquisition of fb_itot_evcount on virtual:0: aborted" in out and "  events " in out
    assert "Traceback" not in err


def test_a_reader_that_stops_reading_ends_it_quietly():
    # `vexasdk acquire ... | head -1`: the pipe closes under the progress lines.
    child = subprocess.Popen([sys.executable, "-P", "-m", "vexasdk", "acquire", "--mode", "fb_itot_evcount",
                              "--duration", "30", "--bias", "100"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert b" blocks " in child.stdout.readline()
    child.stdout.close()
    began = time.monotonic()
    assert child.wait(timeout=20) == 1 and time.monotonic() - began < 15  # ended, not run to its 30 s
    assert child.stderr.read() == b""
