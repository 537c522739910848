// Sim calls on the whole world: its reset, how many devices it has, which
// device a context belongs to, and the compiler that built it.
#include <vector>

#include "calls.hpp"
#include "model.hpp"

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_sim_reset(void) {
    if (is_sdk_thread()) return VEXASDK_ERR_BAD_STATE;
    std::vector<vexasdk_dev_ctx*> open;
    {
        std::lock_guard<std::mutex> lock(world().mu);
        for (auto& device : world().devices) open.insert(open.end(), device->contexts.begin(), device->contexts.end());
    }
    close_contexts(open);
    {
        std::lock_guard<std::mutex> lock(world().mu);
        world().devices.clear();
        world().populated = false;
        world().enum_reported_count = -1;
        sim_device(0);
    }
    reset_calls();
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_device_count(uint32_t count) {
    if (count > 64) return VEXASDK_ERR_EINVAL;
    if (is_sdk_thread()) return VEXASDK_ERR_BAD_STATE;
    std::vector<vexasdk_dev_ctx*> dropped;
    {
        std::lock_guard<std::mutex> lock(world().mu);
        sim_device(0);
        auto& devices = world().devices;
        for (size_t i = count; i < devices.size(); ++i)
            dropped.insert(dropped.end(), devices[i]->contexts.begin(), devices[i]->contexts.end());
    }
    close_contexts(dropped);
    std::lock_guard<std::mutex> lock(world().mu);
    auto& devices = world().devices;
    while (devices.size() > count) devices.pop_back();
    while (devices.size() < count) devices.push_back(make_default_device(static_cast<uint32_t>(devices.size())));
    return VEXASDK_SUCCESS;
}

VEXASDK_API uint32_t vexasdk_sim_device_count(void) {
    std::lock_guard<std::mutex> lock(world().mu);
    sim_device(0);
    return static_cast<uint32_t>(world().devices.size());
}

VEXASDK_API int32_t vexasdk_sim_device_of(const vexasdk_dev_ctx* ctx) {
    std::lock_guard<std::mutex> lock(world().mu);
    DeviceModel* device = ctx ? find_device(ctx) : nullptr;
    return device ? static_cast<int32_t>(device->index) : -1;
}

VEXASDK_API const char* vexasdk_sim_compiler(void) {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "gcc " __VERSION__;
#else
    return "unknown";
#endif
}
