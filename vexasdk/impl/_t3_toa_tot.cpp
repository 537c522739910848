// vexasdk._t3_toa_tot: data-driven and frame-based ToA-ToT blocks to Python.
#include "support/data_module.hpp"
#include "support/module_start.hpp"

namespace {

constexpr char kBody[] = R"PY(
import logging
from typing import NamedTuple, Protocol
import numpy as np
import numpy.typing as npt

_toa_tot_dtype = np.dtype([("address", "uint32"), ("tot", "uint32"), ("toa", "uint64")])
_tdc_dtype = np.dtype(np.uint64)


class DdToaTotMetadata(NamedTuple):
    """Data-driven ToA-ToT metadata.

    Represents the data-driven ToA-ToT metadata that belongs to a single processed data block.

    Attributes:
        shutter_start (np.uint64): Shutter start in 1.5625ns resolution.
        tdcs (npt.NDArray[npt.NDArray[np.uint64]]): 2-dimensional array of TDC timestamps.
            First dimension represents a TDC index.
            Second dimension represents a timestamp index inside the chosen TDC.
    """

    shutter_start: np.uint64
    tdcs: npt.NDArray[npt.NDArray[np.uint64]]


class DdToaTotCb(Protocol):
    """Data-driven ToA-ToT data callback.

    Invokes a callback with data-driven ToA-ToT data and metadata.

    Args:
        packets (npt.NDArray[_toa_tot_dtype]): Array of ToA-ToT records
            of type [("address", "uint32"), ("tot", "uint32"), ("toa", "uint64")].
        metadata (DdToaTotMetadata): Data-driven ToA-ToT metadata.
    """

    def __call__(self, packets: npt.NDArray[_toa_tot_dtype], metadata: DdToaTotMetadata) -> None:
        """DdToaTotCb.__call__(self, packets: npt.NDArray[_toa_tot_dtype], metadata: DdToaTotMetadata) -> None"""


class FbToaTotCb(Protocol):
    """Frame-based ToA-ToT data callback.

    Invokes a callback with frame-based ToA-ToT data.

    Args:
        packets (npt.NDArray[_toa_tot_dtype]): Array of ToA-ToT records
            of type [("address", "uint32"), ("tot", "uint32"), ("toa", "uint64")].
    """

    def __call__(self, packets: npt.NDArray[_toa_tot_dtype]) -> None:
        """FbToaTotCb.__call__(self, packets: npt.NDArray[_toa_tot_dtype]) -> None"""
)PY";

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

constexpr char kFile[] = "vexasdk/impl/_t3_toa_tot";

const vx::TrampolineSite dd_site =
    vx::data_site("vexasdk._t3_toa_tot.dd_toa_tot_cb", kFile, &globals,
                  "Failed to retrieve Timepix3 data-driven ToA-ToT packets.");

const vx::TrampolineSite fb_site =
    vx::data_site("vexasdk._t3_toa_tot.fb_toa_tot_cb", kFile, &globals,
                  "Failed to retrieve Timepix3 frame-based ToA-ToT packets.");

vx::ModuleDtype packet_dtype{"_toa_tot_dtype", sizeof(vexasdk_acq_t3_toa_tot_packet)};
vx::ModuleDtype tdc_dtype{"_tdc_dtype", sizeof(uint64_t)};
vx::Name metadata_name{"DdToaTotMetadata"};

// np.empty(tdc_count, dtype=np.ndarray) with element i the record-array view
// of TDC i's timestamps.
vx::Ref tdc_container(const vexasdk_acq_t3_acq_toa_tot& block) noexcept {
    // Before the container is made: a null list could claim any count.
    if (block.tdcs == nullptr && block.tdc_count != 0) {
        PyErr_Format(PyExc_ValueError, "the SDK reported %llu TDC records at a null pointer",
                     static_cast<unsigned long long>(block.tdc_count));
        return {};
    }
    vx::Ref np = vx::lookup_global(globals, vx::names::np);
    if (!np) return {};
    vx::Ref empty = vx::attr(np.get(), vx::names::empty);
    vx::Ref ndarray = empty ? vx::attr(np.get(), vx::names::ndarray) : vx::Ref();
    if (!ndarray) return {};
    vx::Ref container = vx::np_empty(empty.get(), block.tdc_count, ndarray.get());
    if (!container || block.tdc_count == 0) return container;
    for (uint64_t i = 0; i < block.tdc_count; ++i) {
        const vexasdk_acq_t3_tdc_toa& tdc = block.tdcs[i];
        vx::Ref view = tdc_dtype.view(globals, tdc.timestamps, tdc.count);
        // np.empty succeeded, so the count fits an index.
        if (!view || PySequence_SetItem(container.get(), static_cast<Py_ssize_t>(i), view.get()) < 0) return {};
    }
    return container;
}

// Both trampolines fetch the same block; each builds its own arguments.
template <class BuildAndCall>
void deliver_toa_tot(const vx::TrampolineSite& site, vexasdk_dev_ctx* device, void* user_data,
                     BuildAndCall&& build_and_call) noexcept {
    vexasdk_acq_t3_acq_toa_tot c_block{};
    vx::deliver_block(
        site, device, user_data, [&] { return vexasdk_acq_get_t3_toa_tot_packets(device, &c_block); },
        [&](PyObject* callback) { return build_and_call(callback, c_block); });
}

void dd_toa_tot_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    deliver_toa_tot(dd_site, device, user_data, [](PyObject* callback, const vexasdk_acq_t3_acq_toa_tot& c_block) {
        // The packets are copied before the TDCs, and viewed after them.
        vx::Ref np_packets = packet_dtype.array(globals, c_block.packets, c_block.packet_count);
        if (!np_packets) return -1;
        vx::Ref tdcs = tdc_container(c_block);
        if (!tdcs) return -1;
        vx::Ref view = vx::recarray_view(globals, np_packets.get());
        if (!view) return -1;
        vx::Ref metadata_type = vx::lookup_global(globals, metadata_name);
        if (!metadata_type) return -1;
        // A Python int, also past 2**63.
        vx::Ref shutter_start = vx::Ref::steal(PyLong_FromUnsignedLongLong(c_block.shutter_time));
        if (!shutter_start) return -1;
        vx::Ref metadata = vx::Ref::steal(
            PyObject_CallFunctionObjArgs(metadata_type.get(), shutter_start.get(), tdcs.get(), nullptr));
        if (!metadata) return -1;
        vx::Ref result =
            vx::Ref::steal(PyObject_CallFunctionObjArgs(callback, view.get(), metadata.get(), nullptr));
        return result ? 0 : -1;
    });
}

void fb_toa_tot_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    deliver_toa_tot(fb_site, device, user_data, [](PyObject* callback, const vexasdk_acq_t3_acq_toa_tot& c_block) {
        vx::Ref view = packet_dtype.view(globals, c_block.packets, c_block.packet_count);
        if (!view) return -1;
        vx::Ref result = vx::Ref::steal(PyObject_CallOneArg(callback, view.get()));
        return result ? 0 : -1;
    });
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._t3_toa_tot", nullptr, -1}};

}  // namespace

PyMODINIT_FUNC PyInit__t3_toa_tot() {
    return vx::ModuleStart(module, globals)
        .exports({{"dd_toa_tot_cb", dd_toa_tot_cb, vx::kTrampolineSignature},
                  {"fb_toa_tot_cb", fb_toa_tot_cb, vx::kTrampolineSignature}})
        .then(vx::start_data_module)
        .body(kFile, kBody, {"DdToaTotMetadata"})
        .done();
}
