import gc
import pickle
import weakref

import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk._device_context import _DeviceContext
from vexasdk._power_unit import _PowerUnit

QUERY = "vexasdk_dev_is_unit_powered"
UP = "vexasdk_dev_power_up_unit"
DOWN = "vexasdk_dev_power_down_unit"


@pytest.fixture
def unit(device):
    sim.clear_call_log()
    return device.power_units[1]


def sdk_calls():
    return [(c["fn"], c["args"]["unit_id"]) for c in sim.call_log()]


def test_device_builds_its_power_units():
    sim.set_unit_count(3)
    with vexasdk.open_device() as device:
        assert [type(u) for u in device.power_units] == [_PowerUnit] * 3
        sim.set_unit_powered(2, True)
        assert [u.is_powered() for u in device.power_units] == [False, False, True]


@pytest.mark.parametrize("powered", [False, True])
def test_is_powered_reports_the_unit(unit, powered):
    sim.set_unit_powered(1, powered)
    assert unit.is_powered() is powered
    assert sdk_calls() == [(QUERY, 1)]


@pytest.mark.parametrize("method, before, calls", [
    ("power_up", False, [(QUERY, 1), (UP, 1)]),
    ("power_up", True, [(QUERY, 1)]),
    ("power_down", True, [(QUERY, 1), (DOWN, 1)]),
    ("power_down", False, [(QUERY, 1)]),
])
def test_switching_only_when_needed(unit, method, before, calls):
    sim.set_unit_powered(1, before)
    assert getattr(unit, method)() is None
    assert sdk_calls() == calls
    assert sim.unit_powered(1) is (method == "power_up")


@pytest.mark.parametrize("reported, method, switches", [
    ([], "power_up", True),
    ([0], "power_up", False),
    ([], "power_down", False),
    ("on", "power_down", True),
])
def test_subclass_is_powered_is_tested_for_truth(device, reported, method, switches):
    class Unit(_PowerUnit):
        def is_powered(self):
            return reported

    getattr(Unit(0, device.context), method)()
    assert sim.call_count(QUERY) == 0
    assert sim.call_count(UP if method == "power_up" else DOWN) == int(switches)


@pytest.mark.parametrize("method", ["power_up", "power_down"])
def test_is_powered_failures_propagate_without_switching(device, method):
    class Truthless:
        def __bool__(self):
            raise RuntimeError("no truth")

    class Unit(_PowerUnit):
        def is_powered(self):
            return Truthless()

    with pytest.raises(RuntimeError, match="no truth"):
        getattr(Unit(0, device.context), method)()
    sim.fail(QUERY, sim.ERR_EBUSY)
    with pytest.raises(SdkError) as error:
        getattr(_PowerUnit(0, device.context), method)()
    assert error.value.message == "Unit 0: Failed to determine if the power unit is powered-up."
    assert sim.call_count(UP) + sim.call_count(DOWN) == 0


@pytest.mark.parametrize("method, function, before, text", [
    ("is_powered", QUERY, False, "Failed to determine if the power unit is powered-up."),
    ("power_up", UP, False, "Failed to power up the power unit."),
    ("power_down", DOWN, True, "Failed to power down the power unit."),
])
@pytest.mark.parametrize("unit_id", [258, -254])
def test_index_is_narrowed_for_the_sdk_only(device, method, function, before, text, unit_id):
    sim.set_unit_count(3)
    sim.set_unit_powered(2, before)
    unit = _PowerUnit(unit_id, device.context)
    sim.fail(function, sim.ERR_ENODEV)
    with pytest.raises(SdkError) as error:
        getattr(unit, method)()
    assert (error.value.message, error.value.code) == (f"Unit {unit_id}: {text}", sim.ERR_ENODEV)
    assert sim.calls(function)[-1]["unit_id"] == 2


def test_unit_258_switches_unit_2(device):
    sim.set_unit_count(3)
    _PowerUnit(258, device.context).power_up()
    assert [sim.unit_powered(i) for i in range(3)] == [False, False, True]


