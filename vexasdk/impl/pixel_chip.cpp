// vexasdk.pixel_chip: the chip vocabulary (modes, polarities, chip records)
// and PixelChip, one chip of an opened device.
#include "pixel_chip.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "_device_context.hpp"
#include "support/args.hpp"
#include "support/buffer.hpp"
#include "support/gil.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
#include "support/pickle.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/chip.h"

namespace {

constexpr char kBody[] = R"PY(
from enum import Enum
from typing import NamedTuple
import numpy as np
import numpy.typing as npt


class ChipThresholdInfo(NamedTuple):
    """Contains threshold information.

    Attributes:
        min_kev (float): Minimum threshold value in keV.
        max_kev (float): Maximum threshold value in keV.
        noise_kev (float): Calculated threshold noise in keV.
        min_raw (int): Minimum raw threshold value.
        max_raw (int): Maximum raw threshold value.
        is_calibrated (bool): Determines if the threshold is calibrated.
    """

    min_kev: float
    max_kev: float
    noise_kev: float
    min_raw: int
    max_raw: int
    is_calibrated: bool


class OperationalMode(Enum):
    """Contains a chip operational mode."""

    evcount_8bit = 1
    evcount_10bit = 2
    evcount_14bit = 3
    itot_8_bit = 4
    itot_10_bit = 5
    itot_14_bit = 6
    dd_toa_tot = 7
    fb_toa_tot = 8
    fb_itot_evcount = 9
    dd_toa_tot_sorted = 10
    binned_data = 11
    binned_evcount = 12
    binned_itot = 13


class ChipPolarity(Enum):
    """Contains chip polarity."""

    holes_collection = 1
    electrons_collection = 2


class ChipInfo(NamedTuple):
    """Contains chip information.

    Attributes:
        chip_name (str): Chip name.
        supported_modes (list[OperationalMode]): List of supported chip modes.
        supported_polarities (list[ChipPolarity]): List of supported chip polarities.
        threshold_info (ChipThresholdInfo): Threshold information.
        width (int): Width of chip sensor in pixels.
        height (int): Height of chip sensor in pixels.
    """

    chip_name: str
    supported_modes: list[OperationalMode]
    supported_polarities: list[ChipPolarity]
    threshold_info: ChipThresholdInfo
    width: int
    height: int


class ChipSettings(NamedTuple):
    """Contains chip settings.

    Attributes:
        polarity (ChipPolarity): Selected chip polarity.
        mode (OperationalMode): Selected chip mode.
    """

    polarity: ChipPolarity
    mode: OperationalMode


__test__ = {}
)PY";

using vx::PixelChipObject;
using vx::Ref;

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

// Names and constant texts, made once at initialisation and kept for the life
// of the process.
struct Constants {
    PyObject* ChipSettings;
    PyObject* ChipPolarity;
    PyObject* OperationalMode;
    PyObject* np;
    PyObject* info;
    PyObject* width;
    PyObject* height;
    PyObject* empty;
    PyObject* uint8;
    PyObject* ndarray;
    PyObject* dtype;
    PyObject* ndim;
    PyObject* shape;
    PyObject* flatten;
    PyObject* reshape;
    PyObject* name;
    PyObject* order_c;          // "C"
    PyObject* empty_kwnames;    // ("dtype", "order")
    PyObject* flatten_kwnames;  // ("order",)
} names;

int make_constants() noexcept {
    std::initializer_list<std::pair<PyObject**, const char*>> table = {
        {&names.ChipSettings, "ChipSettings"},
        {&names.ChipPolarity, "ChipPolarity"},
        {&names.OperationalMode, "OperationalMode"},
        {&names.np, "np"},
        {&names.info, "info"},
        {&names.width, "width"},
        {&names.height, "height"},
        {&names.empty, "empty"},
        {&names.uint8, "uint8"},
        {&names.ndarray, "ndarray"},
        {&names.dtype, "dtype"},
        {&names.ndim, "ndim"},
        {&names.shape, "shape"},
        {&names.flatten, "flatten"},
        {&names.reshape, "reshape"},
        {&names.name, "name"},
        {&names.order_c, "C"},
    };
    for (auto [slot, text] : table) {
        *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) return -1;
    }
    names.empty_kwnames = PyTuple_Pack(2, names.dtype, PyUnicode_InternFromString("order"));
    if (names.empty_kwnames == nullptr) return -1;
    names.flatten_kwnames = PyTuple_Pack(1, PyTuple_GET_ITEM(names.empty_kwnames, 1));
    return names.flatten_kwnames ? 0 : -1;
}

