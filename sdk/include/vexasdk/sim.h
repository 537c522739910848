/* Control interface of the virtual detector: what tests, demos and users'
 * own test suites use to script it. Not part of the detector SDK proper.
 *
 * Devices are addressed by their index in the virtual enumeration (0 is the
 * first). Every function answers a vexasdk_err_code (or a count) and
 * validates its arguments like the SDK functions do. */
#ifndef VEXASDK_SIM_H
#define VEXASDK_SIM_H

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
 * The newest 100000 calls are kept; counts are kept for all. */
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
/* Drops every queued block. */
VEXASDK_API vexasdk_err_code vexasdk_sim_clear_queue(uint32_t device);
/* When the queue runs empty, produce plausible blocks of the chips' current
 * mode: `packets_per_block` events each, `blocks_per_second` of them (0: as fast
 * as possible), `block_limit` in all (0: until aborted). */
VEXASDK_API vexasdk_err_code vexasdk_sim_generate(uint32_t device, double blocks_per_second,
                                                  uint64_t packets_per_block, uint64_t block_limit);
/* Blocks delivered since the device was last reset (callbacks returned). */
VEXASDK_API uint64_t vexasdk_sim_blocks_delivered(uint32_t device);
/* Calls `callback(ctx, user_data)` once on the calling thread for the block at
 * the head of the queue, as an SDK thread would. */
VEXASDK_API vexasdk_err_code vexasdk_sim_deliver_here(vexasdk_dev_ctx* ctx, vexasdk_acq_callback callback,
                                                      void* user_data);
/* Software triggers received since the device was last reset. */
VEXASDK_API uint64_t vexasdk_sim_trigger_count(uint32_t device);

/* ---- chips ---- */

/* ---- enumeration, monitors, bias, power ---- */

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
