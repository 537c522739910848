"""What the property-based tests share: their settings profiles, an example
counter, scripted SDK answers, and strategies for arbitrary and hostile
arguments.

Profiles: "default" for a normal run, "ci" (selected when the environment
variable CI is set) the same but derandomised so that a failure reproduces,
and "thorough" (HYPOTHESIS_PROFILE=thorough) with ten times the examples.
"""

from __future__ import annotations

import collections
import contextlib
import enum
import json
import logging
import os
import re
import signal
from pathlib import Path
from typing import NamedTuple

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk.pixel_chip import ChipPolarity, OperationalMode

# ---- settings ----

# Every example starts from a reset virtual detector, whatever the fixtures
# did; the examples' sizes are what the tests ask for.
_COMMON = dict(deadline=None, suppress_health_check=list(HealthCheck), print_blob=True)
settings.register_profile("default", **_COMMON)
settings.register_profile("ci", derandomize=True, database=None, **_COMMON)
settings.register_profile("thorough", **_COMMON)

PROFILE = os.environ.get("HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "default")
settings.load_profile(PROFILE)
_SCALE = 10 if PROFILE == "thorough" else 1


def examples(count: int) -> settings:
    """Settings of a property that tries `count` examples in a normal run."""
    return settings(max_examples=count * _SCALE)


# Examples each property ran, by name, for the session's summary.
EXAMPLES: collections.Counter[str] = collections.Counter()
_EXAMPLE_FILE = "FUZZ_EXAMPLE_FILE"


def record_example(example: object) -> None:
    """Run apart, leaves the example where a crash would not take it."""
    path = os.environ.get(_EXAMPLE_FILE)
    if path:
        Path(path).write_text(repr(example))


def begin(name: str, example: object) -> None:
    """Counts an example of the property `name`, and records it."""
    EXAMPLES[name] += 1
    record_example(example)


def run_apart(test_file: str, name: str, tmp_path: Path) -> None:
    """Runs the property `name` of the test module `test_file` in a fresh
    interpreter, so that a crash fails the test and not the session; adds the
    examples it tried to this session's."""
    from helpers import run_python

    example = tmp_path / "example"
    code = f"""
        import json, sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import fuzzing, {Path(test_file).stem} as properties
        properties.{name}()
        print(json.dumps(fuzzing.EXAMPLES))
    """
    os.environ[_EXAMPLE_FILE] = str(example)
    try:
        result = run_python(code, "-X", "faulthandler", timeout=600 * _SCALE)
    finally:
        del os.environ[_EXAMPLE_FILE]
    last = example.read_text() if example.exists() else "(none)"
    assert result.returncode == 0, f"{result.stderr[-20000:]}\n\nThe last example it tried: {last}"
    EXAMPLES.update(json.loads(result.stdout.strip().splitlines()[-1]))


# ---- the SDK's answers ----

_HEADERS = Path(__file__).resolve().parents[1] / "sdk" / "include" / "vexasdk"
# Every function of the SDK proper, as its headers declare them.
SDK_FUNCTIONS = sorted({name for header in _HEADERS.glob("*.h") if header.name != "sim.h"
                        for name in re.findall(r"VEXASDK_API\s+\w+\s+(vexasdk_\w+)\s*\(", header.read_text())})
assert len(SDK_FUNCTIONS) > 30, SDK_FUNCTIONS

SDK_CODES = [sim.ERR_ENOMEM, sim.ERR_EFAULT, sim.ERR_EBUSY, sim.ERR_ENODEV, sim.ERR_EINVAL, sim.ERR_BAD_STATE]
# Codes the SDK does not define: anything it answers that is not success.
UNKNOWN_CODES = st.one_of(st.sampled_from([1, -1, 12, 5001, -5000, 2**31 - 1, -(2**31)]),
                          st.integers(-(2**31), 2**31 - 1).filter(bool))


class Fault(NamedTuple):
    function: str
    code: int
    times: int | None  # None: every call


def _allowed_fault(fault: Fault) -> bool:
    # Known and being fixed: a close answering ENODEV releases the monitor
    # callables while the SDK still holds them.
    return not (fault.function == "vexasdk_dev_close" and fault.code == sim.ERR_ENODEV)


def fault_of(functions: list[str]) -> st.SearchStrategy[Fault]:
    return st.builds(Fault, st.sampled_from(functions), st.one_of(st.sampled_from(SDK_CODES), UNKNOWN_CODES),
                     st.one_of(st.just(1), st.integers(1, 4), st.none())).filter(_allowed_fault)


# Faults of any SDK functions (and of one that does not exist).
faults = st.lists(fault_of(SDK_FUNCTIONS + ["vexasdk_no_such_function"]), max_size=3, unique_by=lambda f: f.function)


def faults_for(functions) -> st.SearchStrategy[list[Fault]]:
    """None, or faults mostly of `functions`: a fault of a function the call
    never makes tests little."""
    if not functions:
        return st.one_of(st.just([]), faults)
    aimed = st.lists(fault_of(sorted(functions)), min_size=1, max_size=2, unique_by=lambda f: f.function)
    return st.one_of(st.just([]), st.just([]), faults, aimed, aimed)


def script(drawn: list[Fault]) -> None:
    for fault in drawn:
        sim.fail(fault.function, fault.code, fault.times)


@contextlib.contextmanager
def quiet_log():
    """The "vexasdk" logger's records counted rather than printed: fuzzed
    callbacks fail by the thousand on the SDK's threads."""
    logger = logging.getLogger("vexasdk")
    counter = _Counting()
    propagate, logger.propagate = logger.propagate, False
    logger.addHandler(counter)
    try:
        yield counter
    finally:
        logger.removeHandler(counter)
        logger.propagate = propagate


class _Counting(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record):
        self.count += 1


def check_sdk_error(error: SdkError) -> None:
    """An SdkError says what failed: a message, a failure code and its name."""
    assert isinstance(error.message, str) and error.message, error
    assert type(error.code) is int and error.code != sim.SUCCESS, error
    known = {code: name for code, name in zip(SDK_CODES, ("VEXASDK_ERR_ENOMEM", "VEXASDK_ERR_EFAULT",
                                                          "VEXASDK_ERR_EBUSY", "VEXASDK_ERR_ENODEV",
                                                          "VEXASDK_ERR_EINVAL", "VEXASDK_ERR_BAD_STATE"))}
    assert error.name == known.get(error.code, "VEXASDK_ERR_UNKNOWN"), error
    assert str(error)


# ---- arbitrary arguments ----


class Boom(Exception):
    """What the fuzzed arguments raise themselves: it may come out of any call
    that converts or reads them."""


def _boom(*args, **kwargs):
    raise Boom("raised by the argument")


def _boom_property(self):
    raise Boom("raised by the argument")


def _missing_property(self):
    raise AttributeError("the argument has no such attribute")


INT_EDGES = [0, 1, -1, 2**7, 2**8, 2**16, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1, 2**32, 2**63 - 1,
             2**63, -(2**63), 2**64 - 1, 2**64, -(2**64), 10**30, -(10**30), 10**400]
FLOAT_EDGES = [0.0, -0.0, 0.5, -1.5, 1e-45, 1e38, 3.5e38, 1e308, float("nan"), float("inf"), float("-inf")]

ints = st.one_of(st.sampled_from(INT_EDGES), st.integers())
floats = st.one_of(st.sampled_from(FLOAT_EDGES), st.floats())
texts = st.one_of(st.sampled_from(["", "\0", "a\0b", "\udcff", "virtual:0", "virtual:1", "virtual:0 ", "é" * 20]),
                  st.text(max_size=20))

NUMPY_SCALAR_TYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                      np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128, np.clongdouble,
                      np.datetime64, np.timedelta64, np.str_, np.bytes_, np.void, np.object_]
