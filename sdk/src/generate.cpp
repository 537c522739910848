#include "generate.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

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
    buffers.emplace_back(size + 1);
    uint8_t* out = buffers.back().data();
    if (data != nullptr && size != 0) memcpy(out, data, size);
    return out;
}

void Block::scribble() {
    for (auto& buffer : buffers) memset(buffer.data(), 0xA5, buffer.size());
}

const void* poisoned_pointer() {
    static const void* page = []() -> const void* {
        long size = sysconf(_SC_PAGESIZE);
        void* p = mmap(nullptr, size > 0 ? static_cast<size_t>(size) : 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }();
    return page;
}

// ---- scripted blocks ----

std::unique_ptr<Block> make_itot_evcount_block(const vexasdk_acq_t3_itot_evcount* packets, uint64_t count,
                                               int32_t fetch_rc) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::itot_evcount;
    block->fetch_rc = fetch_rc;
    block->itot_count = count;
    if (packets != nullptr) block->itot_packets = block->add_records(packets, count);
    return block;
}

std::unique_ptr<Block> make_toa_tot_block(const vexasdk_acq_t3_toa_tot_packet* packets, uint64_t packet_count,
                                          uint64_t shutter_time, const vexasdk_acq_t3_tdc_toa* tdcs,
                                          uint64_t tdc_count, int32_t fetch_rc) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::toa_tot;
    block->fetch_rc = fetch_rc;
    vexasdk_acq_t3_acq_toa_tot& out = block->toa_tot;
    out.packets = packets != nullptr ? block->add_records(packets, packet_count) : nullptr;
    out.packet_count = packet_count;
    out.shutter_time = shutter_time;
    out.tdc_count = tdc_count;
    if (tdcs != nullptr) {
        vexasdk_acq_t3_tdc_toa* records = block->add_records(tdcs, tdc_count);
        for (uint64_t i = 0; i < tdc_count; ++i)
            if (tdcs[i].timestamps != nullptr) records[i].timestamps = block->add_records(tdcs[i].timestamps, tdcs[i].count);
        out.tdcs = records;
    }
    return block;
}

std::unique_ptr<Block> make_binned_block(const uint64_t* evcounts, uint64_t evcount_count, const uint64_t* itots,
                                         uint64_t itot_count, const vexasdk_acq_t3_bin_packet* packets,
                                         const uint64_t* bin_counts, uint64_t bin_count, int32_t fetch_rc) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::binned;
    block->fetch_rc = fetch_rc;
    vexasdk_t3_acq_itot_evcount_bins& out = block->bins;
    out.itot_fragment = {itots != nullptr ? block->add_records(itots, itot_count) : nullptr, itot_count};
    out.evcount_fragment = {evcounts != nullptr ? block->add_records(evcounts, evcount_count) : nullptr,
                            evcount_count};
    out.bin_count = bin_count;
    if (bin_counts == nullptr) return block;
    vexasdk_acq_t3_bin* records = block->add_records<vexasdk_acq_t3_bin>(nullptr, bin_count);
    const vexasdk_acq_t3_bin_packet* copy = nullptr;
    if (packets != nullptr) {
        uint64_t total = 0;
        for (uint64_t i = 0; i < bin_count; ++i) total += bin_counts[i];
        copy = block->add_records(packets, total);
    }
    const auto* poison = static_cast<const vexasdk_acq_t3_bin_packet*>(poisoned_pointer());
    uint64_t offset = 0;
    for (uint64_t i = 0; i < bin_count; ++i) {
        uint64_t count = bin_counts[i];
        records[i].count = count;
        if (count == 0) {
            records[i].packets = poison;
        } else if (copy != nullptr) {
            records[i].packets = copy + offset;
            offset += count;
        } else {
            records[i].packets = nullptr;
        }
    }
    out.bins = records;
    return block;
}

std::unique_ptr<Block> make_fragment_block(BlockKind kind, const uint64_t* values, uint64_t count, int32_t fetch_rc) {
    auto block = std::make_unique<Block>();
    block->kind = kind;
    block->fetch_rc = fetch_rc;
    const uint64_t* copy = values != nullptr ? block->add_records(values, count) : nullptr;
    if (kind == BlockKind::itot_fragment)
        block->itot_fragment = {copy, count};
    else
        block->evcount_fragment = {copy, count};
    return block;
}

