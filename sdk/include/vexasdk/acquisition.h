/* Acquisitions: start, await, abort, and the fetch calls through which a
 * registered callback reads the processed block it is called for. A fetch
 * is valid only inside that callback, on the thread that runs it. */
#ifndef VEXASDK_ACQUISITION_H
#define VEXASDK_ACQUISITION_H

#include <stddef.h>
#include <stdint.h>

#include "api.h"
#include "context.h"
#include "error.h"

typedef enum vexasdk_acq_mode_flag VEXASDK_ENUM_BASE(uint32_t) {
    VEXASDK_ACQ_MODE_RAW = 1,
    VEXASDK_ACQ_MODE_PROCESSED = 2,
} vexasdk_acq_mode_flag;

VEXASDK_SIZE(vexasdk_acq_mode_flag, 4);

typedef struct vexasdk_acq_t3_binning_params {
    uint32_t width;
    uint32_t height;
    uint64_t dwell_time;
} vexasdk_acq_t3_binning_params;

typedef union vexasdk_acq_params {
    vexasdk_acq_t3_binning_params t3_binning;
} vexasdk_acq_params;

VEXASDK_SIZE(vexasdk_acq_params, 16);
VEXASDK_LAYOUT(vexasdk_acq_t3_binning_params, 16, width, 0, height, 4, dwell_time, 8);

typedef void (*vexasdk_acq_callback)(vexasdk_dev_ctx* ctx, void* user_data);

/* ToA-ToT */

typedef struct vexasdk_acq_t3_toa_tot_packet {
    uint32_t address;
    uint32_t tot;
    uint64_t toa;
} vexasdk_acq_t3_toa_tot_packet;

VEXASDK_LAYOUT(vexasdk_acq_t3_toa_tot_packet, 16, address, 0, tot, 4, toa, 8);

typedef struct vexasdk_acq_t3_tdc_toa {
    const uint64_t* timestamps;
    uint64_t count;
} vexasdk_acq_t3_tdc_toa;

VEXASDK_LAYOUT(vexasdk_acq_t3_tdc_toa, 16, timestamps, 0, count, 8);

typedef struct vexasdk_acq_t3_acq_toa_tot {
    const vexasdk_acq_t3_toa_tot_packet* packets;
    uint64_t packet_count;
    uint64_t shutter_time;
    vexasdk_acq_t3_tdc_toa* tdcs;
    uint64_t tdc_count;
} vexasdk_acq_t3_acq_toa_tot;

VEXASDK_LAYOUT(vexasdk_acq_t3_acq_toa_tot, 40, packets, 0, packet_count, 8, shutter_time, 16, tdcs, 24, tdc_count, 32);

/* iToT-evcount */

typedef struct vexasdk_acq_t3_itot_evcount {
    uint32_t address;
    uint32_t itot;
    uint64_t evcount;
} vexasdk_acq_t3_itot_evcount;

VEXASDK_LAYOUT(vexasdk_acq_t3_itot_evcount, 16, address, 0, itot, 4, evcount, 8);

/* Binning */

typedef struct vexasdk_acq_t3_itot_fragment {
    const uint64_t* binned_itots;
    uint64_t count;
} vexasdk_acq_t3_itot_fragment;

typedef struct vexasdk_acq_t3_evcount_fragment {
    const uint64_t* binned_evcounts;
    uint64_t count;
} vexasdk_acq_t3_evcount_fragment;

typedef struct vexasdk_acq_t3_bin_packet {
    uint32_t address;
    uint32_t count;
    uint32_t itot;
} vexasdk_acq_t3_bin_packet;

typedef struct vexasdk_acq_t3_bin {
    const vexasdk_acq_t3_bin_packet* packets;
    uint64_t count;
} vexasdk_acq_t3_bin;

typedef struct vexasdk_t3_acq_itot_evcount_bins {
    vexasdk_acq_t3_itot_fragment itot_fragment;
    vexasdk_acq_t3_evcount_fragment evcount_fragment;
    const vexasdk_acq_t3_bin* bins;
    uint64_t bin_count;
} vexasdk_t3_acq_itot_evcount_bins;

VEXASDK_LAYOUT(vexasdk_acq_t3_itot_fragment, 16, binned_itots, 0, count, 8);
VEXASDK_LAYOUT(vexasdk_acq_t3_evcount_fragment, 16, binned_evcounts, 0, count, 8);
VEXASDK_LAYOUT(vexasdk_acq_t3_bin_packet, 12, address, 0, count, 4, itot, 8);
VEXASDK_LAYOUT(vexasdk_acq_t3_bin, 16, packets, 0, count, 8);
VEXASDK_LAYOUT(vexasdk_t3_acq_itot_evcount_bins, 48, itot_fragment, 0, evcount_fragment, 16, bins, 32, bin_count, 40);

/* Calls `callback(ctx, user_data)` from SDK threads for every processed block
 * until the acquisition ends or is aborted. EBUSY while an acquisition runs on
 * the device, EINVAL for a null callback, BAD_STATE while any power unit of
 * the device is unpowered or when called from one of the device's callbacks. */
VEXASDK_API vexasdk_err_code vexasdk_acq_start(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback,
                                               vexasdk_acq_mode_flag mode, const vexasdk_acq_params* params,
                                               void* user_data);
/* Returns once the acquisition has finished or was aborted and no callback
 * runs any more. BAD_STATE when no acquisition of `ctx` runs, and on the
 * SDK's own threads (inside a callback), which must not wait for deliveries. */
VEXASDK_API vexasdk_err_code vexasdk_acq_await_end(vexasdk_dev_ctx* ctx);
/* Stops the acquisition: blocks not yet delivered are dropped, and the call
 * returns once no callback runs any more. Called from one of the SDK's own
 * threads (inside a callback) it only asks the acquisition to stop and returns
 * at once; the acquisition ends when the callbacks running return, and
 * vexasdk_acq_await_end from another thread waits for that. BAD_STATE when no
 * acquisition of `ctx` runs. */
VEXASDK_API vexasdk_err_code vexasdk_acq_abort(vexasdk_dev_ctx* ctx);

VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_toa_tot_packets(vexasdk_dev_ctx* ctx,
                                                                vexasdk_acq_t3_acq_toa_tot* block);
VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_evcount_packets(vexasdk_dev_ctx* ctx,
                                                                     const vexasdk_acq_t3_itot_evcount** packets,
                                                                     uint64_t* count);
VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_evcount_bins(vexasdk_dev_ctx* ctx,
                                                                  vexasdk_t3_acq_itot_evcount_bins* block);
VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_itot_fragment(vexasdk_dev_ctx* ctx,
                                                              vexasdk_acq_t3_itot_fragment* fragment);
VEXASDK_API vexasdk_err_code vexasdk_acq_get_t3_evcount_fragment(vexasdk_dev_ctx* ctx,
                                                                 vexasdk_acq_t3_evcount_fragment* fragment);

#endif
