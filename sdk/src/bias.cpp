// Bias sources: a desired value in volts and a measured one that follows it.
#include <cmath>

#include "calls.hpp"
#include "model.hpp"
#include "rng.hpp"

namespace vsim {
namespace {

// How fast the measured value settles, and how much it wanders.
constexpr double kLagSeconds = 0.15;
constexpr double kNoiseVolts = 0.01;
constexpr double kNoisePerVolt = 1e-4;

// A value in [-1, 1), from the source's own state of the generator.
double noise(uint64_t& state) {
    Rng rng{state};
    double value = rng.uniform() * 2.0 - 1.0;
    state = rng.state;
    return value;
}

}  // namespace

float BiasModel::actual_now() {
    if (pinned) return actual;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - changed).count();
    double eased = desired + (static_cast<double>(actual) - desired) * std::exp(-elapsed / kLagSeconds);
    if (!std::isfinite(eased)) return desired;  // a scripted infinite or NaN value has no lag to model
    double amplitude = kNoiseVolts + kNoisePerVolt * std::fabs(eased);
    return static_cast<float>(eased + amplitude * noise(noise_state));
}

void BiasModel::follow(float desired_volts) {
    actual = actual_now();
    pinned = false;
    changed = std::chrono::steady_clock::now();
    desired = desired_volts;
}

void BiasModel::pin(float actual_volts) {
    actual = actual_volts;
    pinned = true;
}

}  // namespace vsim

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_bias_get_count(vexasdk_dev_ctx* ctx, uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("count", count));
    return read_count<&DeviceModel::biases>(ctx, count);
}

VEXASDK_API vexasdk_err_code vexasdk_bias_get_range(vexasdk_dev_ctx* ctx, uint8_t bias_id, float* min_volts,
                                                    float* max_volts) {
    VSIM_ENTER(arg("ctx", ctx), arg("bias_id", bias_id), arg("min_volts", min_volts), arg("max_volts", max_volts));
    if (min_volts == nullptr || max_volts == nullptr) return VEXASDK_ERR_EFAULT;
    return with_item<&DeviceModel::biases>(ctx, bias_id, [&](BiasModel& bias) -> int32_t {
        *min_volts = bias.min_volts;
        *max_volts = bias.max_volts;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_bias_set_desired(vexasdk_dev_ctx* ctx, uint8_t bias_id, float volts) {
    VSIM_ENTER(arg("ctx", ctx), arg("bias_id", bias_id), arg("volts", volts));
    return with_item<&DeviceModel::biases>(ctx, bias_id, [&](BiasModel& bias) -> int32_t {
        // Written so that NaN is refused too.
        if (!(volts >= bias.min_volts && volts <= bias.max_volts)) return VEXASDK_ERR_EINVAL;
        bias.follow(volts);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_bias_get_desired(vexasdk_dev_ctx* ctx, uint8_t bias_id, float* volts) {
    VSIM_ENTER(arg("ctx", ctx), arg("bias_id", bias_id), arg("volts", volts));
    return read_item<&DeviceModel::biases>(ctx, bias_id, volts, &BiasModel::desired);
}

VEXASDK_API vexasdk_err_code vexasdk_bias_get_actual(vexasdk_dev_ctx* ctx, uint8_t bias_id, float* volts) {
    VSIM_ENTER(arg("ctx", ctx), arg("bias_id", bias_id), arg("volts", volts));
    return read_item<&DeviceModel::biases>(ctx, bias_id, volts, &BiasModel::actual_now);
}
