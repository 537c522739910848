// vexasdk.enumeration: the devices the SDK can see, before any is opened.
#include <cstring>
#include <memory>

#include "support/args.hpp"
#include "support/capi.hpp"
#include "support/gil.hpp"
#include "support/memory.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/enumeration.h"

namespace {

constexpr char kBody[] = R"PY(
from typing import NamedTuple


class DeviceProperties(NamedTuple):
    """Properties of an enumerated device.

    Attributes:
        serial_number (str): Serial number of a device.
        product_name (str): Product name.
        connection_string (str): Connection string of a device.
        instance_path (str): Instance path of a device.
    """

    serial_number: str
    product_name: str
    connection_string: str
    instance_path: str
)PY";

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

constexpr size_t kMaxDeviceN = 4;

// A text field up to its first NUL, but never past its width: the SDK is not
// trusted to terminate it.
template <size_t N>
PyObject* decode_field(const char (&field)[N]) noexcept {
    return PyUnicode_DecodeUTF8(field, static_cast<Py_ssize_t>(strnlen(field, N)), "strict");
}

PyObject* record_to_properties(PyObject* properties_type, const vexasdk_enum_info& info) noexcept {
    vx::Ref serial = vx::Ref::steal(decode_field(info.serial));
    if (!serial) return nullptr;
    vx::Ref product = vx::Ref::steal(decode_field(info.product));
    if (!product) return nullptr;
    vx::Ref connection = vx::Ref::steal(decode_field(info.connection_string));
    if (!connection) return nullptr;
    vx::Ref path = vx::Ref::steal(decode_field(info.instance_path));
    if (!path) return nullptr;
    PyObject* args[] = {serial.get(), product.get(), connection.get(), path.get()};
    return PyObject_Vectorcall(properties_type, args, 4, nullptr);
}

PyObject* enumerate_devices(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("enumerate_devices", nargs, kwnames) < 0) return nullptr;
    // Allocated through the interpreter, so tracemalloc sees it come and go.
    std::unique_ptr<vexasdk_enum_info, vx::PyMemFree> infos(
        static_cast<vexasdk_enum_info*>(PyMem_Calloc(kMaxDeviceN, sizeof(vexasdk_enum_info))));
    if (!infos) return PyErr_NoMemory();
    size_t devices_found = kMaxDeviceN;
    vexasdk_enum_info* buffer = infos.get();
    if (vx::sdk_call_failed([&] { return vexasdk_enum_get_info(buffer, &devices_found); },
                            "Failed to enumerate available devices."))
        return nullptr;

    vx::Ref devices = vx::Ref::steal(PyList_New(0));
    if (!devices) return nullptr;
    // An SDK that reports more than it could have written is not followed past the buffer.
    size_t count = devices_found < kMaxDeviceN ? devices_found : kMaxDeviceN;
    for (size_t i = 0; i < count; ++i) {
        vx::Ref properties_type = vx::lookup_global(globals, "DeviceProperties");
        if (!properties_type) return nullptr;
        vx::Ref properties = vx::Ref::steal(record_to_properties(properties_type.get(), buffer[i]));
        if (!properties || PyList_Append(devices.get(), properties.get()) < 0) return nullptr;
    }
    return devices.release();
}

PyMethodDef enumerate_devices_def = vx::method("enumerate_devices", enumerate_devices, R"(enumerate_devices() -> list[DeviceProperties]

Enumerates available devices.

Returns:
    list[DeviceProperties]: List of DeviceProperties representing properties of enumerated devices.
)");

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk.enumeration", "Device enumeration functionality.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit_enumeration() {
    return vx::ModuleStart(module, globals)
        .then(vx::import_numpy_types, vx::import_raise_if_err)
        .function(enumerate_devices_def)
        .body("vexasdk/impl/enumeration", kBody, {"DeviceProperties"})
        .done();
}
