// vexasdk._utils: SDK result codes to exceptions, and SDK records to numpy
// arrays. Both are published in the module's export table.
#include "support/python.hpp"

#include <numpy/arrayobject.h>

#include <cstring>

#include "support/capi.hpp"
#include "support/utils_api.hpp"

namespace {

PyObject* sdk_error_type = nullptr;  // SdkError, owned by the module namespace too

// Raises SdkError(message, code) and answers -1 for any code but success.
// Callable with or without the interpreter lock.
int raise_if_err(int code, PyObject* message) noexcept {
    if (code == 0) return 0;
    PyGILState_STATE gil = PyGILState_Ensure();
    vx::Ref text = vx::Ref::borrow(message ? message : Py_None);
    vx::Ref error = vx::Ref::steal(PyObject_CallFunction(sdk_error_type, "Oi", text.get(), code));
    if (error) PyErr_SetObject(sdk_error_type, error.get());
    text = {};
    error = {};
    PyGILState_Release(gil);
    return -1;
}

// A new one-dimensional array holding a copy of `count` records of `dtype`
// found at `data`. The SDK may reuse its memory once the callback returns and
// the callback may keep the array, so the records are copied: one allocation,
// one memcpy.
PyObject* c_to_np_arr(void* data, size_t count, PyObject* dtype) noexcept {
    if (dtype == nullptr || !PyArray_DescrCheck(dtype)) {
        PyErr_Format(PyExc_TypeError, "expected a numpy dtype, got %.200s",
                     dtype ? Py_TYPE(dtype)->tp_name : "NULL");
        return nullptr;
    }
    auto* descr = reinterpret_cast<PyArray_Descr*>(dtype);
    if (PyDataType_REFCHK(descr)) {
        PyErr_SetString(PyExc_TypeError, "cannot copy records of a dtype that holds Python objects");
        return nullptr;
    }
    auto itemsize = static_cast<size_t>(PyDataType_ELSIZE(descr));
    if (itemsize != 0 && count > static_cast<size_t>(NPY_MAX_INTP) / itemsize) {
        PyErr_Format(PyExc_OverflowError, "%zu records of %zu bytes exceed the addressable size", count, itemsize);
        return nullptr;
    }
    if (data == nullptr && count != 0) {
        PyErr_Format(PyExc_ValueError, "the SDK reported %zu records at a null pointer", count);
        return nullptr;
    }
    npy_intp length = static_cast<npy_intp>(count);
    Py_INCREF(descr);  // PyArray_NewFromDescr steals it, even on failure
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) return nullptr;
    if (count != 0) memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data, count * itemsize);
    return array;
}

constexpr char kBody[] = R"PY(
class SdkError(Exception):
    """An SDK call failed.

    Attributes:
        message (str): What the layer was doing.
        code (int): The SDK's result code.
        name (str): The result code's symbolic name.
    """

    def __init__(self, message, code):
        super().__init__(message, code)
        self.message = message
        self.code = code
        self.name = _ERROR_NAMES.get(code, "VEXASDK_ERR_UNKNOWN")

    def __str__(self):
        return f"{self.message} ({self.name}, code {self.code})"


_ERROR_NAMES = {
    0: "VEXASDK_SUCCESS",
    -12: "VEXASDK_ERR_ENOMEM",
    -14: "VEXASDK_ERR_EFAULT",
    -16: "VEXASDK_ERR_EBUSY",
    -19: "VEXASDK_ERR_ENODEV",
    -22: "VEXASDK_ERR_EINVAL",
    -5001: "VEXASDK_ERR_BAD_STATE",
}
)PY";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vexasdk._utils",
                          "SDK result codes as exceptions, SDK records as numpy arrays.", -1};
bool initialised = false;

}  // namespace

PyMODINIT_FUNC PyInit__utils() {
    if (vx::first_initialisation(initialised, "vexasdk._utils") < 0) return nullptr;
    vx::Ref module = vx::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (vx::export_function(module.get(), "_raise_if_err", reinterpret_cast<void*>(raise_if_err),
                            vx::kRaiseIfErrSignature) < 0 ||
        vx::export_function(module.get(), "_c_to_np_arr", reinterpret_cast<void*>(c_to_np_arr),
                            vx::kCToNpArrSignature) < 0)
        return nullptr;
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    if (vx::run_module_body(module.get(), "vexasdk/impl/_utils", kBody) < 0) return nullptr;
    sdk_error_type = PyDict_GetItemString(PyModule_GetDict(module.get()), "SdkError");
    Py_XINCREF(sdk_error_type);  // kept for the life of the process
    if (sdk_error_type == nullptr) return nullptr;
    return vx::initialised(initialised, module.release());
}
