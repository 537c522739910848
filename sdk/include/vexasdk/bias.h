/* Sensor bias sources, in volts. */
#ifndef VEXASDK_BIAS_H
#define VEXASDK_BIAS_H

#include <stdint.h>

#include "api.h"
#include "context.h"
#include "error.h"

VEXASDK_API vexasdk_err_code vexasdk_bias_get_count(vexasdk_dev_ctx* ctx, uint8_t* count);
VEXASDK_API vexasdk_err_code vexasdk_bias_get_range(vexasdk_dev_ctx* ctx, uint8_t bias_id, float* min_volts,
                                                    float* max_volts);
VEXASDK_API vexasdk_err_code vexasdk_bias_set_desired(vexasdk_dev_ctx* ctx, uint8_t bias_id, float volts);
VEXASDK_API vexasdk_err_code vexasdk_bias_get_desired(vexasdk_dev_ctx* ctx, uint8_t bias_id, float* volts);
VEXASDK_API vexasdk_err_code vexasdk_bias_get_actual(vexasdk_dev_ctx* ctx, uint8_t bias_id, float* volts);

#endif
