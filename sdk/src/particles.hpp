// What particles do in the sensor: where their charge lands, and what the
// chips make of it in the device's present state.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "model.hpp"
#include "rng.hpp"

namespace vsim {

// Where a particle enters the sensor (pixels of the assembled image), how far
// its track runs across it, the energy it deposits (keV) and what it is
// (VEXASDK_SIM_PHOTO_PEAK and so on).
struct Particle {
    double x = 0.0, y = 0.0;
    double dx = 0.0, dy = 0.0;
    double energy = 0.0;
    uint8_t kind = VEXASDK_SIM_PHOTO_PEAK;
};

// A pixel that saw a particle: the energy it measured, by how much that
// cleared its threshold (keV), and the ToT it reports.
struct PixelHit {
    uint32_t address;
    float kev;
    float over;
    uint32_t tot;
};

// One chip as a block's particles find it.
struct ChipView {
    uint32_t width = 0, height = 0;  // the pixels that take hits: at most 256 each way
    uint32_t column_length = 0;      // of the mask: the chip's own height
    double threshold = 0.0;          // keV
    double noise = 0.0;              // keV, standard deviation
    PixelMask mask;
    std::shared_ptr<const PixelResponse> response;  // null: every pixel kUniformPixel
};

// The device's chips and sensor bias as they were when a block was made.
// Chips sit two to a row in the assembled image (the quad: 0 top left, 1 top
// right, 2 bottom left, 3 bottom right), as far apart as the largest of them.
class Sensor {
public:
    Sensor() = default;
    Sensor(std::vector<ChipView> chips, double depletion);
    // Device `device` now. Caller holds the world lock.
    static Sensor of(DeviceModel& device);

    bool empty() const { return total_area_ == 0; }
    // Equal for sensors that make the same hits of the same particles: their
    // chips' sizes, thresholds, noise and masks, and the depletion.
    uint64_t fingerprint() const;
    // The centre of the assembled image.
    double centre_x() const { return centre_x_; }
    double centre_y() const { return centre_y_; }
    // A particle of the flood source (X-rays and minimum-ionising tracks)
    // entering at a uniformly random pixel. Not for an empty sensor.
    Particle flood(Rng& rng) const;
    // Appends the pixels that see `particle`; answers the energy the sensor
    // collected of it (keV).
    double deposit(const Particle& particle, Rng& rng, std::vector<PixelHit>& out) const;
    // The truth of `particle`, which deposited `energy` and made `pixels`
    // hits timed from tick `toa`, in pixel addresses' image coordinates.
    vexasdk_sim_truth truth_of(const Particle& particle, double energy, uint64_t toa, size_t pixels,
                               uint64_t block) const;

private:
    std::vector<ChipView> chips_;
    std::vector<double> cumulative_area_;
    double total_area_ = 0.0;
    uint32_t pitch_x_ = 256, pitch_y_ = 256;
    double centre_x_ = 0.0, centre_y_ = 0.0;
    double depletion_ = 1.0;
};

// The depleted fraction of a sensor biased at `volts`.
double depletion_at(double volts);
// A beam electron of 200 keV landing at (x, y).
Particle beam_electron(double x, double y, Rng& rng);
// The ToT, in 25 ns units, of a pixel of response `pixel` that measured `kev`.
inline uint32_t tot_of(double kev, const PixelConstants& pixel) {
    // The usual surrogate: linear far above threshold, bending down near it.
    if (!(kev > pixel.t + 0.01)) return 1;
    double tot = pixel.a * kev + pixel.b - pixel.c / (kev - pixel.t);
    return static_cast<uint32_t>(std::clamp(std::nearbyint(tot), 1.0, 1023.0));
}
// How much later, in ticks, a hit `over_kev` above threshold crosses it.
uint64_t time_walk(double over_kev, Rng& rng);

// Pixel hits per flood particle on a fully depleted sensor at a 5 keV
// threshold with nothing masked: what packets_per_block counts (measured;
// the tests hold the generator to it).
inline constexpr double kReferenceHitsPerParticle = 2.38;

}  // namespace vsim
