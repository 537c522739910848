import ctypes
import gc
import pickle
import sys
import threading
import time
import weakref

import pytest

from helpers import run_python

import vexasdk
import vexasdk.sim as sim
from vexasdk import SdkError, _device_opener
from vexasdk.monitor_channel import (
    MonitorChannel,
    MonitorFlags,
    MonitorInfo,
    MonitorRange,
    OnAvailChangedArgs,
    OnValueChangedArgs,
)

TEMP = 0x100  # "Chip 0 temperature", float
FAN = 0x400  # "Fan speed", int
VALUE_QUALNAME = "vexasdk.monitor_channel._mon_on_value_changed_cb"
AVAIL_QUALNAME = "vexasdk.monitor_channel._mon_on_avail_changed_cb"
VALUE_FAILED = "Failed to execute on-value-changed monitor callback."
AVAIL_FAILED = "Failed to execute on-availability-changed monitor callback."


def channel(device, name):
    return next(m for m in device.monitors if m.info().name == name)


def _sdk_id(chan):
    # The identifier the channel hands the SDK, read back from the call log.
    sim.clear_call_log()
    try:
        chan.fetch_value()
    except SdkError:
        pass  # no such monitor: the call log has the identifier all the same
    return sim.calls("vexasdk_mon_get_value")[-1]["mon_id"]


@pytest.fixture
def temp(device):
    return channel(device, "Chip 0 temperature")


@pytest.fixture
def fan(device):
    return channel(device, "Fan speed")


# ---- the module's face ----


@pytest.mark.parametrize("record, fields, annotations, summary", [
    (MonitorRange, ("min", "max"), ["float | int"] * 2, "Contains minimum and maximum monitor values."),
    (MonitorInfo, ("name", "type", "range"), ["str", "type[float] | type[int]", "MonitorRange"],
     "Contains monitor information."),
    (MonitorFlags, ("is_warning", "is_error", "is_available"), ["bool"] * 3, "Contains asynchronous monitor flags."),
    (OnAvailChangedArgs, ("info", "is_available", "timestamp"), ["MonitorInfo", "bool", "int"],
     "Arguments for on-availability-changed callback function."),
    (OnValueChangedArgs, ("info", "flags", "value", "timestamp"), ["MonitorInfo", "MonitorFlags", "float | int", "int"],
     "Arguments for on-value-changed callback function."),
])
def test_records(record, fields, annotations, summary):
    assert record._fields == fields
    assert list(record.__annotations__.values()) == annotations
    assert record.__doc__.startswith(summary)


@pytest.mark.parametrize("method, annotations", [
    ("info", {"return": "MonitorInfo"}),
    ("fetch_value", {"return": "float | int"}),
    ("set_on_avail_changed_cb", {"callback": "Callable[[OnAvailChangedArgs], None]", "return": "None"}),
    ("set_on_value_changed_cb", {"callback": "Callable[[OnValueChangedArgs], None]", "return": "None"}),
])
def test_method_annotations_and_signature_lines(method, annotations):
    fn = getattr(MonitorChannel, method)
    assert fn.__annotations__ == annotations
    params = ", ".join(f"{k}: {v}" for k, v in annotations.items() if k != "return")
    assert fn.__doc__.splitlines()[0] == (
        f"MonitorChannel.{method}(self{', ' + params if params else ''}) -> {annotations['return']}")


def test_module_namespace():
    import collections.abc
    import logging
    import typing

    import vexasdk.monitor_channel as mc

    assert mc.__doc__ == "Monitor channel functionality."
    assert (mc.logging, mc.Callable, mc.NamedTuple) == (logging, collections.abc.Callable, typing.NamedTuple)
    assert MonitorChannel.__doc__.startswith("Monitor channel.\n")


# ---- construction ----


def test_info_is_the_object_given(device):
    anything = object()
    chan = MonitorChannel(TEMP, anything, device.context)
    assert chan.info() is anything and chan.info() is anything


@pytest.mark.parametrize("args, error, text", [
    ((TEMP, None, None), TypeError,
     "Argument 'context' has incorrect type (expected vexasdk._device_context._DeviceContext, got NoneType)"),
    ((2**31, None, "ctx"), OverflowError, "value too large to convert to int"),
    (("7", None, "ctx"), TypeError, "Argument 'mon_id' has incorrect type (expected int, got str)"),
    ((TEMP,), TypeError, "__cinit__() takes exactly 3 positional arguments (1 given)"),
])
def test_constructor_errors(device, args, error, text):
    args = tuple(device.context if a == "ctx" else a for a in args)
    with pytest.raises(error) as excinfo:
        MonitorChannel(*args)
    assert str(excinfo.value) == text


