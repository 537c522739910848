import ctypes
import pickle

import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import _utils


def _function(name, prototype):
    # The harness reads any entry of an export table, not only trampolines.
    return prototype(sim.trampoline("_utils", name))


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


def test_trampolines_refuse_record_dtypes_of_another_size():
    # _c_to_np_arr copies count * itemsize bytes: a module dtype rebound to a
    # larger one would read far past the SDK's records.
    from helpers import run_python

    result = run_python("""
        import logging, numpy as np, vexasdk, vexasdk.sim as sim
        from vexasdk import _t3_binning, _t3_itot_evcount, _t3_toa_tot
        errors = []
        class Record(logging.Handler):
            def emit(self, record):
                errors.append(str(record.exc_info[1]))
        logging.getLogger("vexasdk").addHandler(Record())
        sim.set_monitor_rate(0)
        device = vexasdk.open_device()
        for unit in device.power_units: unit.power_up()
        huge = np.dtype((np.void, 1 << 24))
        cases = [
            (_t3_itot_evcount, "_itot_evcount_dtype", "fb_itot_evcount_cb",
             lambda: sim.queue_itot_evcount(np.zeros(2, sim.ITOT_EVCOUNT_DTYPE))),
            (_t3_toa_tot, "_toa_tot_dtype", "fb_toa_tot_cb", lambda: sim.queue_toa_tot(np.zeros(2, sim.TOA_TOT_DTYPE))),
            (_t3_toa_tot, "_tdc_dtype", "dd_toa_tot_cb", lambda: sim.queue_toa_tot(tdcs=[[1, 2]])),
            (_t3_binning, "_binned_itot_dtype", "binned_itot_cb", lambda: sim.queue_itot_fragment([1, 2])),
            (_t3_binning, "_binned_packet_dtype", "binned_data_cb",
             lambda: sim.queue_binned([1], [1], [np.zeros(2, sim.BIN_PACKET_DTYPE)])),
        ]
        for module, name, trampoline, queue in cases:
            for replacement in (huge, np.dtype(np.uint8), 5):
                saved = getattr(module, name)
                setattr(module, name, replacement)
                queue()
                got = []
                sim.deliver(device.context, module.__name__.split(".")[1], trampoline, lambda *a: got.append(a))
                setattr(module, name, saved)
                assert got == [], (name, replacement)
        print(len(errors), sorted(set(e.split(" has items")[0] for e in errors if "has items" in e)))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split(" ", 1) == [
        "15", "['_binned_itot_dtype', '_binned_packet_dtype', '_itot_evcount_dtype', '_tdc_dtype', "
        "'_toa_tot_dtype']\n"]
