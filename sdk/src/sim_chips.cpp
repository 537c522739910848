// Harness control of chips: count, descriptions, state behind the getters,
// masks, scripted settings records and the pixels' own responses.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

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

namespace {

bool valid(const PixelConstants& pixel) {
    // Written so that NaN fails too.
    return std::isfinite(pixel.a) && std::isfinite(pixel.b) && std::isfinite(pixel.c) && std::isfinite(pixel.t) &&
           std::isfinite(pixel.offset) && pixel.a > 0.0 && pixel.c >= 0.0;
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_set_pixel_response(uint32_t device, uint32_t chip, const double* a,
                                                            const double* b, const double* c, const double* t,
                                                            const double* offsets, size_t count) {
    const double* arrays[] = {a, b, c, t, offsets};
    bool none = std::all_of(std::begin(arrays), std::end(arrays), [](const double* p) { return p == nullptr; });
    bool all = std::none_of(std::begin(arrays), std::end(arrays), [](const double* p) { return p == nullptr; });
    std::shared_ptr<PixelResponse> response;
    if (none) {
        if (count != 0) return VEXASDK_ERR_EINVAL;
    } else {
        if (!all) return VEXASDK_ERR_EFAULT;
        if (count != PixelResponse::kPixels) return VEXASDK_ERR_EINVAL;
        try {
            response = std::make_shared<PixelResponse>();
            response->pixels.resize(count);
            response->lowest_offset = offsets[0];
        } catch (const std::bad_alloc&) {
            return VEXASDK_ERR_ENOMEM;
        }
        for (size_t i = 0; i < count; ++i) {
            response->pixels[i] = {a[i], b[i], c[i], t[i], offsets[i]};
            if (!valid(response->pixels[i])) return VEXASDK_ERR_EINVAL;
            response->lowest_offset = std::min(response->lowest_offset, offsets[i]);
        }
        static std::atomic<uint64_t> serials{0};
        response->serial = ++serials;
    }
    return with_sim_item<&DeviceModel::chips>(device, chip, [&](ChipModel& model) -> int32_t {
        model.response = std::move(response);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_pixel_response(uint32_t device, uint32_t chip, double* a, double* b,
                                                            double* c, double* t, double* offsets, size_t count) {
    if (a == nullptr || b == nullptr || c == nullptr || t == nullptr || offsets == nullptr) return VEXASDK_ERR_EFAULT;
    if (count != PixelResponse::kPixels) return VEXASDK_ERR_EINVAL;
    return with_sim_item<&DeviceModel::chips>(device, chip, [&](ChipModel& model) -> int32_t {
        for (size_t i = 0; i < count; ++i) {
            const PixelConstants& pixel = model.response ? model.response->pixels[i] : kUniformPixel;
            a[i] = pixel.a;
            b[i] = pixel.b;
            c[i] = pixel.c;
            t[i] = pixel.t;
            offsets[i] = pixel.offset;
        }
        return VEXASDK_SUCCESS;
    });
}
