import sys

import numpy as np
import pytest

from helpers import random_records

import vexasdk.sim as sim
from vexasdk import _t3_toa_tot

# Every test here acquires.
pytestmark = pytest.mark.usefixtures("ready")

MODULE = "_t3_toa_tot"
CALLBACK_FAILED = "Failed to execute acquisition data callback."
FETCH_FAILED = {
    "dd_toa_tot_cb": "Failed to retrieve Timepix3 data-driven ToA-ToT packets.",
    "fb_toa_tot_cb": "Failed to retrieve Timepix3 frame-based ToA-ToT packets.",
}


def packets(n, seed=0):
    return random_records(sim.TOA_TOT_DTYPE, n, seed)


def collect(device, name, blocks=1, threads=1):
    calls = []
    sim.deliver(device.context, MODULE, name, lambda *args: calls.append(args), threads=threads)
    assert sim.blocks_delivered() == blocks
    return calls


def assert_packets(view, expected):
    assert isinstance(view, np.recarray)
    assert view.dtype == _t3_toa_tot._toa_tot_dtype
    assert view.shape == expected.shape
    assert view.tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "n, tdcs",
    [
        (65536, [np.arange(i * 1000, i * 1000 + 7 * i + 1, dtype=np.uint64) for i in range(4)]),
        (3, []),
        (0, [[5, 6], []]),
        (1, [[], [2**64 - 1]]),
    ],
    ids=["65536-packets-4-tdcs", "no-tdcs", "no-packets-empty-tdc", "empty-first-tdc"],
)
def test_data_driven_block_reaches_callback_unchanged(device, n, tdcs):
    sent = packets(n)
    sim.queue_toa_tot(sent, shutter_time=1234, tdcs=tdcs)
    [(view, metadata)] = collect(device, "dd_toa_tot_cb")
    assert_packets(view, sent)
    for field in ("address", "tot", "toa"):
        np.testing.assert_array_equal(getattr(view, field), sent[field])
    assert type(metadata) is _t3_toa_tot.DdToaTotMetadata
    assert metadata.tdcs.shape == (len(tdcs),) and metadata.tdcs.dtype == object
    for got, want in zip(metadata.tdcs, tdcs):
        assert isinstance(got, np.recarray) and got.dtype == np.uint64
        np.testing.assert_array_equal(got, np.asarray(want, dtype=np.uint64))


@pytest.mark.parametrize("shutter", [0, 2**63 - 1, 2**63, 2**64 - 1])
def test_shutter_start_is_exact_python_int(device, shutter):
    sim.queue_toa_tot(packets(2), shutter_time=shutter)
    [(_, metadata)] = collect(device, "dd_toa_tot_cb")
    assert type(metadata.shutter_start) is int and metadata.shutter_start == shutter


@pytest.mark.parametrize("n", [0, 5, 4096])
def test_frame_based_block_gets_packets_alone(device, n):
    sent = packets(n, seed=n)
    sim.queue_toa_tot(sent, shutter_time=99, tdcs=[[1, 2]])
    [(view,)] = collect(device, "fb_toa_tot_cb")
    assert_packets(view, sent)


@pytest.mark.parametrize("name", sorted(FETCH_FAILED))
def test_fetch_failure_logs_once_and_next_block_is_delivered(device, vexasdk_log, name):
    sim.queue_toa_tot(packets(1), fetch_rc=sim.ERR_ENOMEM)
    sim.queue_toa_tot(packets(2))
    calls = collect(device, name, blocks=2)
    assert len(calls) == 1 and len(calls[0][0]) == 2
    assert vexasdk_log() == [("ERROR", FETCH_FAILED[name], None)]


@pytest.mark.parametrize(
    "anomaly",
    [
        dict(null_packets_count=3),
        dict(tdcs=[[1], 4]),
        dict(null_tdcs_count=2),
    ],
    ids=["null-packets", "null-tdc-timestamps", "null-tdc-list"],
)
def test_null_pointer_with_count_is_logged_not_delivered(device, vexasdk_log, anomaly):
    if "null_packets_count" not in anomaly:
        anomaly["packets"] = packets(1)
    sim.queue_toa_tot(**anomaly)
    sim.queue_toa_tot(packets(1))
    calls = collect(device, "dd_toa_tot_cb", blocks=2)
    assert len(calls) == 1
    [(level, message, exc_info)] = vexasdk_log()
    assert (level, message, exc_info[0]) == ("ERROR", CALLBACK_FAILED, ValueError)


def test_wrong_arity_callback_is_logged_for_every_block(device, vexasdk_log):
    for _ in range(3):
        sim.queue_toa_tot(packets(1))
    seen = []

    def fb_style(packets):
        seen.append(packets)

    sim.deliver(device.context, MODULE, "dd_toa_tot_cb", fb_style)
    assert seen == []
    records = vexasdk_log()
    assert [(r[0], r[1], r[2][0]) for r in records] == [("ERROR", CALLBACK_FAILED, TypeError)] * 3
    # The traceback names the trampoline.
    tb = records[0][2][2]
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "vexasdk._t3_toa_tot.dd_toa_tot_cb" in names


