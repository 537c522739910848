// vexasdk._t3_itot_evcount: frame-based iToT-evcount blocks to Python.
#include "support/data_module.hpp"
#include "support/module_start.hpp"

namespace {

constexpr char kBody[] = R"PY(
import logging
from typing import Protocol
import numpy as np
import numpy.typing as npt

_itot_evcount_dtype = np.dtype([("address", "uint32"), ("itot", "uint32"), ("evcount", "uint64")])


class FbItotEvcountCb(Protocol):
    """Frame-based iToT-evcount data callback.

    Invokes a callback with frame-based iToT-evcount data.

    Args:
        packets (npt.NDArray[_itot_evcount_dtype]): Array of iToT-evcount records
            of type [("address", "uint32"), ("itot", "uint32"), ("evcount", "uint64")].
    """

    def __call__(self, packets: npt.NDArray[_itot_evcount_dtype]) -> None:
        """FbItotEvcountCb.__call__(self, packets: npt.NDArray[_itot_evcount_dtype]) -> None"""
)PY";

PyObject* globals = nullptr;  // the module namespace; the module lives as long as the process

constexpr char kQualname[] = "vexasdk._t3_itot_evcount.fb_itot_evcount_cb";

vx::ModuleDtype packet_dtype{"_itot_evcount_dtype", sizeof(vexasdk_acq_t3_itot_evcount)};

const vx::TrampolineSite site =
    vx::data_site(kQualname, "vexasdk/impl/_t3_itot_evcount", &globals,
                  "Failed to retrieve Timepix3 frame-based iToT-evcount packets.");

void fb_itot_evcount_cb(vexasdk_dev_ctx* device, void* user_data) noexcept {
    const vexasdk_acq_t3_itot_evcount* c_packets = nullptr;
    uint64_t c_packet_count = 0;
    vx::deliver_block(
        site, device, user_data, [&] { return vexasdk_acq_get_t3_itot_evcount_packets(device, &c_packets, &c_packet_count); },
        [&](PyObject* callback) -> int {
            vx::Ref view = packet_dtype.view(globals, c_packets, c_packet_count);
            if (!view) return -1;
            vx::Ref result = vx::Ref::steal(PyObject_CallOneArg(callback, view.get()));
            return result ? 0 : -1;
        });
}

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._t3_itot_evcount", nullptr, -1}};

}  // namespace

PyMODINIT_FUNC PyInit__t3_itot_evcount() {
    return vx::ModuleStart(module, globals)
        .exports({{"fb_itot_evcount_cb", fb_itot_evcount_cb, vx::kTrampolineSignature}})
        .then(vx::start_data_module)
        .body("vexasdk/impl/_t3_itot_evcount", kBody)
        .done();
}
