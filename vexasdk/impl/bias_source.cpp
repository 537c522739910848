// vexasdk.bias_source: the sensor bias of an opened device, in volts.
#include "support/controller.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
#include "support/pickle.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/bias.h"

namespace {

constexpr char kBody[] = R"PY(
from typing import NamedTuple


class BiasInfo(NamedTuple):
    """Contains bias information.

    Attributes:
        min (float): Minimum bias value.
        max (float): Maximum bias value.
    """

    min: float
    max: float
)PY";

using vx::controller;

PyObject* source_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return vx::controller_new(type, args, kwargs, "bias_id", "bias_info");
}

PyObject* set_desired(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* value;
    if (vx::bind_args("set_desired", args, nargs, kwnames, {"desired_bias"}, 1, &value) < 0) return nullptr;
    double desired = PyFloat_AsDouble(value);
    if (desired == -1.0 && PyErr_Occurred()) return nullptr;
    vexasdk_dev_ctx* ctx = vx::controller_context(self);
    auto bias8 = static_cast<uint8_t>(controller(self)->id);
    auto volts = static_cast<float>(desired);
    if (vx::sdk_call_failed([&] { return vexasdk_bias_set_desired(ctx, bias8, volts); },
                            "Bias source %d: Failed to set the desired value.", controller(self)->id))
        return nullptr;
    Py_RETURN_NONE;
}

using BiasGetter = vexasdk_err_code (*)(vexasdk_dev_ctx*, uint8_t, float*);

PyObject* read_volts(PyObject* self, BiasGetter getter, const char* what) noexcept {
    vexasdk_dev_ctx* ctx = vx::controller_context(self);
    auto bias8 = static_cast<uint8_t>(controller(self)->id);
    float volts = 0.0f;
    if (vx::sdk_call_failed([&] { return getter(ctx, bias8, &volts); },
                            "Bias source %d: %s", controller(self)->id, what))
        return nullptr;
    return PyFloat_FromDouble(volts);
}

PyObject* get_desired(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("get_desired", nargs, kwnames) < 0) return nullptr;
    return read_volts(self, vexasdk_bias_get_desired, "Failed to get the desired value.");
}

PyObject* actual(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("actual", nargs, kwnames) < 0) return nullptr;
    return read_volts(self, vexasdk_bias_get_actual, "Failed to get the actual value.");
}

auto source_methods = vx::refusing_pickles(
    vx::method("set_desired", set_desired, R"(BiasSource.set_desired(self, double desired_bias: float) -> None

Sets the desired bias value in volts.

Args:
    desired_bias (float): Desired bias [V].
)"),
    vx::method("get_desired", get_desired, R"(BiasSource.get_desired(self) -> float

Gets the desired bias value in volts.

Returns:
    float: Desired bias [V].
)"),
    vx::method("actual", actual, R"(BiasSource.actual(self) -> float

Gets the actual bias value in volts.

Returns:
    float: Actual bias [V].
)"),
    vx::method("info", vx::controller_info, R"(BiasSource.info(self) -> BiasInfo

Gets bias information.

Returns:
    BiasInfo: Bias information.
)"));

PyTypeObject source_type = vx::ControllerFields::type(
    "vexasdk.bias_source.BiasSource", source_methods.data(), source_new, "Bias source.");

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk.bias_source", "Bias source functionality.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit_bias_source() {
    return vx::ModuleStart(module)
        .then(vx::import_numpy_types, vx::import_device_context, vx::import_raise_if_err)
        .ready(source_type)
        .annotate(source_type)
        .body("vexasdk/impl/bias_source", kBody, {"BiasInfo"})
        .add("BiasSource", source_type)
        .done();
}