_ARRAY_DTYPES = st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=4), hnp.unicode_string_dtypes(max_len=4),
                          hnp.array_dtypes(max_size=3), st.just(np.dtype(object)))


def _views(array: np.ndarray) -> st.SearchStrategy[np.ndarray]:
    """The array and views of it that are not C-contiguous, or not writable."""
    def readonly(a):
        a = a.view()
        a.flags.writeable = False
        return a

    views = [array, readonly(array)]
    if array.ndim:
        views += [array.T, array[::-1], array[..., ::2], np.asfortranarray(array)]
    return st.sampled_from(views)


numpy_arrays = hnp.arrays(_ARRAY_DTYPES, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3)).flatmap(
    _views)
numpy_scalars = hnp.arrays(st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=3),
                                     hnp.unicode_string_dtypes(max_len=3)), ()).map(lambda a: a[()])


class _Other(enum.Enum):
    zero = 0
    negative = -1
    text = "7"
    pair = (1, 2)


class _Big(enum.IntEnum):
    huge = 2**40
    seven = 7


class _Bits(enum.Flag):
    one = 1
    high = 2**33


ENUM_MEMBERS = [*OperationalMode, *ChipPolarity, *_Other, *_Big, *_Bits, signal.SIGINT]


class IntSub(int):
    """An int whose text and conversions are its own."""

    def __str__(self):
        raise Boom("str of an int subclass")

    def __index__(self):
        return 7


class FloatSub(float):
    def __float__(self):
        return 1.0


class StrSub(str):
    def __str__(self):
        return "virtual:0"

    def encode(self, *args, **kwargs):
        raise Boom("encode of a str subclass")


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class ArraySub(np.ndarray):
    """An array whose attributes the caller cannot trust."""

    @property
    def shape(self):
        raise Boom("shape of an array subclass")