// A module-level name as the methods see it at call time: the module's
// globals, then the builtins.
Ref global(PyObject* key) noexcept {
    PyObject* found = PyDict_GetItemWithError(globals, key);
    if (found == nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    if (found == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref::borrow(found);
}

// The member of the module's enumeration `enumeration` that an SDK
// enumerator names: `enumeration(value)`, so that a value naming none raises
// the enumeration's ValueError.
Ref member(PyObject* enumeration, uint32_t value) noexcept {
    Ref type = global(enumeration);
    if (!type) return {};
    Ref number = Ref::steal(PyLong_FromUnsignedLong(value));
    if (!number) return {};
    return Ref::steal(PyObject_CallOneArg(type.get(), number.get()));
}

PixelChipObject* chip_of(PyObject* self) noexcept { return vx::controller(self); }

vexasdk_dev_ctx* ctx_of(const PixelChipObject* chip) noexcept {
    return vx::controller_context(reinterpret_cast<PyObject*>(const_cast<PixelChipObject*>(chip)));
}

uint8_t chip8(const PixelChipObject* chip) noexcept { return static_cast<uint8_t>(chip->id); }

// self.info().<field>, looked up afresh so that a subclass's info() counts.
Ref info_field(PyObject* self, PyObject* field) noexcept {
    Ref info = Ref::steal(PyObject_CallMethodNoArgs(self, names.info));
    if (!info) return {};
    return Ref::steal(PyObject_GetAttr(info.get(), field));
}

// ---- construction and lifetime ----

PyObject* chip_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return vx::controller_new(type, args, kwargs, "chip_id", "chip_info");
}

// ---- methods ----

PyObject* chip_settings(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("settings", nargs, kwnames) < 0) return nullptr;
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    // A uint8_t count bounds the records, so they fit on the stack.
    vexasdk_chip_settings records[UINT8_MAX] = {};
    uint8_t count = 0;
    uint8_t filled = 0;
    // Both calls in one release of the lock; the failure is raised once it is
    // held again.
    const char* failed = "Failed to retrieve settings of available chips.";
    int rc = vx::without_gil([&] {
        int counted = vexasdk_chip_get_count(ctx, &count);
        if (counted != 0) {
            failed = "Failed to retrieve number of chips on the device.";
            return counted;
        }
        filled = count;
        return static_cast<int>(vexasdk_chip_get_settings(ctx, count != 0 ? records : nullptr, &filled));
    });
    if (vx::sdk_failed(rc, failed)) return nullptr;
    // A negative id, or an SDK that claims more records than it was given room
    // for, must not lead outside the records.
    int id = chip->id;
    if (id < 0 || id >= filled || id >= count) {
        vx::sdk_failed(VEXASDK_ERR_EINVAL, "Cannot access settings of chip with id %d.", id);
        return nullptr;
    }
    Ref settings_type = global(names.ChipSettings);
    if (!settings_type) return nullptr;
    Ref polarity = member(names.ChipPolarity, static_cast<uint32_t>(records[id].polarity));
    if (!polarity) return nullptr;
    Ref mode = member(names.OperationalMode, static_cast<uint32_t>(records[id].mode));
    if (!mode) return nullptr;
    PyObject* fields[] = {polarity.get(), mode.get()};
    return PyObject_Vectorcall(settings_type.get(), fields, 2, nullptr);
}

PyObject* chip_configure(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("configure", nargs, kwnames) < 0) return nullptr;
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    if (vx::sdk_call_failed([&] { return vexasdk_chip_configure(ctx, chip8(chip)); },
                            "Chip %d: Failed to configure the chip.", chip->id))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* chip_set_polarity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* polarity;
    if (vx::bind_args("set_polarity", args, nargs, kwnames, {"polarity"}, 1, &polarity) < 0) return nullptr;
    uint32_t value = 0;
    if (vx::member_value_arg(polarity, "vexasdk_chip_polarity", &value) < 0) return nullptr;
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    int rc = vx::without_gil(
        [&] { return vexasdk_chip_set_polarity(ctx, chip8(chip), static_cast<vexasdk_chip_polarity>(value)); });
    // The member's name is read whatever the result: reading it may fail or
    // have effects of its own.
    Ref name = Ref::steal(PyObject_GetAttr(polarity, names.name));
    if (!name) return nullptr;
    Ref text = Ref::steal(PyObject_Str(name.get()));
    if (!text) return nullptr;
    if (vx::sdk_failed(rc, "Chip %d: Failed to set polarity to %U.", chip->id, text.get())) return nullptr;
    Py_RETURN_NONE;
}

