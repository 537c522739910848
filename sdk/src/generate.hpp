// Plausible data for the virtual detector's acquisitions.
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
    vexasdk_acq_params params{};
};

// A block of the kind the chip mode delivers, or null for modes that deliver
// nothing processed.
std::unique_ptr<Block> generate_block(const GenerateSpec& spec, Rng& rng);

std::unique_ptr<Block> make_itot_evcount_block(const vexasdk_acq_t3_itot_evcount* packets, uint64_t count,
                                               int32_t fetch_rc);

}  // namespace vsim
