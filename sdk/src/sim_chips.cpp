// Harness control of chips: count, descriptions, state behind the getters,
// masks and scripted settings records.
#include <chrono>
#include <cmath>
#include <cstring>

#include "model.hpp"

using namespace vsim;

namespace {

constexpr uint32_t kMaxChips = 255;  // what a uint8_t count can report
constexpr uint32_t kMaxSide = 4096;

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_count(uint32_t device, uint32_t count) {
    if (count > kMaxChips) return VEXASDK_ERR_EINVAL;
    return with_sim_device(device, [&](DeviceModel& model) -> int32_t {
        if (model.acq.state == AcqState::running) return VEXASDK_ERR_EBUSY;
        while (model.chips.size() > count) model.chips.pop_back();
        while (model.chips.size() < count)
            model.chips.push_back(make_default_chip(model.index, static_cast<uint32_t>(model.chips.size())));
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_chip_info(uint32_t device, uint32_t chip, vexasdk_chip_info* info) {
    return read_sim_item<&DeviceModel::chips>(device, chip, info, &ChipModel::info);
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_info(uint32_t device, uint32_t chip, const vexasdk_chip_info* info) {
    if (info == nullptr) return VEXASDK_ERR_EFAULT;
    vexasdk_chip_info copy;
    memcpy(&copy, info, sizeof copy);
    // The caller may hand any byte as the flag; a bool must hold 0 or 1.
    unsigned char flag;
    memcpy(&flag, reinterpret_cast<const unsigned char*>(info) + offsetof(vexasdk_chip_info, is_calibrated), 1);
    copy.is_calibrated = flag != 0;
    copy.name[sizeof copy.name - 1] = '\0';
    if (copy.width > kMaxSide || copy.height > kMaxSide) return VEXASDK_ERR_EINVAL;
    if (!std::isfinite(copy.min_kev) || !std::isfinite(copy.max_kev) || !std::isfinite(copy.noise_kev) ||
        copy.min_kev > copy.max_kev || copy.min_raw > copy.max_raw)
        return VEXASDK_ERR_EINVAL;
    return with_sim_item<&DeviceModel::chips>(device, chip, [&](ChipModel& model) -> int32_t {
        size_t pixels = static_cast<size_t>(copy.width) * copy.height;
        if (model.mask.size() != pixels || model.info.width != copy.width) model.mask.assign(pixels, 1);
        model.info = copy;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_chip_state(uint32_t device, uint32_t chip,
                                                        vexasdk_sim_chip_state* state) {
    return read_sim_item<&DeviceModel::chips>(device, chip, state, [](const ChipModel& model) {
        return vexasdk_sim_chip_state{model.polarity, model.mode, model.thld_raw, model.kev_per_raw,
                                      model.raw_offset, model.configure_count};
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_state(uint32_t device, uint32_t chip,
                                                        const vexasdk_sim_chip_state* state) {
    if (state == nullptr) return VEXASDK_ERR_EFAULT;
    vexasdk_sim_chip_state copy = *state;
    // The keV conversion divides by the slope.
    if (!std::isfinite(copy.kev_per_raw) || !(copy.kev_per_raw > 0.0f) || !std::isfinite(copy.raw_offset))
        return VEXASDK_ERR_EINVAL;
    return with_sim_item<&DeviceModel::chips>(device, chip, [&](ChipModel& model) -> int32_t {
        model.polarity = copy.polarity;
        model.mode = copy.mode;
        model.thld_raw = copy.thld_raw;
        model.kev_per_raw = copy.kev_per_raw;
        model.raw_offset = copy.raw_offset;
        model.configure_count = copy.configure_count;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_chip_mask(uint32_t device, uint32_t chip, uint8_t* data, size_t len) {
    if (data == nullptr && len != 0) return VEXASDK_ERR_EFAULT;
    return with_sim_item<&DeviceModel::chips>(device, chip, [&](ChipModel& model) -> int32_t {
        if (len != model.mask.size()) return VEXASDK_ERR_EINVAL;
        if (len != 0) memcpy(data, model.mask.data(), len);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_mask(uint32_t device, uint32_t chip, const uint8_t* data,
                                                       size_t len) {
    if (data == nullptr && len != 0) return VEXASDK_ERR_EFAULT;
    return with_sim_item<&DeviceModel::chips>(device, chip, [&](ChipModel& model) -> int32_t {
        if (len != model.mask.size()) return VEXASDK_ERR_EINVAL;
        if (len != 0) model.mask.assign(data, len);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_script_chip_settings(uint32_t device, const vexasdk_chip_settings* records,
                                                              uint32_t count) {
    if (count > kMaxChips) return VEXASDK_ERR_EINVAL;
    if (records == nullptr && count != 0) return VEXASDK_ERR_EFAULT;
    std::vector<vexasdk_chip_settings> copy(count);
    if (count != 0) memcpy(copy.data(), records, count * sizeof *records);
    return with_sim_device(device, [&](DeviceModel& model) -> int32_t {
        model.settings_scripted = true;
        model.scripted_settings = std::move(copy);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_clear_chip_settings(uint32_t device) {
    return with_sim_device(device, [&](DeviceModel& model) -> int32_t {
        model.settings_scripted = false;
        model.scripted_settings.clear();
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_time_get_thld(vexasdk_dev_ctx* ctx, uint8_t chip, uint64_t calls,
                                                       double* seconds) {
    if (seconds == nullptr) return VEXASDK_ERR_EFAULT;
    float kev = 0.0f;
    auto began = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < calls; ++i) {
        vexasdk_err_code rc = vexasdk_chip_get_thld(ctx, chip, &kev);
        if (rc != VEXASDK_SUCCESS) return rc;
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return VEXASDK_SUCCESS;
}
