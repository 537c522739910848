#include "particles.hpp"

#include <cstring>

#include <algorithm>
#include <array>

namespace vsim {
namespace {

// Charge cloud of a fully depleted 300 um sensor with 55 um pixels, in
// pixels; an undepleted layer lets it diffuse further.
constexpr double kCloudSigma = 0.3;
constexpr double kUndepletedSpread = 0.4;
constexpr double kReach = 2.5;  // cloud sigmas beyond which no charge is counted
constexpr double kDepletionVolts = 60.0;
constexpr double kBuiltInVolts = 0.6;
constexpr double kMaxTrack = 4.0;  // pixels: tracks steeper than ~36 degrees from the normal
constexpr double kThicknessPixels = 300.0 / 55.0;
// The largest patch a particle covers: its track, the cloud's reach on both
// sides, and a pixel of rounding.
constexpr int kPatch = 12;

// The standard normal distribution function, tabulated: a cloud's share of a
// pixel is a difference of two of its values.
class NormalCdf {
public:
    NormalCdf() {
        for (int i = 0; i <= kSteps; ++i) table_[i] = 0.5 * std::erfc(-(kLow + i / kScale) / std::numbers::sqrt2);
    }
    double operator()(double z) const {
        double at = (z - kLow) * kScale;
        if (!(at > 0.0)) return 0.0;
        if (at >= kSteps) return 1.0;
        int i = static_cast<int>(at);
        double frac = at - i;
        return table_[i] + (table_[i + 1] - table_[i]) * frac;
    }

private:
    static constexpr double kLow = -8.0, kScale = 256.0;
    static constexpr int kSteps = 16 * 256;
    std::array<double, kSteps + 1> table_;
};

const NormalCdf& normal_cdf() {
    static const NormalCdf table;
    return table;
}

// Its inverse at evenly spaced probabilities, for drawing normal deviates
// without a logarithm and a sine each.
class NormalQuantile {
public:
    static constexpr int kBits = 13;
    static constexpr int kSize = 1 << kBits;

