"""Hits joined into clusters: which hits join, the rows clusters give, the
stream of blocks, calibrations, and what is refused."""

import tracemalloc

import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim
from helpers import make_ready
from vexasdk.events import PACKET_DTYPE, Calibration, Clusterer, cluster

TICK = 1.5625
WINDOW = 320  # ticks: the default 500 ns


def packets(*hits):
    """Packets of (chip, row, column, tot, toa ticks) hits."""
    out = np.zeros(len(hits), PACKET_DTYPE)
    for i, (chip, row, column, tot, toa) in enumerate(hits):
        out[i] = (chip << 16 | row << 8 | column, tot, toa)
    return out


def sizes(rows):
    return sorted(rows["size"].tolist())


def fields(rows):
    """Rows as plain tuples in a fixed order, NaNs comparable."""
    return sorted(tuple(np.nan_to_num(row.tolist(), nan=-1.0)) for row in rows)


@pytest.mark.parametrize("hits, expected, neighbours", [
    ([(0, 5, 6, 10, 100)], [1], 8),
    ([(0, 5, 6, 10, 100), (0, 5, 7, 10, 101), (0, 6, 6, 10, 102), (0, 6, 7, 10, 103)], [4], 8),  # 2 x 2
    ([(0, 5, 5, 10, 0), (0, 6, 5, 10, 3), (0, 7, 5, 10, 6), (0, 7, 6, 10, 9)], [4], 4),  # L-shape
    ([(0, 9, 254, 10, 0), (0, 9, 255, 10, 2), (1, 9, 0, 10, 4), (1, 9, 1, 10, 6)], [4], 4),  # across chips 0 | 1
    ([(0, 255, 7, 10, 0), (2, 0, 7, 10, 1)], [2], 4),  # across chips 0 / 2
    ([(0, 255, 255, 10, 0), (3, 0, 0, 10, 1)], [2], 8),  # corner of chips 0 and 3
    ([(0, 5, 5, 10, 0), (0, 6, 6, 10, 1)], [1, 1], 4),  # diagonal: not a 4-neighbour
    ([(0, 5, 5, 10, 0), (0, 5, 6, 10, WINDOW + 1)], [1, 1], 8),  # touching in space, not in time
    ([(0, 5, 5, 10, 0), (0, 5, 6, 10, WINDOW)], [2], 8),  # the window's edge is in
    ([(0, 5, 5, 10, 0), (0, 5, 5, 10, 300)], [2], 8),  # a pixel firing twice within the window
    # Joined through the middle hit, though the ends are two windows apart.
    ([(0, 5, 5, 10, 0), (0, 5, 6, 10, WINDOW), (0, 5, 7, 10, 2 * WINDOW)], [3], 8),
    ([(0, 5, 5, 10, 0), (0, 5, 7, 10, 1), (0, 5, 6, 10, 2)], [3], 8),  # a late middle hit bridges two
    ([(0, 5, 5, 10, 0), (0, 5, 8, 10, 1)], [1, 1], 8),
])
def test_which_hits_join(hits, expected, neighbours):
    rows = cluster(packets(*hits), neighbours=neighbours)
    assert sizes(rows) == expected
    # Any packet order gives the same clusters.
    assert fields(cluster(packets(*hits[::-1]), neighbours=neighbours)) == fields(rows)


def reference(hits, window, neighbours):
    """Cluster sizes and ToT-weighted x centroids by brute force over every pair of hits."""
    address = hits["address"].astype(np.int64)
    y = (address >> 16) // 2 * 256 + (address >> 8 & 0xFF)
    x = (address >> 16) % 2 * 256 + (address & 0xFF)
    dx, dy = np.abs(x[:, None] - x[None, :]), np.abs(y[:, None] - y[None, :])
    near = (dx <= 1) & (dy <= 1) & ((dx + dy <= 1) if neighbours == 4 else True)
    near &= np.abs(hits["toa"].astype(np.int64)[:, None] - hits["toa"].astype(np.int64)[None, :]) <= window
    parent = list(range(len(hits)))

    def root(i):
        while parent[i] != i:
            i = parent[i]
        return i

    for i, j in zip(*np.nonzero(near)):
        parent[root(i)] = root(j)
    roots = np.array([root(i) for i in range(len(hits))])
    groups = [roots == r for r in np.unique(roots)]
    return sorted((int(g.sum()), round(float((x[g] * hits["tot"][g]).sum() / hits["tot"][g].sum()), 9))
                  for g in groups)


