"""The virtual detector's control interface.

Everything here scripts the virtual detector that stands in for hardware: what
its devices look like, what its SDK calls answer (failures included), what its
acquisitions deliver and from how many native threads, and what was called
with which arguments. Tests use it; so can your own test suites. Acquisitions
themselves are started as on hardware, through ``device.acquisition_runner``;
`start`, `await_end` and `abort` here exist for tests of exact trampolines.

Devices are addressed by their index in the virtual enumeration (0, the
default, is the first).

The data, as the virtual detector delivers it
---------------------------------------------

Out of the box a virtual device is a quad: four 256 x 256 pixel chips, one
bias source (at 0 V: a sensor is fully depleted from about 60 V on), two power
units (both must be powered up, or an acquisition is refused with
ERR_BAD_STATE) and eight monitors. Its acquisitions need no set-up here: one
that starts with nothing queued generates plausible blocks of the chips' mode,
paced in real time, and ends by itself: in the ToA-ToT and iToT-evcount modes
10 ms blocks for one second of detector time, in the binned modes whole scan
rows until the scan's last position. One that starts with queued blocks
delivers exactly those and ends. `generate` changes the rate, block size,
duration and pacing (and has generated blocks follow queued ones);
`generate_default`, or `reset`, goes back. Modes 1 to 6 deliver no processed
data: their acquisitions end at once.

Pixel addresses (the ``address`` field of every packet) are
``chip << 16 | row << 8 | column``, with row and column 0 to 255 on the chip.
In the assembled 512 x 512 image of the quad, chip 0 is the top left, chip 1
the top right, chip 2 the bottom left and chip 3 the bottom right quarter::

    image_row    = (chip // 2) * 256 + row
    image_column = (chip % 2) * 256 + column

Other chip counts sit two to a row the same way. Chips the harness gives
another size take hits within their first 256 x 256 pixels at most; a device
without chips, or with chips of no pixels, delivers empty blocks.

Time units: ToA, the shutter start and TDC timestamps count 1.5625 ns ticks
of the detector clock; ToT and iToT count 25 ns.

What the data is: particles arriving as a Poisson process, uniformly over the
chips (X-ray photons: a 59.5 keV photo-peak, a 13.9 keV line, a continuum from
3 to 55 keV; and minimum-ionising tracks, Landau-like around 80 keV), each
spreading its charge over a cluster of neighbouring pixels. In the binned modes
a 4D-STEM scan: 200 keV electrons, one per 25 ns of dwell (40 at most), mostly
in a bright-field disc that follows the beam a little across the scan, with a
specimen in the middle of the scan field that scatters more of them outwards.
One bin per scan position, row by row.

What the data answers to, as on hardware, read as each block is made: masked
pixels report nothing; a pixel reports only when its share of a particle's
energy, with the chip's noise, reaches its chip's threshold; a sensor biased
below its depletion voltage (about 60 V on bias source 0; none: unbiased)
collects fewer and smaller hits. A pixel that measured E keV reports
ToT = 1.6 E + 24 - 60 / (E - 1.5), at least 1 and at most 1023 (every pixel
alike, until `set_pixel_calibration` or `vary_pixels` gives each its own
a E + b - c / (E - t) and its own threshold offset); in frame-based
iToT-evcount mode iToT sums a pixel's ToTs in the frame (at most 16383) and the
event count stops at 1023. The software trigger (``AcquisitionRunner.trigger``;
`trigger` here) adds, in the data-driven modes, a 1 us pulse to the first TDC
input of the next block: its rising edge on the first TDC channel, at the
moment of the trigger (without real-time pacing, at the detector time the
generated blocks have reached); the second input carries a 10 kHz clock.

Time walk: a hit is timed from its particle's arrival (a whole tick) plus
floor(64 / (1 + over) + 2 u) ticks, where ``over`` is how many keV its
measured energy (noise included) cleared its pixel's threshold and u is drawn
uniformly from [0, 1) for each hit: 0 to 65 ticks, up to about 100 ns for the
smallest hits, and one of the three whole ticks around the mean
64 / (1 + over) + 0.5 ticks (`time_walk_ns` gives it in ns). A clusterer that
subtracts it from each hit's ToA finds the particle's arrival to within a
tick or two.

Truth: with `record_truth` on, an acquisition records the particles behind
the data it generates (`truth`: where each landed, when, the energy it
deposited, its kind, how many pixel hits it made), so that a clusterer's or a
calibration's result can be held against them; `set_seed` makes a run repeat
its data exactly.
"""

