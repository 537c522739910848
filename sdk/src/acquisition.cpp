// The acquisition engine: delivery threads, fetch calls, triggers, and the
// sim calls that script what an acquisition delivers.
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

void run_block(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback, void* user_data, Block& block) {
    tl_ctx = ctx;
    tl_block = &block;
    callback(ctx, user_data);
    tl_block = nullptr;
    tl_ctx = nullptr;
    if (block.deliveries_left.fetch_sub(1) == 1) block.scribble();
}

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

// What the block covering `window` is made of: the device's state now, and
// the software triggers of its detector time (all that wait, for the last
// block). Caller holds the world lock.
GenerateSpec take_spec(DeviceModel& device, const Window& window, bool last) {
    Acquisition& acq = device.acq;
    GenerateSpec spec;
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
                spec = take_spec(*device, window, index + 1 == acq.plan.blocks);
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
        }
        run_block(ctx, callback, user_data, *block);
        ++acq.delivered;
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

}  // namespace

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
    acq.wall_start = Clock::now();
    acq.next_slot = acq.wall_start;
    acq.shutter_start = ticks_at(acq.wall_start);
    acq.threads_running = acq.threads_wanted;
    auto seed = static_cast<uint64_t>(acq.wall_start.time_since_epoch().count());
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
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = find_device(ctx);
    if (device == nullptr) return VEXASDK_ERR_ENODEV;
    Acquisition& acq = device->acq;
    if (acq.state == AcqState::idle || acq.owner != ctx) return VEXASDK_ERR_BAD_STATE;
    if (is_sdk_thread()) return VEXASDK_ERR_BAD_STATE;
    join_delivery(lock, acq);
    if (find_device(ctx) != device) return VEXASDK_ERR_ENODEV;
    acq.state = AcqState::idle;
    acq.owner = nullptr;
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_acq_abort(vexasdk_dev_ctx* ctx) {
    VSIM_ENTER(arg("ctx", ctx));
    if (ctx == nullptr) return VEXASDK_ERR_EFAULT;
    std::unique_lock<std::mutex> lock(world().mu);
    DeviceModel* device = find_device(ctx);
    if (device == nullptr) return VEXASDK_ERR_ENODEV;
    Acquisition& acq = device->acq;
    if (acq.state == AcqState::idle || acq.owner != ctx) return VEXASDK_ERR_BAD_STATE;
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
    return static_cast<vexasdk_err_code>(with_device(ctx, [&](DeviceModel& device) -> int32_t {
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
    }));
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
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return fetch(ctx, BlockKind::toa_tot, [&](const Block& block) { *out = block.toa_tot; });
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_evcount_bins(vexasdk_dev_ctx* ctx,
                                                                  vexasdk_t3_acq_itot_evcount_bins* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("block", out));
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return fetch(ctx, BlockKind::binned, [&](const Block& block) { *out = block.bins; });
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_fragment(vexasdk_dev_ctx* ctx,
                                                              vexasdk_acq_t3_itot_fragment* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("fragment", out));
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return fetch(ctx, BlockKind::itot_fragment, [&](const Block& block) { *out = block.itot_fragment; });
}

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_evcount_fragment(vexasdk_dev_ctx* ctx,
                                                                 vexasdk_acq_t3_evcount_fragment* out) {
    VSIM_ENTER(arg("ctx", ctx), arg("fragment", out));
    if (out == nullptr) return VEXASDK_ERR_EFAULT;
    return fetch(ctx, BlockKind::evcount_fragment, [&](const Block& block) { *out = block.evcount_fragment; });
}

// ---- sim ----

VEXASDK_API vexasdk_err_code vexasdk_sim_set_delivery_threads(uint32_t index, uint32_t threads) {
    if (threads < 1 || threads > 64) return VEXASDK_ERR_EINVAL;
    return static_cast<vexasdk_err_code>(with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.threads_wanted = threads;
        return VEXASDK_SUCCESS;
    }));
}

