"""AcquisitionRunner: construction, the trampoline each mode gets, the
parameter union, the SDK's answers, and threads waiting on each other."""

import pickle
import threading

import pytest

import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk._device_context import _DeviceContext
from vexasdk._t3_binning import BinnedParams
from vexasdk.acquisition_runner import AcquisitionRunner
from vexasdk.chip_array import ChipArray
from vexasdk.pixel_chip import OperationalMode

from helpers import BARE_PACKAGE, run_python

M = OperationalMode
START_FAILED = "Acquisition runner: Failed to start the acquisition."


def ready(device, mode):
    for unit in device.power_units:
        unit.power_up()
    device.chip_array.set_mode(mode)


def started():
    """The arguments of the last vexasdk_acq_start call."""
    return sim.calls("vexasdk_acq_start")[-1]


class RecordingArray(ChipArray):
    """A chip array that logs the calls the runner makes and can answer with
    another mode."""

    def get_mode(self, *args):
        self.log.append(("get_mode", args))
        return self.mode if self.mode is not None else super().get_mode(*args)

    def set_mode(self, *args):
        self.log.append(("set_mode", args))
        if self.mode is None:
            super().set_mode(*args)


def recording(chips, context, log, mode=None):
    array = RecordingArray(chips, context)
    array.log, array.mode = log, mode
    return array


# ---- the type ----


def test_module_and_type_texts():
    import vexasdk.acquisition_runner as module

    assert module.__doc__ == "Acquisition runner functionality."
    assert AcquisitionRunner.__doc__ == "Acquisition runner."
    assert AcquisitionRunner.__module__ == "vexasdk.acquisition_runner"
    from vexasdk._t3_binning import BinnedDataCb, BinnedEvcountsCb, BinnedItotsCb
    from vexasdk._t3_itot_evcount import FbItotEvcountCb
    from vexasdk._t3_toa_tot import DdToaTotCb, FbToaTotCb

    assert (module.BinnedDataCb, module.BinnedEvcountsCb, module.BinnedItotsCb, module.BinnedParams,
            module.FbItotEvcountCb, module.DdToaTotCb, module.FbToaTotCb) == (
        BinnedDataCb, BinnedEvcountsCb, BinnedItotsCb, BinnedParams, FbItotEvcountCb, DdToaTotCb, FbToaTotCb)
    assert AcquisitionRunner.start.__annotations__ == {
        "callback": "DdToaTotCb | FbToaTotCb | FbItotEvcountCb | BinnedDataCb | BinnedEvcountsCb | BinnedItotsCb",
        "params": "BinnedParams", "return": "None"}
    for name in ("await_end", "abort", "trigger"):
        assert getattr(AcquisitionRunner, name).__annotations__ == {"return": "None"}
    assert AcquisitionRunner.start.__doc__ == (
        "AcquisitionRunner.start(self, callback: DdToaTotCb | FbToaTotCb | FbItotEvcountCb | BinnedDataCb | "
        "BinnedEvcountsCb | BinnedItotsCb, params: BinnedParams = None) -> None\n\n"
        "Starts the acquisition.\n\n"
        "The device must be configured before the acquisition can be started.\n"
        "At the very least, bias, threshold and chip mode must be set up.\n\n"
        "Args:\n    callback: Acquisition callback.\n    params (BinnedParams): Acquisition parameters.\n")
    assert AcquisitionRunner.await_end.__doc__ == (
        "AcquisitionRunner.await_end(self) -> None\n\nAwaits the acquisition end.\n\n"
        "Blocks until the acquisition is finished/aborted.\nShould only be called after self.start() method.\n")
    assert AcquisitionRunner.abort.__doc__.startswith(
        "AcquisitionRunner.abort(self) -> None\n\nAborts the acquisition in progress.\n\n"
        "Should only be called after self.start() method.")
    assert AcquisitionRunner.trigger.__doc__.startswith(
        "AcquisitionRunner.trigger(self) -> None\n\nTriggers the acquisition.\n\n"
        "Should only be called after self.start() method.")


