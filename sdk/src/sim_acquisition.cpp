// Sim calls that script what an acquisition delivers: queued and replayed
// blocks, the generator, delivery threads, counters, and the reference
// callbacks for measuring.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "generate.hpp"
#include "model.hpp"

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_sim_set_delivery_threads(uint32_t index, uint32_t threads) {
    if (threads < 1 || threads > 64) return VEXASDK_ERR_EINVAL;
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.threads_wanted = threads;
        return VEXASDK_SUCCESS;
    });
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
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        try {
            block->scribble_after = device.acq.scribble;
            device.acq.queue.push_back(std::move(block));
        } catch (const std::bad_alloc&) {
            return VEXASDK_ERR_ENOMEM;
        }
        return VEXASDK_SUCCESS;
    });
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
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
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
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_scribble(uint32_t index, int32_t on) {
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.scribble = on != 0;
        if (on) device.acq.spent.clear();
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_clear_queue(uint32_t index) {
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.queue.clear();
        device.acq.spent.clear();
        return VEXASDK_SUCCESS;
    });
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
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.generator = copy;
        return VEXASDK_SUCCESS;
    });
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

VEXASDK_API vexasdk_err_code vexasdk_sim_set_seed(uint32_t index, uint64_t seed, int32_t fixed) {
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.acq.seeded = fixed != 0;
        device.acq.seed = seed;
        return VEXASDK_SUCCESS;
    });
}

namespace {

// The most particles a truth record keeps (64 bytes each).
constexpr uint64_t kMaxTruth = uint64_t{1} << 26;

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_record_truth(uint32_t index, int32_t on, uint64_t max_particles) {
    if (on != 0 && (max_particles < 1 || max_particles > kMaxTruth)) return VEXASDK_ERR_EINVAL;
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        device.truth.on = on != 0;
        if (on != 0) device.truth.limit = max_particles;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_truth(uint32_t index, vexasdk_sim_truth* out, uint64_t capacity,
                                                   uint64_t* recorded, uint64_t* dropped) {
    if (recorded == nullptr || (out == nullptr && capacity != 0)) return VEXASDK_ERR_EFAULT;
    return with_sim_device(index, [&](DeviceModel& device) -> int32_t {
        const std::vector<vexasdk_sim_truth>& records = device.truth.records;
        uint64_t copied = std::min<uint64_t>(capacity, records.size());
        if (copied != 0) memcpy(out, records.data(), copied * sizeof *out);
        *recorded = records.size();
        if (dropped != nullptr) *dropped = device.truth.dropped;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_deliver_here(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback,
                                                      void* user_data) {
    if (callback == nullptr) return VEXASDK_ERR_EINVAL;
    std::shared_ptr<Block> block;
    vexasdk_err_code rc = with_device(ctx, [&](DeviceModel& device) -> int32_t {
        if (device.acq.queue.empty()) return VEXASDK_ERR_BAD_STATE;
        block = std::move(device.acq.queue.front());
        device.acq.queue.pop_front();
        return VEXASDK_SUCCESS;
    });
    if (rc != VEXASDK_SUCCESS) return rc;
    run_block(ctx, callback, user_data, *block);
    return VEXASDK_SUCCESS;
}

VEXASDK_API void vexasdk_sim_null_callback(vexasdk_dev_ctx*, void*) {}

namespace {

// Fetches the block the calling callback was called for with the fetch of its
// kind, and hands each array of it to `take(data, bytes)`.
template <class Take>
void fetch_arrays(vexasdk_dev_ctx* ctx, Take&& take) {
    const Block* current = current_block();
    if (current == nullptr) return;
    switch (current->kind) {
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
