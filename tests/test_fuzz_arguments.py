"""Fuzzed arguments: every constructor, method and function of the binding
called with arbitrary objects while the virtual detector answers with
scripted failures.

Each example opens the first virtual device, scripts up to three faults
(mostly of the SDK functions the call uses), makes one to three calls and
checks that:

- only the call's allowed exceptions come out (CONVERTS, READS, ... below:
  each call names its set); the arguments' own exceptions (`Boom`) may come
  out of any call that converts or reads them;
- an SdkError carries its message, code and the code's name;
- a scripted failure of an SDK function whose result the call reports is
  never reported as success;
- what a call that succeeded with plausible arguments set is what the
  virtual detector holds;
- afterwards, with the faults cleared, the device (if still open) and a
  freshly opened one set and read back values, call whatever the example
  registered for monitor events, and acquire a block intact.

Callbacks among the arguments may call back into the package from the SDK's
threads. Last, calls from several threads at once: none hangs, and only
SdkError comes out (run in its own interpreter, as a hang or crash there
would end the session).
"""

from __future__ import annotations

import copy
import faulthandler
import sys
import gc
import math
import os
import pickle
import threading
import types
from typing import Callable, NamedTuple

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vexasdk
import vexasdk.sim as sim
from vexasdk import SdkError, _device_opener
from vexasdk._device_context import _DeviceContext
from vexasdk._power_unit import _PowerUnit
from vexasdk._t3_binning import BinnedParams
from vexasdk._t3_toa_tot import DdToaTotMetadata
from vexasdk.acquisition_runner import AcquisitionRunner
from vexasdk.bias_source import BiasInfo, BiasSource
from vexasdk.chip_array import ChipArray
from vexasdk.enumeration import DeviceProperties, enumerate_devices
from vexasdk.monitor_channel import (MonitorChannel, MonitorFlags, MonitorInfo, MonitorRange, OnAvailChangedArgs,
                                     OnValueChangedArgs)
from vexasdk.pixel_chip import ChipInfo, ChipPolarity, ChipSettings, ChipThresholdInfo, OperationalMode, PixelChip

from fuzzing import (EXAMPLES, Boom, anything, call_arguments, check_sdk_error, examples, faults_for, floats,
                     hostile, ints, quiet_log, record_example, run_apart, script, texts)
from helpers import random_records, run_python

M = OperationalMode

# Numpy warns about some conversions of the fuzzed arrays (size-1 arrays to
# scalars, complex to real); a warning is not a failure here.
pytestmark = pytest.mark.filterwarnings("ignore")

# What a call may raise. Conversions raise TypeError, OverflowError and
# ValueError (UnicodeError among them), the SDK's refusals SdkError, and the
# arguments their own exceptions.
CONVERTS = (TypeError, OverflowError, ValueError, SdkError, Boom)
# Calls that read attributes of an argument (a member's value and name, a
# record's fields, a chip's methods) raise AttributeError when it lacks them.
READS = CONVERTS + (AttributeError,)
# get_pixel_mask allocates what the chip's description says.
ALLOCATES = READS + (MemoryError,)
# Pickling is refused; a protocol out of range is a ValueError.
PICKLES = (TypeError, ValueError, OverflowError, Boom)

HANG_SECONDS = 120
MONITOR_IDS = (0x100, 0x101, 0x102, 0x200, 0x300, 0x301, 0x400, 0x401)


class Method(NamedTuple):
    name: str
    params: tuple[tuple[str, st.SearchStrategy], ...]  # (name, plausible values)
    allowed: tuple[type[BaseException], ...]
    surfaces: frozenset[str]  # SDK functions whose failure the call must report
    check: Callable | None  # check(target, args, result) after a success with plausible arguments


def method(name, *params, allowed=CONVERTS, surfaces=(), check=None) -> Method:
    return Method(name, params, allowed, frozenset(surfaces), check)


# ---- running an example ----


def fresh_device() -> vexasdk.Device:
    """The first virtual device, out of the box but for quick acquisitions."""
    sim.reset()
    sim.set_monitor_rate(0)
    sim.generate(packets_per_block=64, block_limit=2)
    return vexasdk.open_device()


def attempt(call: Callable[[], object], allowed, surfaces=frozenset(), drawn=()):
    """Runs `call` with the faults scripted; (result, error)."""
    sim.clear_call_log()
    script(drawn)
    error = result = None
    try:
        result = call()
    except allowed as raised:
        error = raised
    finally:
        called = [f for f in drawn if sim.call_count(f.function) > 0]
        sim.clear_faults()
    if isinstance(error, SdkError):
        check_sdk_error(error)
    fired = [f for f in called if f.function in surfaces]
    if fired:
        assert error is not None, f"the SDK failure {fired} was reported as success"
        if isinstance(error, SdkError):
            # The first failure, or that of a clean-up after it.
            assert error.code in {f.code for f in called}, (error, called)
    return result, error


@st.composite
def arguments(draw, params):
    """(args, kwargs, plausible): each argument plausible or anything at all;
    now and then keywords, or the wrong number of arguments."""
    names = tuple(name for name, _ in params)
    if draw(chance(1, 8)):
        args, kwargs = draw(call_arguments(len(params), names))
        return args, kwargs, False
    values, plausible = [], True
    for _, strategy in params:
        if draw(chance(3, 4)):
            values.append(draw(strategy))
        else:
            values.append(draw(anything()))
            plausible = False
    if draw(chance(1, 4)):
        return (), dict(zip(names, values)), plausible
    return tuple(values), {}, plausible


