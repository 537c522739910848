import collections
import logging
import os
import sys

import pytest

import vexasdk
import vexasdk.sim as sim
from helpers import make_ready


@pytest.fixture(autouse=True)
def sim_reset():
    """Every test starts from the virtual detector as it comes out of the box,
    except that monitors fire only the events a test asks for."""
    sim.reset()
    sim.set_monitor_rate(0)
    yield
    sim.reset()


@pytest.fixture
def device():
    """The first virtual device, opened."""
    with vexasdk.open_device() as dev:
        yield dev


@pytest.fixture
def ready(device):
    """The first virtual device, opened, powered up and biased: ready to acquire."""
    return make_ready(device)


@pytest.fixture
def vexasdk_log(caplog):
    """Records on the "vexasdk" logger, as (levelname, message, exc_info) tuples."""
    caplog.set_level(logging.DEBUG, logger="vexasdk")

    def records():
        return [(r.levelname, r.getMessage(), r.exc_info) for r in caplog.records if r.name == "vexasdk"]

    return records



_WORKERS_EXAMPLES = collections.Counter()  # with pytest-xdist: what the workers' fuzz tests tried


def pytest_sessionfinish(session):
    """A worker of pytest-xdist hands its examples to the controller."""
    fuzzing = sys.modules.get("fuzzing")
    if hasattr(session.config, "workeroutput") and fuzzing is not None:
        session.config.workeroutput["fuzz_examples"] = dict(fuzzing.EXAMPLES)


@pytest.hookimpl(optionalhook=True)  # pytest-xdist's: the controller learns a worker has finished
def pytest_testnodedown(node, error):
    _WORKERS_EXAMPLES.update(getattr(node, "workeroutput", {}).get("fuzz_examples", {}))


def pytest_terminal_summary(terminalreporter):
    """The examples each property-based test tried, when any ran."""
    fuzzing = sys.modules.get("fuzzing")
    examples = _WORKERS_EXAMPLES + (fuzzing.EXAMPLES if fuzzing is not None else collections.Counter())
    if not examples:
        return
    profile = fuzzing.PROFILE if fuzzing is not None else os.environ.get("HYPOTHESIS_PROFILE") or (
        "ci" if os.environ.get("CI") else "default")
    terminalreporter.write_sep("-", f"examples tried (hypothesis profile {profile!r})")
    for name, count in sorted(examples.items()):
        terminalreporter.write_line(f"{count:8d}  {name}")
    terminalreporter.write_line(f"{sum(examples.values()):8d}  in all")
