/* Control interface of the virtual detector: what tests, demos and users'
 * own test suites use to script it. Not part of the detector SDK proper.
 *
 * Devices are addressed by their index in the virtual enumeration (0 is the
 * first). Every function answers a vexasdk_err_code (or a count) and
 * validates its arguments like the SDK functions do. */
#ifndef VEXASDK_SIM_H
#define VEXASDK_SIM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "api.h"
#include "sdk.h"

/* ---- world ---- */

/* Closes every open context (ending its acquisition and monitor delivery)
 * and restores the default virtual devices, call log and fault table. */
VEXASDK_API vexasdk_err_code vexasdk_sim_reset(void);
/* Sets the number of virtual devices; new ones get the default model. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_device_count(uint32_t count);
VEXASDK_API uint32_t vexasdk_sim_device_count(void);
/* The device index an open context belongs to, or -1. */
VEXASDK_API int32_t vexasdk_sim_device_of(const vexasdk_dev_ctx* ctx);

/* ---- faults and the call log ---- */

/* The next `times` calls of the SDK function `function` (all of them when
 * `times` is negative) return `code` without doing anything. A `times` of 0
 * removes the fault. */
VEXASDK_API vexasdk_err_code vexasdk_sim_fail(const char* function, int32_t code, int64_t times);
VEXASDK_API vexasdk_err_code vexasdk_sim_clear_faults(void);
/* Calls of `function` since the last reset or clear (all functions for NULL). */
VEXASDK_API uint64_t vexasdk_sim_call_count(const char* function);
/* Writes the log as a JSON array of {"fn": name, "args": {...}} into `buf`
 * (NUL-terminated when it fits) and answers the size it needs, NUL included.
 * The newest 100000 calls (64 MiB of text at most) are kept; counts are kept
 * for all. */
VEXASDK_API size_t vexasdk_sim_call_log(char* buf, size_t capacity);
VEXASDK_API vexasdk_err_code vexasdk_sim_clear_call_log(void);

/* ---- acquisition ---- */

/* Native threads that deliver the blocks of the next acquisitions (1 to 64). */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_delivery_threads(uint32_t device, uint32_t threads);
/* Queues an iToT-evcount block for the next acquisition. `packets` may be NULL:
 * the fetch then answers a null pointer with `count`. A non-zero `fetch_rc` is
 * what the fetch answers instead of the block. */
VEXASDK_API vexasdk_err_code vexasdk_sim_queue_itot_evcount(uint32_t device,
                                                            const vexasdk_acq_t3_itot_evcount* packets,
                                                            uint64_t count, int32_t fetch_rc);
/* Queues a ToA-ToT block, answered by vexasdk_acq_get_t3_toa_tot_packets.
 * Everything is copied. `packets` NULL: the fetch answers a null pointer with
 * `packet_count`. `tdcs` holds `tdc_count` TDC records; one whose
 * `timestamps` is NULL is answered as a null pointer with its count, and
 * `tdcs` NULL as a null TDC list with `tdc_count`. */
VEXASDK_API vexasdk_err_code vexasdk_sim_queue_toa_tot(uint32_t device, const vexasdk_acq_t3_toa_tot_packet* packets,
                                                       uint64_t packet_count, uint64_t shutter_time,
                                                       const vexasdk_acq_t3_tdc_toa* tdcs, uint64_t tdc_count,
                                                       int32_t fetch_rc);
/* Queues a binned block, answered by vexasdk_acq_get_t3_itot_evcount_bins.
 * Bin i holds `bin_counts[i]` packets; `packets` are those of every bin, back
 * to back in bin order, and lie so in one buffer of the block. Empty bins
 * point into a page that cannot be read. `packets` NULL: every non-empty bin
 * answers a null pointer with its count. `bin_counts` NULL: a null bin list
 * with `bin_count` (`packets` must then be NULL). `evcounts` or `itots` NULL:
 * that fragment answers a null pointer with its count. */
VEXASDK_API vexasdk_err_code vexasdk_sim_queue_binned(uint32_t device, const uint64_t* evcounts,
                                                      uint64_t evcount_count, const uint64_t* itots,
                                                      uint64_t itot_count, const vexasdk_acq_t3_bin_packet* packets,
                                                      const uint64_t* bin_counts, uint64_t bin_count,
                                                      int32_t fetch_rc);
/* Queue a fragment, answered by vexasdk_acq_get_t3_itot_fragment or
 * vexasdk_acq_get_t3_evcount_fragment; `values` NULL: a null pointer with
 * `count`. */
VEXASDK_API vexasdk_err_code vexasdk_sim_queue_itot_fragment(uint32_t device, const uint64_t* values, uint64_t count,
                                                             int32_t fetch_rc);
VEXASDK_API vexasdk_err_code vexasdk_sim_queue_evcount_fragment(uint32_t device, const uint64_t* values,
                                                                uint64_t count, int32_t fetch_rc);
