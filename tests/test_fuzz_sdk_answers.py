"""Fuzzed SDK answers: random blocks through every data trampoline, random
monitor events, random device descriptions.

The blocks come with any counts, null pointers with counts, bins whose
counts disagree with the fragments, TDC lists with null entries, and fetch
failures; the events with any names (valid UTF-8 or not), types, ranges,
values, flags and timestamps, and null records. Every answer is either
delivered exactly as the SDK gave it or logged once, at ERROR, on the logger
"vexasdk"; a good answer after them is delivered intact.

A crash in a trampoline would end the interpreter: each property runs in a
fresh one, which reports its example count or the failing example.
"""

from __future__ import annotations

import logging
import struct
import threading
from typing import NamedTuple

import awkward as ak
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vexasdk
import vexasdk.sim as sim
from vexasdk.enumeration import DeviceProperties, enumerate_devices
from vexasdk.monitor_channel import (MonitorChannel, MonitorFlags, MonitorInfo, MonitorRange, OnAvailChangedArgs,
                                     OnValueChangedArgs)
from vexasdk.pixel_chip import ChipInfo, ChipPolarity, ChipThresholdInfo, OperationalMode

from fuzzing import Boom, begin, examples, run_apart
from helpers import make_ready, random_records

CALLBACK_FAILED = "Failed to execute acquisition data callback."
FETCH_FAILED = "Failed to retrieve "  # and what
FAILURE_CODES = st.one_of(st.sampled_from([sim.ERR_ENOMEM, sim.ERR_EINVAL, sim.ERR_BAD_STATE, 1, -(2**31)]),
                          st.integers(-(2**31), 2**31 - 1).filter(bool))
# Counts of records at a null pointer: 0 is no records, the rest cannot be read.
NULL_COUNTS = st.one_of(st.sampled_from([0, 1, 2, 2**31, 2**40, 2**60, 2**63, 2**64 - 1]), st.integers(0, 2**64 - 1))
U64 = st.integers(0, 2**64 - 1)
U32 = st.integers(0, 2**32 - 1)


class Log(logging.Handler):
    """The "vexasdk" logger's records, kept from the console."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        self.lock_ = threading.Lock()

    def emit(self, record):
        with self.lock_:
            self.records.append(record)

    def __enter__(self):
        logger = logging.getLogger("vexasdk")
        self.propagate, logger.propagate = logger.propagate, False
        logger.addHandler(self)
        return self

    def __exit__(self, *exc):
        logger = logging.getLogger("vexasdk")
        logger.removeHandler(self)
        logger.propagate = self.propagate

    def failures(self) -> list[tuple[str, str, type | None]]:
        return [(r.levelname, r.getMessage(), r.exc_info[0] if r.exc_info else None) for r in self.records]


def fresh_device() -> vexasdk.Device:
    sim.reset()
    sim.set_monitor_rate(0)
    device = make_ready(vexasdk.open_device())
    return device


def deliver(device, module, name, threads) -> list[tuple]:
    """Every queued block through the trampoline, from `threads` SDK threads
    or, for 0, one by one on this thread."""
    calls = []
    callback = lambda *args: calls.append(args)  # noqa: E731
    if threads:
        sim.deliver(device.context, module, name, callback, threads=threads)
        return calls
    while True:
        try:
            sim.deliver_here(device.context, module, name, callback)
        except sim.SdkError as error:
            assert error.code == sim.ERR_BAD_STATE  # nothing left
            return calls


def assert_logged(log: Log, fetch_failures: int, unreadable: int, errors=(ValueError, OverflowError)) -> None:
    """Each fetch failure logged once with its text, each unreadable block
    once with the exception that refused it."""
    failures = log.failures()
    fetched = [f for f in failures if f[1].startswith(FETCH_FAILED)]
    refused = [f for f in failures if f[1] == CALLBACK_FAILED]
    assert len(failures) == fetch_failures + unreadable, failures
    assert all(level == "ERROR" and exc is None for level, _, exc in fetched) and len(fetched) == fetch_failures
    assert all(level == "ERROR" and exc is not None and issubclass(exc, errors) for level, _, exc in refused), refused
    assert len(refused) == unreadable, refused


def assert_delivered(got: list, want: list, threads: int) -> None:
    """In order from one thread; from several, in any."""
    assert (got if threads <= 1 else sorted(got)) == (want if threads <= 1 else sorted(want))


# ---- iToT-evcount blocks ----


class Pointed(NamedTuple):
    """Records the SDK points at, or a null pointer with `count`."""

    array: np.ndarray | None
    count: int = 0

    @property
    def readable(self) -> bool:
        return self.array is not None or self.count == 0

    @property
    def data(self) -> bytes:
        """What a callback receives of them."""
        return b"" if self.array is None else self.array.tobytes()

    @property
    def given(self):
        """The records for the harness: an empty tuple for a null pointer."""
        return () if self.array is None else self.array

    @property
    def null_count(self) -> int | None:
        """The count for the harness's null_*_count argument."""
        return None if self.array is not None else self.count


