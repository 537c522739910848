// vexasdk.chip_array: ChipArray, every chip of a device as one.
#include "chip_array.hpp"

#include <cstdint>
#include <utility>

#include "_device_context.hpp"
#include "pixel_chip.hpp"
#include "support/args.hpp"
#include "support/controller.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
#include "support/owned_fields.hpp"
#include "support/pickle.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/chip.h"

namespace {

constexpr char kBody[] = R"PY(
from vexasdk.pixel_chip import OperationalMode

__test__ = {}
)PY";

using vx::ChipArrayObject;
using vx::Ref;

struct Constants {
    PyObject* info;
    PyObject* settings;
    PyObject* configure;
    PyObject* supported_modes;
    PyObject* mode;
    PyObject* name;
} names;

int make_constants() noexcept {
    for (auto [slot, text] : {std::pair{&names.info, "info"}, {&names.settings, "settings"},
                              {&names.configure, "configure"}, {&names.supported_modes, "supported_modes"},
                              {&names.mode, "mode"}, {&names.name, "name"}}) {
        *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) return -1;
    }
    return 0;
}

ChipArrayObject* array_of(PyObject* self) noexcept { return reinterpret_cast<ChipArrayObject*>(self); }

// The chip list; once the array has been cleared it holds None, which fails
// as len(None) would.
PyObject* chips_of(PyObject* self) noexcept {
    PyObject* chips = array_of(self)->single_chips;
    if (PyList_Check(chips)) return chips;
    PyObject_Size(chips);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "the chip list is gone");
    return nullptr;
}

// chip.<method>().<field>
Ref call_field(PyObject* chip, PyObject* method, PyObject* field) noexcept {
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(chip, method));
    if (!result) return {};
    return Ref::steal(PyObject_GetAttr(result.get(), field));
}

// Runs `fn(chip)` for chips[start:] in list order. The chips' methods may
// change the list meanwhile: each step reads it afresh and holds its chip.
template <class Fn>
int for_each_chip(PyObject* chips, Py_ssize_t start, Fn&& fn) noexcept {
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(chips); ++i) {
        Ref chip = Ref::steal(PyList_GetItemRef(chips, i));
        if (!chip || fn(chip.get()) < 0) return -1;
    }
    return 0;
}

// ---- construction and lifetime ----

using ArrayFields = vx::OwnedFields<ChipArrayObject, &ChipArrayObject::single_chips, &ChipArrayObject::context>;

// As a controller is made: the arguments are checked first, so that no
// half-built instance exists.
PyObject* array_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[2];
    if (vx::bind_args("__cinit__", args, kwargs, {"single_chips", "context"}, 2, values) < 0) return nullptr;
    if (!PyList_CheckExact(values[0])) {
        vx::raise_arg_type("single_chips", "list", values[0]);
        return nullptr;
    }
    if (vx::context_arg(values[1], "context") < 0) return nullptr;
    return ArrayFields::make(type, values[0], values[1]);
}

// ---- methods ----

PyObject* array_get_single_chips(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("get_single_chips", nargs, kwnames) < 0) return nullptr;
    return Py_NewRef(array_of(self)->single_chips);
}

PyObject* array_get_supported_modes(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    if (vx::no_args("get_supported_modes", nargs, kwnames) < 0) return nullptr;
    PyObject* chips = chips_of(self);
    if (chips == nullptr) return nullptr;
    if (PyList_GET_SIZE(chips) == 0) return PyList_New(0);
    Ref first = Ref::steal(PyList_GetItemRef(chips, 0));
    if (!first) return nullptr;
    Ref first_modes = call_field(first.get(), names.info, names.supported_modes);
    if (!first_modes) return nullptr;
    Ref common = Ref::steal(PySet_New(first_modes.get()));
    if (!common) return nullptr;
    int rc = for_each_chip(chips, 1, [&](PyObject* chip) -> int {
        Ref modes = call_field(chip, names.info, names.supported_modes);
        if (!modes) return -1;
        Ref other = Ref::steal(PySet_New(modes.get()));
        if (!other) return -1;
        common = Ref::steal(PyNumber_InPlaceAnd(common.get(), other.get()));
        return common ? 0 : -1;
    });
    if (rc < 0) return nullptr;
    return PySequence_List(common.get());
}