def chance(times: int, out_of: int) -> st.SearchStrategy[bool]:
    """True `times` out of `out_of`."""
    return st.sampled_from([True] * times + [False] * (out_of - times))


def given_argument(args, kwargs, index, name):
    return args[index] if index < len(args) else kwargs.get(name)


def target(data, own: st.SearchStrategy | None, cls, params):
    """One of the device's own objects (two times in three), or one made with
    drawn constructor arguments; None when those are refused."""
    if own is not None and data.draw(chance(2, 3), label="the device's own"):
        return data.draw(own, label="own")
    args, kwargs, _ = data.draw(arguments(params), label="constructor")
    made, error = attempt(lambda: cls(*args, **kwargs), CONVERTS)
    return made if error is None else None


def exercise(data, obj, methods: list[Method], calls=st.integers(1, 3)) -> None:
    """Draws and makes calls of `methods` on `obj`, each with its faults;
    now and then unbound, with any object as self."""
    for _ in range(data.draw(calls, label="calls")):
        chosen = data.draw(st.sampled_from(methods), label="method")
        args, kwargs, plausible = data.draw(arguments(chosen.params), label="arguments")
        drawn = data.draw(faults_for(chosen.surfaces), label="faults")
        if data.draw(chance(1, 10), label="unbound"):
            owner = data.draw(st.one_of(st.just(type(obj)), anything()), label="self")
            unbound = getattr(type(obj), chosen.name)
            attempt(lambda: unbound(owner, *args, **kwargs), CONVERTS, chosen.surfaces, drawn)
            continue
        bound = getattr(obj, chosen.name)
        result, error = attempt(lambda: bound(*args, **kwargs), chosen.allowed, chosen.surfaces, drawn)
        if error is None and plausible and chosen.check is not None:
            chosen.check(obj, args or tuple(kwargs.values()), result)


def run_example(name: str, body: Callable[[vexasdk.Device], None]) -> None:
    EXAMPLES[name] += 1
    # A hang ends the run with every thread's traceback, rather than never.
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=sys.__stderr__)
    try:
        with quiet_log():
            device = CURRENT["device"] = fresh_device()
            body(device)
            assert_consistent(device)
    finally:
        faulthandler.cancel_dump_traceback_later()
        CURRENT.clear()


def null_handle() -> _DeviceContext:
    return _DeviceContext.__new__(_DeviceContext)


def contexts(device) -> st.SearchStrategy:
    return st.one_of(st.just(device.context), st.just(device.context), st.builds(null_handle), anything())


def as_int(value) -> int:
    """What an integer argument converts to: an int's own value, else int()."""
    return int.__index__(value) if isinstance(value, int) else int(value)


def as_float(value) -> float:
    """What a float argument converts to: a float's own value, else float()."""
    return float.__float__(value) if isinstance(value, float) else float(value)


def float32(value: float) -> float:
    return float(np.float32(value))


def same_float(a: float, b: float) -> bool:
    return a == b or (math.isnan(a) and math.isnan(b))


def last_call(function: str) -> dict:
    return sim.calls(function)[-1]


class Recorder:
    """A callback that keeps what it receives, and may raise afterwards."""

    def __init__(self, raises=False):
        self.got, self.raises = [], raises

    def __call__(self, *args):
        self.got.append(args)
        if self.raises:
            raise Boom("raised by the callback")

    def __repr__(self):
        return f"Recorder(raises={self.raises})"


# The device of the example running, for callbacks that use it.
CURRENT: dict[str, vexasdk.Device] = {}


class Reentrant:
    """A callback that calls back into the package, from the SDK's thread."""

    ACTIONS = {
        "abort": lambda d: d.acquisition_runner.abort(),
        "await_end": lambda d: d.acquisition_runner.await_end(),
        "trigger": lambda d: d.acquisition_runner.trigger(),
        "start": lambda d: d.acquisition_runner.start(len),
        "close": lambda d: d.close(),
        "set a threshold": lambda d: d.chips[0].set_raw_threshold(7),
        "set the mode": lambda d: d.chip_array.set_mode(M.fb_itot_evcount),
        "power down": lambda d: d.power_units[0].power_down(),
        "register": lambda d: d.monitors[0].set_on_value_changed_cb(len),
        "fetch a value": lambda d: d.monitors[0].fetch_value(),
        "open a device": lambda d: vexasdk.open_device().close(),
        "enumerate": lambda d: enumerate_devices(),
    }

    def __init__(self, actions):
        self.actions = actions

    def __call__(self, *args):
        for action in self.actions:
            self.ACTIONS[action](CURRENT["device"])

    def __repr__(self):
        return f"Reentrant({self.actions!r})"


callbacks = st.one_of(st.builds(Recorder, st.booleans()),
                      st.builds(Reentrant, st.lists(st.sampled_from(sorted(Reentrant.ACTIONS)), min_size=1,
                                                    max_size=2)),
                      st.sampled_from([None, len, id]), anything())

# Plausible values of the parameters.
polarities = st.one_of(st.sampled_from(list(ChipPolarity)),
                       st.builds(types.SimpleNamespace, value=st.sampled_from([1, 2, 0, 3, 2**32 - 1]), name=texts))
modes = st.one_of(st.sampled_from(list(M)),
                  st.builds(types.SimpleNamespace, value=st.sampled_from([0, 7, 9, 13, 14, 2**32 - 1]), name=texts))
numbers = st.one_of(st.integers(0, 4095), st.floats(-250, 250), ints, floats,
                    st.sampled_from([np.float32(5.5), np.int64(300), np.uint8(7), np.float64("nan"), np.array(12.5),
                                     True]))


