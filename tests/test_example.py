"""The demo that README's first command runs."""

import pathlib
import re
import subprocess
import sys

EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "acquire.py"


def test_the_demo_acquires_through_the_runner_and_reports_what_it_saw():
    result = subprocess.run([sys.executable, "-P", str(EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    frames = int(re.search(r"Acquired (\d+) frames", result.stdout).group(1))
    events = int(re.search(r"events +(\d+)", result.stdout).group(1))
    assert frames >= 1 and events > 0
    assert "sim" not in EXAMPLE.read_text()  # what a user writes for hardware too
