/* Power units of a device. */
#ifndef VEXASDK_DEVICE_H
#define VEXASDK_DEVICE_H

#include <stdbool.h>
#include <stdint.h>

#include "api.h"
#include "context.h"
#include "error.h"

VEXASDK_API vexasdk_err_code vexasdk_dev_get_unit_count(vexasdk_dev_ctx* ctx, uint8_t* count);
VEXASDK_API vexasdk_err_code vexasdk_dev_is_unit_powered(vexasdk_dev_ctx* ctx, uint8_t unit_id, bool* powered);
VEXASDK_API vexasdk_err_code vexasdk_dev_power_up_unit(vexasdk_dev_ctx* ctx, uint8_t unit_id);
VEXASDK_API vexasdk_err_code vexasdk_dev_power_down_unit(vexasdk_dev_ctx* ctx, uint8_t unit_id);

#endif
