"""The sanitizer run itself: what `make sanitize` relies on to mean anything."""

import pytest

from helpers import SANITIZED, run_python


@pytest.mark.skipif(not SANITIZED, reason="checks the environment that make sanitize sets")
def test_subprocesses_run_sanitized_and_a_leaked_object_fails_them():
    # The suppressions cover the interpreter's leftover strings, not objects a
    # module forgets: a leaked array (and its data) must still end the run.
    result = run_python("""
        import ctypes, numpy
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(numpy.zeros(1000)))
    """)
    assert result.returncode != 0
    assert "LeakSanitizer: detected memory leaks" in result.stderr
    assert "8000 byte(s)" in result.stderr
