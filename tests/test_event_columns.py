"""The native pass that turns ToA-ToT packets into a file's event columns."""

import numpy as np
import pytest

from vexasdk._event_columns import toa_tot_columns

PACKET = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])


def columns(packets, zero_ns=0, width=512, pixels=512 * 512):
    n = len(packets)
    ids, offsets, tots = np.empty(n, np.uint32), np.empty(n, np.float64), np.empty(n, np.uint32)
    hits = np.zeros(pixels, np.uint32)
    toa_tot_columns(packets, zero_ns, width, ids, offsets, tots, hits)
    return ids, offsets, tots, hits


def test_every_chip_lands_in_its_quarter_with_exact_times():
    packets = np.zeros(5, PACKET)
    packets["address"] = [0 << 16 | 3 << 8 | 4, 1 << 16 | 3 << 8 | 4, 2 << 16 | 0 << 8 | 255, 3 << 16 | 255 << 8 | 255,
                          7 << 16]  # chip 7: past the quad
    packets["toa"] = [2**40 + 1, 2**40 + 3, 2**40 + 7, 2**40, 2**40 - 1]
    packets["tot"] = [1, 2, 3, 4, 40]
    zero = int(2**40 * 1.5625)
    ids, offsets, tots, hits = columns(packets, zero)
    assert ids.tolist() == [3 * 512 + 4, 3 * 512 + 260, 256 * 512 + 255, 511 * 512 + 511, 3 * 256 * 512 + 256]
    np.testing.assert_array_equal(offsets + zero, packets["toa"] * 1.5625)  # to the last bit
    assert tots.tolist() == [25, 50, 75, 100, 1000]
    assert hits.sum() == 4 and hits[ids[:4]].tolist() == [1, 1, 1, 1]  # a pixel past the map is not counted


@pytest.mark.parametrize("args, error, text", [
    ((np.zeros(3, np.uint8), 0, 512, np.empty(0, np.uint32), np.empty(0), np.empty(0, np.uint32),
      np.zeros(4, np.uint32)), ValueError, "packets must be whole 16-byte ToA-ToT records, got 3 bytes"),
    ((np.zeros(2, PACKET), 0, 512, np.empty(1, np.uint32), np.empty(2), np.empty(2, np.uint32),
      np.zeros(4, np.uint32)), ValueError, r"ids must hold 8 bytes \(2 items of 4\), got 4"),
    ((np.zeros(2, PACKET), 0, 512, np.empty(2, np.uint32), np.empty(2).view(np.uint8)[::2], np.empty(2, np.uint32),
      np.zeros(4, np.uint32)), (ValueError, BufferError), "contiguous"),
    ((np.zeros(2, PACKET), 0, 512, np.empty(2, np.uint32), np.empty(2), np.empty(2, np.uint32),
      np.zeros(4, np.uint32).tobytes()), BufferError, "read-only|not writable"),
    ((np.zeros(2, PACKET), "0", 512, np.empty(2, np.uint32), np.empty(2), np.empty(2, np.uint32),
      np.zeros(4, np.uint32)), TypeError, "integer"),
    ((np.zeros(2, PACKET),), TypeError, r"takes exactly 7 positional arguments \(1 given\)"),
])
def test_refusals(args, error, text):
    with pytest.raises(error, match=text):
        toa_tot_columns(*args)