# ---- afterwards ----


def assert_consistent(device: vexasdk.Device) -> None:
    """With the faults cleared, the example's device and a fresh one work."""
    sim.clear_faults()
    gc.collect(1)  # the example's young objects; a full collection costs more than the example
    with vexasdk.open_device() as other:
        assert [len(other.chips), len(other.bias_sources), len(other.power_units), len(other.monitors)] == [4, 1, 2, 8]
        # Whatever the example registered is called now, or its failure logged.
        for mon_id in (0x100, 0x400):
            sim.fire_value_changed(mon_id)
            sim.fire_avail_changed(mon_id, True)
        if not device.closed:
            # Also what those callbacks started.
            try:
                device.acquisition_runner.abort()
            except SdkError as error:
                assert error.code in (sim.ERR_BAD_STATE, sim.ERR_ENODEV), error
            if _device_opener.sdk_address(device.context) in _device_opener.open_context_addresses():
                assert_round_trips(device)
        assert_round_trips(other)
        assert_acquires(other)


def assert_round_trips(device: vexasdk.Device) -> None:
    for unit in device.power_units:
        unit.power_up()
        assert unit.is_powered()
    chip = device.chips[1]
    chip.set_raw_threshold(1234)
    assert chip.get_raw_threshold() == 1234
    chip.set_polarity(ChipPolarity.electrons_collection)
    mask = np.random.default_rng(1).integers(0, 2, (256, 256), dtype=np.uint8)
    chip.set_pixel_mask(mask)
    assert np.array_equal(chip.get_pixel_mask(), mask)
    device.bias_sources[0].set_desired(42.5)
    assert device.bias_sources[0].get_desired() == 42.5
    device.chip_array.set_mode(M.fb_itot_evcount)
    assert device.chip_array.get_mode() is M.fb_itot_evcount
    assert chip.settings() == ChipSettings(ChipPolarity.electrons_collection, M.fb_itot_evcount)
    assert type(device.monitors[0].fetch_value()) is float


def assert_acquires(device: vexasdk.Device) -> None:
    """An acquisition starts, delivers exactly the queued block, and ends."""
    sim.generate_default()
    sim.clear_queue()
    block = random_records(sim.ITOT_EVCOUNT_DTYPE, 7, seed=3)
    sim.queue_itot_evcount(block)
    got = []
    device.chip_array.set_mode(M.fb_itot_evcount)
    device.acquisition_runner.start(got.append)
    device.acquisition_runner.await_end()
    assert [b.view(np.ndarray).tobytes() for b in got] == [block.tobytes()]


# ---- PixelChip ----


@st.composite
def masks(draw) -> np.ndarray:
    """Masks of the right sizes and of nearly right ones, in any layout."""
    shape = draw(st.sampled_from([(256, 256)] * 3 + [(65536,)] * 2 + [(256, 128), (128, 256), (1, 65536),
                                                                     (256, 256, 1), ()]))
    dtype = draw(st.sampled_from([np.uint8] * 4 + [np.int8, np.bool_, np.uint16, np.float64, object]))
    mask = np.random.default_rng(draw(st.integers(0, 3))).integers(0, 2, shape).astype(dtype)
    layout = draw(st.sampled_from(["C", "F", "strided", "transposed", "readonly"]))
    if layout == "F":
        mask = np.asfortranarray(mask)
    elif layout == "strided" and mask.ndim:
        wide = np.zeros(mask.shape[:-1] + (mask.shape[-1] * 2,), mask.dtype)
        wide[..., ::2] = mask
        mask = wide[..., ::2]
    elif layout == "transposed":
        mask = np.ascontiguousarray(mask.T).T
    elif layout == "readonly":
        mask.flags.writeable = False
    return mask


def check_settings(chip, args, result):
    state = sim.chip_state(chip.fuzz_id)
    assert result == ChipSettings(ChipPolarity(state["polarity"]), M(state["mode"]))


def check_polarity(chip, args, result):
    assert sim.chip_state(last_call("vexasdk_chip_set_polarity")["chip"])["polarity"] == args[0].value


def check_threshold(chip, args, result):
    assert same_float(last_call("vexasdk_chip_set_thld")["thld_kev"], float32(as_float(args[0])))


def check_raw_threshold(chip, args, result):
    assert sim.chip_state(last_call("vexasdk_chip_set_raw_thld")["chip"])["thld_raw"] == as_int(args[0])
    assert chip.get_raw_threshold() == as_int(args[0])


def check_set_mask(chip, args, result):
    if type(args[0]) is np.ndarray:
        written = sim.chip_mask(last_call("vexasdk_chip_set_pixel_mask")["chip"])
        assert written.tobytes() == args[0].flatten(order="C").tobytes()


def check_get_mask(chip, args, result):
    info = chip.info()
    if isinstance(info, ChipInfo):
        assert result.shape == (info.width, info.height) and result.dtype == np.uint8
        assert result.tobytes() == sim.chip_mask(last_call("vexasdk_chip_get_pixel_mask")["chip"]).tobytes()


