// The acquisition engine: delivery threads, fetch calls and triggers.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "calls.hpp"
#include "generate.hpp"
#include "model.hpp"

namespace vsim {
namespace {

using Clock = std::chrono::steady_clock;

// What the callback running on this thread may fetch.
thread_local const vexasdk_dev_ctx* tl_ctx = nullptr;
thread_local Block* tl_block = nullptr;
// The device whose delivery thread this is, if any: such a thread must not
// wait for its own acquisition to end.
thread_local const DeviceModel* tl_delivering = nullptr;

std::condition_variable* ended_cv_now = new std::condition_variable;

std::condition_variable& ended_cv() { return *ended_cv_now; }

// The detector clock counts 1.5625 ns ticks of the wall clock.
uint64_t ticks_at(Clock::time_point t) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() /
                                 1.5625);
}

// Longer waits than this are for ever, as far as anyone waiting can tell.
constexpr double kFarFuture = 1e8;  // seconds
// Software triggers waiting for their block, at most.
constexpr size_t kMaxPendingTriggers = size_t{1} << 20;

Clock::time_point after(Clock::time_point from, double seconds) {
    auto wait = std::chrono::duration<double>(std::min(seconds, kFarFuture));
    return from + std::chrono::duration_cast<Clock::duration>(wait);
}

// Waits until the block covering `window` is due; false when the acquisition
// was stopped meanwhile. Called with `lock` held; releases it while waiting.
bool pace(std::unique_lock<std::mutex>& lock, Acquisition& acq, const Window& window) {
    Clock::time_point due;
    if (acq.plan.real_time) {
        // A block is complete once the detector time it covers has passed.
        due = after(acq.wall_start, static_cast<double>(window.end) * 1.5625e-9);
    } else if (acq.plan.period > 0) {
        // Threads share one schedule: each takes the next slot.
        due = acq.next_slot;
        acq.next_slot = after(acq.next_slot, acq.plan.period);
    } else {
        return !acq.stop;
    }
    ended_cv().wait_until(lock, due, [&] { return acq.stop.load(); });
    return !acq.stop;
}

bool takes_triggers(const Acquisition& acq) {
    return acq.plan.generating && (acq.chip_mode == VEXASDK_TOA_TOT_DD || acq.chip_mode == VEXASDK_TOA_TOT_DD_SORTED);
}

// What block `index`, covering `window`, is made of: the device's state now,
// the software triggers of its detector time (all that wait, for the last
// block), and `truth` for its particles when the harness records them.
// Caller holds the world lock.
GenerateSpec take_spec(DeviceModel& device, uint64_t index, const Window& window,
                       std::vector<vexasdk_sim_truth>& truth) {
    Acquisition& acq = device.acq;
    bool last = index + 1 == acq.plan.blocks;
    GenerateSpec spec;
    spec.index = index;
    truth.clear();
    if (device.truth.on) spec.truth = &truth;
    spec.chip_mode = acq.chip_mode;
    spec.shutter_start = acq.shutter_start;
    spec.window = window;
    spec.particles_per_tick = acq.plan.particles_per_tick;
    spec.params = acq.params;
    spec.sensor = Sensor::of(device);
    spec.stop = &acq.stop;
    std::vector<uint64_t>& pending = acq.pending_triggers;
    auto taken = last ? pending.end()
                      : std::upper_bound(pending.begin(), pending.end(), add_ticks(acq.shutter_start, window.end));
    spec.triggers.assign(pending.begin(), taken);
    pending.erase(pending.begin(), taken);
    acq.reached = std::max(acq.reached, window.end);
    return spec;
}