namespace {

// A pixel address as the readout reports it: chip, row, column.
uint32_t pixel_address(uint32_t chip, uint32_t x, uint32_t y) { return (chip << 16) | (y << 8) | x; }

// ---- frame-based iToT-evcount ----

// One packet per hit pixel with the number of events in the frame and the sum
// of their ToT (25 ns units).
std::unique_ptr<Block> itot_evcount_frame(const GenerateSpec& spec, Rng& rng) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::itot_evcount;
    auto* packets = block->add_records<vexasdk_acq_t3_itot_evcount>(nullptr, spec.packets);
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

// ---- ToA-ToT ----

// Times are in ToA units of 1.5625 ns; ToT in units of 25 ns.
constexpr double kToaPerMicrosecond = 640.0;
constexpr double kClusterGap = 1.0 * kToaPerMicrosecond;  // mean time between particles
constexpr double kMeanClusterSize = 3.5;
constexpr uint64_t kFramePeriod = 1000 * 640;  // 1 ms frames in the frame-based mode
constexpr uint64_t kFrameOpen = 900 * 640;     // of which the shutter is open 0.9 ms

// Neighbours of a cluster's centre, nearest ring first.
constexpr int kRing1[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};

// One particle: a cluster of neighbouring pixels around a random centre on a
// random chip. The centre takes the largest share of the deposit; smaller
// deposits cross the threshold later (time walk). Appends at most `room`
// packets.
void add_cluster(std::vector<vexasdk_acq_t3_toa_tot_packet>& out, uint64_t toa, uint32_t chip_count, Rng& rng,
                 uint64_t room) {
    uint32_t chip = rng.below(chip_count);
    int cx = static_cast<int>(rng.below(256)), cy = static_cast<int>(rng.below(256));
    uint32_t size = std::min<uint32_t>(1 + rng.poisson(kMeanClusterSize - 1.0), 9);
    double deposit = 30.0 + rng.exponential(80.0);  // the whole cluster's ToT
    int order[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    for (int i = 7; i > 0; --i) std::swap(order[i], order[rng.below(static_cast<uint32_t>(i + 1))]);
    double weights[9] = {1.0};
    double sum = 1.0;
    for (uint32_t k = 1; k < size; ++k) sum += weights[k] = 0.1 + 0.4 * rng.uniform();
    for (uint32_t k = 0; k < size && k < room; ++k) {
        int x = cx, y = cy;
        if (k > 0) {
            x = std::clamp(cx + kRing1[order[k - 1]][0], 0, 255);
            y = std::clamp(cy + kRing1[order[k - 1]][1], 0, 255);
        }
        uint32_t tot = std::max<uint32_t>(1, static_cast<uint32_t>(deposit * weights[k] / sum));
        auto walk = static_cast<uint64_t>(64.0 / (1.0 + tot / 10.0) + 4.0 * rng.uniform());
        out.push_back({pixel_address(chip, static_cast<uint32_t>(x), static_cast<uint32_t>(y)), tot, toa + walk});
    }
}

bool by_toa(const vexasdk_acq_t3_toa_tot_packet& a, const vexasdk_acq_t3_toa_tot_packet& b) { return a.toa < b.toa; }

// The four TDC channels (rising and falling edges of two inputs) over the
// time span [begin, end): a periodic trigger of 10 µs pulses every 100 µs on
// the first input, sporadic 1 µs pulses on the second.
void add_tdcs(Block& block, uint64_t begin, uint64_t end, Rng& rng) {
    std::vector<uint64_t> channels[4];
    constexpr uint64_t period = 100 * 640, width = 10 * 640;
    for (uint64_t t = (begin + period - 1) / period * period; t < end; t += period) {
        channels[0].push_back(t);
        channels[1].push_back(t + width);
    }
    for (double t = static_cast<double>(begin) + rng.exponential(250 * kToaPerMicrosecond);
         t < static_cast<double>(end); t += rng.exponential(250 * kToaPerMicrosecond)) {
        channels[2].push_back(static_cast<uint64_t>(t));
        channels[3].push_back(static_cast<uint64_t>(t) + 640);
    }
    vexasdk_acq_t3_tdc_toa* records = block.add_records<vexasdk_acq_t3_tdc_toa>(nullptr, 4);
    for (int i = 0; i < 4; ++i)
        records[i] = {block.add_records(channels[i].data(), channels[i].size()), channels[i].size()};
    block.toa_tot.tdcs = records;
    block.toa_tot.tdc_count = 4;
}

std::unique_ptr<Block> toa_tot_block(std::vector<vexasdk_acq_t3_toa_tot_packet>& packets, uint64_t shutter_time) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::toa_tot;
    block->toa_tot.packets = block->add_records(packets.data(), packets.size());
    block->toa_tot.packet_count = packets.size();
    block->toa_tot.shutter_time = shutter_time;
    return block;
}

// Data-driven: particles arrive as a Poisson process from the shutter start
// on; the block is the next `packets` pixel hits. Sorted mode orders them by
// ToA; otherwise they come in readout order, chip by chip in short runs.
std::unique_ptr<Block> toa_tot_data_driven(const GenerateSpec& spec, Rng& rng, bool sorted) {
    auto span = static_cast<uint64_t>(static_cast<double>(spec.packets) / kMeanClusterSize * kClusterGap);
    uint64_t begin = spec.shutter_start + spec.block_index * span;
    std::vector<vexasdk_acq_t3_toa_tot_packet> packets;
    packets.reserve(spec.packets);
    double t = static_cast<double>(begin);
    while (packets.size() < spec.packets) {
        t += rng.exponential(kClusterGap);
        add_cluster(packets, static_cast<uint64_t>(t), spec.chip_count, rng, spec.packets - packets.size());
    }
    uint64_t end = std::max<uint64_t>(static_cast<uint64_t>(t), begin) + 1;
    if (sorted) {
        std::stable_sort(packets.begin(), packets.end(), by_toa);
    } else {
        constexpr size_t run = 64;
        for (size_t i = 0; i < packets.size(); i += run) {
            auto last = packets.begin() + static_cast<ptrdiff_t>(std::min(packets.size(), i + run));
            std::stable_sort(packets.begin() + static_cast<ptrdiff_t>(i), last,
                             [](const auto& a, const auto& b) { return (a.address >> 16) < (b.address >> 16); });
        }
    }
    auto block = toa_tot_block(packets, spec.shutter_start);
    add_tdcs(*block, begin, end, rng);
    return block;
}

// Frame-based: one frame per block; every pixel hit while the shutter was open
// reports once, with the ToA and ToT of its first hit, in address order.
std::unique_ptr<Block> toa_tot_frame(const GenerateSpec& spec, Rng& rng) {
    uint64_t begin = spec.shutter_start + spec.block_index * kFramePeriod;
    uint64_t pixels = uint64_t{spec.chip_count} << 16;
    uint64_t wanted = std::min<uint64_t>(spec.packets, pixels / 2);
    std::vector<vexasdk_acq_t3_toa_tot_packet> hits, packets;
    std::vector<bool> seen(pixels);
    packets.reserve(wanted);
    while (packets.size() < wanted) {
        hits.clear();
        add_cluster(hits, begin + static_cast<uint64_t>(rng.uniform() * kFrameOpen), spec.chip_count, rng, 9);
        for (const auto& hit : hits) {
            if (packets.size() == wanted || seen[hit.address]) continue;
            seen[hit.address] = true;
            packets.push_back(hit);
        }
    }
    std::sort(packets.begin(), packets.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
    return toa_tot_block(packets, begin);
}

// ---- 4D-STEM binning ----

// The beam steps over width x height scan positions, dwelling at each; every
// position is one bin. Electrons mostly land in the bright-field disk, whose
// centre moves a little with the beam (descan) and with the specimen's fields;
// the rest scatter outwards. Each electron leaves a small cluster of hits.
struct Scan {
    uint32_t width, height;
    double electrons_per_bin;
    double side;  // detector side in pixels
    uint32_t chips_per_row;
};

Scan scan_of(const GenerateSpec& spec) {
    const vexasdk_acq_t3_binning_params& p = spec.params.t3_binning;
    Scan scan{};
    scan.width = p.width ? p.width : 64;
    scan.height = p.height ? p.height : 64;
    double dwell_ns = p.dwell_time ? static_cast<double>(p.dwell_time) : 1000.0;
    // A beam of a few pA: one electron per 25 ns, capped to keep blocks small.
    scan.electrons_per_bin = std::min(dwell_ns / 25.0, 40.0);
    scan.chips_per_row = spec.chip_count >= 4 ? 2 : 1;
    scan.side = 256.0 * scan.chips_per_row;
    return scan;
}

struct Hit {
    uint32_t address;
    uint32_t itot;
};

// The hits of scan position `position`, merged per pixel, in address order.
void bin_packets(const Scan& scan, uint64_t position, Rng& rng, std::vector<Hit>& hits,
                 std::vector<vexasdk_acq_t3_bin_packet>& out) {
    double bx = static_cast<double>(position % scan.width), by = static_cast<double>(position / scan.width % scan.height);
    double centre = scan.side / 2;
    double cx = centre + 6.0 * (bx / scan.width - 0.5) + 2.0 * std::sin(bx * 0.4);
    double cy = centre + 6.0 * (by / scan.height - 0.5) + 2.0 * std::cos(by * 0.4);
    hits.clear();
    uint32_t electrons = rng.poisson(scan.electrons_per_bin);
    for (uint32_t e = 0; e < electrons; ++e) {
        double angle = 2 * std::numbers::pi * rng.uniform();
        double radius = rng.uniform() < 0.8 ? 24.0 * std::sqrt(rng.uniform()) : 30.0 + rng.exponential(40.0);
        double x = cx + radius * std::cos(angle), y = cy + radius * std::sin(angle);
        uint32_t size = 1 + rng.poisson(0.8);
        for (uint32_t k = 0; k < size; ++k) {
            double px = x + (k ? rng.uniform() * 2 - 1 : 0), py = y + (k ? rng.uniform() * 2 - 1 : 0);
            if (px < 0 || py < 0 || px >= scan.side || py >= scan.side) continue;
            auto ix = static_cast<uint32_t>(px), iy = static_cast<uint32_t>(py);
            uint32_t chip = (iy / 256) * scan.chips_per_row + ix / 256;
            auto itot = static_cast<uint32_t>((k ? 10.0 : 60.0) + rng.exponential(30.0));
            hits.push_back({pixel_address(chip, ix % 256, iy % 256), itot});
        }
    }
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.address < b.address; });
    for (size_t i = 0; i < hits.size();) {
        vexasdk_acq_t3_bin_packet packet{hits[i].address, 0, 0};
        for (; i < hits.size() && hits[i].address == packet.address; ++i) {
            ++packet.count;
            packet.itot += hits[i].itot;
        }
        out.push_back(packet);
    }
}