CHIP_METHODS = [
    method("info"),
    method("settings", surfaces=["vexasdk_chip_get_count", "vexasdk_chip_get_settings"], check=check_settings),
    method("configure", surfaces=["vexasdk_chip_configure"]),
    method("set_polarity", ("polarity", polarities), allowed=READS, surfaces=["vexasdk_chip_set_polarity"],
           check=check_polarity),
    method("get_threshold", surfaces=["vexasdk_chip_get_thld"]),
    method("set_threshold", ("thr_kev", numbers), surfaces=["vexasdk_chip_set_thld"], check=check_threshold),
    method("get_raw_threshold", surfaces=["vexasdk_chip_get_raw_thld"]),
    method("set_raw_threshold", ("thr_raw", numbers), surfaces=["vexasdk_chip_set_raw_thld"],
           check=check_raw_threshold),
    method("get_pixel_mask", allowed=ALLOCATES, surfaces=["vexasdk_chip_get_pixel_mask"], check=check_get_mask),
    method("set_pixel_mask", ("pixel_mask", masks()), allowed=READS, surfaces=["vexasdk_chip_set_pixel_mask"],
           check=check_set_mask),
]


class FuzzChip(PixelChip):
    """A chip that remembers the id it was made with, for the checks."""

    def __new__(cls, *args, **kwargs):
        self = super().__new__(cls, *args, **kwargs)
        self.fuzz_id = as_int(given_argument(args, kwargs, 0, "chip_id"))
        return self


# Sensor sizes of descriptions: never so large that a mask takes gigabytes.
sizes = st.one_of(st.sampled_from([256, 128, 0, 1]), st.integers(0, 300))
chip_infos = st.one_of(
    st.builds(ChipInfo, texts, st.just([M.dd_toa_tot]), st.just([ChipPolarity.holes_collection]),
              st.builds(ChipThresholdInfo, floats, floats, floats, ints, ints, st.booleans()), sizes, sizes),
    st.builds(types.SimpleNamespace, width=st.one_of(sizes, hostile(), texts, floats), height=sizes),
    hostile(),
    st.none(),
)


@examples(400)
@given(data=st.data())
def test_pixel_chip(data):
    def body(device):
        own = st.integers(0, 3).map(lambda i: FuzzChip(i, device.chips[i].info(), device.context))
        params = (("chip_id", st.one_of(st.integers(-300, 300), ints)), ("chip_info", chip_infos),
                  ("context", contexts(device)))
        chip = target(data, own, FuzzChip, params)
        if chip is not None:
            exercise(data, chip, CHIP_METHODS)

    run_example("PixelChip", body)


# ---- ChipArray ----


class FakeChip:
    """A chip as the array sees it: info(), settings() and configure(), each
    answering as drawn; one may change the chip list while it is asked."""

    def __init__(self, chips: list, modes, mode, behaviour: str):
        self.chips, self.modes, self.mode, self.behaviour = chips, modes, mode, behaviour

    def _act(self):
        if self.behaviour == "raises":
            raise Boom("raised by a chip")
        if self.behaviour == "grows the list" and len(self.chips) < 6:
            self.chips.append(FakeChip(self.chips, self.modes, self.mode, "answers"))
        elif self.behaviour == "empties the list":
            self.chips.clear()

    def info(self):
        self._act()
        return types.SimpleNamespace(supported_modes=self.modes)

    def settings(self):
        self._act()
        return types.SimpleNamespace(mode=self.mode)

    def configure(self):
        self._act()

    def __repr__(self):
        return f"FakeChip({self.modes!r}, {self.mode!r}, {self.behaviour!r})"


@st.composite
def chip_lists(draw, device):
    """The device's chips, some of them with others, or chips of any kind."""
    kind = draw(st.sampled_from(["device", "device", "some", "fakes", "anything"]))
    if kind == "device":
        return device.chips
    if kind == "some":
        chips = draw(st.lists(st.sampled_from(device.chips), max_size=4))
        return chips + draw(st.lists(st.builds(PixelChip, st.sampled_from([4, 9, -1, 256]), st.none(),
                                               st.just(device.context)), max_size=1))
    if kind == "fakes":
        chips: list = []
        for _ in range(draw(st.integers(0, 4))):
            chips.append(FakeChip(chips, draw(st.one_of(st.lists(st.sampled_from(list(M)), max_size=3), anything())),
                                  draw(st.one_of(st.sampled_from(list(M)), anything())),
                                  draw(st.sampled_from(["answers"] * 3 + ["raises", "grows the list",
                                                                          "empties the list"]))))
        return chips
    return draw(st.one_of(st.lists(anything(), max_size=3), anything()))


def real_chips(array) -> bool:
    """Whether the array holds only the device's own chips, so that the SDK's
    state stands for its answers."""
    chips = array.get_single_chips()
    return bool(chips) and all(type(chip) is PixelChip and chip.info() is not None for chip in chips)


def check_supported_modes(array, args, result):
    assert type(result) is list
    if real_chips(array):
        assert set(result) == set(M)


def check_get_mode(array, args, result):
    if real_chips(array):
        assert result is M(sim.chip_state(0)["mode"])


def check_set_mode(array, args, result):
    if array.fuzz_context is CURRENT["device"].context:
        assert {sim.chip_state(i)["mode"] for i in range(4)} == {args[0].value}


ARRAY_METHODS = [
    method("get_single_chips", check=lambda array, args, result: result is array.get_single_chips()),
    method("get_supported_modes", allowed=READS, surfaces=[], check=check_supported_modes),
    method("get_mode", allowed=READS, surfaces=["vexasdk_chip_get_count", "vexasdk_chip_get_settings"],
           check=check_get_mode),
    method("set_mode", ("mode", modes), allowed=READS, surfaces=["vexasdk_chip_set_mode"], check=check_set_mode),
    method("configure", allowed=READS, surfaces=["vexasdk_chip_configure"]),
]


class FuzzArray(ChipArray):
    """An array that remembers the context it was made with, for the checks."""

    def __new__(cls, *args, **kwargs):
        self = super().__new__(cls, *args, **kwargs)
        self.fuzz_context = given_argument(args, kwargs, 1, "context")
        return self


