"""Callables the SDK holds by address stay alive while it may call them: the
acquisition runner's callbacks and the monitor channel's callables, kept in
one kind of registry, released only once the SDK is done with them."""

import gc
import threading
import weakref

import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk.acquisition_runner import AcquisitionRunner
from vexasdk.pixel_chip import OperationalMode

from helpers import run_python


class Sink:
    """A callback that only records what it receives."""

    def __init__(self, got, on_call=None):
        self.got, self.on_call = got, on_call

    def __call__(self, packets):
        self.got.append(len(packets))
        if self.on_call is not None:
            self.on_call(self)


def ready(device, blocks=0):
    for unit in device.power_units:
        unit.power_up()
    device.chip_array.set_mode(OperationalMode.fb_itot_evcount)
    for i in range(blocks):
        sim.queue_itot_evcount(np.zeros(i + 1, sim.ITOT_EVCOUNT_DTYPE))


def dropped(got, on_call=None):
    """A callback nobody but the registry refers to, and a weak reference to it."""
    callback = Sink(got, on_call)
    return callback, weakref.ref(callback)


def test_a_dropped_callback_receives_every_block_and_goes_after_the_end(device):
    ready(device, blocks=5)
    sim.set_delivery_threads(1)
    got = []
    callback, alive = dropped(got)
    device.acquisition_runner.start(callback)
    del callback
    gc.collect()
    device.acquisition_runner.await_end()
    assert got == [1, 2, 3, 4, 5]
    assert alive() is None


def test_a_runner_freed_while_running_keeps_the_callback(device):
    ready(device)
    sim.generate(blocks_per_second=1000, packets_per_block=3)
    got = []
    callback, alive = dropped(got)
    runner = AcquisitionRunner(device.chip_array, device.context)
    runner.start(callback)
    del callback, runner
    gc.collect()
    while len(got) < 5:
        threading.Event().wait(0.002)
    assert alive() is not None
    device.acquisition_runner.abort()  # another runner of the same device
    assert alive() is None


@pytest.mark.parametrize("function, code", [("vexasdk_acq_start", sim.ERR_ENOMEM),
                                            ("vexasdk_acq_start", sim.ERR_BAD_STATE)])
def test_a_failed_start_keeps_nothing(device, function, code):
    ready(device)
    sim.fail(function, code)
    callback, alive = dropped([])
    with pytest.raises(SdkError):
        device.acquisition_runner.start(callback)
    del callback
    assert alive() is None


@pytest.mark.parametrize("failure", ["await fault", "abort fault", "trigger"])
def test_only_a_call_that_saw_the_end_releases(device, failure):
    ready(device)
    sim.generate(blocks_per_second=500, packets_per_block=3)
    callback, alive = dropped([])
    runner = device.acquisition_runner
    runner.start(callback)
    del callback
    if failure == "trigger":
        runner.trigger()
    else:
        method = failure.split()[0]
        sim.fail("vexasdk_acq_" + ("await_end" if method == "await" else method), sim.ERR_EINVAL)
        with pytest.raises(SdkError):
            getattr(runner, "await_end" if method == "await" else method)()
    gc.collect()
    assert alive() is not None
    runner.abort()
    assert alive() is None


def test_an_abort_from_inside_a_callback_releases_nothing(device):
    # Other delivery threads may still be calling the callback when the
    # abort returns on one of them.
    ready(device)
    sim.set_delivery_threads(4)
    sim.generate(blocks_per_second=0, packets_per_block=2)
    codes = []

    def abort_once(sink):
        if len(sink.got) == 3:
            device.acquisition_runner.abort()
            codes.append("aborted")

    got = []
    callback, alive = dropped(got, abort_once)
    device.acquisition_runner.start(callback)
    del callback
    while not codes:
        threading.Event().wait(0.002)
    gc.collect()
    assert alive() is not None
    device.acquisition_runner.await_end()
    assert alive() is None


def test_a_wait_begun_before_a_start_leaves_that_start_kept(device):
    ready(device)
    sim.generate(blocks_per_second=200, packets_per_block=3)
    runner = device.acquisition_runner
    runner.start(Sink([]))
    waiter = threading.Thread(target=runner.await_end)
    waiter.start()
    threading.Event().wait(0.02)
    runner.abort()
    waiter.join(10)
    # The start after both: kept although a wait that began earlier returned.
    sim.generate(blocks_per_second=200, packets_per_block=3)
    callback, alive = dropped([])
    runner.start(callback)
    del callback
    gc.collect()
    assert alive() is not None
    runner.abort()
    assert alive() is None


@pytest.mark.parametrize("end", ["close", "reset", "device count"])
def test_closing_releases_callbacks_and_monitor_callables(end):
    device = vexasdk.open_device()
    ready(device)
    sim.generate(blocks_per_second=100, packets_per_block=3)
    callback, callback_alive = dropped([])
    callable_, callable_alive = dropped([])
    device.acquisition_runner.start(callback)
    device.monitors[0].set_on_value_changed_cb(callable_)
    del callback, callable_
    gc.collect()
    assert callback_alive() is not None and callable_alive() is not None
    {"close": device.close, "reset": sim.reset, "device count": lambda: sim.set_device_count(0)}[end]()
    assert callback_alive() is None and callable_alive() is None
    device.close()


def test_callbacks_churned_from_many_threads_never_reach_freed_memory():
    result = run_python("""
        import gc, time
        import vexasdk.sim as sim
        from vexasdk import SdkError
        from vexasdk.acquisition_runner import AcquisitionRunner
        sim.set_monitor_rate(0)
        device = powered_device(threads=3)
        stop = time.monotonic() + 1.5
        class Callback:
            def __call__(self, packets):
                self.seen = len(packets)
        def churn():
            while time.monotonic() < stop:
                runner = AcquisitionRunner(device.chip_array, device.context)
                sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=20)
                for action in (lambda: runner.start(Callback()), runner.abort, runner.await_end,
                               runner.trigger):
                    try:
                        action()
                    except SdkError:
                        pass
                gc.collect(0)
        in_threads(churn, 3)
        device.close()
        print("done")
    """, timeout=120, script_helpers=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