void delivery_loop(DeviceModel* device, vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback, void* user_data,
                   uint64_t seed) {
    tl_delivering = device;
    Acquisition& acq = device->acq;
    // Also when a callback ends the thread with a forced unwind (as an
    // interpreter that is finalising does to a thread that asks for its lock):
    // the acquisition must still see this thread go.
    struct Leaving {
        Acquisition& acq;
        ~Leaving() {
            tl_delivering = nullptr;
            std::lock_guard<std::mutex> lock(world().mu);
            if (--acq.threads_running == 0 && acq.state == AcqState::running) acq.state = AcqState::ended;
            ended_cv().notify_all();
        }
    } leaving{acq};
    Rng rng{seed};
    std::vector<vexasdk_sim_truth> truth;  // of the block being made
    for (;;) {
        std::shared_ptr<Block> block;
        GenerateSpec spec;
        {
            std::unique_lock<std::mutex> lock(world().mu);
            if (acq.stop) break;
            if (!acq.queue.empty()) {
                block = std::move(acq.queue.front());
                acq.queue.pop_front();
            } else if (acq.plan.generating && acq.generated < acq.plan.blocks) {
                uint64_t index = acq.generated++;
                Window window = window_of(acq.plan, index);
                if (!pace(lock, acq, window)) break;
                spec = take_spec(*device, index, window, truth);
            } else {
                break;
            }
        }
        if (!block) {
            try {
                block = generate_block(spec, rng);
            } catch (const std::bad_alloc&) {
                break;  // no memory for the block: this thread delivers no more
            }
            // Null: the mode delivers nothing processed, or the acquisition was
            // stopped while the block was being made.
            if (!block || acq.stop) break;
            if (spec.truth != nullptr && !truth.empty()) {
                std::lock_guard<std::mutex> lock(world().mu);
                device->truth.add(truth);
            }
        }
        run_block(ctx, callback, user_data, *block);
        ++acq.delivered;
        if (!block->scribble_after) {
            // As an SDK's ring of DMA buffers: handed over, not given back to
            // the system (until the queue is cleared).
            std::lock_guard<std::mutex> lock(world().mu);
            try {
                acq.spent.push_back(std::move(block));
            } catch (const std::bad_alloc&) {
            }
        }
    }
}

// Joins the delivery threads and waits until none runs. Never called on an
// SDK thread (callers refuse), so no thread waits for itself. Called and
// returns with `lock` held; releases it meanwhile.
void join_delivery(std::unique_lock<std::mutex>& lock, Acquisition& acq) {
    std::vector<std::thread> threads = std::move(acq.threads);
    acq.threads.clear();
    lock.unlock();
    for (auto& t : threads) t.join();
    lock.lock();
    ended_cv().wait(lock, [&] { return acq.threads_running == 0; });
}

uint32_t current_mode(const DeviceModel& device) {
    return device.chips.empty() ? device.mode : device.chips.front().mode;
}

// Takes the world lock into `lock` and finds the device whose acquisition
// `ctx` started and has not yet waited for; otherwise answers the call's
// failure: EFAULT, ENODEV, or BAD_STATE.
vexasdk_err_code own_acquisition(vexasdk_dev_ctx* ctx, std::unique_lock<std::mutex>& lock, DeviceModel*& device) {
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    lock = std::unique_lock<std::mutex>(world().mu);
    device = find_device(ctx);
    if (device == nullptr) return VEXASDK_ERR_ENODEV;
    if (device->acq.state == AcqState::idle || device->acq.owner != ctx) return VEXASDK_ERR_BAD_STATE;
    return VEXASDK_SUCCESS;
}

}  // namespace

void run_block(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback, void* user_data, Block& block) {
    tl_ctx = ctx;
    tl_block = &block;
    callback(ctx, user_data);
    tl_block = nullptr;
    tl_ctx = nullptr;
    if (block.deliveries_left.fetch_sub(1) == 1 && block.scribble_after) block.scribble();
}

const Block* current_block() { return tl_block; }

void stop_acquisition(vexasdk_dev_ctx* ctx) {
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = find_device(ctx);
    if (device == nullptr || device->acq.owner != ctx || device->acq.state == AcqState::idle) return;
    device->acq.stop = true;
    device->acq.queue.clear();
    ended_cv().notify_all();
    join_delivery(lock, device->acq);
    device->acq.state = AcqState::idle;
    device->acq.owner = nullptr;
}

