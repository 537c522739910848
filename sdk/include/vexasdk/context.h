/* The device context: an opaque record that every device call takes first. */
#ifndef VEXASDK_CONTEXT_H
#define VEXASDK_CONTEXT_H

#include <stdint.h>

#include "api.h"
#include "error.h"

typedef struct vexasdk_dev_ctx {
    uint8_t context[1024];
} vexasdk_dev_ctx;

VEXASDK_SIZE(vexasdk_dev_ctx, 1024);

/* Opens the device whose enumeration record carries `connection_string` and
 * hands back a context that stays valid until vexasdk_dev_close. */
VEXASDK_API vexasdk_err_code vexasdk_dev_open(const char* connection_string, vexasdk_dev_ctx** ctx);

/* Ends any acquisition and monitor delivery of the device, then invalidates
 * the context: later calls with it answer VEXASDK_ERR_ENODEV. */
VEXASDK_API vexasdk_err_code vexasdk_dev_close(vexasdk_dev_ctx* ctx);

#endif
