// vexasdk.acquisition_runner: AcquisitionRunner, which starts an acquisition
// with the data path the chips' mode calls for, awaits its end, aborts it and
// triggers it.
#include <cstdint>

#include "_device_context.hpp"
#include "chip_array.hpp"
#include "pixel_chip.hpp"
#include "support/args.hpp"
#include "support/data_module.hpp"
#include "support/gil.hpp"
#include "support/kept_callables.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
#include "support/owned_fields.hpp"
#include "support/pickle.hpp"
#include "support/sdk_threads.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/acquisition.h"
#include "vexasdk/chip.h"
#include "vexasdk/trigger.h"

namespace {

constexpr char kBody[] = R"PY(
from vexasdk._t3_binning import BinnedDataCb, BinnedEvcountsCb, BinnedItotsCb, BinnedParams
from vexasdk._t3_itot_evcount import FbItotEvcountCb
from vexasdk._t3_toa_tot import DdToaTotCb, FbToaTotCb
)PY";

using vx::KeptCallables;
using vx::Ref;

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

struct RunnerObject {
    PyObject_HEAD
    PyObject* chip_array;  // ChipArray, owned; None before construction and once cleared
    PyObject* context;     // _DeviceContext, owned; likewise
};

RunnerObject* runner_of(PyObject* self) noexcept { return reinterpret_cast<RunnerObject*>(self); }

// A runner cleared by the garbage collector holds None: the SDK answers its
// null context with an error code.
vexasdk_dev_ctx* runner_context(PyObject* self) noexcept {
    PyObject* context = runner_of(self)->context;
    return PyObject_TypeCheck(context, vx::device_context_type) ? vx::sdk_context(context) : nullptr;
}

// ---- trampolines, as the data modules export them ----

// Each trampoline: where it comes from and the chips' modes it serves, in the
// order the data modules are bound at start-up. No chip mode is 0, so a 0
// fills an unused place.
struct Trampoline {
    const char* module;
    const char* name;
    uint32_t modes[2];
    vexasdk_acq_callback callback = nullptr;
};

Trampoline trampolines[] = {
    {"vexasdk._t3_binning", "binned_data_cb", {VEXASDK_ITOT_EVCOUNT_BIN}},
    {"vexasdk._t3_binning", "binned_evcount_cb", {VEXASDK_EVCOUNT_IMG}},
    {"vexasdk._t3_binning", "binned_itot_cb", {VEXASDK_ITOT_IMG}},
    {"vexasdk._t3_itot_evcount", "fb_itot_evcount_cb", {VEXASDK_ITOT_EVCOUNT_FBZS}},
    {"vexasdk._t3_toa_tot", "dd_toa_tot_cb", {VEXASDK_TOA_TOT_DD, VEXASDK_TOA_TOT_DD_SORTED}},
    {"vexasdk._t3_toa_tot", "fb_toa_tot_cb", {VEXASDK_TOA_TOT_FBZS}},
};

int import_trampolines() noexcept {
    for (Trampoline& trampoline : trampolines)
        if (vx::import_function(trampoline.module, trampoline.name, vx::kTrampolineSignature, &trampoline.callback) < 0)
            return -1;
    return 0;
}

// The chips' mode alone decides; modes without processed data get none, and
// the SDK's answer to that decides.
vexasdk_acq_callback trampoline_for(uint32_t mode) noexcept {
    if (mode == 0) return nullptr;
    for (const Trampoline& trampoline : trampolines)
        for (uint32_t served : trampoline.modes)
            if (served == mode) return trampoline.callback;
    return nullptr;
}

// ---- texts, made at start-up: they are handed over without the lock ----

struct Messages {
    PyObject* start_failed;
    PyObject* await_failed;
    PyObject* abort_failed;
    PyObject* trigger_failed;
} messages;

