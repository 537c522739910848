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
/* A callback that takes the block and does nothing with it: what the engine
 * alone costs, for benchmarks. */
VEXASDK_API void vexasdk_sim_null_callback(vexasdk_dev_ctx* ctx, void* user_data);
/* Software triggers received since the device was last reset. */
VEXASDK_API uint64_t vexasdk_sim_trigger_count(uint32_t device);

/* ---- chips ---- */

/* ---- enumeration, monitors, bias, power ---- */

#endif
