/* Result codes of every SDK function. */
#ifndef VEXASDK_ERROR_H
#define VEXASDK_ERROR_H

#include <stdint.h>

#include "api.h"

typedef enum vexasdk_err_code VEXASDK_ENUM_BASE(int32_t) {
    VEXASDK_SUCCESS = 0,
    VEXASDK_ERR_ENOMEM = -12,
    VEXASDK_ERR_EFAULT = -14,
    VEXASDK_ERR_EBUSY = -16,
    VEXASDK_ERR_ENODEV = -19,
    VEXASDK_ERR_EINVAL = -22,
    VEXASDK_ERR_BAD_STATE = -5001,
} vexasdk_err_code;

VEXASDK_SIZE(vexasdk_err_code, 4);

#endif
