// vexasdk._clusters: the hits of ToA-ToT packets joined into clusters (pixels
// that touch, with ToAs close together) and each cluster reduced to one row:
// centroid, first ToA, size, summed ToT and energy. vexasdk.events checks
// what users pass and wraps this; here is the per-hit work, all of it without
// the interpreter lock.
//
// One engine serves both a single block (everything is final) and a stream
// of blocks (clusters that later hits could still join are held back, as
// their hits, and clustered again with the next block). Per call:
//
//   1. scan the packets for the range of their ToAs, counting addresses past
//      the chips and hits older than what was already finished;
//   2. sort held and new hits by ToA: a counting pass into time buckets of
//      about one hit each, then a pass that decodes each packet into its
//      bucket, with a sort key that keeps its bucket position below the ToA
//      (so that ties keep delivery order, and the packet can be found from
//      the hit), then one insertion pass (readout order is ToA order up to
//      short runs, so the buckets' hits are nearly in order already);
//   3. in ToA order, each key turned back into the ToA, join each hit to the
//      hits within the window before it that touch it (its own pixel
//      included): compared one by one where the window holds few, else
//      through a grid that keeps each pixel's latest hit; a union-find whose
//      root is always a cluster's earliest hit records the joins;
//   4. number the clusters in order of their earliest hit and sum them up,
//      straight into the rows given out;
//   5. keep the hits of clusters that are still open for the next call.
//
// ToAs too far apart for keys of 64 bits (hours within one call) are sorted
// through a list of positions instead, with the same result.
//
// A pixel's latest hit suffices: earlier hits of that pixel within the window
// of the current one are within the window of the latest, so already joined
// to it through the pixel itself.
#include "support/python.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "support/args.hpp"
#include "support/buffer.hpp"
#include "support/gil.hpp"
#include "support/memory.hpp"
#include "support/method.hpp"
#include "support/module_start.hpp"
#include "support/numpy_array.hpp"
#include "support/numpy_types.hpp"

namespace {

constexpr char kBody[] = R"PY(
import numpy as np

# Aligned: the engine writes its rows as a C struct of the same layout.
cluster_dtype = np.dtype([("x", "<f8"), ("y", "<f8"), ("toa", "<f8"), ("tot", "<f8"), ("energy", "<f8"),
                          ("size", "<u4")], align=True)
)PY";

using vx::Ref;

// A ToA-ToT packet as the SDK delivers it (vexasdk_t3_toa_tot_packet).
struct Packet {
    uint32_t address;  // chip << 16 | row << 8 | column
    uint32_t tot;      // 25 ns counts
    uint64_t toa;      // 1.5625 ns counts
};
static_assert(sizeof(Packet) == 16);

// One output row, as cluster_dtype lays it out.
struct Row {
    double x, y;    // weighted centroid, pixel centres at whole numbers
    double toa;     // ns
    double tot;     // ns
    double energy;  // keV
    uint32_t size;
};
static_assert(sizeof(Row) == 48);

constexpr uint32_t kChipSize = 256;
constexpr uint32_t kChipsPerRow = 2;
constexpr uint32_t kMaxChips = 64;
constexpr double kToaNs = 1.5625;
constexpr double kTotNs = 25.0;
// Grid rows are a power of two wide, with a border of one pixel all round,
// so that a hit's cell gives back its coordinates by shifts and neighbours
// need no bounds checks.
constexpr uint32_t kStrideBits = 10;
constexpr uint32_t kStride = 1u << kStrideBits;
constexpr uint32_t kColumnMask = kStride - 1;
// Indices of hits are 32-bit: a call takes fewer.
constexpr size_t kMaxHits = 0x7FFFFFFE;

struct Hit {
    uint64_t toa;   // while sorted: the sort key, (ToA - lo) << position_bits | position
    uint32_t cell;  // (y + 1) << kStrideBits | (x + 1)
    uint32_t tot;
};

// The latest hit of a pixel: the low bits of its ToA reject most stale cells
// without reading the hit itself.
struct Cell {
    uint32_t toa;
    int32_t hit;
};

// ToT = a E + b - c / (E - t), in 25 ns counts, with a > 0 and c >= 0: one
// root above t.
struct PixelCalibration {
    double a, b, c, t;
};


template <class T>
using RawArray = std::unique_ptr<T[], vx::PyMemRawFree>;

// Callable without the lock; null when the size overflows or memory is short.
template <class T>
RawArray<T> raw_array(size_t count, bool zeroed = false) noexcept {
    if (count > SIZE_MAX / sizeof(T) - 1) return nullptr;
    size_t n = std::max<size_t>(count, 1);
    void* p = zeroed ? PyMem_RawCalloc(n, sizeof(T)) : PyMem_RawMalloc(n * sizeof(T));
    return RawArray<T>(static_cast<T*>(p));
}

struct Counts {
    uint64_t hits = 0, clusters = 0, late = 0, out_of_range = 0, cut = 0;
};