def null_pointers() -> st.SearchStrategy[Pointed]:
    return st.builds(lambda n: Pointed(None, n), NULL_COUNTS)


def u64_values(most: int) -> st.SearchStrategy[Pointed]:
    return st.one_of(st.builds(Pointed, st.lists(U64, max_size=most).map(lambda v: np.array(v, np.uint64))),
                     null_pointers())


def packets(dtype, most=200) -> st.SearchStrategy[Pointed]:
    return st.one_of(st.builds(lambda n, seed: Pointed(random_records(dtype, n, seed)), st.integers(0, most),
                               st.integers(0, 9)), null_pointers())


itot_answers = st.lists(st.one_of(st.tuples(packets(sim.ITOT_EVCOUNT_DTYPE), st.just(0)),
                                  st.tuples(packets(sim.ITOT_EVCOUNT_DTYPE), FAILURE_CODES)), min_size=1, max_size=6)
threads = st.sampled_from([1, 1, 2, 4, 0])


@examples(300)
@given(answers=itot_answers, threads=threads)
def itot_evcount_blocks(answers, threads):
    begin("iToT-evcount blocks", (answers, threads))
    device = fresh_device()
    sentinel = random_records(sim.ITOT_EVCOUNT_DTYPE, 5, 99)
    for block, fetch_rc in answers + [(Pointed(sentinel), 0)]:
        sim.queue_itot_evcount(block.array, count=block.null_count, fetch_rc=fetch_rc)
    with Log() as log:
        calls = deliver(device, "_t3_itot_evcount", "fb_itot_evcount_cb", threads)
    good = [block.data for block, rc in answers if rc == 0 and block.readable]
    got = [view.view(np.ndarray).tobytes() for (view,) in calls]
    assert_delivered(got, good + [sentinel.tobytes()], threads)
    assert_logged(log, sum(rc != 0 for _, rc in answers), sum(rc == 0 and not b.readable for b, rc in answers))
    # Blocks delivered on this thread are not counted: the counter is the
    # acquisitions' (vexasdk_sim_deliver_here leaves it alone).
    if threads:
        assert sim.blocks_delivered() == len(answers) + 1
    device.close()


# ---- ToA-ToT blocks ----


class ToaTot(NamedTuple):
    packets: Pointed
    shutter: int
    tdcs: list[Pointed] | int  # each TDC's timestamps, or the count of a null TDC list
    fetch_rc: int

    def signature(self, data_driven: bool) -> tuple:
        """What the callback receives, comparably."""
        if not data_driven:
            return (self.packets.data,)
        entries = [] if isinstance(self.tdcs, int) else self.tdcs
        return (self.packets.data, self.shutter,
                tuple(tdc.data for tdc in entries))

    def readable(self, data_driven: bool) -> bool:
        if self.fetch_rc != 0 or not self.packets.readable:
            return False
        if not data_driven:
            return True  # the frame-based trampoline reads no TDCs
        if isinstance(self.tdcs, int):
            return self.tdcs == 0
        return all(tdc.readable for tdc in self.tdcs)


tdcs = st.one_of(
    st.lists(u64_values(10), max_size=5),
    # Known and being fixed: a null TDC list with a huge count is allocated
    # for before it is refused; the counts stay small here.
    st.integers(0, 2**16),
)
toa_tot_answers = st.lists(st.builds(ToaTot, packets(sim.TOA_TOT_DTYPE), U64, tdcs,
                                     st.one_of(st.just(0), st.just(0), FAILURE_CODES)), min_size=1, max_size=6)