namespace {

// The most memory one scripted block may copy.
constexpr uint64_t kBlockBytes = uint64_t{1} << 40;

// Adds the size of `count` records of `size` bytes to `bytes`; false once the
// block would exceed kBlockBytes.
bool add_bytes(uint64_t& bytes, uint64_t count, uint64_t size) {
    if (count > (kBlockBytes - bytes) / size) return false;
    bytes += count * size;
    return true;
}

// Builds a scripted block with `make()` and queues it on device `index`.
template <class Make>
vexasdk_err_code queue_block(uint32_t index, Make&& make) {
    std::shared_ptr<Block> block;
    try {
        block = make();
    } catch (const std::bad_alloc&) {
        return VEXASDK_ERR_ENOMEM;
    }
    return static_cast<vexasdk_err_code>(with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        try {
            device.acq.queue.push_back(std::move(block));
        } catch (const std::bad_alloc&) {
            return VEXASDK_ERR_ENOMEM;
        }
        return VEXASDK_SUCCESS;
    }));
}

// Queue entries that replays may make, at most.
constexpr uint64_t kMaxQueueEntries = uint64_t{1} << 26;

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_queue_itot_evcount(uint32_t index,
                                                            const vexasdk_acq_t3_itot_evcount* packets,
                                                            uint64_t count, int32_t fetch_rc) {
    uint64_t bytes = 0;
    if (packets != nullptr && !add_bytes(bytes, count, sizeof *packets)) return VEXASDK_ERR_EINVAL;
    return queue_block(index, [&] { return make_itot_evcount_block(packets, count, fetch_rc); });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_queue_toa_tot(uint32_t index, const vexasdk_acq_t3_toa_tot_packet* packets,
                                                       uint64_t packet_count, uint64_t shutter_time,
                                                       const vexasdk_acq_t3_tdc_toa* tdcs, uint64_t tdc_count,
                                                       int32_t fetch_rc) {
    uint64_t bytes = 0;
    if (packets != nullptr && !add_bytes(bytes, packet_count, sizeof *packets)) return VEXASDK_ERR_EINVAL;
    if (tdcs != nullptr) {
        if (!add_bytes(bytes, tdc_count, sizeof *tdcs)) return VEXASDK_ERR_EINVAL;
        for (uint64_t i = 0; i < tdc_count; ++i)
            if (tdcs[i].timestamps != nullptr && !add_bytes(bytes, tdcs[i].count, sizeof(uint64_t)))
                return VEXASDK_ERR_EINVAL;
    }
    return queue_block(index, [&] {
        return make_toa_tot_block(packets, packet_count, shutter_time, tdcs, tdc_count, fetch_rc);
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_queue_binned(uint32_t index, const uint64_t* evcounts,
                                                      uint64_t evcount_count, const uint64_t* itots,
                                                      uint64_t itot_count, const vexasdk_acq_t3_bin_packet* packets,
                                                      const uint64_t* bin_counts, uint64_t bin_count,
                                                      int32_t fetch_rc) {
    uint64_t bytes = 0;
    if (evcounts != nullptr && !add_bytes(bytes, evcount_count, sizeof *evcounts)) return VEXASDK_ERR_EINVAL;
    if (itots != nullptr && !add_bytes(bytes, itot_count, sizeof *itots)) return VEXASDK_ERR_EINVAL;
    if (bin_counts != nullptr) {
        if (!add_bytes(bytes, bin_count, sizeof(vexasdk_acq_t3_bin))) return VEXASDK_ERR_EINVAL;
        // The packets of all bins are copied: their total must be sane too.
        for (uint64_t i = 0; packets != nullptr && i < bin_count; ++i)
            if (!add_bytes(bytes, bin_counts[i], sizeof *packets)) return VEXASDK_ERR_EINVAL;
    } else if (packets != nullptr) {
        return VEXASDK_ERR_EINVAL;  // packets without bins to hold them
    }
    return queue_block(index, [&] {
        return make_binned_block(evcounts, evcount_count, itots, itot_count, packets, bin_counts, bin_count,
                                 fetch_rc);
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_queue_itot_fragment(uint32_t index, const uint64_t* itots, uint64_t count,
                                                             int32_t fetch_rc) {
    uint64_t bytes = 0;
    if (itots != nullptr && !add_bytes(bytes, count, sizeof *itots)) return VEXASDK_ERR_EINVAL;
    return queue_block(index, [&] { return make_fragment_block(BlockKind::itot_fragment, itots, count, fetch_rc); });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_queue_evcount_fragment(uint32_t index, const uint64_t* evcounts,
                                                                uint64_t count, int32_t fetch_rc) {
    uint64_t bytes = 0;
    if (evcounts != nullptr && !add_bytes(bytes, count, sizeof *evcounts)) return VEXASDK_ERR_EINVAL;
    return queue_block(index,
                       [&] { return make_fragment_block(BlockKind::evcount_fragment, evcounts, count, fetch_rc); });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_replay_queue(uint32_t index, uint64_t times) {
    if (times == 0) return VEXASDK_ERR_EINVAL;
    return static_cast<vexasdk_err_code>(with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        auto& queue = device.acq.queue;
        size_t queued = queue.size();
        if (queued != 0 && (times > kMaxQueueEntries / queued)) return VEXASDK_ERR_EINVAL;
        try {
            for (uint64_t round = 1; round < times; ++round)
                for (size_t i = 0; i < queued; ++i) queue.push_back(queue[i]);
        } catch (const std::bad_alloc&) {
            queue.resize(queued);
            return VEXASDK_ERR_ENOMEM;
        }
        for (size_t i = 0; i < queued; ++i) queue[i]->deliveries_left += times - 1;
        return VEXASDK_SUCCESS;
    }));
}

VEXASDK_API vexasdk_err_code vexasdk_sim_clear_queue(uint32_t index) {
    return static_cast<vexasdk_err_code>(with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.queue.clear();
        return VEXASDK_SUCCESS;
    }));
}

namespace {

constexpr uint32_t kGeneratorFlags =
    VEXASDK_SIM_GEN_REAL_TIME | VEXASDK_SIM_GEN_MODE_SIZE | VEXASDK_SIM_GEN_IF_QUEUE_EMPTY;

bool valid(const vexasdk_sim_generator& settings) {
    // Written so that NaN fails too.
    return settings.blocks_per_second >= 0.0 && settings.blocks_per_second <= 1e9 && settings.duration >= 0.0 &&
           settings.duration <= 1e9 && settings.packets_per_block <= (uint64_t{1} << 26) &&
           (settings.flags & ~kGeneratorFlags) == 0 &&
           !((settings.flags & VEXASDK_SIM_GEN_REAL_TIME) && settings.blocks_per_second > 0.0);
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_set_generator(uint32_t index, const vexasdk_sim_generator* settings) {
    if (settings == nullptr) return VEXASDK_ERR_EFAULT;
    vexasdk_sim_generator copy = *settings;
    if (!valid(copy)) return VEXASDK_ERR_EINVAL;
    return static_cast<vexasdk_err_code>(with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.generator = copy;
        return VEXASDK_SUCCESS;
    }));
}

VEXASDK_API vexasdk_err_code vexasdk_sim_generate(uint32_t index, double blocks_per_second,
                                                  uint64_t packets_per_block, uint64_t block_limit) {
    vexasdk_sim_generator settings{blocks_per_second, 0.0, packets_per_block, block_limit, 0};
    return vexasdk_sim_set_generator(index, &settings);
}

VEXASDK_API uint64_t vexasdk_sim_blocks_delivered(uint32_t index) {
    return sim_counter(index, [](const DeviceModel& device) { return device.acq.delivered.load(); });
}

VEXASDK_API uint64_t vexasdk_sim_trigger_count(uint32_t index) {
    return sim_counter(index, [](const DeviceModel& device) { return device.acq.triggers.load(); });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_deliver_here(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback,
                                                      void* user_data) {
    if (callback == nullptr) return VEXASDK_ERR_EINVAL;
    std::shared_ptr<Block> block;
    int32_t rc = with_device(ctx, [&](DeviceModel& device) -> int32_t {
        if (device.acq.queue.empty()) return VEXASDK_ERR_BAD_STATE;
        block = std::move(device.acq.queue.front());
        device.acq.queue.pop_front();
        return VEXASDK_SUCCESS;
    });
    if (rc != VEXASDK_SUCCESS) return static_cast<vexasdk_err_code>(rc);
    run_block(ctx, callback, user_data, *block);
    return VEXASDK_SUCCESS;
}

VEXASDK_API void vexasdk_sim_null_callback(vexasdk_dev_ctx*, void*) {}

namespace {

// Fetches the block the calling callback was called for with the fetch of its
// kind, and hands each array of it to `take(data, bytes)`.
template <class Take>
void fetch_arrays(vexasdk_dev_ctx* ctx, Take&& take) {
    if (tl_block == nullptr) return;
    switch (tl_block->kind) {
        case BlockKind::itot_evcount: {
            const vexasdk_acq_t3_itot_evcount* packets = nullptr;
            uint64_t count = 0;
            if (vexasdk_acq_get_t3_itot_evcount_packets(ctx, &packets, &count) == VEXASDK_SUCCESS && packets)
                take(packets, count * sizeof *packets);
            break;
        }
        case BlockKind::toa_tot: {
            vexasdk_acq_t3_acq_toa_tot block{};
            if (vexasdk_acq_get_t3_toa_tot_packets(ctx, &block) != VEXASDK_SUCCESS) break;
            if (block.packets) take(block.packets, block.packet_count * sizeof *block.packets);
            for (uint64_t i = 0; block.tdcs && i < block.tdc_count; ++i)
                if (block.tdcs[i].timestamps) take(block.tdcs[i].timestamps, block.tdcs[i].count * sizeof(uint64_t));
            break;
        }
        case BlockKind::binned: {
            vexasdk_t3_acq_itot_evcount_bins block{};
            if (vexasdk_acq_get_t3_itot_evcount_bins(ctx, &block) != VEXASDK_SUCCESS) break;
            const auto& ev = block.evcount_fragment;
            const auto& it = block.itot_fragment;
            if (ev.binned_evcounts) take(ev.binned_evcounts, ev.count * sizeof(uint64_t));
            if (it.binned_itots) take(it.binned_itots, it.count * sizeof(uint64_t));
            // The bins' packets lie back to back: one copy from the first bin that has any.
            const vexasdk_acq_t3_bin_packet* first = nullptr;
            uint64_t total = 0;
            for (uint64_t i = 0; block.bins && i < block.bin_count; ++i) {
                if (block.bins[i].count != 0 && first == nullptr) first = block.bins[i].packets;
                total += block.bins[i].count;
            }
            if (first) take(first, total * sizeof *first);
            break;
        }
        case BlockKind::itot_fragment: {
            vexasdk_acq_t3_itot_fragment fragment{};
            if (vexasdk_acq_get_t3_itot_fragment(ctx, &fragment) == VEXASDK_SUCCESS && fragment.binned_itots)
                take(fragment.binned_itots, fragment.count * sizeof(uint64_t));
            break;
        }
        case BlockKind::evcount_fragment: {
            vexasdk_acq_t3_evcount_fragment fragment{};
            if (vexasdk_acq_get_t3_evcount_fragment(ctx, &fragment) == VEXASDK_SUCCESS && fragment.binned_evcounts)
                take(fragment.binned_evcounts, fragment.count * sizeof(uint64_t));
            break;
        }
    }
}

}  // namespace

VEXASDK_API void vexasdk_sim_fetch_callback(vexasdk_dev_ctx* ctx, void*) {
    fetch_arrays(ctx, [](const void*, size_t) {});
}

VEXASDK_API void vexasdk_sim_copy_callback(vexasdk_dev_ctx* ctx, void*) {
    // Kept for the process's life (acquisitions make new threads), so that
    // after the first blocks every copy lands in memory already mapped.
    static std::mutex* guard = new std::mutex;
    static auto* kept = new std::vector<uint8_t>;
    std::lock_guard<std::mutex> lock(*guard);
    std::vector<uint8_t>& into = *kept;
    size_t at = 0;
    fetch_arrays(ctx, [&](const void* data, size_t bytes) {
        if (into.size() < at + bytes) {
            try {
                into.resize(at + bytes);
            } catch (const std::bad_alloc&) {
                return;
            }
        }
        memcpy(into.data() + at, data, bytes);
        at += bytes;
    });
}
