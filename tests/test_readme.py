"""README's examples run as written."""

import importlib.util
import pathlib
import re
import subprocess
import sys

from helpers import run_python

README = pathlib.Path(__file__).parent.parent / "README.md"
# What the runner's example takes over from the one before it.
DEVICE = """
import vexasdk
from vexasdk import OperationalMode
device = vexasdk.open_device()
for unit in device.power_units:
    unit.power_up()
"""


def examples():
    acquire, files, runner = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    return acquire, files, runner


def test_the_acquisition_examples_run():
    acquire, _, runner = examples()
    for code in (acquire, DEVICE + runner + "\nassert frames and frames[0].dtype.names\n"):
        result = run_python(code, timeout=60)
        assert result.returncode == 0, result.stderr


def test_the_file_examples_open_what_the_command_line_saved(tmp_path):
    _, files, _ = examples()
    for args in (["--mode", "dd_toa_tot", "--duration", "0.3", "--save", "run.h5"],
                 ["--mode", "binned_data", "--scan", "8x8", "--dwell", "1000", "--save", "scan.h5"]):
        made = subprocess.run([sys.executable, "-P", "-m", "vexasdk", "acquire", "--quiet", *args], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
        assert made.returncode == 0, made.stderr
    # The 4D-STEM tool is not among the test set-up's packages; where it is, it runs too.
    if importlib.util.find_spec("libertem") is None:
        files = files.split("import libertem")[0]
    result = subprocess.run([sys.executable, "-c", files + "\nprint(len(ids), events.sizes)\n"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "event_time_zero" in result.stdout
