// Monitors: descriptions, values, callback registration, and the per-device
// thread that delivers monitor events.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "calls.hpp"
#include "generate.hpp"
#include "monitors.hpp"

namespace vsim {
namespace {

using Clock = std::chrono::steady_clock;

// Devices whose monitor callback this thread is inside of, innermost last.
thread_local std::vector<const DeviceModel*> tl_calling;
// Set on the monitor threads, which are the SDK's own.
thread_local bool tl_monitor_thread = false;

double gauss(Rng& rng) {
    double u1 = 1.0 - rng.uniform();  // (0, 1]
    double u2 = rng.uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

uint32_t millis_since(Clock::time_point epoch) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));  // wraps, as a device counter does
}

bool is_float(const MonitorModel& m) { return m.type == VEXASDK_MON_FLOAT; }

// Moves the monitor's value one event further along its drift.
void drift(const DeviceModel& device, MonitorModel& m, Rng& rng) {
    bool real = is_float(m);
    double v = real ? static_cast<double>(m.value.f) : static_cast<double>(m.value.i);
    switch (m.drift) {
        case MonitorDrift::steady:
            return;
        case MonitorDrift::walk:
            v += m.step * gauss(rng) - 0.05 * (v - m.nominal);
            break;
        case MonitorDrift::bias_leakage: {
            double volts = device.biases.empty() ? 0.0 : std::fabs(static_cast<double>(device.biases[0].actual));
            v = m.nominal + m.step * volts * (1.0 + 0.01 * gauss(rng)) + 0.002 * gauss(rng);
            break;
        }
        case MonitorDrift::counter:
            if (rng.uniform() < 0.05) v += 1.0;
            break;
    }
    double lo = real ? m.range.f.min : m.range.i.min;
    double hi = real ? m.range.f.max : m.range.i.max;
    if (lo <= hi) v = std::min(std::max(v, lo), hi);
    if (real) {
        if (!std::isnan(v)) v = std::min(std::max(v, -static_cast<double>(FLT_MAX)), static_cast<double>(FLT_MAX));
        m.value.f = static_cast<float>(v);
    } else {
        v = std::isnan(v) ? 0.0 : std::min(std::max(std::round(v), 0.0), 4294967295.0);
        m.value.i = static_cast<uint32_t>(v);
    }
}

// An event the device makes up: mostly a drifted value, now and then a monitor
// dropping out, which comes back the next time it is picked.
bool make_own_event(DeviceModel& device, Rng& rng, PreparedEvent& out) {
    if (device.monitors.empty()) return false;
    MonitorModel& m = device.monitors[rng.below(static_cast<uint32_t>(device.monitors.size()))];
    ScriptedMonitorEvent event;
    event.given.mon_id = m.id;
    if (!m.available) {
        m.available = true;
        event.given.kind = VEXASDK_SIM_MON_AVAIL_CHANGED;
    } else if (rng.uniform() < 0.01) {
        m.available = false;
        event.given.kind = VEXASDK_SIM_MON_AVAIL_CHANGED;
    } else {
        drift(device, m, rng);
        event.given.kind = VEXASDK_SIM_MON_VALUE_CHANGED;
    }
    return prepare_event(device, event, out);
}

void monitor_loop(DeviceModel* device, uint64_t generation, uint64_t seed) {
    tl_monitor_thread = true;
    Rng rng{seed};
    std::unique_lock<std::mutex> lock(world().mu);
    Clock::time_point next = Clock::now();
    while (device->mon.generation == generation) {
        Monitoring& mon = device->mon;
        if (!mon.queue.empty()) {
            ScriptedMonitorEvent event = std::move(mon.queue.front());
            mon.queue.pop_front();
            PreparedEvent prepared;
            if (prepare_event(*device, event, prepared)) call_prepared(lock, *device, prepared);
            ++device->mon.finished;
            monitor_cv().notify_all();
            continue;
        }
        if (mon.events_per_second > 0) {
            Clock::time_point now = Clock::now();
            if (now < next) {
                monitor_cv().wait_until(lock, next);
                continue;
            }
            auto period = std::chrono::duration<double>(1.0 / mon.events_per_second);
            // After a stall, catch up with at most a tenth of a second of events.
            next = std::max(next, now - std::chrono::milliseconds(100)) +
                   std::chrono::duration_cast<Clock::duration>(period);
            PreparedEvent prepared;
            if (make_own_event(*device, rng, prepared)) call_prepared(lock, *device, prepared);
            continue;
        }
        monitor_cv().wait(lock);
    }
}