@examples(300)
@given(answers=toa_tot_answers, data_driven=st.booleans(), threads=threads)
def toa_tot_blocks(answers, data_driven, threads):
    begin("ToA-ToT blocks", (answers, data_driven, threads))
    device = fresh_device()
    sentinel = ToaTot(Pointed(random_records(sim.TOA_TOT_DTYPE, 3, 99)), 2**64 - 1,
                      [Pointed(np.array([1, 2**64 - 1], np.uint64))], 0)
    for block in answers + [sentinel]:
        queue_toa_tot(block)
    name = "dd_toa_tot_cb" if data_driven else "fb_toa_tot_cb"
    with Log() as log:
        calls = deliver(device, "_t3_toa_tot", name, threads)
    good = [block.signature(data_driven) for block in answers if block.readable(data_driven)]
    got = [delivered_signature(args, data_driven) for args in calls]
    assert_delivered(got, good + [sentinel.signature(data_driven)], threads)
    assert_logged(log, sum(b.fetch_rc != 0 for b in answers),
                  sum(b.fetch_rc == 0 and not b.readable(data_driven) for b in answers))
    device.close()


def delivered_signature(args: tuple, data_driven: bool) -> tuple:
    packets = args[0]
    assert isinstance(packets, np.recarray) and packets.dtype == sim.TOA_TOT_DTYPE.newbyteorder("=")
    if not data_driven:
        assert len(args) == 1
        return (packets.view(np.ndarray).tobytes(),)
    packets, metadata = args
    assert type(metadata.shutter_start) is int
    assert all(tdc.dtype == np.uint64 for tdc in metadata.tdcs)
    return (packets.view(np.ndarray).tobytes(), metadata.shutter_start, tuple(tdc.tobytes() for tdc in metadata.tdcs))


def queue_toa_tot(block: ToaTot) -> None:
    null_tdcs = isinstance(block.tdcs, int)
    # A TDC given as a count has a null timestamp pointer.
    sim.queue_toa_tot(block.packets.array, shutter_time=block.shutter,
                      tdcs=() if null_tdcs else [tdc.count if tdc.array is None else tdc.array for tdc in block.tdcs],
                      fetch_rc=block.fetch_rc, null_packets_count=block.packets.null_count,
                      null_tdcs_count=block.tdcs if null_tdcs else None)


# ---- binned blocks and fragments ----


fragment_values = u64_values(12)


class Binned(NamedTuple):
    evcounts: Pointed
    itots: Pointed
    bins: list[np.ndarray] | list[int] | int  # packets per bin, packet counts alone, or a null bin list's count
    fetch_rc: int

    @property
    def readable(self) -> bool:
        if self.fetch_rc != 0 or not self.evcounts.readable or not self.itots.readable:
            return False
        if isinstance(self.bins, int):
            return self.bins == 0
        # Counts alone stand for null packet pointers.
        return all(not isinstance(b, int) or b == 0 for b in self.bins)

    @property
    def signature(self) -> tuple:
        """What the callback receives, comparably."""
        arrays = [] if isinstance(self.bins, int) else [b for b in self.bins if not isinstance(b, int)]
        sizes = () if isinstance(self.bins, int) else tuple(b if isinstance(b, int) else len(b) for b in self.bins)
        return (self.evcounts.data, self.itots.data, sizes,
                b"".join(b.tobytes() for b in arrays))


bins = st.one_of(
    st.lists(st.builds(lambda n, seed: random_records(sim.BIN_PACKET_DTYPE, n, seed), st.integers(0, 4),
                       st.integers(0, 9)), max_size=6),
    st.lists(st.one_of(st.just(0), NULL_COUNTS), max_size=6),
    NULL_COUNTS,  # a null bin list
)
binned_answers = st.lists(st.builds(Binned, fragment_values, fragment_values, bins,
                                    st.one_of(st.just(0), st.just(0), FAILURE_CODES)), min_size=1, max_size=5)


def queue_binned(block: Binned) -> None:
    null_bins = isinstance(block.bins, int)
    sim.queue_binned(block.evcounts.given, block.itots.given,
                     () if null_bins else block.bins, fetch_rc=block.fetch_rc,
                     null_bins_count=block.bins if null_bins else None,
                     null_evcounts_count=block.evcounts.null_count, null_itots_count=block.itots.null_count)


def binned_signature(args: tuple) -> tuple:
    evcounts, itots, packets = args
    assert evcounts.dtype == np.uint64 and itots.dtype == np.uint64 and isinstance(packets, ak.Array)
    sizes = tuple(ak.num(packets, axis=1).to_list())
    flat = ak.to_numpy(ak.flatten(packets)).tobytes() if sizes else b""
    return evcounts.tobytes(), itots.tobytes(), sizes, flat