from vexasdk._utils import SdkError
from vexasdk.sim._native import (ACQ_MODE_PROCESSED, ERR_BAD_STATE, ERR_EBUSY, ERR_EFAULT, ERR_EINVAL, ERR_ENODEV,
                                 ERR_ENOMEM, SUCCESS)
from vexasdk.sim._native import _lib
from vexasdk.sim.acquisition import (_address, abort, await_end, copy_callback, deliver, deliver_here, fetch_callback,
                                     null_callback, set_mode, start, trampoline, trigger)
from vexasdk.sim.calls import call_count, call_log, calls, clear_call_log, clear_faults, fail
from vexasdk.sim.chips import (chip_info, chip_mask, chip_state, script_chip_settings, set_chip_count,
                               set_chip_info, set_chip_mask, set_chip_size, set_chip_state, set_supported_modes,
                               time_get_thld)
from vexasdk.sim.data import (BIN_PACKET_DTYPE, ITOT_EVCOUNT_DTYPE, TOA_TOT_DTYPE, blocks_delivered, clear_queue,
                              generate, generate_default, queue_binned, queue_evcount_fragment, queue_fetch_failure,
                              queue_itot_evcount, queue_itot_fragment, queue_toa_tot, replay_queue, set_scribble,
                              set_delivery_threads, set_seed, trigger_count)
from vexasdk.sim.enumeration import (ENUM_FIELDS, ENUM_RECORD_SIZE, enum_record, make_enum_record, set_enum_record,
                                     set_enum_reported_count, set_enumeration)
from vexasdk.sim.monitors import (MON_FLOAT, MON_INT, OWN, await_monitor_events, fire_avail_changed,
                                  fire_value_changed, monitor_callbacks, remove_monitor, set_monitor,
                                  set_monitor_flags, set_monitor_rate, set_monitor_value)
from vexasdk.sim.power import (bias, set_bias_actual, set_bias_count, set_bias_desired, set_bias_range,
                               set_unit_count, set_unit_powered, unit_powered)
from vexasdk.sim.response import (PixelCalibration, pixel_calibration, set_pixel_calibration,
                                  set_threshold_dispersion, uniform_pixels, vary_pixels)
from vexasdk.sim.scoring import ClusterScore, isolated, score_clusters
from vexasdk.sim.truth import (MAX_PARTICLES, TRUTH_DTYPE, ParticleKind, record_truth, time_walk_ns, truth,
                               truth_dropped)
from vexasdk.sim.world import compiler, device_count, device_of, reset, set_device_count

__all__ = [
    "ACQ_MODE_PROCESSED", "BIN_PACKET_DTYPE", "ClusterScore", "ENUM_FIELDS", "ENUM_RECORD_SIZE", "ERR_BAD_STATE", "ERR_EBUSY",
    "ERR_EFAULT", "ERR_EINVAL", "ERR_ENODEV", "ERR_ENOMEM", "ITOT_EVCOUNT_DTYPE", "MAX_PARTICLES", "MON_FLOAT",
    "MON_INT", "OWN", "ParticleKind", "PixelCalibration", "SUCCESS", "SdkError", "TOA_TOT_DTYPE", "TRUTH_DTYPE",
    "abort", "await_end", "await_monitor_events", "bias", "blocks_delivered", "call_count", "call_log", "calls",
    "chip_info", "chip_mask", "chip_state", "clear_call_log", "clear_faults", "clear_queue", "compiler",
    "copy_callback", "deliver", "deliver_here", "device_count", "device_of", "enum_record", "fail", "fetch_callback",
    "fire_avail_changed", "fire_value_changed", "generate", "generate_default", "isolated", "make_enum_record",
    "monitor_callbacks", "null_callback", "pixel_calibration", "queue_binned", "queue_evcount_fragment",
    "queue_fetch_failure", "queue_itot_evcount", "queue_itot_fragment", "queue_toa_tot", "record_truth",
    "remove_monitor", "replay_queue", "reset", "score_clusters", "script_chip_settings", "set_bias_actual", "set_bias_count",
    "set_bias_desired", "set_bias_range", "set_chip_count", "set_chip_info", "set_chip_mask", "set_chip_size",
    "set_chip_state", "set_delivery_threads", "set_device_count", "set_enum_record", "set_enum_reported_count",
    "set_enumeration", "set_mode", "set_monitor", "set_monitor_flags", "set_monitor_rate", "set_monitor_value",
    "set_pixel_calibration", "set_scribble", "set_seed", "set_supported_modes", "set_threshold_dispersion",
    "set_unit_count", "set_unit_powered", "start", "time_get_thld", "time_walk_ns", "trampoline", "trigger",
    "trigger_count", "truth", "truth_dropped", "uniform_pixels", "unit_powered", "vary_pixels",
]
