import gc
import pickle

import pytest

import vexasdk.sim as sim
from vexasdk import _device_opener
from vexasdk._device_context import _DeviceContext


def test_python_cannot_construct_a_handle():
    with pytest.raises(TypeError, match=r"^This class cannot be instantiated directly\.$"):
        _DeviceContext()
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 0 positional arguments \(1 given\)$"):
        _DeviceContext(1)
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'ptr'$"):
        _DeviceContext(ptr=1)


def test_type_surface():
    assert _DeviceContext.__module__ == "vexasdk._device_context"
    assert _DeviceContext.__name__ == "_DeviceContext"
    assert _DeviceContext.__doc__ == (
        "_DeviceContext() -> None\n\nNon-owning wrapper of C-level device context and its connection string."
    )

    class Sub(_DeviceContext):
        pass

    with pytest.raises(TypeError, match="cannot be instantiated directly"):
        Sub()


def test_pickling_is_refused(device):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(device.context, protocol)
    with pytest.raises(TypeError, match="non-trivial __cinit__"):
        device.context.__setstate__(None)
    with pytest.raises(TypeError):
        device.context.__setstate__()


def test_handle_from_new_holds_null_pointers():
    handle = _DeviceContext.__new__(_DeviceContext)
    assert _device_opener.sdk_address(handle) == 0
    assert _device_opener.connection_string(handle) is None
    # The virtual detector answers a null context with an error, not a crash.
    with pytest.raises(sim.SdkError) as raised:
        _device_opener.close(handle)
    assert raised.value.code == sim.ERR_EFAULT


def test_handles_from_ptr_are_distinct_and_borrow(device):
    address = _device_opener.sdk_address(device.context)
    other = _device_opener.open("virtual:0")
    assert other is not device.context
    assert _device_opener.connection_string(other) == "virtual:0"
    # The same pointers in two handles: dropping one leaves the other and the
    # SDK context alone.
    twin = _device_opener.open("virtual:0")
    del twin
    gc.collect()
    assert _device_opener.sdk_address(device.context) == address
    assert sim.call_count("vexasdk_dev_close") == 0
    _device_opener.close(other)


def test_dropping_the_last_reference_does_not_close_the_device():
    handle = _device_opener.open("virtual:0")
    del handle
    gc.collect()
    assert sim.call_count("vexasdk_dev_close") == 0
