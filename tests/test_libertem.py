"""LiberTEM-live on scans: results equal LiberTEM's on the saved file, from a
local device and from a stream, sparse and dense; gaps are empty frames and
counted; a failing UDF or a silent sender leaves nothing running."""

import shutil
import tempfile
import threading

import numpy as np
import pytest

pytest.importorskip("libertem_live")

import scipy.sparse  # noqa: E402
from libertem.api import Context  # noqa: E402
from libertem.udf import UDF  # noqa: E402
from libertem.udf.sum import SumUDF  # noqa: E402
from libertem.udf.sumsigudf import SumSigUDF  # noqa: E402
from libertem_live.api import Hooks, LiveContext  # noqa: E402
from sparseconverter import NUMPY, SCIPY_CSR  # noqa: E402

import vexasdk.sim as sim  # noqa: E402
from vexasdk.libertem import MissingPositions, open_connection  # noqa: E402
from vexasdk.nexus import HDF5Writer  # noqa: E402

NAV = (16, 16)  # rows, columns
pytestmark = pytest.mark.filterwarnings("ignore:Loading compressed HDF5")


class PositionSum(UDF):
    """Events per position, from tiles of one backend only: it checks that
    the backend is the one it asked for."""

    def __init__(self, backend=NUMPY):
        super().__init__(backend=backend)

    def get_backends(self):
        return (self.params.backend,)

    def get_result_buffers(self):
        return {"total": self.buffer(kind="nav", dtype="float64")}

    def process_tile(self, tile):
        assert scipy.sparse.issparse(tile) == (self.params.backend == SCIPY_CSR)
        self.results.total[:] = np.asarray(tile.reshape((tile.shape[0], -1)).sum(axis=1)).ravel()


class Fails(UDF):
    def get_result_buffers(self):
        return {"x": self.buffer(kind="nav")}

    def process_frame(self, frame):
        raise ValueError("this UDF fails")


@pytest.fixture(scope="module")
def ctx():
    with LiveContext.make_with("inline") as context:
        yield context


@pytest.fixture
def address():
    folder = tempfile.mkdtemp(prefix="vxl", dir="/tmp")  # ipc paths are short
    yield f"ipc://{folder}/s"
    shutil.rmtree(folder, ignore_errors=True)


def offline(path, udfs):
    with Context.make_with("inline") as context:
        return context.run_udf(dataset=context.load("hdf5", path=str(path), ds_path="/entry/data/counts"), udf=udfs)


def live_from_stream(ctx, device, address, udfs, path):
    """Runs `udfs` on a scan that a publisher in this process streams, saved to `path` on the sending side."""
    from vexasdk.stream import Publisher

    sending = threading.Thread(target=lambda: device.acquire(
        "binned_data", scan=NAV[::-1], dwell_ns=1000, sinks=[Publisher(address), HDF5Writer(path)]).wait())
    sending.start()
    try:
        with open_connection(address=address) as conn:
            pending = conn.wait_for_acquisition(timeout=10)
            assert pending is not None and pending.nav_shape == NAV
            aq = ctx.make_acquisition(conn=conn, pending_aq=pending)
            return aq, ctx.run_udf(dataset=aq, udf=udfs)
    finally:
        sending.join(30)


@pytest.mark.parametrize("backend", [SCIPY_CSR, NUMPY])
@pytest.mark.parametrize("source", ["device", "stream"])
def test_live_results_equal_offline_on_the_saved_scan(ctx, ready, address, tmp_path, source, backend):
    pytest.importorskip("zmq")
    path = tmp_path / "scan.h5"
    udfs = [SumUDF(), PositionSum(backend)]
    if source == "device":
        with open_connection(ready, dwell_ns=1000, sinks=[HDF5Writer(path)]) as conn:
            aq = ctx.make_acquisition(conn=conn, nav_shape=NAV, frames_per_partition=48)  # straddles rows
            live = ctx.run_udf(dataset=aq, udf=udfs)
        assert not aq.acquisition.running and aq.acquisition.lost == 0
    else:
        aq, live = live_from_stream(ctx, ready, address, udfs, path)
    saved = offline(path, [SumUDF(), PositionSum(NUMPY)])
    assert aq.missing_positions == 0 and live[1]["total"].data.sum() > 0
    for got, expected in zip(live, saved):
        name = next(iter(got))
        np.testing.assert_array_equal(got[name].data, expected[name].data)


def test_the_pipelined_executor_gives_the_same_sum(ready, tmp_path):
    path = tmp_path / "scan.h5"
    with LiveContext.make_with("pipelined", cpus=2) as context, \
            open_connection(ready, sinks=[HDF5Writer(path)]) as conn:
        aq = context.make_acquisition(conn=conn, nav_shape=NAV, frames_per_partition=64)
        live = context.run_udf(dataset=aq, udf=[SumUDF(), SumSigUDF()])
    for got, expected in zip(live, offline(path, [SumUDF(), SumSigUDF()])):
        np.testing.assert_array_equal(got["intensity"].data, expected["intensity"].data)