struct Settings {
    uint64_t window = 0;    // ticks
    uint64_t disorder = 0;  // ticks
    uint64_t max_span = 0;  // ticks
    uint32_t chips = 4;
    uint32_t rows = 0, columns = 0;  // of the assembled image
    bool eight = true;
    bool energy_weight = false;
    double walk_ns = 0.0;
};

// Everything an engine keeps between calls.
struct State {
    Settings settings;
    vx::HeldBuffer calibration_buffer;  // chips * 65536 PixelCalibration, or not held
    vx::HeldBuffer threshold_buffer;    // chips doubles (keV), with the calibration
    const PixelCalibration* calibration = nullptr;
    const double* thresholds = nullptr;
    RawArray<Cell> grid;
    RawArray<Packet> held;  // in ToA order
    size_t held_count = 0;
    uint64_t newest = 0;  // the newest ToA seen
    bool seen = false;
    Counts counts;
    bool busy = false;
};

struct EngineObject {
    PyObject_HEAD
    State state;
};

State& state_of(PyObject* self) noexcept { return reinterpret_cast<EngineObject*>(self)->state; }

// ---- energy and time walk ----

// The root above t of a E^2 + B E + C = 0 (ToT = a E + b - c / (E - t)
// multiplied out), in the form that cancels nothing.
inline double energy_of(const PixelCalibration& k, double tot) noexcept {
    double b = k.b - k.a * k.t - tot;
    double c = k.t * (tot - k.b) - k.c;
    double root = std::sqrt(std::max(b * b - 4.0 * k.a * c, 0.0));
    if (b <= 0.0) return (root - b) / (2.0 * k.a);
    double below = b + root;
    return below > 0.0 ? -2.0 * c / below : k.t;
}

// Small hits cross the threshold late: walk_ns / (1 + keV over the threshold).
inline double walk_of(double walk_ns, double kev, double threshold) noexcept {
    return walk_ns / (1.0 + std::max(kev - threshold, 0.0));
}

// ---- one call's work ----

struct Span {
    uint64_t first, last;  // ToAs of a cluster's first and last hits
};

// Reads before the first hit need no bounds checks: arrays start this many
// entries early.
constexpr size_t kPad = 8;

template <class T>
struct Padded {
    RawArray<T> memory;
    size_t capacity = 0;  // entries past the pad
    T* get() const noexcept { return memory.get() + kPad; }
    // Keeps what it has when that is enough. False when memory is short.
    bool reserve(size_t count) noexcept {
        if (capacity >= count && memory) return true;
        memory.reset();
        memory = count > SIZE_MAX / sizeof(T) - kPad - 1 ? nullptr : raw_array<T>(count + kPad);
        capacity = memory ? count : 0;
        return static_cast<bool>(memory);
    }
};

struct Work {
    Padded<Hit> hits;        // by ToA
    Padded<int32_t> links;   // union-find parents, then -(label + 1); before the join, bucket counts
    // With want_origin: per hit, its index among the packets (UINT32_MAX:
    // held), by ToA; `scattered` by position, until the join puts it in order.
    RawArray<uint32_t> origin, scattered;
    RawArray<Span> spans;    // per cluster, when not every cluster is final
    bool want_origin = false;
    size_t held = 0;         // hits taken from the State, ahead of the packets'
    size_t count = 0;        // hits
    size_t clusters = 0;     // found
    size_t closed = 0;       // of them finished
    // Sort keys to ToAs: lo + (key >> position_bits).
    uint64_t lo = 0;
    int position_bits = 0;
};

int32_t root_of(int32_t* links, int32_t j) noexcept {
    while (links[j] != j) {
        links[j] = links[links[j]];
        j = links[j];
    }
    return j;
}

inline Hit decoded(const Packet& p) noexcept {
    uint32_t chip = p.address >> 16;
    uint32_t y = (chip / kChipsPerRow) * kChipSize + ((p.address >> 8) & 0xFF);
    uint32_t x = (chip % kChipsPerRow) * kChipSize + (p.address & 0xFF);
    return Hit{p.toa, (y + 1) << kStrideBits | (x + 1), p.tot};
}

inline Packet packet_of(const Hit& h) noexcept {
    uint32_t x = (h.cell & kColumnMask) - 1, y = (h.cell >> kStrideBits) - 1;
    uint32_t chip = (y / kChipSize) * kChipsPerRow + x / kChipSize;
    return Packet{chip << 16 | (y % kChipSize) << 8 | (x % kChipSize), h.tot, h.toa};
}

// `a` where `mask` is all ones, `b` where it is 0: selected by masks, as a
// branch on the comparison that gives the mask would be mispredicted.
inline Hit pick(uint64_t mask, const Hit& a, const Hit& b) noexcept {
    uint64_t x[2], y[2];
    std::memcpy(x, &a, sizeof a);
    std::memcpy(y, &b, sizeof b);
    x[0] = (x[0] & mask) | (y[0] & ~mask);
    x[1] = (x[1] & mask) | (y[1] & ~mask);
    Hit out;
    std::memcpy(&out, x, sizeof out);
    return out;
}
static_assert(sizeof(Hit) == 16);

