// vexasdk._power_unit: switching the power units of an opened device.
#include "support/controller.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
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
    if (vx::sdk_call_failed([&] { return vexasdk_dev_is_unit_powered(ctx, unit8, &powered); },
                            "Unit %d: Failed to determine if the power unit is powered-up.", controller(self)->id))
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
    if (vx::sdk_call_failed([&] { return sdk_switch(ctx, unit8); },
                            "Unit %d: %s", controller(self)->id, what))
        return nullptr;
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

auto unit_methods = vx::refusing_pickles(
    vx::method("is_powered", is_powered, R"(_PowerUnit.is_powered(self) -> bool

Determines if a power unit is powered-up.

Returns:
    bool: True if power unit is powered-up, False otherwise.
)"),
    vx::method("power_up", power_up, R"(_PowerUnit.power_up(self) -> None

Power up a power unit.
)"),
    vx::method("power_down", power_down, R"(_PowerUnit.power_down(self) -> None

Power down a power unit.
)"));

PyTypeObject unit_type = vx::ControllerFields::type(
    "vexasdk._power_unit._PowerUnit", unit_methods.data(), unit_new, "Represents a single power unit.");

int make_names() noexcept {
    is_powered_name = PyUnicode_InternFromString("is_powered");
    return is_powered_name ? 0 : -1;
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._power_unit", nullptr, -1}};

}  // namespace

PyMODINIT_FUNC PyInit__power_unit() {
    return vx::ModuleStart(module)
        .then(vx::import_numpy_types, vx::import_device_context, vx::import_raise_if_err, make_names)
        .ready(unit_type)
        .annotate(unit_type)
        .add("_PowerUnit", unit_type)
        .done();
}
