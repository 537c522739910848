// vexasdk._t3_binning: binned scanning data (event counts, iToTs and the
// packets of every bin) to Python.
#include "support/data_module.hpp"

#include <numpy/arrayobject.h>

namespace {

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

constexpr char kFile[] = "vexasdk/impl/_t3_binning";

const vx::TrampolineSite bins_site =
    vx::data_site("vexasdk._t3_binning.binned_data_cb", kFile, &globals,
                  "Failed to retrieve Timepix3 binned data.");

const vx::TrampolineSite evcount_site =
    vx::data_site("vexasdk._t3_binning.binned_evcount_cb", kFile, &globals,
                  "Failed to retrieve Timepix3 binned event counts.");

const vx::TrampolineSite itot_site =
    vx::data_site("vexasdk._t3_binning.binned_itot_cb", kFile, &globals,
                  "Failed to retrieve Timepix3 binned iToTs.");

// `count` values at `values` as a new array of the module dtype `dtype_name`.
vx::Ref value_array(const uint64_t* values, uint64_t count, const char* dtype_name) noexcept {
    vx::Ref dtype = vx::module_dtype(globals, dtype_name, sizeof(uint64_t));
    if (!dtype) return {};
    return vx::Ref::steal(vx::c_to_np_arr(const_cast<uint64_t*>(values), count, dtype.get()));
}

// `np.<function>(count, dtype=dtype)`.
vx::Ref np_call(PyObject* np, const char* function, uint64_t count, PyObject* dtype) noexcept {
    vx::Ref fn = vx::Ref::steal(PyObject_GetAttrString(np, function));
    vx::Ref length = vx::Ref::steal(fn ? PyLong_FromUnsignedLongLong(count) : nullptr);
    vx::Ref args = vx::Ref::steal(length ? PyTuple_Pack(1, length.get()) : nullptr);
    vx::Ref kwargs = vx::Ref::steal(args ? Py_BuildValue("{s:O}", "dtype", dtype) : nullptr);
    if (!kwargs) return {};
    return vx::Ref::steal(PyObject_Call(fn.get(), args.get(), kwargs.get()));
}

// Per-bin packet counts, written straight into np.empty(bin_count,
// dtype=np.uint64), with their total and the first bin that is not empty
// (0 when none is).
struct BinCounts {
    vx::Ref array;
    uint64_t total = 0;
    uint64_t first_non_empty = 0;
};

int count_bins(PyObject* np, const vexasdk_t3_acq_itot_evcount_bins& block, BinCounts& out) noexcept {
    // Before the counts are made: a null list could claim any count.
    if (block.bins == nullptr && block.bin_count != 0) {
        PyErr_Format(PyExc_ValueError, "the SDK reported %llu bins at a null pointer",
                     static_cast<unsigned long long>(block.bin_count));
        return -1;
    }
    vx::Ref uint64 = vx::Ref::steal(PyObject_GetAttrString(np, "uint64"));
    if (!uint64) return -1;
    out.array = np_call(np, "empty", block.bin_count, uint64.get());
    if (!out.array) return -1;
    // `np` is whatever the module namespace holds: write only into what is
    // really a fresh array of bin_count native uint64 values.
    auto* array = reinterpret_cast<PyArrayObject*>(out.array.get());
    if (!PyArray_Check(out.array.get()) || PyArray_NDIM(array) != 1 ||
        static_cast<uint64_t>(PyArray_DIM(array, 0)) != block.bin_count || PyArray_TYPE(array) != NPY_UINT64 ||
        !PyArray_ISCARRAY(array) || !PyArray_ISNOTSWAPPED(array)) {
        PyErr_Format(PyExc_TypeError, "np.empty did not give a writable array of %llu uint64 values",
                     static_cast<unsigned long long>(block.bin_count));
        return -1;
    }
    if (block.bin_count == 0) return 0;
    auto* counts = static_cast<uint64_t*>(PyArray_DATA(array));
    uint64_t first = block.bin_count;
    for (uint64_t i = 0; i < block.bin_count; ++i) {
        uint64_t count = block.bins[i].count;
        counts[i] = count;
        if (count != 0 && first == block.bin_count) first = i;
        uint64_t before = out.total;
        if (__builtin_add_overflow(out.total, count, &out.total)) {
            PyErr_SetString(PyExc_OverflowError, "the packet counts of the SDK's bins add up to more than 2**64 - 1");
            return -1;
        }
        // One copy from the first non-empty bin takes all packets only if
        // every later bin starts where the one before it ended.
        if (count == 0 || i == first) continue;
        auto offset = reinterpret_cast<uintptr_t>(block.bins[i].packets) -
                      reinterpret_cast<uintptr_t>(block.bins[first].packets);
        if (offset != before * sizeof(vexasdk_acq_t3_bin_packet)) {
            PyErr_Format(PyExc_ValueError, "the packets of the SDK's bin %llu do not follow those of the bins before it",
                         static_cast<unsigned long long>(i));
            return -1;
        }
    }
    out.first_non_empty = first == block.bin_count ? 0 : first;
    return 0;
}

static_assert(sizeof(size_t) >= sizeof(uint64_t), "a packet total converts to size_t unchanged");

// The packets of all bins as one awkward array of bin_count lists. The SDK
// lays every bin's packets back to back, so one copy from the first non-empty
// bin takes them all; the counts cut it into bins.
vx::Ref bin_packets(PyObject* np, const vexasdk_t3_acq_itot_evcount_bins& block, const BinCounts& counts) noexcept {
    vx::Ref dtype = vx::module_dtype(globals, "_binned_packet_dtype", sizeof(vexasdk_acq_t3_bin_packet));
    if (!dtype) return {};
    vx::Ref np_bin_packets;
    if (block.bin_count != 0) {
        const vexasdk_acq_t3_bin_packet* packets = block.bins[counts.first_non_empty].packets;
        np_bin_packets = vx::Ref::steal(
            vx::c_to_np_arr(const_cast<vexasdk_acq_t3_bin_packet*>(packets), counts.total, dtype.get()));
    } else {
        np_bin_packets = np_call(np, "empty", 0, dtype.get());
    }
    if (!np_bin_packets) return {};
    Py_ssize_t length = PyObject_Length(np_bin_packets.get());
    if (length < 0) return {};
    if (static_cast<uint64_t>(length) != counts.total) {
        PyErr_Format(PyExc_ValueError, "%zd packets do not fill bins that hold %llu", length,
                     static_cast<unsigned long long>(counts.total));
        return {};
    }
    vx::Ref ak = vx::lookup_global(globals, "ak");
    if (!ak) return {};
    vx::Ref flat = vx::Ref::steal(PyObject_CallMethod(ak.get(), "from_numpy", "O", np_bin_packets.get()));
    if (!flat) return {};
    return vx::Ref::steal(PyObject_CallMethod(ak.get(), "unflatten", "OO", flat.get(), counts.array.get()));
}

void binned_data_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    vexasdk_t3_acq_itot_evcount_bins c_binned_data{};
    vx::deliver_block(
        bins_site, device, user_data, [&] { return vexasdk_acq_get_t3_itot_evcount_bins(device, &c_binned_data); },
        [&](PyObject* callback) -> int {
            const auto& evcounts = c_binned_data.evcount_fragment;
            vx::Ref np_evcounts = value_array(evcounts.binned_evcounts, evcounts.count, "_binned_evcount_dtype");
            if (!np_evcounts) return -1;
            const auto& itots = c_binned_data.itot_fragment;
            vx::Ref np_itots = value_array(itots.binned_itots, itots.count, "_binned_itot_dtype");
            if (!np_itots) return -1;
            vx::Ref np = vx::lookup_global(globals, "np");
            if (!np) return -1;
            BinCounts counts;
            if (count_bins(np.get(), c_binned_data, counts) < 0) return -1;
            vx::Ref ak_bin_packets = bin_packets(np.get(), c_binned_data, counts);
            if (!ak_bin_packets) return -1;
            vx::Ref result = vx::Ref::steal(PyObject_CallFunctionObjArgs(
                callback, np_evcounts.get(), np_itots.get(), ak_bin_packets.get(), nullptr));
            return result ? 0 : -1;
        });
}

