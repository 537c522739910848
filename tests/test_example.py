"""The examples, run as a newcomer runs them: the demo that README's first
command runs, and LiberTEM on a live scan."""

import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "acquire.py"


def test_the_demo_acquires_through_the_runner_and_reports_what_it_saw():
    result = subprocess.run([sys.executable, "-P", str(EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    frames = int(re.search(r"Acquired (\d+) frames", result.stdout).group(1))
    events = int(re.search(r"events +(\d+)", result.stdout).group(1))
    assert frames >= 1 and events > 0
    assert "sim" not in EXAMPLE.read_text()  # what a user writes for hardware too


def test_the_libertem_example_scans_and_saves_the_sum_frame(tmp_path):
    pytest.importorskip("libertem_live")
    example = EXAMPLE.parent / "libertem_live.py"
    result = subprocess.run([sys.executable, "-P", str(example), "--scan", "16x8", "--out", str(tmp_path)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "positions missing 0" in result.stdout and int(re.search(r"events +(\d+)", result.stdout).group(1)) > 0
    saved = np.load(tmp_path / "libertem_live.npz")
    assert saved["summed"].shape == (512, 512) and saved["per_position"].shape == (8, 16)
    assert saved["summed"].sum() == saved["per_position"].sum()
    assert (tmp_path / "libertem_live.png").stat().st_size > 0
    assert "sim" not in example.read_text()


def test_the_bluesky_example_counts_and_flies_into_files_of_their_own(tmp_path):
    pytest.importorskip("ophyd_async")
    example = EXAMPLE.parent / "bluesky_scan.py"
    result = subprocess.run([sys.executable, "-P", str(example), str(tmp_path)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["fb_itot_evcount", "binned_data"]
    assert all("success: det:" in line and ", 0 lost" in line for line in lines)
    assert len(list(tmp_path.glob("*.h5"))) == 2 and "sim" not in example.read_text()