int make_messages() noexcept {
    for (auto [slot, text] : {std::pair{&messages.start_failed, "Acquisition runner: Failed to start the acquisition."},
                              {&messages.await_failed,
                               "Acquisition runner: Failed to await the end of the acquisition."},
                              {&messages.abort_failed, "Acquisition runner: Failed to abort the acquisition."},
                              {&messages.trigger_failed, "Acquisition runner: Failed to trigger the acquisition."}}) {
        *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) return -1;
    }
    return 0;
}

// ---- construction and lifetime ----

using RunnerFields = vx::OwnedFields<RunnerObject, &RunnerObject::chip_array, &RunnerObject::context>;

PyObject* runner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    RunnerFields::set_none(self.get());
    RunnerObject* runner = runner_of(self.get());
    PyObject* values[2];
    if (vx::bind_args("__cinit__", args, kwargs, {"chip_array", "context"}, 2, values) < 0) return nullptr;
    if (!PyObject_TypeCheck(values[0], vx::chip_array_type)) {
        vx::raise_arg_type("chip_array", vx::chip_array_type->tp_name, values[0]);
        return nullptr;
    }
    if (vx::context_arg(values[1], "context") < 0) return nullptr;
    Py_SETREF(runner->chip_array, Py_NewRef(values[0]));
    Py_SETREF(runner->context, Py_NewRef(values[1]));
    return self.release();
}

// ---- methods ----

// `params` as the SDK's parameter union: zero unless it is a BinnedParams.
int fill_params(PyObject* params, vexasdk_acq_params* out) noexcept {
    *out = {};
    Ref binned_params = vx::lookup_global(globals, "BinnedParams");
    if (!binned_params) return -1;
    int binned = PyObject_IsInstance(params, binned_params.get());
    if (binned <= 0) return binned;
    vexasdk_acq_t3_binning_params& p = out->t3_binning;
    Ref width = Ref::steal(PyObject_GetAttrString(params, "width"));
    if (!width || vx::unsigned_arg(width.get(), "uint32_t", &p.width) < 0) return -1;
    Ref height = Ref::steal(PyObject_GetAttrString(params, "height"));
    if (!height || vx::unsigned_arg(height.get(), "uint32_t", &p.height) < 0) return -1;
    Ref dwell = Ref::steal(PyObject_GetAttrString(params, "dwell_time_ns"));
    if (!dwell || vx::unsigned_arg(dwell.get(), "uint64_t", &p.dwell_time) < 0) return -1;
    return 0;
}