@pytest.mark.parametrize("given, sdk_id", [(3.9, 3), (-1, 4294967295), (-(2**31), 2**31)])
def test_identifier_reaches_sdk_as_32_bits(device, given, sdk_id):
    chan = MonitorChannel(given, MonitorInfo("x", int, MonitorRange(0, 1)), device.context)
    assert _sdk_id(chan) == sdk_id


def test_no_channel_without_its_arguments(device):
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 3 positional arguments \(0 given\)"):
        MonitorChannel.__new__(MonitorChannel)
    chan = MonitorChannel(TEMP, MonitorInfo("x", float, MonitorRange(0.0, 1.0)), device.context)
    assert chan.fetch_value() == 41.5
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(chan)


# ---- fetch_value ----


def test_fetch_value_types(temp, fan):
    sim.set_monitor_value(FAN, 2**32 - 1)
    sim.set_monitor_value(TEMP, -12.25)
    assert (type(fan.fetch_value()), fan.fetch_value()) == (int, 4294967295)
    assert (type(temp.fetch_value()), temp.fetch_value()) == (float, -12.25)


def test_fetch_value_with_unknown_type_reads_then_raises(device):
    chan = MonitorChannel(TEMP, MonitorInfo("Odd", str, MonitorRange(0, 1)), device.context)
    sim.clear_call_log()
    with pytest.raises(TypeError) as excinfo:
        chan.fetch_value()
    assert str(excinfo.value) == "Monitor Odd: Invalid monitor type."
    assert sim.call_count("vexasdk_mon_get_value") == 1


@pytest.mark.parametrize("name, shown", [("Chip 0 temperature", "Chip 0 temperature"), (b"\xff", "b'\\xff'")])
@pytest.mark.parametrize("call, sdk_fn, suffix", [
    (lambda c: c.fetch_value(), "vexasdk_mon_get_value", ": Failed to fetch the value."),
    (lambda c: c.set_on_avail_changed_cb(print), "vexasdk_mon_set_avail_changed_cb",
     ": Failed to set on-availability-changed-callback."),
    (lambda c: c.set_on_value_changed_cb(print), "vexasdk_mon_set_value_changed_cb",
     ": Failed to set on-value-changed-callback."),
])
def test_failure_messages_carry_the_name(device, name, shown, call, sdk_fn, suffix):
    chan = MonitorChannel(TEMP, MonitorInfo(name, float, MonitorRange(0.0, 1.0)), device.context)
    sim.fail(sdk_fn, sim.ERR_EBUSY)
    with pytest.raises(SdkError) as excinfo:
        call(chan)
    assert excinfo.value.message == "Monitor " + shown + suffix
    assert excinfo.value.code == sim.ERR_EBUSY


def test_sdk_refuses_unknown_monitors(device):
    chan = MonitorChannel(0x999, MonitorInfo("m", float, MonitorRange(0.0, 1.0)), device.context)
    for call in (chan.fetch_value, lambda: chan.set_on_value_changed_cb(print),
                 lambda: chan.set_on_avail_changed_cb(print)):
        with pytest.raises(SdkError) as excinfo:
            call()
        assert excinfo.value.code == sim.ERR_EINVAL


def test_sdk_refuses_null_pointers(device):
    lib, ctx = sim._lib, _device_opener.sdk_address(device.context)
    for fn in ("vexasdk_mon_set_value_changed_cb", "vexasdk_mon_set_avail_changed_cb"):
        getattr(lib, fn).argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_void_p]
        assert getattr(lib, fn)(ctx, TEMP, None, None) == sim.ERR_EINVAL
    lib.vexasdk_mon_get_value.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p]
    assert lib.vexasdk_mon_get_value(ctx, TEMP, None) == sim.ERR_EFAULT
    assert lib.vexasdk_mon_get_value(None, TEMP, ctypes.byref(ctypes.c_uint32())) == sim.ERR_EFAULT


# ---- Device.monitors ----


def test_device_monitors_describe_the_default_device(device):
    infos = {m.info().name: m.info() for m in device.monitors}
    assert infos["Chip 0 temperature"] == MonitorInfo("Chip 0 temperature", float, MonitorRange(-40.0, 125.0))
    assert infos["Readout error count"] == MonitorInfo("Readout error count", int, MonitorRange(0, 4294967295))
    assert len(device.monitors) == 8