@pytest.mark.parametrize("span, neighbours", [(400_000, 8), (20_000, 8), (2_000, 4), (2_000, 8)])
def test_random_hits_against_brute_force(span, neighbours):
    # From about one hit per window (compared one by one) to a hundred (through the grid), in blocks fed one
    # after another and shuffled within each, as readout delivers them.
    rng = np.random.default_rng(span + neighbours)
    n = 600
    hits = np.zeros(n, PACKET_DTYPE)
    chip, row, column = rng.integers(0, 4, n), rng.integers(250, 256, n), rng.integers(250, 256, n)
    hits["address"] = chip << 16 | np.where(chip >= 2, row - 250, row) << 8 | np.where(chip % 2, column - 250, column)
    hits["toa"] = np.sort(rng.integers(0, span, n)) + 2**40
    hits["tot"] = rng.integers(1, 100, n)
    expected = reference(hits, WINDOW, neighbours)
    whole = cluster(hits, neighbours=neighbours)
    assert sorted((int(r["size"]), round(float(r["x"]), 9)) for r in whole) == expected
    clusterer = Clusterer(neighbours=neighbours, disorder_ns=span * TICK / 5)
    blocks = [rng.permutation(block) for block in np.array_split(hits, 6)]
    streamed = np.concatenate([clusterer.add(block) for block in blocks] + [clusterer.flush()])
    assert fields(streamed) == fields(whole) and clusterer.counts.late == 0


def random_hits(n, span, seed):
    """`n` hits over the quad's four chips near their shared corner, ToAs over `span` ticks, in no order."""
    rng = np.random.default_rng(seed)
    hits = np.zeros(n, PACKET_DTYPE)
    chip, row, column = rng.integers(0, 4, n), rng.integers(250, 256, n), rng.integers(250, 256, n)
    hits["address"] = chip << 16 | np.where(chip >= 2, row - 250, row) << 8 | np.where(chip % 2, column - 250, column)
    hits["toa"] = rng.integers(0, span, n) + 2**40
    hits["tot"] = rng.integers(1, 100, n)
    return hits


@pytest.mark.parametrize("hits", [
    random_hits(600, 2_000, 1),  # the grid's crowd
    random_hits(600, 400_000, 2),  # one by one
    # Skipped addresses among the hits; ToAs too far apart for packed sort keys.
    packets((0, 5, 5, 10, 2**63), (9, 5, 5, 10, 0), (0, 5, 6, 7, 2**63 + 1), (4, 0, 0, 1, 1), (0, 5, 5, 3, 3),
            (3, 255, 255, 2, 2**62)),
])
def test_labels_name_each_packets_row(hits):
    rows, labels = cluster(hits, labels=True)
    assert labels.dtype == np.int64 and labels.shape == hits.shape
    skipped = hits["address"] >> 16 >= 4
    assert np.array_equal(labels < 0, skipped) and set(labels[skipped]) <= {-1}
    kept = labels[~skipped]
    assert np.array_equal(np.bincount(kept, minlength=len(rows)), rows["size"])
    assert np.array_equal(np.bincount(kept, hits["tot"][~skipped], minlength=len(rows)) * 25, rows["tot"])
    starts = np.r_[0, np.cumsum(rows["size"], dtype=np.intp)[:-1]]
    assert np.array_equal(np.minimum.reduceat(hits["toa"][~skipped][np.argsort(kept, kind="stable")], starts) * TICK,
                          rows["toa"])
    assert fields(cluster(hits)) == fields(rows)


