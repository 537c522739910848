"""What acquisitions deliver: queued exact blocks and generated data."""

from __future__ import annotations

from typing import Any

import numpy as np

from vexasdk.sim._native import (ERR_EINVAL, _bytes_of, _c, _check, _declare, _fetch_rc, _i32, _index, _int_in,
                                 _is_count, _number_in, _ptr, _u32, _u64, _u64_value)


class _Generator(_c.Structure):
    """vexasdk_sim_generator."""

    _fields_ = [("blocks_per_second", _c.c_double), ("duration", _c.c_double), ("packets_per_block", _u64),
                ("block_limit", _u64), ("flags", _u32)]


_GEN_REAL_TIME, _GEN_MODE_SIZE, _GEN_IF_QUEUE_EMPTY = 0x1, 0x2, 0x4

_sim_set_delivery_threads = _declare("vexasdk_sim_set_delivery_threads", _i32, _u32, _u32)
_sim_queue_itot_evcount = _declare("vexasdk_sim_queue_itot_evcount", _i32, _u32, _ptr, _u64, _i32)
_sim_queue_toa_tot = _declare("vexasdk_sim_queue_toa_tot", _i32, _u32, _ptr, _u64, _u64, _ptr, _u64, _i32)
_sim_queue_binned = _declare("vexasdk_sim_queue_binned", _i32, _u32, _ptr, _u64, _ptr, _u64, _ptr, _ptr, _u64, _i32)
_sim_queue_itot_fragment = _declare("vexasdk_sim_queue_itot_fragment", _i32, _u32, _ptr, _u64, _i32)
_sim_queue_evcount_fragment = _declare("vexasdk_sim_queue_evcount_fragment", _i32, _u32, _ptr, _u64, _i32)
_sim_clear_queue = _declare("vexasdk_sim_clear_queue", _i32, _u32)
_sim_replay_queue = _declare("vexasdk_sim_replay_queue", _i32, _u32, _u64)
_sim_set_scribble = _declare("vexasdk_sim_set_scribble", _i32, _u32, _i32)
_sim_set_generator = _declare("vexasdk_sim_set_generator", _i32, _u32, _c.POINTER(_Generator))
_sim_blocks_delivered = _declare("vexasdk_sim_blocks_delivered", _u64, _u32)
_sim_trigger_count = _declare("vexasdk_sim_trigger_count", _u64, _u32)
_sim_set_seed = _declare("vexasdk_sim_set_seed", _i32, _u32, _u64, _i32)


def set_delivery_threads(threads: int, device: int = 0) -> None:
    """How many native threads deliver the blocks of the next acquisitions (1 to 64)."""
    _check(_sim_set_delivery_threads(_index(device), _int_in(threads, "threads", 1, 64)),
           "Failed to set the delivery threads.")


ITOT_EVCOUNT_DTYPE = np.dtype([("address", "<u4"), ("itot", "<u4"), ("evcount", "<u8")])


def queue_itot_evcount(packets: np.ndarray | None, *, count: int | None = None, fetch_rc: int = 0,
                       device: int = 0) -> None:
    """Queues an iToT-evcount block for the next acquisition.

    Args:
        packets: Records of ITOT_EVCOUNT_DTYPE, copied now; None makes the fetch
            answer a null pointer with `count` records.
        count: With packets None, the count the fetch reports (0 to 2**64-1).
        fetch_rc: What the fetch answers instead of the block when not 0.
        device: The virtual device.
    """
    rc = _fetch_rc(fetch_rc)
    if packets is None:
        reported = 0 if count is None else _u64_value(count, "count")
        _check(_sim_queue_itot_evcount(_index(device), None, reported, rc), "Failed to queue a block.")
        return
    if count is not None:
        raise ValueError("packets and count exclude each other")
    data = _bytes_of(packets, ITOT_EVCOUNT_DTYPE, "packets")
    _check(_sim_queue_itot_evcount(_index(device), data.ctypes.data, len(data), rc), "Failed to queue a block.")


def queue_fetch_failure(code: int = ERR_EINVAL, device: int = 0) -> None:
    """Queues a block whose fetch fails with `code`, for the iToT-evcount fetch."""
    queue_itot_evcount(None, fetch_rc=code, device=device)