// Hits put in order of their keys where the buckets put them roughly. Readout
// order is ToA order up to short runs, and buckets hold about one hit each,
// so the insertion pass moves few, mostly by three places at most; a bucket
// too full for it is sorted on its own first. Keys are distinct: their
// positions are.
void settle(Hit* hits, const uint32_t* ends, size_t buckets, uint32_t fullest, size_t count) noexcept {
    auto earlier = [](const Hit& p, const Hit& q) { return p.toa < q.toa; };
    constexpr uint32_t kInsertable = 32;
    if (fullest > kInsertable) {
        uint32_t begin = 0;
        for (size_t b = 0; b < buckets; ++b) {
            if (ends[b] - begin > kInsertable) std::sort(hits + begin, hits + ends[b], earlier);
            begin = ends[b];
        }
    }
    // Each hit passes up to three before it without a branch to mispredict
    // (the pad's zero keys before the first are below none); one that must
    // go further goes by the loop.
    hits[-1] = hits[-2] = hits[-3] = Hit{0, 0, 0};
    Hit p1 = hits[-1], p2 = p1, p3 = p1;  // the three before, in order
    for (size_t i = 0; i < count; ++i) {
        Hit x = hits[i];
        if (x.toa < p3.toa) [[unlikely]] {
            size_t j = i;
            for (; j > 0 && x.toa < hits[j - 1].toa; --j) hits[j] = hits[j - 1];
            hits[j] = x;
            p1 = hits[i], p2 = hits[i - 1], p3 = hits[i - 2];
            continue;
        }
        uint64_t before1 = 0 - uint64_t{x.toa < p1.toa}, before2 = 0 - uint64_t{x.toa < p2.toa};
        Hit n1 = pick(before1, p1, x);
        Hit n2 = pick(before2, p2, pick(before1, x, p1));
        Hit n3 = pick(before2, x, p2);
        hits[i] = n1, hits[i - 1] = n2, hits[i - 2] = n3;
        p1 = n1, p2 = n2, p3 = n3;
    }
}

// Hits whose ToAs lie too far apart for a key that holds a position too, put
// in order through a list of their positions. -1 when memory is short.
int settle_wide(Work& work) noexcept {
    size_t count = work.count;
    RawArray<uint32_t> order = raw_array<uint32_t>(count);
    Padded<Hit> sorted;
    RawArray<uint32_t> origin = work.origin ? raw_array<uint32_t>(count) : nullptr;
    if (!order || !sorted.reserve(count) || (work.origin && !origin)) return -1;
    const Hit* hits = work.hits.get();
    for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order.get(), order.get() + count,
              [hits](uint32_t a, uint32_t b) { return hits[a].toa != hits[b].toa ? hits[a].toa < hits[b].toa : a < b; });
    for (size_t i = 0; i < count; ++i) {
        sorted.get()[i] = hits[order[i]];
        if (origin) origin[i] = work.origin[order[i]];
    }
    work.hits = std::move(sorted);
    if (origin) work.origin = std::move(origin);
    work.lo = 0;
    work.position_bits = 0;
    return 0;
}

