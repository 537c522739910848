// The _DeviceContext instance record and C method table, shared by every
// module that holds a device context.
#pragma once

#include <string>

#include "support/args.hpp"
#include "support/capi.hpp"
#include "vexasdk/context.h"

namespace vx {

struct DeviceContextVtable {
    // Makes a handle for an opened device. Borrows both pointers: the caller
    // keeps them alive while any handle exists. New reference or null.
    PyObject* (*from_ptr)(vexasdk_dev_ctx* ptr, const std::string* conn_string);
};

struct DeviceContextObject {
    PyObject_HEAD
    DeviceContextVtable* vtab;
    vexasdk_dev_ctx* ptr;
    const std::string* connection_string;
};

inline constexpr char kDeviceContextModule[] = "vexasdk._device_context";
inline constexpr char kDeviceContextName[] = "_DeviceContext";

// Bound by import_device_context() in each module that uses the type.
inline PyTypeObject* device_context_type = nullptr;
inline DeviceContextVtable* device_context_vtable = nullptr;

inline int import_device_context() noexcept {
    device_context_type = import_type(kDeviceContextModule, kDeviceContextName, sizeof(DeviceContextObject));
    if (device_context_type == nullptr) return -1;
    device_context_vtable = static_cast<DeviceContextVtable*>(get_vtable(device_context_type));
    return device_context_vtable ? 0 : -1;
}

// A `context` argument: a _DeviceContext or a subclass instance; None too is
// refused.
inline int context_arg(PyObject* obj, const char* name) noexcept {
    if (PyObject_TypeCheck(obj, device_context_type)) return 0;
    raise_arg_type(name, device_context_type->tp_name, obj);
    return -1;
}

inline vexasdk_dev_ctx* sdk_context(PyObject* context) noexcept {
    return reinterpret_cast<DeviceContextObject*>(context)->ptr;
}

}  // namespace vx
