// The sim calls that script monitors: descriptions, values, flags, the event
// rate, and exact events fired from the monitor thread or the caller's.
#include <cmath>
#include <cstring>

#include "monitors.hpp"

using namespace vsim;

namespace {

constexpr uint32_t kFireLimit = 1u << 20;

bool valid_kind(uint32_t kind) { return kind == VEXASDK_SIM_MON_AVAIL_CHANGED || kind == VEXASDK_SIM_MON_VALUE_CHANGED; }

// A queued copy: the caller's name bytes may be gone by delivery time.
ScriptedMonitorEvent script(const vexasdk_sim_mon_event& given) {
    ScriptedMonitorEvent event;
    event.given = given;
    event.given.name = nullptr;
    if (given.fields & VEXASDK_SIM_MON_NAME) {
        event.null_name = given.name == nullptr;
        if (given.name != nullptr) event.name = given.name;
    }
    return event;
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_info(uint32_t index, uint32_t mon_id, const vexasdk_mon_info* info) {
    if (info == nullptr) return VEXASDK_ERR_EFAULT;
    std::string name = info->name ? info->name : "";
    uint32_t type;
    memcpy(&type, &info->type, sizeof type);
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        MonitorModel* m = find_monitor(device, mon_id);
        if (m == nullptr) {
            device.monitors.emplace_back();
            m = &device.monitors.back();
            m->id = mon_id;
            m->value = {};
        }
        m->name = std::move(name);
        m->null_name = info->name == nullptr;
        m->type = type;
        m->range = info->range;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_remove(uint32_t index, uint32_t mon_id) {
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        auto removed = std::erase_if(device.monitors, [&](const MonitorModel& m) { return m.id == mon_id; });
        return removed ? VEXASDK_SUCCESS : VEXASDK_ERR_EINVAL;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_value(uint32_t index, uint32_t mon_id, const vexasdk_mon_value* value) {
    if (value == nullptr) return VEXASDK_ERR_EFAULT;
    return with_sim_monitor(index, mon_id, [&](DeviceModel&, MonitorModel& m) { m.value = *value; });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_flags(uint32_t index, uint32_t mon_id, const vexasdk_mon_flags* flags) {
    if (flags == nullptr) return VEXASDK_ERR_EFAULT;
    return with_sim_monitor(index, mon_id, [&](DeviceModel&, MonitorModel& m) {
        m.warning = flags->is_warning;
        m.error = flags->is_error;
        m.available = flags->is_available;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_rate(uint32_t index, double events_per_second) {
    if (!(events_per_second >= 0.0) || events_per_second > 1e6) return VEXASDK_ERR_EINVAL;
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.mon.events_per_second = events_per_second;
        monitor_cv().notify_all();
        return ensure_monitor_thread(device);
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_fire(uint32_t index, const vexasdk_sim_mon_event* events, uint32_t count) {
    if (count == 0) return VEXASDK_SUCCESS;
    if (events == nullptr) return VEXASDK_ERR_EFAULT;
    if (count > kFireLimit) return VEXASDK_ERR_EINVAL;
    for (uint32_t i = 0; i < count; ++i)
        if (!valid_kind(events[i].kind)) return VEXASDK_ERR_EINVAL;
    std::vector<ScriptedMonitorEvent> scripted;
    scripted.reserve(count);
    for (uint32_t i = 0; i < count; ++i) scripted.push_back(script(events[i]));
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        if (device.contexts.empty()) return VEXASDK_ERR_BAD_STATE;
        for (const auto& event : scripted)
            if (find_monitor(device, event.given.mon_id) == nullptr) return VEXASDK_ERR_EINVAL;
        Monitoring& mon = device.mon;
        for (auto& event : scripted) mon.queue.push_back(std::move(event));
        mon.scripted += count;
        int32_t rc = ensure_monitor_thread(device);
        if (rc != VEXASDK_SUCCESS) {
            mon.finished += mon.queue.size();
            mon.queue.clear();
            return rc;
        }
        monitor_cv().notify_all();
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_await(uint32_t index, double timeout_seconds) {
    if (!(timeout_seconds >= 0.0)) return VEXASDK_ERR_EINVAL;
    timeout_seconds = std::min(timeout_seconds, 1e6);
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = sim_device(index);
    if (device == nullptr) return VEXASDK_ERR_ENODEV;
    // Inside one of the device's callbacks the events behind it cannot come.
    if (is_monitor_thread_of(*device)) return VEXASDK_ERR_BAD_STATE;
    uint64_t target = device->mon.scripted;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(timeout_seconds));
    bool done = monitor_cv().wait_until(lock, deadline, [&] {
        return sim_device(index) != device || device->mon.finished >= target;
    });
    if (sim_device(index) != device) return VEXASDK_ERR_ENODEV;
    return done ? VEXASDK_SUCCESS : VEXASDK_ERR_EBUSY;
}

VEXASDK_API vexasdk_err_code vexasdk_sim_mon_fire_here(uint32_t index, const vexasdk_sim_mon_event* event) {
    if (event == nullptr) return VEXASDK_ERR_EFAULT;
    if (!valid_kind(event->kind)) return VEXASDK_ERR_EINVAL;
    ScriptedMonitorEvent scripted = script(*event);
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = sim_device(index);
    if (device == nullptr) return VEXASDK_ERR_ENODEV;
    if (device->contexts.empty()) return VEXASDK_ERR_BAD_STATE;
    PreparedEvent prepared;
    if (!prepare_event(*device, scripted, prepared)) return VEXASDK_ERR_EINVAL;
    call_prepared(lock, *device, prepared);
    return VEXASDK_SUCCESS;
}

VEXASDK_API uint64_t vexasdk_sim_mon_callbacks(uint32_t index) {
    return sim_counter(index, [](const DeviceModel& device) { return device.mon.callbacks; });
}