@examples(300)
@given(data=st.data())
def test_chip_array(data):
    def body(device):
        array = target(data, None, FuzzArray, (("single_chips", chip_lists(device)), ("context", contexts(device))))
        if array is not None:
            exercise(data, array, ARRAY_METHODS)

    run_example("ChipArray", body)


# ---- AcquisitionRunner ----


class Fields(BinnedParams):
    """BinnedParams whose fields are the caller's objects of any kind."""

    def __new__(cls, width, height, dwell):
        self = super().__new__(cls, 0, 0, 0)
        self.fields = (width, height, dwell)
        return self

    width = property(lambda self: self.fields[0])
    height = property(lambda self: self.fields[1])
    dwell_time_ns = property(lambda self: self.fields[2])


params = st.one_of(
    st.none(),
    st.builds(BinnedParams, st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1), st.integers(0, 2**64 - 1)),
    st.builds(BinnedParams, ints, ints, ints),
    st.builds(Fields, anything(), anything(), anything()),
    st.tuples(ints, ints, ints),
)


def check_start(runner, args, result):
    given = args[1] if len(args) > 1 else None
    sent = last_call("vexasdk_acq_start")
    if type(given) is BinnedParams and all(type(field) is int for field in given):
        assert (sent["width"], sent["height"], sent["dwell_time"]) == tuple(given)
    elif not isinstance(given, BinnedParams):
        assert (sent["width"], sent["height"], sent["dwell_time"]) == (0, 0, 0)


START = method("start", ("callback", callbacks), ("params", params), allowed=READS,
           surfaces=["vexasdk_acq_start", "vexasdk_chip_set_mode", "vexasdk_chip_get_count",
                     "vexasdk_chip_get_settings"], check=check_start)
RUNNER_METHODS = [
    START,
    START,
    method("await_end", surfaces=["vexasdk_acq_await_end"]),
    method("abort", surfaces=["vexasdk_acq_abort"]),
    method("trigger", surfaces=["vexasdk_trigger_now"]),
]


@st.composite
def chip_arrays(draw, device):
    kind = draw(st.sampled_from(["device", "device", "device", "fakes", "subclass", "anything"]))
    if kind == "device":
        return device.chip_array
    if kind == "fakes":
        return ChipArray(draw(chip_lists(device).filter(lambda chips: type(chips) is list)), device.context)
    if kind == "subclass":
        # A chip array whose get_mode and set_mode answer anything.
        answers = {name: draw(st.one_of(st.sampled_from(list(M)), anything()), label=name)
                   for name in ("get_mode", "set_mode")}
        namespace = {name: (lambda answer: lambda self, *a: answer)(answer) for name, answer in answers.items()}
        if draw(st.booleans()):
            namespace["set_mode"] = lambda self, *a: (_ for _ in ()).throw(Boom("set_mode"))
        return type("Array", (ChipArray,), namespace)(device.chips, device.context)
    return draw(anything())


@examples(400)
@given(data=st.data())
def test_acquisition_runner(data):
    def body(device):
        if data.draw(chance(4, 5), label="power up"):
            for unit in device.power_units:
                unit.power_up()
        if data.draw(st.booleans(), label="set a mode"):
            device.chip_array.set_mode(data.draw(st.sampled_from(list(M)), label="mode"))
        runner = target(data, st.just(device.acquisition_runner), AcquisitionRunner,
                        (("chip_array", chip_arrays(device)), ("context", contexts(device))))
        if runner is None:
            return
        exercise(data, runner, RUNNER_METHODS, calls=st.integers(1, 4))
        # Dropped by the example: the SDK may still hold the callbacks.
        del runner
        gc.collect(1)

    run_example("AcquisitionRunner", body)


# ---- MonitorChannel ----

monitor_infos = st.one_of(
    st.builds(MonitorInfo, st.one_of(texts, st.binary(max_size=4), hostile()),
              st.sampled_from([int, float, int, float, str, bool, None]), st.builds(MonitorRange, floats, floats)),
    hostile(),
    st.none(),
)


def check_fetch_value(channel, args, result):
    kind = channel.info().type
    assert type(result) is kind


def check_registered(kind):
    def check(channel, args, result):
        callback = args[0]
        mon_id = last_call(f"vexasdk_mon_set_{kind}_changed_cb")["mon_id"]
        if isinstance(callback, Recorder) and mon_id in MONITOR_IDS:
            before = len(callback.got)
            fire = sim.fire_value_changed if kind == "value" else sim.fire_avail_changed
            fire(mon_id)
            assert len(callback.got) == before + 1

    return check


CHANNEL_METHODS = [
    method("info"),
    method("fetch_value", allowed=READS, surfaces=["vexasdk_mon_get_value"], check=check_fetch_value),
    method("set_on_avail_changed_cb", ("callback", callbacks), allowed=READS,
           surfaces=["vexasdk_mon_set_avail_changed_cb"], check=check_registered("avail")),
    method("set_on_value_changed_cb", ("callback", callbacks), allowed=READS,
           surfaces=["vexasdk_mon_set_value_changed_cb"], check=check_registered("value")),
]


@examples(300)
@given(data=st.data())
def test_monitor_channel(data):
    def body(device):
        ids = st.one_of(st.sampled_from(MONITOR_IDS), st.sampled_from([0x100 - 2**32, 0x999]), ints)
        channel = target(data, st.sampled_from(device.monitors), MonitorChannel,
                         (("mon_id", ids), ("mon_info", monitor_infos), ("context", contexts(device))))
        if channel is None:
            return
        exercise(data, channel, CHANNEL_METHODS)
        del channel
        gc.collect(1)

    run_example("MonitorChannel", body)


