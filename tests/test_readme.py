"""README's examples run as written."""

import pathlib
import re

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


def test_the_python_examples_run():
    acquire, runner = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    for code in (acquire, DEVICE + runner + "\nassert frames and frames[0].dtype.names\n"):
        result = run_python(code, timeout=60)
        assert result.returncode == 0, result.stderr
