/* Chips of a device: modes, polarity, thresholds, pixel masks. */
#ifndef VEXASDK_CHIP_H
#define VEXASDK_CHIP_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "api.h"
#include "context.h"
#include "error.h"

typedef enum vexasdk_chip_mode VEXASDK_ENUM_BASE(uint32_t) {
    VEXASDK_EVCOUNT_8_BIT = 1,
    VEXASDK_EVCOUNT_10_BIT = 2,
    VEXASDK_EVCOUNT_14_BIT = 3,
    VEXASDK_ITOT_8_BIT = 4,
    VEXASDK_ITOT_10_BIT = 5,
    VEXASDK_ITOT_14_BIT = 6,
    VEXASDK_TOA_TOT_DD = 7,
    VEXASDK_TOA_TOT_FBZS = 8,
    VEXASDK_ITOT_EVCOUNT_FBZS = 9,
    VEXASDK_TOA_TOT_DD_SORTED = 10,
    VEXASDK_ITOT_EVCOUNT_BIN = 11,
    VEXASDK_EVCOUNT_IMG = 12,
    VEXASDK_ITOT_IMG = 13,
} vexasdk_chip_mode;

typedef enum vexasdk_chip_polarity VEXASDK_ENUM_BASE(uint32_t) {
    VEXASDK_POL_HOLES_COLLECT = 1,
    VEXASDK_POL_ELECTRONS_COLLECT = 2,
} vexasdk_chip_polarity;

VEXASDK_SIZE(vexasdk_chip_mode, 4);
VEXASDK_SIZE(vexasdk_chip_polarity, 4);

typedef struct vexasdk_chip_settings {
    vexasdk_chip_polarity polarity;
    vexasdk_chip_mode mode;
} vexasdk_chip_settings;

VEXASDK_LAYOUT(vexasdk_chip_settings, 8, polarity, 0, mode, 4);

typedef struct vexasdk_chip_pixel_mask {
    uint8_t* data;
    size_t data_len;
} vexasdk_chip_pixel_mask;

VEXASDK_LAYOUT(vexasdk_chip_pixel_mask, 16, data, 0, data_len, 8);

/* Static description of one chip, read by the device-opening code. Mode and
 * polarity sets are bit masks: bit v set means enumerator value v is
 * supported. */
typedef struct vexasdk_chip_info {
    char name[32];
    uint32_t supported_modes;
    uint32_t supported_polarities;
    float min_kev;
    float max_kev;
    float noise_kev;
    uint32_t min_raw;
    uint32_t max_raw;
    bool is_calibrated;
    uint32_t width;
    uint32_t height;
} vexasdk_chip_info;

VEXASDK_LAYOUT(vexasdk_chip_info, 72, supported_modes, 32, min_kev, 40, is_calibrated, 60, width, 64, height, 68);

VEXASDK_API vexasdk_err_code vexasdk_chip_get_count(vexasdk_dev_ctx* ctx, uint8_t* count);
/* `count`: in, the capacity of `settings`; out, the records filled. */
VEXASDK_API vexasdk_err_code vexasdk_chip_get_settings(vexasdk_dev_ctx* ctx, vexasdk_chip_settings* settings,
                                                       uint8_t* count);
VEXASDK_API vexasdk_err_code vexasdk_chip_get_info(vexasdk_dev_ctx* ctx, uint8_t chip, vexasdk_chip_info* info);
VEXASDK_API vexasdk_err_code vexasdk_chip_configure(vexasdk_dev_ctx* ctx, uint8_t chip);
VEXASDK_API vexasdk_err_code vexasdk_chip_set_polarity(vexasdk_dev_ctx* ctx, uint8_t chip,
                                                       vexasdk_chip_polarity polarity);
/* Switches every chip of the device; there is no chip argument. */
VEXASDK_API vexasdk_err_code vexasdk_chip_set_mode(vexasdk_dev_ctx* ctx, vexasdk_chip_mode mode);
VEXASDK_API vexasdk_err_code vexasdk_chip_get_thld(vexasdk_dev_ctx* ctx, uint8_t chip, float* thld_kev);
VEXASDK_API vexasdk_err_code vexasdk_chip_set_thld(vexasdk_dev_ctx* ctx, uint8_t chip, float thld_kev);
VEXASDK_API vexasdk_err_code vexasdk_chip_get_raw_thld(vexasdk_dev_ctx* ctx, uint8_t chip, uint32_t* thld_raw);
VEXASDK_API vexasdk_err_code vexasdk_chip_set_raw_thld(vexasdk_dev_ctx* ctx, uint8_t chip, uint32_t thld_raw);
/* Fills up to `mask->data_len` bytes of the caller's buffer. */
VEXASDK_API vexasdk_err_code vexasdk_chip_get_pixel_mask(vexasdk_dev_ctx* ctx, uint8_t chip,
                                                         vexasdk_chip_pixel_mask* mask);
/* Reads `mask->data_len` bytes during the call and keeps no pointer. */
VEXASDK_API vexasdk_err_code vexasdk_chip_set_pixel_mask(vexasdk_dev_ctx* ctx, uint8_t chip,
                                                         const vexasdk_chip_pixel_mask* mask);

#endif