    NormalQuantile() {
        // Midpoints keep the ends finite; bisection on erfc is exact enough.
        for (int i = 0; i <= kSize; ++i) {
            double p = (i + 0.5) / (kSize + 1.0);
            double lo = -10.0, hi = 10.0;
            for (int step = 0; step < 60; ++step) {
                double mid = 0.5 * (lo + hi);
                (0.5 * std::erfc(-mid / std::numbers::sqrt2) < p ? lo : hi) = mid;
            }
            table_[i] = 0.5 * (lo + hi);
        }
    }
    double operator()(uint64_t bits) const {
        auto i = static_cast<int>(bits >> (64 - kBits));
        double frac = static_cast<double>(bits << kBits >> 11) * 0x1.0p-53;
        return table_[i] + (table_[i + 1] - table_[i]) * frac;
    }

private:
    std::array<double, kSize + 1> table_;
};

const NormalQuantile& normal_quantile() {
    static const NormalQuantile table;
    return table;
}

// Shares of a cloud at `centre` (spread 1 / `inverse_sigma`) of the `n`
// pixels from `first` on.
void shares(double centre, double inverse_sigma, int first, int n, double* out) {
    const NormalCdf& cdf = normal_cdf();
    double below = cdf((first - centre) * inverse_sigma);
    for (int i = 0; i < n; ++i) {
        double next = cdf((first + i + 1 - centre) * inverse_sigma);
        out[i] = next - below;
        below = next;
    }
}

// Where the pixels `first` to `first + n - 1` of one axis of the assembled
// image lie: the chip column (or row) of each, -1 off the image, and the pixel
// within it.
void place(int first, int n, uint32_t pitch, uint32_t tiles, int* tile, uint32_t* pixel) {
    for (int i = 0; i < n; ++i) {
        int at = first + i;
        tile[i] = -1;
        if (at < 0) continue;
        uint32_t t = static_cast<uint32_t>(at) / pitch;
        if (t >= tiles) continue;
        tile[i] = static_cast<int>(t);
        pixel[i] = static_cast<uint32_t>(at) - t * pitch;
    }
}

// Landau-like energy loss: the Moyal distribution, most probable `mpv`.
double moyal(double mpv, double width, Rng& rng) {
    double z = rng.normal();
    return mpv - width * std::log(std::max(z * z, 1e-12));
}

}  // namespace

double Rng::normal() { return normal_quantile()(next()); }

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

double depletion_at(double volts) {
    double v = std::fabs(volts);
    if (!(v >= 0.0)) v = 0.0;  // NaN: no bias worth the name
    return std::min(1.0, std::sqrt((v + kBuiltInVolts) / kDepletionVolts));
}

Sensor::Sensor(std::vector<ChipView> chips, double depletion) : chips_(std::move(chips)), depletion_(depletion) {
    uint32_t widest = 0, tallest = 0;
    for (const ChipView& chip : chips_) {
        widest = std::max(widest, chip.width);
        tallest = std::max(tallest, chip.height);
        total_area_ += static_cast<double>(chip.width) * chip.height;
        cumulative_area_.push_back(total_area_);
    }
    pitch_x_ = std::max<uint32_t>(widest, 1);
    pitch_y_ = std::max<uint32_t>(tallest, 1);
    uint32_t columns = chips_.size() >= 2 ? 2 : 1;
    auto rows = static_cast<uint32_t>((chips_.size() + columns - 1) / columns);
    centre_x_ = 0.5 * columns * widest;
    centre_y_ = 0.5 * rows * tallest;
}

namespace {

// FNV-1a over the bytes of `data`, a word at a time where it can.
uint64_t mix(uint64_t hash, const void* data, size_t size) {
    constexpr uint64_t prime = 0x100000001b3ull;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t words = size / 8;
    for (size_t i = 0; i < words; ++i) {
        uint64_t word;
        memcpy(&word, bytes + i * 8, 8);
        hash = (hash ^ word) * prime;
    }
    for (size_t i = words * 8; i < size; ++i) hash = (hash ^ bytes[i]) * prime;
    return hash;
}

}  // namespace

uint64_t Sensor::fingerprint() const {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const ChipView& chip : chips_) {
        const double numbers[] = {static_cast<double>(chip.width), static_cast<double>(chip.height),
                                  static_cast<double>(chip.column_length), chip.threshold, chip.noise};
        hash = mix(hash, numbers, sizeof numbers);
        hash = mix(hash, chip.mask.data(), chip.mask.size());
        uint64_t response = chip.response ? chip.response->serial : 0;
        hash = mix(hash, &response, sizeof response);
    }
    return mix(hash, &depletion_, sizeof depletion_);
}

Sensor Sensor::of(DeviceModel& device) {
    std::vector<ChipView> chips;
    chips.reserve(device.chips.size());
    for (const ChipModel& model : device.chips) {
        ChipView chip;
        chip.width = std::min<uint32_t>(model.info.width, 256);
        chip.height = std::min<uint32_t>(model.info.height, 256);
        chip.column_length = model.info.height;
        chip.threshold = (static_cast<double>(model.thld_raw) - model.raw_offset) * model.kev_per_raw;
        chip.noise = std::min(std::fabs(static_cast<double>(model.info.noise_kev)), 1e6);
        chip.mask = model.mask;
        chip.response = model.response;
        chips.push_back(std::move(chip));
    }
    double volts = device.biases.empty() ? 0.0 : device.biases.front().actual_now();
    return Sensor(std::move(chips), depletion_at(volts));
}

