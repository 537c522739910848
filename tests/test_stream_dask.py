"""Reductions on a Dask cluster of worker processes: the same totals as here,
from a stream and from a list of blocks, every block counted once when a
worker is killed in the middle, and what a failing reduction does."""

import os
import signal
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
pytest.importorskip("zmq")

import vexasdk.sim as sim  # noqa: E402
from vexasdk import OperationalMode  # noqa: E402
from vexasdk.nexus import HDF5Writer, load  # noqa: E402
from vexasdk.pixels import HitMap  # noqa: E402
from vexasdk.account import Missing  # noqa: E402
from vexasdk.reduction import (IncompleteReduction, Reduction, ReductionInterrupted, hit_map,  # noqa: E402
                               reduce_locally, reduce_on, tot_spectrum, virtual_images)
from vexasdk.stream import Publisher, Receiver, StreamTimeout  # noqa: E402

M = OperationalMode


@pytest.fixture(scope="module")
def client():
    saved = os.environ.get("ASAN_OPTIONS")
    if saved is not None:
        # Dask ends its worker processes with their threads mid-flight (its
        # profiler's frames, its event loop's tasks): what those still hold
        # at exit is Dask's, and the leak check stays in this process (the
        # workers it restarts later are started the same way).
        os.environ["ASAN_OPTIONS"] = saved + ":detect_leaks=0"
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=40) as cluster, distributed.Client(cluster) as client:
            yield client
    finally:
        if saved is not None:
            os.environ["ASAN_OPTIONS"] = saved


def acquired(device, mode, **kwargs):
    blocks = []
    device.acquire(mode, callback=blocks.append, **kwargs).wait()
    return blocks


def assert_equal_totals(a, b):
    assert a.keys() == b.keys()
    for name in a:
        if isinstance(a[name], dict):
            assert_equal_totals(a[name], b[name])
        else:
            np.testing.assert_array_equal(a[name], b[name])


def test_a_streamed_scan_reduced_on_the_cluster_equals_the_local_reduction(ready, client, tmp_path):
    sim.generate(blocks_per_second=0, packets_per_block=24, block_limit=16)  # rows of 24 positions
    scan = (24, 16)
    reductions = {"hits": hit_map(), "spectrum": tot_spectrum(), "images": virtual_images(scan)}
    address = f"ipc://{tmp_path}/s"
    delivered = []
    with Receiver(address, start_timeout=10) as receiver:
        acquisition = ready.acquire(M.binned_data, scan=scan, dwell_ns=1000, callback=delivered.append,
                                    sinks=[Publisher(address, receivers=1), HDF5Writer(tmp_path / "scan.h5")])
        totals = reduce_on(client, receiver, reductions, max_in_flight=3)
        acquisition.wait()
    assert len(delivered) == 16 and receiver.counts.blocks == 16
    assert_equal_totals(totals, reduce_locally(delivered, reductions))
    run = load(tmp_path / "scan.h5")  # the file's images are reckoned the same way
    for name in ("bright_field", "annular_dark_field", "evcount"):
        np.testing.assert_array_equal(totals["images"][name], run[name])
    np.testing.assert_array_equal(totals["images"]["itot"] * 25, run["itot"])
    np.testing.assert_array_equal(totals["hits"], run.detector_image())
    assert totals["images"]["bright_field"].sum() > 0


def test_a_list_of_blocks_reduces_as_the_pixel_helpers_count(ready, client):
    sim.generate(blocks_per_second=0, packets_per_block=2000, block_limit=12)
    blocks = acquired(ready, M.dd_toa_tot)
    hits = HitMap()
    for block in blocks:
        hits.add(block)
    tot = np.concatenate([b.packets.tot for b in blocks])
    image, spectrum = reduce_on(client, blocks, hit_map()), reduce_on(client, iter(blocks), tot_spectrum(1024))
    np.testing.assert_array_equal(image, hits.counts)
    np.testing.assert_array_equal(spectrum, np.bincount(np.minimum(tot, 1023), minlength=1024))

    def broken_off():  # as a receiver whose sender died after five blocks
        yield from blocks[:5]
        raise StreamTimeout("nothing for 10 s")

    with pytest.raises(ReductionInterrupted, match="stopped coming after 5 of them: nothing for 10 s") as error:
        reduce_on(client, broken_off(), hit_map(), max_in_flight=2)
    assert error.value.blocks == 5
    np.testing.assert_array_equal(error.value.totals, reduce_locally(blocks[:5], hit_map()))


