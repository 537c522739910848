#include "generate.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace vsim {

uint8_t* Block::add_buffer(const void* data, size_t size) {
    buffers.emplace_back(size + 1);
    uint8_t* out = buffers.back().data();
    if (data != nullptr && size != 0)
        memcpy(out, data, size);
    else
        memset(out, 0, size + 1);
    out[size] = 0;
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

constexpr double kTicksPerSecond = 640e6;
constexpr double kTicksPerNanosecond = 0.64;
// The reference flux: a pixel hit per microsecond (see kReferenceHitsPerParticle).
constexpr double kTicksPerHit = 640.0;
constexpr double kParticlesPerTick = 1.0 / (kTicksPerHit * kReferenceHitsPerParticle);
// The mode's own block size: 10 ms of detector time, or of dwell in whole scan rows.
constexpr double kModeSizeTicks = 0.01 * kTicksPerSecond;
constexpr uint64_t kModeSizeMaxBins = 16384;

// Detector times as ticks, saturating rather than wrapping.
uint64_t ticks(double t) {
    if (!(t > 0.0)) return 0;
    if (t >= 0x1p64) return UINT64_MAX;
    return static_cast<uint64_t>(t);
}

// How many blocks of `size` cover `total` (0: no end), at most `limit` (0: no limit).
uint64_t block_count(double total, double size, uint64_t limit) {
    uint64_t blocks = UINT64_MAX;
    if (total > 0.0 && size > 0.0) blocks = std::max<uint64_t>(1, ticks(std::ceil(total / size * (1 - 1e-12))));
    return limit == 0 ? blocks : std::min(blocks, limit);
}

bool is_binned(uint32_t mode) {
    return mode == VEXASDK_ITOT_EVCOUNT_BIN || mode == VEXASDK_EVCOUNT_IMG || mode == VEXASDK_ITOT_IMG;
}

bool generates_data(uint32_t mode) { return mode >= VEXASDK_TOA_TOT_DD && mode <= VEXASDK_ITOT_IMG; }

// ---- 4D-STEM scans ----

struct Scan {
    uint32_t width, height;
    double dwell_ns;
    double electrons_per_bin;
};

Scan scan_of(const vexasdk_acq_params& params) {
    const vexasdk_acq_t3_binning_params& p = params.t3_binning;
    Scan scan{};
    scan.width = p.width ? p.width : 64;
    scan.height = p.height ? p.height : 64;
    scan.dwell_ns = p.dwell_time ? static_cast<double>(p.dwell_time) : 1000.0;
    // A beam of a few pA: one electron per 25 ns, capped to keep blocks small.
    scan.electrons_per_bin = std::min(scan.dwell_ns / 25.0, 40.0);
    return scan;
}

// Whole rows worth kModeSizeTicks of dwell; one row at least, and a row cut
// into pieces when it alone holds too many bins.
uint64_t mode_size_bins(const Scan& scan) {
    if (scan.width > kModeSizeMaxBins) return kModeSizeMaxBins;
    double rows = std::ceil(kModeSizeTicks / (scan.width * scan.dwell_ns * kTicksPerNanosecond));
    double most = static_cast<double>(kModeSizeMaxBins / scan.width);
    return scan.width * static_cast<uint64_t>(std::clamp(rows, 1.0, most));
}

}  // namespace

Plan plan_acquisition(const vexasdk_sim_generator& settings, uint32_t mode, const vexasdk_acq_params& params,
                      bool queue_empty) {
    Plan plan;
    plan.generating = generates_data(mode) && (queue_empty || !(settings.flags & VEXASDK_SIM_GEN_IF_QUEUE_EMPTY));
    plan.real_time = settings.flags & VEXASDK_SIM_GEN_REAL_TIME;
    plan.period = settings.blocks_per_second > 0 ? 1.0 / settings.blocks_per_second : 0.0;
    bool mode_size = settings.flags & VEXASDK_SIM_GEN_MODE_SIZE;
    if (is_binned(mode)) {
        Scan scan = scan_of(params);
        plan.binned = true;
        plan.dwell = scan.dwell_ns * kTicksPerNanosecond;
        plan.bins = mode_size ? mode_size_bins(scan) : std::min(settings.packets_per_block, kMaxGeneratedBins);
        // A scan ends at its last position, unless the harness asked for more blocks.
        plan.last_position = settings.block_limit ? UINT64_MAX : uint64_t{scan.width} * scan.height;
        double positions = plan.last_position == UINT64_MAX ? 0.0 : static_cast<double>(plan.last_position);
        plan.blocks = block_count(positions, static_cast<double>(plan.bins), settings.block_limit);
    } else {
        plan.particles_per_tick = kParticlesPerTick;
        plan.span = mode_size ? kModeSizeTicks : kTicksPerHit * static_cast<double>(settings.packets_per_block);
        plan.duration = settings.duration * kTicksPerSecond;
        plan.blocks = block_count(plan.duration, plan.span, settings.block_limit);
    }
    return plan;
}

