"""What the virtual detector's acquisitions deliver, and how the device's
state shows in the data."""

import ctypes
import math
import time

import awkward as ak
import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from helpers import SANITIZED, make_ready
from vexasdk.sim import data as sim_data

TRAMPOLINES = {
    7: ("_t3_toa_tot", "dd_toa_tot_cb"), 10: ("_t3_toa_tot", "dd_toa_tot_cb"), 8: ("_t3_toa_tot", "fb_toa_tot_cb"),
    9: ("_t3_itot_evcount", "fb_itot_evcount_cb"), 11: ("_t3_binning", "binned_data_cb"),
    12: ("_t3_binning", "binned_evcount_cb"), 13: ("_t3_binning", "binned_itot_cb"),
}
TICKS_PER_SECOND = 640e6


def start(device, mode, callback, **params):
    sim.set_mode(device.context, mode)
    sim.start(device.context, sim.trampoline(*TRAMPOLINES[mode]), callback, **params)


def acquire(device, mode, **params):
    """Every block's callback arguments, in delivery order."""
    got = []
    start(device, mode, lambda *args: got.append(args), **params)
    sim.await_end(device.context)
    return got


def addresses(mode, got):
    if mode in (11, 12, 13):
        return np.concatenate([ak.to_numpy(ak.flatten(args[2].address)) for args in got])
    return np.concatenate([args[0].address for args in got])


def tot_of(kev):
    """The ToT a pixel reports for what it measured (documented in vexasdk.sim)."""
    return max(1, min(1023, round(1.6 * kev + 24 - 60 / (kev - 1.5))))


def code_of(action):
    with pytest.raises(vexasdk.SdkError) as raised:
        action()
    return raised.value.code


def test_wrong_states_answer_sdk_codes(ready):
    context = ready.context
    assert code_of(lambda: sim.await_end(context)) == sim.ERR_BAD_STATE
    assert code_of(lambda: sim.abort(context)) == sim.ERR_BAD_STATE
    assert code_of(lambda: sim.trigger(context)) == sim.ERR_BAD_STATE
    assert code_of(lambda: sim.start(context, 0, print)) == sim.ERR_EINVAL
    sim.generate(blocks_per_second=100, packets_per_block=10)  # until aborted
    start(ready, 7, lambda *args: None)
    assert code_of(lambda: start(ready, 7, lambda *args: None)) == sim.ERR_EBUSY
    sim.abort(context)
    assert code_of(lambda: sim.trigger(context)) == sim.ERR_BAD_STATE


@pytest.mark.parametrize("powered", [[], [0], [1]])
def test_an_unpowered_unit_refuses_the_start_and_keeps_the_queue(device, powered):
    # Out of the box nothing is powered.
    for unit in powered:
        device.power_units[unit].power_up()
    sim.queue_itot_evcount(np.zeros(3, sim.ITOT_EVCOUNT_DTYPE))
    assert code_of(lambda: acquire(device, 9)) == sim.ERR_BAD_STATE
    for unit in device.power_units:
        unit.power_up()
    assert [len(args[0]) for args in acquire(device, 9)] == [3]


def test_default_acquisitions_end_by_themselves_in_every_mode():
    # One device a mode, all at once: each takes a second of detector time.
    modes = sorted(TRAMPOLINES)
    sim.set_device_count(len(modes))
    devices = [make_ready(vexasdk.open_device(f"virtual:{i}"), i) for i in range(len(modes))]
    got = {mode: [] for mode in modes}
    began = time.perf_counter()
    for device, mode in zip(devices, modes):
        start(device, mode, lambda *args, mode=mode: got[mode].append(args))
    for device in devices:
        sim.await_end(device.context)
    elapsed = time.perf_counter() - began
    for device in devices:
        device.close()
    assert elapsed > 0.99
    if not SANITIZED:  # seven devices' data at a sanitizer's pace takes longer on two cores
        assert elapsed < 2.0
    for mode in (7, 8, 9, 10):  # 10 ms blocks, in real time
        assert len(got[mode]) == 100
        assert sum(len(args[0]) for args in got[mode]) > 100 * 5000
    for mode in (11, 12, 13):  # the 64 x 64 scan in one block
        [args] = got[mode]
        assert len(args[0]) == 64 * 64 and args[0].sum() > 0


