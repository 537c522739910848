import gc
import pickle
import time
import weakref

import numpy as np
import pytest

import vexasdk
import vexasdk.bias_source
import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk.bias_source import BiasInfo, BiasSource


@pytest.fixture
def source(device):
    return device.bias_sources[0]


def sent(function="vexasdk_bias_set_desired"):
    return [(c["bias_id"], c["volts"]) for c in sim.calls(function)]


def test_device_builds_its_bias_sources():
    sim.set_bias_count(3)
    sim.set_bias_range(2, -50.5, 0.25)
    with vexasdk.open_device() as device:
        infos = [source.info() for source in device.bias_sources]
    assert infos == [BiasInfo(-200.0, 200.0), BiasInfo(-200.0, 200.0), BiasInfo(-50.5, 0.25)]
    assert type(infos[0]) is BiasInfo


@pytest.mark.parametrize("value, volts", [
    (100, 100.0),
    (0.1, float(np.float32(0.1))),
    (-37.25, -37.25),
    (np.float64(12.5), 12.5),
])
def test_set_desired_sends_single_precision(source, value, volts):
    assert source.set_desired(value) is None
    assert sent() == [(0, volts)]
    assert source.get_desired() == volts
    assert sim.bias(0)[0] == volts


def test_set_desired_by_keyword(source):
    source.set_desired(desired_bias=5)
    assert source.get_desired() == 5.0


def test_actual_reads_the_measured_value(source):
    sim.set_bias_actual(0, 42.5)
    assert source.actual() == 42.5
    assert sim.calls("vexasdk_bias_get_actual")[0]["bias_id"] == 0


def test_actual_follows_the_desired_value(source):
    source.set_desired(80)
    deadline = time.monotonic() + 10
    while (reading := source.actual()) < 79.9 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert 79.9 <= reading <= 80.1


FAILURES = [
    ("set_desired", (1.0,), "vexasdk_bias_set_desired", "Failed to set the desired value."),
    ("get_desired", (), "vexasdk_bias_get_desired", "Failed to get the desired value."),
    ("actual", (), "vexasdk_bias_get_actual", "Failed to get the actual value."),
]


@pytest.mark.parametrize("bias_id, sdk_id", [(256, 0), (-1, 255), (2**31 - 1, 255), (-(2**31), 0)])
def test_index_is_narrowed_for_the_sdk_only(device, bias_id, sdk_id):
    source = BiasSource(bias_id, None, device.context)
    for method, args, function, text in FAILURES:
        sim.fail(function, sim.ERR_EBUSY)
        with pytest.raises(SdkError) as error:
            getattr(source, method)(*args)
        assert (error.value.message, error.value.code) == (f"Bias source {bias_id}: {text}", sim.ERR_EBUSY)
        assert sim.calls(function)[-1]["bias_id"] == sdk_id


def test_index_256_drives_source_0(device):
    BiasSource(256, None, device.context).set_desired(7)
    assert sim.bias(0)[0] == 7.0


@pytest.mark.parametrize("volts", [200.5, -1e6, float("nan"), float("inf"), 1e300])
def test_desired_outside_the_range_is_the_sdks_to_refuse(source, volts):
    with pytest.raises(SdkError) as error:
        source.set_desired(volts)
    assert error.value.code == sim.ERR_EINVAL
    assert len(sent()) == 1
    assert source.get_desired() == 0.0


def test_unknown_source_is_refused_by_the_sdk(device):
    with pytest.raises(SdkError, match="^Bias source 1: Failed to get the actual value") as error:
        BiasSource(1, None, device.context).actual()
    assert error.value.code == sim.ERR_EINVAL


@pytest.mark.parametrize("args, kwargs, error, text", [
    (("x",), {}, TypeError, "must be real number, not str"),
    ((None,), {}, TypeError, "must be real number, not NoneType"),
    ((), {}, TypeError, r"set_desired\(\) takes exactly 1 positional argument \(0 given\)"),
    ((1, 2), {}, TypeError, r"set_desired\(\) takes exactly 1 positional argument \(2 given\)"),
    ((), {"volts": 1}, TypeError, r"set_desired\(\) got an unexpected keyword argument 'volts'"),
    ((10**400,), {}, OverflowError, "too large"),
])
def test_set_desired_argument_errors(source, args, kwargs, error, text):
    with pytest.raises(error, match=text):
        source.set_desired(*args, **kwargs)
    assert sim.call_count("vexasdk_bias_set_desired") == 0


@pytest.mark.parametrize("method", ["get_desired", "actual", "info"])
def test_methods_without_parameters_take_none(source, method):
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no arguments \(1 given\)"):
        getattr(source, method)(1)
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no keyword arguments"):
        getattr(source, method)(x=1)


def test_constructor_converts_and_stores(device):
    info = BiasInfo(-1.0, 1.0)
    source = BiasSource(bias_id=0.9, bias_info=info, context=device.context)
    assert source.info() is info and source.info() is info
    source.get_desired()
    assert sim.calls("vexasdk_bias_get_desired")[0]["bias_id"] == 0


@pytest.mark.parametrize("args, error, text", [
    ((0, None), TypeError, r"__cinit__\(\) takes exactly 3 positional arguments \(2 given\)"),
    ((0, None, "ctx", 4), TypeError, r"__cinit__\(\) takes exactly 3 positional arguments \(4 given\)"),
    (("0", None, "ctx"), TypeError, r"Argument 'bias_id' has incorrect type \(expected int, got str\)"),
    ((2**31, None, "ctx"), OverflowError, "value too large to convert to int"),
    ((0, None, None), TypeError,
     r"Argument 'context' has incorrect type \(expected vexasdk._device_context._DeviceContext, got NoneType\)"),
])
def test_constructor_errors(args, error, text):
    with pytest.raises(error, match=text):
        BiasSource(*args)


def test_interface_texts():
    expected = {
        "set_desired": ({"desired_bias": "float", "return": "None"},
                        "BiasSource.set_desired(self, double desired_bias: float) -> None\n\n"
                        "Sets the desired bias value in volts."),
        "get_desired": ({"return": "float"}, "BiasSource.get_desired(self) -> float\n\n"
                        "Gets the desired bias value in volts."),
        "actual": ({"return": "float"}, "BiasSource.actual(self) -> float\n\nGets the actual bias value in volts."),
        "info": ({"return": "BiasInfo"}, "BiasSource.info(self) -> BiasInfo\n\nGets bias information."),
    }
    for name, (annotations, doc) in expected.items():
        method = getattr(BiasSource, name)
        assert method.__annotations__ == annotations
        assert method.__doc__.startswith(doc)
    assert "desired_bias (float): Desired bias [V]." in BiasSource.set_desired.__doc__
    assert BiasSource.__doc__ == "Bias source."
    assert BiasInfo._fields == ("min", "max")
    assert BiasInfo.__doc__.startswith("Contains bias information.")
    assert vexasdk.bias_source.__doc__ == "Bias source functionality."
    assert vexasdk.bias_source.NamedTuple.__module__ == "typing"


def test_pickling_is_refused(source):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(source)


def test_subclass_and_garbage_collection(device):
    class Source(BiasSource):
        pass

    holder = []
    source = Source(0, holder, device.context)
    holder.append(source)  # a cycle through the stored record
    ref = weakref.ref(source)
    source.set_desired(3)
    del source, holder
    gc.collect()
    assert ref() is None


def test_no_instance_without_its_arguments():
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 3 positional arguments \(0 given\)"):
        BiasSource.__new__(BiasSource)
    assert sim.call_count() == 0
