"""Module start-up: export tables between modules and imported types."""

import pytest

from helpers import BARE_PACKAGE, run_python

MAKE_CAPSULE = """
import ctypes
new = ctypes.pythonapi.PyCapsule_New
new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
keep = ctypes.create_string_buffer(b"not the signature")
def capsule(name):
    return new(ctypes.addressof(keep), name, None)
"""


def test_export_tables_carry_signature_texts():
    import vexasdk._t3_itot_evcount as itot
    import vexasdk._utils as utils

    names = {key: repr(capsule).split('"')[1] for key, capsule in utils.__pyx_capi__.items()}
    assert names == {"_raise_if_err": "int (int, PyObject *)",
                     "_c_to_np_arr": "PyArrayObject *(void *, size_t, PyObject *)"}
    assert list(itot.__pyx_capi__) == ["fb_itot_evcount_cb"]
    assert 'capsule object "void (vexasdk_dev_ctx *, void *)"' in repr(itot.__pyx_capi__["fb_itot_evcount_cb"])


def test_missing_export_fails_the_import():
    result = run_python(BARE_PACKAGE + """
import vexasdk._utils as utils
del utils.__pyx_capi__["_c_to_np_arr"]
import vexasdk._t3_itot_evcount
""")
    assert result.returncode == 1
    assert result.stderr.strip().endswith(
        "ImportError: vexasdk._utils does not export expected C function _c_to_np_arr")


def test_export_with_another_signature_fails_the_import():
    result = run_python(BARE_PACKAGE + MAKE_CAPSULE + """
import vexasdk._utils as utils
utils.__pyx_capi__["_c_to_np_arr"] = capsule(b"void *(void)")
import vexasdk._t3_itot_evcount
""")
    assert result.returncode == 1
    assert result.stderr.strip().endswith(
        "TypeError: C function vexasdk._utils._c_to_np_arr has wrong signature "
        "(expected PyArrayObject *(void *, size_t, PyObject *), got void *(void))")


@pytest.mark.parametrize("replacement, error", [
    ("5", "TypeError: vexasdk._device_context._DeviceContext is not a type object"),
    ("type('Small', (), {})",
     "ValueError: vexasdk._device_context._DeviceContext size changed, may indicate binary incompatibility. "
     "Expected 40 from C header, got 16 from PyObject"),
])
def test_imported_type_is_checked(replacement, error):
    result = run_python(BARE_PACKAGE + f"""
import vexasdk._device_context as dc
dc._DeviceContext = {replacement}
import vexasdk._device_opener
""")
    assert result.returncode == 1
    assert result.stderr.strip().endswith(error)


def test_larger_imported_type_warns():
    code = BARE_PACKAGE + """
import vexasdk._device_context as dc
class Larger(dc._DeviceContext):
    __slots__ = ("extra",)
dc._DeviceContext = Larger
import vexasdk._device_opener
print("imported")
"""
    result = run_python(code)
    assert result.returncode == 0 and "imported" in result.stdout
    assert "RuntimeWarning: vexasdk._device_context._DeviceContext size changed" in result.stderr
    assert "Expected 40 from C header, got 48 from PyObject" in result.stderr
    strict = run_python(code, "-W", "error")
    assert strict.returncode == 1 and "RuntimeWarning" in strict.stderr


def test_method_table_must_be_a_capsule():
    result = run_python(BARE_PACKAGE + """
import vexasdk._device_context as dc
class Broken(dc._DeviceContext):
    __pyx_vtable__ = 5
dc._DeviceContext = Broken
import vexasdk._device_opener
""")
    assert result.returncode == 1
    assert result.stderr.strip().endswith("RuntimeError: invalid vtable found for imported type")
