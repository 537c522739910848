// Devices, contexts, open and close.
#include <pthread.h>

#include <cstring>
#include <unordered_map>

#include "calls.hpp"
#include "context_arena.hpp"
#include "model.hpp"
#include "monitors.hpp"

namespace vsim {
namespace {

// The open contexts and their devices. A closed one is unknown, like any
// address never handed out: the arena never hands its address out again.
std::unordered_map<const vexasdk_dev_ctx*, DeviceModel*>& contexts() {
    static auto* map = new std::unordered_map<const vexasdk_dev_ctx*, DeviceModel*>;
    return *map;
}

void copy_text(char* field, size_t width, const std::string& text) {
    memset(field, 0, width);
    memcpy(field, text.data(), std::min(text.size(), width - 1));
}

// A monitor of the default device, its nominal value the one it starts at.
MonitorModel monitor(uint32_t id, const char* name, uint32_t type, vexasdk_mon_range range, vexasdk_mon_value value,
                     double nominal, MonitorDrift drift, double step) {
    MonitorModel m;
    m.id = id;
    m.name = name;
    m.type = type;
    m.range = range;
    m.value = value;
    m.drift = drift;
    m.nominal = nominal;
    m.step = step;
    return m;
}

MonitorModel float_monitor(uint32_t id, const char* name, float lo, float hi, float value,
                           MonitorDrift drift = MonitorDrift::walk, double step = 0.0) {
    return monitor(id, name, VEXASDK_MON_FLOAT, {.f = {lo, hi}}, {.f = value}, value, drift, step);
}

MonitorModel int_monitor(uint32_t id, const char* name, uint32_t lo, uint32_t hi, uint32_t value,
                         MonitorDrift drift = MonitorDrift::walk, double step = 0.0) {
    return monitor(id, name, VEXASDK_MON_INT, {.i = {lo, hi}}, {.i = value}, value, drift, step);
}

}  // namespace

namespace {

// A fork copies the state but only the forking thread: the locks are held
// across it, so that the child's copy is consistent, and the child lets go
// of the threads that stayed in the parent.
void before_fork() {
    calls_mutex().lock();
    world().mu.lock();
}

void after_fork_in_parent() {
    world().mu.unlock();
    calls_mutex().unlock();
}

void after_fork_in_child() {
    for (auto& device : world().devices) {
        forget_delivery_threads_after_fork(*device);
        forget_monitor_thread_after_fork(*device);
    }
    after_fork_in_parent();
}

}  // namespace

void left_behind_by_fork(const void* object) {
    static auto* kept = new std::vector<const void*>;  // reachable: nothing here is lost, only set aside
    kept->push_back(object);
}

World& world() {
    // Never destroyed: SDK threads may outlive static destruction.
    static World* instance = [] {
        auto* made = new World;
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return made;
    }();
    return *instance;
}

ChipModel make_default_chip(uint32_t device, uint32_t index) {
    ChipModel chip;
    std::string name = "VX3-" + std::to_string(1001 + device) + "-C" + std::to_string(index);
    copy_text(chip.info.name, sizeof chip.info.name, name);
    for (uint32_t mode = VEXASDK_EVCOUNT_8_BIT; mode <= VEXASDK_ITOT_IMG; ++mode) chip.info.supported_modes |= 1u << mode;
    chip.info.supported_polarities = (1u << VEXASDK_POL_HOLES_COLLECT) | (1u << VEXASDK_POL_ELECTRONS_COLLECT);
    // Chips differ a little in calibration, as real ones do.
    float spread = static_cast<float>(index % 4);
    chip.kev_per_raw = 0.05f + 0.001f * spread;
    chip.raw_offset = 100.0f + 3.0f * spread;
    chip.info.min_raw = 0;
    chip.info.max_raw = 4095;
    chip.info.min_kev = 2.5f;
    chip.info.max_kev = (4095.0f - chip.raw_offset) * chip.kev_per_raw;
    chip.info.noise_kev = 0.6f + 0.05f * spread;
    chip.info.is_calibrated = true;
    chip.info.width = 256;
    chip.info.height = 256;
    chip.thld_raw = static_cast<uint32_t>(chip.raw_offset + 5.0f / chip.kev_per_raw);
    chip.mask.assign(256 * 256, 1);
    return chip;
}

std::unique_ptr<DeviceModel> make_default_device(uint32_t index) {
    auto d = std::make_unique<DeviceModel>();
    d->index = index;
    copy_text(d->enum_info.serial, sizeof d->enum_info.serial, "VX3-" + std::to_string(1001 + index));
    copy_text(d->enum_info.product, sizeof d->enum_info.product, "Virtual Timepix3 quad detector");
    copy_text(d->enum_info.connection_string, sizeof d->enum_info.connection_string,
              "virtual:" + std::to_string(index));
    copy_text(d->enum_info.instance_path, sizeof d->enum_info.instance_path,
              "/sys/bus/virtual/vexa/" + std::to_string(index));

    for (uint32_t c = 0; c < 4; ++c) d->chips.push_back(make_default_chip(index, c));

    // Values drift only while the monitor thread fires events (vexasdk_sim_mon_set_rate).
    d->monitors.push_back(float_monitor(0x100, "Chip 0 temperature", -40.0f, 125.0f, 41.5f, MonitorDrift::walk, 0.05));
    d->monitors.push_back(float_monitor(0x101, "Chip 1 temperature", -40.0f, 125.0f, 42.0f, MonitorDrift::walk, 0.05));
    d->monitors.push_back(float_monitor(0x102, "Board temperature", -40.0f, 125.0f, 35.2f, MonitorDrift::walk, 0.02));
    // Microamperes: a small dark current plus leakage growing with the bias.
    d->monitors.push_back(
        float_monitor(0x200, "Bias current", 0.0f, 100.0f, 0.0f, MonitorDrift::bias_leakage, 0.015));
    d->monitors.back().nominal = 0.05;
    d->monitors.push_back(float_monitor(0x300, "VDD supply voltage", 1.0f, 1.6f, 1.5f, MonitorDrift::walk, 0.001));
    d->monitors.push_back(float_monitor(0x301, "VDDA supply voltage", 1.0f, 1.6f, 1.5f, MonitorDrift::walk, 0.001));
    d->monitors.push_back(int_monitor(0x400, "Fan speed", 0, 12000, 4200, MonitorDrift::walk, 15.0));
    d->monitors.push_back(int_monitor(0x401, "Readout error count", 0, 4294967295u, 0, MonitorDrift::counter));

    d->biases.push_back(BiasModel{});
    d->units.resize(2);
    return d;
}

DeviceModel* find_device(const vexasdk_dev_ctx* ctx) {
    auto it = contexts().find(ctx);
    return it == contexts().end() ? nullptr : it->second;
}

DeviceModel* sim_device(uint32_t index) {
    auto& devices = world().devices;
    if (!world().populated) {
        // First use: the box as it comes.
        devices.push_back(make_default_device(0));
        world().populated = true;
    }
    return index < devices.size() ? devices[index].get() : nullptr;
}

void close_contexts(std::vector<vexasdk_dev_ctx*> victims) {
    {
        // Before anything stops: a start or registration slipping in between
        // would outlive the close.
        std::lock_guard<std::mutex> lock(world().mu);
        for (vexasdk_dev_ctx* ctx : victims)
            if (find_device(ctx) != nullptr) world().closing.insert(ctx);
    }
    for (vexasdk_dev_ctx* ctx : victims) stop_acquisition(ctx);
    for (vexasdk_dev_ctx* ctx : victims) end_monitor_delivery(ctx);
    std::vector<std::thread> retired;
    {
        std::lock_guard<std::mutex> lock(world().mu);
        for (vexasdk_dev_ctx* ctx : victims) {
            world().closing.erase(ctx);
            DeviceModel* device = find_device(ctx);
            if (device == nullptr) continue;
            std::erase(device->contexts, ctx);
            contexts().erase(ctx);
            retire_context(ctx);
            if (device->contexts.empty()) retired.push_back(retire_monitor_thread(*device));
        }
    }
    for (auto& thread : retired) {
        // Callers refuse to close from an SDK thread, so this is never the thread itself.
        if (thread.joinable()) thread.join();
    }
}

}  // namespace vsim

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_dev_open(const char* connection_string, vexasdk_dev_ctx** ctx) {
    VSIM_ENTER(arg("connection_string", connection_string), arg("ctx", ctx));
    if (connection_string == nullptr || ctx == nullptr) return VEXASDK_ERR_EFAULT;
    std::lock_guard<std::mutex> lock(world().mu);
    sim_device(0);
    for (auto& device : world().devices) {
        const auto& field = device->enum_info.connection_string;
        if (strncmp(field, connection_string, sizeof field) != 0 || strlen(connection_string) >= sizeof field) continue;
        vexasdk_dev_ctx* opened = new_context();
        if (opened == nullptr) return VEXASDK_ERR_ENOMEM;
        memcpy(opened->context, "vexa-virtual", 12);
        contexts()[opened] = device.get();
        device->contexts.push_back(opened);
        ensure_monitor_thread(*device);  // a rate set while the device was closed applies now
        *ctx = opened;
        return VEXASDK_SUCCESS;
    }
    return VEXASDK_ERR_ENODEV;
}

VEXASDK_API vexasdk_err_code vexasdk_dev_close(vexasdk_dev_ctx* ctx) {
    VSIM_ENTER(arg("ctx", ctx));
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    {
        std::lock_guard<std::mutex> lock(world().mu);
        if (find_device(ctx) == nullptr) return VEXASDK_ERR_ENODEV;
        // Closing waits for deliveries to end; an SDK thread could wait for itself.
        if (is_sdk_thread()) return VEXASDK_ERR_BAD_STATE;
    }
    close_contexts({ctx});
    return VEXASDK_SUCCESS;
}