class Starve(Hooks):
    """Holds LiberTEM back until the device's queue of one block has passed
    a block over, or aborts the scan after its first blocks."""

    def __init__(self, how):
        self.how = how

    def on_ready_for_data(self, env):
        scan = env.aq.acquisition
        if self.how == "abort":
            threading.Timer(0.15, scan.abort).start()
        while self.how == "skip" and scan.running and not scan.counts.skipped:
            threading.Event().wait(0.002)


@pytest.mark.parametrize("how", ["skip", "abort"])
def test_positions_without_data_are_empty_frames_and_counted(ctx, ready, tmp_path, how):
    sim.generate(packets_per_block=NAV[1], real_time=True)  # a block a scan row, every 32 ms
    with open_connection(ready, dwell_ns=2_000_000, max_queued=1 if how == "skip" else 256,
                         sinks=[HDF5Writer(tmp_path / "scan.h5")]) as conn:
        aq = ctx.make_acquisition(conn=conn, nav_shape=NAV, hooks=Starve(how))
        with pytest.warns(MissingPositions) as warned:
            live = ctx.run_udf(dataset=aq, udf=SumSigUDF())["intensity"].data
    counts = aq.acquisition.counts  # the file has every block; LiberTEM those the queue did not pass over
    assert aq.missing_positions == conn.missing_positions == 256 - counts.positions + counts.skipped * NAV[1] > 0
    assert f"{aq.missing_positions} of 256 scan positions had no data" in str(warned[0].message)
    saved = offline(tmp_path / "scan.h5", SumSigUDF())["intensity"].data
    differ = live != saved  # a gap mid-scan when skipping: what follows it must still be in its place
    assert np.all(live[differ] == 0) and (np.count_nonzero(differ) > 0) == (how == "skip")


def test_a_receiver_joining_late_counts_what_it_missed(ctx, ready, address):
    pytest.importorskip("zmq")
    from vexasdk.stream import Publisher

    sim.generate(packets_per_block=NAV[1], real_time=True)
    scan = ready.acquire("binned_data", scan=NAV[::-1], dwell_ns=2_000_000, sinks=[Publisher(address, "pub")])
    try:
        threading.Event().wait(0.1)  # a few rows gone by
        with open_connection(address=address, pattern="pub") as conn:
            aq = ctx.make_acquisition(conn=conn, pending_aq=conn.wait_for_acquisition(timeout=10))
            with pytest.warns(MissingPositions):
                live = ctx.run_udf(dataset=aq, udf=SumSigUDF())["intensity"].data.ravel()
    finally:
        scan.abort()
    missed = aq.missing_positions
    assert tuple(aq.shape) == (*NAV, 512, 512) and 0 < missed < 256 and missed % NAV[1] == 0
    assert not np.any(live[:missed]) and np.all(live[missed:] > 0)


def test_a_failing_udf_reaches_the_caller_and_ends_the_scan(ctx, ready):
    sim.generate(packets_per_block=NAV[1], real_time=True)  # 0.5 s: still running when the first row fails
    with open_connection(ready, dwell_ns=2_000_000) as conn:
        aq = ctx.make_acquisition(conn=conn, nav_shape=NAV, frames_per_partition=NAV[1])
        with pytest.raises(ValueError, match="this UDF fails"):
            ctx.run_udf(dataset=aq, udf=Fails())
        assert not aq.acquisition.running and aq.acquisition.stopped_by == "abort"
        sim.generate_default()
        assert ctx.run_udf(dataset=aq, udf=SumUDF())["intensity"].data.sum() > 0  # the device acquires again


def test_a_silent_sender_ends_the_run_with_a_timeout(ctx, ready, address):
    pytest.importorskip("zmq")
    from vexasdk.stream import Publisher, StreamTimeout

    sim.generate(blocks_per_second=2, packets_per_block=NAV[1])
    with open_connection(address=address, timeout=0.2) as conn:
        assert conn.wait_for_acquisition(timeout=0.1) is None  # nothing sends yet
        scan = ready.acquire("binned_data", scan=NAV[::-1], dwell_ns=1000,
                             sinks=[Publisher(address, heartbeat=1e6, drain_timeout=0.5)])
        try:
            aq = ctx.make_acquisition(conn=conn, pending_aq=conn.wait_for_acquisition(timeout=10))
            with pytest.raises(StreamTimeout, match="stopped without ending the stream"):
                ctx.run_udf(dataset=aq, udf=SumUDF())
            assert not conn._receivers  # its receiver closed
        finally:
            scan.abort()


@pytest.mark.parametrize("call, message", [
    (lambda ctx, dev: open_connection(dev, dwell_ns=0), "dwell_ns must be an integer from 1 to"),
    (lambda ctx, dev: open_connection(dev, address="tcp://127.0.0.1:1"), "not both"),
    (lambda ctx, dev: ctx.make_acquisition(conn=open_connection(dev), nav_shape=(2, 2, 2)),
     r"nav_shape must be \(rows, columns\) of the scan, got \(2, 2, 2\)"),
    (lambda ctx, dev: open_connection(dev).wait_for_acquisition(1), "active mode"),
])
def test_refusals_name_the_argument(ctx, ready, call, message):
    with pytest.raises((ValueError, RuntimeError), match=message):
        call(ctx, ready)