def test_device_monitors_unusual_descriptions():
    sim.set_monitor(0xFFFFFFF0, b"caf\xe9", 9, (1, 2**32 - 1))
    sim.set_monitor_value(0xFFFFFFF0, 2**31)
    with vexasdk.open_device() as dev:
        chan = dev.monitors[-1]
        assert chan.info() == MonitorInfo("caf\\xe9", int, MonitorRange(1, 4294967295))
        assert chan.fetch_value() == 2**31


def test_device_with_nameless_monitor_fails_to_open_and_closes():
    sim.set_monitor(0x900, None, sim.MON_FLOAT, (0.0, 1.0))
    with pytest.raises(ValueError, match="monitor 2304 without a name"):
        vexasdk.open_device()
    assert sim.call_count("vexasdk_dev_close") == 1


# ---- events ----


def recorder():
    got = []
    return got, got.append


@pytest.mark.parametrize("kind, rng, typ", [(sim.MON_FLOAT, (-1.5, 2.5), float), (sim.MON_INT, (2**31, 2**32 - 1), int),
                                            (0, (0, 5), int), (3, (0, 5), int), (2**32 - 1, (0, 5), int)])
def test_event_types(temp, kind, rng, typ):
    got, cb = recorder()
    temp.set_on_avail_changed_cb(cb)
    temp.set_on_value_changed_cb(cb)
    value = 0.75 if typ is float else 4294967295
    sim.fire_avail_changed(TEMP, True, type=kind, range=rng, timestamp=2**32 - 1)
    sim.fire_value_changed(TEMP, value, type=kind, range=rng, flags=(True, False, True), timestamp=0)
    info = MonitorInfo("Chip 0 temperature", typ, MonitorRange(*rng))
    assert got == [OnAvailChangedArgs(info, True, 4294967295),
                   OnValueChangedArgs(info, MonitorFlags(True, False, True), value, 0)]
    assert [type(x) for x in (got[0].info.range.min, got[1].value)] == [typ, typ]


def test_two_events_give_equal_but_distinct_infos(temp):
    got, cb = recorder()
    temp.set_on_value_changed_cb(cb)
    sim.fire_value_changed(TEMP)
    sim.fire_value_changed(TEMP)
    assert got[0].info == got[1].info and got[0].info is not got[1].info


def test_records_are_looked_up_at_each_event(temp, monkeypatch):
    import vexasdk.monitor_channel as mc

    got, cb = recorder()
    temp.set_on_value_changed_cb(cb)
    monkeypatch.setattr(mc, "MonitorFlags", lambda *flags: ("flags", flags))
    sim.fire_value_changed(TEMP, 1.0, flags=(False, True, False))
    assert got[0].flags == ("flags", (False, True, False))


def test_callable_error_is_logged_and_next_event_delivered(temp, vexasdk_log):
    calls = []

    def cb(event):
        calls.append(event)
        if len(calls) == 1:
            raise ValueError("boom")

    temp.set_on_value_changed_cb(cb)
    sim.fire_value_changed(TEMP)
    sim.fire_value_changed(TEMP)
    [(level, message, exc_info)] = vexasdk_log()
    assert (level, message, exc_info[0]) == ("ERROR", VALUE_FAILED, ValueError)
    names = []
    tb = exc_info[2]
    while tb is not None:
        names.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename))
        tb = tb.tb_next
    assert names[0] == (VALUE_QUALNAME, "vexasdk/impl/monitor_channel")
    assert len(calls) == 2


def test_handled_exception_is_restored(temp, vexasdk_log):
    def cb(event):
        raise ValueError("inside")

    temp.set_on_avail_changed_cb(cb)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        sim.fire_avail_changed(TEMP, here=True)
        assert sys.exception() is outer
    assert [(m, e[0]) for _, m, e in vexasdk_log()] == [(AVAIL_FAILED, ValueError)]


@pytest.mark.parametrize("register, fire, qualname", [
    (MonitorChannel.set_on_value_changed_cb, sim.fire_value_changed, VALUE_QUALNAME),
    (MonitorChannel.set_on_avail_changed_cb, sim.fire_avail_changed, AVAIL_QUALNAME),
])
def test_base_exception_goes_to_the_unraisable_hook(temp, vexasdk_log, monkeypatch, capsys, register, fire, qualname):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))

    def cb(event):
        raise KeyboardInterrupt

    register(temp, cb)
    fire(TEMP)
    assert seen == [(KeyboardInterrupt, qualname)]
    assert vexasdk_log() == []
    assert "KeyboardInterrupt" in capsys.readouterr().err


