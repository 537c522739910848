// Chips: modes, settings, descriptions, polarity, thresholds, pixel masks.
#include <cmath>
#include <cstring>

#include "calls.hpp"
#include "model.hpp"

using namespace vsim;

namespace {

// The mask size chip `index` expects, or 0 when there is no such chip. Lets the
// call log read a caller's mask only when the call itself would read it: a
// wrong `data_len` need not describe readable memory.
size_t expected_mask_size(const vexasdk_dev_ctx* ctx, uint8_t index) {
    size_t size = 0;
    with_item<&DeviceModel::chips>(ctx, index, [&](const ChipModel& model) {
        size = model.mask.size();
        return VEXASDK_SUCCESS;
    });
    return size;
}

// Both threshold setters end here: EINVAL outside the chip's raw range.
int32_t take_raw_thld(ChipModel& model, uint32_t raw) {
    if (raw < model.info.min_raw || raw > model.info.max_raw) return VEXASDK_ERR_EINVAL;
    model.thld_raw = raw;
    return VEXASDK_SUCCESS;
}

// The mask transfers: EFAULT for no mask, or no data for a non-zero length;
// EINVAL for a length other than the chip's mask's. `fn(model)` runs for a
// chip whose mask is not empty.
template <class Fn>
vexasdk_err_code with_mask(const vexasdk_dev_ctx* ctx, uint8_t chip, const vexasdk_chip_pixel_mask* mask, Fn&& fn) {
    if (mask == nullptr || (mask->data == nullptr && mask->data_len != 0)) return VEXASDK_ERR_EFAULT;
    return with_item<&DeviceModel::chips>(ctx, chip, [&](ChipModel& model) -> int32_t {
        if (mask->data_len != model.mask.size()) return VEXASDK_ERR_EINVAL;
        if (!model.mask.empty()) fn(model);
        return VEXASDK_SUCCESS;
    });
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_chip_get_count(vexasdk_dev_ctx* ctx, uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("count", count));
    return read_count<&DeviceModel::chips>(ctx, count);
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_settings(vexasdk_dev_ctx* ctx, vexasdk_chip_settings* settings,
                                                       uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("settings", settings), arg("count", count ? *count : 0));
    if (count == nullptr || (settings == nullptr && *count != 0)) return VEXASDK_ERR_EFAULT;
    return with_device(ctx, [&](DeviceModel& device) -> int32_t {
        size_t n = 0;
        if (device.settings_scripted) {
            n = std::min<size_t>(*count, device.scripted_settings.size());
            for (size_t i = 0; i < n; ++i) settings[i] = device.scripted_settings[i];
        } else {
            n = std::min<size_t>(*count, device.chips.size());
            for (size_t i = 0; i < n; ++i)
                settings[i] = {static_cast<vexasdk_chip_polarity>(device.chips[i].polarity),
                               static_cast<vexasdk_chip_mode>(device.chips[i].mode)};
        }
        *count = static_cast<uint8_t>(n);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_info(vexasdk_dev_ctx* ctx, uint8_t chip, vexasdk_chip_info* info) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("info", info));
    return read_item<&DeviceModel::chips>(ctx, chip, info, &ChipModel::info);
}

VEXASDK_API vexasdk_err_code vexasdk_chip_set_mode(vexasdk_dev_ctx* ctx, vexasdk_chip_mode mode) {
    VSIM_ENTER(arg("ctx", ctx), arg("mode", mode));
    return with_device(ctx, [&](DeviceModel& device) -> int32_t {
        uint32_t value = static_cast<uint32_t>(mode);
        if (value < VEXASDK_EVCOUNT_8_BIT || value > VEXASDK_ITOT_IMG) return VEXASDK_ERR_EINVAL;
        if (device.acq.state == AcqState::running) return VEXASDK_ERR_EBUSY;
        for (const ChipModel& chip : device.chips)
            if (!(chip.info.supported_modes & (1u << value))) return VEXASDK_ERR_EINVAL;
        for (ChipModel& chip : device.chips) chip.mode = value;
        device.mode = value;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_configure(vexasdk_dev_ctx* ctx, uint8_t chip) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip));
    return with_device(ctx, [&](DeviceModel& device) -> int32_t {
        if (chip >= device.chips.size()) return VEXASDK_ERR_EINVAL;
        // Reloading DACs and pixel matrix would corrupt the frames being read out.
        if (device.acq.state == AcqState::running) return VEXASDK_ERR_EBUSY;
        ++device.chips[chip].configure_count;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_set_polarity(vexasdk_dev_ctx* ctx, uint8_t chip,
                                                       vexasdk_chip_polarity polarity) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("polarity", polarity));
    return with_item<&DeviceModel::chips>(ctx, chip, [&](ChipModel& model) -> int32_t {
        auto value = static_cast<uint32_t>(polarity);
        if (value >= 32 || !(model.info.supported_polarities & (1u << value))) return VEXASDK_ERR_EINVAL;
        model.polarity = value;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_thld(vexasdk_dev_ctx* ctx, uint8_t chip, float* thld_kev) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("thld_kev", thld_kev));
    return read_item<&DeviceModel::chips>(ctx, chip, thld_kev, &ChipModel::thld_kev);
}

VEXASDK_API vexasdk_err_code vexasdk_chip_set_thld(vexasdk_dev_ctx* ctx, uint8_t chip, float thld_kev) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("thld_kev", thld_kev));
    return with_item<&DeviceModel::chips>(ctx, chip, [&](ChipModel& model) -> int32_t {
        // NaN fails both comparisons.
        if (!(thld_kev >= model.info.min_kev && thld_kev <= model.info.max_kev)) return VEXASDK_ERR_EINVAL;
        double raw = std::nearbyint(static_cast<double>(thld_kev) / model.kev_per_raw + model.raw_offset);
        if (!(raw >= 0.0 && raw <= 4294967295.0)) return VEXASDK_ERR_EINVAL;
        return take_raw_thld(model, static_cast<uint32_t>(raw));
    });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_raw_thld(vexasdk_dev_ctx* ctx, uint8_t chip, uint32_t* thld_raw) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("thld_raw", thld_raw));
    return read_item<&DeviceModel::chips>(ctx, chip, thld_raw, &ChipModel::thld_raw);
}

VEXASDK_API vexasdk_err_code vexasdk_chip_set_raw_thld(vexasdk_dev_ctx* ctx, uint8_t chip, uint32_t thld_raw) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("thld_raw", thld_raw));
    return with_item<&DeviceModel::chips>(ctx, chip,
                                          [&](ChipModel& model) { return take_raw_thld(model, thld_raw); });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_pixel_mask(vexasdk_dev_ctx* ctx, uint8_t chip,
                                                         vexasdk_chip_pixel_mask* mask) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("mask", mask), arg("data", mask ? mask->data : nullptr),
               arg("data_len", mask ? mask->data_len : 0));
    return with_mask(ctx, chip, mask, [&](const ChipModel& model) { memcpy(mask->data, model.mask.data(), mask->data_len); });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_set_pixel_mask(vexasdk_dev_ctx* ctx, uint8_t chip,
                                                         const vexasdk_chip_pixel_mask* mask) {
    bool readable = mask != nullptr && mask->data != nullptr && mask->data_len == expected_mask_size(ctx, chip);
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("mask", mask),
               bytes_arg("data", readable ? mask->data : nullptr, readable ? mask->data_len : 0),
               arg("data_len", mask ? mask->data_len : 0));
    return with_mask(ctx, chip, mask, [&](ChipModel& model) { model.mask.assign(mask->data, mask->data_len); });
}