bool calls_running(const DeviceModel& device, std::thread::id self, uint32_t mon_id, MonitorEventKind kind) {
    return std::any_of(device.mon.in_flight.begin(), device.mon.in_flight.end(), [&](const MonitorCall& call) {
        return call.thread != self && call.mon_id == mon_id && call.kind == kind;
    });
}

bool calls_running(const DeviceModel& device, std::thread::id self, const vexasdk_dev_ctx* owner) {
    return std::any_of(device.mon.in_flight.begin(), device.mon.in_flight.end(),
                       [&](const MonitorCall& call) { return call.thread != self && call.owner == owner; });
}

template <class Fn>
vexasdk_err_code register_callback(vexasdk_dev_ctx* ctx, uint32_t mon_id, MonitorEventKind kind, Fn fn,
                                   void* user_data) {
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = find_device(ctx);
    // A context being closed has had its callbacks removed already.
    if (device == nullptr || world().closing.contains(ctx)) return VEXASDK_ERR_ENODEV;
    MonitorModel* m = find_monitor(*device, mon_id);
    if (m == nullptr || fn == nullptr) return VEXASDK_ERR_EINVAL;
    auto self = std::this_thread::get_id();
    // Below, the caller waits for a running call of the callback it replaces.
    // On an SDK thread that call might be waiting for this one in turn (two
    // devices' callbacks registering with each other): refuse instead.
    if (is_sdk_thread() && calls_running(*device, self, mon_id, kind)) return VEXASDK_ERR_EBUSY;
    if constexpr (std::is_same_v<Fn, vexasdk_mon_on_avail_changed_fn>) {
        m->avail_fn = fn;
        m->avail_user_data = user_data;
        m->avail_owner = ctx;
    } else {
        m->value_fn = fn;
        m->value_user_data = user_data;
        m->value_owner = ctx;
    }
    ensure_monitor_thread(*device);
    // The replaced callback may be running right now. Once this returns, its
    // user data is the caller's to free, so wait for it (unless it is the
    // caller: a callback registering its successor).
    monitor_cv().wait(lock, [&] {
        DeviceModel* now = find_device(ctx);
        return now != device || !calls_running(*now, self, mon_id, kind);
    });
    return find_device(ctx) == device ? VEXASDK_SUCCESS : VEXASDK_ERR_ENODEV;
}

}  // namespace

std::condition_variable* monitor_cv_now = new std::condition_variable;

std::condition_variable& monitor_cv() { return *monitor_cv_now; }

MonitorModel* find_monitor(DeviceModel& device, uint32_t mon_id) {
    for (MonitorModel& m : device.monitors)
        if (m.id == mon_id) return &m;
    return nullptr;
}