@pytest.mark.parametrize("fire, error", [
    (lambda: sim.fire_value_changed(TEMP, name=None), ValueError),
    (lambda: sim.fire_value_changed(TEMP, null_info=True), ValueError),
    (lambda: sim.fire_value_changed(TEMP, null_flags=True), ValueError),
    (lambda: sim.fire_avail_changed(TEMP, name=None), ValueError),
    (lambda: sim.fire_avail_changed(TEMP, null_info=True), ValueError),
])
def test_unreadable_records_are_logged_without_a_call(temp, vexasdk_log, fire, error):
    got, cb = recorder()
    temp.set_on_value_changed_cb(cb)
    temp.set_on_avail_changed_cb(cb)
    fire()
    assert got == []
    [(level, _, exc_info)] = vexasdk_log()
    assert (level, exc_info[0]) == ("ERROR", error)


def test_a_name_that_is_not_utf8_reads_alike_when_opening_and_in_events(vexasdk_log):
    # One rule for both: the event is delivered, never lost to its name.
    sim.set_monitor(0x777, b"Temp \xc3\x28 probe", sim.MON_FLOAT, (0.0, 1.0))
    with vexasdk.open_device() as dev:
        [chan] = [c for c in dev.monitors if c.info().name.startswith("Temp ")]
        assert chan.info().name == "Temp \\xc3( probe"
        got, cb = recorder()
        chan.set_on_value_changed_cb(cb)
        sim.fire_value_changed(0x777, 0.5)
        assert [event.info.name for event in got] == [chan.info().name] and vexasdk_log() == []


def test_registered_none_is_logged_per_event(temp, vexasdk_log):
    temp.set_on_value_changed_cb(None)
    sim.fire_value_changed(TEMP)
    sim.fire_value_changed(TEMP)
    assert [(m, e[0]) for _, m, e in vexasdk_log()] == [(VALUE_FAILED, TypeError)] * 2


# ---- lifetime of registered callables ----


class Callback:
    def __init__(self, sink):
        self.sink = sink

    def __call__(self, event):
        self.sink.append(event.value)


def test_dropped_callable_and_channel_are_still_safe(device):
    sink = []
    chan = channel(device, "Chip 0 temperature")
    cb = Callback(sink)
    alive = weakref.ref(cb)
    chan.set_on_value_changed_cb(cb)
    del cb, chan
    device.monitors.clear()
    gc.collect()
    sim.fire_value_changed(TEMP, 1.0)
    assert sink == [1.0] and alive() is not None


def test_replaced_callable_is_released_only_once_accepted(temp):
    first, second = Callback([]), Callback([])
    first_alive = weakref.ref(first)
    temp.set_on_value_changed_cb(first)
    del first
    sim.fail("vexasdk_mon_set_value_changed_cb", sim.ERR_EBUSY)
    with pytest.raises(SdkError):
        temp.set_on_value_changed_cb(second)
    assert first_alive() is not None
    temp.set_on_value_changed_cb(second)
    assert first_alive() is None


@pytest.mark.parametrize("end", [lambda dev: dev.close(), lambda dev: sim.reset(),
                                 lambda dev: sim.set_device_count(0)])
def test_closing_releases_callables(end):
    dev = vexasdk.open_device()
    cb = Callback([])
    alive = weakref.ref(cb)
    channel(dev, "Chip 0 temperature").set_on_avail_changed_cb(cb)
    del cb
    end(dev)
    assert alive() is None
    dev.close()


def test_callback_may_register_its_successor(temp):
    got = []

    def second(event):
        got.append("second")

    def first(event):
        got.append("first")
        temp.set_on_value_changed_cb(second)

    temp.set_on_value_changed_cb(first)
    sim.fire_value_changed(TEMP)
    sim.fire_value_changed(TEMP)
    assert got == ["first", "second"]


def run_script(body, tmp_path):
    # A crash must not take the test session with it.
    result = run_python(body, timeout=120, script_helpers=True)
    assert result.returncode == 0, result.stderr
    return result


def test_concurrent_replacement_keeps_every_callable_the_sdk_may_hold(tmp_path):
    run_script("""
        import time, vexasdk, vexasdk.sim as sim
        dev = vexasdk.open_device()
        class Callback:
            def __call__(self, event):
                time.sleep(0.0001)  # lets the registering threads interleave
        sim.set_monitor_rate(20000)
        stop = time.monotonic() + 2
        def churn():
            # Few slots, so that registrations of one slot overlap often.
            while time.monotonic() < stop:
                for chan in dev.monitors[:2]:
                    chan.set_on_value_changed_cb(Callback())
                    chan.set_on_avail_changed_cb(Callback())
        in_threads(churn, 3)
        dev.close()
    """, tmp_path)