// A threshold getter: no arguments, one SDK read of a `Value`, then
// `convert` of what was read.
template <class Value, class Read, class Convert>
PyObject* read_threshold(PyObject* self, const char* method, Py_ssize_t nargs, PyObject* kwnames, Read read,
                         const char* failed, Convert convert) noexcept {
    if (vx::no_args(method, nargs, kwnames) < 0) return nullptr;
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    Value value{};
    if (vx::sdk_call_failed([&] { return read(ctx, chip8(chip), &value); }, failed, chip->id)) return nullptr;
    return convert(value);
}

PyObject* chip_get_threshold(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return read_threshold<float>(self, "get_threshold", nargs, kwnames, vexasdk_chip_get_thld,
                                 "Chip %d: Failed to get threshold value.",
                                 [](float kev) { return PyFloat_FromDouble(kev); });
}

PyObject* chip_set_threshold(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* thr_kev;
    if (vx::bind_args("set_threshold", args, nargs, kwnames, {"thr_kev"}, 1, &thr_kev) < 0) return nullptr;
    double kev = PyFloat_AsDouble(thr_kev);
    if (kev == -1.0 && PyErr_Occurred()) return nullptr;
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    int rc = vx::without_gil([&] { return vexasdk_chip_set_thld(ctx, chip8(chip), static_cast<float>(kev)); });
    if (rc != 0) {
        // The value as the caller gave it, before narrowing.
        Ref shown = Ref::steal(PyFloat_FromDouble(kev));
        if (!shown || vx::sdk_failed(rc, "Chip %d: Failed to set threshold value to %RkeV.", chip->id, shown.get()))
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* chip_get_raw_threshold(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return read_threshold<uint32_t>(self, "get_raw_threshold", nargs, kwnames, vexasdk_chip_get_raw_thld,
                                    "Chip %d: Failed to get raw threshold value.", PyLong_FromUnsignedLong);
}

PyObject* chip_set_raw_threshold(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    PyObject* thr_raw;
    if (vx::bind_args("set_raw_threshold", args, nargs, kwnames, {"thr_raw"}, 1, &thr_raw) < 0) return nullptr;
    Ref number;
    if (PyLong_Check(thr_raw)) {
        number = Ref::borrow(thr_raw);
    } else if (PyNumber_Check(thr_raw)) {
        number = Ref::steal(PyNumber_Long(thr_raw));
        if (!number) return nullptr;
    } else {
        vx::raise_arg_type("thr_raw", "int", thr_raw);
        return nullptr;
    }
    uint32_t raw = 0;
    if (vx::unsigned_arg(number.get(), "uint32_t", &raw) < 0) return nullptr;
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    int rc = vx::without_gil([&] { return vexasdk_chip_set_raw_thld(ctx, chip8(chip), raw); });
    // str() of an int subclass may be the subclass's own, so it is not skipped then.
    if (rc == 0 && PyLong_CheckExact(number.get())) Py_RETURN_NONE;
    Ref text = Ref::steal(PyObject_Str(number.get()));
    if (!text || vx::sdk_failed(rc, "Chip %d: Failed to set raw threshold value to %U.", chip->id, text.get()))
        return nullptr;
    Py_RETURN_NONE;
}

// ---- pixel masks ----

PyObject* chip_get_pixel_mask(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("get_pixel_mask", nargs, kwnames) < 0) return nullptr;
    Ref width = info_field(self, names.width);
    if (!width) return nullptr;
    Ref height = info_field(self, names.height);
    if (!height) return nullptr;
    Ref np = global(names.np);
    if (!np) return nullptr;
    Ref empty = Ref::steal(PyObject_GetAttr(np.get(), names.empty));
    if (!empty) return nullptr;
    Ref size = Ref::steal(PyNumber_Multiply(width.get(), height.get()));
    if (!size) return nullptr;
    Ref uint8 = Ref::steal(PyObject_GetAttr(np.get(), names.uint8));
    if (!uint8) return nullptr;
    PyObject* empty_args[] = {size.get(), uint8.get(), names.order_c};
    Ref array = Ref::steal(PyObject_Vectorcall(empty.get(), empty_args, 1, names.empty_kwnames));
    if (!array) return nullptr;

    vx::HeldBuffer view;
    if (view.hold(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    vexasdk_chip_pixel_mask mask = {static_cast<uint8_t*>(view.data()), view.size()};
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    int rc = vx::without_gil([&] { return vexasdk_chip_get_pixel_mask(ctx, chip8(chip), &mask); });
    view.release();
    if (vx::sdk_failed(rc, "Chip %d: Failed to get pixel mask.", chip->id)) return nullptr;

    Ref shape = Ref::steal(PyTuple_Pack(2, width.get(), height.get()));
    if (!shape) return nullptr;
    return PyObject_CallMethodOneArg(array.get(), names.reshape, shape.get());
}

// Whether `pixel_mask` has shape (W·H,) or (W, H), compared as Python does.
int mask_shape_ok(PyObject* pixel_mask, PyObject* pixels, PyObject* width, PyObject* height) noexcept {
    Ref ndim = Ref::steal(PyObject_GetAttr(pixel_mask, names.ndim));
    if (!ndim) return -1;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!one || !two) return -1;
    // shape[i] == expected, for each (i, expected) in order
    auto dims_equal = [&](std::initializer_list<PyObject*> expected) -> int {
        Ref shape = Ref::steal(PyObject_GetAttr(pixel_mask, names.shape));
        if (!shape) return -1;
        Py_ssize_t i = 0;
        for (PyObject* want : expected) {
            Ref index = Ref::steal(PyLong_FromSsize_t(i++));
            if (!index) return -1;
            Ref dim = Ref::steal(PyObject_GetItem(shape.get(), index.get()));
            if (!dim) return -1;
            int equal = PyObject_RichCompareBool(dim.get(), want, Py_EQ);
            if (equal <= 0) return equal;
        }
        return 1;
    };
    int is = PyObject_RichCompareBool(ndim.get(), one.get(), Py_EQ);
    if (is < 0) return -1;
    if (is) {
        int ok = dims_equal({pixels});
        if (ok != 0) return ok;
    }
    is = PyObject_RichCompareBool(ndim.get(), two.get(), Py_EQ);
    if (is <= 0) return is;
    return dims_equal({width, height});
}

PyObject* chip_set_pixel_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* pixel_mask;
    if (vx::bind_args("set_pixel_mask", args, nargs, kwnames, {"pixel_mask"}, 1, &pixel_mask) < 0) return nullptr;
    Ref np = global(names.np);
    if (!np) return nullptr;
    Ref ndarray = Ref::steal(PyObject_GetAttr(np.get(), names.ndarray));
    if (!ndarray) return nullptr;
    int is_array = PyObject_IsInstance(pixel_mask, ndarray.get());
    if (is_array < 0) return nullptr;
    if (!is_array) {
        PyErr_SetString(PyExc_TypeError, "Pixel mask is not a numpy array.");
        return nullptr;
    }
    Ref dtype = Ref::steal(PyObject_GetAttr(pixel_mask, names.dtype));
    if (!dtype) return nullptr;
    Ref uint8 = Ref::steal(PyObject_GetAttr(np.get(), names.uint8));
    if (!uint8) return nullptr;
    int differs = PyObject_RichCompareBool(dtype.get(), uint8.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        PyErr_Format(PyExc_TypeError, "Expected pixel mask with dtype %S, got %S.", uint8.get(), dtype.get());
        return nullptr;
    }

    Ref width = info_field(self, names.width);
    if (!width) return nullptr;
    Ref height = info_field(self, names.height);
    if (!height) return nullptr;
    Ref pixels = Ref::steal(PyNumber_Multiply(width.get(), height.get()));
    if (!pixels) return nullptr;
    int shape_ok = mask_shape_ok(pixel_mask, pixels.get(), width.get(), height.get());
    if (shape_ok < 0) return nullptr;
    if (!shape_ok) {
        Ref shape = Ref::steal(PyObject_GetAttr(pixel_mask, names.shape));
        if (shape)
            PyErr_Format(PyExc_TypeError, "Expected pixel mask with shape (%S) or (%S,%S), got %S.", pixels.get(),
                         width.get(), height.get(), shape.get());
        return nullptr;
    }

    // Flattening in C order copies whatever the layout: a (W, H) mask becomes
    // the SDK's column-major buffer, and the SDK never sees the caller's array.
    PyObject* flatten_args[] = {pixel_mask, names.order_c};
    Ref flat = Ref::steal(PyObject_VectorcallMethod(names.flatten, flatten_args, 1, names.flatten_kwnames));
    if (!flat) return nullptr;
    vx::HeldBuffer view;
    if (view.hold(flat.get(), PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const vexasdk_chip_pixel_mask mask = {static_cast<uint8_t*>(view.data()), view.size()};
    const PixelChipObject* chip = chip_of(self);
    vexasdk_dev_ctx* ctx = ctx_of(chip);
    int rc = vx::without_gil([&] { return vexasdk_chip_set_pixel_mask(ctx, chip8(chip), &mask); });
    view.release();
    if (vx::sdk_failed(rc, "Chip %d: Failed to set pixel mask.", chip->id)) return nullptr;
    Py_RETURN_NONE;
}

auto chip_methods = vx::refusing_pickles(
    vx::method("info", vx::controller_info, R"(PixelChip.info(self) -> ChipInfo

Gets chip information.

Returns:
    ChipInfo: Chip information.
)"),
    vx::method("settings", chip_settings, R"(PixelChip.settings(self) -> ChipSettings

Gets chip settings.

Returns:
    ChipSettings: Chip settings.
)"),
    vx::method("configure", chip_configure, R"(PixelChip.configure(self) -> None

Performs chip configuration.

Sets values of DACs and performs per-pixel configuration.
)"),
    vx::method("set_polarity", chip_set_polarity, R"(PixelChip.set_polarity(self, polarity: ChipPolarity) -> None

Sets a polarity of the chip.

Args:
    polarity (ChipPolarity): Chip polarity.
)"),
    vx::method("get_threshold", chip_get_threshold, R"(PixelChip.get_threshold(self) -> float

Gets the chip threshold value in keV.

Returns:
    float: Chip threshold value in keV.
)"),
    vx::method("set_threshold", chip_set_threshold, R"(PixelChip.set_threshold(self, double thr_kev: float) -> None

Sets the chip threshold value in keV.

Args:
    thr_kev (float): Chip threshold value in keV.
)"),
    vx::method("get_raw_threshold", chip_get_raw_threshold, R"(PixelChip.get_raw_threshold(self) -> int

Gets the chip threshold raw value.

Returns:
    int: Chip threshold raw value.
)"),
    vx::method("set_raw_threshold", chip_set_raw_threshold, R"(PixelChip.set_raw_threshold(self, int thr_raw: int) -> None

Sets the chip threshold raw value.

Args:
    thr_raw (int): Chip threshold raw value.
)"),
    vx::method("get_pixel_mask", chip_get_pixel_mask, R"(PixelChip.get_pixel_mask(self) -> npt.NDArray[np.uint8]

Gets the currently set pixel mask in 2D form.

Returns:
    npt.NDArray[np.uint8]: Currently set pixel mask in 2D form.
        Each value in the array represents a single masked pixel.
        0 represents masked pixel, non-zero value represents unmasked pixel.
        Pixels are stored in column-major order.
        The origin of the mask is in the same position as the chip data,
        typically lower right corner.
)"),
    vx::method("set_pixel_mask", chip_set_pixel_mask, R"(PixelChip.set_pixel_mask(self, pixel_mask: npt.NDArray[np.uint8]) -> None

Sets a pixel mask.

Args:
    pixel_mask (npt.NDArray[np.uint8]): Pixel mask. Can be either 1D or 2D.
        Each value in the array represents a single masked pixel.
        0 represents masked pixel, non-zero value represents unmasked pixel.
        Pixels are stored in column-major order.
        The origin of the mask is in the same position as the chip data,
        typically lower right corner.
)"));

PyTypeObject chip_type = vx::ControllerFields::type(
    "vexasdk.pixel_chip.PixelChip", chip_methods.data(), chip_new, "Pixel chip.");

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk.pixel_chip", "Pixel chip functionality.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit_pixel_chip() {
    return vx::ModuleStart(module, globals)
        .then(make_constants)
        .ready(chip_type)
        .annotate(chip_type)
        .add("PixelChip", chip_type)
        .then(vx::import_device_context, vx::import_numpy_types, vx::import_raise_if_err)
        .body("vexasdk/impl/pixel_chip", kBody, {"ChipThresholdInfo", "ChipInfo", "ChipSettings"})
        .done();
}