subclass_instances = st.one_of(
    st.builds(IntSub, ints.filter(lambda i: abs(i) < 2**200)),
    st.builds(FloatSub, floats),
    st.builds(StrSub, texts.filter(lambda t: "\udcff" not in t)),
    st.builds(ListSub, st.lists(st.integers(), max_size=3)),
    st.builds(TupleSub, st.lists(st.integers(), max_size=3)),
    st.builds(lambda n: np.zeros(n, np.uint8).view(ArraySub), st.sampled_from([0, 65536])),
    st.builds(lambda n: np.ones((n, n), np.uint8).view(np.matrix), st.sampled_from([1, 256])),
    st.builds(lambda n: np.ma.masked_array(np.ones(n, np.uint8), mask=np.arange(n) % 2 == 0),
              st.sampled_from([3, 65536])),
)

_WRONG_RETURNS = st.one_of(st.sampled_from(["1", None, 1.5, object(), [1], b"1", True]), ints, floats)
# What a caller's object may be asked for: data attributes and methods.
_DATA_ATTRIBUTES = ("value", "name", "width", "height", "dwell_time_ns", "type", "range", "supported_modes", "mode",
                    "dtype", "ndim", "shape")
_METHODS = ("flatten", "info", "settings", "configure", "get_mode", "set_mode")


@st.composite
def hostile(draw) -> object:
    """An object whose conversions, attributes and protocols each are absent,
    raise, or answer something of the wrong kind."""
    namespace: dict[str, object] = {}
    described = []
    for dunder in ("__index__", "__int__", "__float__"):
        kind = draw(st.sampled_from(["absent", "raises", "answers"]))
        if kind == "raises":
            namespace[dunder] = _boom
        elif kind == "answers":
            answer = draw(_WRONG_RETURNS)
            namespace[dunder] = lambda self, answer=answer: answer
            kind = f"answers {answer!r}"
        described.append(f"{dunder} {kind}")
    for name in draw(st.lists(st.sampled_from(_DATA_ATTRIBUTES + _METHODS), max_size=4, unique=True)):
        kind = draw(st.sampled_from(["raises", "is missing", "is"]))
        if kind == "raises":
            namespace[name] = _boom if name in _METHODS else property(_boom_property)
        elif kind == "is missing":
            namespace[name] = property(_missing_property)
        else:
            value = draw(st.one_of(st.sampled_from(ENUM_MEMBERS), _WRONG_RETURNS))
            namespace[name] = (lambda self, *args, value=value: value) if name in _METHODS else property(
                lambda self, value=value: value)
            kind = f"is {value!r}"
        described.append(f"{name} {kind}")
    for dunder in draw(st.lists(st.sampled_from(["__str__", "__format__", "__eq__", "__hash__", "__bool__",
                                                 "__call__", "__len__", "__iter__", "__getitem__"]),
                                max_size=3, unique=True)):
        namespace[dunder] = _boom
        described.append(f"{dunder} raises")
    text = ", ".join(described)
    namespace["__repr__"] = lambda self: f"<hostile: {text}>"
    return type("Hostile", (), namespace)()


scalars = st.one_of(st.none(), st.booleans(), ints, floats, texts, st.binary(max_size=8), st.builds(bytearray),
                    numpy_scalars, st.sampled_from(ENUM_MEMBERS),
                    st.sampled_from([int, float, str, object, repr, len, type, Ellipsis, NotImplemented]))


def anything() -> st.SearchStrategy[object]:
    """Any object a caller might hand over: scalars at their edges, numpy
    scalars and arrays, containers, hostile objects, subclasses of the
    expected types, and members of the wrong enumerations."""
    return st.one_of(
        scalars,
        numpy_arrays,
        hostile(),
        subclass_instances,
        st.lists(scalars, max_size=3),
        st.tuples(scalars, scalars),
        st.tuples(scalars, scalars, scalars),
        st.dictionaries(texts, scalars, max_size=2),
    )


@st.composite
def call_arguments(draw, expected: int, names: tuple[str, ...] = ()) -> tuple[tuple, dict]:
    """Positional and keyword arguments for a call that takes `expected`
    arguments named `names`: mostly that many, now and then too few, too many,
    duplicated or unknown keywords."""
    values = draw(st.lists(anything(), min_size=expected, max_size=expected))
    shape = draw(st.sampled_from(["positional"] * 6 + ["keywords"] * 2 + ["fewer", "more", "unknown", "twice"]))
    if shape == "keywords" and len(names) == expected:
        return (), dict(zip(names, values))
    if shape == "fewer" and expected:
        return tuple(values[:-1]), {}
    if shape == "more":
        return tuple(values) + (draw(anything()),), {}
    if shape == "unknown":
        return tuple(values), {draw(st.sampled_from(["x", "self", "ctx", "callback2"])): draw(anything())}
    if shape == "twice" and names and expected:
        return tuple(values), {names[0]: values[0]}
    return tuple(values), {}