@pytest.mark.parametrize("mode, generator, params", [
    (7, {}, {}),
    (11, {}, dict(dwell_time=1_000_000)),  # a 4 s scan
    (9, dict(packets_per_block=2**26), {}),  # a frame that takes seconds to make
], ids=["default-data-driven", "long-scan", "huge-frame"])
def test_abort_ends_an_acquisition_at_once(ready, mode, generator, params):
    if generator:
        sim.generate(**generator)
    got = []
    start(ready, mode, lambda *args: got.append(args), **params)
    time.sleep(0.05)
    began = time.perf_counter()
    sim.abort(ready.context)
    assert time.perf_counter() - began < 0.5
    delivered = len(got)
    time.sleep(0.05)
    assert len(got) == delivered


def test_duration_bounds_the_detector_time(ready):
    sim.generate(packets_per_block=1000, duration=0.0101)  # 1 ms blocks, as fast as possible
    got = acquire(ready, 10)
    assert len(got) == 11
    shutter = got[0][1].shutter_start
    last = max(int(args[0].toa.max()) for args in got if len(args[0]))
    assert shutter + 0.0099 * TICKS_PER_SECOND < last < shutter + 0.0101 * TICKS_PER_SECOND + 200


@pytest.mark.parametrize("generated", [0, 2])
def test_queued_blocks_are_delivered_exactly(ready, generated):
    if generated:
        sim.generate(packets_per_block=10, block_limit=generated)
    sent = [np.zeros(n, sim.ITOT_EVCOUNT_DTYPE) for n in (1, 2, 3)]
    for block in sent:
        block["itot"] = 7777  # more than any generated pixel holds
        sim.queue_itot_evcount(block)
    got = [args[0] for args in acquire(ready, 9)]
    assert [len(b) for b in got[:3]] == [1, 2, 3] and all((b.itot == 7777).all() for b in got[:3])
    assert len(got) == 3 + generated


@pytest.mark.parametrize("mode", [7, 8, 9, 11])
def test_masked_pixels_never_report(ready, mode):
    rng = np.random.default_rng(mode)
    masks = [(rng.random(256 * 256) > 0.3).astype(np.uint8) for _ in range(4)]
    for chip, mask in enumerate(masks):
        sim.set_chip_mask(mask, chip)
    sim.generate(packets_per_block=40 if mode == 11 else 30000, block_limit=2)
    seen = addresses(mode, acquire(ready, mode, width=8, height=10))
    chip, row, column = seen >> 16, (seen >> 8) & 0xFF, seen & 0xFF
    # Column-major: pixel (column, row) is byte column * height + row.
    masked = np.stack(masks)[chip, column.astype(np.int64) * 256 + row] == 0
    assert len(seen) > 2000 and not masked.any()


@pytest.mark.parametrize("low, high", [(3.0, 10.0), (10.0, 30.0)])
@pytest.mark.parametrize("mode", [7, 9])
def test_a_higher_threshold_cuts_hits_and_small_tots(ready, mode, low, high):
    tots = {}
    for kev in (low, high):
        for chip in ready.chips:
            chip.set_threshold(kev)
        sim.generate(packets_per_block=20000, block_limit=3)
        blocks = [args[0] for args in acquire(ready, mode)]
        if mode == 9:  # per pixel: the smallest ToT is at most the mean
            tots[kev] = np.concatenate([b.itot / b.evcount for b in blocks])
        else:
            tots[kev] = np.concatenate([b.tot for b in blocks])
    cut = tot_of(high)
    assert len(tots[high]) < 0.8 * len(tots[low])
    assert tots[high].min() >= cut and (tots[low] < cut).sum() > 1000


@pytest.mark.parametrize("setup", [
    lambda: sim.set_bias_actual(0, 20.0),
    lambda: sim.set_bias_actual(0, -20.0),
    lambda: sim.set_bias_actual(0, float("nan")),
    lambda: sim.set_bias_count(0),
], ids=["20V", "minus-20V", "nan", "no-bias-source"])
def test_an_underdepleted_sensor_gives_fewer_and_smaller_hits(ready, setup):
    def tots():
        sim.generate(packets_per_block=20000, block_limit=3)
        return np.concatenate([args[0].tot for args in acquire(ready, 7)])

    sim.set_bias_actual(0, -100.0)  # depleted whichever the polarity
    depleted = tots()
    setup()
    under = tots()
    assert len(under) < 0.8 * len(depleted)
    assert len(under) == 0 or under.mean() < 0.9 * depleted.mean()