// One array of values, delivered alone.
int call_with_values(PyObject* callback, const uint64_t* values, uint64_t count, const char* dtype_name) noexcept {
    vx::Ref array = value_array(values, count, dtype_name);
    if (!array) return -1;
    vx::Ref result = vx::Ref::steal(PyObject_CallOneArg(callback, array.get()));
    return result ? 0 : -1;
}

void binned_evcount_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    vexasdk_acq_t3_evcount_fragment c_evcounts{};
    vx::deliver_block(
        evcount_site, device, user_data, [&] { return vexasdk_acq_get_t3_evcount_fragment(device, &c_evcounts); },
        [&](PyObject* callback) { return call_with_values(callback, c_evcounts.binned_evcounts, c_evcounts.count, "_binned_evcount_dtype"); });
}

void binned_itot_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    vexasdk_acq_t3_itot_fragment c_itots{};
    vx::deliver_block(
        itot_site, device, user_data, [&] { return vexasdk_acq_get_t3_itot_fragment(device, &c_itots); },
        [&](PyObject* callback) { return call_with_values(callback, c_itots.binned_itots, c_itots.count, "_binned_itot_dtype"); });
}

constexpr char kBody[] = R"PY(
import logging
from typing import NamedTuple, Protocol
import awkward as ak
import numpy as np
import numpy.typing as npt

