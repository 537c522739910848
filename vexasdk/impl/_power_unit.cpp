// vexasdk._power_unit: switching the power units of an opened device.
#include "support/controller.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/pickle.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/device.h"

namespace {

using vx::controller;

PyObject* is_powered_name = nullptr;  // interned "is_powered", owned for the process

PyObject* unit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return vx::controller_new(type, args, kwargs, "unit_id", nullptr);
}

PyObject* is_powered(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("is_powered", nargs, kwnames) < 0) return nullptr;
    vexasdk_dev_ctx* ctx = vx::controller_context(self);
    auto unit8 = static_cast<uint8_t>(controller(self)->id);
    bool powered = false;
    int rc = vx::without_gil([&] { return vexasdk_dev_is_unit_powered(ctx, unit8, &powered); });
    if (vx::sdk_failed(rc, "Unit %d: Failed to determine if the power unit is powered-up.", controller(self)->id))
        return nullptr;
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
    vexasdk_dev_ctx* ctx = vx::controller_context(self);
    auto unit8 = static_cast<uint8_t>(controller(self)->id);
    int rc = vx::without_gil([&] { return sdk_switch(ctx, unit8); });
    if (vx::sdk_failed(rc, "Unit %d: %s", controller(self)->id, what)) return nullptr;
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

PyMethodDef unit_methods[] = {
    {"is_powered", vx::fastcall(is_powered), METH_FASTCALL | METH_KEYWORDS,
     "_PowerUnit.is_powered(self) -> bool\n"
     "\n"
     "Determines if a power unit is powered-up.\n"
     "\n"
     "Returns:\n"
     "    bool: True if power unit is powered-up, False otherwise.\n"},
    {"power_up", vx::fastcall(power_up), METH_FASTCALL | METH_KEYWORDS,
     "_PowerUnit.power_up(self) -> None\n"
     "\n"
     "Power up a power unit.\n"},
    {"power_down", vx::fastcall(power_down), METH_FASTCALL | METH_KEYWORDS,
     "_PowerUnit.power_down(self) -> None\n"
     "\n"
     "Power down a power unit.\n"},
    VX_PICKLE_REFUSAL,
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject unit_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk._power_unit._PowerUnit",
    .tp_basicsize = sizeof(vx::ControllerObject),
    .tp_dealloc = vx::controller_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Represents a single power unit.",
    .tp_traverse = vx::controller_traverse,
    .tp_clear = vx::controller_clear,
    .tp_methods = unit_methods,
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
    return vx::initialised(initialised, module.release());
}
