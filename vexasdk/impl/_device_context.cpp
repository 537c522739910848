// vexasdk._device_context: the non-owning handle of an opened device.
#include "_device_context.hpp"

#include "support/module_start.hpp"
#include "support/pickle.hpp"

namespace {

using vx::DeviceContextObject;

PyObject* from_ptr(vexasdk_dev_ctx* ptr, const std::string* conn_string) noexcept;
PyObject* module_globals = nullptr;  // borrowed from the module, which lives as long as the process

vx::DeviceContextVtable vtable = {from_ptr};

PyObject* context_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* record = reinterpret_cast<DeviceContextObject*>(self);
    record->vtab = &vtable;
    record->ptr = nullptr;
    record->connection_string = nullptr;
    return self;
}

int context_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* none[1];
    if (vx::bind_args("__init__", args, kwargs, {}, 0, none) < 0) return -1;
    PyErr_SetString(PyExc_TypeError, vx::texts::kCannotInstantiate);
    return -1;
}

void context_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_finalize != nullptr && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    type->tp_free(self);
}

auto context_methods = vx::refusing_pickles();

PyTypeObject context_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk._device_context._DeviceContext",
    .tp_basicsize = sizeof(DeviceContextObject),
    .tp_dealloc = context_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "_DeviceContext() -> None\n\nNon-owning wrapper of C-level device context and its connection string.",
    .tp_methods = context_methods.data(),
    .tp_init = context_init,
    .tp_new = context_new,
};

PyObject* from_ptr(vexasdk_dev_ctx* ptr, const std::string* conn_string) noexcept {
    PyObject* self = context_new(&context_type, nullptr, nullptr);
    if (self == nullptr) {
        vx::add_traceback("vexasdk._device_context._DeviceContext.from_ptr", "vexasdk/impl/_device_context",
                          __LINE__, module_globals);
        return nullptr;
    }
    auto* record = reinterpret_cast<DeviceContextObject*>(self);
    record->ptr = ptr;
    record->connection_string = conn_string;
    return self;
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._device_context", nullptr, -1}};

}  // namespace

PyMODINIT_FUNC PyInit__device_context() {
    return vx::ModuleStart(module, module_globals)
        .ready(context_type)
        .vtable(context_type, &vtable)
        .add("_DeviceContext", context_type)
        .done();
}