@pytest.mark.parametrize("args, kwargs, error, text", [
    ((), {}, TypeError, r"^__cinit__\(\) takes exactly 2 positional arguments \(0 given\)$"),
    ((None,), {}, TypeError, r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"),
    ((None, None, None), {}, TypeError, r"^__cinit__\(\) takes exactly 2 positional arguments \(3 given\)$"),
    (("chips", "context"), {}, TypeError,
     r"^Argument 'chip_array' has incorrect type \(expected vexasdk\.chip_array\.ChipArray, got str\)$"),
    ((None, None), {}, TypeError,
     r"^Argument 'chip_array' has incorrect type \(expected vexasdk\.chip_array\.ChipArray, got NoneType\)$"),
])
def test_constructor_errors(args, kwargs, error, text):
    with pytest.raises(error, match=text):
        AcquisitionRunner(*args, **kwargs)


def test_constructor_checks_the_context_and_takes_keywords(device):
    with pytest.raises(TypeError, match=r"^Argument 'context' has incorrect type \(expected "
                                        r"vexasdk\._device_context\._DeviceContext, got NoneType\)$"):
        AcquisitionRunner(device.chip_array, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'array'"):
        AcquisitionRunner(array=device.chip_array, context=device.context)
    subclass = type("Sub", (AcquisitionRunner,), {})
    runner = subclass(context=device.context, chip_array=recording([], device.context, []))
    assert isinstance(runner, AcquisitionRunner) and not hasattr(runner, "_chip_array")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(runner, protocol)
    with pytest.raises(TypeError, match="non-trivial __cinit__"):
        runner.__setstate__(None)


def test_runner_in_a_reference_cycle_is_collected(device):
    import gc
    import weakref

    class Array(ChipArray):
        pass

    array = Array([], device.context)
    runner = AcquisitionRunner(array, device.context)
    array.runner = runner  # a cycle through the runner's field
    alive = weakref.ref(array)
    assert gc.is_tracked(runner)
    del array, runner
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("method", ["await_end", "abort", "trigger"])
def test_methods_take_no_arguments(device, method):
    with pytest.raises(TypeError, match=rf"^{method}\(\) takes no arguments \(1 given\)$"):
        getattr(device.acquisition_runner, method)(1)
    with pytest.raises(TypeError, match=rf"^{method}\(\) takes no keyword arguments$"):
        getattr(device.acquisition_runner, method)(now=True)


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, r"^start\(\) takes at least 1 positional argument \(0 given\)$"),
    ((print, None, None), {}, r"^start\(\) takes at most 2 positional arguments \(3 given\)$"),
    ((print,), {"callback": print}, r"^start\(\) got multiple values for keyword argument 'callback'$"),
    ((print,), {"parameters": None}, r"^start\(\) got an unexpected keyword argument 'parameters'$"),
])
def test_start_argument_count(device, args, kwargs, text):
    with pytest.raises(TypeError, match=text):
        device.acquisition_runner.start(*args, **kwargs)


# ---- start-up ----


@pytest.mark.parametrize("tamper, error", [
    ('import vexasdk._t3_binning as m; del m.__pyx_capi__["binned_itot_cb"]',
     "ImportError: vexasdk._t3_binning does not export expected C function binned_itot_cb"),
    ('import vexasdk._t3_toa_tot as m; m.__pyx_capi__["fb_toa_tot_cb"] = m.__pyx_capi__["dd_toa_tot_cb"]; '
     'import vexasdk._utils as u; m.__pyx_capi__["fb_toa_tot_cb"] = u.__pyx_capi__["_raise_if_err"]',
     "TypeError: C function vexasdk._t3_toa_tot.fb_toa_tot_cb has wrong signature "
     "(expected void (vexasdk_dev_ctx *, void *), got int (int, PyObject *))"),
    ('import vexasdk._utils as u; del u.__pyx_capi__["_raise_if_err"]',
     "ImportError: vexasdk._utils does not export expected C function _raise_if_err"),
    ("import vexasdk.chip_array as m; m.ChipArray = type('Small', (), {})",
     "ValueError: vexasdk.chip_array.ChipArray size changed, may indicate binary incompatibility. "
     "Expected 32 from C header, got 16 from PyObject"),
])
def test_start_up_checks_what_it_binds(tamper, error):
    result = run_python(BARE_PACKAGE + tamper + "\nimport vexasdk.acquisition_runner\n")
    assert result.returncode == 1
    assert result.stderr.strip().endswith(error), result.stderr


# ---- start ----


TRAMPOLINES = {
    M.dd_toa_tot: ("_t3_toa_tot", "dd_toa_tot_cb"), M.dd_toa_tot_sorted: ("_t3_toa_tot", "dd_toa_tot_cb"),
    M.fb_toa_tot: ("_t3_toa_tot", "fb_toa_tot_cb"), M.fb_itot_evcount: ("_t3_itot_evcount", "fb_itot_evcount_cb"),
    M.binned_data: ("_t3_binning", "binned_data_cb"), M.binned_evcount: ("_t3_binning", "binned_evcount_cb"),
    M.binned_itot: ("_t3_binning", "binned_itot_cb"),
}