PyObject* runner_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* values[2];
    if (vx::bind_args("start", args, nargs, kwnames, {"callback", "params"}, 1, values) < 0) return nullptr;
    PyObject* callback = values[0];  // borrowed from the call, which keeps it alive until it is kept
    vexasdk_acq_params params;
    if (fill_params(values[1] ? values[1] : Py_None, &params) < 0) return nullptr;
    // Attribute reads and the chip array's methods run Python code that may
    // re-initialise the runner: its fields are read as they are at each step.
    Ref chip_array = Ref::borrow(runner_of(self)->chip_array);
    Ref mode = Ref::steal(PyObject_CallMethod(chip_array.get(), "get_mode", nullptr));
    if (!mode) return nullptr;
    uint32_t value = 0;
    if (vx::member_value_arg(mode.get(), "vexasdk_chip_mode", &value) < 0) return nullptr;
    Ref applied = Ref::steal(PyObject_CallMethod(chip_array.get(), "set_mode", "O", mode.get()));
    if (!applied) return nullptr;
    vexasdk_dev_ctx* ctx = runner_context(self);
    KeptCallables::Ticket ticket;
    if (!vx::kept_callables().begin(KeptCallables::key(ctx), ticket)) return nullptr;
    int rc = 0;
    bool raised = vx::without_gil([&] {
        rc = vexasdk_acq_start(ctx, trampoline_for(value), VEXASDK_ACQ_MODE_PROCESSED, &params, callback);
        return vx::sdk_failed_unlocked(rc, messages.start_failed);
    });
    // The SDK holds the callback's address from here on: kept until it is
    // seen to be done with it, whatever the caller drops.
    vx::kept_callables().end(ticket, rc == VEXASDK_SUCCESS ? callback : nullptr, /*replaces=*/false);
    if (raised && PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

enum class Call { await_end, abort, trigger };

template <Call call>
PyObject* runner_call(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr const char* name = call == Call::await_end ? "await_end" : call == Call::abort ? "abort" : "trigger";
    if (vx::no_args(name, nargs, kwnames) < 0) return nullptr;
    vexasdk_dev_ctx* ctx = runner_context(self);
    // What was started before the call is what its success can see end. An
    // abort from inside a callback only asks the acquisition to stop: the
    // SDK's other threads may still be delivering to it.
    uint64_t mark = vx::kept_callables().mark();
    bool ends = call == Call::await_end || (call == Call::abort && !vx::on_sdk_thread());
    int rc = 0;
    bool raised = vx::without_gil([&] {
        if constexpr (call == Call::await_end) {
            rc = vexasdk_acq_await_end(ctx);
            return vx::sdk_failed_unlocked(rc, messages.await_failed);
        } else if constexpr (call == Call::abort) {
            rc = vexasdk_acq_abort(ctx);
            return vx::sdk_failed_unlocked(rc, messages.abort_failed);
        } else {
            rc = vexasdk_trigger_now(ctx);
            return vx::sdk_failed_unlocked(rc, messages.trigger_failed);
        }
    });
    if (ends && rc == VEXASDK_SUCCESS) vx::kept_callables().release(KeptCallables::key(ctx), mark);
    if (raised && PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}


constexpr char kCallbackAnnotation[] =
    "DdToaTotCb | FbToaTotCb | FbItotEvcountCb | BinnedDataCb | BinnedEvcountsCb | BinnedItotsCb";

auto runner_methods = vx::refusing_pickles(
    vx::method("start", runner_start, R"(AcquisitionRunner.start(self, callback: DdToaTotCb | FbToaTotCb | FbItotEvcountCb | BinnedDataCb | BinnedEvcountsCb | BinnedItotsCb, params: BinnedParams = None) -> None

Starts the acquisition.

The device must be configured before the acquisition can be started.
At the very least, bias, threshold and chip mode must be set up.

Args:
    callback: Acquisition callback.
    params (BinnedParams): Acquisition parameters.
)"),
    vx::method("await_end", runner_call<Call::await_end>, R"(AcquisitionRunner.await_end(self) -> None

Awaits the acquisition end.

Blocks until the acquisition is finished/aborted.
Should only be called after self.start() method.
)"),
    vx::method("abort", runner_call<Call::abort>, R"(AcquisitionRunner.abort(self) -> None

Aborts the acquisition in progress.

Should only be called after self.start() method.
)"),
    vx::method("trigger", runner_call<Call::trigger>, R"(AcquisitionRunner.trigger(self) -> None

Triggers the acquisition.

Should only be called after self.start() method.
)"));

PyTypeObject runner_type = RunnerFields::type(
    "vexasdk.acquisition_runner.AcquisitionRunner", runner_methods.data(), runner_new, "Acquisition runner.");

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk.acquisition_runner", "Acquisition runner functionality.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit_acquisition_runner() {
    return vx::ModuleStart(module, globals)
        .then(make_messages)
        .ready(runner_type)
        .annotate(runner_type)
        .exports({{vx::kReleaseCallablesName, vx::release_callables, vx::kReleaseCallablesSignature}})
        .then(vx::import_numpy_types, vx::import_device_context, vx::import_pixel_chip, vx::import_chip_array)
        .then(import_trampolines, vx::import_raise_if_err)
        .add("AcquisitionRunner", runner_type)
        .body("vexasdk/impl/acquisition_runner", kBody)
        .done();
}
