"""vexasdk.pixels: address decoding, units, hit maps, scan images, spectra."""

import awkward as ak
import numpy as np
import pytest

from vexasdk import Block, OperationalMode
from vexasdk.pixels import (ITOT_NS, TOA_NS, TOT_NS, HitMap, ScanImage, coarse, decode, detector_coordinates,
                            detector_shape, itot_ns, toa_ns, tot_ns, tot_spectrum)

M = OperationalMode


def address(chip, row, column):
    return chip << 16 | row << 8 | column


def test_addresses_decode_and_land_in_their_quarter_of_the_quad():
    addresses = np.array([address(0, 0, 0), address(1, 2, 3), address(2, 255, 0), address(3, 255, 255)], np.uint32)
    chip, row, column = decode(addresses)
    assert chip.tolist() == [0, 1, 2, 3] and row.tolist() == [0, 2, 255, 255] and column.tolist() == [0, 3, 0, 255]
    rows, columns = detector_coordinates(addresses)
    assert rows.tolist() == [0, 2, 511, 511] and columns.tolist() == [0, 259, 0, 511]


@pytest.mark.parametrize("chips, shape", [(1, (256, 256)), (2, (256, 512)), (3, (512, 512)), (4, (512, 512)),
                                          (6, (768, 512))])
def test_detector_shape(chips, shape):
    assert detector_shape(chips) == shape


@pytest.mark.parametrize("bad", [0, -1, True, 2.0])
def test_detector_shape_refuses_what_is_no_count_of_chips(bad):
    with pytest.raises(ValueError, match="chips must be a positive number of chips"):
        detector_shape(bad)


def test_units():
    assert (TOA_NS, TOT_NS, ITOT_NS) == (1.5625, 25.0, 25.0)
    assert toa_ns([0, 640]).tolist() == [0.0, 1000.0]
    assert tot_ns(np.array([4], np.uint32)).tolist() == [100.0] and itot_ns(2).tolist() == 50.0


def records(dtype, **fields):
    out = np.zeros(len(next(iter(fields.values()))), dtype).view(np.recarray)
    for name, values in fields.items():
        out[name] = values
    return out


TOA_TOT = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
ITOT = np.dtype([("address", "<u4"), ("itot", "<u4"), ("evcount", "<u8")])
BIN = np.dtype([("address", "<u4"), ("evcount", "<u4"), ("itot", "<u4")])


def block(mode, *arrays, first=None, scan=None):
    return Block(mode, arrays, 0, 0.0, first, scan)


def test_hit_maps_from_every_kind_of_block():
    a, b = address(0, 1, 2), address(3, 0, 0)
    hits = HitMap()
    hits.add(block(M.dd_toa_tot, records(TOA_TOT, address=[a, a, b]), None))
    hits.add(block(M.fb_itot_evcount, records(ITOT, address=[a], evcount=[5])))
    bins = ak.unflatten(ak.from_numpy(np.array([(b, 2, 9), (a, 1, 4)], BIN)), [1, 0, 1])
    hits.add(block(M.binned_data, np.array([2, 0, 1], np.uint64), np.zeros(3, np.uint64), bins, first=0,
                   scan=(3, 1)))
    hits.add(block(M.binned_evcount, np.array([7], np.uint64), first=0, scan=(3, 1)))  # no pixels
    assert hits.counts[1, 2] == 2 + 5 + 1 and hits.counts[256, 256] == 1 + 2
    assert hits.counts.sum() == 11 and hits.hottest() == (1, 2, 8)


def test_addresses_beyond_the_image_are_left_out():
    hits = HitMap(chips=1)
    hits.add_packets(np.array([address(0, 3, 3), address(1, 0, 0), address(2, 0, 0)], np.uint32))
    assert hits.counts.sum() == 1


def test_a_scan_image_takes_each_position_where_the_block_says():
    image = ScanImage(4, 2)
    image.add(block(M.binned_evcount, np.array([1, 2, 3], np.uint64), first=0, scan=(4, 2)))
    image.add(block(M.binned_itot, np.array([10, 20, 30, 40, 50, 60], np.uint64), first=3, scan=(4, 2)))
    # 8 positions, row by row; the second block wraps into a next scan
    assert image.values.tolist() == [[1 + 60, 2, 3, 10], [20, 30, 40, 50]]


def test_spectrum_and_coarse_images():
    spectrum = tot_spectrum(np.array([1, 1, 2, 40]), bins=4, max_ns=1000.0)
    assert spectrum.counts.tolist() == [3, 0, 0, 1] and spectrum.edges_ns.tolist() == [-12.5, 262.5, 537.5, 812.5,
                                                                                        1087.5]
    flat = tot_spectrum(np.arange(1, 1001), bins=100)  # every step once: every bin alike, no picket fence
    assert len(set(flat.counts[1:-1].tolist())) == 1 and len(flat.counts) <= 100
    image = np.arange(16, dtype=np.uint64).reshape(4, 4)
    assert coarse(image, 2, 2).tolist() == [[10, 18], [42, 50]]
    with pytest.raises(ValueError, match="cannot tile a 4 x 4 image into 5 x 2"):
        coarse(image, 5, 2)
    with pytest.raises(ValueError, match="bins must be a positive integer"):
        tot_spectrum([1], bins=0)