def test_row_values():
    # A symmetric 2 x 2 with equal ToTs has its centroid at its centre (pixel centres at whole numbers).
    [square] = cluster(packets((1, 10, 20, 8, 1003), (1, 10, 21, 8, 1001), (1, 11, 20, 8, 1000), (1, 11, 21, 8, 1002)))
    assert (square["x"], square["y"]) == (276.5, 10.5)
    assert square["toa"] == 1000 * TICK and square["tot"] == 4 * 8 * 25 and square["size"] == 4
    assert np.isnan(square["energy"])
    # ToT weights: 3 parts at column 0, 1 at column 1.
    [pair] = cluster(packets((2, 0, 0, 30, 5), (2, 0, 1, 10, 5)))
    assert (pair["x"], pair["y"]) == (0.25, 256.0)


def test_uniform_calibration_recovers_energy_and_walk():
    calibration = Calibration.uniform(threshold=5.0, walk_ns=100.0)
    kev = np.array([4.0, 13.9, 59.5])
    tot = np.rint(1.6 * kev + 24 - 60 / (kev - 1.5)).astype(int)
    rows = cluster(packets(*[(0, 10 * i, 10, t, 1000) for i, t in enumerate(tot)]), calibration=calibration)
    energy = rows["energy"]
    assert np.allclose(1.6 * energy + 24 - 60 / (energy - 1.5), tot)  # the exact inverse of the integer ToT
    assert np.all(np.abs(energy - kev) < 0.5 / 1.6)  # ToT rounding is all that is lost
    walk = 100.0 / (1 + np.maximum(energy - 5.0, 0))
    assert np.allclose(rows["toa"], 1000 * TICK - walk)
    # Energy weights differ from ToT weights once the curve bends.
    two = packets((0, 0, 0, tot[0], 0), (0, 0, 1, tot[2], 0))
    [by_energy] = cluster(two, calibration=calibration, weight="energy")
    [e0, e2] = energy[[0, 2]]
    assert by_energy["x"] == pytest.approx(e2 / (e0 + e2)) and by_energy["energy"] == pytest.approx(e0 + e2)
    # The earliest corrected ToA is the cluster's: the small hit's raw ToA is later by its walk.
    [walked] = cluster(packets((0, 0, 0, tot[0], 64), (0, 0, 1, tot[2], 0)), calibration=calibration)
    assert walked["toa"] == pytest.approx(min(64 * TICK - walk[0], 0 - walk[2]))


def test_calibration_maps_per_pixel():
    a = np.full((1, 256, 256), 1.6)
    a[0, 3, 4] = 3.2  # this pixel's ToT grows twice as fast
    calibration = Calibration(a, np.full_like(a, 24.0), np.zeros_like(a), np.zeros_like(a))
    rows = cluster(packets((0, 3, 4, 56, 0), (0, 9, 9, 56, 0)), calibration=calibration)
    assert sorted(rows["energy"].tolist()) == pytest.approx([10.0, 20.0])
    assert sizes(cluster(packets((1, 0, 0, 5, 0)), calibration=calibration)) == []  # chip 1: past one chip's map


def split(block, parts):
    return [block[i:j] for i, j in zip([0, *parts], [*parts, len(block)])]


@pytest.mark.parametrize("parts", [[1], [2], [3], [1, 2, 3]])
def test_a_cluster_split_between_blocks_is_one(parts):
    # Out of order across the cut, as readout delivers it.
    square = packets((0, 5, 6, 10, 1000), (0, 5, 7, 10, 1100), (0, 6, 6, 10, 1002), (0, 6, 7, 10, 1001))
    clusterer = Clusterer()
    rows = np.concatenate([clusterer.add(block) for block in split(square, parts)] + [clusterer.flush()])
    assert fields(rows) == fields(cluster(square))
    assert clusterer.counts == (4, 1, 0, 0, 0, 0)


def test_finished_clusters_come_out_and_late_hits_are_dropped():
    clusterer = Clusterer(window_ns=500, disorder_ns=1000)
    first = clusterer.add(packets((0, 1, 1, 5, 0), (0, 9, 9, 5, 10_000), (0, 50, 50, 5, 10_500)))
    # The newest is 10,500 ticks: the hit at 0 can grow no more, the two later ones may.
    assert first["toa"].tolist() == [0.0] and clusterer.counts.held == 2
    later = clusterer.add(packets((0, 1, 2, 5, 1), (0, 9, 10, 5, 10_100), (7, 0, 0, 5, 10_600)))
    assert later.size == 0  # the hit at 1 tick came too late, chip 7 is past the quad
    assert clusterer.counts == (6, 1, 1, 1, 0, 3)
    assert sizes(clusterer.flush()) == [1, 2]


