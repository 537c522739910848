import types

import awkward as ak
import numpy as np
import pytest

from helpers import random_records

import vexasdk.sim as sim
from vexasdk import _t3_binning

# Every test here acquires.
pytestmark = pytest.mark.usefixtures("ready")

MODULE = "_t3_binning"
CALLBACK_FAILED = "Failed to execute acquisition data callback."


def bin_packets(n, seed):
    return random_records(sim.BIN_PACKET_DTYPE, n, seed)


def collect(device, name, blocks=1):
    calls = []
    sim.deliver(device.context, MODULE, name, lambda *args: calls.append(args))
    assert sim.blocks_delivered() == blocks
    return calls


def assert_bins(packets, sent_bins):
    assert ak.num(packets, axis=0) == len(sent_bins)
    assert ak.num(packets, axis=1).to_list() == [len(b) for b in sent_bins]
    assert packets.fields == ["address", "evcount", "itot"]
    flat = ak.to_numpy(ak.flatten(packets))
    want = np.concatenate(sent_bins) if sent_bins else np.zeros(0, sim.BIN_PACKET_DTYPE)
    assert flat.dtype == _t3_binning._binned_packet_dtype
    # evcount carries the SDK's `count`: same bytes, another name.
    assert flat.tobytes() == want.tobytes()


