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
/* The compiler that built the virtual detector (and, with it, the modules
 * of the package), e.g. "gcc 12.2.0": for benchmark reports. */
VEXASDK_API const char* vexasdk_sim_compiler(void);

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
/* Makes the blocks queued so far come `times` times over (at least 1): the
 * queue holds them in order, then in order again, and so on, each time the
 * same memory. A replayed block is overwritten only once its last delivery
 * has returned. For benchmarks: the engine hands over blocks made once,
 * as an SDK hands over its buffers, instead of copying more in. EINVAL when
 * the queue would hold more than 2^26 entries. */
VEXASDK_API vexasdk_err_code vexasdk_sim_replay_queue(uint32_t device, uint64_t times);
/* Whether blocks queued from now on are scribbled over after their last
 * delivery (1, the default) or left as they are (0: benchmarks). */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_scribble(uint32_t device, int32_t on);
/* How acquisitions generate data once their queue has run empty.
 *
 * Out of the box (and after a reset) every acquisition that starts with
 * nothing queued generates blocks of its mode's own size in real time, for
 * 1 s of detector time in the ToA-ToT and iToT-evcount modes and over the
 * whole scan in the binned modes, and then ends by itself:
 * { 0, 1.0, 0, 0, REAL_TIME | MODE_SIZE | IF_QUEUE_EMPTY }. An acquisition
 * that starts with queued blocks delivers those first; it goes on generating
 * only when IF_QUEUE_EMPTY is clear. Settings apply from the next start.
 *
 * What the blocks hold (modes 1 to 6 deliver no processed data, and their
 * acquisitions end at once):
 * - Particles arrive as a Poisson process, uniformly over the chips: X-ray
 *   photons (a 59.5 keV photo-peak, a 13.9 keV line, a continuum from 3 to
 *   55 keV) and minimum-ionising tracks (Landau-like, most probable 80 keV
 *   per 300 um crossed). Each spreads its charge over neighbouring pixels.
 * - What the device's state does to them, read when each block is made: a
 *   masked pixel reports nothing; a pixel reports only when its share of the
 *   energy, with the chip's noise (noise_kev), reaches its chip's threshold;
 *   the depleted fraction f = min(1, sqrt((|V| + 0.6 V) / 60 V)) of the
 *   sensor, V the actual value of bias source 0 (0 without one, or NaN), is
 *   both the chance a particle is collected and the share of its energy
 *   collected.
 * - ToT (25 ns units) = 1.6 E + 24 - 60 / (E - 1.5) for the E keV a pixel
 *   measured, at least 1 and at most 1023 (each pixel's own, and its own
 *   threshold, with vexasdk_sim_set_pixel_response); smaller hits cross the
 *   threshold later: floor(64 / (1 + over) + 2 u) ticks after the particle's
 *   arrival for a hit `over` keV above its threshold, u uniform in [0, 1)
 *   (up to 100 ns). ToA, the shutter start and TDC timestamps count
 *   1.5625 ns ticks of one clock.
 * - Data-driven ToA-ToT (modes 7, 10): the hits of the block's detector time,
 *   in readout order (chip by chip in short runs) or, in mode 10, by ToA;
 *   four TDC channels: rising and falling edges of the trigger input, where
 *   each vexasdk_trigger_now makes a 1 us pulse that starts at the moment of
 *   the call (in real time; otherwise at the detector time the generated
 *   blocks have reached) and goes to the next block generated, and of a
 *   10 kHz clock with 10 us pulses on the second input.
 * - Frame-based (8, 9): one frame per block, frames back to back; mode 8 one
 *   packet per hit pixel (its first hit) in address order, mode 9 per pixel
 *   the event count (at most 1023) and the sum of its ToTs (at most 16383).
 * - Binned (11 to 13): a 4D-STEM scan over the width x height positions of the
 *   acquisition parameters (64 x 64 when 0), row by row, `dwell_time` ns at
 *   each (1000 ns when 0); one bin per position, one 200 keV electron per
 *   25 ns of dwell (40 at most). The bright-field disc follows the beam
 *   (descan) and a specimen in the middle of the scan scatters out of it.
 *   Mode 11 delivers binned blocks, 12 event-count fragments, 13 iToT
 *   fragments. The acquisition ends after the scan's last position; with a
 *   block_limit set, scans repeat until that many blocks.
 *
 * Fields:
 * - blocks_per_second: delivery rate when not in real time, up to 1e9;
 *   0 delivers as fast as possible.
 * - duration: seconds of detector time (ToA-ToT and iToT-evcount modes), up
 *   to 1e9; 0 is no limit. The last block is cut short at the end.
 * - packets_per_block (at most 2^26): in the ToA-ToT and iToT-evcount modes
 *   the block's detector time, in which particles bring that many pixel hits
 *   on average to a sensor fully depleted, at a 5 keV threshold and with
 *   nothing masked (1 hit per us); the device's state then takes its share,
 *   and in the frame modes a pixel hit more than once reports once. In the
 *   binned modes, the number of bins (scan positions) per block, at most
 *   262144. 0: empty blocks that cover no time.
 * - block_limit: blocks in all; 0 is no limit.
 * - flags: VEXASDK_SIM_GEN_REAL_TIME delivers each block once the detector
 *   time it covers has passed (blocks_per_second must be 0);
 *   VEXASDK_SIM_GEN_MODE_SIZE ignores packets_per_block for the mode's own
 *   size: 10 ms of detector time, or in the binned modes whole scan rows
 *   worth 10 ms of dwell (one row at least, at most 16384 bins);
 *   VEXASDK_SIM_GEN_IF_QUEUE_EMPTY is described above. */