def test_a_pixel_that_never_stops_is_cut_and_held_stays_bounded():
    clusterer = Clusterer(window_ns=500, disorder_ns=0, max_span_ns=10_000)
    held, out = [], 0
    for block in range(50):
        toa = np.arange(block * 1000, (block + 1) * 1000, 100, dtype=np.uint64)  # 156 ns apart: one chain
        hits = np.zeros(len(toa), PACKET_DTYPE)
        hits["toa"], hits["tot"] = toa, 3
        out += int(clusterer.add(hits)["size"].sum())
        held.append(clusterer.counts.held)
    out += int(clusterer.flush()["size"].sum())
    assert out == 500 and clusterer.counts.cut > 0
    assert max(held) <= 10_000 / TICK / 100 + 20  # max_span's worth of hits, and a block


def test_virtual_detector_block():
    sim.generate(packets_per_block=20_000, block_limit=1)
    with vexasdk.open_device() as device:
        make_ready(device)
        [block] = list(device.acquire("dd_toa_tot"))
    hits = block.packets
    rows = cluster(hits, calibration=Calibration.uniform())
    assert len(hits) / 5 < len(rows) < len(hits) / 1.5 and rows["size"].sum() == len(hits)
    assert np.median(rows["size"]) <= 4 and np.percentile(rows["size"], 95) <= 10
    # The 59.5 keV photo-peak, less what fell below the 5 keV threshold at the edges.
    counts, edges = np.histogram(rows["energy"], bins=np.arange(40, 70, 2))
    assert 48 <= edges[np.argmax(counts)] <= 60
    # Blocks fed one by one give what the whole gives (the readout's disorder is within 100 ms).
    clusterer = Clusterer(disorder_ns=1e8, calibration=Calibration.uniform())
    streamed = np.concatenate([clusterer.add(part) for part in np.array_split(hits, 7)] + [clusterer.flush()])
    assert fields(streamed) == fields(rows) and clusterer.counts.late == 0


def addresses_anywhere():
    hits = random_hits(1000, 10_000, 3)
    hits["address"] = np.random.default_rng(4).integers(0, 2**32, 1000, dtype=np.uint32)
    return [hits]


@pytest.mark.parametrize("blocks, late, out_of_range", [
    ([packets((0, 1, 1, 5, 7))], 0, 0),
    ([packets()], 0, 0),
    # ToA going back by more than the disorder allows: late, whether the earlier hits are held or given out.
    ([packets((0, 1, 1, 5, 10**6)), packets((0, 1, 2, 5, 10), (0, 9, 9, 5, 11))], 2, 0),
    ([packets((0, 1, 1, 5, 10**6)), packets((0, 1, 1, 5, 10**7)), packets(*[(1, 2, 2, 5, 5)] * 3)], 3, 0),
    (addresses_anywhere(), 0, None),
    # ToAs too far apart for packed sort keys, within a block and across the held hits.
    ([packets((0, 1, 1, 5, 0), (0, 1, 2, 5, 2**63)), packets((0, 1, 3, 5, 2**63 + 1), (0, 1, 1, 5, 2**64 - 1))], 0,
     0),
])
def test_every_packet_is_in_a_row_or_counted(blocks, late, out_of_range):
    clusterer = Clusterer(disorder_ns=1000)
    rows = np.concatenate([clusterer.add(block) for block in blocks] + [clusterer.flush()])
    counts = clusterer.counts
    given = sum(len(block) for block in blocks)
    if out_of_range is None:
        out_of_range = sum(int(np.count_nonzero(block["address"] >> 16 >= 4)) for block in blocks)
    assert (counts.hits, counts.late, counts.out_of_range, counts.held) == (given, late, out_of_range, 0)
    assert rows["size"].sum() == given - late - out_of_range and counts.clusters == len(rows)