bool prepare_event(DeviceModel& device, const ScriptedMonitorEvent& event, PreparedEvent& out) {
    const vexasdk_sim_mon_event& given = event.given;
    MonitorModel* m = find_monitor(device, given.mon_id);
    if (m == nullptr) return false;
    uint32_t fields = given.fields;
    out.mon_id = m->id;
    out.kind = static_cast<MonitorEventKind>(given.kind);
    if (fields & VEXASDK_SIM_MON_NAME) {
        out.name = event.name;
        out.null_name = event.null_name;
    } else {
        out.name = m->name;
        out.null_name = m->null_name;
    }
    out.type = (fields & VEXASDK_SIM_MON_TYPE) ? given.type : m->type;
    out.range = (fields & VEXASDK_SIM_MON_RANGE) ? given.range : m->range;
    out.value = (fields & VEXASDK_SIM_MON_VALUE) ? given.value : m->value;
    out.flags = (fields & VEXASDK_SIM_MON_FLAGS) ? given.flags : vexasdk_mon_flags{m->warning, m->error, m->available};
    out.is_available = out.flags.is_available;
    out.timestamp = (fields & VEXASDK_SIM_MON_TIMESTAMP) ? given.timestamp : millis_since(device.mon.epoch);
    out.null_info = fields & VEXASDK_SIM_MON_NULL_INFO;
    out.null_flags = fields & VEXASDK_SIM_MON_NULL_FLAGS;
    if (out.kind == MonitorEventKind::avail) {
        out.avail_fn = m->avail_fn;
        out.user_data = m->avail_user_data;
        out.owner = m->avail_owner;
    } else {
        out.value_fn = m->value_fn;
        out.user_data = m->value_user_data;
        out.owner = m->value_owner;
    }
    return true;
}

void call_prepared(std::unique_lock<std::mutex>& lock, DeviceModel& device, const PreparedEvent& event) {
    if (event.avail_fn == nullptr && event.value_fn == nullptr) return;
    auto self = std::this_thread::get_id();
    device.mon.in_flight.push_back({event.mon_id, event.kind, event.owner, self});
    lock.unlock();

    vexasdk_mon_info info{};
    info.name = event.null_name ? nullptr : event.name.c_str();
    // Raw, so that any value the harness scripted reaches the callback.
    memcpy(&info.type, &event.type, sizeof info.type);
    info.range = event.range;
    vexasdk_mon_flags flags = event.flags;
    tl_calling.push_back(&device);
    if (event.kind == MonitorEventKind::avail) {
        vexasdk_mon_on_avail_changed_args args{};
        args.info = event.null_info ? nullptr : &info;
        args.is_available = event.is_available;
        args.timestamp = event.timestamp;
        event.avail_fn(&args, event.user_data);
    } else {
        vexasdk_mon_on_value_changed_args args{};
        args.info = event.null_info ? nullptr : &info;
        args.flags = event.null_flags ? nullptr : &flags;
        args.value = event.value;
        args.timestamp = event.timestamp;
        event.value_fn(&args, event.user_data);
    }
    tl_calling.pop_back();

    lock.lock();
    auto& in_flight = device.mon.in_flight;
    for (auto it = in_flight.end(); it != in_flight.begin();) {
        --it;
        if (it->thread == self && it->mon_id == event.mon_id && it->kind == event.kind) {
            in_flight.erase(it);
            break;
        }
    }
    ++device.mon.callbacks;
    monitor_cv().notify_all();
}

int32_t ensure_monitor_thread(DeviceModel& device) {
    Monitoring& mon = device.mon;
    if (mon.thread.joinable() || device.contexts.empty()) return VEXASDK_SUCCESS;
    if (mon.events_per_second <= 0 && mon.queue.empty()) return VEXASDK_SUCCESS;
    uint64_t seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) ^ (uint64_t{device.index} << 48);
    try {
        mon.thread = std::thread(monitor_loop, &device, mon.generation, seed);
    } catch (const std::system_error&) {
        return VEXASDK_ERR_ENOMEM;
    }
    return VEXASDK_SUCCESS;
}

void end_monitor_delivery(const vexasdk_dev_ctx* ctx) {
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = find_device(ctx);
    if (device == nullptr) return;
    for (MonitorModel& m : device->monitors) {
        if (m.avail_owner == ctx) {
            m.avail_fn = nullptr;
            m.avail_user_data = nullptr;
            m.avail_owner = nullptr;
        }
        if (m.value_owner == ctx) {
            m.value_fn = nullptr;
            m.value_user_data = nullptr;
            m.value_owner = nullptr;
        }
    }
    auto self = std::this_thread::get_id();
    monitor_cv().wait(lock, [&] {
        DeviceModel* now = find_device(ctx);
        return now != device || !calls_running(*now, self, ctx);
    });
}