def test_close_from_a_callback_is_refused(temp, device):
    codes = []

    def cb(event):
        try:
            _device_opener.close(device.context)
        except SdkError as error:
            codes.append(error.code)

    temp.set_on_value_changed_cb(cb)
    sim.fire_value_changed(TEMP)
    assert codes == [sim.ERR_BAD_STATE]


# ---- the virtual detector's own events ----


def test_temperature_events_arrive_on_the_detector_thread(temp):
    got = []
    temp.set_on_value_changed_cb(lambda e: got.append((threading.get_ident(), e)))
    sim.set_monitor_rate(500)
    deadline = time.monotonic() + 20
    while len(got) < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    sim.set_monitor_rate(0)
    assert len(got) >= 3
    for ident, event in got:
        assert ident != threading.get_ident()
        assert event.info.name == "Chip 0 temperature" and type(event.value) is float
        assert -40.0 <= event.value <= 125.0


@pytest.mark.parametrize("close", ["close", "keep"])
def test_exit_while_events_stream_is_clean(close, tmp_path):
    run_script(f"""
        import time, vexasdk, vexasdk.sim as sim
        dev = vexasdk.open_device()
        seen = []
        for chan in dev.monitors:
            chan.set_on_value_changed_cb(lambda e: (seen.append(e), time.sleep(0.001)))
            chan.set_on_avail_changed_cb(seen.append)
        sim.set_monitor_rate(2000)
        while len(seen) < 20:
            time.sleep(0.005)
        if "{close}" == "close":
            dev.close()
        del dev
    """, tmp_path)


def test_a_fresh_device_fires_monitor_events_on_its_own():
    result = run_python("""
        import threading
        import vexasdk
        got, done = [], threading.Event()
        def on_value(args):
            got.append((args.info.name, type(args.value).__name__, threading.current_thread() is threading.main_thread()))
            done.set()
        with vexasdk.open_device() as device:
            [temperature] = [m for m in device.monitors if m.info().name == "Chip 0 temperature"]
            temperature.set_on_value_changed_cb(on_value)
            print(done.wait(30), got[:1])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("True [('Chip 0 temperature', 'float', False)]")


def test_registration_racing_a_close_is_never_called_after_it(tmp_path):
    # Another context keeps the device's monitor thread firing. A registration
    # that slipped in while a context was closing would stay with the SDK
    # after the close released its callable.
    run_script("""
        import gc, threading, time, vexasdk, vexasdk.sim as sim
        sim.set_monitor_rate(5000)
        other = vexasdk.open_device()
        for _ in range(15):
            dev = vexasdk.open_device()
            stop = threading.Event()
            def register():
                while not stop.is_set():
                    try:
                        for channel in dev.monitors:
                            channel.set_on_value_changed_cb(lambda event: None)
                    except vexasdk.SdkError:
                        pass
            threads = [threading.Thread(target=register) for _ in range(3)]
            for t in threads:
                t.start()
            time.sleep(0.01)
            dev.close()
            stop.set()
            for t in threads:
                t.join()
            gc.collect()
        time.sleep(0.1)
        other.close()
    """, tmp_path)


def test_callbacks_of_two_devices_registering_with_each_other_cannot_deadlock():
    # B's callback is running (and would register on A); A's callback replaces
    # B's running callback. Waiting for it could wait forever, so the SDK refuses.
    sim.set_device_count(2)
    with vexasdk.open_device("virtual:0") as a, vexasdk.open_device("virtual:1") as b:
        [chan_a] = [m for m in a.monitors if m.info().name == "Chip 0 temperature"]
        [chan_b] = [m for m in b.monitors if m.info().name == "Chip 0 temperature"]
        b_running, release_b, outcome = threading.Event(), threading.Event(), []

        def on_b(event):
            b_running.set()
            release_b.wait(10)

        def on_a(event):
            try:
                chan_b.set_on_value_changed_cb(lambda event: None)
                outcome.append("registered")
            except SdkError as error:
                outcome.append(error.code)

        chan_b.set_on_value_changed_cb(on_b)
        chan_a.set_on_value_changed_cb(on_a)
        sim.fire_value_changed(TEMP, device=1, wait=False)
        assert b_running.wait(10)
        sim.fire_value_changed(TEMP, device=0, timeout=5)
        release_b.set()
        sim.await_monitor_events(device=1)
        assert outcome == [sim.ERR_EBUSY]