@pytest.mark.parametrize("mode", list(TRAMPOLINES))
def test_the_chips_mode_alone_picks_the_trampoline(device, mode):
    ready(device, mode)
    sim.queue_itot_evcount(None, fetch_rc=sim.ERR_EINVAL)  # one block, whatever the mode: the fetch fails
    callback = object()  # not tested against the protocols
    device.acquisition_runner.start(callback)
    device.acquisition_runner.await_end()
    args = started()
    assert args["callback"] == sim.trampoline(*TRAMPOLINES[mode])
    assert args["mode"] == sim.ACQ_MODE_PROCESSED and args["user_data"] == id(callback)


@pytest.mark.parametrize("mode", [M.evcount_8bit, M.itot_14_bit])
def test_modes_without_processed_data_leave_it_to_the_sdk(device, mode):
    ready(device, mode)
    callback = lambda *args: None  # noqa: E731
    before = __import__("sys").getrefcount(callback)
    with pytest.raises(SdkError) as raised:
        device.acquisition_runner.start(callback)
    assert (raised.value.message, raised.value.code) == (START_FAILED, sim.ERR_EINVAL)
    assert started()["callback"] is None
    assert __import__("sys").getrefcount(callback) == before  # a failed start keeps nothing


class LooksBinned(tuple):
    width, height, dwell_time_ns = 7, 9, 11


@pytest.mark.parametrize("params, union", [
    ((), (0, 0, 0)),
    ((None,), (0, 0, 0)),
    (((7, 9, 11),), (0, 0, 0)),
    ((LooksBinned(),), (0, 0, 0)),
    ((BinnedParams(7, 9, 2**63 + 5),), (7, 9, 2**63 + 5)),
    ((type("Sub", (BinnedParams,), {})(2**32 - 1, 0, 2**64 - 1),), (2**32 - 1, 0, 2**64 - 1)),
])
def test_the_parameter_union(device, params, union):
    ready(device, M.binned_data)
    sim.queue_itot_evcount(None, fetch_rc=sim.ERR_EINVAL)
    device.acquisition_runner.start(print, *params)
    device.acquisition_runner.await_end()
    args = started()
    assert (args["width"], args["height"], args["dwell_time"]) == union