// Steps 1 and 2: `work.hits` holds the held hits and the kept packets,
// decoded, in order of ToA, ties in the order delivered. -1 when memory is
// short.
int gather(State& s, const unsigned char* packets, size_t n, Work& work) noexcept {
    const Settings& set = s.settings;
    uint64_t late_below = s.seen && s.newest > set.disorder ? s.newest - set.disorder : 0;
    uint64_t lo = UINT64_MAX, hi = 0, previous = 0;
    bool sorted = true;
    size_t kept = 0;
    auto packet = [&](size_t i) {
        Packet p;
        std::memcpy(&p, packets + i * sizeof p, sizeof p);  // the SDK's records need not be aligned
        return p;
    };
    for (size_t i = 0; i < n; ++i) {
        Packet p = packet(i);
        if ((p.address >> 16) >= set.chips) {
            ++s.counts.out_of_range;
            continue;
        }
        if (p.toa < late_below) {
            ++s.counts.late;
            continue;
        }
        sorted = sorted && p.toa >= previous;
        previous = p.toa;
        lo = std::min(lo, p.toa);
        hi = std::max(hi, p.toa);
        ++kept;
    }
    s.counts.hits += n;
    if (kept > 0) {
        s.newest = s.seen ? std::max(s.newest, hi) : hi;
        s.seen = true;
    }
    const Packet* held = s.held.get();
    size_t held_count = s.held_count;
    if (held_count > 0) {
        sorted = sorted && (kept == 0 || held[held_count - 1].toa <= lo);
        lo = std::min(lo, held[0].toa);
        hi = std::max(hi, held[held_count - 1].toa);
    }
    work.held = held_count;
    work.count = held_count + kept;
    if (work.count == 0) return 0;
    // Links double as bucket counts: one more than the hits.
    if (!work.hits.reserve(work.count) || !work.links.reserve(work.count + 2)) return -1;
    if (work.want_origin) {
        work.origin = raw_array<uint32_t>(work.count);
        if (!work.origin) return -1;
    }
    Hit* hits = work.hits.get();
    uint32_t* origin = work.origin.get();
    auto keep = [&](const Packet& p) { return (p.address >> 16) < set.chips && p.toa >= late_below; };
    // use(packet, its index among the packets or UINT32_MAX for a held hit)
    auto for_each_kept = [&](auto&& use) {
        for (size_t i = 0; i < held_count; ++i) use(held[i], UINT32_MAX);
        for (size_t i = 0; i < n; ++i) {
            Packet p = packet(i);
            if (keep(p)) use(p, static_cast<uint32_t>(i));
        }
    };
    int bits = 1;
    while ((size_t{1} << bits) < work.count) ++bits;
    uint64_t range = hi - lo;
    size_t at = 0;
    if (sorted || (range >> (64 - bits)) != 0) {
        for_each_kept([&](const Packet& p, uint32_t from) {
            if (origin != nullptr) origin[at] = from;
            hits[at++] = decoded(p);
        });
        return sorted ? 0 : settle_wide(work);
    }
    // Buckets of about one hit each, counted in the links' memory, which the
    // joins need only afterwards.
    work.lo = lo;
    work.position_bits = bits;
    if (origin != nullptr) {
        work.scattered = raw_array<uint32_t>(work.count);
        if (!work.scattered) return -1;
        origin = work.scattered.get();
    }
    int shift = 0;
    while ((range >> shift) >= work.count) ++shift;  // ends by 63: range >> 63 is at most 1
    size_t buckets = static_cast<size_t>(range >> shift) + 1;
    auto* start = reinterpret_cast<uint32_t*>(work.links.get());
    std::memset(start, 0, (buckets + 1) * sizeof(uint32_t));
    for_each_kept([&](const Packet& p, uint32_t) { ++start[((p.toa - lo) >> shift) + 1]; });
    uint32_t fullest = 0;
    for (size_t b = 1; b <= buckets; ++b) {
        fullest = std::max(fullest, start[b]);
        start[b] += start[b - 1];
    }
    for_each_kept([&](const Packet& p, uint32_t from) {
        size_t to = start[(p.toa - lo) >> shift]++;
        Hit h = decoded(p);
        h.toa = (p.toa - lo) << bits | to;
        hits[to] = h;
        if (origin != nullptr) origin[to] = from;
    });
    settle(hits, start, buckets, fullest, work.count);
    return 0;
}

// Whether two cells touch (or are one): their difference is dy * kStride +
// dx with dx and dy in -1..1, and for four neighbours one of them 0.
template <bool kEight>
inline bool touching(uint32_t cell, uint32_t other) noexcept {
    uint32_t d = cell - other + kStride + 1;
    uint32_t q = d >> kStrideBits, r = d & kColumnMask;
    if constexpr (kEight) return (q <= 2) & (r <= 2);
    else return (q <= 2) & (r <= 2) & ((q == 1) | (r == 1));
}

// Step 3, each hit's sort key turned back into its ToA on the way. Where the
// window holds few hits, a hit is compared with each of them; where it holds
// many, with the latest hit of each neighbouring pixel, which the grid keeps
// (written only then, for the hits of the window it has not seen yet). -1
// when there is no memory for the grid.
template <bool kEight>
int join(State& s, Work& work) noexcept {
    const Settings& set = s.settings;
    Hit* hits = work.hits.get();
    int32_t* links = work.links.get();
    uint64_t lo = work.lo;
    int bits = work.position_bits;
    constexpr int32_t row = static_cast<int32_t>(kStride);
    static constexpr int32_t kOffsets[9] = {0, -1, 1, -row, row, -row - 1, -row + 1, row - 1, row + 1};
    constexpr int kNeighbours = kEight ? 9 : 5;  // kOffsets: the centre, its row and column, then the corners
    constexpr int32_t kCompared = 12;  // beyond this many hits in the window the grid is cheaper
    auto window = static_cast<uint32_t>(set.window);  // below 2**31 ticks: checked at construction
    auto count = static_cast<int32_t>(work.count);
    int32_t first = 0;    // the window's first hit
    int32_t written = 0;  // the grid holds the hits before this one that are in the window
    size_t merged = 0;
    auto link = [&](int32_t& root, int32_t j) {
        int32_t other = root_of(links, j);
        if (other == root) return;
        if (other < root) std::swap(other, root);
        links[other] = root;  // the earlier hit stays the root
        ++merged;
    };
    uint32_t* origin = work.scattered ? work.origin.get() : nullptr;
    const uint32_t* scattered = work.scattered.get();
    uint64_t position = (uint64_t{1} << bits) - 1;
    for (int32_t i = 0; i < count; ++i) {
        if (origin != nullptr) origin[i] = scattered[hits[i].toa & position];
        hits[i].toa = lo + (hits[i].toa >> bits);
        const Hit h = hits[i];
        while (h.toa - hits[first].toa > set.window) ++first;
        int32_t root = i;
        links[i] = i;
        if (i - first <= kCompared) {
            for (int32_t j = first; j < i; ++j)
                if (touching<kEight>(h.cell, hits[j].cell)) link(root, j);
            continue;
        }
        if (!s.grid) {
            // Zeroed pages come from the system as they are touched.
            s.grid = raw_array<Cell>(size_t{set.rows + 2} << kStrideBits, true);
            if (!s.grid) return -1;
        }
        Cell* grid = s.grid.get();
        for (int32_t k = std::max(written, first); k < i; ++k)
            grid[hits[k].cell] = Cell{static_cast<uint32_t>(hits[k].toa), k};
        auto low = static_cast<uint32_t>(h.toa);
        for (int k = 0; k < kNeighbours; ++k) {
            uint32_t cell = h.cell + static_cast<uint32_t>(kOffsets[k]);
            Cell c = grid[cell];
            if (static_cast<uint32_t>(low - c.toa) > window) continue;
            int32_t j = c.hit;
            // A cell left by an earlier call, or a wrap of the low bits, names
            // a hit elsewhere, or one not yet reached.
            if (j < first || j >= i || hits[j].cell != cell) continue;
            link(root, j);
        }
        grid[h.cell] = Cell{low, i};
        written = i + 1;
    }
    work.clusters = work.count - merged;
    return 0;
}