/* Drops every queued block. */
VEXASDK_API vexasdk_err_code vexasdk_sim_clear_queue(uint32_t device);
/* When the queue runs empty, produce plausible blocks of the chips' current
 * mode: `packets_per_block` events each, `blocks_per_second` of them (0: as fast
 * as possible), `block_limit` in all (0: until aborted).
 * Data-driven ToA-ToT (modes 7, 10): particle clusters arriving as a Poisson
 * process, ToA in 1.5625 ns and ToT in 25 ns units, four TDC channels, the
 * shutter start of the acquisition; sorted by ToA in mode 10. Frame-based
 * ToA-ToT (8): one 1 ms frame per block. Binning modes (11 to 13): a 4D-STEM
 * scan over the width x height positions of the acquisition parameters (64 x 64
 * when 0) with their dwell time (1000 ns when 0); `packets_per_block` is then
 * the number of bins (scan positions) per block, at most 262144. Mode 11
 * delivers binned blocks, 12 event-count fragments, 13 iToT fragments. */
VEXASDK_API vexasdk_err_code vexasdk_sim_generate(uint32_t device, double blocks_per_second,
                                                  uint64_t packets_per_block, uint64_t block_limit);
/* Blocks delivered since the device was last reset (callbacks returned). */
VEXASDK_API uint64_t vexasdk_sim_blocks_delivered(uint32_t device);
/* Calls `callback(ctx, user_data)` once on the calling thread for the block at
 * the head of the queue, as an SDK thread would. */
VEXASDK_API vexasdk_err_code vexasdk_sim_deliver_here(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback,
                                                      void* user_data);
/* A callback that takes the block and does nothing with it: what the engine
 * alone costs, for benchmarks. */
VEXASDK_API void vexasdk_sim_null_callback(vexasdk_dev_ctx* ctx, void* user_data);
/* Software triggers received since the device was last reset. */
VEXASDK_API uint64_t vexasdk_sim_trigger_count(uint32_t device);

/* ---- chips ---- */

/* What a chip's getters answer, beyond its description. Thresholds are kept
 * raw; keV follow through the chip's calibration,
 * kev = (thld_raw - raw_offset) * kev_per_raw. */
typedef struct vexasdk_sim_chip_state {
    uint32_t polarity;        /* any value: the harness may set one that names no enumerator */
    uint32_t mode;            /* likewise */
    uint32_t thld_raw;
    float kev_per_raw;        /* finite and above 0 */
    float raw_offset;         /* finite */
    uint32_t configure_count; /* vexasdk_chip_configure calls that succeeded */
} vexasdk_sim_chip_state;

VEXASDK_STATIC_ASSERT(sizeof(vexasdk_sim_chip_state) == 24, "vexasdk_sim_chip_state is 24 bytes");

/* Sets the number of chips of a device (0 to 255); added chips come as out of
 * the box. EBUSY while an acquisition runs. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_count(uint32_t device, uint32_t count);
VEXASDK_API vexasdk_err_code vexasdk_sim_get_chip_info(uint32_t device, uint32_t chip, vexasdk_chip_info* info);
/* Replaces a chip's description. Width and height are 0 to 4096 each; a new
 * size resets the mask to all pixels unmasked. The name is cut to 31 bytes. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_info(uint32_t device, uint32_t chip, const vexasdk_chip_info* info);
VEXASDK_API vexasdk_err_code vexasdk_sim_get_chip_state(uint32_t device, uint32_t chip,
                                                        vexasdk_sim_chip_state* state);
VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_state(uint32_t device, uint32_t chip,
                                                        const vexasdk_sim_chip_state* state);
/* The mask in the SDK's layout: width * height bytes, column-major, 0 masks a
 * pixel. `len` must be exactly that size. */
VEXASDK_API vexasdk_err_code vexasdk_sim_get_chip_mask(uint32_t device, uint32_t chip, uint8_t* data, size_t len);
VEXASDK_API vexasdk_err_code vexasdk_sim_set_chip_mask(uint32_t device, uint32_t chip, const uint8_t* data,
                                                       size_t len);
/* Makes vexasdk_chip_get_settings report these `count` records (0 to 255)
 * instead of the chips' own, however many chips there are. */
VEXASDK_API vexasdk_err_code vexasdk_sim_script_chip_settings(uint32_t device, const vexasdk_chip_settings* records,
                                                              uint32_t count);
/* Back to reporting the chips' own settings. */
VEXASDK_API vexasdk_err_code vexasdk_sim_clear_chip_settings(uint32_t device);

/* ---- enumeration, monitors, bias, power ---- */