@examples(300)
@given(answers=binned_answers, threads=threads)
def binned_blocks(answers, threads):
    begin("binned blocks", (answers, threads))
    device = fresh_device()
    sentinel = Binned(Pointed(np.array([7, 2**64 - 1], np.uint64)), Pointed(np.array([3], np.uint64)),
                      [random_records(sim.BIN_PACKET_DTYPE, 2, 5), np.zeros(0, sim.BIN_PACKET_DTYPE)], 0)
    for block in answers + [sentinel]:
        queue_binned(block)
    with Log() as log:
        calls = deliver(device, "_t3_binning", "binned_data_cb", threads)
    # Delivered as the SDK gave it, however its counts disagree.
    want = [block.signature for block in answers if block.readable] + [sentinel.signature]
    assert_delivered([binned_signature(args) for args in calls], want, threads)
    # The counts of a null bin list are allocated for before the pointer is
    # looked at: a huge one is refused as memory that cannot be had.
    assert_logged(log, sum(b.fetch_rc != 0 for b in answers), sum(b.fetch_rc == 0 and not b.readable for b in answers),
                  errors=(ValueError, OverflowError, MemoryError))
    device.close()


fragment_answers = st.lists(st.tuples(fragment_values, st.one_of(st.just(0), st.just(0), FAILURE_CODES)), min_size=1,
                            max_size=6)


@examples(200)
@given(answers=fragment_answers, evcounts=st.booleans())
def binned_fragments(answers, evcounts):
    begin("binned fragments", (answers, evcounts))
    device = fresh_device()
    queue, name = ((sim.queue_evcount_fragment, "binned_evcount_cb") if evcounts
                   else (sim.queue_itot_fragment, "binned_itot_cb"))
    sentinel = Pointed(np.array([0, 2**64 - 1, 5], np.uint64))
    for values, fetch_rc in answers + [(sentinel, 0)]:
        queue(values.given, fetch_rc=fetch_rc, null_count=values.null_count)
    with Log() as log:
        calls = deliver(device, "_t3_binning", name, 1)
    good = [values for values, rc in answers if rc == 0 and values.readable] + [sentinel]
    assert [(got.dtype, got.tobytes()) for (got,) in calls] == [(np.dtype(np.uint64), v.data) for v in good]
    assert_logged(log, sum(rc != 0 for _, rc in answers), sum(rc == 0 and not v.readable for v, rc in answers))
    device.close()


# ---- monitor events ----


def raw(value, real: bool) -> bytes:
    """The 4 bytes of the SDK's value union, as the harness stores `value`."""
    return np.float32(value).tobytes() if real else struct.pack("<I", value)


def read(four: bytes, real: bool):
    """The union read as the trampoline reads it for a monitor of type `real`."""
    return float(np.frombuffer(four, np.float32)[0]) if real else struct.unpack("<I", four)[0]


def same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    return type(a) is type(b) and a == b


class Monitor(NamedTuple):
    mon_id: int
    name: bytes | None
    type: int
    range: tuple  # two floats or two ints
    value: float | int
    flags: tuple[bool, bool, bool]
    callbacks: dict  # kind -> "records", "raises", "not callable" or absent


OWN = sim.OWN
names = st.one_of(st.text(max_size=12).filter(lambda t: "\0" not in t).map(str.encode), st.none())
# Any bytes but NUL: invalid UTF-8 too, as an event's own name.
event_names = st.one_of(names, st.binary(max_size=6).filter(lambda b: b"\0" not in b),
                        st.sampled_from([b"\xc3\x28", b"\xff", b"\xed\xa0\x80"]))
types = st.one_of(st.sampled_from([sim.MON_INT, sim.MON_FLOAT]), U32)
float_pairs = st.tuples(st.floats(width=32), st.floats(width=32))
ranges = st.one_of(float_pairs, st.tuples(U32, U32))
values = st.one_of(st.floats(width=32), U32)
callback_kinds = st.sampled_from(["records", "records", "raises", "not callable", None])


