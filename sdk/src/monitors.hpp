// Monitor delivery shared by the SDK functions and the sim calls.
#pragma once

#include "model.hpp"

namespace vsim {

// Wakes monitor threads and those waiting for a delivery. Never destroyed:
// waiters may still be inside it while a device goes away.
std::condition_variable& monitor_cv();

MonitorModel* find_monitor(DeviceModel& device, uint32_t mon_id);

namespace detail {

// `fn(device, monitor)` for monitor `mon_id` of the device; EINVAL when it has none.
template <class Fn>
auto on_monitor(uint32_t mon_id, Fn& fn) {
    return [mon_id, &fn](DeviceModel& device) -> int32_t {
        MonitorModel* m = find_monitor(device, mon_id);
        if (m == nullptr) return VEXASDK_ERR_EINVAL;
        fn(device, *m);
        return VEXASDK_SUCCESS;
    };
}

}  // namespace detail

// Runs `fn(device, monitor)` under the world lock for monitor `mon_id` of the
// device behind `ctx`: the answers of with_device, and EINVAL for a monitor
// the device does not have.
template <class Fn>
vexasdk_err_code with_monitor(const vexasdk_dev_ctx* ctx, uint32_t mon_id, Fn&& fn) {
    return with_device(ctx, detail::on_monitor(mon_id, fn));
}

// with_monitor for sim device `index`.
template <class Fn>
vexasdk_err_code with_sim_monitor(uint32_t index, uint32_t mon_id, Fn&& fn) {
    return with_sim_device(index, detail::on_monitor(mon_id, fn));
}

// Everything one callback call needs, copied out of the model and the script
// under the world lock, so that the call itself runs without it.
struct PreparedEvent {
    uint32_t mon_id = 0;
    MonitorEventKind kind = MonitorEventKind::value;
    std::string name;
    bool null_name = false;
    bool null_info = false;
    bool null_flags = false;
    uint32_t type = 0;
    vexasdk_mon_range range{};
    vexasdk_mon_value value{};
    vexasdk_mon_flags flags{};
    bool is_available = false;
    uint32_t timestamp = 0;
    vexasdk_mon_on_avail_changed_fn avail_fn = nullptr;
    vexasdk_mon_on_value_changed_fn value_fn = nullptr;
    void* user_data = nullptr;
    const vexasdk_dev_ctx* owner = nullptr;
};

// Fills `out` for `event`; false when the device has no such monitor. Caller
// holds the world lock.
bool prepare_event(DeviceModel& device, const ScriptedMonitorEvent& event, PreparedEvent& out);

// Calls the registered callback, if any, with the world lock released
// meanwhile; `lock` is held on entry and on return, and `device` stays valid
// because closing waits for calls in flight.
void call_prepared(std::unique_lock<std::mutex>& lock, DeviceModel& device, const PreparedEvent& event);

// Starts the device's monitor thread when there is something to deliver and a
// context is open. Caller holds the world lock.
int32_t ensure_monitor_thread(DeviceModel& device);

}  // namespace vsim
