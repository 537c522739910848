// vexasdk.bias_source: the sensor bias of an opened device, in volts.
#include "_device_context.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/pickle.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/bias.h"

namespace {

struct BiasSourceObject {
    PyObject_HEAD
    int bias_id;
    PyObject* info;     // owned; None until the constructor stores it
    PyObject* context;  // owned _DeviceContext; None until the constructor stores it
};

BiasSourceObject* of(PyObject* self) noexcept { return reinterpret_cast<BiasSourceObject*>(self); }

// The SDK context of a source. An instance made by __new__ alone, or emptied by
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

// "Bias source <id>: <what>" to _raise_if_err; -1 with the exception set on failure.
int check(int rc, int bias_id, const char* what) noexcept {
    vx::Ref message = vx::Ref::steal(PyUnicode_FromFormat("Bias source %d: %s", bias_id, what));
    if (!message) return -1;
    return vx::raise_if_err(rc, message.get()) == -1 && PyErr_Occurred() ? -1 : 0;
}

PyObject* source_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    of(self)->bias_id = 0;
    of(self)->info = Py_NewRef(Py_None);
    of(self)->context = Py_NewRef(Py_None);
    return self;
}

int source_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[3];
    if (vx::bind_args("__cinit__", args, kwargs, {"bias_id", "bias_info", "context"}, 3, values) < 0) return -1;
    int bias_id = 0;
    if (vx::int_arg(values[0], "bias_id", &bias_id) < 0) return -1;
    if (vx::context_arg(values[2], "context") < 0) return -1;
    of(self)->bias_id = bias_id;
    Py_SETREF(of(self)->info, Py_NewRef(values[1]));
    Py_SETREF(of(self)->context, Py_NewRef(values[2]));
    return 0;
}

int source_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(of(self)->info);
    Py_VISIT(of(self)->context);
    return 0;
}

int source_clear(PyObject* self) noexcept {
    Py_SETREF(of(self)->info, Py_NewRef(Py_None));
    Py_SETREF(of(self)->context, Py_NewRef(Py_None));
    return 0;
}

void source_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(of(self)->info);
    Py_CLEAR(of(self)->context);
    Py_TYPE(self)->tp_free(self);
}

PyObject* set_desired(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* value;
    if (vx::bind_args("set_desired", args, nargs, kwnames, {"desired_bias"}, 1, &value) < 0) return nullptr;
    double desired = PyFloat_AsDouble(value);
    if (desired == -1.0 && PyErr_Occurred()) return nullptr;
    vexasdk_dev_ctx* ctx;
    if (held_context(self, &ctx) < 0) return nullptr;
    auto bias8 = static_cast<uint8_t>(of(self)->bias_id);
    auto volts = static_cast<float>(desired);
    int rc = vx::without_gil([&] { return vexasdk_bias_set_desired(ctx, bias8, volts); });
    if (check(rc, of(self)->bias_id, "Failed to set the desired value.") < 0) return nullptr;
    Py_RETURN_NONE;
}

using BiasGetter = vexasdk_err_code (*)(vexasdk_dev_ctx*, uint8_t, float*);

PyObject* read_volts(PyObject* self, BiasGetter getter, const char* what) noexcept {
    vexasdk_dev_ctx* ctx;
    if (held_context(self, &ctx) < 0) return nullptr;
    auto bias8 = static_cast<uint8_t>(of(self)->bias_id);
    float volts = 0.0f;
    int rc = vx::without_gil([&] { return getter(ctx, bias8, &volts); });
    if (check(rc, of(self)->bias_id, what) < 0) return nullptr;
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

PyObject* info(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("info", nargs, kwnames) < 0) return nullptr;
    return Py_NewRef(of(self)->info);
}

template <class Fn>
PyCFunction fast(Fn fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef source_methods[] = {
    {"set_desired", fast(set_desired), METH_FASTCALL | METH_KEYWORDS,
     "BiasSource.set_desired(self, double desired_bias: float) -> None\n"
     "\n"
     "Sets the desired bias value in volts.\n"
     "\n"
     "Args:\n"
     "    desired_bias (float): Desired bias [V].\n"},
    {"get_desired", fast(get_desired), METH_FASTCALL | METH_KEYWORDS,
     "BiasSource.get_desired(self) -> float\n"
     "\n"
     "Gets the desired bias value in volts.\n"
     "\n"
     "Returns:\n"
     "    float: Desired bias [V].\n"},
    {"actual", fast(actual), METH_FASTCALL | METH_KEYWORDS,
     "BiasSource.actual(self) -> float\n"
     "\n"
     "Gets the actual bias value in volts.\n"
     "\n"
     "Returns:\n"
     "    float: Actual bias [V].\n"},
    {"info", fast(info), METH_FASTCALL | METH_KEYWORDS,
     "BiasSource.info(self) -> BiasInfo\n"
     "\n"
     "Gets bias information.\n"
     "\n"
     "Returns:\n"
     "    BiasInfo: Bias information.\n"},
    VX_PICKLE_REFUSAL,
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject source_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk.bias_source.BiasSource",
    .tp_basicsize = sizeof(BiasSourceObject),
    .tp_dealloc = source_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Bias source.",
    .tp_traverse = source_traverse,
    .tp_clear = source_clear,
    .tp_methods = source_methods,
    .tp_init = source_init,
    .tp_new = source_new,
};

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

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vexasdk.bias_source", "Bias source functionality.", -1};
bool initialised = false;

}  // namespace

PyMODINIT_FUNC PyInit_bias_source() {
    if (vx::first_initialisation(initialised, "vexasdk.bias_source") < 0) return nullptr;
    vx::Ref module = vx::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (vx::import_numpy_types() < 0 || vx::import_device_context() < 0 || vx::import_raise_if_err() < 0)
        return nullptr;
    if (PyType_Ready(&source_type) < 0) return nullptr;
    if (vx::annotate_methods(&source_type, {{"set_desired", {{"desired_bias", "float"}, {"return", "None"}}},
                                            {"get_desired", {{"return", "float"}}},
                                            {"actual", {{"return", "float"}}},
                                            {"info", {{"return", "BiasInfo"}}}}) < 0)
        return nullptr;
    if (vx::run_module_body(module.get(), "vexasdk/impl/bias_source", kBody) < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "BiasSource", reinterpret_cast<PyObject*>(&source_type)) < 0)
        return nullptr;
    return module.release();
}