TOA_TOT_DTYPE = np.dtype([("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
# The SDK's binned packet record: its second field is `count` (delivered to
# Python as `evcount`).
BIN_PACKET_DTYPE = np.dtype([("address", "<u4"), ("count", "<u4"), ("itot", "<u4")])
_TDC_RECORD_DTYPE = np.dtype([("timestamps", "<u8"), ("count", "<u8")])
_U64 = np.dtype("<u8")


def _u64_array(values: Any, what: str) -> np.ndarray:
    """`values` as a C-contiguous array of little-endian uint64 (copied from any
    unsigned or non-negative integer array)."""
    array = np.asarray(values)
    if array.size == 0:
        return np.zeros(0, _U64)
    if array.dtype.kind not in "ui":
        raise TypeError(f"{what} must hold integers, got dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.dtype.kind == "i" and (array < 0).any():
        raise ValueError(f"{what} must not be negative")
    return np.ascontiguousarray(array, dtype=_U64)


def _data_or_null(values: Any, null_count: int | None, what: str,
                  keyword: str) -> tuple[np.ndarray | None, int | None, int]:
    """(array to keep alive, its address or None, count) of `values`, or of a
    null pointer with `null_count`."""
    if null_count is not None:
        if values is not None and len(values) != 0:
            raise ValueError(f"{what} and {keyword} exclude each other")
        return None, None, _u64_value(null_count, keyword)
    array = _u64_array(() if values is None else values, what)
    return array, array.ctypes.data, len(array)


def queue_toa_tot(packets: np.ndarray | None = None, shutter_time: int = 0, tdcs: Any = (), *,
                  fetch_rc: int = 0, null_packets_count: int | None = None, null_tdcs_count: int | None = None,
                  device: int = 0) -> None:
    """Queues a ToA-ToT block for the next acquisition (either ToA-ToT trampoline).

    Args:
        packets: Records of TOA_TOT_DTYPE, copied now; None for no packets.
        shutter_time: The block's shutter start, 0 to 2**64-1.
        tdcs: One entry per TDC: its timestamps (unsigned integers), or an int n
            for a TDC record with a null timestamp pointer and a count of n.
        fetch_rc: What the fetch answers instead of the block when not 0.
        null_packets_count: When given, the block has a null packet pointer
            with this count (`packets` must be None).
        null_tdcs_count: When given, the block has a null TDC list with this
            count (`tdcs` must be empty).
        device: The virtual device.
    """
    shutter = _u64_value(shutter_time, "shutter_time")
    rc = _fetch_rc(fetch_rc)
    if null_packets_count is not None:
        if packets is not None:
            raise ValueError("packets and null_packets_count exclude each other")
        data, packets_at, packet_count = None, None, _u64_value(null_packets_count, "null_packets_count")
    else:
        data = _bytes_of(np.zeros(0, TOA_TOT_DTYPE) if packets is None else packets, TOA_TOT_DTYPE, "packets")
        packets_at, packet_count = data.ctypes.data, len(data)
    tdcs = list(tdcs)
    if null_tdcs_count is not None:
        if tdcs:
            raise ValueError("tdcs and null_tdcs_count exclude each other")
        records, records_at, tdc_count = None, None, _u64_value(null_tdcs_count, "null_tdcs_count")
    else:
        timestamps = [None if _is_count(t) else _u64_array(t, f"tdcs[{i}]") for i, t in enumerate(tdcs)]
        records = np.zeros(len(tdcs), _TDC_RECORD_DTYPE)
        for i, (entry, array) in enumerate(zip(tdcs, timestamps)):
            if array is None:
                records[i] = (0, _u64_value(entry, f"tdcs[{i}]"))
            else:
                records[i] = (array.ctypes.data, len(array))
        records_at, tdc_count = records.ctypes.data, len(records)
    _check(_sim_queue_toa_tot(_index(device), packets_at, packet_count, shutter, records_at, tdc_count, rc),
           "Failed to queue a block.")


def queue_binned(evcounts: Any = (), itots: Any = (), bins: Any = (), *, fetch_rc: int = 0,
                 null_evcounts_count: int | None = None, null_itots_count: int | None = None,
                 null_bins_count: int | None = None, device: int = 0) -> None:
    """Queues a binned block for the next acquisition (binned_data_cb).

    The packets of all bins lie back to back in one buffer, in bin order; the
    packet pointers of empty bins point into a page that cannot be read.

    Args:
        evcounts: The event-count fragment's values (unsigned integers).
        itots: The iToT fragment's values.
        bins: One entry per bin: its packets (records of BIN_PACKET_DTYPE), or
            only its packet count. Given as counts, every non-empty bin has a
            null packet pointer; counts and packet arrays do not mix.
        fetch_rc: What the fetch answers instead of the block when not 0.
        null_evcounts_count, null_itots_count: When given, that fragment has a
            null pointer with this count (its values must be empty).
        null_bins_count: When given, the block has a null bin list with this
            count (`bins` must be empty).
        device: The virtual device.
    """
    rc = _fetch_rc(fetch_rc)
    ev, ev_at, ev_count = _data_or_null(evcounts, null_evcounts_count, "evcounts", "null_evcounts_count")
    it, it_at, it_count = _data_or_null(itots, null_itots_count, "itots", "null_itots_count")
    bins = list(bins)
    packets_at = None
    if null_bins_count is not None:
        if bins:
            raise ValueError("bins and null_bins_count exclude each other")
        counts, counts_at, bin_count = None, None, _u64_value(null_bins_count, "null_bins_count")
    else:
        as_counts = [_is_count(b) for b in bins]
        if all(as_counts):
            counts = np.array([_u64_value(b, f"bins[{i}]") for i, b in enumerate(bins)], _U64)
            packets = None
        else:
            arrays = []
            for i, b in enumerate(bins):
                if _is_count(b):
                    if int(b) != 0:
                        raise ValueError("bins given as packet arrays and as non-zero counts do not mix")
                    b = np.zeros(0, BIN_PACKET_DTYPE)
                elif len(b) == 0:
                    b = np.zeros(0, BIN_PACKET_DTYPE)
                arrays.append(_bytes_of(b, BIN_PACKET_DTYPE, f"bins[{i}]"))
            counts = np.array([len(a) for a in arrays], _U64)
            packets = np.concatenate(arrays) if arrays else np.zeros(0, BIN_PACKET_DTYPE)
            packets_at = packets.ctypes.data
        counts_at, bin_count = counts.ctypes.data, len(counts)
    _check(_sim_queue_binned(_index(device), ev_at, ev_count, it_at, it_count, packets_at, counts_at, bin_count, rc),
           "Failed to queue a block.")


def queue_itot_fragment(itots: Any = (), *, fetch_rc: int = 0, null_count: int | None = None,
                        device: int = 0) -> None:
    """Queues an iToT fragment for the next acquisition (binned_itot_cb); with
    `null_count` the fragment has a null pointer with that count."""
    rc = _fetch_rc(fetch_rc)
    data, at, count = _data_or_null(itots, null_count, "itots", "null_count")
    _check(_sim_queue_itot_fragment(_index(device), at, count, rc), "Failed to queue a block.")


def queue_evcount_fragment(evcounts: Any = (), *, fetch_rc: int = 0, null_count: int | None = None,
                           device: int = 0) -> None:
    """Queues an event-count fragment for the next acquisition
    (binned_evcount_cb); with `null_count` the fragment has a null pointer with
    that count."""
    rc = _fetch_rc(fetch_rc)
    data, at, count = _data_or_null(evcounts, null_count, "evcounts", "null_count")
    _check(_sim_queue_evcount_fragment(_index(device), at, count, rc), "Failed to queue a block.")


def clear_queue(device: int = 0) -> None:
    """Drops every queued block."""
    _check(_sim_clear_queue(_index(device)), "Failed to clear the queue.")


def replay_queue(times: int, device: int = 0) -> None:
    """Makes the blocks queued so far come `times` times over (at least 1), in
    order, then in order again: the same memory each time, as an SDK hands
    over its own buffers. A replayed block is overwritten only after its last
    delivery. For benchmarks; the queue holds at most 2**26 entries."""
    _check(_sim_replay_queue(_index(device), _int_in(times, "times", 1, 2**26)), "Failed to replay the queue.")


def set_scribble(on: bool, device: int = 0) -> None:
    """Whether blocks queued from now on are scribbled over once delivered
    for the last time (True, the default: a view kept past its callback shows
    garbage), or left as they are, as an SDK's DMA ring would leave them: for
    benchmarks, where scribbling would be the virtual detector's cost. Such
    blocks are kept once delivered, as a ring of DMA buffers is, until the
    queue is cleared or scribbling is turned back on."""
    _check(_sim_set_scribble(_index(device), 1 if on else 0), "Failed to set scribbling.")


def _set_generator(device: int, settings: _Generator) -> None:
    _check(_sim_set_generator(_index(device), _c.byref(settings)), "Failed to set up data generation.")
    _scripted.add(device)


# Devices whose generator a test or user has set: an acquisition's duration
# leaves those alone. The others generate for as long as asked, as hardware does.
_scripted: set[int] = set()


def _default(seconds: float) -> _Generator:
    return _Generator(0.0, seconds, 0, 0, _GEN_REAL_TIME | _GEN_MODE_SIZE | _GEN_IF_QUEUE_EMPTY)


def follow_duration(device: int, duration: float | None, frames: int | None = None) -> None:
    """Unless the generator of `device` was set (`generate`,
    `generate_default`), makes the next acquisition generate data for
    `duration` seconds and a little more, so that the duration ends it, as it
    would on hardware; None: for the default second, or for the `frames`
    asked for (blocks of 10 ms), which it then makes exactly."""
    if device in _scripted:
        return
    if duration is None and frames is not None:
        duration = frames * 0.01
    seconds = 1.0 if duration is None else min(1e9, duration + 1.0)
    settings = _default(seconds)
    settings.block_limit = frames or 0
    _check(_sim_set_generator(_index(device), _c.byref(settings)), "Failed to set up data generation.")


def generate(blocks_per_second: float = 0.0, packets_per_block: int = 1000, block_limit: int = 0,
             device: int = 0, *, duration: float = 0.0, real_time: bool = False) -> None:
    """Makes the next acquisitions generate blocks of the chips' mode once their
    queue has run empty, queued blocks or not.

    Args:
        blocks_per_second: Delivery rate, 0 to 1e9; 0 delivers as fast as
            possible (or in real time, with `real_time`).
        packets_per_block: 0 to 2**26. In the ToA-ToT and iToT-evcount modes it
            sets each block's detector time: the time in which particles bring
            that many pixel hits, on average, to a sensor fully depleted, at a
            5 keV threshold and with nothing masked (one hit per microsecond).
            The mask, the thresholds and the bias then take their share, and in
            the frame modes a pixel hit twice reports once. Data-driven
            blocks of 16,384 hits or more come from the particle model eight
            times under one state of the sensor; after that each is one of
            those eight moved to its own detector time, so that a delivery
            thread keeps up with a quad's peak. In the binned modes:
            bins (scan positions) per block, at most 262144. 0 makes empty
            blocks that cover no detector time.
        block_limit: Blocks in all; 0 is no limit. In the binned modes a scan
            ends at its last position unless a limit is set: then scans repeat
            until that many blocks.
        device: The virtual device.
        duration: Seconds of detector time, 0 to 1e9, in the ToA-ToT and
            iToT-evcount modes; 0 is no limit. The last block is cut short.
        real_time: Deliver each block once the detector time it covers has
            passed, as hardware does (blocks_per_second must be 0).
    """
    rate = _number_in(blocks_per_second, "blocks_per_second", 0.0, 1e9)
    packets = _int_in(packets_per_block, "packets_per_block", 0, 2**26)
    limit = _u64_value(block_limit, "block_limit")
    seconds = _number_in(duration, "duration", 0.0, 1e9)
    if not isinstance(real_time, bool):
        raise TypeError(f"real_time must be bool, got {type(real_time).__name__}")
    if real_time and rate > 0:
        raise ValueError(f"blocks_per_second must be 0 with real_time, got {blocks_per_second!r}")
    _set_generator(device, _Generator(rate, seconds, packets, limit, _GEN_REAL_TIME if real_time else 0))


def generate_default(*, duration: float = 1.0, device: int = 0) -> None:
    """Back to the generator as it comes out of the box (as after `reset`): an
    acquisition that starts with nothing queued generates blocks of its mode's
    own size in real time (10 ms of detector time, or in the binned modes whole
    scan rows worth 10 ms of dwell) for `duration` seconds of detector time (0
    to 1e9; 0 is no limit; binned scans end at their last position), and ends
    by itself; one that starts with queued blocks delivers only those."""
    _set_generator(device, _default(_number_in(duration, "duration", 0.0, 1e9)))


def blocks_delivered(device: int = 0) -> int:
    """Blocks whose callback has returned since the device was last reset."""
    return int(_sim_blocks_delivered(_index(device)))


def trigger_count(device: int = 0) -> int:
    """Software triggers received since the device was last reset."""
    return int(_sim_trigger_count(_index(device)))


def set_seed(seed: int | None, device: int = 0) -> None:
    """Fixes the seed the next acquisitions generate their data from (0 to
    2**64-1), so that a run repeats its data exactly: the same hits, ToTs and
    ToAs counted from the shutter start (its own start differs), as long as
    the device's state is the same and one delivery thread generates the
    blocks (thread i draws from `seed` + i). None, as after `reset`, seeds
    each acquisition from the clock."""
    value = 0 if seed is None else _u64_value(seed, "seed")
    _check(_sim_set_seed(_index(device), value, 0 if seed is None else 1), "Failed to set the seed.")
