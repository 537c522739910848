// Power units.
#include <algorithm>

#include "calls.hpp"
#include "model.hpp"

using namespace vsim;

VEXASDK_API vexasdk_err_code vexasdk_dev_get_unit_count(vexasdk_dev_ctx* ctx, uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("count", count));
    if (count == nullptr) return VEXASDK_ERR_EFAULT;
    return static_cast<vexasdk_err_code>(with_device(ctx, [&](DeviceModel& device) -> int32_t {
        *count = static_cast<uint8_t>(std::min<size_t>(device.units.size(), 255));
        return VEXASDK_SUCCESS;
    }));
}

VEXASDK_API vexasdk_err_code vexasdk_dev_is_unit_powered(vexasdk_dev_ctx* ctx, uint8_t unit_id, bool* powered) {
    VSIM_ENTER(arg("ctx", ctx), arg("unit_id", unit_id), arg("powered", powered));
    if (powered == nullptr) return VEXASDK_ERR_EFAULT;
    return with_item<&DeviceModel::units>(ctx, unit_id, [&](UnitModel& unit) -> int32_t {
        *powered = unit.powered;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_dev_power_up_unit(vexasdk_dev_ctx* ctx, uint8_t unit_id) {
    VSIM_ENTER(arg("ctx", ctx), arg("unit_id", unit_id));
    return with_item<&DeviceModel::units>(ctx, unit_id, [&](UnitModel& unit) -> int32_t {
        unit.powered = true;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_dev_power_down_unit(vexasdk_dev_ctx* ctx, uint8_t unit_id) {
    VSIM_ENTER(arg("ctx", ctx), arg("unit_id", unit_id));
    return with_item<&DeviceModel::units>(ctx, unit_id, [&](UnitModel& unit) -> int32_t {
        unit.powered = false;
        return VEXASDK_SUCCESS;
    });
}