std::thread retire_monitor_thread(DeviceModel& device) {
    Monitoring& mon = device.mon;
    ++mon.generation;
    // Nobody is left to receive what was still queued.
    mon.finished += mon.queue.size();
    mon.queue.clear();
    monitor_cv().notify_all();
    return std::move(mon.thread);
}

void forget_monitor_thread_after_fork(DeviceModel& device) {
    Monitoring& mon = device.mon;
    left_behind_by_fork(new std::thread(std::move(mon.thread)));  // the parent's: never joined
    ++mon.generation;
    mon.in_flight.clear();
    left_behind_by_fork(monitor_cv_now);  // whoever waited on it was in the parent
    monitor_cv_now = new std::condition_variable;
}

bool is_sdk_thread() { return tl_monitor_thread || is_delivery_thread(); }

bool is_monitor_thread_of(const DeviceModel& device) {
    return std::find(tl_calling.begin(), tl_calling.end(), &device) != tl_calling.end();
}

}  // namespace vsim

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_mon_get_ids(vexasdk_dev_ctx* ctx, uint32_t* ids, size_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("ids", ids), arg("count", count ? *count : size_t{0}));
    if (count == nullptr || (ids == nullptr && *count != 0)) return VEXASDK_ERR_EFAULT;
    return with_device(ctx, [&](DeviceModel& device) -> int32_t {
        size_t n = std::min(*count, device.monitors.size());
        for (size_t i = 0; i < n; ++i) ids[i] = device.monitors[i].id;
        *count = device.monitors.size();
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_mon_get_info(vexasdk_dev_ctx* ctx, uint32_t mon_id, vexasdk_mon_info* info) {
    VSIM_ENTER(arg("ctx", ctx), arg("mon_id", mon_id), arg("info", info));
    if (info == nullptr) return VEXASDK_ERR_EFAULT;
    return with_monitor(ctx, mon_id, [&](DeviceModel& device, const MonitorModel& m) {
        const char* name = nullptr;
        if (!m.null_name) {
            auto& names = device.mon.published_names;
            auto it = std::find_if(names.begin(), names.end(), [&](const auto& s) { return *s == m.name; });
            if (it == names.end()) {
                names.push_back(std::make_unique<std::string>(m.name));
                it = names.end() - 1;
            }
            name = (*it)->c_str();
        }
        *info = vexasdk_mon_info{};
        info->name = name;
        memcpy(&info->type, &m.type, sizeof info->type);
        info->range = m.range;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_mon_get_value(vexasdk_dev_ctx* ctx, uint32_t mon_id, vexasdk_mon_value* value) {
    VSIM_ENTER(arg("ctx", ctx), arg("mon_id", mon_id), arg("value", value));
    if (value == nullptr) return VEXASDK_ERR_EFAULT;
    return with_monitor(ctx, mon_id, [&](DeviceModel&, const MonitorModel& m) { *value = m.value; });
}

VEXASDK_API vexasdk_err_code vexasdk_mon_set_avail_changed_cb(vexasdk_dev_ctx* ctx, uint32_t mon_id,
                                                              vexasdk_mon_on_avail_changed_fn fn, void* user_data) {
    VSIM_ENTER(arg("ctx", ctx), arg("mon_id", mon_id), arg("fn", reinterpret_cast<void*>(fn)),
               arg("user_data", user_data));
    return register_callback(ctx, mon_id, MonitorEventKind::avail, fn, user_data);
}

VEXASDK_API vexasdk_err_code vexasdk_mon_set_value_changed_cb(vexasdk_dev_ctx* ctx, uint32_t mon_id,
                                                              vexasdk_mon_on_value_changed_fn fn, void* user_data) {
    VSIM_ENTER(arg("ctx", ctx), arg("mon_id", mon_id), arg("fn", reinterpret_cast<void*>(fn)),
               arg("user_data", user_data));
    return register_callback(ctx, mon_id, MonitorEventKind::value, fn, user_data);
}
