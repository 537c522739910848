import os
import subprocess
import sys
import textwrap

# `make sanitize` sets this: ASan and UBSan slow every process down, and ASan
# reserves terabytes of address space for its shadow memory.
SANITIZED = os.environ.get("VEXASDK_SANITIZE") == "1"


def run_python(code: str, *args: str, timeout: float = 60, leak_check: bool = True) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter: modules initialise once per process.
    Without `leak_check`, a sanitized run does not look for leaks at its exit
    (a forked child's interpreter leaves what the parent's threads held)."""
    env = None
    if SANITIZED and not leak_check:
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    return subprocess.run([sys.executable, "-P", *args, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


# Makes `vexasdk` importable without running its __init__ (which imports the
# modules a test wants to import first, after tampering with their imports).
BARE_PACKAGE = """
import importlib.util, sys, types
_spec = importlib.util.find_spec("vexasdk")
_pkg = types.ModuleType("vexasdk")
_pkg.__path__ = list(_spec.submodule_search_locations)
sys.modules["vexasdk"] = _pkg
"""


def random_records(dtype, n, seed=0):
    """`n` records of `dtype` with every unsigned field drawn over its whole range."""
    import numpy as np

    rng = np.random.default_rng(seed)
    out = np.zeros(n, dtype)
    for name in dtype.names:
        kind = out.dtype.fields[name][0]
        out[name] = rng.integers(0, np.iinfo(kind).max, n, dtype=kind, endpoint=True)
    return out


def make_ready(device, index=0):
    """Powers every unit of the opened virtual device `index` up and biases its
    sensor past full depletion: what an acquisition needs to deliver good data."""
    import vexasdk.sim as sim

    for unit in device.power_units:
        unit.power_up()
    if device.bias_sources:
        sim.set_bias_actual(0, 100.0, device=index)
    return device