Window window_of(const Plan& plan, uint64_t index) {
    Window window;
    if (plan.binned) {
        window.first = index > UINT64_MAX / std::max<uint64_t>(plan.bins, 1) ? UINT64_MAX : index * plan.bins;
        window.count = plan.bins;
        if (plan.last_position != UINT64_MAX) window.count = std::min(plan.bins, plan.last_position - window.first);
        window.begin = ticks(static_cast<double>(window.first) * plan.dwell);
        window.end = ticks((static_cast<double>(window.first) + static_cast<double>(window.count)) * plan.dwell);
    } else {
        double begin = static_cast<double>(index) * plan.span;
        double end = begin + plan.span;
        if (plan.duration > 0) end = std::min(end, plan.duration);
        window.begin = ticks(begin);
        window.end = std::max(window.begin, ticks(end));
    }
    return window;
}

namespace {

using ToaTotPacket = vexasdk_acq_t3_toa_tot_packet;

uint64_t block_begin(const GenerateSpec& spec) { return add_ticks(spec.shutter_start, spec.window.begin); }
uint64_t block_end(const GenerateSpec& spec) { return add_ticks(spec.shutter_start, spec.window.end); }

// Room for the hits a block is expected to hold, within reason.
size_t expected_hits(const GenerateSpec& spec) {
    double hits = static_cast<double>(spec.window.end - spec.window.begin) * spec.particles_per_tick *
                  kReferenceHitsPerParticle;
    return static_cast<size_t>(std::min(hits * 1.1 + 16.0, 1048576.0));
}

// Calls `emit(hit, toa)` for every pixel hit of the particles that arrive, as
// a Poisson process, during the block's detector time. False when stopped.
template <class Emit>
bool for_each_hit(const GenerateSpec& spec, Rng& rng, Emit&& emit) {
    if (spec.sensor.empty() || !(spec.particles_per_tick > 0.0)) return true;
    uint64_t begin = block_begin(spec);
    auto length = static_cast<double>(spec.window.end - spec.window.begin);
    double gap = 1.0 / spec.particles_per_tick;
    std::vector<PixelHit> hits;
    double t = 0.0;
    for (uint64_t n = 0;; ++n) {
        t += rng.exponential(gap);
        if (!(t < length)) return true;
        if ((n & 1023) == 0 && spec.stopped()) return false;
        hits.clear();
        Particle particle = spec.sensor.flood(rng);
        double energy = spec.sensor.deposit(particle, rng, hits);
        uint64_t arrival = add_ticks(begin, static_cast<uint64_t>(t));
        for (const PixelHit& hit : hits) emit(hit, add_ticks(arrival, time_walk(hit.over, rng)));
        if (spec.truth != nullptr && !hits.empty())
            spec.truth->push_back(spec.sensor.truth_of(particle, energy, arrival, hits.size(), spec.index));
    }
}

std::unique_ptr<Block> toa_tot_block(const std::vector<ToaTotPacket>& packets, uint64_t shutter_time) {
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::toa_tot;
    block->toa_tot.packets = block->add_records(packets.data(), packets.size());
    block->toa_tot.packet_count = packets.size();
    block->toa_tot.shutter_time = shutter_time;
    return block;
}

// The four TDC channels over the detector time [begin, end): rising and
// falling edges of the trigger input, where each software trigger makes a
// 1 us pulse, and of a 10 kHz clock with 10 us pulses on the second input.
void add_tdcs(Block& block, uint64_t begin, uint64_t end, const std::vector<uint64_t>& triggers) {
    std::vector<uint64_t> channels[4];
    for (uint64_t t : triggers) {
        channels[0].push_back(t);
        channels[1].push_back(add_ticks(t, 640));
    }
    constexpr uint64_t period = 100 * 640, width = 10 * 640;
    uint64_t late = begin % period;
    if (begin <= UINT64_MAX - period) {
        for (uint64_t t = late ? begin + period - late : begin; t < end; t += period) {
            channels[2].push_back(t);
            channels[3].push_back(add_ticks(t, width));
            if (end - t <= period) break;
        }
    }
    vexasdk_acq_t3_tdc_toa* records = block.add_records<vexasdk_acq_t3_tdc_toa>(nullptr, 4);
    for (int i = 0; i < 4; ++i)
        records[i] = {block.add_records(channels[i].data(), channels[i].size()), channels[i].size()};
    block.toa_tot.tdcs = records;
    block.toa_tot.tdc_count = 4;
}

// Readout order: each chip streams its hits in the order they came, and the
// readout takes them from the chips in turn, a short run from each.
void interleave_chips(std::vector<ToaTotPacket>& packets) {
    constexpr size_t run = 16;
    std::vector<size_t> begin(257, 0);
    for (const ToaTotPacket& p : packets) ++begin[(p.address >> 16 & 0xFF) + 1];
    for (size_t c = 1; c < begin.size(); ++c) begin[c] += begin[c - 1];
    std::vector<ToaTotPacket> by_chip(packets.size());
    std::vector<size_t> next(begin.begin(), begin.end() - 1);
    for (const ToaTotPacket& p : packets) by_chip[next[p.address >> 16 & 0xFF]++] = p;
    std::vector<size_t> active;
    for (size_t c = 0; c + 1 < begin.size(); ++c)
        if (begin[c + 1] > begin[c]) active.push_back(c);
    std::vector<size_t> taken(begin.begin(), begin.end() - 1);
    size_t out = 0;
    while (!active.empty()) {
        size_t kept = 0;
        for (size_t c : active) {
            size_t last = std::min(taken[c] + run, begin[c + 1]);
            for (; taken[c] < last; ++taken[c]) packets[out++] = by_chip[taken[c]];
            if (taken[c] < begin[c + 1]) active[kept++] = c;
        }
        active.resize(kept);
    }
}

// A quad at its peak makes millions of hits a block, which the particle model
// makes at some ten million a second on a core: too slow for real time. So a
// delivery thread keeps the first few big blocks it makes under one state of
// the sensor, and once it has them, answers each further block with one of
// them moved to the block's own detector time. Smaller blocks are always
// made afresh, and a change of the sensor (threshold, mask, bias), the rate
// or the block's length starts the collection again.
constexpr size_t kPatternFromHits = 16384;
constexpr size_t kPatterns = 8;

struct Patterns {
    uint64_t key = 0;
    std::vector<std::vector<ToaTotPacket>> made;  // ToAs counted from the block's begin
    std::vector<std::vector<vexasdk_sim_truth>> truths;  // theirs, when recorded; likewise
    size_t next = 0;
};
thread_local Patterns patterns;

uint64_t pattern_key(const GenerateSpec& spec, bool sorted) {
    uint64_t rate;
    memcpy(&rate, &spec.particles_per_tick, sizeof rate);
    uint64_t key = spec.sensor.fingerprint();
    for (uint64_t part : {rate, spec.window.end - spec.window.begin, uint64_t{sorted}, uint64_t{spec.truth != nullptr}})
        key = (key ^ part) * 0x100000001b3ull;
    return key;
}

// Pattern `i`, its ToAs (and its truth's) moved to start at `begin`.
std::unique_ptr<Block> replayed_block(const GenerateSpec& spec, size_t i, uint64_t begin) {
    const std::vector<ToaTotPacket>& made = patterns.made[i];
    if (spec.truth != nullptr) {
        for (vexasdk_sim_truth truth : patterns.truths[i]) {
            truth.toa = add_ticks(begin, truth.toa);
            truth.block = spec.index;
            spec.truth->push_back(truth);
        }
    }
    auto block = std::make_unique<Block>();
    block->kind = BlockKind::toa_tot;
    ToaTotPacket* packets = block->add_records(made.data(), made.size());
    uint64_t latest = 0;
    for (const ToaTotPacket& p : made) latest = std::max(latest, p.toa);
    if (latest <= UINT64_MAX - begin) {
        for (size_t i = 0; i < made.size(); ++i) packets[i].toa += begin;  // a plain loop the compiler widens
    } else {
        for (size_t i = 0; i < made.size(); ++i) packets[i].toa = add_ticks(begin, made[i].toa);
    }
    block->toa_tot.packets = packets;
    block->toa_tot.packet_count = made.size();
    block->toa_tot.shutter_time = spec.shutter_start;
    add_tdcs(*block, begin, block_end(spec), spec.triggers);
    return block;
}

// Data-driven: the hits of the block's detector time, by ToA when sorted,
// otherwise in readout order: chip by chip in short runs.
std::unique_ptr<Block> toa_tot_data_driven(const GenerateSpec& spec, Rng& rng, bool sorted) {
    uint64_t begin = block_begin(spec);
    bool big = expected_hits(spec) >= kPatternFromHits;
    if (big) {
        uint64_t key = pattern_key(spec, sorted);
        if (patterns.key != key) patterns = Patterns{key, {}, {}, 0};
        if (patterns.made.size() == kPatterns)
            return replayed_block(spec, patterns.next++ % kPatterns, begin);
    }
    std::vector<ToaTotPacket> packets;
    packets.reserve(expected_hits(spec));
    bool done = for_each_hit(spec, rng, [&](const PixelHit& hit, uint64_t toa) {
        packets.push_back({hit.address, hit.tot, toa});
    });
    if (!done) return nullptr;
    if (sorted)
        std::sort(packets.begin(), packets.end(), [](const auto& a, const auto& b) { return a.toa < b.toa; });
    else
        interleave_chips(packets);
    if (big) {
        std::vector<ToaTotPacket> kept(packets);
        for (ToaTotPacket& p : kept) p.toa -= std::min(p.toa, begin);
        std::vector<vexasdk_sim_truth> truths;
        if (spec.truth != nullptr) truths = *spec.truth;
        for (vexasdk_sim_truth& truth : truths) truth.toa -= std::min(truth.toa, begin);
        patterns.made.push_back(std::move(kept));
        patterns.truths.push_back(std::move(truths));
    }
    auto block = toa_tot_block(packets, spec.shutter_start);
    add_tdcs(*block, begin, block_end(spec), spec.triggers);
    return block;
}

// ---- frames ----

struct FrameHit {
    uint32_t address;
    uint32_t tot;
    uint64_t toa;
};

// Sorts `records` by their 24-bit pixel address, keeping the order of those
// of one pixel: three passes of a radix sort.
template <class Record>
void sort_by_address(std::vector<Record>& records) {
    std::vector<Record> other(records.size());
    for (int shift = 0; shift < 24; shift += 8) {
        size_t start[257] = {};
        for (const Record& r : records) ++start[(r.address >> shift & 0xFF) + 1];
        for (int i = 1; i < 257; ++i) start[i] += start[i - 1];
        for (const Record& r : records) other[start[r.address >> shift & 0xFF]++] = r;
        records.swap(other);
    }
}

// The frame's hits grouped by pixel in address order, each pixel's in the
// order its particles arrived; false when stopped.
bool frame_hits(const GenerateSpec& spec, Rng& rng, std::vector<FrameHit>& hits) {
    hits.reserve(expected_hits(spec));
    bool done = for_each_hit(spec, rng, [&](const PixelHit& hit, uint64_t toa) {
        hits.push_back({hit.address, hit.tot, toa});
    });
    if (!done) return false;
    sort_by_address(hits);
    return true;
}

// Frame-based ToA-ToT: every pixel hit in the frame reports once, with its
// first hit.
std::unique_ptr<Block> toa_tot_frame(const GenerateSpec& spec, Rng& rng) {
    std::vector<FrameHit> hits;
    if (!frame_hits(spec, rng, hits)) return nullptr;
    std::vector<ToaTotPacket> packets;
    packets.reserve(hits.size());
    for (size_t i = 0; i < hits.size();) {
        const FrameHit* first = &hits[i];
        for (uint32_t address = first->address; i < hits.size() && hits[i].address == address; ++i)
            if (hits[i].toa < first->toa) first = &hits[i];  // time walk can reorder close hits
        packets.push_back({first->address, first->tot, first->toa});
    }
    return toa_tot_block(packets, block_begin(spec));
}

// Frame-based iToT-evcount: per pixel hit, the events of the frame and the
// sum of their ToT, in the counters' widths.
std::unique_ptr<Block> itot_evcount_frame(const GenerateSpec& spec, Rng& rng) {
    std::vector<FrameHit> hits;
    if (!frame_hits(spec, rng, hits)) return nullptr;
    std::vector<vexasdk_acq_t3_itot_evcount> packets;
    for (size_t i = 0; i < hits.size();) {
        vexasdk_acq_t3_itot_evcount packet{hits[i].address, 0, 0};
        for (; i < hits.size() && hits[i].address == packet.address; ++i) {
            packet.itot = std::min<uint32_t>(packet.itot + hits[i].tot, 16383);
            packet.evcount = std::min<uint64_t>(packet.evcount + 1, 1023);
        }
        packets.push_back(packet);
    }
    return make_itot_evcount_block(packets.data(), packets.size(), VEXASDK_SUCCESS);
}

// ---- 4D-STEM binning ----

// Electrons mostly land in the bright-field disc, which follows the beam a
// little (descan); a specimen in the middle of the scan field scatters more of
// them outwards and deflects the disc.
constexpr double kDescan = 12.0;        // pixels the disc moves across the scan
constexpr double kDiscRadius = 24.0;    // pixels
constexpr double kSpecimenRadius = 0.25;  // of the scan field
constexpr double kDeflection = 2.0;     // pixels

struct BinHit {
    uint32_t address;
    uint32_t tot;
};

// The packets of scan position `position`, merged per pixel, in address
// order; its electrons' truth, timed from `toa`, when the generation settings ask for it.
void bin_packets(const GenerateSpec& spec, const Scan& scan, uint64_t position, uint64_t toa, Rng& rng,
                 std::vector<PixelHit>& hits, std::vector<BinHit>& merged,
                 std::vector<vexasdk_acq_t3_bin_packet>& out) {
    const Sensor& sensor = spec.sensor;
    double u = static_cast<double>(position % scan.width) / scan.width - 0.5;
    double v = static_cast<double>(position / scan.width % scan.height) / scan.height - 0.5;
    double cx = sensor.centre_x() + kDescan * u, cy = sensor.centre_y() + kDescan * v;
    double off_centre = std::hypot(u, v);
    bool on_specimen = off_centre < kSpecimenRadius;
    if (on_specimen && off_centre > 0) {
        cx += kDeflection * u / off_centre;
        cy += kDeflection * v / off_centre;
    }
    double scattered = on_specimen ? 0.5 : 0.15;
    hits.clear();
    uint32_t electrons = rng.poisson(scan.electrons_per_bin);
    for (uint32_t e = 0; e < electrons; ++e) {
        double angle = 2 * std::numbers::pi * rng.uniform();
        double radius = rng.uniform() >= scattered ? kDiscRadius * std::sqrt(rng.uniform())
                                                   : kDiscRadius + 6.0 + rng.exponential(40.0);
        size_t before = hits.size();
        Particle electron = beam_electron(cx + radius * std::cos(angle), cy + radius * std::sin(angle), rng);
        double energy = sensor.deposit(electron, rng, hits);
        if (spec.truth != nullptr && hits.size() > before)
            spec.truth->push_back(sensor.truth_of(electron, energy, toa, hits.size() - before, spec.index));
    }
    merged.clear();
    for (const PixelHit& hit : hits) merged.push_back({hit.address, hit.tot});
    std::sort(merged.begin(), merged.end(), [](const BinHit& a, const BinHit& b) { return a.address < b.address; });
    for (size_t i = 0; i < merged.size();) {
        vexasdk_acq_t3_bin_packet packet{merged[i].address, 0, 0};
        for (; i < merged.size() && merged[i].address == packet.address; ++i) {
            ++packet.count;
            packet.itot += merged[i].tot;
        }
        out.push_back(packet);
    }
}

// The block's consecutive scan positions, one bin each, with per-bin event
// counts and iToT sums.
std::unique_ptr<Block> binned_block(const GenerateSpec& spec, Rng& rng) {
    Scan scan = scan_of(spec.params);
    uint64_t positions = uint64_t{scan.width} * scan.height;
    uint64_t bins = spec.window.count, first = spec.window.first % positions;
    std::vector<vexasdk_acq_t3_bin_packet> packets;
    std::vector<uint64_t> counts(bins), evcounts(bins), itots(bins);
    std::vector<PixelHit> hits;
    std::vector<BinHit> merged;
    for (uint64_t b = 0; b < bins; ++b) {
        if ((b & 15) == 0 && spec.stopped()) return nullptr;
        size_t before = packets.size();
        // The position's dwell starts here, counting from the acquisition's first.
        double dwell_start = static_cast<double>(spec.window.first + b) * scan.dwell_ns * kTicksPerNanosecond;
        uint64_t toa = add_ticks(spec.shutter_start, ticks(dwell_start));
        bin_packets(spec, scan, (first + b) % positions, toa, rng, hits, merged, packets);
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
