import ctypes
import pickle

import numpy as np
import pytest

import vexasdk
from vexasdk import _utils


def _function(name, prototype):
    capsule = _utils.__pyx_capi__[name]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return prototype(get_pointer(capsule, get_name(capsule)))


# PYFUNCTYPE keeps the interpreter lock and checks for a raised exception.
raise_if_err = _function("_raise_if_err", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object))
c_to_np_arr = _function("_c_to_np_arr",
                        ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object))


def test_success_raises_nothing():
    assert raise_if_err(0, "unused") == 0


@pytest.mark.parametrize("code, name", [(-22, "VEXASDK_ERR_EINVAL"), (-5001, "VEXASDK_ERR_BAD_STATE"),
                                        (-19, "VEXASDK_ERR_ENODEV"), (7, "VEXASDK_ERR_UNKNOWN")])
def test_failure_raises_sdk_error(code, name):
    with pytest.raises(vexasdk.SdkError) as raised:
        raise_if_err(code, "Chip 3: Failed to configure the chip.")
    error = raised.value
    assert isinstance(error, Exception)
    assert (error.code, error.name, error.message) == (code, name, "Chip 3: Failed to configure the chip.")
    assert str(error).startswith("Chip 3: Failed to configure the chip.")
    assert name in str(error)
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.code, copy.message) == (code, error.message)


def test_sdk_error_is_the_package_error():
    assert vexasdk.SdkError is _utils.SdkError


def test_records_are_copied_byte_for_byte():
    dtype = np.dtype([("address", "<u4"), ("itot", "<u4"), ("evcount", "<u8")])
    source = np.zeros(1000, dtype)
    source["address"] = np.arange(1000)
    source["evcount"] = 2**64 - 1 - np.arange(1000, dtype=np.uint64)
    array = c_to_np_arr(source.ctypes.data, len(source), dtype)
    assert array.shape == (1000,) and array.dtype == dtype
    assert array.tobytes() == source.tobytes()
    source[:] = 0  # the SDK reuses its memory; the array must not notice
    assert array["address"][999] == 999
    assert array.flags.owndata and array.flags.writeable


def test_zero_records_need_no_memory():
    assert c_to_np_arr(None, 0, np.dtype(np.uint64)).shape == (0,)


@pytest.mark.parametrize("pointer, count, dtype, error", [
    (None, 5, np.dtype(np.uint64), ValueError),
    (8, 2**62, np.dtype(np.uint64), OverflowError),
    (8, 2**64 - 1, np.dtype([("a", "<u4"), ("b", "<u8")]), OverflowError),
    (8, 1, "uint64", TypeError),
    (8, 1, np.dtype(object), TypeError),
])
def test_bad_sdk_answers_raise(pointer, count, dtype, error):
    with pytest.raises(error):
        c_to_np_arr(pointer, count, dtype)