@pytest.mark.parametrize(
    "sizes",
    [[0, 2, 0, 3], [4096 // 64] * 64 + [0, 1] * 2016, [], [0, 0, 0], [7]],
    ids=["0-2-0-3", "4096-bins", "no-bins", "all-empty", "one-bin"],
)
def test_binned_block_reaches_callback_unchanged(device, sizes):
    # Empty bins point into an unreadable page: the first bin's pointer is
    # usable only when that bin holds packets.
    sent = [bin_packets(n, seed) for seed, n in enumerate(sizes)]
    evcounts = np.arange(5, dtype=np.uint64) + 2**63
    itots = np.arange(3, dtype=np.uint64)
    sim.queue_binned(evcounts, itots, sent)
    [(np_evcounts, np_itots, packets)] = collect(device, "binned_data_cb")
    for got, want in ((np_evcounts, evcounts), (np_itots, itots)):
        assert type(got) is np.ndarray and got.dtype == np.uint64
        np.testing.assert_array_equal(got, want)
    assert isinstance(packets, ak.Array)
    assert_bins(packets, sent)


@pytest.mark.parametrize(
    "name, queue, text",
    [
        ("binned_data_cb", lambda **kw: sim.queue_binned([1], [2], [[]], **kw), "Failed to retrieve Timepix3 binned data."),
        ("binned_evcount_cb", lambda **kw: sim.queue_evcount_fragment([1], **kw),
         "Failed to retrieve Timepix3 binned event counts."),
        ("binned_itot_cb", lambda **kw: sim.queue_itot_fragment([1], **kw), "Failed to retrieve Timepix3 binned iToTs."),
    ],
)
def test_fetch_failure_logs_once_and_next_block_is_delivered(device, vexasdk_log, name, queue, text):
    queue(fetch_rc=sim.ERR_EINVAL)
    queue()
    calls = collect(device, name, blocks=2)
    assert len(calls) == 1
    assert vexasdk_log() == [("ERROR", text, None)]


@pytest.mark.parametrize("name, queue", [("binned_evcount_cb", sim.queue_evcount_fragment),
                                         ("binned_itot_cb", sim.queue_itot_fragment)])
@pytest.mark.parametrize("values", [[], [0, 2**64 - 1, 3]])
def test_fragment_values_reach_callback_alone(device, name, queue, values):
    queue(np.array(values, dtype=np.uint64))
    [(got,)] = collect(device, name)
    assert type(got) is np.ndarray and got.dtype == np.uint64
    np.testing.assert_array_equal(got, np.array(values, dtype=np.uint64))


@pytest.mark.parametrize(
    "name, queue, error",
    [
        ("binned_data_cb", lambda: sim.queue_binned([1], [2], null_bins_count=3), ValueError),
        ("binned_data_cb", lambda: sim.queue_binned([1], [2], [0, 5, 2]), ValueError),
        ("binned_data_cb", lambda: sim.queue_binned([1], [2], [2**64 - 1, 0, 1]), OverflowError),
        ("binned_data_cb", lambda: sim.queue_binned([1], [2], [2**63, 2**63]), OverflowError),
        ("binned_data_cb", lambda: sim.queue_binned(null_evcounts_count=2), ValueError),
        ("binned_data_cb", lambda: sim.queue_binned(null_itots_count=2), ValueError),
        ("binned_evcount_cb", lambda: sim.queue_evcount_fragment(null_count=4), ValueError),
        ("binned_itot_cb", lambda: sim.queue_itot_fragment(null_count=4), ValueError),
    ],
    ids=["null-bins", "null-packets", "count-overflow", "count-wraps-to-zero", "null-evcounts", "null-itots",
         "null-evcount-fragment", "null-itot-fragment"],
)
def test_bad_sdk_answer_is_logged_not_delivered(device, vexasdk_log, name, queue, error):
    queue()
    assert collect(device, name) == []
    [(level, message, exc_info)] = vexasdk_log()
    assert (level, message, exc_info[0]) == ("ERROR", CALLBACK_FAILED, error)


def test_counts_array_from_a_replaced_numpy_is_refused(device, vexasdk_log, monkeypatch):
    # The trampolines use whatever `np` the module holds; a foreign "array"
    # must not be written into.
    fake = types.SimpleNamespace(**{k: getattr(np, k) for k in ("uint64", "ndarray")})
    fake.empty = lambda n, dtype: np.empty(n, dtype=np.uint32)
    monkeypatch.setattr(_t3_binning, "np", fake)
    sim.queue_binned([1], [2], [[], bin_packets(2, 0)])
    assert collect(device, "binned_data_cb") == []
    assert [(r[0], r[1], r[2][0]) for r in vexasdk_log()] == [("ERROR", CALLBACK_FAILED, TypeError)]


def test_wrong_arity_callback_is_logged_for_every_block(device, vexasdk_log):
    for _ in range(3):
        sim.queue_binned([1], [2], [bin_packets(1, 0)])
    seen = []
    sim.deliver(device.context, MODULE, "binned_data_cb", lambda itots: seen.append(itots))
    assert seen == []
    assert [(r[0], r[1], r[2][0]) for r in vexasdk_log()] == [("ERROR", CALLBACK_FAILED, TypeError)] * 3


def test_kept_arrays_survive_the_block_buffers_being_overwritten(device):
    sent = [[bin_packets(3, s), bin_packets(0, s), bin_packets(2, s + 10)] for s in range(3)]
    for i, bins in enumerate(sent):
        sim.queue_binned([i, i], [i], bins)
    calls = collect(device, "binned_data_cb", blocks=3)
    for i, ((evcounts, itots, packets), bins) in enumerate(zip(calls, sent)):
        np.testing.assert_array_equal(evcounts, [i, i])
        np.testing.assert_array_equal(itots, [i])
        assert_bins(packets, bins)


@pytest.mark.parametrize("mode, name", [(11, "binned_data_cb"), (12, "binned_evcount_cb"), (13, "binned_itot_cb")])
def test_generated_scan_is_consistent(device, mode, name):
    sim.set_mode(device.context, mode)
    sim.generate(packets_per_block=48, block_limit=2)
    calls = []
    sim.start(device.context, sim.trampoline(MODULE, name), lambda *a: calls.append(a), width=8, height=6,
              dwell_time=800)
    sim.await_end(device.context)
    assert len(calls) == 2
    for args in calls:
        assert all(len(values) == 48 for values in args[:2]) and args[0].sum() > 0
        if mode == 11:
            evcounts, itots, packets = args
            np.testing.assert_array_equal(ak.sum(packets.evcount, axis=1), evcounts)
            np.testing.assert_array_equal(ak.sum(packets.itot, axis=1), itots)


def test_binned_params():
    params = _t3_binning.BinnedParams(4, height=5, dwell_time_ns=6)
    assert tuple(params) == (4, 5, 6) == _t3_binning.BinnedParams(width=4, height=5, dwell_time_ns=6)


def test_module_contents():
    assert list(_t3_binning.__pyx_capi__) == ["binned_data_cb", "binned_evcount_cb", "binned_itot_cb"]
    assert _t3_binning._binned_packet_dtype.itemsize == 12
    assert [f[1] for f in _t3_binning._binned_packet_dtype.fields.values()] == [0, 4, 8]
    assert _t3_binning.BinnedDataCb.__call__.__annotations__ == {
        "evcounts": "npt.NDArray[_binned_evcount_dtype]", "itots": "npt.NDArray[_binned_itot_dtype]",
        "packets": "ak.Array", "return": "None"}


def awkward_would_give(packets, counts):
    return ak.unflatten(ak.from_numpy(packets), counts)


@pytest.mark.parametrize("sizes", [[0, 2, 0, 3], [], [5]], ids=["0-2-0-3", "no-bins", "one-bin"])
def test_bins_are_what_awkward_itself_makes(device, sizes, monkeypatch):
    # Built in C while `ak` is awkward's own; built by calling `ak` once it is
    # anything else. Both roads must give the same array, form and buffers.
    sent = [bin_packets(n, seed) for seed, n in enumerate(sizes)]
    arrays = []
    for road in ("own", "called"):
        if road == "called":
            monkeypatch.setattr(_t3_binning, "ak", types.SimpleNamespace(from_numpy=ak.from_numpy,
                                                                         unflatten=ak.unflatten))
        sim.queue_binned([1], [2], sent)
        [(_, _, packets)] = collect(device, "binned_data_cb", blocks=len(arrays) + 1)
        arrays.append(packets)
    own, called = arrays
    flat = ak.to_numpy(ak.flatten(called))
    expected = awkward_would_give(flat, np.array([len(b) for b in sent], np.uint64))
    for got in (own, called):
        assert got.layout.form == expected.layout.form
        assert got.to_list() == expected.to_list()
        assert got.behavior is None and not got.attrs
        assert isinstance(got.layout.offsets, ak.index.Index64)
    if sent and sum(sizes):
        addresses = own.layout.content.contents[0].data
        assert addresses.base is not None and not addresses.flags.owndata  # a view of the one copy


def test_bins_of_packets_with_nested_fields_take_awkwards_road(device, monkeypatch):
    # A dtype of the same size but not plain fields: awkward decides what it
    # makes of it, not the fast road.
    nested = np.dtype([("address", "<u4"), ("rest", "<u4", (2,))])
    assert nested.itemsize == _t3_binning._binned_packet_dtype.itemsize
    monkeypatch.setattr(_t3_binning, "_binned_packet_dtype", nested)
    sim.queue_binned([1], [2], [bin_packets(3, 1)])
    [(_, _, packets)] = collect(device, "binned_data_cb")
    assert packets.fields == ["address", "rest"] and ak.num(packets, axis=1).to_list() == [3]