def test_frames_show_particle_clusters(ready):
    sim.generate(packets_per_block=10000, block_limit=1)
    [(frame,)] = acquire(ready, 9)
    assert len(frame) > 8000 and (frame.evcount >= 1).all()
    image = np.zeros((4, 258, 258), bool)
    chip, row, column = frame.address >> 16, (frame.address >> 8) & 0xFF, frame.address & 0xFF
    image[chip, row + 1, column + 1] = True
    neighbours = sum(np.roll(np.roll(image, dr, 1), dc, 2)
                     for dr in (-1, 0, 1) for dc in (-1, 0, 1) if dr or dc)
    assert (neighbours[image] > 0).mean() > 0.7


def test_a_trigger_marks_the_next_generated_block(ready):
    # As fast as possible, "now" is where the generated data has got: the
    # trigger of block 2's callback starts block 3's time.
    sim.generate(packets_per_block=2000, block_limit=5)
    got = []

    def callback(packets, metadata):
        got.append((packets, metadata))
        if len(got) == 2:
            sim.trigger(ready.context)

    start(ready, 7, callback)
    sim.await_end(ready.context)
    edges = [[list(channel) for channel in m.tdcs] for _, m in got]
    assert [e[0] for e in edges] == [[], [], [edges[2][0][0]], [], []]
    [at] = edges[2][0]
    assert edges[2][1] == [at + 640]  # a 1 us pulse
    assert got[2][1].shutter_start < at <= got[2][0].toa.min()
    assert at >= got[1][0].toa.max() - 100  # less time walk
    assert sim.trigger_count() == 1


def test_a_trigger_in_real_time_lands_between_the_shutter_start_and_later_toas(ready):
    sim.generate_default(duration=0.3)
    got = []
    start(ready, 10, lambda packets, metadata: got.append((packets, metadata)))
    while len(got) < 3:
        time.sleep(0.001)
    sim.trigger(ready.context)
    sim.await_end(ready.context)
    [at] = [t for _, m in got for t in m.tdcs[0]]
    toas = np.concatenate([p.toa for p, _ in got])
    assert got[0][1].shutter_start < got[0][0].toa.max() < at < toas.max()


