import logging
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



def pytest_terminal_summary(terminalreporter):
    """The examples each property-based test tried, when any ran."""
    fuzzing = sys.modules.get("fuzzing")
    if fuzzing is None or not fuzzing.EXAMPLES:
        return
    terminalreporter.write_sep("-", f"examples tried (hypothesis profile {fuzzing.PROFILE!r})")
    for name, count in sorted(fuzzing.EXAMPLES.items()):
        terminalreporter.write_line(f"{count:8d}  {name}")
    terminalreporter.write_line(f"{sum(fuzzing.EXAMPLES.values()):8d}  in all")
