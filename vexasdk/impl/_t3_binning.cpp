// vexasdk._t3_binning: binned scanning data (event counts, iToTs and the
// packets of every bin) to Python.
#include "support/data_module.hpp"
#include "support/module_start.hpp"

namespace {

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

vx::ModuleDtype evcount_dtype{"_binned_evcount_dtype", sizeof(uint64_t)};
vx::ModuleDtype itot_dtype{"_binned_itot_dtype", sizeof(uint64_t)};
vx::ModuleDtype packet_dtype{"_binned_packet_dtype", sizeof(vexasdk_acq_t3_bin_packet)};
vx::Name ak_name{"ak"};

// `np.empty(count, dtype=dtype)`.
vx::Ref np_empty(PyObject* np, uint64_t count, PyObject* dtype) noexcept {
    vx::Ref empty = vx::attr(np, vx::names::empty);
    return empty ? vx::np_empty(empty.get(), count, dtype) : vx::Ref();
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
    vx::Ref uint64 = vx::attr(np, vx::names::uint64);
    if (!uint64) return -1;
    out.array = np_empty(np, block.bin_count, uint64.get());
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

// ---- awkward's bins, made as awkward makes them ----

struct Names {
    vx::Name from_numpy{"from_numpy"};
    vx::Name unflatten{"unflatten"};
} names;

// awkward's own functions, and the classes they build with, as the module
// found them at initialisation; owned for the life of the process.
struct AwkwardObjects {
    PyObject* from_numpy = nullptr;
    PyObject* unflatten = nullptr;
    PyObject* numpy_array = nullptr;
    PyObject* record_array = nullptr;
    PyObject* list_offset_array = nullptr;
    PyObject* index64 = nullptr;
    PyObject* array = nullptr;
} awkward_objects;

int find_awkward_objects() noexcept {
    AwkwardObjects& found = awkward_objects;
    return vx::find_library_objects(
        "awkward", {{&found.from_numpy, "from_numpy"}, {&found.unflatten, "unflatten"},
                    {&found.numpy_array, "NumpyArray", "contents"}, {&found.record_array, "RecordArray", "contents"},
                    {&found.list_offset_array, "ListOffsetArray", "contents"}, {&found.index64, "Index64", "index"},
                    {&found.array, "Array", "highlevel"}});
}

// Whether `obj.<name>` is `expected`: 1 or 0 (also when there is no such
// attribute), -1 with the error set when the lookup failed otherwise.
int is_attr(PyObject* obj, vx::Name& name, PyObject* expected) noexcept {
    PyObject* key = name.get();
    PyObject* found = nullptr;
    if (key == nullptr || PyObject_GetOptionalAttr(obj, key, &found) < 0) return -1;
    Py_XDECREF(found);
    return found == expected;
}

// Records whose every field ak.from_numpy takes as one NumpyArray of it.
bool plain_fields(PyArray_Descr* descr) noexcept {
    if (!PyDataType_HASFIELDS(descr)) return false;
    PyObject* field_names = PyDataType_NAMES(descr);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(field_names); ++i) {
        PyObject* field = PyDict_GetItem(PyDataType_FIELDS(descr), PyTuple_GET_ITEM(field_names, i));
        if (field == nullptr || !PyTuple_Check(field) || PyTuple_GET_SIZE(field) < 1) return false;
        auto* type = reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(field, 0));
        if (!PyArray_DescrCheck(type) || PyDataType_HASSUBARRAY(type) || PyDataType_HASFIELDS(type) ||
            !(PyTypeNum_ISINTEGER(type->type_num) || PyTypeNum_ISFLOAT(type->type_num)))
            return false;
    }
    return true;
}

// ak.unflatten(ak.from_numpy(packets), counts) for plain records, built as
// those two build it: a ListOffsetArray with the running sum of the counts
// as offsets over a RecordArray of one NumpyArray per field, each a view of
// `packets`.
vx::Ref unflattened(PyObject* packets, const BinCounts& counts) noexcept {
    const AwkwardObjects& awkward = awkward_objects;
    PyObject* field_names = PyDataType_NAMES(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(packets)));
    Py_ssize_t fields = PyTuple_GET_SIZE(field_names);
    vx::Ref contents = vx::Ref::steal(PyList_New(fields));
    if (!contents) return {};
    for (Py_ssize_t i = 0; i < fields; ++i) {
        vx::Ref view = vx::Ref::steal(PyObject_GetItem(packets, PyTuple_GET_ITEM(field_names, i)));
        vx::Ref content = view ? vx::Ref::steal(PyObject_CallOneArg(awkward.numpy_array, view.get())) : vx::Ref();
        if (!content) return {};
        PyList_SET_ITEM(contents.get(), i, content.release());
    }
    vx::Ref records = vx::Ref::steal(
        PyObject_CallFunctionObjArgs(awkward.record_array, contents.get(), field_names, nullptr));
    if (!records) return {};
    auto* count_array = reinterpret_cast<PyArrayObject*>(counts.array.get());
    npy_intp bins = PyArray_DIM(count_array, 0);
    npy_intp length = bins + 1;
    vx::Ref offsets = vx::fresh_array(PyArray_DescrFromType(NPY_INT64), length);
    if (!offsets) return {};
    // The packets' total fills an array, so every running sum fits an int64.
    const auto* per_bin = static_cast<const uint64_t*>(PyArray_DATA(count_array));
    auto* sums = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())));
    sums[0] = 0;
    for (npy_intp i = 0; i < bins; ++i) sums[i + 1] = sums[i] + static_cast<int64_t>(per_bin[i]);
    vx::Ref index = vx::Ref::steal(PyObject_CallOneArg(awkward.index64, offsets.get()));
    vx::Ref lists = index ? vx::Ref::steal(PyObject_CallFunctionObjArgs(awkward.list_offset_array, index.get(),
                                                                        records.get(), nullptr))
                          : vx::Ref();
    return lists ? vx::Ref::steal(PyObject_CallOneArg(awkward.array, lists.get())) : vx::Ref();
}

