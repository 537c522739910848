"""The virtual detector's truth: the particles behind its data, held against the
packets they made."""

import awkward as ak
import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from helpers import make_ready
from test_virtual_data import acquire
from vexasdk.pixels import detector_coordinates

TICK_NS = 1.5625
WALK_TICKS = 65  # the longest time walk


def run(device, mode=7, threshold=4.0, per_block=2000, blocks=3, seed=1, **params):
    """A seeded run at a low rate; every block's callback arguments."""
    for chip in device.chips:
        chip.set_threshold(threshold)
    sim.set_seed(seed)
    sim.generate(packets_per_block=per_block, block_limit=blocks)
    return acquire(device, mode, **params)


def packets_of(got):
    return np.concatenate([args[0] for args in got]).view(np.recarray)


def owners(packets, truth):
    """The truth record each hit belongs to: the latest particle that arrived
    at most a time walk before it, within four pixels; -1 for none."""
    row, column = detector_coordinates(packets.address)
    arrival = np.round(truth.toa / TICK_NS).astype(np.int64)
    toa = packets.toa.astype(np.int64)
    latest = np.searchsorted(arrival, toa, side="right") - 1
    found = np.full(len(packets), -1)
    for back in range(4):  # the few particles that arrive within a walk of each other
        k = np.clip(latest - back, 0, None)
        near = ((latest - back >= 0) & (toa - arrival[k] <= WALK_TICKS) & (np.abs(column - truth.x[k]) < 4)
                & (np.abs(row - truth.y[k]) < 4))
        found = np.where((found < 0) & near, k, found)
    return found


def kev_of(tot, a=1.6, b=24.0, c=60.0, t=1.5):
    """The energy a pixel measured, from its ToT through the surrogate a E + b - c / (E - t)."""
    tot = np.asarray(tot, np.float64)
    p, q = b - tot - a * t, -(b - tot) * t - c
    return (-p + np.sqrt(p * p - 4 * a * q)) / (2 * a)


def clusters(packets):
    """Clusters of neighbouring hit pixels (eight-connected), counted block by block."""
    count = 0
    for block in packets:
        row, column = detector_coordinates(block.address)
        label = np.zeros((514, 514), np.int64)
        label[row + 1, column + 1] = np.arange(1, len(block) + 1)
        hit = label > 0
        while True:  # each pixel takes its neighbours' largest label until none changes
            grown = label.copy()
            for dr in (-1, 0, 1):
                for dc in (-1, 0, 1):
                    grown = np.maximum(grown, np.roll(np.roll(label, dr, 0), dc, 1))
            grown[~hit] = 0
            if (grown == label).all():
                break
            label = grown
        count += len(np.unique(label[hit]))
    return count


def test_truth_is_off_until_asked_for_and_new_with_every_acquisition(ready):
    run(ready)
    assert len(sim.truth()) == 0 and sim.truth_dropped() == 0
    sim.record_truth(True)
    first = sim.truth()  # recording starts with the next acquisition
    run(ready)
    once = sim.truth()
    run(ready)
    again = sim.truth()
    assert len(first) == 0 and len(once) > 500
    # The same seed, the same particles: recorded anew, not appended.
    np.testing.assert_array_equal(again.x, once.x)
    assert set(again.block) == {0, 1, 2}
    sim.reset()
    assert len(sim.truth()) == 0
    with vexasdk.open_device() as device:
        run(make_ready(device))
    assert len(sim.truth()) == 0


@pytest.mark.parametrize("mode, per_block, blocks", [
    (7, 2000, 3), (10, 2000, 3),
    (7, 20000, 10),  # past eight big blocks, each is one of those moved in time, its truth too
], ids=["readout-order", "sorted", "replayed"])
def test_every_hit_belongs_to_a_true_particle(ready, mode, per_block, blocks):
    sim.record_truth(True)
    got = run(ready, mode, per_block=per_block, blocks=blocks)
    packets, truth = packets_of(got), sim.truth()
    assert sim.truth_dropped() == 0 and set(truth.block) == set(range(blocks))
    assert truth.pixels.sum() == len(packets)
    owner = owners(packets, truth)
    assert (owner >= 0).mean() > 0.999
    assert (np.bincount(owner[owner >= 0], minlength=len(truth)) == truth.pixels).mean() > 0.99
    # Truth is on the packets' clock: no hit before its particle, none a walk after.
    walk = packets.toa.astype(np.int64) - np.round(truth.toa[owner] / TICK_NS).astype(np.int64)
    assert walk[owner >= 0].min() == 0 and walk[owner >= 0].max() <= WALK_TICKS
    start = got[0][1].shutter_start * TICK_NS
    assert start <= truth.toa.min() and truth.toa.max() <= start + blocks * per_block * 1000.0