#define VEXASDK_SIM_GEN_REAL_TIME 0x1u
#define VEXASDK_SIM_GEN_MODE_SIZE 0x2u
#define VEXASDK_SIM_GEN_IF_QUEUE_EMPTY 0x4u

typedef struct vexasdk_sim_generator {
    double blocks_per_second;
    double duration;
    uint64_t packets_per_block;
    uint64_t block_limit;
    uint32_t flags;
} vexasdk_sim_generator;

VEXASDK_LAYOUT(vexasdk_sim_generator, 40, duration, 8, packets_per_block, 16, block_limit, 24, flags, 32);

/* EINVAL for a value out of its range (NaN included), an unknown flag, or
 * REAL_TIME with a rate. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_generator(uint32_t device, const vexasdk_sim_generator* settings);
/* The same as vexasdk_sim_set_generator with
 * { blocks_per_second, 0, packets_per_block, block_limit, 0 }. */
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
/* A callback that fetches the block with the fetch call of its kind and does
 * nothing more: what the engine and the SDK's answer cost, for benchmarks. */
VEXASDK_API void vexasdk_sim_fetch_callback(vexasdk_dev_ctx* ctx, void* user_data);
/* A callback that fetches the block and copies each of its arrays (packets,
 * TDC timestamps, fragments, the bins' packets) with memcpy into memory
 * that earlier blocks have touched (one buffer, one thread at a time): the
 * least that a consumer that keeps the data can cost. */
VEXASDK_API void vexasdk_sim_copy_callback(vexasdk_dev_ctx* ctx, void* user_data);
/* Software triggers received since the device was last reset. */
VEXASDK_API uint64_t vexasdk_sim_trigger_count(uint32_t device);
/* Fixes the seed of the random numbers the next acquisitions generate from
 * (`fixed` non-zero: delivery thread i starts from `seed` + i), so that runs
 * repeat their data exactly; `fixed` 0, as out of the box, seeds each
 * acquisition from the clock. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_seed(uint32_t device, uint64_t seed, int32_t fixed);

/* ---- truth ---- */

/* What kind of particle a truth record is. */
#define VEXASDK_SIM_PHOTO_PEAK 0u  /* a 59.5 keV photon */
#define VEXASDK_SIM_LINE 1u        /* a 13.9 keV fluorescence photon */
#define VEXASDK_SIM_CONTINUUM 2u   /* a scattered photon, 3 to 55 keV */
#define VEXASDK_SIM_TRACK 3u       /* a minimum-ionising particle crossing the sensor */
#define VEXASDK_SIM_ELECTRON 4u    /* a 200 keV beam electron of a scan */

/* One particle that generated data held hits of. Where its charge landed, in
 * the assembled image as pixel addresses number it (image column
 * (chip % 2) * 256 + column, image row (chip / 2) * 256 + row, whatever the
 * chips' size), with pixel centres at whole numbers: pixel (row, column)
 * spans row - 0.5 to row + 0.5, and a symmetric cluster's ToT-weighted
 * centroid of pixel numbers lands on (x, y). For a track, the middle of its
 * charge; it runs (dx, dy) pixels from end to end. `toa` is the tick its hits
 * are timed from: each hit's ToA is `toa` plus its time walk. In the binned
 * modes, the start of its scan position's dwell. */