// The packets of all bins as one awkward array of bin_count lists. The SDK
// lays every bin's packets back to back, so one copy from the first non-empty
// bin takes them all; the counts cut it into bins.
vx::Ref bin_packets(PyObject* np, const vexasdk_t3_acq_itot_evcount_bins& block, const BinCounts& counts) noexcept {
    vx::Ref dtype = packet_dtype.get(globals);
    if (!dtype) return {};
    vx::Ref np_bin_packets;
    if (block.bin_count != 0) {
        const vexasdk_acq_t3_bin_packet* packets = block.bins[counts.first_non_empty].packets;
        np_bin_packets = vx::Ref::steal(
            vx::c_to_np_arr(const_cast<vexasdk_acq_t3_bin_packet*>(packets), counts.total, dtype.get()));
    } else {
        np_bin_packets = np_empty(np, 0, dtype.get());
    }
    if (!np_bin_packets) return {};
    Py_ssize_t length = PyObject_Length(np_bin_packets.get());
    if (length < 0) return {};
    if (static_cast<uint64_t>(length) != counts.total) {
        PyErr_Format(PyExc_ValueError, "%zd packets do not fill bins that hold %llu", length,
                     static_cast<unsigned long long>(counts.total));
        return {};
    }
    vx::Ref ak = vx::lookup_global(globals, ak_name);
    if (!ak) return {};
    int own = is_attr(ak.get(), names.from_numpy, awkward_objects.from_numpy);
    if (own > 0) own = is_attr(ak.get(), names.unflatten, awkward_objects.unflatten);
    if (own < 0) return {};
    if (own > 0 && PyArray_CheckExact(np_bin_packets.get()) &&
        plain_fields(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(np_bin_packets.get()))))
        return unflattened(np_bin_packets.get(), counts);
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
            vx::Ref np_evcounts = evcount_dtype.array(globals, evcounts.binned_evcounts, evcounts.count);
            if (!np_evcounts) return -1;
            const auto& itots = c_binned_data.itot_fragment;
            vx::Ref np_itots = itot_dtype.array(globals, itots.binned_itots, itots.count);
            if (!np_itots) return -1;
            vx::Ref np = vx::lookup_global(globals, vx::names::np);
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
int call_with_values(PyObject* callback, const uint64_t* values, uint64_t count, vx::ModuleDtype& dtype) noexcept {
    vx::Ref array = dtype.array(globals, values, count);
    if (!array) return -1;
    vx::Ref result = vx::Ref::steal(PyObject_CallOneArg(callback, array.get()));
    return result ? 0 : -1;
}

void binned_evcount_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    vexasdk_acq_t3_evcount_fragment c_evcounts{};
    vx::deliver_block(
        evcount_site, device, user_data, [&] { return vexasdk_acq_get_t3_evcount_fragment(device, &c_evcounts); },
        [&](PyObject* callback) { return call_with_values(callback, c_evcounts.binned_evcounts, c_evcounts.count, evcount_dtype); });
}

void binned_itot_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    vexasdk_acq_t3_itot_fragment c_itots{};
    vx::deliver_block(
        itot_site, device, user_data, [&] { return vexasdk_acq_get_t3_itot_fragment(device, &c_itots); },
        [&](PyObject* callback) { return call_with_values(callback, c_itots.binned_itots, c_itots.count, itot_dtype); });
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._t3_binning", nullptr, -1}};

}  // namespace

PyMODINIT_FUNC PyInit__t3_binning() {
    return vx::ModuleStart(module, globals)
        .exports({{"binned_data_cb", binned_data_cb, vx::kTrampolineSignature},
                  {"binned_evcount_cb", binned_evcount_cb, vx::kTrampolineSignature},
                  {"binned_itot_cb", binned_itot_cb, vx::kTrampolineSignature}})
        .then(vx::start_data_module, find_awkward_objects)
        .body(kFile, kBody, {"BinnedParams"})
        .done();
}
