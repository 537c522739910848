// Chips: modes, settings, descriptions, polarity, thresholds, pixel masks.
#include <cstring>

#include "calls.hpp"
#include "model.hpp"

using namespace vsim;

namespace {

// Runs `fn(chip)` for chip `index` of a valid context; EINVAL for no such chip.
template <class Fn>
vexasdk_err_code with_chip(vexasdk_dev_ctx* ctx, uint8_t index, Fn&& fn) {
    return static_cast<vexasdk_err_code>(with_device(ctx, [&](DeviceModel& device) -> int32_t {
        if (index >= device.chips.size()) return VEXASDK_ERR_EINVAL;
        return fn(device.chips[index]);
    }));
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_chip_get_count(vexasdk_dev_ctx* ctx, uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("count", count));
    if (count == nullptr) return VEXASDK_ERR_EFAULT;
    return static_cast<vexasdk_err_code>(with_device(ctx, [&](DeviceModel& device) -> int32_t {
        *count = static_cast<uint8_t>(std::min<size_t>(device.chips.size(), 255));
        return VEXASDK_SUCCESS;
    }));
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_settings(vexasdk_dev_ctx* ctx, vexasdk_chip_settings* settings,
                                                       uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("settings", settings), arg("count", count ? *count : 0));
    if (count == nullptr || (settings == nullptr && *count != 0)) return VEXASDK_ERR_EFAULT;
    return static_cast<vexasdk_err_code>(with_device(ctx, [&](DeviceModel& device) -> int32_t {
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
    }));
}

VEXASDK_API vexasdk_err_code vexasdk_chip_get_info(vexasdk_dev_ctx* ctx, uint8_t chip, vexasdk_chip_info* info) {
    VSIM_ENTER(arg("ctx", ctx), arg("chip", chip), arg("info", info));
    if (info == nullptr) return VEXASDK_ERR_EFAULT;
    return with_chip(ctx, chip, [&](ChipModel& model) -> int32_t {
        *info = model.info;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_chip_set_mode(vexasdk_dev_ctx* ctx, vexasdk_chip_mode mode) {
    VSIM_ENTER(arg("ctx", ctx), arg("mode", mode));
    return static_cast<vexasdk_err_code>(with_device(ctx, [&](DeviceModel& device) -> int32_t {
        uint32_t value = static_cast<uint32_t>(mode);
        if (value < VEXASDK_EVCOUNT_8_BIT || value > VEXASDK_ITOT_IMG) return VEXASDK_ERR_EINVAL;
        if (device.acq.state == AcqState::running) return VEXASDK_ERR_EBUSY;
        for (const ChipModel& chip : device.chips)
            if (!(chip.info.supported_modes & (1u << value))) return VEXASDK_ERR_EINVAL;
        for (ChipModel& chip : device.chips) chip.mode = value;
        return VEXASDK_SUCCESS;
    }));
}