typedef struct vexasdk_sim_truth {
    double x, y;      /* image column and row */
    double dx, dy;
    double energy;    /* keV deposited in the sensor: the share a bias below depletion collects */
    uint64_t toa;     /* 1.5625 ns ticks, the packets' clock */
    uint64_t block;   /* the generated block that held its hits, counted from 0 */
    uint32_t pixels;  /* pixel hits it made */
    uint8_t kind;     /* VEXASDK_SIM_PHOTO_PEAK and so on */
} vexasdk_sim_truth;

VEXASDK_LAYOUT(vexasdk_sim_truth, 64, energy, 32, toa, 40, block, 48, pixels, 56, kind, 60);

/* Whether the next acquisitions record the truth of the particles whose hits
 * their generated blocks hold (off out of the box), and at most how many
 * (1 to 2^26); the rest are counted as dropped. Each acquisition starts a new
 * record. A particle is recorded with the block that holds its hits, before
 * that block's callback: it arrived in the block's detector time, and all its
 * hits are in that block, though their ToAs may lie up to 65 ticks past its
 * end. Particles whose charge made no hit (under threshold, masked, off the
 * chips, not collected) are not recorded. */
VEXASDK_API vexasdk_err_code vexasdk_sim_record_truth(uint32_t device, int32_t on, uint64_t max_particles);
/* Copies the first min(capacity, recorded) records of the device's last (or
 * running) acquisition into `out` (NULL with capacity 0: none), and answers in
 * `*recorded` how many there are and in `*dropped` (may be NULL) how many did
 * not fit under the limit. */
VEXASDK_API vexasdk_err_code vexasdk_sim_get_truth(uint32_t device, vexasdk_sim_truth* out, uint64_t capacity,
                                                   uint64_t* recorded, uint64_t* dropped);

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

VEXASDK_SIZE(vexasdk_sim_chip_state, 24);

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
/* Calls vexasdk_chip_get_thld(ctx, chip, ...) `calls` times in a loop and
 * answers in `seconds` how long they took in all: the floor under any
 * binding's cost of that call. Answers the first failing call's code. */
VEXASDK_API vexasdk_err_code vexasdk_sim_time_get_thld(vexasdk_dev_ctx* ctx, uint8_t chip, uint64_t calls,
                                                       double* seconds);
/* Makes vexasdk_chip_get_settings report these `count` records (0 to 255)
 * instead of the chips' own, however many chips there are. */
VEXASDK_API vexasdk_err_code vexasdk_sim_script_chip_settings(uint32_t device, const vexasdk_chip_settings* records,
                                                              uint32_t count);
/* Back to reporting the chips' own settings. */
VEXASDK_API vexasdk_err_code vexasdk_sim_clear_chip_settings(uint32_t device);

/* Pixels that differ, as a real chip's do. Out of the box (and after a reset)
 * every pixel reports ToT = 1.6 E + 24 - 60 / (E - 1.5) for the E keV it
 * measured and fires at its chip's threshold. This gives each of the chip's
 * 256 x 256 pixels that take hits its own surrogate ToT = a E + b - c / (E - t)
 * (ToT 1 for E at most t + 0.01 keV, otherwise rounded and kept within 1 to
 * 1023) and its own threshold, the chip's plus `offsets` keV: arrays of
 * `count` = 65536 values, pixel (row, column) at row * 256 + column. All
 * finite; a above 0 and c at least 0, so that ToT rises with energy. All
 * arrays NULL with `count` 0: back to the uniform pixels. The state is read as
 * each block is made, as masks are. */
VEXASDK_API vexasdk_err_code vexasdk_sim_set_pixel_response(uint32_t device, uint32_t chip, const double* a,
                                                            const double* b, const double* c, const double* t,
                                                            const double* offsets, size_t count);
/* The chip's pixels as the call above sets them (uniform ones included);
 * `count` must be 65536. */
VEXASDK_API vexasdk_err_code vexasdk_sim_get_pixel_response(uint32_t device, uint32_t chip, double* a, double* b,
                                                            double* c, double* t, double* offsets, size_t count);

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

VEXASDK_LAYOUT(vexasdk_sim_mon_event, 48, name, 16, type, 24, range, 28, value, 36, flags, 40, timestamp, 44);

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
 * context is open (10 out of the box and after a reset; 0: none): drifting
 * values of a random monitor and, now and then, an availability change. */
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