// Bins of one block: the next `packets` scan positions (wrapping to the next
// scan), with per-bin event counts and iToT sums.
std::unique_ptr<Block> binned_block(const GenerateSpec& spec, Rng& rng) {
    Scan scan = scan_of(spec);
    uint64_t bins = std::min(spec.packets, kMaxGeneratedBins);
    uint64_t positions = uint64_t{scan.width} * scan.height;
    uint64_t first = spec.block_index * bins;
    std::vector<vexasdk_acq_t3_bin_packet> packets;
    std::vector<uint64_t> counts(bins), evcounts(bins), itots(bins);
    std::vector<Hit> hits;
    for (uint64_t b = 0; b < bins; ++b) {
        size_t before = packets.size();
        bin_packets(scan, (first + b) % positions, rng, hits, packets);
        counts[b] = packets.size() - before;
        for (size_t i = before; i < packets.size(); ++i) {
            evcounts[b] += packets[i].count;
            itots[b] += packets[i].itot;
        }
    }
    switch (spec.chip_mode) {
        case VEXASDK_EVCOUNT_IMG:
            return make_fragment_block(BlockKind::evcount_fragment, evcounts.data(), bins, VEXASDK_SUCCESS);
        case VEXASDK_ITOT_IMG:
            return make_fragment_block(BlockKind::itot_fragment, itots.data(), bins, VEXASDK_SUCCESS);
        default:
            return make_binned_block(evcounts.data(), bins, itots.data(), bins, packets.data(), counts.data(), bins,
                                     VEXASDK_SUCCESS);
    }
}

}  // namespace

std::unique_ptr<Block> generate_block(const GenerateSpec& spec, Rng& rng) {
    switch (spec.chip_mode) {
        case VEXASDK_ITOT_EVCOUNT_FBZS:
            return itot_evcount_frame(spec, rng);
        case VEXASDK_TOA_TOT_DD:
            return toa_tot_data_driven(spec, rng, false);
        case VEXASDK_TOA_TOT_DD_SORTED:
            return toa_tot_data_driven(spec, rng, true);
        case VEXASDK_TOA_TOT_FBZS:
            return toa_tot_frame(spec, rng);
        case VEXASDK_ITOT_EVCOUNT_BIN:
        case VEXASDK_EVCOUNT_IMG:
        case VEXASDK_ITOT_IMG:
            return binned_block(spec, rng);
        default:
            return nullptr;
    }
}

}  // namespace vsim