void forget_delivery_threads_after_fork(DeviceModel& device) {
    Acquisition& acq = device.acq;
    // The parent's: never joined, never destroyed.
    for (std::thread& thread : acq.threads) left_behind_by_fork(new std::thread(std::move(thread)));
    acq.threads.clear();
    acq.threads_running = 0;
    acq.stop = true;
    acq.state = AcqState::idle;
    acq.owner = nullptr;
    left_behind_by_fork(ended_cv_now);  // whoever waited on it was in the parent
    ended_cv_now = new std::condition_variable;
}

bool is_delivery_thread_of(const DeviceModel& device) { return tl_delivering == &device; }

bool is_delivery_thread() { return tl_delivering != nullptr; }

}  // namespace vsim

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_acq_start(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback,
                                               vexasdk_acq_mode_flag mode, const vexasdk_acq_params* params,
                                               void* user_data) {
    VSIM_ENTER(arg("ctx", ctx), arg("callback", reinterpret_cast<void*>(callback)), arg("mode", mode),
               arg("width", params ? params->t3_binning.width : 0u),
               arg("height", params ? params->t3_binning.height : 0u),
               arg("dwell_time", params ? params->t3_binning.dwell_time : uint64_t{0}), arg("user_data", user_data));
    if (ctx == nullptr || params == nullptr) return VEXASDK_ERR_EFAULT;
    if (callback == nullptr) return VEXASDK_ERR_EINVAL;
    if (mode != VEXASDK_ACQ_MODE_PROCESSED && mode != VEXASDK_ACQ_MODE_RAW) return VEXASDK_ERR_EINVAL;
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = find_device(ctx);
    if (device == nullptr || world().closing.contains(ctx)) return VEXASDK_ERR_ENODEV;
    Acquisition& acq = device->acq;
    if (acq.state == AcqState::running) return VEXASDK_ERR_EBUSY;
    if (is_delivery_thread_of(*device)) return VEXASDK_ERR_BAD_STATE;
    if (acq.state == AcqState::ended) join_delivery(lock, acq);
    // The device may have been closed, or its closing begun, while the lock was released.
    if (find_device(ctx) != device || world().closing.contains(ctx)) return VEXASDK_ERR_ENODEV;
    // Chips without power take no data.
    for (const UnitModel& unit : device->units)
        if (!unit.powered) return VEXASDK_ERR_BAD_STATE;
    acq.state = AcqState::running;
    acq.stop = false;
    acq.owner = ctx;
    acq.params = *params;
    acq.chip_mode = current_mode(*device);
    acq.plan = plan_acquisition(acq.generator, acq.chip_mode, *params, acq.queue.empty());
    acq.generated = 0;
    acq.reached = 0;
    acq.pending_triggers.clear();
    device->truth.clear();
    acq.wall_start = Clock::now();
    acq.next_slot = acq.wall_start;
    acq.shutter_start = ticks_at(acq.wall_start);
    acq.threads_running = acq.threads_wanted;
    auto seed = acq.seeded ? acq.seed : static_cast<uint64_t>(acq.wall_start.time_since_epoch().count());
    uint32_t started = 0;
    try {
        for (; started < acq.threads_wanted; ++started)
            acq.threads.emplace_back(delivery_loop, device, ctx, callback, user_data, seed + started);
    } catch (const std::exception&) {
        // Out of threads: those that started deliver everything.
        acq.threads_running -= acq.threads_wanted - started;
        if (started == 0) {
            acq.state = AcqState::idle;
            acq.owner = nullptr;
            return VEXASDK_ERR_ENOMEM;
        }
    }
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_acq_await_end(vexasdk_dev_ctx* ctx) {
    VSIM_ENTER(arg("ctx", ctx));
    std::unique_lock<std::mutex> lock;
    DeviceModel* device = nullptr;
    if (vexasdk_err_code rc = own_acquisition(ctx, lock, device)) return rc;
    Acquisition& acq = device->acq;
    if (is_sdk_thread()) return VEXASDK_ERR_BAD_STATE;
    join_delivery(lock, acq);
    if (find_device(ctx) != device) return VEXASDK_ERR_ENODEV;
    acq.state = AcqState::idle;
    acq.owner = nullptr;
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_acq_abort(vexasdk_dev_ctx* ctx) {
    VSIM_ENTER(arg("ctx", ctx));
    std::unique_lock<std::mutex> lock;
    DeviceModel* device = nullptr;
    if (vexasdk_err_code rc = own_acquisition(ctx, lock, device)) return rc;
    Acquisition& acq = device->acq;
    acq.stop = true;
    acq.queue.clear();
    ended_cv().notify_all();
    // From inside a callback the thread cannot wait for itself, nor another
    // SDK thread for a delivery; the acquisition ends once its callbacks return.
    if (is_sdk_thread()) return VEXASDK_SUCCESS;
    join_delivery(lock, acq);
    if (find_device(ctx) == device && acq.state == AcqState::running) acq.state = AcqState::ended;
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_trigger_now(vexasdk_dev_ctx* ctx) {
    VSIM_ENTER(arg("ctx", ctx));
    return with_device(ctx, [&](DeviceModel& device) -> int32_t {
        Acquisition& acq = device.acq;
        if (acq.state != AcqState::running) return VEXASDK_ERR_BAD_STATE;
        ++acq.triggers;
        if (takes_triggers(acq) && acq.pending_triggers.size() < kMaxPendingTriggers) {
            // Without real time, "now" is as far as the generated data has got.
            uint64_t at = acq.plan.real_time ? std::max(acq.shutter_start, ticks_at(Clock::now()))
                                             : add_ticks(acq.shutter_start, acq.reached);
            acq.pending_triggers.push_back(at);
        }
        return VEXASDK_SUCCESS;
    });
}

namespace {

// Runs `answer(block)` for the block the calling callback was called for.
template <class Answer>
vexasdk_err_code fetch(const vexasdk_dev_ctx* ctx, BlockKind kind, Answer&& answer) {
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    if (tl_block == nullptr || tl_ctx != ctx || tl_block->kind != kind) return VEXASDK_ERR_BAD_STATE;
    if (tl_block->fetch_rc != VEXASDK_SUCCESS) return static_cast<vexasdk_err_code>(tl_block->fetch_rc);
    answer(*tl_block);
    return VEXASDK_SUCCESS;
}

// Copies the block's record `Field` into `out`, for the fetch calls that
// answer one record.
template <auto Field, class Out>
vexasdk_err_code fetch_record(const vexasdk_dev_ctx* ctx, BlockKind kind, Out* out) {
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return fetch(ctx, kind, [&](const Block& block) { *out = block.*Field; });
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_evcount_packets(vexasdk_dev_ctx* ctx,
                                                                     const vexasdk_acq_t3_itot_evcount** packets,
                                                                     uint64_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("packets", packets), arg("count", count));
    if (packets == nullptr || count == nullptr) return VEXASDK_ERR_EFAULT;
    return fetch(ctx, BlockKind::itot_evcount, [&](const Block& block) {
        *packets = block.itot_packets;
        *count = block.itot_count;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_toa_tot_packets(vexasdk_dev_ctx* ctx,
                                                                vexasdk_acq_t3_acq_toa_tot* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("block", out));
    return fetch_record<&Block::toa_tot>(ctx, BlockKind::toa_tot, out);
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_evcount_bins(vexasdk_dev_ctx* ctx,
                                                                  vexasdk_t3_acq_itot_evcount_bins* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("block", out));
    return fetch_record<&Block::bins>(ctx, BlockKind::binned, out);
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_fragment(vexasdk_dev_ctx* ctx,
                                                              vexasdk_acq_t3_itot_fragment* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("fragment", out));
    return fetch_record<&Block::itot_fragment>(ctx, BlockKind::itot_fragment, out);
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_evcount_fragment(vexasdk_dev_ctx* ctx,
                                                                 vexasdk_acq_t3_evcount_fragment* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("fragment", out));
    return fetch_record<&Block::evcount_fragment>(ctx, BlockKind::evcount_fragment, out);
}
