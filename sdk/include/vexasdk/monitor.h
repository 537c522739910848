/* Monitors: device sensors addressed by a 32-bit identifier. */
#ifndef VEXASDK_MONITOR_H
#define VEXASDK_MONITOR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "api.h"
#include "context.h"
#include "error.h"

typedef enum vexasdk_mon_type VEXASDK_ENUM_BASE(uint32_t) {
    VEXASDK_MON_INT = 1,
    VEXASDK_MON_FLOAT = 2,
} vexasdk_mon_type;

typedef struct vexasdk_mon_range_float {
    float min;
    float max;
} vexasdk_mon_range_float;

typedef struct vexasdk_mon_range_int {
    uint32_t min;
    uint32_t max;
} vexasdk_mon_range_int;

typedef union vexasdk_mon_range {
    vexasdk_mon_range_float f;
    vexasdk_mon_range_int i;
} vexasdk_mon_range;

typedef union vexasdk_mon_value {
    uint32_t i;
    float f;
} vexasdk_mon_value;

typedef struct vexasdk_mon_info {
    const char* name;
    vexasdk_mon_type type;
    vexasdk_mon_range range;
} vexasdk_mon_info;

typedef struct vexasdk_mon_flags {
    bool is_warning;
    bool is_error;
    bool is_available;
} vexasdk_mon_flags;

typedef struct vexasdk_mon_on_avail_changed_args {
    const vexasdk_mon_info* info;
    bool is_available;
    uint32_t timestamp;
} vexasdk_mon_on_avail_changed_args;

typedef struct vexasdk_mon_on_value_changed_args {
    const vexasdk_mon_info* info;
    const vexasdk_mon_flags* flags;
    vexasdk_mon_value value;
    uint32_t timestamp;
} vexasdk_mon_on_value_changed_args;

VEXASDK_SIZE(vexasdk_mon_type, 4);
VEXASDK_LAYOUT(vexasdk_mon_range_float, 8, max, 4);
VEXASDK_LAYOUT(vexasdk_mon_range_int, 8, max, 4);
VEXASDK_SIZE(vexasdk_mon_range, 8);
VEXASDK_SIZE(vexasdk_mon_value, 4);
VEXASDK_LAYOUT(vexasdk_mon_info, 24, name, 0, type, 8, range, 12);
VEXASDK_LAYOUT(vexasdk_mon_flags, 3, is_error, 1, is_available, 2);
VEXASDK_LAYOUT(vexasdk_mon_on_avail_changed_args, 16, is_available, 8, timestamp, 12);
VEXASDK_LAYOUT(vexasdk_mon_on_value_changed_args, 24, flags, 8, value, 16, timestamp, 20);

typedef void (*vexasdk_mon_on_avail_changed_fn)(const vexasdk_mon_on_avail_changed_args* args, void* user_data);
typedef void (*vexasdk_mon_on_value_changed_fn)(const vexasdk_mon_on_value_changed_args* args, void* user_data);

/* `ids`: in, `*count` identifiers fit; out, the device's monitors. */
VEXASDK_API vexasdk_err_code vexasdk_mon_get_ids(vexasdk_dev_ctx* ctx, uint32_t* ids, size_t* count);
/* `info->name` stays valid while the device is open. */
VEXASDK_API vexasdk_err_code vexasdk_mon_get_info(vexasdk_dev_ctx* ctx, uint32_t mon_id, vexasdk_mon_info* info);
VEXASDK_API vexasdk_err_code vexasdk_mon_get_value(vexasdk_dev_ctx* ctx, uint32_t mon_id, vexasdk_mon_value* value);
/* Registration replaces the monitor's earlier one of the same kind. */
VEXASDK_API vexasdk_err_code vexasdk_mon_set_avail_changed_cb(vexasdk_dev_ctx* ctx, uint32_t mon_id,
                                                              vexasdk_mon_on_avail_changed_fn fn, void* user_data);
VEXASDK_API vexasdk_err_code vexasdk_mon_set_value_changed_cb(vexasdk_dev_ctx* ctx, uint32_t mon_id,
                                                              vexasdk_mon_on_value_changed_fn fn, void* user_data);

#endif