@st.composite
def monitors(draw):
    ids = draw(st.lists(U32.filter(lambda i: i not in (0x100, 0x101, 0x102, 0x200, 0x300, 0x301, 0x400, 0x401)),
                        min_size=1, max_size=3, unique=True))
    # Known and being fixed: a monitor whose own name is not UTF-8 fails at
    # every event; the monitors' own names are UTF-8 (or null) here.
    return [Monitor(mon_id, draw(names), draw(types), draw(ranges), draw(values),
                    draw(st.tuples(st.booleans(), st.booleans(), st.booleans())),
                    {kind: draw(callback_kinds) for kind in ("value", "avail")})
            for mon_id in ids]


class Event(NamedTuple):
    kind: str  # "value" or "avail"
    monitor: int  # index into the monitors
    fields: dict  # name, type, range, value, flags / is_available, timestamp: given, or absent for the monitor's own
    null_info: bool
    null_flags: bool
    here: bool


@st.composite
def events(draw, count):
    kind = draw(st.sampled_from(["value", "avail"]))
    fields = {}
    for field, strategy in (("name", event_names), ("type", types), ("range", ranges), ("timestamp", U32)):
        if draw(st.booleans()):
            fields[field] = draw(strategy)
    if kind == "value":
        if draw(st.booleans()):
            fields["value"] = draw(values)
        if draw(st.booleans()):
            fields["flags"] = draw(st.tuples(st.booleans(), st.booleans(), st.booleans()))
    elif draw(st.booleans()):
        fields["is_available"] = draw(st.booleans())
    return Event(kind, draw(st.integers(0, count - 1)), fields, draw(st.integers(0, 5)) == 0,
                 kind == "value" and draw(st.integers(0, 5)) == 0, draw(st.booleans()))


def expected_event(monitor: Monitor, event: Event):
    """(what the callback receives for `event`, or the exception that refuses
    it; an exception that may refuse it instead)."""
    if event.null_info:
        return ValueError, None
    fields = event.fields
    name = fields.get("name", monitor.name)
    kind = fields.get("type", monitor.type)
    real = kind == sim.MON_FLOAT
    bounds = fields.get("range", monitor.range)
    as_float = isinstance(bounds[0], float)
    low, high = (read(raw(b, as_float), real) for b in bounds)
    if name is None:
        return ValueError, None
    # A name that is not UTF-8 is refused, or shown with escapes as the
    # monitor's description shows it.
    text = name.decode("utf-8", "backslashreplace")
    refusal = None if text == name.decode("utf-8", "replace") else UnicodeDecodeError
    info = MonitorInfo(text, float if real else int, MonitorRange(low, high))
    timestamp = fields.get("timestamp")
    if event.kind == "avail":
        available = fields.get("is_available", monitor.flags[2])
        return OnAvailChangedArgs(info, available, timestamp), refusal
    if event.null_flags:
        return ValueError, refusal
    value = fields.get("value", monitor.value)
    flags = MonitorFlags(*fields.get("flags", monitor.flags))
    return OnValueChangedArgs(info, flags, read(raw(value, isinstance(value, float)), real), timestamp), refusal


def assert_same_event(got, want) -> None:
    assert type(got) is type(want)
    assert got.info.name == want.info.name and got.info.type is want.info.type
    assert all(same(a, b) for a, b in zip(got.info.range, want.info.range)), (got.info.range, want.info.range)
    if want.timestamp is not None:
        assert got.timestamp == want.timestamp
    assert type(got.timestamp) is int and 0 <= got.timestamp < 2**32
    if isinstance(want, OnAvailChangedArgs):
        assert got.is_available is want.is_available
    else:
        assert got.flags == want.flags and type(got.flags) is MonitorFlags
        assert same(got.value, want.value), (got.value, want.value)


class Callback:
    def __init__(self, raises):
        self.got, self.raises = [], raises

    def __call__(self, event):
        self.got.append(event)
        if self.raises:
            raise Boom("raised by the callback")


def fire(monitor: Monitor, event: Event) -> None:
    fields = dict(event.fields)
    fire_one = sim.fire_value_changed if event.kind == "value" else sim.fire_avail_changed
    extra = {"null_flags": event.null_flags} if event.kind == "value" else {}
    fire_one(monitor.mon_id, *([fields.pop("value")] if "value" in fields else []),
             *([fields.pop("is_available")] if "is_available" in fields else []), null_info=event.null_info,
             here=event.here, **fields, **extra)