// {chip.settings().mode}
Ref mode_set(PyObject* chip) noexcept {
    Ref mode = call_field(chip, names.settings, names.mode);
    if (!mode) return {};
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set || PySet_Add(set.get(), mode.get()) < 0) return {};
    return set;
}

PyObject* array_get_mode(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("get_mode", nargs, kwnames) < 0) return nullptr;
    PyObject* chips = chips_of(self);
    if (chips == nullptr) return nullptr;
    if (PyList_GET_SIZE(chips) == 0) {
        PyErr_SetString(PyExc_ValueError, "Failed to retrieve current chip mode: no chip available.");
        return nullptr;
    }
    Ref first = Ref::steal(PyList_GetItemRef(chips, 0));
    if (!first) return nullptr;
    Ref common = mode_set(first.get());
    if (!common) return nullptr;
    // Every chip is asked, even once they are known to disagree.
    int rc = for_each_chip(chips, 1, [&](PyObject* chip) -> int {
        Ref other = mode_set(chip);
        if (!other) return -1;
        common = Ref::steal(PyNumber_InPlaceAnd(common.get(), other.get()));
        return common ? 0 : -1;
    });
    if (rc < 0) return nullptr;
    if (PySet_GET_SIZE(common.get()) == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "Failed to retrieve current chip mode: Chips are in different operational modes.");
        return nullptr;
    }
    return PySet_Pop(common.get());
}

PyObject* array_set_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* mode;
    if (vx::bind_args("set_mode", args, nargs, kwnames, {"mode"}, 1, &mode) < 0) return nullptr;
    uint32_t value = 0;
    if (vx::member_value_arg(mode, "vexasdk_chip_mode", &value) < 0) return nullptr;
    vexasdk_dev_ctx* ctx = vx::held_context(array_of(self)->context);
    int rc = vx::without_gil([&] { return vexasdk_chip_set_mode(ctx, static_cast<vexasdk_chip_mode>(value)); });
    // The member's name is read whatever the result: reading it may fail or
    // have effects of its own.
    Ref name = Ref::steal(PyObject_GetAttr(mode, names.name));
    if (!name) return nullptr;
    Ref text = Ref::steal(PyObject_Str(name.get()));
    if (!text) return nullptr;
    if (vx::sdk_failed(rc, "Chip array:Failed to set mode of the available chips to %U.", text.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_configure(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("configure", nargs, kwnames) < 0) return nullptr;
    PyObject* chips = chips_of(self);
    if (chips == nullptr) return nullptr;
    int rc = for_each_chip(chips, 0, [&](PyObject* chip) -> int {
        Ref result = Ref::steal(PyObject_CallMethodNoArgs(chip, names.configure));
        return result ? 0 : -1;
    });
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

auto array_methods = vx::refusing_pickles(
    vx::method("get_single_chips", array_get_single_chips, R"(ChipArray.get_single_chips(self) -> list[PixelChip]

Gets available pixel chips.

Returns:
    list[PixelChip]: List of pixel chips.
)"),
    vx::method("get_supported_modes", array_get_supported_modes, R"(ChipArray.get_supported_modes(self) -> list[OperationalMode]

Gets supported operational modes.

Returns:
    list[OperationalMode]: List of supported operational modes.
)"),
    vx::method("get_mode", array_get_mode, R"(ChipArray.get_mode(self) -> OperationalMode

Gets the currently selected operational mode.

Returns:
    OperationalMode: Selected operational mode.
)"),
    vx::method("set_mode", array_set_mode, R"(ChipArray.set_mode(self, mode: OperationalMode) -> None

Sets the operational mode on each chip.

Args:
    mode (OperationalMode): Operational mode.
)"),
    vx::method("configure", array_configure, R"(ChipArray.configure(self) -> None

Configures each chip.
)"));

PyTypeObject array_type = ArrayFields::type(
    "vexasdk.chip_array.ChipArray", array_methods.data(), array_new,
    "Chip array.\n\nServes as an aggregate class for one or more pixel chips.");

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk.chip_array", "Chip array functionality.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit_chip_array() {
    return vx::ModuleStart(module)
        .then(make_constants)
        .ready(array_type)
        .annotate(array_type)
        .add("ChipArray", array_type)
        .then(vx::import_device_context, vx::import_numpy_types, vx::import_pixel_chip, vx::import_raise_if_err)
        .body("vexasdk/impl/chip_array", kBody)
        .done();
}
