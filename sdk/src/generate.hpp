// Plausible data for the virtual detector's acquisitions, and the blocks that
// the sim calls queue.
#pragma once

#include <cstdint>
#include <memory>

#include "model.hpp"

namespace vsim {

// splitmix64: small, fast and good enough for synthetic events.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
    uint32_t poisson(double mean);
    double exponential(double mean);
};

struct GenerateSpec {
    uint32_t chip_mode = 0;
    uint32_t chip_count = 1;
    uint64_t packets = 0;     // events (packets, or bins for the binned modes)
    uint64_t block_index = 0;
    uint64_t shutter_start = 0;  // 1.5625 ns units
    vexasdk_acq_params params{};
};

// The most bins a generated binned block holds, whatever `packets` asks for.
inline constexpr uint64_t kMaxGeneratedBins = uint64_t{1} << 18;

// A block of the kind the chip mode delivers, or null for modes that deliver
// nothing processed.
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