// Step 4, into the rows themselves: x and y hold the weighted sums until
// `finish_rows` divides them. Clusters are labelled as their roots, their
// earliest hits, come: links[i] becomes -(label + 1), and a root's links
// are labelled before any of the hits that point to it.
template <bool kCalibrated, bool kEnergyWeight>
void sum_up([[maybe_unused]] const State& s, Work& work, Row* rows, int64_t* labels) noexcept {
    const Hit* hits = work.hits.get();
    int32_t* links = work.links.get();
    const uint32_t* origin = work.origin.get();
    size_t labelled = 0;
    // A pixel's calibration lies anywhere in a table of 32 bytes a pixel (8 MB
    // for a quad), and hits in time order visit pixels at random: ask for the
    // one a few hits ahead, so that its wait overlaps this hit's work.
    constexpr size_t kAhead = 8;
    [[maybe_unused]] auto pixel_of = [](uint32_t cell) {
        uint32_t ux = (cell & kColumnMask) - 1, uy = (cell >> kStrideBits) - 1;
        return ((uy / kChipSize) * kChipsPerRow + ux / kChipSize) << 16 | (uy % kChipSize) << 8 | (ux % kChipSize);
    };
    for (size_t i = 0; i < work.count; ++i) {
        const Hit h = hits[i];
        if constexpr (kCalibrated) {
            if (i + kAhead < work.count) __builtin_prefetch(&s.calibration[pixel_of(hits[i + kAhead].cell)]);
        }
        int32_t up = links[i];
        links[i] = up == static_cast<int32_t>(i) ? -static_cast<int32_t>(labelled + 1) : links[up];
        size_t label = static_cast<size_t>(-links[i] - 1);
        if (labels != nullptr && origin[i] != UINT32_MAX) labels[origin[i]] = static_cast<int64_t>(label);
        Row& c = rows[label];
        double x = (h.cell & kColumnMask) - 1, y = (h.cell >> kStrideBits) - 1;
        double w = h.tot, kev = NAN, toa = static_cast<double>(h.toa) * kToaNs;
        if constexpr (kCalibrated) {
            uint32_t pixel = pixel_of(h.cell);
            uint32_t chip = pixel >> 16;
            kev = energy_of(s.calibration[pixel], h.tot);
            toa -= walk_of(s.settings.walk_ns, kev, s.thresholds[chip]);
            if constexpr (kEnergyWeight) w = kev;
        }
        if (label == labelled) {
            ++labelled;
            c = Row{w * x, w * y, toa, static_cast<double>(h.tot), kev, 1};
            continue;
        }
        c.x += w * x;
        c.y += w * y;
        c.tot += h.tot;
        ++c.size;
        if constexpr (kCalibrated) {
            c.toa = std::min(c.toa, toa);
            c.energy += kev;
        }
    }
}

// The weighted sums divided, ToT in ns. All weights zero (ToTs of 0) leave
// the centroid undefined: NaN.
template <bool kEnergyWeight>
void finish_rows(Row* rows, size_t count) noexcept {
    for (size_t k = 0; k < count; ++k) {
        Row& c = rows[k];
        double w = kEnergyWeight ? c.energy : c.tot;
        c.x /= w;
        c.y /= w;
        c.tot *= kTotNs;
    }
}

