// Power units.
#include "calls.hpp"
#include "model.hpp"

using namespace vsim;

namespace {

vexasdk_err_code set_powered(vexasdk_dev_ctx* ctx, uint8_t unit_id, bool powered) {
    return with_item<&DeviceModel::units>(ctx, unit_id, [&](UnitModel& unit) {
        unit.powered = powered;
        return VEXASDK_SUCCESS;
    });
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_dev_get_unit_count(vexasdk_dev_ctx* ctx, uint8_t* count) {
    VSIM_ENTER(arg("ctx", ctx), arg("count", count));
    return read_count<&DeviceModel::units>(ctx, count);
}

VEXASDK_API vexasdk_err_code vexasdk_dev_is_unit_powered(vexasdk_dev_ctx* ctx, uint8_t unit_id, bool* powered) {
    VSIM_ENTER(arg("ctx", ctx), arg("unit_id", unit_id), arg("powered", powered));
    return read_item<&DeviceModel::units>(ctx, unit_id, powered, &UnitModel::powered);
}

VEXASDK_API vexasdk_err_code vexasdk_dev_power_up_unit(vexasdk_dev_ctx* ctx, uint8_t unit_id) {
    VSIM_ENTER(arg("ctx", ctx), arg("unit_id", unit_id));
    return set_powered(ctx, unit_id, true);
}

VEXASDK_API vexasdk_err_code vexasdk_dev_power_down_unit(vexasdk_dev_ctx* ctx, uint8_t unit_id) {
    VSIM_ENTER(arg("ctx", ctx), arg("unit_id", unit_id));
    return set_powered(ctx, unit_id, false);
}