def test_unknown_unit_is_refused_by_the_sdk(device):
    with pytest.raises(SdkError, match="^Unit 5: Failed to determine") as error:
        _PowerUnit(5, device.context).power_up()
    assert error.value.code == sim.ERR_EINVAL


@pytest.mark.parametrize("args, kwargs, error, text", [
    ((1,), {}, TypeError, r"__cinit__\(\) takes exactly 2 positional arguments \(1 given\)"),
    ((1, "ctx", 2), {}, TypeError, r"__cinit__\(\) takes exactly 2 positional arguments \(3 given\)"),
    ((), {"unit_id": 1, "context": None}, TypeError, r"Argument 'context' has incorrect type"),
    ((), {"unit_id": 1, "ctx": None}, TypeError, r"unexpected keyword argument 'ctx'"),
    (([1], None), {}, TypeError, r"Argument 'unit_id' has incorrect type \(expected int, got list\)"),
    ((-(2**31) - 1, None), {}, OverflowError, "value too large to convert to int"),
])
def test_constructor_errors(args, kwargs, error, text):
    with pytest.raises(error, match=text):
        _PowerUnit(*args, **kwargs)


def test_constructor_by_keyword(device):
    _PowerUnit(context=device.context, unit_id=1.5).power_up()
    assert sim.unit_powered(1)


@pytest.mark.parametrize("method", ["is_powered", "power_up", "power_down"])
def test_methods_take_no_arguments(unit, method):
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no arguments \(1 given\)"):
        getattr(unit, method)(1)
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no keyword arguments"):
        getattr(unit, method)(force=True)
    assert sim.call_count() == 0


def test_interface_texts():
    expected = {
        "is_powered": ("bool", "Determines if a power unit is powered-up."),
        "power_up": ("None", "Power up a power unit."),
        "power_down": ("None", "Power down a power unit."),
    }
    for name, (returns, summary) in expected.items():
        method = getattr(_PowerUnit, name)
        assert method.__annotations__ == {"return": returns}
        assert method.__doc__.startswith(f"_PowerUnit.{name}(self) -> {returns}\n\n{summary}")
    assert "True if power unit is powered-up, False otherwise." in _PowerUnit.is_powered.__doc__
    assert [n for n in dir(vexasdk._power_unit) if not n.startswith("__")] == ["_PowerUnit"]
    assert vexasdk._power_unit.__doc__ is None


def test_pickling_is_refused(unit):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(unit)


def test_collected_through_a_context_cycle():
    class Context(_DeviceContext):
        pass

    context = Context.__new__(Context)
    context.unit = _PowerUnit(0, context)  # a cycle through the stored handle
    ref = weakref.ref(context)
    del context
    gc.collect()
    assert ref() is None


def test_release_does_not_power_down(device):
    unit = _PowerUnit(0, device.context)
    unit.power_up()
    del unit
    gc.collect()
    assert sim.unit_powered(0)


def test_null_context_is_the_sdks_to_refuse():
    with pytest.raises(SdkError) as error:
        _PowerUnit(0, _DeviceContext.__new__(_DeviceContext)).is_powered()
    assert error.value.code == sim.ERR_EFAULT


def test_no_instance_without_its_arguments():
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 2 positional arguments \(0 given\)"):
        _PowerUnit.__new__(_PowerUnit)
    assert sim.call_count() == 0


@pytest.mark.parametrize("function, message", [
    ("vexasdk_bias_get_count", "Failed to get the number of bias sources."),
    ("vexasdk_bias_get_range", "Bias source 0: Failed to get the range."),
    ("vexasdk_dev_get_unit_count", "Failed to get the number of power units."),
])
def test_open_device_closes_what_it_cannot_describe(function, message):
    sim.fail(function, sim.ERR_EBUSY)
    with pytest.raises(SdkError) as error:
        vexasdk.open_device()
    assert (error.value.message, error.value.code) == (message, sim.ERR_EBUSY)
    assert sim.call_count("vexasdk_dev_close") == 1
    with vexasdk.open_device() as device:
        assert len(device.power_units) == 2
