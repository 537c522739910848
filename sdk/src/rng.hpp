// The virtual detector's one random generator: events, monitor values and
// the wander of bias sources all draw from it.
#pragma once

#include <cmath>
#include <cstdint>

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
    double exponential(double mean) { return -mean * std::log1p(-uniform()); }
    // Standard normal, from a table: tails beyond 3.8 sigma are cut.
    double normal();
};

}  // namespace vsim