@examples(300)
@given(data=st.data())
def monitor_events(data):
    described = data.draw(monitors(), label="monitors")
    fired = data.draw(st.lists(events(len(described)), min_size=1, max_size=8), label="events")
    begin("monitor events", (described, fired))
    device = fresh_device()
    registered = {}
    for monitor in described:
        sim.set_monitor(monitor.mon_id, monitor.name, monitor.type, monitor.range)
        sim.set_monitor_value(monitor.mon_id, monitor.value)
        is_warning, is_error, is_available = monitor.flags
        sim.set_monitor_flags(monitor.mon_id, is_warning=is_warning, is_error=is_error, is_available=is_available)
        mon_id = monitor.mon_id - 2**32 if monitor.mon_id >= 2**31 else monitor.mon_id
        channel = MonitorChannel(mon_id, MonitorInfo("fuzzed", int, MonitorRange(0, 1)), device.context)
        for kind, callback_kind in monitor.callbacks.items():
            if callback_kind is None:
                continue
            callback = 42 if callback_kind == "not callable" else Callback(callback_kind == "raises")
            getattr(channel, f"set_on_{kind}_changed_cb")(callback)
            registered[monitor.mon_id, kind] = callback
    with Log() as log:
        for event in fired:
            monitor = described[event.monitor]
            callback = registered.get((monitor.mon_id, event.kind))
            before = len(callback.got) if isinstance(callback, Callback) else 0
            logged = len(log.records)
            fire(monitor, event)
            failures = log.failures()[logged:]
            assert all(level == "ERROR" for level, _, _ in failures), failures
            refused = [exc for _, _, exc in failures]
            got = callback.got[before:] if isinstance(callback, Callback) else []
            if callback is None:
                assert refused == []  # nobody registered: dropped
                continue
            want, refusal = expected_event(monitor, event)
            if refusal is not None and (got, refused) == ([], [refusal]):
                continue
            if isinstance(want, type):
                assert (got, refused) == ([], [want])
            elif callback == 42:
                assert refused == [TypeError]
            else:
                [delivered] = got
                assert_same_event(delivered, want)
                assert refused == ([Boom] if callback.raises else [])
        # A good event after them all.
        good = Callback(False)
        target = described[0]
        channel = MonitorChannel(target.mon_id - 2**32 if target.mon_id >= 2**31 else target.mon_id,
                                 MonitorInfo("fuzzed", int, MonitorRange(0, 1)), device.context)
        channel.set_on_value_changed_cb(good)
        sim.fire_value_changed(target.mon_id, 1.5, name=b"good", type=sim.MON_FLOAT, range=(0.0, 2.0),
                               flags=(False, True, True), timestamp=77)
        assert good.got == [OnValueChangedArgs(MonitorInfo("good", float, MonitorRange(0.0, 2.0)),
                                               MonitorFlags(False, True, True), 1.5, 77)]
    device.close()


# ---- descriptions: enumeration records, chips, bias sources, units, monitors ----


chip_descriptions = st.fixed_dictionaries({
    "name": st.text(max_size=10).filter(lambda t: "\0" not in t and len(t.encode()) <= 31),
    "supported_modes": st.lists(st.integers(0, 31), max_size=6),
    "supported_polarities": st.lists(st.integers(0, 31), max_size=3),
    "min_kev": st.floats(-1e6, 1e6, width=32), "max_kev": st.floats(-1e6, 1e6, width=32),
    "noise_kev": st.floats(-1e6, 1e6, width=32),
    "min_raw": U32, "max_raw": U32, "is_calibrated": st.booleans(),
    "width": st.integers(0, 300), "height": st.integers(0, 300),
}).map(lambda d: {**d, "min_kev": min(d["min_kev"], d["max_kev"]), "max_kev": max(d["min_kev"], d["max_kev"]),
                  "min_raw": min(d["min_raw"], d["max_raw"]), "max_raw": max(d["min_raw"], d["max_raw"])})
# Monitor names as a device may report them: UTF-8 or not, or null.
description_names = st.one_of(names, st.binary(max_size=6).filter(lambda b: b"\0" not in b))
enum_fields = [st.binary(max_size=width) for _, width in sim.ENUM_FIELDS]


def f32(value: float) -> float:
    """`value` as the SDK's single precision keeps it."""
    return float(np.float32(value))


def expected_chip_info(description: dict) -> ChipInfo:
    def members(enumeration, values):
        return [member for member in enumeration if member.value in set(values)]

    d = description
    return ChipInfo(d["name"], members(OperationalMode, d["supported_modes"]),
                    members(ChipPolarity, d["supported_polarities"]),
                    ChipThresholdInfo(f32(d["min_kev"]), f32(d["max_kev"]), f32(d["noise_kev"]), d["min_raw"],
                                      d["max_raw"], d["is_calibrated"]), d["width"], d["height"])


