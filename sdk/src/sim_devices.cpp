// Sim calls that script what devices enumerate as, their bias sources and
// their power units.
#include <cstring>

#include "model.hpp"

using namespace vsim;

namespace {

// The unit counts travel as uint8_t through the SDK.
constexpr uint32_t kMaxCount = 255;

// Makes the device have `count` items in `Items` (bias sources or power
// units): added ones come as their record's defaults.
template <auto Items>
vexasdk_err_code set_count(uint32_t device, uint32_t count) {
    if (count > kMaxCount) return VEXASDK_ERR_EINVAL;
    return with_sim_device(device, [&](DeviceModel& model) -> int32_t {
        (model.*Items).resize(count);
        return VEXASDK_SUCCESS;
    });
}

}  // namespace

VEXASDK_API vexasdk_err_code vexasdk_sim_set_enum_record(uint32_t device, const void* record, size_t size) {
    if (record == nullptr) return VEXASDK_ERR_EFAULT;
    if (size != sizeof(vexasdk_enum_info)) return VEXASDK_ERR_EINVAL;
    return with_sim_device(device, [&](DeviceModel& model) -> int32_t {
        memcpy(&model.enum_info, record, sizeof model.enum_info);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_enum_record(uint32_t device, void* record, size_t size) {
    if (record == nullptr) return VEXASDK_ERR_EFAULT;
    if (size != sizeof(vexasdk_enum_info)) return VEXASDK_ERR_EINVAL;
    return with_sim_device(device, [&](DeviceModel& model) -> int32_t {
        memcpy(record, &model.enum_info, sizeof model.enum_info);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_enum_reported_count(int64_t count) {
    std::lock_guard<std::mutex> lock(world().mu);
    world().enum_reported_count = count < 0 ? -1 : count;
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_count(uint32_t device, uint32_t count) {
    return set_count<&DeviceModel::biases>(device, count);
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_range(uint32_t device, uint32_t bias, float min_volts,
                                                        float max_volts) {
    if (!(min_volts <= max_volts)) return VEXASDK_ERR_EINVAL;
    return with_sim_item<&DeviceModel::biases>(device, bias, [&](BiasModel& model) -> int32_t {
        model.min_volts = min_volts;
        model.max_volts = max_volts;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_desired(uint32_t device, uint32_t bias, float volts) {
    return with_sim_item<&DeviceModel::biases>(device, bias, [&](BiasModel& model) -> int32_t {
        model.follow(volts);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_actual(uint32_t device, uint32_t bias, float volts) {
    return with_sim_item<&DeviceModel::biases>(device, bias, [&](BiasModel& model) -> int32_t {
        model.pin(volts);
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_bias(uint32_t device, uint32_t bias, float* desired, float* actual) {
    if (desired == nullptr || actual == nullptr) return VEXASDK_ERR_EFAULT;
    return with_sim_item<&DeviceModel::biases>(device, bias, [&](BiasModel& model) -> int32_t {
        *desired = model.desired;
        *actual = model.actual_now();
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_unit_count(uint32_t device, uint32_t count) {
    return set_count<&DeviceModel::units>(device, count);
}

VEXASDK_API vexasdk_err_code vexasdk_sim_set_unit_powered(uint32_t device, uint32_t unit, bool powered) {
    return with_sim_item<&DeviceModel::units>(device, unit, [&](UnitModel& model) -> int32_t {
        model.powered = powered;
        return VEXASDK_SUCCESS;
    });
}

VEXASDK_API vexasdk_err_code vexasdk_sim_get_unit_powered(uint32_t device, uint32_t unit, bool* powered) {
    return read_sim_item<&DeviceModel::units>(device, unit, powered, &UnitModel::powered);
}
