// Enumeration: the records of every virtual device, in device order.
#include <algorithm>
#include <string>

#include "calls.hpp"
#include "model.hpp"

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_enum_get_info(vexasdk_enum_info* infos, size_t* count) {
    VSIM_ENTER(arg("infos", infos), count ? arg("count", *count) : Arg("count"));
    if (infos == nullptr || count == nullptr) return VEXASDK_ERR_EFAULT;
    std::lock_guard<std::mutex> lock(world().mu);
    sim_device(0);
    const auto& devices = world().devices;
    size_t written = std::min(*count, devices.size());
    for (size_t i = 0; i < written; ++i) infos[i] = devices[i]->enum_info;
    // A scripted count stands for an SDK that miscounts; it never writes more.
    int64_t reported = world().enum_reported_count;
    *count = reported < 0 ? written : static_cast<size_t>(reported);
    return VEXASDK_SUCCESS;
}
