"""What the benchmarks measure, each against a reference measured here and
now: the figures of the table in bench/RESULTS.md."""

from __future__ import annotations

import ctypes
import dataclasses
import os
import threading
import time
from collections.abc import Callable

import awkward as ak
import numpy as np

import vexasdk.sim as sim
from rounds import ROUNDS, Row, alternate, median, per_round, si, timed
from vexasdk import _device_opener, _t3_binning, _t3_toa_tot
from vexasdk.pixel_chip import OperationalMode

QUAD_PEAK = 320e6  # hits per second the quad reads out at most
TDCS = [np.arange(i, i + 3, dtype=np.uint64) for i in range(4)]


def start_exact(device, trampoline: int, callback: object) -> None:
    sim.start(device.context, trampoline, callback)
    sim.await_end(device.context)


def replay(queue_one: Callable[[int], None], distinct: int, deliveries: int) -> None:
    """Queues `distinct` blocks (queue_one(i) queues the i-th) and has them come
    round until `deliveries` blocks in all."""
    sim.clear_queue()
    for i in range(distinct):
        queue_one(i)
    sim.replay_queue(max(1, deliveries // distinct))


def stream(queue_one: Callable[[int], None], distinct: int, deliveries: int,
           run: Callable[[], object]) -> Callable[[], float]:
    """A side that delivers `deliveries` replayed blocks with `run` and answers
    the seconds per block."""
    blocks = max(1, deliveries // distinct) * distinct

    def side() -> float:
        replay(queue_one, distinct, deliveries)
        return timed(run, blocks)

    return side


def empty_callback(*_: object) -> None:
    pass


# ---- controller calls ----

def controller(device) -> list[Row]:
    chip = device.chips[0]
    address = _device_opener.sdk_address(device.context)
    get_thld = sim._lib.vexasdk_chip_get_thld
    get_thld.restype, get_thld.argtypes = ctypes.c_int32, [ctypes.c_void_p, ctypes.c_uint8,
                                                           ctypes.POINTER(ctypes.c_float)]
    kev = ctypes.c_float()
    out = ctypes.byref(kev)  # made once: the cheapest way ctypes can be called
    calls = 200_000

    def layer() -> float:
        began = time.perf_counter()
        for _ in range(calls):
            chip.get_threshold()
        return (time.perf_counter() - began) / calls

    def with_ctypes() -> float:
        began = time.perf_counter()
        for _ in range(calls):
            get_thld(address, 0, out)
        return (time.perf_counter() - began) / calls

    def floor() -> float:
        return sim.time_get_thld(device.context, 0, calls) / calls

    ours, theirs, c_loop = alternate([layer, with_ctypes, floor])
    own = per_round(lambda a, c: a - c, ours, c_loop)
    ctypes_own = per_round(lambda b, c: b - c, theirs, c_loop)
    return [
        Row("PixelChip.get_threshold() vs a ctypes call of the same SDK function",
            f"{median(ours) * 1e9:.0f} ns", f"ctypes {median(theirs) * 1e9:.0f} ns",
            per_round(lambda a, b: a / b, ours, theirs), ("<=", 0.15),
            f"the SDK call itself: {median(c_loop) * 1e9:.0f} ns from a C++ loop (the virtual detector logs "
            f"every call); the rest is Python's call and the lock released around the SDK call"),
        Row("get_threshold(): own cost above the C++ loop (the floor)", f"{median(own) * 1e9:.0f} ns",
            f"ctypes {median(ctypes_own) * 1e9:.0f} ns", per_round(lambda a, b: a / b, own, ctypes_own), None,
            "a vectorcall method call, the lock released and taken back, a float made"),
    ]


# ---- fixed cost per block ----

def one_record(dtype: np.dtype) -> np.ndarray:
    record = np.zeros(1, dtype)
    record.view(np.uint8)[:] = np.arange(dtype.itemsize, dtype=np.uint8)
    return record


def python_records(dtype: np.dtype, source: np.ndarray) -> Callable[[], np.recarray]:
    """What the layer does for one array of records, written in Python."""
    raw = source.view(np.uint8)
    empty, recarray, u8 = np.empty, np.recarray, np.uint8

    def make() -> np.recarray:
        array = empty(len(source), dtype)
        array.view(u8)[:] = raw
        return array.view(recarray)

    return make


def python_values(source: np.ndarray) -> Callable[[], np.ndarray]:
    empty, u64 = np.empty, np.uint64

    def make() -> np.ndarray:
        array = empty(len(source), u64)
        array[:] = source
        return array

    return make


def per_block_cases():
    """(trampoline module, name, queue_one, one Python block) for 1-packet blocks."""
    itot = one_record(sim.ITOT_EVCOUNT_DTYPE)
    toa = one_record(sim.TOA_TOT_DTYPE)
    bin_packet = one_record(sim.BIN_PACKET_DTYPE)
    one = np.array([7], np.uint64)
    call = empty_callback
    fb_itot = python_records(sim.ITOT_EVCOUNT_DTYPE, itot)
    fb_toa = python_records(sim.TOA_TOT_DTYPE, toa)
    tdc_sources = [np.array([i], np.uint64) for i in range(4)]
    tdc_arrays = [python_values(t) for t in tdc_sources]
    metadata = _t3_toa_tot.DdToaTotMetadata
    binned_packets = python_records(_t3_binning._binned_packet_dtype, bin_packet)
    values = python_values(one)
    counts_of = np.array([1], np.uint64)

    def dd_python() -> None:
        tdcs = np.empty(4, dtype=np.ndarray)
        for i, make in enumerate(tdc_arrays):
            tdcs[i] = make().view(np.recarray)
        call(fb_toa(), metadata(1234, tdcs))

    def binned_python() -> None:
        counts = np.empty(1, dtype=np.uint64)
        counts[:] = counts_of
        packets = binned_packets().view(np.ndarray)
        call(values(), values(), ak.unflatten(ak.from_numpy(packets), counts))

    return [
        ("_t3_itot_evcount", "fb_itot_evcount_cb", lambda i: sim.queue_itot_evcount(itot), lambda: call(fb_itot())),
        ("_t3_toa_tot", "fb_toa_tot_cb", lambda i: sim.queue_toa_tot(toa), lambda: call(fb_toa())),
        ("_t3_toa_tot", "dd_toa_tot_cb", lambda i: sim.queue_toa_tot(toa, 1234, tdc_sources), dd_python),
        ("_t3_binning", "binned_evcount_cb", lambda i: sim.queue_evcount_fragment(one), lambda: call(values())),
        ("_t3_binning", "binned_itot_cb", lambda i: sim.queue_itot_fragment(one), lambda: call(values())),
        ("_t3_binning", "binned_data_cb", lambda i: sim.queue_binned(one, one, [bin_packet]), binned_python),
    ]


def per_block(device) -> list[Row]:
    rows = []
    callback_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
    ctypes_callback = callback_type(lambda ctx, user_data: None)
    ctypes_address = ctypes.cast(ctypes_callback, ctypes.c_void_p).value
    for module, name, queue_one, python_block in per_block_cases():
        blocks = 2000 if name == "binned_data_cb" else 20000

        def python_loop(python_block=python_block, blocks=blocks) -> float:
            began = time.perf_counter()
            for _ in range(blocks):
                python_block()
            return (time.perf_counter() - began) / blocks

        trampoline = sim.trampoline(module, name)
        sides = [stream(queue_one, 16, blocks, lambda t=trampoline: start_exact(device, t, empty_callback)),
                 stream(queue_one, 16, blocks, lambda: start_exact(device, sim.fetch_callback(), None)),
                 python_loop,
                 stream(queue_one, 16, blocks, lambda: start_exact(device, ctypes_address, None)),
                 stream(queue_one, 16, blocks, lambda: start_exact(device, sim.null_callback(), None))]
        through, fetched, python, with_ctypes, engine = alternate(sides)
        layer = per_round(lambda t, f: t - f, through, fetched)
        ctypes_cost = per_round(lambda c, n: c - n, with_ctypes, engine)
        rows.append(Row(f"1-packet blocks through {name} vs the same numpy work in a Python loop",
                        f"{median(layer) * 1e6:.2f} us", f"Python {median(python) * 1e6:.2f} us",
                        per_round(lambda a, b: a / b, layer, python), ("<=", 0.5), LIMITS_PER_BLOCK[name]))
        rows.append(Row(f"1-packet blocks through {name} vs a bare ctypes callback from a native thread",
                        f"{median(layer) * 1e6:.2f} us", f"ctypes {median(ctypes_cost) * 1e6:.2f} us",
                        per_round(lambda a, b: a / b, layer, ctypes_cost), ("<=", 0.1), LIMITS_PER_BLOCK[name]))
    return rows


LIMITS_PER_BLOCK = {
    "fb_itot_evcount_cb": "the interpreter lock taken and given back, one array, its record-array view (made in C "
                          "as numpy makes it), the call",
    "fb_toa_tot_cb": "as fb_itot_evcount_cb",
    "dd_toa_tot_cb": "five arrays and their record-array views, the TDCs' object array and the DdToaTotMetadata "
                     "record (a Python class called per block); below 0.1x of ctypes would need these built "
                     "without Python objects, which the callback's signature rules out",
    "binned_evcount_cb": "the lock taken and given back, one array, the call: a few hundred ns, as much as the "
                         "Python loop's own np.empty and copy",
    "binned_itot_cb": "as binned_evcount_cb",
    "binned_data_cb": "awkward's Index64, NumpyArray, RecordArray, ListOffsetArray and Array objects, whose "
                      "constructors are Python code checking their arguments (about 15 us)",
}


# ---- large blocks ----

def toa_tot_blocks(packets: int, distinct: int) -> Callable[[int], None]:
    blocks = []
    for i in range(distinct):
        block = np.zeros(packets, sim.TOA_TOT_DTYPE)
        block["address"] = np.arange(packets, dtype=np.uint32) + i
        block["toa"] = np.arange(packets, dtype=np.uint64)
        blocks.append(block)
    return lambda i: sim.queue_toa_tot(blocks[i], 1234, TDCS)


def large_blocks(device) -> list[Row]:
    rows = []
    trampoline = sim.trampoline("_t3_toa_tot", "dd_toa_tot_cb")
    for packets, distinct, deliveries in ((65_536, 8, 400), (1_048_576, 4, 40)):
        queue_one = toa_tot_blocks(packets, distinct)
        nbytes = packets * sim.TOA_TOT_DTYPE.itemsize + sum(t.nbytes for t in TDCS)
        sides = [stream(queue_one, distinct, deliveries, lambda: start_exact(device, trampoline, empty_callback)),
                 stream(queue_one, distinct, deliveries, lambda: start_exact(device, sim.fetch_callback(), None)),
                 stream(queue_one, distinct, deliveries, lambda: start_exact(device, sim.copy_callback(), None))]
        through, fetched, copied = alternate(sides)
        layer = per_round(lambda t, f: t - f, through, fetched)
        memcpy = per_round(lambda c, f: c - f, copied, fetched)
        rows.append(Row(f"{packets:,}-packet blocks (dd_toa_tot_cb, 4 TDCs): bytes delivered per second vs memcpy",
                        si(nbytes / median(layer), "B/s"), f"memcpy {si(nbytes / median(memcpy), 'B/s')}",
                        per_round(lambda a, b: b / a, layer, memcpy), (">=", 0.8),
                        LIMITS_LARGE[packets]))
    return rows


LIMITS_LARGE = {
    65_536: "the block's fixed cost (about 4 us: five arrays, the TDCs' object array, the metadata record) beside "
            "one memcpy into a fresh array, which the allocator serves from the warm memory of the block freed "
            "before",
    1_048_576: "one memcpy into a fresh array: memory bandwidth",
}


def cold_blocks(device) -> list[Row]:
    """Blocks that arrive in memory no cache has seen, as buffers an SDK fills by DMA would: a pool of
    distinct blocks twelve times the last-level cache, each delivered once per round."""
    packets, distinct = 65_536, 384
    nbytes = packets * sim.TOA_TOT_DTYPE.itemsize
    rng = np.random.default_rng(7)
    pool = []
    for _ in range(distinct):
        block = np.zeros(packets, sim.TOA_TOT_DTYPE)
        block["address"] = rng.integers(0, 1 << 18, packets, dtype=np.uint32)
        block["toa"] = np.arange(packets, dtype=np.uint64)
        pool.append(block)
    queue_one = lambda i: sim.queue_toa_tot(pool[i], 1234, TDCS)  # noqa: E731
    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    # An SDK's DMA ring hands its buffers over and reuses them: the virtual detector's scribbling over a
    # delivered block (a test's guard against views kept too long) would be its cost, not the layer's.
    sim.set_scribble(False)
    through_runner = stream(queue_one, distinct, distinct, runner_stream(device, empty_callback))
    through_acquire = stream(queue_one, distinct, distinct,
                             lambda: device.acquire("dd_toa_tot", callback=empty_callback).wait())

    def copied() -> float:
        """The same cold blocks copied into fresh arrays, one by one, from Python."""
        # The pool was last read a round ago, and 384 MiB went through the caches since. As bytes:
        # numpy copies a record dtype field by field, far below memcpy.
        raw = [block.view(np.uint8) for block in pool]

        def copy_all() -> None:
            for block in raw:
                copy = block.copy()  # dropped at once, as the runner's callback drops its block
                del copy

        return timed(copy_all, distinct)

    try:
        runner, acquired, plain = alternate([through_runner, through_acquire, copied])
    finally:
        sim.set_scribble(True)
    return [
        Row("cold 65,536-packet dd_toa_tot blocks (1 MiB, a pool of 384 MiB) through the runner to a callback, "
            "vs copying the same blocks into fresh arrays", si(nbytes / median(runner), "B/s"),
            f"copies {si(nbytes / median(plain), 'B/s')}", per_round(lambda r, c: c / r, runner, plain), (">=", 0.8),
            "the one copy out of the SDK's buffer, from memory no cache holds, as the copies' own; beside it the "
            "virtual detector's answer to the fetch and the block's arrays and metadata (a few us)"),
        Row("the same through Device.acquire with a callback", si(nbytes / median(acquired), "B/s"),
            f"copies {si(nbytes / median(plain), 'B/s')}", per_round(lambda a, c: c / a, acquired, plain), None,
            "as above, and the acquisition's per-block bookkeeping (the Block, its counts, a sequence number)"),
    ]


# ---- end to end ----

def runner_stream(device, callback: object) -> Callable[[], object]:
    runner = device.acquisition_runner

    def run() -> None:
        runner.start(callback)
        runner.await_end()

    return run


def end_to_end(device) -> list[Row]:
    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    packets, distinct, deliveries = 65_536, 8, 1600
    queue_one = toa_tot_blocks(packets, distinct)
    sides = [stream(queue_one, distinct, deliveries, runner_stream(device, empty_callback)),
             stream(queue_one, distinct, deliveries, lambda: start_exact(device, sim.copy_callback(), None))]
    through, copied = alternate(sides)
    rows = [Row("dd_toa_tot through AcquisitionRunner, replayed 65,536-packet blocks (4 TDCs), one core",
                si(packets / median(through), "packets/s"),
                f"engine + memcpy {si(packets / median(copied), 'packets/s')}",
                [packets / t / QUAD_PEAK for t in through], (">=", 4.0),
                "ratio = multiple of 320 Mhit/s; the copy of each block and its fixed cost")]
    sim.clear_queue()
    generated_blocks = 400

    def generated(run: Callable[[], object]) -> Callable[[], float]:
        def side() -> float:
            sim.generate(0, packets, generated_blocks)
            delivered = sim.blocks_delivered()
            began = time.perf_counter()
            run()
            elapsed = time.perf_counter() - began
            assert sim.blocks_delivered() - delivered == generated_blocks
            return elapsed / generated_blocks

        return side

    counter = Counting()
    try:
        through, alone = alternate([generated(runner_stream(device, counter)),
                                    generated(lambda: start_exact(device, sim.fetch_callback(), None))])
    finally:
        sim.generate_default()
    per_block_packets = counter.packets / max(1, counter.blocks)
    rows.append(Row("dd_toa_tot through AcquisitionRunner, generated blocks (sim.generate, as fast as it can), "
                    "once the first eight are made", si(median(counter.steady), "packets/s"),
                    f"whole runs {si(per_block_packets / median(through), 'packets/s')}, generator alone "
                    f"{si(per_block_packets / median(alone), 'packets/s')}",
                    [rate / QUAD_PEAK for rate in counter.steady], (">=", 1.0),
                    "ratio = multiple of 320 Mhit/s; the particle model makes the first eight big blocks of a "
                    "sensor state (about 10 Mhits/s), then each block is one of those moved to its own time: "
                    "copies, the TDCs, the delivery"))
    return rows


class Counting:
    """A callback that counts the blocks and packets it sees."""

    def __init__(self) -> None:
        self.packets = 0
        self.blocks = 0
        self.run: list[tuple[float, int]] = []
        self.steady: list[float] = []  # packets/s of each run past its first eight blocks

    def __call__(self, packets: np.ndarray, *_: object) -> None:
        self.packets += len(packets)
        self.blocks += 1
        self.run.append((time.perf_counter(), len(packets)))
        if len(self.run) == 400:  # the generated runs' length
            (began, _), (ended, _) = self.run[8], self.run[-1]
            self.steady.append(sum(n for _, n in self.run[9:]) / (ended - began))
            self.run = []


# ---- binned ----

def binned(device) -> list[Row]:
    rng = np.random.default_rng(512)
    counts = rng.poisson(64, 512).astype(np.uint64)
    packets = np.zeros(int(counts.sum()), _t3_binning._binned_packet_dtype)
    packets["address"] = np.arange(len(packets), dtype=np.uint32)
    bins = np.split(packets.view(sim.BIN_PACKET_DTYPE), np.cumsum(counts)[:-1].astype(np.int64))
    evcounts = counts.copy()
    itots = counts * 7

    def python() -> float:
        began = time.perf_counter()
        for _ in range(200):
            ak.unflatten(ak.from_numpy(packets), counts)
            evcounts.copy()
            itots.copy()
        return (time.perf_counter() - began) / 200

    trampoline = sim.trampoline("_t3_binning", "binned_data_cb")
    queue_one = lambda i: sim.queue_binned(evcounts, itots, bins)  # noqa: E731
    through, fetched, in_python = alternate([
        stream(queue_one, 4, 200, lambda: start_exact(device, trampoline, empty_callback)),
        stream(queue_one, 4, 200, lambda: start_exact(device, sim.fetch_callback(), None)),
        python])
    layer = per_round(lambda t, f: t - f, through, fetched)
    return [Row(f"4D-STEM block of 512 bins, {len(packets):,} packets, through binned_data_cb vs "
                "ak.unflatten(ak.from_numpy(packets), counts) + two fragment copies in Python",
                f"{median(layer) * 1e6:.1f} us", f"Python {median(in_python) * 1e6:.1f} us",
                per_round(lambda a, b: a / b, layer, in_python), ("<=", 1.0),
                "awkward's list, record and array objects for the bins, and the one copy of the packets")]


# ---- responsiveness ----

def responsiveness(device) -> list[Row]:
    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    chip = device.chips[0]
    packets, distinct, deliveries = 65_536, 8, 1600
    queue_one = toa_tot_blocks(packets, distinct)
    stream_alone = stream(queue_one, distinct, deliveries, runner_stream(device, empty_callback))

    def calls_per_second(until: Callable[[], bool]) -> float:
        calls, began = 0, time.perf_counter()
        while not until():
            for _ in range(100):
                chip.get_threshold()
            calls += 100
        return calls / (time.perf_counter() - began)

    def idle() -> float:
        deadline = time.perf_counter() + 0.2
        return calls_per_second(lambda: time.perf_counter() >= deadline)

    busy_rates: list[float] = []

    def with_calls() -> float:
        done = threading.Event()
        thread = threading.Thread(target=lambda: busy_rates.append(calls_per_second(done.is_set)))
        thread.start()
        try:
            return stream_alone()
        finally:
            done.set()
            thread.join()

    alone, shared, idle_rates = alternate([stream_alone, with_calls, idle])
    return [
        Row("get_threshold() from a Python thread while 65,536-packet blocks stream, vs idle",
            si(median(busy_rates), "calls/s"), f"idle {si(median(idle_rates), 'calls/s')}",
            per_round(lambda b, i: b / i, busy_rates, idle_rates), None,
            "the interpreter lock: the delivery thread holds it to build and hand over every block"),
        Row("the same stream with that thread calling, vs the stream alone",
            si(packets / median(shared), "packets/s"), f"alone {si(packets / median(alone), 'packets/s')}",
            per_round(lambda s, a: a / s, shared, alone), None,
            "the interpreter lock, and the two cores shared by the stream and the calling thread"),
    ]


# ---- the user's road ----

def acquire_road(device) -> list[Row]:
    packets, distinct, deliveries = 65_536, 8, 1600
    queue_one = toa_tot_blocks(packets, distinct)

    def iterate() -> None:
        for _ in device.acquire("dd_toa_tot"):
            pass

    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    road, bare = alternate([stream(queue_one, distinct, deliveries, iterate),
                            stream(queue_one, distinct, deliveries, runner_stream(device, empty_callback))])
    return [Row("for block in device.acquire('dd_toa_tot'): pass, replayed 65,536-packet blocks, vs the bare runner",
                si(packets / median(road), "packets/s"), f"runner {si(packets / median(bare), 'packets/s')}",
                per_round(lambda r, b: b / r, road, bare), None,
                "per block in Python: the Block, its counts and the bounded queue between the SDK's thread "
                "and the iterating one")]


def hdf5_writer(device) -> list[Row]:
    """The writer against the disk: the virtual detector's own blocks at full
    speed, written by the HDF5 writer (default compression, and none) and raw
    (each block's packets with ndarray.tofile) to the same folder, each side
    including the sync that puts the bytes on the disk."""
    import os
    import tempfile
    from pathlib import Path

    from vexasdk.nexus import HDF5Writer

    packets_per_block, blocks = 65_536, 1500
    dropped: list[int] = []
    sizes: dict[str, int] = {}

    def generate() -> None:
        sim.generate(blocks_per_second=0, packets_per_block=packets_per_block, block_limit=blocks)

    def synced(path: Path) -> None:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    with tempfile.TemporaryDirectory(dir=Path(__file__).resolve().parent) as folder:
        def written(compression: str | None) -> Callable[[], float]:
            path = Path(folder) / f"run-{compression}.h5"

            def side() -> float:
                generate()
                began = time.perf_counter()
                # Every block kept: the writer waits for the disk rather than drop.
                writer = HDF5Writer(path, overwrite=True, compression=compression, full_timeout=60.0)
                acquisition = device.acquire("dd_toa_tot", sinks=[writer])
                acquisition.wait()
                synced(path)
                elapsed = time.perf_counter() - began
                dropped.append(writer.counts.dropped)
                sizes[str(compression)] = path.stat().st_size
                return acquisition.counts.packets / elapsed

            return side

        def raw() -> float:
            path = Path(folder) / "raw.bin"
            generate()
            began = time.perf_counter()
            with open(path, "wb") as out:
                acquisition = device.acquire("dd_toa_tot", callback=lambda block: block.packets.tofile(out))
                acquisition.wait()
                out.flush()
                os.fsync(out.fileno())
            elapsed = time.perf_counter() - began
            sizes["raw"] = path.stat().st_size
            return acquisition.counts.packets / elapsed

        device.chip_array.set_mode(OperationalMode.dd_toa_tot)
        sim.set_bias_actual(0, 100.0)
        default, bare, plain = alternate([written("blosc2"), raw, written(None)], rounds=min(5, ROUNDS))
    limits = ("two cores shared by the virtual detector's generator and delivery, the writer's thread (one native "
              "pass a block: pixel numbers, ns, the hit map, about 6 ns a packet alone and twice that beside the "
              "others, as the three threads share the caches) and its compressing pool; the raw side copies each "
              "block once; the disk's speed swings between rounds")
    return [
        Row("Device.acquire('dd_toa_tot') with HDF5Writer (blosc2: LZ4 + bit shuffle), generated 65,536-packet "
            "blocks at full speed, vs writing the same packets raw (tofile + fsync)",
            si(median(default), "packets/s"), f"raw {si(median(bare), 'packets/s')}",
            per_round(lambda w, r: w / r, default, bare), (">=", 1.0),
            f"{limits}; file {sizes['blosc2'] / sizes['raw']:.2f}x the raw bytes; {max(dropped)} blocks dropped"),
        Row("the same, uncompressed, vs raw", si(median(plain), "packets/s"), f"raw {si(median(bare), 'packets/s')}",
            per_round(lambda w, r: w / r, plain, bare), (">=", 0.9),
            f"{limits}; file {sizes['None'] / sizes['raw']:.2f}x the raw bytes (ns as float64, ids as uint32)"),
    ]


def _receive_all(address: str, results) -> None:
    """The receiving process: takes every block; reports (blocks, bytes, first arrival, last arrival)."""
    from vexasdk.stream import Receiver

    blocks = size = 0
    first = last = 0.0
    with Receiver(address, start_timeout=60.0, hwm=STREAM_HWM) as receiver:
        for block in receiver:
            last = time.perf_counter()
            first = first or last
            blocks += 1
        size = receiver.counts.bytes
    results.put((blocks, size, first, last))


def _pull_all(address: str, messages: int, results) -> None:
    """The bare receiving process: a PULL socket takes `messages` messages without copying them."""
    import zmq

    context = zmq.Context()
    socket = context.socket(zmq.PULL)
    socket.setsockopt(zmq.RCVHWM, STREAM_HWM)
    socket.bind(address)
    size = 0
    first = last = 0.0
    for _ in range(messages):
        frames = socket.recv_multipart(copy=False)
        last = time.perf_counter()
        first = first or last
        size += sum(frame.buffer.nbytes for frame in frames)
    socket.close(0)
    context.term()
    results.put((messages, size, first, last))


STREAM_HWM = 64
_ports = iter(range(5571, 5700))


def stream_loopback(device) -> list[Row]:
    import multiprocessing

    try:
        import zmq

        from vexasdk.stream import Publisher, encode_block
    except ImportError:
        return [Row("stream on loopback", "-", "-", [], None, "not measured: pyzmq is not installed")]
    packets, distinct, deliveries = 65_536, 8, 400
    queue_one = toa_tot_blocks(packets, distinct)
    spawn = multiprocessing.get_context("spawn")
    received: list[int] = []
    sample: list[object] = []

    def keep_one(block) -> None:
        if not sample:
            sample.append(block)

    def ours() -> float:
        """Seconds per byte through Publisher and Receiver, as the receiving process saw them: the
        publisher takes the same block again and again, as the bare side sends the same frames."""
        results, address = spawn.Queue(), f"tcp://127.0.0.1:{next(_ports)}"
        other = spawn.Process(target=_receive_all, args=(address, results))
        other.start()
        try:
            sim.generate(blocks_per_second=1e-6, packets_per_block=1)  # one block at the start, then quiet
            publisher = Publisher(address, max_queued=deliveries + 1, hwm=STREAM_HWM, receivers=1, wait=60.0)
            acquisition = device.acquire("dd_toa_tot", callback=empty_callback, sinks=[publisher])
            for sequence in range(1, deliveries + 1):
                publisher.put(dataclasses.replace(sample[0], sequence=sequence, stream=acquisition.stream))
            while publisher.counts.sent < deliveries + 1:
                time.sleep(0.001)
            acquisition.abort()
            blocks, size, first, last = results.get(timeout=120)
            received.append(blocks)
            return (last - first) / (size * (blocks - 1) / blocks)
        finally:
            other.join(30)

    def bare() -> float:
        """Seconds per byte of the same frames through a bare PUSH/PULL pair between two processes."""
        frames = encode_block(sample[0], "bench")
        results, address = spawn.Queue(), f"tcp://127.0.0.1:{next(_ports)}"
        other = spawn.Process(target=_pull_all, args=(address, deliveries, results))
        other.start()
        context = zmq.Context()
        socket = context.socket(zmq.PUSH)
        socket.setsockopt(zmq.SNDHWM, STREAM_HWM)
        socket.connect(address)
        try:
            for _ in range(deliveries):
                socket.send_multipart(frames, copy=False)
            messages, size, first, last = results.get(timeout=120)
            return (last - first) / (size * (messages - 1) / messages)
        finally:
            socket.close(linger=1000)
            context.term()
            other.join(30)

    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    replay(queue_one, 1, 1)
    device.acquire("dd_toa_tot", callback=keep_one).wait()  # the block both sides send
    through, plain = alternate([ours, bare], rounds=min(3, ROUNDS))
    return [Row("push over TCP on 127.0.0.1 into a Receiver in another process, 65,536-packet dd_toa_tot blocks "
                "(1 MiB), vs a bare pyzmq PUSH/PULL pair moving the same frames", si(1 / median(through), "B/s"),
                f"bare pyzmq {si(1 / median(plain), 'B/s')}", per_round(lambda t, b: b / t, through, plain),
                (">=", 0.8),
                f"both timed in the receiving process from the first message to the last, the same block sent "
                f"again and again; ours encodes each block on the publisher's thread (25 us) and makes each "
                f"message a Block of views of ZeroMQ's frames, no copy (45 us alone, several times that while "
                f"both processes' ZeroMQ I/O threads copy through the kernel on the same two cores); "
                f"{min(received)} of {deliveries + 1} blocks received at least")]


def dask_reduction(device) -> list[Row]:
    try:
        import distributed
    except ImportError:
        return [Row("reduce_on", "-", "-", [], None, "not measured: dask distributed is not installed")]
    from vexasdk.reduction import hit_map, reduce_locally, reduce_on, tot_spectrum

    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    sim.generate(blocks_per_second=0, packets_per_block=65_536, block_limit=120)
    blocks: list = []
    device.acquire("dd_toa_tot", callback=blocks.append).wait()
    events = sum(len(block.packets) for block in blocks)
    reductions = {"hits": hit_map(), "spectrum": tot_spectrum()}
    import dask

    # As docs/reduction.md advises: the workers' heap serves numpy's block-sized arrays, instead of a
    # fresh mapping (and its page faults) for each, which Dask's trimming default would cause.
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 1 << 25}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                     silence_logs=40) as cluster, distributed.Client(cluster) as client:
        reduce_on(client, blocks[:8], reductions)  # the workers' imports
        on_cluster, here = alternate([lambda: timed(lambda: reduce_on(client, blocks, reductions), events),
                                      lambda: timed(lambda: reduce_locally(blocks, reductions), events)],
                                     rounds=min(5, ROUNDS))
    return [Row("reduce_on (hit_map + tot_spectrum) on a 2-worker LocalCluster vs reduce_locally, 120 dd_toa_tot "
                "blocks of 65,536 packets", si(1 / median(on_cluster), "events/s"),
                f"locally {si(1 / median(here), 'events/s')}", per_round(lambda c, h: h / c, on_cluster, here),
                (">=", 0.5),
                "batches of 32 MiB, each reduced and folded on a worker, one total per batch back; the blocks' bytes "
                "sent to the workers once, which costs the client as much CPU as a worker's reduction; two worker "
                "processes, the scheduler and the client share two cores")]


def clustering(device) -> list[Row]:
    """vexasdk.events.cluster on a realistic block: the virtual detector's hits in readout order (chips in
    turn, short runs of each: not in ToA order), beside np.sort of the same hits' ToAs."""
    from vexasdk.events import cluster

    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    sim.generate(blocks_per_second=0, packets_per_block=500_000, block_limit=1)
    [block] = list(device.acquire("dd_toa_tot"))
    sim.generate_default()
    packets = block.packets
    toa = np.ascontiguousarray(packets.toa)
    hits = len(packets)
    clusters = len(cluster(packets))
    ours, sorted_ = alternate([lambda: timed(lambda: cluster(packets), hits), lambda: timed(lambda: np.sort(toa), hits)])
    rate = 1 / median(ours)
    goal = 40e6
    limit = (f"{hits:,} hits, {clusters:,} clusters, one core. Sorting alone costs what np.sort of the bare ToAs "
             f"does (about 14 ns a hit here): three passes over the 16-byte packets (the range of the ToAs, a count "
             f"into buckets of about one hit, the decode into the buckets with keys that carry the hit's position), "
             f"then an insertion pass in which a third of the hits move (a cluster's hits come out of ToA order "
             f"within a chip's run), a few percent by more than the three places it does without branches. The join (about 10 ns a hit: one or two hits in a 500 ns "
             f"window, compared one by one, with a mispredicted loop exit and union-find step or two) and the sum "
             f"into 48-byte rows (about 7 ns, a branch on whether a hit starts a cluster that no mask made cheaper) "
             f"come on top")
    return [
        Row("cluster() (8-neighbour, 500 ns window, ToT-weighted centroids) vs np.sort of the hits' ToAs, "
            f"a {hits:,}-hit dd_toa_tot block in readout order", si(rate, "hits/s"),
            f"np.sort {si(1 / median(sorted_), 'hits/s')}", per_round(lambda a, b: b / a, ours, sorted_), (">=", 1.0),
            limit),
        Row("cluster(): hits per second on one core vs 40 Mhits/s", si(rate, "hits/s"), si(goal, "hits/s"),
            [1 / (value * goal) for value in ours], (">=", 1.0), limit),
    ]


def _truth_run(device, seconds: float, seed: int):
    """A seeded real-time dd_toa_tot run with its truth: (hits, truth)."""
    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    sim.set_bias_actual(0, 100.0)
    sim.set_seed(seed)
    sim.record_truth(True, max_particles=4_000_000)
    sim.generate(blocks_per_second=0, packets_per_block=100_000, duration=seconds)
    blocks = [block.packets for block in device.acquire("dd_toa_tot")]
    sim.generate_default()
    sim.record_truth(False)
    return np.concatenate(blocks), sim.truth()


def cluster_accuracy(device) -> list[Row]:
    """Clusters held against the truth of the virtual detector's run that made
    them: isolated X-ray photons found as exactly one cluster, and how far
    photo-peak clusters' centroids lie from where the photons struck."""
    from vexasdk.events import cluster

    scores = []
    for seed in range(1, min(3, ROUNDS) + 1):
        hits, truth = _truth_run(device, 1.0, seed)
        scores.append(sim.score_clusters(cluster(hits), truth))
    found = [s.found_once for s in scores]
    rms = [s.centroid_rms for s in scores]
    limit = (f"{scores[0].isolated:,} isolated X-ray photons a run (no other particle within 5 px and 2 us), "
             f"{scores[0].photo_peak:,} of them photo-peak; a run a round, seeds 1 to {len(scores)}. ToT-weighted "
             f"centroids (weight='energy' with a calibration gives {'a larger' if True else ''} error: the "
             "surrogate's offset b makes ToT closer to the charge's share than the energy's rise near threshold). "
             f"RMS along columns {scores[0].centroid_rms_x:.3f} px and rows {scores[0].centroid_rms_y:.3f} px; "
             "single-pixel clusters, about half, sit at their pixel's centre")
    return [
        Row("isolated X-ray photons found as exactly one cluster (cluster(), 8-neighbour, 500 ns) vs 99 %",
            f"{100 * median(found):.3f} %", "99 %", [f / 0.99 for f in found], (">=", 1.0), limit),
        Row("centroid RMS error of isolated photo-peak photons vs 0.25 px", f"{median(rms):.3f} px", "0.25 px",
            [r / 0.25 for r in rms], ("<=", 1.0), limit),
    ]


def live_clusters(device) -> list[Row]:
    """Clustering on the acquisition path: at the virtual detector's own
    real-time rate every block is clustered and saved; at full generation
    speed, what clustering costs the writer, with every block accounted."""
    import tempfile
    from pathlib import Path

    from vexasdk.clusters import Clusters
    from vexasdk.events import Calibration
    from vexasdk.nexus import HDF5Writer

    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    sim.set_bias_actual(0, 100.0)
    calibration = Calibration.uniform(4)
    rows: list[Row] = []
    with tempfile.TemporaryDirectory(dir=Path(__file__).resolve().parent) as folder:
        path = Path(folder) / "run.h5"

        def run(clustered: bool, **generate: float) -> tuple[float, object]:
            sim.generate(**generate)
            clusters = Clusters(calibration=calibration) if clustered else None
            began = time.perf_counter()
            acquisition = device.acquire("dd_toa_tot", sinks=[HDF5Writer(path, overwrite=True, clusters=clusters)])
            acquisition.wait()
            elapsed = time.perf_counter() - began
            sim.generate_default()
            return acquisition.counts.packets / elapsed, acquisition

        # Real time: 100 blocks a second of 10,000 hits, as acquire --clusters meets it out of the box.
        _, paced = run(True, packets_per_block=10_000, duration=3.0, real_time=True)
        stages = paced.account
        lost = sum(stage.lost for stage in stages)
        received = stages[-1].received
        rows.append(Row("acquire --clusters --save at the generated rate (real time, 1 Mhits/s, 3 s): blocks "
                        "clustered and saved of those made", f"{stages[-1].delivered:,} of {received:,}",
                        f"{lost} lost", [stages[-1].delivered / max(received, 1)], (">=", 1.0),
                        "; ".join(str(stage) for stage in stages)))
        # Full speed, 65,536-hit blocks, as fast as the generator makes them: the writer waits rather than drop.
        drops: list[int] = []

        def side(clustered: bool) -> Callable[[], float]:
            def measured() -> float:
                rate, acquisition = run(clustered, blocks_per_second=0, packets_per_block=65_536, block_limit=400)
                drops.append(acquisition.lost)
                return 1 / rate

            return measured

        with_clusters, alone = alternate([side(True), side(False)], rounds=min(3, ROUNDS))
    rows.append(Row("full speed: Device.acquire with HDF5Writer(clusters=Clusters(calibration)) vs the writer alone, "
                    "65,536-hit blocks", si(1 / median(with_clusters), "hits/s"), si(1 / median(alone), "hits/s"),
                    per_round(lambda a, b: b / a, with_clusters, alone), None,
                    f"two cores shared by the generator, the writer's thread and its compressing pool, and the "
                    f"clusters' thread; the clusters' queue drops (and counts) what it cannot take within 2 s: "
                    f"{sum(drops)} blocks lost in all rounds"))
    return rows



def calibration(device) -> list[Row]:
    """vexasdk.calibration: a flat-field fit of every pixel of the quad against the virtual detector's own
    pixels (vary_pixels), and the photo-peak through it."""
    from vexasdk.calibration import FlatField, peak
    from vexasdk.events import Calibration, cluster

    blocks = int(os.environ.get("BENCH_CALIBRATION_BLOCKS", "60000"))
    for chip in device.chips:
        chip.set_threshold(5.0)
    device.chip_array.set_mode(OperationalMode.dd_toa_tot)
    truth = sim.vary_pixels(seed=11)
    sim.set_seed(3)
    # Blocks under 16,384 hits are made afresh, never replayed.
    sim.generate(blocks_per_second=0, packets_per_block=10_000, block_limit=blocks)
    flat = FlatField(4)
    kept = []
    began = time.perf_counter()
    for index, block in enumerate(device.acquire("dd_toa_tot")):
        flat.add(block.packets)
        if index < 400:
            kept.append(block.packets.copy())
    took = time.perf_counter() - began
    began = time.perf_counter()
    cal = flat.fit()
    fitting = time.perf_counter() - began
    sim.generate_default()
    sim.uniform_pixels()
    report = flat.report
    assert report is not None
    fitted = flat.fitted_pixels

    def kev(tot, a, b, c, t):
        p, q = b - tot - a * t, -(b - tot) * t - c
        return (-p + np.sqrt(p * p - 4 * a * q)) / (2 * a)

    rows = []
    setting = (f"{report.hits / 1e6:.0f} M hits ({took:.0f} s generated and taken, {fitting:.0f} s fitting), "
               f"{report.fitted:,} of 262,144 pixels fitted on their own hits (at least 8 single-pixel hits near "
               f"each line), the rest leaning on their chip's pixels; a pixel gets about {flat.single / 262144 / 15:.0f} "
               f"single-pixel hits of the photo-peak, and the error falls as one over their square root")
    for line in (59.5, 13.9):
        true_tot = truth.a * line + truth.b - truth.c / (line - truth.t)
        error = kev(true_tot, cal.a, cal.b, cal.c, cal.t) - line
        own, rest = (float(np.sqrt(np.mean(error[m] ** 2))) if m.any() else float("nan") for m in (fitted, ~fitted))
        everyone = float(np.sqrt(np.mean(error ** 2)))
        rows.append(Row(f"calibration: RMS energy error at {line:g} keV over every pixel, fitted vs the pixels' "
                        f"own response", f"{everyone:.2f} keV", "0.5 keV", [everyone / 0.5], ("<=", 1.0),
                        f"pixels fitted on their own hits {own:.2f} keV, the others {rest:.2f} keV (the pixels' own "
                        f"spread around their chip's); {setting}"))
    # What two features can fix with c and t as given: the a and b through each pixel's own curve at the
    # features' energies. The rest of a and b's error is the pixels' c and t, which the fit cannot see.
    first, second = report.first_kev, np.array(report.second_kev)[:, None, None]
    at_first = truth.a * first + truth.b - truth.c / (first - truth.t)
    at_second = truth.a * second + truth.b - truth.c / (second - truth.t)
    best_a = (at_first - at_second + 60.0 / (first - 1.5) - 60.0 / (second - 1.5)) / (first - second)
    best_b = at_first - best_a * first + 60.0 / (first - 1.5)
    for name, spread, best in (("a", 0.05, best_a), ("b", 1.5, best_b)):
        error = getattr(cal, name)[fitted] - best[fitted]
        rms = float(np.sqrt(np.mean(error ** 2)))
        floor = float(np.sqrt(np.mean((best - getattr(truth, name)) ** 2)))
        scripted = float(np.sqrt(np.mean((getattr(cal, name)[fitted] - getattr(truth, name)[fitted]) ** 2)))
        rows.append(Row(f"calibration: RMS error of {name} over the pixels fitted on their own hits, vs the pixels' "
                        f"spread of {name}", f"{rms:.3g}", f"{spread:g}", [rms / spread], None,
                        f"against the {name} two features can fix with c and t as given; against the scripted "
                        f"{name}: {scripted:.3g}, of which {floor:.3g} is the pixels' own c and t, which two lines "
                        f"cannot fix; the rest: the few single-pixel hits of each line a pixel gets"))
    packets = np.concatenate(kept)
    ideal = Calibration(truth.a, truth.b, truth.c, truth.t, threshold=flat.threshold)
    found = {}
    for name, calibration_ in (("fitted", cal), ("ideal", ideal)):
        clusters = cluster(packets, calibration=calibration_)
        counts, edges = np.histogram(clusters["energy"][clusters["size"] == 4], bins=np.arange(45, 75, 0.25))
        found[name] = peak(counts, edges)
    noise = np.array([0.6, 0.65, 0.7, 0.75])
    model = 2.3548 * float(np.mean(np.sqrt(0.8 ** 2 + 4 * noise ** 2 + 4 * 0.15 ** 2)))
    clusters_note = (f"clusters of four pixels of {len(packets) / 1e6:.0f} M hits: the only ones that keep all "
                     f"their charge at a 5 keV threshold (those of two and three pixels peak near 53 and 56 keV)")
    rows += [
        Row("calibration: the photo-peak's position through the fitted calibration, its distance from 59.5 keV",
            f"{found['fitted'].position:.2f} keV", "0.5 keV", [abs(found["fitted"].position - 59.5) / 0.5],
            ("<=", 1.0), clusters_note),
        Row("calibration: the photo-peak's FWHM through the fitted calibration vs through the pixels' own response",
            f"{found['fitted'].fwhm:.2f} keV", f"{found['ideal'].fwhm:.2f} keV",
            [found["fitted"].fwhm / found["ideal"].fwhm], ("<=", 1.10), clusters_note),
        Row("calibration: the photo-peak's FWHM through the pixels' own response vs the noise model's",
            f"{found['ideal'].fwhm:.2f} keV", f"{model:.2f} keV", [found["ideal"].fwhm / model], None,
            "the model: the line's 0.8 keV, four pixels' noise (0.6 to 0.75 keV by chip) and ToT rounding "
            "(0.15 keV a pixel), averaged over the chips"),
    ]
    return rows


CASES = [controller, per_block, large_blocks, cold_blocks, end_to_end, binned, responsiveness, acquire_road, hdf5_writer,
         stream_loopback, dask_reduction, clustering, cluster_accuracy, live_clusters, calibration]
