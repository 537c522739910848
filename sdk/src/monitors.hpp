// Monitor delivery shared by the SDK functions and the sim calls.
#pragma once

#include "model.hpp"

namespace vsim {

// Wakes monitor threads and those waiting for a delivery. Never destroyed:
// waiters may still be inside it while a device goes away.
std::condition_variable& monitor_cv();

MonitorModel* find_monitor(DeviceModel& device, uint32_t mon_id);

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