Particle Sensor::flood(Rng& rng) const {
    double pick = rng.uniform() * total_area_;
    auto chip = static_cast<size_t>(std::upper_bound(cumulative_area_.begin(), cumulative_area_.end(), pick) -
                                    cumulative_area_.begin());
    chip = std::min(chip, chips_.size() - 1);
    while (chips_[chip].width == 0 || chips_[chip].height == 0) --chip;  // the pick fell on an area's end
    uint32_t columns = chips_.size() >= 2 ? 2 : 1;
    Particle p;
    p.x = static_cast<double>(chip % columns) * pitch_x_ + rng.uniform() * chips_[chip].width;
    p.y = static_cast<double>(chip / columns) * pitch_y_ + rng.uniform() * chips_[chip].height;
    double kind = rng.uniform();
    if (kind < 0.40) {
        p.energy = 59.5 + 0.8 * rng.normal();  // the photo-peak
    } else if (kind < 0.55) {
        p.kind = VEXASDK_SIM_LINE;
        p.energy = 13.9 + 0.4 * rng.normal();  // a fluorescence line
    } else if (kind < 0.80) {
        p.kind = VEXASDK_SIM_CONTINUUM;
        p.energy = 3.0 + 52.0 * rng.uniform();  // scattered photons
    } else {
        p.kind = VEXASDK_SIM_TRACK;
        // A minimum-ionising track crossing the sensor at an angle: the
        // longer its path, the more it deposits.
        double length = kMaxTrack * rng.uniform() * rng.uniform();
        double angle = 2.0 * std::numbers::pi * rng.uniform();
        p.dx = length * std::cos(angle);
        p.dy = length * std::sin(angle);
        double path = std::hypot(1.0, length / kThicknessPixels);
        p.energy = std::clamp(moyal(80.0 * path, 8.0, rng), 20.0, 2000.0);
    }
    p.energy = std::max(p.energy, 0.0);
    return p;
}

Particle beam_electron(double x, double y, Rng& rng) {
    Particle p;
    p.x = x;
    p.y = y;
    p.kind = VEXASDK_SIM_ELECTRON;
    double length = 0.8 * rng.uniform();
    double angle = 2.0 * std::numbers::pi * rng.uniform();
    p.dx = length * std::cos(angle);
    p.dy = length * std::sin(angle);
    // Most stop in the sensor; the rest scatter back out with part of their energy.
    p.energy = rng.uniform() < 0.85 ? 200.0 : 200.0 * rng.uniform();
    return p;
}