@pytest.mark.parametrize("mode, per_block", [(11, 16), (11, 0), (12, 16), (13, 0)])
def test_a_scan_delivers_every_position_once_in_scan_order(ready, mode, per_block):
    width, height = 16, 12
    if per_block:
        sim.generate(packets_per_block=per_block)
    else:
        sim.generate_default()  # whole rows worth 10 ms of dwell: the scan in one block
    got = acquire(ready, mode, width=width, height=height, dwell_time=800)
    assert [len(args[0]) for args in got] == [per_block or width * height] * (width * height // (per_block or 192))
    if mode != 11:
        return
    evcounts = np.concatenate([args[0] for args in got])
    packets = ak.concatenate([args[2] for args in got])
    np.testing.assert_array_equal(ak.to_numpy(ak.sum(packets.evcount, axis=1)), evcounts)
    # The bright-field disc follows the beam: rightwards along a row, down the scan.
    chip, row, column = packets.address >> 16, (packets.address >> 8) & 0xFF, packets.address & 0xFF
    x = ak.to_numpy(ak.mean((chip % 2) * 256 + column, axis=1)).reshape(height, width)
    y = ak.to_numpy(ak.mean((chip // 2) * 256 + row, axis=1)).reshape(height, width)
    assert x[:, width // 2:].mean() - x[:, :width // 2].mean() > 3
    assert y[height // 2:].mean() - y[:height // 2].mean() > 3


@pytest.mark.parametrize("setup, width, height", [
    (lambda: sim.set_chip_size(100, 60), 100, 60),
    (lambda: sim.set_chip_size(300, 270), 256, 256),
    (lambda: sim.set_chip_size(0, 0), 0, 0),
    (lambda: sim.set_chip_count(0), 0, 0),
])
@pytest.mark.parametrize("mode", [7, 9, 11])
def test_chips_of_other_sizes_take_hits_within_their_pixels(ready, setup, width, height, mode):
    setup()
    if width == 256:
        # The mask keeps the chip's own layout: columns of 270 bytes.
        mask = np.ones(300 * 270, np.uint8)
        mask[10 * 270 + 20] = 0
        for chip in range(4):
            sim.set_chip_mask(mask, chip)
    sim.generate(packets_per_block=40 if mode == 11 else 200000, block_limit=1)
    got = acquire(ready, mode, width=8, height=5)
    assert len(got) >= 1
    seen = addresses(mode, got)
    row, column = (seen >> 8) & 0xFF, seen & 0xFF
    if width == 0:
        assert len(seen) == 0
        return
    assert len(seen) > 100 and (column < width).all() and (row < height).all()
    if width == 256:
        assert not ((column == 10) & (row == 20)).any()


@pytest.mark.parametrize("call, error, named", [
    (lambda: sim.generate(blocks_per_second=math.nan), ValueError, "blocks_per_second"),
    (lambda: sim.generate(blocks_per_second=math.inf), ValueError, "blocks_per_second"),
    (lambda: sim.generate(blocks_per_second=-1), ValueError, "blocks_per_second"),
    (lambda: sim.generate(packets_per_block=2**26 + 1), ValueError, "packets_per_block"),
    (lambda: sim.generate(block_limit=-1), ValueError, "block_limit"),
    (lambda: sim.generate(duration=-0.5), ValueError, "duration"),
    (lambda: sim.generate(duration=math.nan), ValueError, "duration"),
    (lambda: sim.generate(duration="1"), TypeError, "duration"),
    (lambda: sim.generate(real_time=1), TypeError, "real_time"),
    (lambda: sim.generate(5.0, real_time=True), ValueError, "blocks_per_second"),
    (lambda: sim.generate_default(duration=1e10), ValueError, "duration"),
])
def test_the_harness_names_a_bad_generator_argument(call, error, named):
    with pytest.raises(error, match=named):
        call()


@pytest.mark.parametrize("fields", [
    dict(blocks_per_second=math.nan), dict(blocks_per_second=2e9), dict(duration=math.inf), dict(duration=-1.0),
    dict(packets_per_block=2**26 + 1), dict(flags=0x8), dict(blocks_per_second=1.0, flags=0x1),
])
def test_the_virtual_detector_refuses_bad_generator_settings(fields):
    settings = sim_data._Generator(**{"duration": 1.0, **fields})
    assert sim_data._sim_set_generator(0, ctypes.byref(settings)) == sim.ERR_EINVAL
    assert sim_data._sim_set_generator(0, None) == sim.ERR_EFAULT
    assert sim_data._sim_set_generator(7, ctypes.byref(sim_data._Generator())) == sim.ERR_ENODEV


@pytest.mark.skipif(SANITIZED, reason="ASan needs more address space than this limit leaves it")
def test_a_start_short_of_threads_delivers_with_those_it_got():
    # Too little address space for 64 thread stacks: a thread that cannot
    # start must not take the process down.
    from helpers import run_python

    result = run_python("""
        import resource, threading
        import vexasdk.sim as sim
        sim.set_monitor_rate(0)
        device = powered_device(threads=64)
        sim.generate(packets_per_block=10, block_limit=200)
        trampoline = sim.trampoline("_t3_itot_evcount", "fb_itot_evcount_cb")
        threads = []
        pages = int(open("/proc/self/statm").read().split()[0])
        resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + (20 << 20), resource.RLIM_INFINITY))
        sim.start(device.context, trampoline, lambda packets: threads.append(threading.get_ident()))
        sim.await_end(device.context)
        print(len(threads), 0 < len(set(threads)) < 64)
    """, script_helpers=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "200 True\n"


@pytest.mark.parametrize("mode", [7, 10])
def test_big_blocks_come_again_in_their_own_time_until_the_sensor_changes(ready, mode):
    # Past its first eight big blocks a delivery thread answers with those,
    # moved to each block's detector time; a new mask starts afresh at once.
    sim.generate(blocks_per_second=0, packets_per_block=20000, block_limit=14)
    got = []

    def keep(packets, metadata):
        got.append((packets.copy(), int(metadata.shutter_start)))
        if len(got) == 10:  # the blocks from the eleventh on see chip 0 masked
            sim.set_chip_mask(np.zeros(256 * 256, np.uint8), 0)

    start(ready, mode, keep)
    sim.await_end(ready.context)
    assert len(got) == 14
    for later in (8, 9):
        first, again = got[later - 8][0], got[later][0]
        np.testing.assert_array_equal(again.address, first.address)
        np.testing.assert_array_equal(again.tot, first.tot)
        shift = int(again.toa[0]) - int(first.toa[0])
        assert shift > 0 and (again.toa.astype(np.int64) - first.toa.astype(np.int64) == shift).all()
    assert all(len(packets) > 10000 for packets, _ in got)
    for packets, _ in got[10:]:
        assert not (packets.address >> 16 == 0).any()
    assert len({packets.tobytes() for packets, _ in got[:8]}) == 8  # made afresh, each