// Step 4 and 5: `rows` (one a cluster) filled, the closed ones first;
// work.closed says how many; `labels`, when not null, gets each packet's
// row. -1 when memory is short.
int sum_and_hold(State& s, Work& work, bool final, Row* rows, int64_t* labels) noexcept {
    if (s.calibration == nullptr) sum_up<false, false>(s, work, rows, labels);
    else if (s.settings.energy_weight) sum_up<true, true>(s, work, rows, labels);
    else sum_up<true, false>(s, work, rows, labels);
    if (s.settings.energy_weight) finish_rows<true>(rows, work.clusters);
    else finish_rows<false>(rows, work.clusters);
    const Hit* hits = work.hits.get();
    const int32_t* links = work.links.get();
    if (final) {
        work.closed = work.clusters;
        s.counts.clusters += work.closed;
        s.held.reset();
        s.held_count = 0;
        return 0;
    }
    work.spans = raw_array<Span>(work.clusters);
    if (!work.spans) return -1;
    Span* spans = work.spans.get();
    size_t labelled = 0;
    for (size_t i = 0; i < work.count; ++i) {
        size_t label = static_cast<size_t>(-links[i] - 1);
        if (label == labelled) {
            spans[label].first = hits[i].toa;
            ++labelled;
        }
        spans[label].last = hits[i].toa;
    }
    // A hit at or after `horizon` is not late (see gather), so a cluster whose
    // last hit is more than a window before it can no longer grow; one that
    // began more than max_span before that is cut, so that what is held stays
    // within disorder + window + max_span of the newest hit. Open clusters
    // keep their hits and lose their rows; closed rows move up, in order.
    const Settings& set = s.settings;
    uint64_t horizon = s.newest > set.disorder ? s.newest - set.disorder : 0;
    uint64_t done_before = horizon > set.window ? horizon - set.window : 0;
    uint64_t cut_before = done_before > set.max_span ? done_before - set.max_span : 0;
    size_t closed = 0, kept = 0;
    for (size_t k = 0; k < work.clusters; ++k) {
        const Span& c = spans[k];
        bool cut = c.last >= done_before && c.first < cut_before;
        bool done = c.last < done_before || cut;
        s.counts.cut += cut;
        spans[k].last = done;  // from here on: whether it is closed
        if (done) rows[closed++] = rows[k];
        else kept += rows[k].size;  // not yet overwritten: rows move only up
    }
    work.closed = closed;
    s.counts.clusters += closed;

    // What is held gets a buffer of its size: a block's is not kept for a
    // handful of hits. Held as packets, in ToA order, ahead of the next call's.
    RawArray<Packet> held;
    if (kept > 0) {
        held = raw_array<Packet>(kept);
        if (!held) return -1;
        size_t at = 0;
        for (size_t i = 0; i < work.count; ++i)
            if (!spans[-links[i] - 1].last) held[at++] = packet_of(hits[i]);
    }
    s.held = std::move(held);
    s.held_count = kept;
    return 0;
}

// The work buffers of the last call, for the next: fresh pages cost the
// kernel's time at every first touch, more than the clustering of the hits
// they hold. Only touched with the interpreter lock; a few MB at most.
class Spare {
public:
    void lend(Work& work) noexcept {
        work.hits = std::move(hits_);
        work.links = std::move(links_);
    }
    void take_back(Work& work) noexcept {
        if (work.hits.capacity > kKept || work.links.capacity > kKept + 2) return;
        hits_ = std::move(work.hits);
        links_ = std::move(work.links);
    }

private:
    static constexpr size_t kKept = size_t{1} << 20;  // hits: 20 MB
    Padded<Hit> hits_;
    Padded<int32_t> links_;
};
Spare spare;

// ---- the type ----

PyObject* cluster_dtype = nullptr;  // the module body's, owned for the life of the process

int keep_cluster_dtype(PyObject* module) noexcept {
    cluster_dtype = PyObject_GetAttrString(module, "cluster_dtype");
    if (cluster_dtype == nullptr) return -1;
    if (!PyArray_DescrCheck(cluster_dtype) ||
        PyDataType_ELSIZE(reinterpret_cast<PyArray_Descr*>(cluster_dtype)) != sizeof(Row)) {
        PyErr_SetString(PyExc_SystemError, "cluster_dtype does not lay rows out as the engine writes them");
        return -1;
    }
    return 0;
}

// A non-negative whole number of ticks, at most `most`.
int ticks_arg(PyObject* obj, const char* name, uint64_t most, uint64_t* out) noexcept {
    if (vx::unsigned_arg(obj, "uint64_t", out) < 0) return -1;
    if (*out > most) {
        PyErr_Format(PyExc_ValueError, "%s must be at most %llu ticks, got %llu", name,
                     static_cast<unsigned long long>(most), static_cast<unsigned long long>(*out));
        return -1;
    }
    return 0;
}

int hold_doubles(vx::HeldBuffer& buffer, PyObject* exporter, const char* name, size_t count) noexcept {
    if (buffer.hold(exporter, PyBUF_C_CONTIGUOUS) < 0) return -1;
    if (buffer.size() != count * sizeof(double)) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zu float64 values, got %zu bytes", name, count, buffer.size());
        return -1;
    }
    if (reinterpret_cast<uintptr_t>(buffer.data()) % alignof(double) != 0) {
        PyErr_Format(PyExc_ValueError, "%s must be aligned to 8 bytes", name);
        return -1;
    }
    return 0;
}

