"""Clusters on the acquisition path: the sink, the file's clusters, the command line."""
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest

from vexasdk.clusters import Clusters
from vexasdk.events import Calibration, cluster
from vexasdk.nexus import HDF5Writer, load
from vexasdk.pixel_chip import OperationalMode as M


def by_time(rows):
    return np.sort(rows, order=["toa", "x", "y"])


def assert_same_rows(ours, theirs):
    assert len(ours) == len(theirs)
    ours, theirs = by_time(ours), by_time(theirs)
    for name in ours.dtype.names:
        np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)


@pytest.mark.parametrize("calibrated", [False, True])
def test_the_sink_gives_what_one_pass_over_all_the_hits_gives(ready, calibrated):
    calibration = Calibration.uniform(4) if calibrated else None
    clusters = Clusters(calibration=calibration, keep=True)
    blocks = []
    acquisition = ready.acquire("dd_toa_tot", duration=0.3, callback=blocks.append, sinks=[clusters])
    acquisition.wait()
    hits = np.concatenate([b.packets for b in blocks])
    assert_same_rows(clusters.rows(), cluster(hits, calibration=calibration))
    stage = acquisition.account[-1]
    assert (stage.stage, stage.received, stage.delivered, stage.lost) == ("clusters", len(blocks), len(blocks), 0)
    counts = clusters.counts
    assert (counts.hits, counts.clusters, counts.held) == (len(hits), len(clusters.rows()), 0)
    assert clusters.spectrum().counts.sum() == counts.clusters == clusters.hit_map().sum()
    assert clusters.mean_size == pytest.approx(len(hits) / counts.clusters)
    assert clusters.peak().position > (40 if calibrated else 2000)


def test_the_file_keeps_the_clusters_beside_the_hits(ready, tmp_path):
    snx = pytest.importorskip("scippnexus")
    clusters = Clusters(calibration=Calibration.uniform(4), keep=True)
    path = tmp_path / "run.h5"
    acquisition = ready.acquire("dd_toa_tot", duration=0.3, sinks=[HDF5Writer(path, clusters=clusters)])
    acquisition.wait()
    assert [stage.stage for stage in acquisition.account] == ["fetch", "writer", "clusters"]
    run = load(path)
    assert_same_rows(run.clusters(), clusters.rows())
    stored = run.metadata["clusters"]
    assert stored["cluster_count"] == clusters.counts.clusters and stored["hit_count"] == run.metadata["event_count"]
    assert stored["dropped_blocks"] == 0 and run.metadata["complete"]
    with h5py.File(path) as f:
        group = f["entry/instrument/detector/clusters"]
        assert group.attrs["NX_class"] == "NXevent_data" and group["energy"].attrs["units"] == "keV"
    with snx.File(path) as f:
        events = f["entry/instrument/detector/clusters"][...]
    assert events.bins.size().sum().value == stored["cluster_count"]
    # The pixel each cluster is filed under is the one nearest its centroid.
    rows = run.clusters()
    nearest = np.rint(rows["y"]).astype(np.int64) * 512 + np.rint(rows["x"]).astype(np.int64)
    np.testing.assert_array_equal(np.sort(run["clusters/event_id"]), np.sort(nearest))


def test_a_run_saved_without_clusters_says_so(ready, tmp_path):
    ready.acquire("dd_toa_tot", duration=0.1, sinks=[HDF5Writer(tmp_path / "run.h5")]).wait()
    run = load(tmp_path / "run.h5")
    assert "clusters" not in run.metadata and not any(name.startswith("clusters/") for name in run.arrays)
    with pytest.raises(KeyError, match="keeps no clusters"):
        run.clusters()


def test_clustering_that_falls_behind_drops_blocks_and_says_so(ready, tmp_path):
    def slow(rows):
        time.sleep(0.05)

    clusters = Clusters(on_clusters=slow, max_queued_bytes=1, full_timeout=0)
    path = tmp_path / "run.h5"
    acquisition = ready.acquire("dd_toa_tot", duration=0.3, sinks=[HDF5Writer(path, clusters=clusters)])
    acquisition.wait()
    stage = acquisition.account[-1]
    assert stage.dropped > 0 and stage.received == stage.delivered + stage.dropped
    assert acquisition.lost == stage.dropped
    run = load(path)
    assert run.metadata["clusters"]["dropped_blocks"] == stage.dropped and not run.metadata["complete"]