@pytest.mark.parametrize("varied", [False, True], ids=["alike", "varied"])
def test_photo_peak_clusters_sum_and_centre_on_their_truth(ready, varied):
    maps = sim.vary_pixels(seed=2) if varied else sim.pixel_calibration()
    sim.record_truth(True)
    got = run(ready, blocks=6)
    packets, truth = packets_of(got), sim.truth()
    # At a low rate, few particles of a block overlap.
    assert abs(clusters([args[0] for args in got]) - len(truth)) < 0.05 * len(truth)
    owner = owners(packets, truth)
    row, column = detector_coordinates(packets.address)
    found = owner >= 0
    pixel = packets.address >> 16, (packets.address >> 8) & 0xFF, packets.address & 0xFF
    measured = kev_of(packets.tot, *(m[pixel] for m in maps[:4]))  # through each pixel's own surrogate
    kev = np.bincount(owner[found], measured[found], len(truth))
    weight = np.bincount(owner[found], packets.tot[found], len(truth))
    x = np.bincount(owner[found], packets.tot[found] * column[found], len(truth)) / np.maximum(weight, 1)
    y = np.bincount(owner[found], packets.tot[found] * row[found], len(truth)) / np.maximum(weight, 1)
    peak = truth.kind == sim.ParticleKind.photo_peak
    assert peak.sum() > 500
    assert 59.5 - 1.5 < np.median(truth.energy[peak]) < 59.5 + 1.5
    # What stays under the 4 keV threshold in the neighbours is lost.
    ratio = kev[peak] / truth.energy[peak]
    assert 0.9 < np.median(ratio) < 1.0 and (ratio > 0.75).mean() > 0.9 and (ratio < 1.05).mean() > 0.97
    # Pixel centres at whole numbers: no offset, a small scatter.
    for centroid, true in ((x, truth.x), (y, truth.y)):
        error = centroid[peak] - true[peak]
        assert abs(error.mean()) < 0.02 and np.median(np.abs(error)) < 0.05


def test_the_time_walk_is_as_documented(ready):
    sim.record_truth(True)
    packets = packets_of(run(ready, blocks=6))
    truth = sim.truth()
    owner = owners(packets, truth)
    over = kev_of(packets.tot) - 4.0
    # Away from the threshold the ToT tells the energy well enough.
    kept = (owner >= 0) & (over > 4.0)
    delay = packets.toa[kept] * TICK_NS - truth.toa[owner[kept]]
    assert abs((delay - sim.time_walk_ns(over[kept])).mean()) < 0.3
    assert sim.time_walk_ns(-1.0) == sim.time_walk_ns(0.0) == pytest.approx(100.78125)


@pytest.mark.parametrize("mode", [8, 9, 11])
def test_frames_and_scans_account_for_every_hit(ready, mode):
    sim.record_truth(True)
    got = run(ready, mode, per_block=40 if mode == 11 else 2000, width=8, height=10, dwell_time=1000)
    truth = sim.truth()
    if mode == 9:  # each pixel's events, a hit each
        assert truth.pixels.sum() == sum(int(args[0].evcount.sum()) for args in got)
    elif mode == 8:  # a pixel hit twice in a frame reports once
        assert 0.97 * truth.pixels.sum() < sum(len(args[0]) for args in got) <= truth.pixels.sum()
    else:
        evcounts = np.concatenate([args[0] for args in got])
        assert (truth.kind == sim.ParticleKind.electron).all()
        assert truth.pixels.sum() == evcounts.sum()
        # One dwell of 1 us a position, from the first.
        position = np.round((truth.toa - truth.toa.min()) / 1000.0).astype(np.int64)
        np.testing.assert_array_equal(np.bincount(position, truth.pixels, len(evcounts)), evcounts)
        assert len(ak.flatten(got[0][2].address)) > 0


def test_the_truth_keeps_to_its_limit_and_counts_the_rest(ready):
    sim.record_truth(True, max_particles=100)
    run(ready)
    dropped = sim.truth_dropped()
    assert len(sim.truth()) == 100 and dropped > 500
    sim.record_truth(False)  # the last record stays readable
    assert len(sim.truth()) == 100 and sim.truth_dropped() == dropped


def test_recording_leaves_the_data_as_it_was(ready):
    plain = packets_of(run(ready, per_block=20000, blocks=9))
    sim.record_truth(True)
    recorded = packets_of(run(ready, per_block=20000, blocks=9))
    np.testing.assert_array_equal(plain.address, recorded.address)
    np.testing.assert_array_equal(plain.tot, recorded.tot)


@pytest.mark.parametrize("call, error, named", [
    (lambda: sim.record_truth(True, max_particles=0), ValueError, "max_particles"),
    (lambda: sim.record_truth(True, max_particles=2**26 + 1), ValueError, "max_particles"),
    (lambda: sim.record_truth(1), TypeError, "on"),
    (lambda: sim.truth(device=-1), ValueError, "device"),
])
def test_truth_arguments_are_checked(call, error, named):
    with pytest.raises(error, match=named):
        call()