_binned_evcount_dtype = np.dtype(np.uint64)
_binned_itot_dtype = np.dtype(np.uint64)
_binned_packet_dtype = np.dtype([("address", "uint32"), ("evcount", "uint32"), ("itot", "uint32")])


class BinnedEvcountsCb(Protocol):
    """Binned event counts data callback.

    Invokes a callback with binned event counts data.

    Args:
        evcounts (npt.NDArray[_binned_evcount_dtype]): Array of binned event count records
            of type np.uint64.
    """

    def __call__(self, evcounts: npt.NDArray[_binned_evcount_dtype]) -> None:
        """BinnedEvcountsCb.__call__(self, evcounts: npt.NDArray[_binned_evcount_dtype]) -> None"""


class BinnedItotsCb(Protocol):
    """Binned iToTs data callback.

    Invoke a callback with binned iToTs data.

    Args:
        itots (npt.NDArray[_binned_itot_dtype]): Array of binned iToT records
            of type np.uint64.
    """

    def __call__(self, itots: npt.NDArray[_binned_itot_dtype]) -> None:
        """BinnedItotsCb.__call__(self, itots: npt.NDArray[_binned_itot_dtype]) -> None"""


class BinnedDataCb(Protocol):
    """Binned packets + evcounts + iToTs data callback.

    Invokes a callback with binned packets + evcounts + iToTs data.

    Args:
        evcounts (npt.NDArray[_binned_evcount_dtype]): Array of binned event count records
            of type np.uint64.
        itots (npt.NDArray[_binned_itot_dtype]): Array of binned iToT records
            of type np.uint64.
        packets (ak.Array): 2D-array of binned packet records
            of type [("address", "uint32"), ("evcount", "uint32"), ("itot", "uint32")].
            First dimension represents a bin index.
            Second dimension represents a packet index inside the chosen bin.
    """

    def __call__(
        self,
        evcounts: npt.NDArray[_binned_evcount_dtype],
        itots: npt.NDArray[_binned_itot_dtype],
        packets: ak.Array,
    ) -> None:
        """BinnedDataCb.__call__(self, evcounts: npt.NDArray[_binned_evcount_dtype], itots: npt.NDArray[_binned_itot_dtype], packets: ak.Array) -> None"""


class BinnedParams(NamedTuple):
    """Acquisition parameters of binning modes.

    Necessary for synchronization of 4DSTEM data.

    Attributes:
        width (int): Width of the scan.
        height (int): Height of the scan.
        dwell_time_ns (int): Dwell time in nanoseconds.
    """

    width: int
    height: int
    dwell_time_ns: int
)PY";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vexasdk._t3_binning", nullptr, -1};
bool initialised = false;

}  // namespace

PyMODINIT_FUNC PyInit__t3_binning() {
    if (vx::first_initialisation(initialised, "vexasdk._t3_binning") < 0) return nullptr;
    vx::Ref module = vx::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    globals = PyModule_GetDict(module.get());
    if (vx::start_data_module(module.get(), {{"binned_data_cb", reinterpret_cast<void*>(binned_data_cb)},
                                             {"binned_evcount_cb", reinterpret_cast<void*>(binned_evcount_cb)},
                                             {"binned_itot_cb", reinterpret_cast<void*>(binned_itot_cb)}}) < 0)
        return nullptr;
    // The per-bin counts are written into a numpy buffer from C.
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    if (vx::run_module_body(module.get(), kFile, kBody) < 0 ||
        vx::keep_record_annotations(module.get(), {"BinnedParams"}) < 0)
        return nullptr;
    return vx::initialised(initialised, module.release());
}
