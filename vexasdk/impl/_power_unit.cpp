// vexasdk._power_unit: switching the power units of an opened device.
#include "_device_context.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/pickle.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/device.h"

namespace {

struct PowerUnitObject {
    PyObject_HEAD
    int id;
    PyObject* info;     // owned; None for the object's whole life
    PyObject* context;  // owned _DeviceContext; None until the constructor stores it
};

PowerUnitObject* of(PyObject* self) noexcept { return reinterpret_cast<PowerUnitObject*>(self); }

PyObject* is_powered_name = nullptr;  // interned "is_powered", owned for the process

// The SDK context of a unit. An instance made by __new__ alone, or emptied by
// the garbage collector, holds None and must not reach the SDK.
int held_context(PyObject* self, vexasdk_dev_ctx** out) noexcept {
    PyObject* context = of(self)->context;
    if (context == nullptr || !PyObject_TypeCheck(context, vx::device_context_type)) {
        PyErr_Format(PyExc_TypeError, "%.200s object holds no device context", Py_TYPE(self)->tp_name);
        return -1;
    }
    *out = vx::sdk_context(context);
    return 0;
}

// "Unit <id>: <what>" to _raise_if_err; -1 with the exception set on failure.
int check(int rc, int id, const char* what) noexcept {
    vx::Ref message = vx::Ref::steal(PyUnicode_FromFormat("Unit %d: %s", id, what));
    if (!message) return -1;
    return vx::raise_if_err(rc, message.get()) == -1 && PyErr_Occurred() ? -1 : 0;
}

PyObject* unit_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    of(self)->id = 0;
    of(self)->info = Py_NewRef(Py_None);
    of(self)->context = Py_NewRef(Py_None);
    return self;
}

int unit_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[2];
    if (vx::bind_args("__cinit__", args, kwargs, {"unit_id", "context"}, 2, values) < 0) return -1;
    int id = 0;
    if (vx::int_arg(values[0], "unit_id", &id) < 0) return -1;
    if (vx::context_arg(values[1], "context") < 0) return -1;
    of(self)->id = id;
    Py_SETREF(of(self)->context, Py_NewRef(values[1]));
    return 0;
}

int unit_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(of(self)->info);
    Py_VISIT(of(self)->context);
    return 0;
}

int unit_clear(PyObject* self) noexcept {
    Py_SETREF(of(self)->info, Py_NewRef(Py_None));
    Py_SETREF(of(self)->context, Py_NewRef(Py_None));
    return 0;
}

void unit_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(of(self)->info);
    Py_CLEAR(of(self)->context);
    Py_TYPE(self)->tp_free(self);
}

PyObject* is_powered(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("is_powered", nargs, kwnames) < 0) return nullptr;
    vexasdk_dev_ctx* ctx;
    if (held_context(self, &ctx) < 0) return nullptr;
    auto unit8 = static_cast<uint8_t>(of(self)->id);
    bool powered = false;
    int rc = vx::without_gil([&] { return vexasdk_dev_is_unit_powered(ctx, unit8, &powered); });
    if (check(rc, of(self)->id, "Failed to determine if the power unit is powered-up.") < 0) return nullptr;
    return PyBool_FromLong(powered);
}

using Switch = vexasdk_err_code (*)(vexasdk_dev_ctx*, uint8_t);

// Switches the unit unless is_powered() (a subclass's too) already says it is
// in the state wanted.
PyObject* switch_unit(PyObject* self, bool want_powered, Switch sdk_switch, const char* what) noexcept {
    vx::Ref state = vx::Ref::steal(PyObject_CallMethodNoArgs(self, is_powered_name));
    if (!state) return nullptr;
    int powered = PyObject_IsTrue(state.get());
    if (powered < 0) return nullptr;
    if ((powered != 0) == want_powered) Py_RETURN_NONE;
    vexasdk_dev_ctx* ctx;
    if (held_context(self, &ctx) < 0) return nullptr;
    auto unit8 = static_cast<uint8_t>(of(self)->id);
    int rc = vx::without_gil([&] { return sdk_switch(ctx, unit8); });
    if (check(rc, of(self)->id, what) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* power_up(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("power_up", nargs, kwnames) < 0) return nullptr;
    return switch_unit(self, true, vexasdk_dev_power_up_unit, "Failed to power up the power unit.");
}

PyObject* power_down(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("power_down", nargs, kwnames) < 0) return nullptr;
    return switch_unit(self, false, vexasdk_dev_power_down_unit, "Failed to power down the power unit.");
}

template <class Fn>
PyCFunction fast(Fn fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef unit_methods[] = {
    {"is_powered", fast(is_powered), METH_FASTCALL | METH_KEYWORDS,
     "_PowerUnit.is_powered(self) -> bool\n"
     "\n"
     "Determines if a power unit is powered-up.\n"
     "\n"
     "Returns:\n"
     "    bool: True if power unit is powered-up, False otherwise.\n"},
    {"power_up", fast(power_up), METH_FASTCALL | METH_KEYWORDS,
     "_PowerUnit.power_up(self) -> None\n"
     "\n"
     "Power up a power unit.\n"},
    {"power_down", fast(power_down), METH_FASTCALL | METH_KEYWORDS,
     "_PowerUnit.power_down(self) -> None\n"
     "\n"
     "Power down a power unit.\n"},
    VX_PICKLE_REFUSAL,
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject unit_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk._power_unit._PowerUnit",
    .tp_basicsize = sizeof(PowerUnitObject),
    .tp_dealloc = unit_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Represents a single power unit.",
    .tp_traverse = unit_traverse,
    .tp_clear = unit_clear,
    .tp_methods = unit_methods,
    .tp_init = unit_init,
    .tp_new = unit_new,
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vexasdk._power_unit", nullptr, -1};
bool initialised = false;

}  // namespace

PyMODINIT_FUNC PyInit__power_unit() {
    if (vx::first_initialisation(initialised, "vexasdk._power_unit") < 0) return nullptr;
    vx::Ref module = vx::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (vx::import_numpy_types() < 0 || vx::import_device_context() < 0 || vx::import_raise_if_err() < 0)
        return nullptr;
    is_powered_name = PyUnicode_InternFromString("is_powered");
    if (is_powered_name == nullptr) return nullptr;
    if (PyType_Ready(&unit_type) < 0) return nullptr;
    if (vx::annotate_methods(&unit_type, {{"is_powered", {{"return", "bool"}}},
                                          {"power_up", {{"return", "None"}}},
                                          {"power_down", {{"return", "None"}}}}) < 0)
        return nullptr;
    if (PyModule_AddObjectRef(module.get(), "_PowerUnit", reinterpret_cast<PyObject*>(&unit_type)) < 0)
        return nullptr;
    return module.release();
}