def test_a_worker_killed_mid_reduction_still_counts_every_block_once(ready, client, monkeypatch):
    sim.generate(blocks_per_second=0, packets_per_block=500, block_limit=40)
    blocks = acquired(ready, M.fb_toa_tot)
    inner = hit_map()

    def slowly(block):  # defined here, so that it travels by value: the workers cannot import this file
        time.sleep(0.04)
        return inner.reduce(block)

    pids = client.run(os.getpid)
    scattered, folded = [], []
    scatter = client.scatter
    monkeypatch.setattr(client, "scatter", lambda *a, **k: scattered.append(1) or scatter(*a, **k))

    def counted(total, partial):
        folded.append(1)
        if len(folded) == 8:  # mid-way: kill a worker that holds blocks
            held: dict[str, int] = {}  # what each worker holds of the batches still out (done ones are let go)
            for workers in client.who_has().values():
                for worker in workers:
                    held[worker] = held.get(worker, 0) + 1
            holder = max(held, key=held.__getitem__)
            os.kill(pids[holder], signal.SIGKILL)
        return inner.combine(total, partial)

    total = reduce_on(client, blocks, Reduction("slow_hits", slowly, counted, inner.initial), max_in_flight=6,
                      batch_bytes=4 * blocks[0].packets.nbytes)
    assert len(folded) == 40  # once per block, however often a task ran
    assert len(scattered) > 10  # what the dead worker held was sent again
    np.testing.assert_array_equal(total, reduce_locally(blocks, inner))
    client.wait_for_workers(2, timeout=30)  # the nanny brought it back


def test_a_reduction_that_raises_stops_it_with_its_error(client):
    def _fails(block):
        if block.sequence == 3:
            raise ValueError("no good at block 3")
        return 1

    blocks = [type("B", (), {"sequence": n})() for n in range(6)]
    failing = Reduction("failing", _fails, lambda total, partial: total + partial, lambda: 0)
    with pytest.raises(ValueError, match="no good at block 3"):
        reduce_on(client, blocks, failing, batch_bytes=1)
    deadline = time.monotonic() + 10
    while client.futures and time.monotonic() < deadline:  # what it made on the cluster is let go
        time.sleep(0.05)
    assert not client.futures and not client.who_has()
    with pytest.raises(ValueError, match="max_in_flight must be an integer from 1"):
        reduce_on(client, blocks, failing, max_in_flight=0)
    with pytest.raises(TypeError, match="reductions must be a Reduction"):
        reduce_on(client, blocks, {})
    with pytest.raises(ValueError, match="scan_shape must be"):
        virtual_images((0, 4))


class Withholding(list):
    """Blocks as a stream that knows it lacks some: a receiver's `missing`."""

    missing = Missing(1, 3, 3)


@pytest.mark.parametrize("where", ["cluster", "here"])
def test_every_block_counts_once_by_its_stream_and_an_incomplete_result_is_never_returned(ready, client, where):
    sim.generate(blocks_per_second=0, packets_per_block=300, block_limit=6)
    first, second = acquired(ready, M.fb_toa_tot), acquired(ready, M.fb_toa_tot)  # numbers 0 to 5, twice
    reduce = (lambda blocks, r: reduce_on(client, blocks, r, batch_bytes=1)) if where == "cluster" else reduce_locally
    reductions = {"hits": hit_map(), "spectrum": tot_spectrum(64)}
    totals = reduce(first + second + first[:2], reductions)  # two streams, and two blocks again
    assert totals.complete and totals.missing == 0 and totals.blocks == 12
    account = totals.account
    assert (account.received, account.delivered, account.dropped, account.failed) == (14, 12, 2, 0)
    np.testing.assert_array_equal(totals["hits"], reduce_locally(first, hit_map()) + reduce_locally(second, hit_map()))
    with pytest.raises(IncompleteReduction, match="lack 1 block .*number 3") as raised:
        reduce(Withholding(first[:3] + first[4:]), reductions)
    assert raised.value.missing == 1 and raised.value.blocks == 5 and not raised.value.complete
    np.testing.assert_array_equal(raised.value.totals["hits"], reduce_locally(first[:3] + first[4:], hit_map()))


def test_clusters_that_the_blocks_ends_cut_are_joined_whole_on_the_workers(ready, client):
    from vexasdk.acquisition import Block
    from vexasdk.events import Calibration, cluster
    from vexasdk.reduction import clusters

    sim.generate(blocks_per_second=0, packets_per_block=20_000, block_limit=4)
    hits = np.concatenate([b.packets for b in acquired(ready, M.dd_toa_tot)])
    hits = hits[np.argsort(hits["toa"], kind="stable")]
    pieces = np.array_split(hits, 23)
    assert sum(len(cluster(piece)) for piece in pieces) > len(cluster(hits))  # the cuts split clusters
    blocks = [Block(M.fb_toa_tot, (piece,), i, 0.0, stream="cut") for i, piece in enumerate(pieces)]
    reduction = clusters(calibration=Calibration.uniform(4))
    whole = reduce_locally([Block(M.fb_toa_tot, (hits,), 0, 0.0, stream="whole")], reduction)
    for totals in (reduce_on(client, blocks, reduction, max_in_flight=3), reduce_locally(blocks, reduction)):
        assert (totals.cluster_count, totals.hit_count) == (whole.cluster_count, len(hits))
        np.testing.assert_array_equal(totals.spectrum().counts, whole.spectrum().counts)
        np.testing.assert_array_equal(totals.hit_map(), whole.hit_map())
    assert 59 < whole.peak(size=4).position < 60  # the line, where clusters keep the whole charge