/* Replaces the enumeration record of `device` with `size` (160) raw bytes,
 * taken as they are: text fields need be neither NUL-terminated nor UTF-8.
 * Opening matches the new connection string. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_enum_record(uint32_t device, const void* record, size_t size);
VEXASDK_API vexasdk_err_code vexasdk_sim_get_enum_record(uint32_t device, void* record, size_t size);
/* Makes vexasdk_enum_get_info report `count` devices whatever it wrote (it
 * never writes past the capacity); a negative `count` restores the truth. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_enum_reported_count(int64_t count);

/* Bias sources (at most 255 per device; new ones span -200 V to 200 V). */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_count(uint32_t device, uint32_t count);
/* The range desired values are checked against: min <= max, no NaN. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_range(uint32_t device, uint32_t bias, float min_volts,
                                                        float max_volts);
/* Sets the desired value unchecked; the actual value starts following it. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_desired(uint32_t device, uint32_t bias, float volts);
/* Makes the actual value read exactly `volts`, without lag or noise, until
 * the desired value next changes. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_bias_actual(uint32_t device, uint32_t bias, float volts);
VEXASDK_API vexasdk_err_code vexasdk_sim_get_bias(uint32_t device, uint32_t bias, float* desired, float* actual);

/* Power units (at most 255 per device; new ones are unpowered). */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_unit_count(uint32_t device, uint32_t count);
VEXASDK_API vexasdk_err_code vexasdk_sim_set_unit_powered(uint32_t device, uint32_t unit, bool powered);
VEXASDK_API vexasdk_err_code vexasdk_sim_get_unit_powered(uint32_t device, uint32_t unit, bool* powered);
/* ---- monitors ---- */

/* Event kinds: which of a monitor's registered callbacks an event goes to. */
#define VEXASDK_SIM_MON_AVAIL_CHANGED 1u
#define VEXASDK_SIM_MON_VALUE_CHANGED 2u

/* Bits of vexasdk_sim_mon_event.fields: the parts of an event that replace
 * the monitor's own at the time it is delivered. */
#define VEXASDK_SIM_MON_NAME 0x01u       /* `name`; NULL delivers a null name pointer */
#define VEXASDK_SIM_MON_TYPE 0x02u       /* `type`, any value */
#define VEXASDK_SIM_MON_RANGE 0x04u
#define VEXASDK_SIM_MON_VALUE 0x08u
#define VEXASDK_SIM_MON_FLAGS 0x10u      /* `flags`; its is_available also serves availability events */
#define VEXASDK_SIM_MON_TIMESTAMP 0x20u  /* otherwise milliseconds since the device was made */
#define VEXASDK_SIM_MON_NULL_INFO 0x40u  /* the event's info pointer is null */
#define VEXASDK_SIM_MON_NULL_FLAGS 0x80u /* a value event's flags pointer is null */

typedef struct vexasdk_sim_mon_event {
    uint32_t mon_id; /* the monitor whose registered callback receives the event */
    uint32_t kind;   /* VEXASDK_SIM_MON_AVAIL_CHANGED or VEXASDK_SIM_MON_VALUE_CHANGED */
    uint32_t fields;
    const char* name; /* NUL-terminated bytes, copied when the event is queued */
    uint32_t type;
    vexasdk_mon_range range;
    vexasdk_mon_value value;
    vexasdk_mon_flags flags;
    uint32_t timestamp;
} vexasdk_sim_mon_event;

VEXASDK_STATIC_ASSERT(offsetof(vexasdk_sim_mon_event, name) == 16, "name at 16");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_sim_mon_event, type) == 24, "type at 24");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_sim_mon_event, range) == 28, "range at 28");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_sim_mon_event, value) == 36, "value at 36");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_sim_mon_event, flags) == 40, "flags at 40");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_sim_mon_event, timestamp) == 44, "timestamp at 44");
VEXASDK_STATIC_ASSERT(sizeof(vexasdk_sim_mon_event) == 48, "vexasdk_sim_mon_event is 48 bytes");

/* Adds monitor `mon_id` or replaces its description: `info->name` is copied
 * (NULL makes get_info answer a null name), `info->type` may be any value.
 * A new monitor starts at value 0, available, with no registrations. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_info(uint32_t device, uint32_t mon_id, const vexasdk_mon_info* info);
/* Removes a monitor together with its registrations. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_remove(uint32_t device, uint32_t mon_id);
/* What get_value answers, as raw bits of the union. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_value(uint32_t device, uint32_t mon_id,
                                                       const vexasdk_mon_value* value);
/* The flags the monitor's own value events carry. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_flags(uint32_t device, uint32_t mon_id,
                                                       const vexasdk_mon_flags* flags);
/* Events per second that the monitor thread makes up on its own while a
 * context is open (0, the default: none): drifting values of a random monitor
 * and, now and then, an availability change. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_set_rate(uint32_t device, double events_per_second);
/* Queues `count` events for the device's monitor thread, which delivers them
 * in order to the callbacks registered at delivery time (an event with none
 * registered is dropped). BAD_STATE when no context is open on the device,
 * EINVAL for an unknown monitor or kind. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_fire(uint32_t device, const vexasdk_sim_mon_event* events,
                                                  uint32_t count);
/* Waits until every event fired so far has been delivered and its callback
 * has returned; EBUSY when `timeout_seconds` passed first. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_await(uint32_t device, double timeout_seconds);
/* Delivers one event on the calling thread, as the monitor thread would. */
VEXASDK_API vexasdk_err_code vexasdk_sim_mon_fire_here(uint32_t device, const vexasdk_sim_mon_event* event);
/* Monitor callback calls that returned since the device was made. */
VEXASDK_API uint64_t vexasdk_sim_mon_callbacks(uint32_t device);

#endif
