"""What a new user meets first: a sensor biased by default, durations that
are honoured, errors that say what to do, and the package working from the
repository's root."""

import io
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import OperationalMode, SensorNotDepleted
from vexasdk.cli import main

M = OperationalMode
ROOT = Path(__file__).resolve().parent.parent


def test_an_unbiased_sensor_is_warned_about_and_the_command_line_biases_it(device, tmp_path, capsys):
    device.power_up()
    sim.generate_default(duration=0.05)
    with pytest.warns(SensorNotDepleted, match=r"biased at 0.0 V, below its full depletion at 60 V.*set_bias\(100\)"):
        device.acquire(M.dd_toa_tot).wait()
    device.close()
    assert main(["acquire", "--mode", "dd_toa_tot", "--duration", "0.1", "--quiet", "--save",
                 str(tmp_path / "a.h5")], out=io.StringIO()) == 0
    assert abs(vexasdk.nexus.load(tmp_path / "a.h5").metadata["bias_voltage"] - vexasdk.OPERATING_BIAS) <= 1
    assert "warning" not in capsys.readouterr().err
    assert main(["acquire", "--mode", "dd_toa_tot", "--duration", "0.1", "--quiet", "--bias", "10"],
                out=io.StringIO()) == 0
    assert re.search(r"warning: the sensor is at (9|10|11)\.\d V, below its full depletion at 60 V", capsys.readouterr().err)


def test_a_duration_is_honoured_unless_the_generator_was_scripted(ready):
    began = time.monotonic()
    acquisition = ready.acquire(M.dd_toa_tot, duration=1.6)
    assert acquisition.wait(10) and acquisition.stopped_by == "duration" and time.monotonic() - began >= 1.55
    sim.generate(blocks_per_second=1000, packets_per_block=10, block_limit=3)
    acquisition = ready.acquire(M.dd_toa_tot, duration=5)
    assert acquisition.wait(10) and acquisition.stopped_by != "duration" and acquisition.counts.blocks == 3


@pytest.mark.parametrize("call, text", [
    (lambda d: d.set_bias(500), "volts must be at least -200 and at most 200, got 500"),
    (lambda d: d.set_threshold(1000), r"kev \(chip 0's threshold, keV\) must be at least 2.5 and at most 199.75"),
    (lambda d: d.acquire(M.dd_toa_tot), r"power up the device's units first \(`unit.power_up\(\)`; power units"),
])
def test_errors_say_the_range_or_what_to_do(device, call, text):
    with pytest.raises((ValueError, vexasdk.SdkError)) as error:
        call(device)
    assert re.search(text, "\n".join([str(error.value), *getattr(error.value, "__notes__", [])]))


@pytest.mark.parametrize("args, text", [
    (["acquire", "--mode", "dd_toa_tot", "--save", "nowhere/run.h5"], "--save: the folder"),
    (["acquire", "--mode", "dd_toa_tot", "--save", "old.h5"], "old.h5 exists; give --overwrite"),
    (["acquire", "--mode", "dd_toa_tot", "--save", "."], "--save must name a file"),
    (["acquire", "--mode", "dd_toa_tot", "--save", "r.h5", "--plot", "r.xyz"], "--plot must end in one of"),
    (["acquire", "--mode", "dd_toa_tot", "--save", "r.h5", "--plot", "old.png"], "old.png exists"),
    (["show", "old.h5", "--plot", "old.png"], "old.png exists; give --overwrite"),
])
def test_the_command_line_refuses_a_file_mistake_before_the_run(tmp_path, capsys, monkeypatch, args, text):
    for name in ("old.h5", "old.png"):
        (tmp_path / name).write_bytes(b"kept")
    monkeypatch.chdir(tmp_path)
    began = time.monotonic()
    assert main(args, out=io.StringIO()) == 2
    assert text in capsys.readouterr().err and time.monotonic() - began < 2  # before the device, not after
    assert sorted(p.name for p in tmp_path.iterdir()) == ["old.h5", "old.png"]
    assert (tmp_path / "old.png").read_bytes() == b"kept"


def test_help_gives_defaults_ranges_and_exit_statuses():
    text = subprocess.run([sys.executable, "-P", "-m", "vexasdk", "acquire", "--help"], capture_output=True,
                          text=True, timeout=30).stdout
    for part in ("default: 100 V", "2.5 to 199.75", "at most 16,777,216", "exit statuses:", "130"):
        assert part in " ".join(text.split()), part


def test_the_package_runs_from_the_repositorys_root():
    for command in (["-m", "vexasdk", "list"], ["-c", "import vexasdk, vexasdk.sim; print(vexasdk.open_device())"]):
        done = subprocess.run([sys.executable, *command], capture_output=True, text=True, timeout=60, cwd=ROOT)
        assert done.returncode == 0 and "virtual:0" in done.stdout, done.stderr[-1500:]