double Sensor::deposit(const Particle& particle, Rng& rng, std::vector<PixelHit>& out) const {
    if (empty()) return 0.0;
    double energy = particle.energy;
    if (depletion_ < 1.0) {
        if (rng.uniform() >= depletion_) return 0.0;
        energy *= depletion_;
    }
    double sigma = kCloudSigma + kUndepletedSpread * (1.0 - depletion_);
    double reach = kReach * sigma;
    double dx = std::clamp(particle.dx, -kMaxTrack, kMaxTrack), dy = std::clamp(particle.dy, -kMaxTrack, kMaxTrack);
    double x0 = std::min(particle.x, particle.x + dx), x1 = std::max(particle.x, particle.x + dx);
    double y0 = std::min(particle.y, particle.y + dy), y1 = std::max(particle.y, particle.y + dy);
    if (!(x1 + reach >= 0.0 && y1 + reach >= 0.0 && x0 < 1e9 && y0 < 1e9)) return energy;  // off the image
    int gx = static_cast<int>(std::floor(x0 - reach)), gy = static_cast<int>(std::floor(y0 - reach));
    int nx = std::min(static_cast<int>(std::floor(x1 + reach)) - gx + 1, kPatch);
    int ny = std::min(static_cast<int>(std::floor(y1 + reach)) - gy + 1, kPatch);

    // The track's charge, a cloud every half pixel of its length.
    double patch[kPatch * kPatch];
    std::fill_n(patch, nx * ny, 0.0);
    int clouds = 1 + static_cast<int>(2.0 * std::sqrt(dx * dx + dy * dy));
    double charge = energy / clouds, inverse_sigma = 1.0 / sigma;
    double fx[kPatch], fy[kPatch];
    for (int k = 0; k < clouds; ++k) {
        double along = (k + 0.5) / clouds;
        shares(particle.x + dx * along, inverse_sigma, gx, nx, fx);
        shares(particle.y + dy * along, inverse_sigma, gy, ny, fy);
        for (int j = 0; j < ny; ++j) {
            double row = charge * fy[j];
            if (row == 0.0) continue;
            for (int i = 0; i < nx; ++i) patch[j * nx + i] += row * fx[i];
        }
    }

    uint32_t columns = chips_.size() >= 2 ? 2 : 1;
    auto rows = static_cast<uint32_t>((chips_.size() + columns - 1) / columns);
    int column_of[kPatch], row_of[kPatch];
    uint32_t px_of[kPatch], py_of[kPatch];
    place(gx, nx, pitch_x_, columns, column_of, px_of);
    place(gy, ny, pitch_y_, rows, row_of, py_of);
    for (int j = 0; j < ny; ++j) {
        if (row_of[j] < 0) continue;
        for (int i = 0; i < nx; ++i) {
            double kev = patch[j * nx + i];
            if (!(kev > 0.0) || column_of[i] < 0) continue;
            size_t index = static_cast<size_t>(row_of[j]) * columns + column_of[i];
            if (index >= chips_.size()) continue;
            const ChipView& chip = chips_[index];
            uint32_t px = px_of[i], py = py_of[j];
            if (px >= chip.width || py >= chip.height) continue;
            // Noise never reaches 4 sigma (Rng::normal); the pixel's own
            // threshold is looked up only for a share that may reach it.
            double threshold = chip.threshold;
            const PixelConstants* pixel = nullptr;
            if (chip.response) {
                if (kev + 4.0 * chip.noise < threshold + chip.response->lowest_offset) continue;
                pixel = &chip.response->pixels[py * PixelResponse::kSide + px];
                threshold += pixel->offset;
            }
            if (kev + 4.0 * chip.noise < threshold) continue;
            size_t bit = static_cast<size_t>(px) * chip.column_length + py;
            if (bit < chip.mask.size() && chip.mask.data()[bit] == 0) continue;
            if (chip.noise > 0.0) kev += chip.noise * rng.normal();
            if (!(kev >= threshold)) continue;
            auto measured = static_cast<float>(kev);
            uint32_t tot = tot_of(measured, pixel ? *pixel : kUniformPixel);
            out.push_back({static_cast<uint32_t>(index << 16 | py << 8 | px), measured,
                           static_cast<float>(kev - threshold), tot});
        }
    }
    return energy;
}

vexasdk_sim_truth Sensor::truth_of(const Particle& particle, double energy, uint64_t toa, size_t pixels,
                                   uint64_t block) const {
    // The clouds deposit() spreads along the track centre on its middle.
    double dx = std::clamp(particle.dx, -kMaxTrack, kMaxTrack), dy = std::clamp(particle.dy, -kMaxTrack, kMaxTrack);
    double x = particle.x + 0.5 * dx, y = particle.y + 0.5 * dy;
    // Here chips lie as far apart as the largest is wide; addresses number
    // them 256 apart. Pixel k spans k to k + 1 here, k - 0.5 to k + 0.5 there.
    constexpr double kAddressed = 256.0;
    x += std::max(0.0, std::floor(x / pitch_x_)) * (kAddressed - pitch_x_) - 0.5;
    y += std::max(0.0, std::floor(y / pitch_y_)) * (kAddressed - pitch_y_) - 0.5;
    auto hits = static_cast<uint32_t>(std::min<size_t>(pixels, UINT32_MAX));
    return {.x = x, .y = y, .dx = dx, .dy = dy, .energy = energy, .toa = toa, .block = block, .pixels = hits,
            .kind = particle.kind};
}

uint64_t time_walk(double over_kev, Rng& rng) {
    double over = std::max(over_kev, 0.0);
    return static_cast<uint64_t>(64.0 / (1.0 + over) + 2.0 * rng.uniform());
}

}  // namespace vsim