# ---- BiasSource and _PowerUnit ----


def check_set_desired(source, args, result):
    bias_id = last_call("vexasdk_bias_set_desired")["bias_id"]
    assert same_float(sim.bias(bias_id)[0], float32(as_float(args[0])))
    assert same_float(source.get_desired(), float32(as_float(args[0])))


BIAS_METHODS = [
    method("set_desired", ("desired_bias", numbers), surfaces=["vexasdk_bias_set_desired"], check=check_set_desired),
    method("get_desired", surfaces=["vexasdk_bias_get_desired"],
           check=lambda source, args, result: result == sim.bias(last_call("vexasdk_bias_get_desired")["bias_id"])[0]),
    method("actual", surfaces=["vexasdk_bias_get_actual"]),
    method("info"),
]


def check_switched(powered):
    def check(unit, args, result):
        assert sim.unit_powered(last_call("vexasdk_dev_is_unit_powered")["unit_id"]) is powered

    return check


UNIT_METHODS = [
    method("is_powered", surfaces=["vexasdk_dev_is_unit_powered"],
           check=lambda unit, args, result: result is sim.unit_powered(last_call("vexasdk_dev_is_unit_powered")[
               "unit_id"])),
    method("power_up", surfaces=["vexasdk_dev_is_unit_powered", "vexasdk_dev_power_up_unit"],
           check=check_switched(True)),
    method("power_down", surfaces=["vexasdk_dev_is_unit_powered", "vexasdk_dev_power_down_unit"],
           check=check_switched(False)),
]

identifiers = st.one_of(st.integers(-300, 300), ints)


@examples(200)
@given(data=st.data())
def test_bias_source(data):
    def body(device):
        infos = st.one_of(st.builds(BiasInfo, floats, floats), anything())
        source = target(data, st.just(device.bias_sources[0]), BiasSource,
                        (("bias_id", identifiers), ("bias_info", infos), ("context", contexts(device))))
        if source is not None:
            exercise(data, source, BIAS_METHODS)

    run_example("BiasSource", body)


@examples(200)
@given(data=st.data())
def test_power_unit(data):
    def body(device):
        unit = target(data, st.sampled_from(device.power_units), _PowerUnit,
                      (("unit_id", identifiers), ("context", contexts(device))))
        if unit is not None:
            exercise(data, unit, UNIT_METHODS)

    run_example("_PowerUnit", body)


# ---- _DeviceContext ----


class ContextSub(_DeviceContext):
    """A handle type of the caller's, constructible as the base is not."""

    def __init__(self, *args, **kwargs):
        pass


def pickling(handle, data):
    """One way to copy or pickle a handle, with drawn arguments."""
    how = data.draw(st.sampled_from(["dumps", "reduce", "reduce_ex", "setstate", "copy", "deepcopy"]), label="how")
    args = data.draw(st.lists(anything(), max_size=2), label="arguments")
    if how == "dumps":
        protocol = data.draw(st.one_of(st.integers(-2, 6), anything()), label="protocol")
        return lambda: pickle.dumps(handle, protocol)
    if how in ("reduce", "reduce_ex", "setstate"):
        return lambda: getattr(handle, f"__{how}__")(*args)
    return lambda: getattr(copy, how)(handle)


@examples(100)
@given(data=st.data())
def test_device_context(data):
    def body(device):
        args, kwargs = data.draw(call_arguments(data.draw(st.integers(0, 2))), label="constructor")
        # Python never makes a handle of the base type.
        _, error = attempt(lambda: _DeviceContext(*args, **kwargs), CONVERTS)
        assert isinstance(error, TypeError), error
        handle = data.draw(st.sampled_from([device.context, null_handle(), ContextSub(*args)]), label="handle")
        for _ in range(data.draw(st.integers(1, 3))):
            _, error = attempt(pickling(handle, data), PICKLES)
            assert error is not None, "a handle was copied or pickled"
        # A handle of no context is refused by the SDK, never followed.
        for call in (lambda: _device_opener.close(handle), lambda: _device_opener.chip_count(handle)):
            _, error = attempt(call, CONVERTS)
            assert handle is device.context or isinstance(error, SdkError)

    run_example("_DeviceContext", body)


# ---- enumerate_devices and the records ----


@examples(100)
@given(data=st.data())
def test_enumerate_devices(data):
    def body(device):
        listed = enumerate_devices()
        args, kwargs = data.draw(st.one_of(st.just(((), {})), call_arguments(data.draw(st.integers(0, 2)))))
        drawn = data.draw(faults_for(["vexasdk_enum_get_info"]), label="faults")
        result, error = attempt(lambda: enumerate_devices(*args, **kwargs), CONVERTS, {"vexasdk_enum_get_info"},
                                drawn)
        assert error is not None or (not args and not kwargs and result == listed), (result, error)
        assert [d.connection_string for d in listed] == ["virtual:0"]

    run_example("enumerate_devices", body)


RECORDS = [ChipThresholdInfo, ChipInfo, ChipSettings, BiasInfo, MonitorRange, MonitorInfo, MonitorFlags,
           OnAvailChangedArgs, OnValueChangedArgs, DeviceProperties, BinnedParams, DdToaTotMetadata]