void engine_dealloc(PyObject* self) noexcept {
    state_of(self).~State();
    Py_TYPE(self)->tp_free(self);
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[9];
    if (vx::bind_args("Engine", args, kwargs,
                      {"window_ticks", "neighbours", "chips", "disorder_ticks", "max_span_ticks", "energy_weight",
                       "calibration", "thresholds", "walk_ns"},
                      6, values) < 0)
        return nullptr;
    Settings set;
    uint64_t neighbours = 0, chips = 0;
    // Hits are matched on 32 bits of ToA; 2**31 ticks is 3.4 s.
    if (ticks_arg(values[0], "window_ticks", 0x7FFFFFFF, &set.window) < 0 ||
        vx::unsigned_arg(values[1], "uint64_t", &neighbours) < 0 ||
        vx::unsigned_arg(values[2], "uint64_t", &chips) < 0 ||
        ticks_arg(values[3], "disorder_ticks", uint64_t{1} << 62, &set.disorder) < 0 ||
        ticks_arg(values[4], "max_span_ticks", uint64_t{1} << 62, &set.max_span) < 0)
        return nullptr;
    if (neighbours != 4 && neighbours != 8) {
        PyErr_Format(PyExc_ValueError, "neighbours must be 4 or 8, got %llu", static_cast<unsigned long long>(neighbours));
        return nullptr;
    }
    if (chips < 1 || chips > kMaxChips) {
        PyErr_Format(PyExc_ValueError, "chips must be 1 to %u, got %llu", kMaxChips,
                     static_cast<unsigned long long>(chips));
        return nullptr;
    }
    int energy_weight = PyObject_IsTrue(values[5]);
    if (energy_weight < 0) return nullptr;
    set.eight = neighbours == 8;
    set.energy_weight = energy_weight;
    set.chips = static_cast<uint32_t>(chips);
    set.columns = std::min(set.chips, kChipsPerRow) * kChipSize;
    set.rows = (set.chips + kChipsPerRow - 1) / kChipsPerRow * kChipSize;
    PyObject* calibration = values[6] && values[6] != Py_None ? values[6] : nullptr;
    PyObject* thresholds = values[7] && values[7] != Py_None ? values[7] : nullptr;
    if ((calibration == nullptr) != (thresholds == nullptr)) {
        PyErr_SetString(PyExc_ValueError, "calibration and thresholds come together");
        return nullptr;
    }
    if (values[8] != nullptr) {
        set.walk_ns = PyFloat_AsDouble(values[8]);
        if (set.walk_ns == -1.0 && PyErr_Occurred()) return nullptr;
        if (!(set.walk_ns >= 0.0 && set.walk_ns <= 1e6)) {
            PyErr_Format(PyExc_ValueError, "walk_ns must be 0 to 1e6, got %R", values[8]);
            return nullptr;
        }
    }
    if (set.energy_weight && calibration == nullptr) {
        PyErr_SetString(PyExc_ValueError, "energy_weight needs a calibration");
        return nullptr;
    }

    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    State& s = *new (&state_of(self.get())) State();
    s.settings = set;
    if (calibration != nullptr) {
        if (hold_doubles(s.calibration_buffer, calibration, "calibration",
                         size_t{set.chips} * kChipSize * kChipSize * 4) < 0 ||
            hold_doubles(s.threshold_buffer, thresholds, "thresholds", set.chips) < 0)
            return nullptr;
        s.calibration = static_cast<const PixelCalibration*>(s.calibration_buffer.data());
        s.thresholds = static_cast<const double*>(s.threshold_buffer.data());
    }
    return self.release();
}

