import os
import signal
import subprocess
import sys
import textwrap

# `make sanitize` sets this: ASan and UBSan slow every process down, and ASan
# reserves terabytes of address space for its shadow memory.
SANITIZED = os.environ.get("VEXASDK_SANITIZE") == "1"


def _default_sigint() -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)


# Popen arguments for a child that a test interrupts with SIGINT: a shell's
# background job ignores SIGINT, and its children inherit that unless told.
INTERRUPTIBLE = {"preexec_fn": _default_sigint}


# What scripts run by `run_python(..., script_helpers=True)` may call. They
# import the package only when called, so that a script may still do what it
# must before that import.
SCRIPT_HELPERS = """
def powered_device(mode="fb_itot_evcount", threads=1):
    # The first virtual device, opened, with every power unit up (or it
    # refuses to acquire), its chips in `mode` (a name) and its blocks
    # delivered from `threads` native threads.
    import vexasdk, vexasdk.sim as sim
    from vexasdk.pixel_chip import OperationalMode
    device = vexasdk.open_device()
    for unit in device.power_units:
        unit.power_up()
    device.chip_array.set_mode(OperationalMode[mode])
    sim.set_delivery_threads(threads)
    return device

def in_threads(target, count):
    # Runs `target` on `count` threads at once and returns when all have.
    import threading
    threads = [threading.Thread(target=target) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
"""


def run_python(code: str, *args: str, timeout: float = 60, leak_check: bool = True,
               script_helpers: bool = False) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter: modules initialise once per process.
    Without `leak_check`, a sanitized run does not look for leaks at its exit
    (a forked child's interpreter leaves what the parent's threads held). With
    `script_helpers`, `code` may call what SCRIPT_HELPERS defines."""
    env = None
    if SANITIZED and not leak_check:
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    script = (SCRIPT_HELPERS if script_helpers else "") + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-P", *args, "-c", script], capture_output=True, text=True,
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