@examples(150)
@given(data=st.data())
def test_records(data):
    EXAMPLES["records"] += 1
    record = data.draw(st.sampled_from(RECORDS), label="record")
    fields = record._fields
    args, kwargs = data.draw(call_arguments(len(fields), fields), label="arguments")
    result, error = attempt(lambda: record(*args, **kwargs), (TypeError,))
    if error is None:
        # A record holds what it was given, as given.
        given = list(args) + [kwargs[name] for name in fields[len(args):]]
        assert type(result) is record and all(a is b for a, b in zip(result, given)) and len(result) == len(fields)
        replaced, error = attempt(lambda: result._replace(**data.draw(st.dictionaries(
            st.sampled_from(fields + ("other",)), anything(), max_size=2))), (TypeError, ValueError))
        assert error is not None or type(replaced) is record
    for enumeration in (OperationalMode, ChipPolarity):
        value = data.draw(anything(), label=enumeration.__name__)
        member, error = attempt(lambda: enumeration(value), (ValueError, TypeError, Boom))
        assert error is not None or member is value or member.value == value


# ---- open_device and Device ----

connection_strings = st.one_of(st.none(), st.sampled_from(["virtual:0", "virtual:0", "virtual:1", "virtual:00"]),
                               texts, anything())
OPENS = ["vexasdk_dev_open", "vexasdk_chip_get_count", "vexasdk_chip_get_info", "vexasdk_bias_get_count",
         "vexasdk_bias_get_range", "vexasdk_dev_get_unit_count", "vexasdk_mon_get_ids", "vexasdk_mon_get_info"]


def open_device_once(data):
    """open_device with a drawn connection string and faults; a failure
    leaves no context open unless its close failed too."""
    connection = data.draw(connection_strings, label="connection string")
    drawn = data.draw(faults_for(OPENS + ["vexasdk_enum_get_info", "vexasdk_dev_close"]), label="faults")
    surfaces = set(OPENS) | ({"vexasdk_enum_get_info"} if connection is None else set())
    before = set(_device_opener.open_context_addresses())
    opened, error = attempt(lambda: vexasdk.open_device(connection), CONVERTS, surfaces, drawn)
    if error is None:
        assert opened.connection_string == (connection if connection is not None else "virtual:0")
        assert [len(opened.chips), len(opened.bias_sources), len(opened.power_units), len(opened.monitors)] == [
            4, 1, 2, 8]
        return opened
    if not any(f.function == "vexasdk_dev_close" for f in drawn):
        assert set(_device_opener.open_context_addresses()) == before, "a failed open left its context open"
    return None


def device_method(device, data):
    """A drawn use of a Device: closing, the context manager, its text."""
    how = data.draw(st.sampled_from(["close", "close", "exit", "enter", "repr", "closed"]), label="use")
    if how == "close":
        return lambda: device.close()
    if how == "exit":
        args = data.draw(st.lists(anything(), max_size=3), label="exit arguments")
        return lambda: device.__exit__(*args)
    if how == "enter":
        return lambda: device.__enter__()
    return lambda: repr(device) if how == "repr" else device.closed


@examples(200)
@given(data=st.data())
def test_open_device_and_device(data):
    def body(device):
        devices = [device]
        for _ in range(data.draw(st.integers(0, 2), label="opens")):
            opened = open_device_once(data)
            if opened is not None:
                devices.append(opened)
        if data.draw(chance(1, 3), label="a Device of its own"):
            args, kwargs, _ = data.draw(arguments((("context", contexts(device)),
                                                   ("connection_string", connection_strings))), label="Device")
            made, error = attempt(lambda: vexasdk.Device(*args, **kwargs), CONVERTS)
            if error is None:
                devices.append(made)
        for _ in range(data.draw(st.integers(1, 3), label="uses")):
            chosen = data.draw(st.sampled_from(devices), label="device")
            drawn = data.draw(faults_for(["vexasdk_dev_close", "vexasdk_acq_abort", "vexasdk_acq_await_end"]),
                              label="faults")
            address = _device_opener.sdk_address(chosen.context)
            _, error = attempt(device_method(chosen, data), CONVERTS, {"vexasdk_dev_close"}, drawn)
            if chosen.closed:
                assert address not in _device_opener.open_context_addresses(), "a closed device's context is open"

    run_example("open_device and Device", body)


# ---- the device-opening bridge ----

# forget_callables tells the bridge that the SDK closed a context behind its
# back; said of an open context it would drop what the SDK still calls, so
# it is fuzzed with handles and addresses of no open context only (address 0,
# no context, among them).
FORGETS = st.one_of(st.builds(null_handle), st.integers(0, 2**64 - 1), texts, st.floats(), st.binary())


def bridge_calls(device, data):
    """A drawn call of a function of _device_opener; (call, allowed, surfaces)."""
    handle = st.one_of(st.just(device.context), st.just(device.context), st.builds(null_handle), anything())
    name = data.draw(st.sampled_from(["open", "close", "sdk_address", "connection_string", "monitor_descriptions",
                                      "bias_ranges", "power_unit_count", "chip_count", "chip_info",
                                      "open_context_addresses", "forget_callables", "close_all"]), label="function")
    function = getattr(_device_opener, name)
    if name == "open":
        args = (data.draw(connection_strings.filter(lambda c: c is not None)),)
    elif name == "chip_info":
        args = tuple(data.draw(st.lists(st.one_of(handle, st.integers(0, 5), ints), min_size=0, max_size=3)))
    elif name == "forget_callables":
        args = (data.draw(FORGETS.filter(lambda a: a not in _device_opener.open_context_addresses())),)
    elif name in ("open_context_addresses", "close_all"):
        args = tuple(data.draw(st.lists(anything(), max_size=1)))
    else:
        args = tuple(data.draw(st.lists(handle, min_size=1, max_size=1))) + tuple(
            data.draw(st.lists(anything(), max_size=1)))
    surfaces = {"open": ["vexasdk_dev_open"], "close": ["vexasdk_dev_close"],
                "monitor_descriptions": ["vexasdk_mon_get_ids", "vexasdk_mon_get_info"],
                "bias_ranges": ["vexasdk_bias_get_count", "vexasdk_bias_get_range"],
                "power_unit_count": ["vexasdk_dev_get_unit_count"], "chip_count": ["vexasdk_chip_get_count"],
                "chip_info": ["vexasdk_chip_get_info"]}.get(name, [])
    return (lambda: function(*args)), frozenset(surfaces)