def test_a_failing_consumer_fails_its_blocks_and_the_wait(ready):
    def broken(rows):
        raise ZeroDivisionError("consumer broke")

    clusters = Clusters(on_clusters=broken)
    acquisition = ready.acquire("dd_toa_tot", duration=0.1, sinks=[clusters])
    with pytest.raises(RuntimeError, match="clustering failed: consumer broke"):
        acquisition.wait()
    assert acquisition.account[-1].failed > 0


@pytest.mark.parametrize("make, error, text", [
    (lambda tmp: ("fb_itot_evcount", [Clusters()]), ValueError, "mode fb_itot_evcount has none"),
    (lambda tmp: ("dd_toa_tot", [HDF5Writer(tmp / "a.h5", clusters=Clusters(calibration=Calibration.uniform(2)))]),
     ValueError, "covers 2 chips, the detector has 4"),
])
def test_what_cannot_be_clustered_is_refused_before_the_start(ready, tmp_path, make, error, text):
    mode, sinks = make(tmp_path)
    with pytest.raises(error, match=text):
        ready.acquire(mode, duration=0.1, sinks=sinks)
    assert not (tmp_path / "a.h5").exists()


def test_clusters_given_twice_are_refused(ready, tmp_path):
    clusters = Clusters()
    with pytest.raises(RuntimeError, match="give only the writer"):
        ready.acquire("dd_toa_tot", duration=0.1, sinks=[HDF5Writer(tmp_path / "a.h5", clusters=clusters), clusters])
    with pytest.raises(ValueError, match="series"):
        HDF5Writer(tmp_path / "b.h5", clusters=Clusters(), series=True)


@pytest.mark.parametrize("kwargs, text", [({"subpixels": 0}, "subpixels must be"), ({"window_ns": -1}, "window_ns"),
                                          ({"full_timeout": -1}, "full_timeout"), ({"weight": "energy"}, "calibration")])
def test_bad_settings_are_named(kwargs, text):
    with pytest.raises(ValueError, match=text):
        Clusters(**kwargs)


def vexasdk_cli(*args):
    return subprocess.run([sys.executable, "-P", "-m", "vexasdk", *args], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("calibrated", [False, True])
def test_the_command_line_clusters_saves_and_draws(tmp_path, calibrated):
    pytest.importorskip("matplotlib")
    Calibration.uniform(4).save(tmp_path / "cal.h5")
    done = vexasdk_cli("acquire", "--mode", "dd_toa_tot", "--duration", "0.5", "--quiet", "--clusters",
                       *(["--calibration", str(tmp_path / "cal.h5")] if calibrated else []),
                       "--save", str(tmp_path / "run.h5"), "--plot", str(tmp_path / "run.png"))
    assert done.returncode == 0, done.stderr
    assert "clusters " in done.stdout and "photo-peak at" in done.stdout
    if calibrated:  # the line, where clusters keep the whole charge
        [whole] = [line for line in done.stdout.splitlines() if "clusters of 4 pixels" in line]
        assert 59.0 < float(whole.split(" at ")[1].split()[0]) < 60.0
    else:
        assert "no calibration" in done.stdout
    run = load(tmp_path / "run.h5")
    assert run.metadata["clusters"]["cluster_count"] > 0
    assert np.isfinite(run.clusters()["energy"]).all() == calibrated
    assert (tmp_path / "run.png").stat().st_size > 10_000


@pytest.mark.parametrize("args, text", [
    (["--mode", "dd_toa_tot", "--calibration", "cal.h5"], "--calibration is for --clusters"),
    (["--mode", "binned_evcount", "--scan", "4x4", "--dwell", "1000", "--clusters"], "has none"),
    (["--mode", "dd_toa_tot", "--clusters", "--calibration", "/nonexistent/cal.h5"], "cal.h5"),
])
def test_the_command_line_refuses_clusters_it_cannot_make(args, text):
    done = vexasdk_cli("acquire", "--duration", "0.1", *args)
    assert done.returncode in (1, 2) and text in done.stderr


def test_clusters_find_the_truth_within_the_goals(ready):
    from vexasdk import sim

    sim.set_seed(5)
    sim.record_truth(True)
    sim.generate(packets_per_block=50_000, duration=0.2)
    hits = np.concatenate([block.packets for block in ready.acquire("dd_toa_tot")])
    score = sim.score_clusters(cluster(hits), sim.truth())
    assert score.isolated > 20_000 and score.found_once >= 0.99 and score.centroid_rms <= 0.25
    # The score sees what a clusterer gets wrong: hits kept apart split photons.
    split = sim.score_clusters(cluster(hits, window_ns=0, neighbours=4), sim.truth())
    assert split.found_once < 0.9 and split.split > 0
    with pytest.raises(ValueError, match="sorted by toa"):
        sim.isolated(sim.truth()[::-1])