def test_ten_million_hits_in_bounded_memory():
    n = 10_000_000
    hits = np.zeros(n, PACKET_DTYPE)
    i = np.arange(n, dtype=np.uint32)
    # A raster over chip 0 down and up again, one tick apart: the window holds 320 hits, all one cluster.
    row = i // 256 % 512
    hits["address"] = np.where(row < 256, row, 511 - row) << 8 | (i % 256)
    hits["toa"] = np.arange(n, dtype=np.uint64)[::-1]  # backwards: the whole block is sorted
    hits["tot"] = 1
    tracemalloc.start()
    try:
        [row] = cluster(hits)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert row["size"] == n and row["toa"] == 0.0
    assert peak < 30 * n  # sorted hits, links and the grid: about 20 bytes a hit


@pytest.mark.parametrize("call, error, text", [
    (lambda: cluster([1, 2]), TypeError, r"fields address \(uint32\), tot \(uint32\) and toa \(uint64\), got list"),
    (lambda: cluster(np.zeros(3, [("address", "<u4"), ("toa", "<u8")])), TypeError, "fields address"),
    (lambda: cluster(np.zeros(3, [("address", "<i4"), ("tot", "<u4"), ("toa", "<u8")])), TypeError,
     "got address of int32"),
    (lambda: cluster(packets(), window_ns=-1), ValueError, "window_ns must be a number of ns from 0 to 1e.09, got -1"),
    (lambda: cluster(packets(), window_ns=float("nan")), ValueError, "window_ns"),
    (lambda: cluster(packets(), neighbours=6), ValueError, "neighbours must be 4 or 8, got 6"),
    (lambda: cluster(packets(), weight="energy"), ValueError, "weight='energy' needs a calibration"),
    (lambda: cluster(packets(), weight="max"), ValueError, "weight must be 'tot' or 'energy', got 'max'"),
    (lambda: cluster(packets(), calibration="uniform"), TypeError, "calibration must be a Calibration"),
    (lambda: Clusterer(disorder_ns=1e13), ValueError, "disorder_ns must be a number of ns from 0 to 1e.12"),
    (lambda: Calibration.uniform(chips=0), ValueError, "chips must be 1 to 64, got 0"),
    (lambda: Calibration(*[np.ones((2, 256, 255))] * 4), ValueError,
     r"map a must have shape \(chips, 256, 256\) with 1 to 64 chips, got \(2, 256, 255\)"),
    (lambda: Calibration(np.ones((1, 256, 256)), np.ones((2, 256, 256)), *[np.ones((1, 256, 256))] * 2), ValueError,
     r"same shape, got a \(1, 256, 256\), b \(2, 256, 256\)"),
    (lambda: Calibration(*[np.ones((1, 256, 256))] * 2, np.full((1, 256, 256), np.inf), np.ones((1, 256, 256))),
     ValueError, "map c must be finite everywhere, got inf at chip 0, row 0, column 0"),
    (lambda: Calibration(np.zeros((1, 256, 256)), *[np.ones((1, 256, 256))] * 3), ValueError,
     "map a must be positive everywhere, got 0.0 at chip 0, row 0, column 0 .65536 pixels in all"),
    (lambda: setattr(Calibration.uniform(1), "walk_ns", 0.0), AttributeError, "read-only"),
    (lambda: Calibration(*[np.ones((1, 256, 256))] * 4, threshold=[1, 2]), ValueError,
     r"threshold must be one finite number of keV or one per chip \(1\), got \[1, 2\]"),
])
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


@pytest.mark.parametrize("given", [
    np.zeros(0, PACKET_DTYPE),
    packets((0, 1, 1, 1, 5)).view(np.recarray),  # as blocks carry them
    np.zeros((2, 3), PACKET_DTYPE),  # any shape
    np.zeros(4, [("toa", "<u8"), ("pad", "u1"), ("address", "<u2"), ("tot", "u1")]),  # other layouts and widths
    packets(*[(0, 1, 1, 1, 5)] * 6)[::2],  # not contiguous
])
def test_accepted_packets(given):
    assert cluster(given)["size"].sum() == given.size