@examples(150)
@given(data=st.data())
def test_device_opener(data):
    def body(device):
        for _ in range(data.draw(st.integers(1, 3), label="calls")):
            call, surfaces = bridge_calls(device, data)
            drawn = data.draw(faults_for(surfaces), label="faults")
            attempt(call, CONVERTS, surfaces, drawn)

    run_example("_device_opener", body)


def test_forgetting_address_0_keeps_the_callables_of_open_contexts():
    result = run_python("""
        import gc, vexasdk, vexasdk.sim as sim
        from vexasdk import _device_opener
        sim.set_monitor_rate(0)
        device = vexasdk.open_device()
        class Callback:
            def __call__(self, event):
                pass
        device.monitors[0].set_on_value_changed_cb(Callback())
        _device_opener.forget_callables(0)
        gc.collect()
        for _ in range(20):
            sim.fire_value_changed(0x100)
        device.close()
    """, "-X", "faulthandler")
    assert result.returncode == 0, result.stderr


# ---- calls from several threads at once ----


def _calls_of(name):
    """A Reentrant callback that makes the call `name`."""
    return Reentrant([name])


THREAD_STEPS = {
    "start": lambda d, v: d.acquisition_runner.start(Recorder(v % 3 == 0) if v % 2 else _calls_of(
        sorted(Reentrant.ACTIONS)[v % len(Reentrant.ACTIONS)])),
    "await_end": lambda d, v: d.acquisition_runner.await_end(),
    "abort": lambda d, v: d.acquisition_runner.abort(),
    "trigger": lambda d, v: d.acquisition_runner.trigger(),
    "abort through another runner": lambda d, v: AcquisitionRunner(d.chip_array, d.context).abort(),
    "set the mode": lambda d, v: d.chip_array.set_mode(list(M)[6 + v % 7]),
    "get the mode": lambda d, v: d.chip_array.get_mode(),
    "register": lambda d, v: getattr(d.monitors[v % 2], ("set_on_value_changed_cb", "set_on_avail_changed_cb")[v % 4 // 2])(
        Recorder() if v % 3 else _calls_of(sorted(Reentrant.ACTIONS)[v % len(Reentrant.ACTIONS)])),
    "fire": lambda d, v: (sim.fire_value_changed if v % 2 else sim.fire_avail_changed)(0x100 + v % 2, here=v % 3 == 0,
                                                                                        timeout=30),
    "set a threshold": lambda d, v: d.chips[v % 4].set_raw_threshold(1000 + v),
    "set a mask": lambda d, v: d.chips[v % 4].set_pixel_mask(np.full(65536, v % 2, np.uint8)),
    "power": lambda d, v: (d.power_units[v % 2].power_up if v % 3 else d.power_units[v % 2].power_down)(),
    "set the bias": lambda d, v: d.bias_sources[0].set_desired(v),
    "close": lambda d, v: d.close(),
    "open another": lambda d, v: vexasdk.open_device().close(),
    "enumerate": lambda d, v: enumerate_devices(),
}
steps = st.tuples(st.sampled_from(sorted(THREAD_STEPS)), st.integers(0, 11))


def run_steps(device, drawn, barrier, failures):
    barrier.wait()
    for name, value in drawn:
        try:
            THREAD_STEPS[name](device, value)
        except SdkError as error:
            check_sdk_error(error)
            # Monitor events not delivered within the timeout: a delivery hangs.
            if name == "fire" and error.code == sim.ERR_EBUSY:
                failures.append((name, value, error))
        except ValueError as error:
            # Each chip is asked for the mode on its own (start asks too): a
            # mode set in between is seen on some.
            if name not in ("get the mode", "start"):
                failures.append((name, value, error))
        except BaseException as error:  # noqa: B036 - reported in the main thread
            failures.append((name, value, error))


@examples(100)
@given(data=st.data())
def concurrent_calls(data):
    threads_steps = data.draw(st.lists(st.lists(steps, min_size=1, max_size=5), min_size=2, max_size=3),
                              label="steps of each thread")
    faulted = data.draw(faults_for(["vexasdk_acq_await_end", "vexasdk_acq_abort", "vexasdk_mon_set_value_changed_cb",
                                    "vexasdk_dev_close"]), label="faults")

    def body(device):
        if data.draw(chance(4, 5), label="power up"):
            for unit in device.power_units:
                unit.power_up()
        script(faulted)
        barrier = threading.Barrier(len(threads_steps))
        failures: list = []
        threads = [threading.Thread(target=run_steps, args=(device, drawn, barrier, failures), daemon=True)
                   for drawn in threads_steps]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(HANG_SECONDS / 2)
            if thread.is_alive():
                faulthandler.dump_traceback(all_threads=True)
                os._exit(3)  # a hang: shrinking would hang again and again
        assert failures == [], failures
        sim.clear_faults()

    record_example(threads_steps)
    run_example("concurrent calls", body)


def test_concurrent_calls(tmp_path):
    run_apart(__file__, "concurrent_calls", tmp_path)
