// Plausible data for the virtual detector's acquisitions, and the blocks that
// the sim calls queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "model.hpp"
#include "particles.hpp"

namespace vsim {

// One generated block: what the plan says it covers, and the device's state
// when it was made.
struct GenerateSpec {
    uint32_t chip_mode = 0;
    uint64_t shutter_start = 0;  // ticks
    Window window;
    double particles_per_tick = 0.0;
    vexasdk_acq_params params{};
    std::vector<uint64_t> triggers;  // software triggers, ticks
    Sensor sensor;
    const std::atomic<bool>* stop = nullptr;  // generation gives up once it is set
    uint64_t index = 0;                        // the block's number in the acquisition
    // Where the truth of the block's particles goes, when the harness records it.
    std::vector<vexasdk_sim_truth>* truth = nullptr;

    bool stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }
};

// Detector times add up saturating rather than wrapping.
inline uint64_t add_ticks(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The most bins a generated binned block holds, whatever `packets` asks for.
inline constexpr uint64_t kMaxGeneratedBins = uint64_t{1} << 18;

// What an acquisition in chip mode `mode` with `params` generates under
// `settings`, the queue being empty or not at its start.
Plan plan_acquisition(const vexasdk_sim_generator& settings, uint32_t mode, const vexasdk_acq_params& params,
                      bool queue_empty);
// What block `index` of `plan` covers; `index` < plan.blocks.
Window window_of(const Plan& plan, uint64_t index);

// A block of the kind the chip mode delivers; null for modes that deliver
// nothing processed, or when generation was stopped.
std::unique_ptr<Block> generate_block(const GenerateSpec& spec, Rng& rng);

// Scripted blocks. Each copies what it is given; a null array is answered as a
// null pointer with its count. Callers have checked that the sizes are sane.
std::unique_ptr<Block> make_itot_evcount_block(const vexasdk_acq_t3_itot_evcount* packets, uint64_t count,
                                               int32_t fetch_rc);
std::unique_ptr<Block> make_toa_tot_block(const vexasdk_acq_t3_toa_tot_packet* packets, uint64_t packet_count,
                                          uint64_t shutter_time, const vexasdk_acq_t3_tdc_toa* tdcs,
                                          uint64_t tdc_count, int32_t fetch_rc);
// Bin i holds `bin_counts[i]` packets; `packets` are those of every bin, back
// to back in bin order, and stay so in the block. Empty bins point at
// poisoned_pointer(). Null `packets`: non-empty bins answer a null pointer.
std::unique_ptr<Block> make_binned_block(const uint64_t* evcounts, uint64_t evcount_count, const uint64_t* itots,
                                         uint64_t itot_count, const vexasdk_acq_t3_bin_packet* packets,
                                         const uint64_t* bin_counts, uint64_t bin_count, int32_t fetch_rc);
// `kind` is BlockKind::itot_fragment or BlockKind::evcount_fragment.
std::unique_ptr<Block> make_fragment_block(BlockKind kind, const uint64_t* values, uint64_t count, int32_t fetch_rc);

// An address inside a page that can be neither read nor written, mapped once
// and never unmapped: what empty bins point at, so that reading one faults.
// Null if the page could not be mapped.
const void* poisoned_pointer();

}  // namespace vsim
