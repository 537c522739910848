#include "generate.hpp"

#include <cmath>
#include <cstring>

namespace vsim {

uint32_t Rng::poisson(double mean) {
    // Knuth's method; the means used here are small.
    double limit = std::exp(-mean), p = 1.0;
    uint32_t k = 0;
    do {
        ++k;
        p *= uniform();
    } while (p > limit && k < 1000);
    return k - 1;
}

double Rng::exponential(double mean) { return -mean * std::log1p(-uniform()); }

uint8_t* Block::add_buffer(const void* data, size_t size) {
    buffers.emplace_back(size);
    uint8_t* out = buffers.back().data();
    if (data != nullptr && size != 0) memcpy(out, data, size);
    return out;
}

void Block::scribble() {
    for (auto& buffer : buffers) memset(buffer.data(), 0xA5, buffer.size());
}

std::unique_ptr<Block> make_itot_evcount_block(const vexasdk_acq_t3_itot_evcount* packets, uint64_t count,
                                               int32_t fetch_rc) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::itot_evcount;
    block->fetch_rc = fetch_rc;
    block->itot_count = count;
    if (packets != nullptr) {
        // One spare byte keeps the pointer valid, and distinct, for empty blocks.
        uint8_t* copy = block->add_buffer(packets, count * sizeof *packets + 1);
        block->itot_packets = reinterpret_cast<const vexasdk_acq_t3_itot_evcount*>(copy);
    }
    return block;
}

namespace {

// A pixel address as the readout reports it: chip, row, column.
uint32_t pixel_address(uint32_t chip, uint32_t x, uint32_t y) { return (chip << 16) | (y << 8) | x; }

// Frame-based iToT-evcount: one packet per hit pixel with the number of events
// in the frame and the sum of their ToT (25 ns units).
std::unique_ptr<Block> itot_evcount_frame(const GenerateSpec& spec, Rng& rng) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::itot_evcount;
    uint8_t* memory = block->add_buffer(nullptr, spec.packets * sizeof(vexasdk_acq_t3_itot_evcount) + 1);
    auto* packets = reinterpret_cast<vexasdk_acq_t3_itot_evcount*>(memory);
    for (uint64_t i = 0; i < spec.packets; ++i) {
        uint32_t events = 1 + rng.poisson(0.7);
        uint32_t itot = 0;
        for (uint32_t e = 0; e < events; ++e) itot += 5 + static_cast<uint32_t>(rng.exponential(40.0));
        packets[i] = {pixel_address(rng.below(spec.chip_count), rng.below(256), rng.below(256)), itot, events};
    }
    block->itot_packets = packets;
    block->itot_count = spec.packets;
    return block;
}

}  // namespace

std::unique_ptr<Block> generate_block(const GenerateSpec& spec, Rng& rng) {
    switch (spec.chip_mode) {
        case VEXASDK_ITOT_EVCOUNT_FBZS:
            return itot_evcount_frame(spec, rng);
        default:
            return nullptr;
    }
}

}  // namespace vsim