// Marks the engine busy for a call: two threads never share its state.
class Busy {
public:
    explicit Busy(State& s) noexcept : s_(s) {}
    ~Busy() {
        if (mine_) s_.busy = false;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    int take(const char* what) noexcept {
        if (s_.busy) {
            PyErr_Format(PyExc_RuntimeError, "%s: the clusterer is in use by another thread", what);
            return -1;
        }
        s_.busy = mine_ = true;
        return 0;
    }

private:
    State& s_;
    bool mine_ = false;
};

PyObject* engine_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* values[3];
    if (vx::bind_args("add", args, nargs, kwnames, {"packets", "final", "labels"}, 2, values) < 0) return nullptr;
    int final = PyObject_IsTrue(values[1]);
    if (final < 0) return nullptr;
    int want_labels = values[2] != nullptr ? PyObject_IsTrue(values[2]) : 0;
    if (want_labels < 0) return nullptr;
    if (want_labels && !final) {
        // Rows of clusters still open are not given out yet.
        PyErr_SetString(PyExc_ValueError, "labels come only with final");
        return nullptr;
    }
    State& s = state_of(self);
    Busy busy(s);
    if (busy.take("add") < 0) return nullptr;
    vx::HeldBuffer packets;
    if (packets.hold(values[0], PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    if (packets.size() % sizeof(Packet) != 0) {
        PyErr_Format(PyExc_ValueError, "packets must be whole 16-byte ToA-ToT records, got %zu bytes", packets.size());
        return nullptr;
    }
    size_t n = packets.size() / sizeof(Packet);
    if (n > kMaxHits - s.held_count) {
        PyErr_Format(PyExc_ValueError, "packets must hold at most %zu hits a call, got %zu", kMaxHits - s.held_count,
                     n);
        return nullptr;
    }
    const auto* bytes = static_cast<const unsigned char*>(packets.data());
    Work work;
    work.want_origin = want_labels;
    spare.lend(work);
    struct GiveBack {
        Work& work;
        ~GiveBack() { spare.take_back(work); }
    } give_back{work};
    int rc = vx::without_gil([&] {
        if (gather(s, bytes, n, work) < 0) return -1;
        return s.settings.eight ? join<true>(s, work) : join<false>(s, work);
    });
    packets.release();
    if (rc < 0) return PyErr_NoMemory();
    Ref rows = vx::fresh_array(reinterpret_cast<PyArray_Descr*>(Ref::borrow(cluster_dtype).release()),
                               static_cast<npy_intp>(work.clusters));
    if (!rows) return nullptr;
    Ref labels;
    int64_t* label_data = nullptr;
    if (want_labels) {
        labels = vx::fresh_array(PyArray_DescrFromType(NPY_INT64), static_cast<npy_intp>(n));
        if (!labels) return nullptr;
        label_data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(labels.get())));
    }
    auto* array = reinterpret_cast<PyArrayObject*>(rows.get());
    auto* out = static_cast<Row*>(PyArray_DATA(array));
    rc = vx::without_gil([&] {
        if (label_data != nullptr) std::memset(label_data, 0xFF, n * sizeof(int64_t));  // -1: skipped
        return sum_and_hold(s, work, final, out, label_data);
    });
    if (rc < 0) return PyErr_NoMemory();
    if (work.closed < work.clusters) {
        // The open clusters' rows go; the memory shrinks in place.
        npy_intp closed = static_cast<npy_intp>(work.closed);
        PyArray_Dims shape = {&closed, 1};
        Ref none = Ref::steal(PyArray_Resize(array, &shape, 0, NPY_CORDER));
        if (!none) return nullptr;
    }
    if (!want_labels) return rows.release();
    return PyTuple_Pack(2, rows.get(), labels.get());
}

PyObject* engine_counts(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (vx::no_args("counts", nargs, kwnames) < 0) return nullptr;
    const State& s = state_of(self);
    if (s.busy) {
        PyErr_SetString(PyExc_RuntimeError, "counts: the clusterer is in use by another thread");
        return nullptr;
    }
    const Counts& c = s.counts;
    return Py_BuildValue("(KKKKKn)", static_cast<unsigned long long>(c.hits),
                         static_cast<unsigned long long>(c.clusters), static_cast<unsigned long long>(c.late),
                         static_cast<unsigned long long>(c.out_of_range), static_cast<unsigned long long>(c.cut),
                         static_cast<Py_ssize_t>(s.held_count));
}

PyMethodDef engine_methods[] = {
    vx::method("add", engine_add, R"(Engine.add(self, packets: Buffer, final: bool, labels: bool = False) -> npt.NDArray[np.void] | tuple[npt.NDArray[np.void], npt.NDArray[np.int64]]

The clusters finished once `packets` (16-byte ToA-ToT records) are added, as cluster_dtype rows in order of
their earliest hit; with `final`, every cluster. With `labels` (and `final`), also each packet's row (int64;
-1 for a packet skipped). Runs without the interpreter lock.
)"),
    vx::method("counts", engine_counts, R"(Engine.counts(self) -> tuple[int, int, int, int, int, int]

Hits received, clusters given out, late hits dropped, hits of addresses past the chips, clusters cut at
max_span, and hits held now.
)"),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject engine_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vexasdk._clusters.Engine",
    .tp_basicsize = sizeof(EngineObject),
    .tp_dealloc = engine_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Engine(window_ticks, neighbours, chips, disorder_ticks, max_span_ticks, energy_weight, "
              "calibration=None, thresholds=None, walk_ns=0.0)\n--\n\nThe clustering state vexasdk.events.Clusterer drives.",
    .tp_methods = engine_methods,
    .tp_new = engine_new,
};

vx::Module module = {{PyModuleDef_HEAD_INIT, "vexasdk._clusters",
                      "Hits joined into clusters and reduced to centroids, without the interpreter lock.", -1}};

}  // namespace

PyMODINIT_FUNC PyInit__clusters() {
    return vx::ModuleStart(module)
        .then(vx::import_numpy_types, PyArray_ImportNumPyAPI)
        .ready(engine_type)
        .annotate(engine_type)
        .add("Engine", engine_type)
        .body("vexasdk/impl/_clusters", kBody)
        .then(keep_cluster_dtype)
        .done();
}
