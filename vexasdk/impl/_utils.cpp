// vexasdk._utils: SDK result codes to exceptions, and SDK records to numpy
// arrays. Both are published in the module's export table.
#include "support/python.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <utility>

#include "support/capi.hpp"
#include "support/gil.hpp"
#include "support/module_start.hpp"
#include "support/numpy_array.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/error.h"

namespace {

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
)PY";

// SdkError's names for the SDK's result codes, made from error.h's own
// enumerators: each code and its name are written once, there.
#define VX_RESULT(code) std::pair<int, const char*>{code, #code}
constexpr std::pair<int, const char*> kResultNames[] = {
    VX_RESULT(VEXASDK_SUCCESS),    VX_RESULT(VEXASDK_ERR_ENOMEM), VX_RESULT(VEXASDK_ERR_EFAULT),
    VX_RESULT(VEXASDK_ERR_EBUSY),  VX_RESULT(VEXASDK_ERR_ENODEV), VX_RESULT(VEXASDK_ERR_EINVAL),
    VX_RESULT(VEXASDK_ERR_BAD_STATE),
};
#undef VX_RESULT

// _ERROR_NAMES (code to name), which SdkError reads when it is made, and
// _ERROR_CODES (name to code), from which the package's Python takes the
// codes it names.
int add_error_names(PyObject* module) noexcept {
    vx::Ref names = vx::Ref::steal(PyDict_New());
    vx::Ref codes = vx::Ref::steal(PyDict_New());
    if (!names || !codes) return -1;
    for (auto [code, name] : kResultNames) {
        vx::Ref key = vx::Ref::steal(PyLong_FromLong(code));
        vx::Ref value = vx::Ref::steal(PyUnicode_FromString(name));
        if (!key || !value || PyDict_SetItem(names.get(), key.get(), value.get()) < 0 ||
            PyDict_SetItem(codes.get(), value.get(), key.get()) < 0)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "_ERROR_NAMES", names.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "_ERROR_CODES", codes.get());
}

PyObject* sdk_error_type = nullptr;  // SdkError, owned by the module namespace too

// Raises SdkError(message, code) and answers -1 for any code but success.
// Callable with or without the interpreter lock.
int raise_if_err(int code, PyObject* message) noexcept {
    if (code == 0) return 0;
    vx::HeldGil gil;  // declared first: the references go before the lock does
    vx::Ref text = vx::Ref::borrow(message ? message : Py_None);
    vx::Ref error = vx::Ref::steal(PyObject_CallFunction(sdk_error_type, "Oi", text.get(), code));
    if (error) PyErr_SetObject(sdk_error_type, error.get());
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
    // The array takes its own reference to the descriptor.
    vx::Ref array = vx::fresh_array(reinterpret_cast<PyArray_Descr*>(vx::Ref::borrow(dtype).release()),
                                    static_cast<npy_intp>(count));
    if (!array) return nullptr;
    if (count != 0) memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, count * itemsize);
    return array.release();
}

// SdkError, made by the module body, kept for the life of the process.
int keep_sdk_error_type(PyObject* module) noexcept {
    sdk_error_type = vx::Ref::borrow(PyDict_GetItemString(PyModule_GetDict(module), "SdkError")).release();
    return sdk_error_type ? 0 : -1;
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._utils",
                       "SDK result codes as exceptions, SDK records as numpy arrays.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit__utils() {
    return vx::ModuleStart(module)
        .exports({{"_raise_if_err", raise_if_err, vx::kRaiseIfErrSignature},
                  {"_c_to_np_arr", c_to_np_arr, vx::kCToNpArrSignature}})
        .then(PyArray_ImportNumPyAPI)
        .body("vexasdk/impl/_utils", kBody)
        .then(add_error_names, keep_sdk_error_type)
        .done();
}
