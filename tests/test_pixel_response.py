"""Pixels that differ: each pixel's own ToT surrogate and threshold, and the
data as it was while they are all alike."""

import hashlib

import awkward as ak
import numpy as np
import pytest

import vexasdk.sim as sim
from test_truth import kev_of, packets_of, run
from test_virtual_data import acquire, tot_of
from vexasdk.sim.response import UNIFORM

# Seeded runs as the generator made them before pixels could differ.
AS_IT_WAS = {7: "6586600fd25965f4", 9: "39b49eb142ea5df2", 11: "9a711178ac8024e5"}


def digest(got, mode):
    """A checksum of a run's data, ToAs counted from the shutter start."""
    h = hashlib.sha256()
    for args in got:
        if mode == 11:
            h.update(ak.to_numpy(ak.flatten(args[2].address)).tobytes())
            h.update(ak.to_numpy(ak.flatten(args[2].itot)).tobytes())
        elif mode == 9:
            h.update(args[0].tobytes())
        else:
            packets = args[0].copy()
            packets["toa"] -= args[1].shutter_start
            h.update(packets.tobytes())
    return h.hexdigest()[:16]


def uniform_maps(chips=4):
    return [np.full((chips, 256, 256), UNIFORM[name]) for name in "abct"] + [np.zeros((chips, 256, 256))]


@pytest.mark.parametrize("explicit", [False, True], ids=["out-of-the-box", "uniform-maps-set"])
@pytest.mark.parametrize("mode", sorted(AS_IT_WAS))
def test_alike_pixels_make_the_data_they_always_made(ready, mode, explicit):
    if explicit:
        sim.set_pixel_calibration(*uniform_maps())
    got = run(ready, mode, threshold=5.0, seed=12345, per_block=40 if mode == 11 else 3000, width=8, height=5)
    assert digest(got, mode) == AS_IT_WAS[mode]


def test_maps_are_drawn_reproducibly_within_their_ranges(ready):
    now = sim.pixel_calibration()
    for name, value in UNIFORM.items():
        assert (getattr(now, name) == value).all()
    assert (now.threshold_offsets == 0).all() and now.a.shape == (4, 256, 256)
    drawn = sim.vary_pixels(seed=3)
    for got, again in zip(sim.pixel_calibration(), sim.vary_pixels(seed=3)):
        np.testing.assert_array_equal(got, again)
    assert not np.array_equal(drawn.a, sim.vary_pixels(seed=4).a)
    assert 0.04 < drawn.a.std() < 0.06 and 0.25 < drawn.threshold_offsets.std() < 0.35
    wild = sim.vary_pixels(spread_a=100, spread_c=100, spread_t=100, seed=5)
    assert wild.a.min() >= 0.1 and wild.c.min() >= 0 and 0 <= wild.t.min() and wild.t.max() <= 3
    sim.uniform_pixels()
    assert (sim.pixel_calibration().a == UNIFORM["a"]).all()


def test_each_pixel_reports_through_its_own_surrogate(ready):
    # Without threshold offsets the same seed makes the same hits: only their
    # ToTs change, each through its own pixel's surrogate.
    alike = packets_of(run(ready))
    maps = sim.vary_pixels(spread_a=0.3, spread_b=6.0, spread_c=20.0, spread_t=0.5, threshold_spread_kev=0.0)
    varied = packets_of(run(ready))
    np.testing.assert_array_equal(alike.address, varied.address)
    chip, row, column = alike.address >> 16, (alike.address >> 8) & 0xFF, alike.address & 0xFF
    a, b, c, t = (m[chip, row, column] for m in maps[:4])
    kev = kev_of(alike.tot)
    clear = alike.tot >= 20  # the uniform ToT tells the energy, to within its rounding
    expected = np.clip(a * kev + b - c / (kev - t), 1, 1023)
    # Half a count of the uniform ToT, as it shows through this pixel's slope, and this one's rounding.
    slope = (a + c / (kev - t) ** 2) / (1.6 + 60 / (kev - 1.5) ** 2)
    assert (np.abs(varied.tot - expected)[clear] <= 0.5 * slope[clear] + 0.5 + 1e-9).all()
    assert (varied.tot != alike.tot).mean() > 0.5


def test_each_pixel_fires_at_its_own_threshold(ready):
    offsets = np.zeros((4, 256, 256))
    offsets[0, :128] = 30.0  # the top half of chip 0 fires from 35 keV only
    sim.set_threshold_dispersion(offsets)
    assert (sim.pixel_calibration().a == UNIFORM["a"]).all()
    packets = packets_of(run(ready, threshold=5.0, blocks=6))
    raised = (packets.address >> 16 == 0) & ((packets.address >> 8 & 0xFF) < 128)
    assert raised.sum() > 100 and packets.tot[raised].min() >= tot_of(35.0)
    assert (packets.tot[~raised] < tot_of(20.0)).sum() > 1000


def test_new_responses_end_the_replay_of_big_blocks(ready):
    sim.generate(packets_per_block=20000, block_limit=13)
    got = []

    def keep(packets, metadata):
        got.append(packets.copy())
        if len(got) == 10:  # the blocks from the eleventh on see new pixels
            sim.vary_pixels(seed=1)

    ready.chips[0].set_threshold(5.0)
    sim.start(ready.context, sim.trampoline("_t3_toa_tot", "dd_toa_tot_cb"), keep)
    sim.await_end(ready.context)
    assert np.array_equal(got[9].tot, got[1].tot)  # a replay
    for later in (11, 12):
        assert not np.array_equal(got[later].address[:100], got[later - 8].address[:100])


@pytest.mark.parametrize("call, named, said", [
    (lambda m: sim.set_pixel_calibration(m[0][:3], *m[1:]), "a", r"shape \(4, 256, 256\).*got \(3, 256, 256\)"),
    (lambda m: sim.set_pixel_calibration(m[0], m[1][0], *m[2:]), "b", r"got \(256, 256\)"),
    (lambda m: sim.set_pixel_calibration(m[0] * 0, *m[1:]), "a", r"above 0, got 0.0 at \[chip, row, col.* \[0, 0, 0\]"),
    (lambda m: sim.set_pixel_calibration(*m[:2], m[2] - 61, *m[3:]), "c", "at least 0, got -1.0"),
    (lambda m: sim.set_pixel_calibration(*m[:3], m[3] * np.nan), "t", "finite, got nan"),
    (lambda m: sim.set_threshold_dispersion(m[4] + np.inf), "threshold_offsets", "finite, got inf"),
    (lambda m: sim.vary_pixels(spread_b=-1.0), "spread_b", r"0..100, got -1.0"),
    (lambda m: sim.vary_pixels(threshold_spread_kev=np.nan), "threshold_spread_kev", "got nan"),
    (lambda m: sim.vary_pixels(seed=-1), "seed", "got -1"),
])
def test_bad_maps_are_refused_by_name(call, named, said):
    before = sim.pixel_calibration()
    with pytest.raises(ValueError, match=f"^{named} must .*{said}"):
        call(uniform_maps())
    for now, then in zip(sim.pixel_calibration(), before):
        np.testing.assert_array_equal(now, then)