@examples(200)
@given(data=st.data())
def descriptions(data):
    sim.reset()
    sim.set_monitor_rate(0)
    [first] = enumerate_devices()
    chips = data.draw(st.lists(chip_descriptions, max_size=5), label="chips")
    sources = data.draw(st.lists(float_pairs.filter(lambda p: p[0] <= p[1]), max_size=3), label="bias ranges")
    units = data.draw(st.integers(0, 4), label="units")
    added = data.draw(st.lists(st.tuples(U32.filter(lambda i: i < 0x100 or i > 0x401), description_names, types,
                                         ranges), max_size=3, unique_by=lambda m: m[0]), label="monitors")
    removed = data.draw(st.lists(st.sampled_from([0x100, 0x200, 0x401]), unique=True), label="removed")
    enumerated = data.draw(st.lists(st.tuples(*enum_fields), max_size=4), label="other enumeration records")
    reported = data.draw(st.one_of(st.none(), st.integers(0, 6), st.just(2**40)), label="reported count")
    # As many chips as a count of 8 bits can tell, now and then.
    more_chips = data.draw(st.sampled_from([0] * 9 + [255 - len(chips)]), label="more chips")
    begin("descriptions", (chips, sources, units, added, removed, enumerated, reported, more_chips))
    sim.set_device_count(1 + len(enumerated))
    for i, fields in enumerate(enumerated, start=1):
        sim.set_enum_record(sim.make_enum_record(*fields), device=i)
    sim.set_chip_count(len(chips) + more_chips)
    for index, description in enumerate(chips):
        sim.set_chip_info(index, **description)
    sim.set_bias_count(len(sources))
    for index, (low, high) in enumerate(sources):
        sim.set_bias_range(index, low, high)
    sim.set_unit_count(units)
    for mon_id in removed:
        sim.remove_monitor(mon_id)
    for mon_id, name, kind, bounds in added:
        sim.set_monitor(mon_id, name, kind, bounds)

    sim.set_enum_reported_count(reported)

    # Enumeration: four records at most, each field up to its first NUL and
    # never past its width; what the SDK claims but did not write is empty.
    written = min(4, 1 + len(enumerated))
    listed = min(4, written if reported is None else reported)
    try:
        want = ([first] + [DeviceProperties(*(f.split(b"\0")[0].decode() for f in fields))
                           for fields in enumerated[:max(0, listed - 1)]])[:listed]
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            enumerate_devices()
    else:
        assert enumerate_devices() == want + [DeviceProperties("", "", "", "")] * (listed - len(want))

    before = set(vexasdk._device_opener.open_context_addresses())
    try:
        opened = vexasdk.open_device("virtual:0")
    except ValueError as error:
        # A monitor without a name cannot be described; nothing stays open.
        assert any(name is None for _, name, _, _ in added), error
        assert set(vexasdk._device_opener.open_context_addresses()) == before
        return
    with opened as device:
        assert len(device.chips) == len(chips) + more_chips
        assert [chip.info() for chip in device.chips[:len(chips)]] == [expected_chip_info(d) for d in chips]
        if device.chips:
            assert device.chips[-1].settings().mode is OperationalMode.dd_toa_tot
            assert device.chip_array.get_mode() is OperationalMode.dd_toa_tot
        assert [source.info() for source in device.bias_sources] == [(f32(low), f32(high)) for low, high in sources]
        assert len(device.power_units) == units
        assert len(device.monitors) == 8 - len(removed) + len(added)
        # Added monitors come last, in the order they were added.
        for channel, (mon_id, name, kind, bounds) in zip(device.monitors[len(device.monitors) - len(added):], added):
            real = kind == sim.MON_FLOAT
            info = channel.info()
            assert info.name == name.decode("utf-8", "backslashreplace")
            assert info.type is (float if real else int)
            assert all(same(got, read(raw(b, isinstance(b, float)), real)) for got, b in zip(info.range, bounds))


# ---- each property in its own interpreter ----


@pytest.mark.parametrize("prop", ["itot_evcount_blocks", "toa_tot_blocks", "binned_blocks", "binned_fragments",
                                  "monitor_events", "descriptions"])
def test_sdk_answers(prop, tmp_path):
    run_apart(__file__, prop, tmp_path)