class Fields(BinnedParams):
    """BinnedParams whose fields log their reads and may be anything."""

    def __new__(cls, log, width, height, dwell):
        self = super().__new__(cls, width, height, dwell)
        self.log = log
        return self

    def __getattribute__(self, name):
        if name in BinnedParams._fields:
            object.__getattribute__(self, "log").append(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize("values, error, text, read", [
    ((-1, 0, 0), OverflowError, "can't convert negative value to uint32_t", ["width"]),
    ((0, 2**32, 0), OverflowError, "value too large to convert to uint32_t", ["width", "height"]),
    ((0, 0, -5), OverflowError, "can't convert negative value to uint64_t", ["width", "height", "dwell_time_ns"]),
    ((0, 0, 2**64), OverflowError, "value too large to convert to uint64_t", ["width", "height", "dwell_time_ns"]),
    (("7", 0, 0), TypeError, "an integer is required", ["width"]),
])
def test_bad_fields_fail_before_the_chips_are_asked(device, values, error, text, read):
    log, fields = [], []
    runner = AcquisitionRunner(recording([], device.context, log), device.context)
    with pytest.raises(error, match=f"^{text}$"):
        runner.start(print, Fields(fields, *values))
    assert log == [] and fields == read
    assert sim.call_count("vexasdk_acq_start") == 0


def test_get_mode_once_then_set_mode_with_that_member(device):
    ready(device, M.fb_itot_evcount)
    sim.queue_itot_evcount(None, fetch_rc=sim.ERR_EINVAL)
    log = []
    runner = AcquisitionRunner(recording(device.chips, device.context, log), device.context)
    runner.start(print)
    runner.await_end()
    assert log == [("get_mode", ()), ("set_mode", (M.fb_itot_evcount,))]
    assert log[1][1][0] is M.fb_itot_evcount


class Member:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize("mode, error, text", [
    (Member("7"), TypeError, "an integer is required"),
    (Member(2**32), OverflowError, "value too large to convert to vexasdk_chip_mode"),
    (Member(-1), OverflowError, "value too large to convert to vexasdk_chip_mode"),
    (object(), AttributeError, "'object' object has no attribute 'value'"),
])
def test_a_mode_that_does_not_convert_starts_nothing(device, mode, error, text):
    log = []
    runner = AcquisitionRunner(recording([], device.context, log, mode=mode), device.context)
    with pytest.raises(error, match=text):
        runner.start(print)
    assert [name for name, _ in log] == ["get_mode"]
    assert sim.call_count("vexasdk_acq_start") == 0


def test_a_mode_that_converts_is_passed_on_whatever_it_is(device):
    ready(device, M.fb_itot_evcount)
    log = []
    member = Member(9)
    runner = AcquisitionRunner(recording([], device.context, log, mode=member), device.context)
    sim.queue_itot_evcount(None, fetch_rc=sim.ERR_EINVAL)
    runner.start(print)
    runner.await_end()
    assert log == [("get_mode", ()), ("set_mode", (member,))]
    assert started()["callback"] == sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb")


@pytest.mark.parametrize("failing", ["get_mode", "set_mode"])
def test_chip_array_failures_start_nothing(device, failing):
    class Failing(ChipArray):
        def get_mode(self):
            if failing == "get_mode":
                raise ValueError("no mode")
            return M.fb_itot_evcount

        def set_mode(self, mode):
            raise ValueError("refused")

    with pytest.raises(ValueError, match="no mode" if failing == "get_mode" else "refused"):
        AcquisitionRunner(Failing([], device.context), device.context).start(print)
    assert sim.call_count("vexasdk_acq_start") == 0


def test_chips_in_different_modes_start_nothing(device):
    sim.script_chip_settings([(1, 9), (1, 9), (1, 9), (1, 7)])
    with pytest.raises(ValueError, match="Chips are in different operational modes"):
        device.acquisition_runner.start(print)
    assert sim.call_count("vexasdk_acq_start") == 0


# ---- the SDK's answers ----


@pytest.mark.parametrize("method, function, text", [
    ("start", "vexasdk_acq_start", START_FAILED),
    ("await_end", "vexasdk_acq_await_end", "Acquisition runner: Failed to await the end of the acquisition."),
    ("abort", "vexasdk_acq_abort", "Acquisition runner: Failed to abort the acquisition."),
    ("trigger", "vexasdk_trigger_now", "Acquisition runner: Failed to trigger the acquisition."),
])
@pytest.mark.parametrize("code", [sim.ERR_ENOMEM, sim.ERR_BAD_STATE])
def test_sdk_failures_carry_the_method_message(device, method, function, text, code):
    ready(device, M.fb_itot_evcount)
    sim.fail(function, code)
    call = getattr(device.acquisition_runner, method)
    with pytest.raises(SdkError) as raised:
        call(print) if method == "start" else call()
    assert (raised.value.message, raised.value.code) == (text, code)


@pytest.mark.parametrize("method", ["await_end", "abort", "trigger"])
def test_nothing_running_is_a_bad_state(device, method):
    with pytest.raises(SdkError) as raised:
        getattr(device.acquisition_runner, method)()
    assert raised.value.code == sim.ERR_BAD_STATE


def test_a_second_start_is_busy_and_a_closed_device_answers_enodev(device):
    ready(device, M.fb_itot_evcount)
    sim.generate(blocks_per_second=200, packets_per_block=10)
    runner = device.acquisition_runner
    runner.start(lambda packets: None)
    # Re-applying the mode is refused first, as a running device refuses it.
    with pytest.raises(SdkError) as raised:
        runner.start(lambda packets: None)
    assert raised.value.code == sim.ERR_EBUSY and raised.value.message.startswith("Chip array:")
    assert sim.call_count("vexasdk_acq_start") == 1
    skipping = AcquisitionRunner(recording([], device.context, [], mode=Member(9)), device.context)
    with pytest.raises(SdkError) as raised:
        skipping.start(lambda packets: None)
    assert (raised.value.message, raised.value.code) == (START_FAILED, sim.ERR_EBUSY)
    runner.abort()
    device.close()
    with pytest.raises(SdkError) as raised:
        runner.trigger()
    assert raised.value.code == sim.ERR_ENODEV


def test_a_handle_without_a_context_is_the_sdks_to_refuse(device):
    handle = _DeviceContext.__new__(_DeviceContext)
    with pytest.raises(SdkError) as raised:
        AcquisitionRunner(device.chip_array, handle).await_end()
    assert raised.value.code == sim.ERR_EFAULT


# ---- threads ----


def test_await_end_blocks_neither_abort_nor_trigger(device):
    ready(device, M.dd_toa_tot)
    sim.generate(blocks_per_second=100, packets_per_block=10)  # until aborted
    runner = device.acquisition_runner
    runner.start(lambda packets, metadata: None)
    waited = threading.Event()

    def wait():
        runner.await_end()
        waited.set()

    waiter = threading.Thread(target=wait)
    waiter.start()
    assert not waited.wait(0.05)
    runner.trigger()
    runner.trigger()
    runner.abort()
    waiter.join(10)
    assert waited.is_set()
    assert sim.trigger_count() == 2