def test_kept_arrays_survive_the_block_buffers_being_overwritten(device):
    sent = [packets(100, seed=s) for s in range(3)]
    for block in sent:
        sim.queue_toa_tot(block, tdcs=[block["toa"][:10]])
    calls = collect(device, "dd_toa_tot_cb", blocks=3)
    for (view, metadata), block in zip(calls, sent):
        assert_packets(view, block)
        np.testing.assert_array_equal(metadata.tdcs[0], block["toa"][:10])


@pytest.mark.parametrize("raised", [ValueError, KeyboardInterrupt])
def test_escapes_and_handled_exception_on_the_calling_thread(device, monkeypatch, vexasdk_log, raised):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)

    def failing(packets):
        raise raised("from the callback")

    sim.queue_toa_tot(packets(1))
    try:
        raise LookupError("being handled")
    except LookupError as handled:
        sim.deliver_here(device.context, MODULE, "fb_toa_tot_cb", failing)
        assert sys.exception() is handled
    records = [(r[0], r[1], r[2][0]) for r in vexasdk_log()]
    if raised is ValueError:
        assert (records, hooked) == ([("ERROR", CALLBACK_FAILED, ValueError)], [])
    else:
        # Not logged: printed, then handed to the unraisable-exception hook.
        assert records == []
        assert [(h.exc_type, h.object) for h in hooked] == [(KeyboardInterrupt, "vexasdk._t3_toa_tot.fb_toa_tot_cb")]


def test_blocks_from_several_threads_each_arrive_intact(device):
    sent = {s: packets(50 + s, seed=s) for s in range(24)}
    for s, block in sent.items():
        sim.queue_toa_tot(block, shutter_time=s, tdcs=[block["toa"][:s]])
    calls = collect(device, "dd_toa_tot_cb", blocks=24, threads=4)
    assert sorted(m.shutter_start for _, m in calls) == sorted(sent)
    for view, metadata in calls:
        block = sent[metadata.shutter_start]
        assert_packets(view, block)
        np.testing.assert_array_equal(metadata.tdcs[0], block["toa"][:metadata.shutter_start])


@pytest.mark.parametrize("mode, name", [(7, "dd_toa_tot_cb"), (10, "dd_toa_tot_cb"), (8, "fb_toa_tot_cb")])
def test_generated_blocks_are_plausible(device, mode, name):
    sim.set_mode(device.context, mode)
    sim.generate(packets_per_block=3000, block_limit=2)
    calls = collect(device, name, blocks=2)
    for args in calls:
        view = args[0]
        # 3000 hits on average; in the frame mode a pixel hit twice reports once.
        assert 2400 < len(view) < 3600 and (view.tot > 0).all()
        assert (view.address & 0xFFFF).max() <= 0xFFFF
        if mode == 8:
            assert (np.diff(view.address.astype(np.int64)) > 0).all()  # each pixel once, in address order
        else:
            metadata = args[1]
            assert (view.toa >= metadata.shutter_start).all()
            assert len(metadata.tdcs) == 4
            if mode == 10:
                assert (np.diff(view.toa.astype(np.int64)) >= 0).all()


def test_module_contents():
    assert _t3_toa_tot._toa_tot_dtype.itemsize == 16
    assert [f[1] for f in _t3_toa_tot._toa_tot_dtype.fields.values()] == [0, 4, 8]
    assert _t3_toa_tot._tdc_dtype == np.uint64
    assert _t3_toa_tot.DdToaTotMetadata._fields == ("shutter_start", "tdcs")
    assert _t3_toa_tot.DdToaTotCb.__call__.__annotations__ == {
        "packets": "npt.NDArray[_toa_tot_dtype]", "metadata": "DdToaTotMetadata", "return": "None"}
    assert _t3_toa_tot.FbToaTotCb.__call__.__annotations__ == {"packets": "npt.NDArray[_toa_tot_dtype]",
                                                               "return": "None"}
    capi = _t3_toa_tot.__pyx_capi__
    assert list(capi) == ["dd_toa_tot_cb", "fb_toa_tot_cb"]
    assert all("void (vexasdk_dev_ctx *, void *)" in repr(c) for c in capi.values())


def test_record_views_are_what_numpy_itself_makes(device, monkeypatch):
    # numpy's own recarray is made in C; any other `np` is called. Same type,
    # dtype, flags and base either way, and both as view(np.recarray) gives.
    import types

    from vexasdk import _t3_toa_tot

    packets = random_records(sim.TOA_TOT_DTYPE, 4, 3)
    got = []
    for road in ("own", "called"):
        if road == "called":
            monkeypatch.setattr(_t3_toa_tot, "np", types.SimpleNamespace(recarray=np.recarray, empty=np.empty,
                                                                          ndarray=np.ndarray))
        sim.queue_toa_tot(packets)
        sim.deliver(device.context, "_t3_toa_tot", "fb_toa_tot_cb", lambda view: got.append(view))
    expected = np.empty(4, _t3_toa_tot._toa_tot_dtype).view(np.recarray)
    for view in got:
        assert type(view) is np.recarray and view.dtype == expected.dtype
        assert type(view.dtype.type) is type(expected.dtype.type) and view.dtype.type is np.record
        assert view.flags.writeable and not view.flags.owndata and type(view.base) is np.ndarray
        assert view.tobytes() == packets.tobytes()
        assert int(view.address[0]) == int(packets["address"][0])  # fields read as attributes
