// The instance record and lifetime of every device-bound controller (chip,
// monitor channel, bias source, power unit): an identifier, the description
// record it was built with, and the device handle.
#pragma once

#include "_device_context.hpp"
#include "support/args.hpp"
#include "support/owned_fields.hpp"

namespace vx {

struct ControllerObject {
    PyObject_HEAD
    int id;             // the index or identifier, as Python gave it
    PyObject* info;     // the description record, owned; None when there is none or once cleared
    PyObject* context;  // the _DeviceContext, owned; None once cleared
};

inline ControllerObject* controller(PyObject* self) noexcept { return reinterpret_cast<ControllerObject*>(self); }

using ControllerFields = OwnedFields<ControllerObject, &ControllerObject::info, &ControllerObject::context>;
inline constexpr auto controller_traverse = &ControllerFields::traverse;
inline constexpr auto controller_clear = &ControllerFields::clear;
inline constexpr auto controller_dealloc = &ControllerFields::dealloc;

// The SDK context that a device-bound record's `context` field holds (a
// controller's, the chip array's). One cleared by the garbage collector holds
// None: the SDK answers its null context with an error code.
inline vexasdk_dev_ctx* held_context(PyObject* context) noexcept {
    return PyObject_TypeCheck(context, device_context_type) ? sdk_context(context) : nullptr;
}

inline vexasdk_dev_ctx* controller_context(PyObject* self) noexcept { return held_context(controller(self)->context); }

// Allocates and fills a controller from its constructor arguments, named
// (id_name, info_name, "context"), or (id_name, "context") without info_name.
// As the arguments are taken at allocation, no half-built instance exists.
inline PyObject* controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* id_name,
                                const char* info_name) noexcept {
    PyObject* values[3];
    int bound = info_name ? bind_args("__cinit__", args, kwargs, {id_name, info_name, "context"}, 3, values)
                          : bind_args("__cinit__", args, kwargs, {id_name, "context"}, 2, values);
    if (bound < 0) return nullptr;
    PyObject* info = info_name ? values[1] : Py_None;
    PyObject* context = values[info_name ? 2 : 1];
    int id = 0;
    if (int_arg(values[0], id_name, &id) < 0 || context_arg(context, "context") < 0) return nullptr;
    PyObject* self = ControllerFields::make(type, info, context);
    if (self != nullptr) controller(self)->id = id;
    return self;
}

// info(): the description record itself, as the constructor was given it.
inline PyObject* controller_info(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (no_args("info", nargs, kwnames) < 0) return nullptr;
    return Py_NewRef(controller(self)->info);
}

}  // namespace vx
