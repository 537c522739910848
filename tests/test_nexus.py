"""HDF5/NeXus files: what the writer keeps of every mode, the files as the
field's own readers see them, files read while written, files of runs that
ended badly (aborted, killed, a full disk), and the reader's refusals."""

import os
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import awkward as ak
import h5py
import numpy as np
import pytest

import vexasdk.sim as sim
from vexasdk import OperationalMode
from vexasdk.clusters import Clusters
from vexasdk.nexus import COMPRESSIONS, HDF5Writer, NotOurFile, load
from vexasdk.nexus import writer as writer_module
from vexasdk.pixels import detector_coordinates

from helpers import make_ready

M = OperationalMode
SCAN = {"scan": (12, 8), "dwell_ns": 1000}
EVENTS = "entry/instrument/detector/events"
DATA = Path(__file__).parent / "data"


@pytest.fixture
def ready(device):
    make_ready(device)
    sim.generate_default(duration=0.15)
    return device


def record(device, mode, path, **kwargs):
    """Runs `mode` with a writer at `path`; the blocks as the callback saw them."""
    blocks = []
    writer = HDF5Writer(path, **kwargs)
    acquisition = device.acquire(mode, callback=blocks.append, sinks=[writer],
                                 **(SCAN if mode.name.startswith("binned") else {}))
    acquisition.wait()
    return acquisition, blocks


@pytest.mark.parametrize("mode, compression", [(M.dd_toa_tot, "blosc2"), (M.dd_toa_tot_sorted, None),
                                               (M.fb_toa_tot, "lzf"), (M.dd_toa_tot, "gzip")])
def test_events_round_trip_exactly(ready, tmp_path, mode, compression):
    acquisition, blocks = record(ready, mode, tmp_path / "run.h5", compression=compression)
    run = load(tmp_path / "run.h5")
    packets = np.concatenate([b.packets for b in blocks]).view(np.recarray)
    rows, columns = detector_coordinates(packets.address)
    np.testing.assert_array_equal(run["event_id"], rows * 512 + columns)
    np.testing.assert_array_equal(run["tot"], packets.tot * 25)
    per_block = np.diff(np.append(run["event_index"], len(packets)))
    zero = np.repeat(run["event_time_zero"], per_block)
    np.testing.assert_array_equal(zero + run["event_time_offset"], packets.toa * 1.5625)  # exactly
    assert run["event_time_zero"].dtype == np.int64 and run["event_id"].dtype == np.uint32
    assert run.mode is mode and run.metadata["block_count"] == len(blocks) == acquisition.counts.blocks
    assert run.metadata["event_count"] == len(packets) and run.metadata["dropped_blocks"] == 0
    np.testing.assert_array_equal(run.detector_image().ravel(), np.bincount(rows * 512 + columns, minlength=512 ** 2))
    with h5py.File(tmp_path / "run.h5") as f:
        np.testing.assert_array_equal(f["entry/data/counts"][()], run.detector_image())  # the default plot
    if mode is not M.fb_toa_tot:
        np.testing.assert_array_equal(run["event_time_zero"], [int(b.metadata.shutter_start * 1.5625) for b in blocks])
        for channel in range(4):
            stamps = np.concatenate([b.metadata.tdcs[channel] for b in blocks])
            np.testing.assert_array_equal(run[f"tdc/channel_{channel}"], stamps * 1.5625)


def test_frames_round_trip_exactly(ready, tmp_path):
    _, blocks = record(ready, M.fb_itot_evcount, tmp_path / "run.h5")
    run = load(tmp_path / "run.h5")
    assert run["evcount"].shape == (len(blocks), 512, 512) and run["itot"].dtype == np.uint32
    for frame, block in enumerate(blocks):
        rows, columns = detector_coordinates(block.packets.address)
        np.testing.assert_array_equal(run["evcount"][frame, rows, columns], block.packets.evcount)
        np.testing.assert_array_equal(run["itot"][frame, rows, columns], block.packets.itot * 25)
        assert run["evcount"][frame].sum() == block.packets.evcount.sum()
    # Arrival times, in order, from the run's start: what a rate per second is made of.
    arrived = np.array([b.arrived for b in blocks])
    np.testing.assert_allclose(np.diff(run["frame_time"]), np.diff(arrived), atol=1e-6)


def test_a_scan_round_trips_with_its_images(ready, tmp_path):
    _, blocks = record(ready, M.binned_data, tmp_path / "scan.h5")
    run = load(tmp_path / "scan.h5")
    counts = run["counts"]
    assert counts.shape == (8, 12, 512, 512) and counts.dtype == np.uint16
    evcounts = np.concatenate([b.arrays[0] for b in blocks])
    itots = np.concatenate([b.arrays[1] for b in blocks])
    np.testing.assert_array_equal(run["evcount"].ravel(), evcounts)
    np.testing.assert_array_equal(run["itot"].ravel(), itots * 25)
    np.testing.assert_array_equal(counts.sum(axis=(2, 3)).ravel(), evcounts)  # every packet in its place
    flat = np.concatenate([ak.to_numpy(ak.flatten(b.arrays[2])) for b in blocks])
    rows, columns = detector_coordinates(flat["address"])
    radius = np.hypot(rows - 255.5, columns - 255.5)
    assert run["bright_field"].sum() == flat["evcount"][radius <= 32].sum()
    assert run["annular_dark_field"].sum() == flat["evcount"][(radius >= 48) & (radius <= 200)].sum()
    np.testing.assert_array_equal(run.detector_image(), counts.sum(axis=(0, 1)))
    assert run.metadata["count_time"] == SCAN["dwell_ns"] * 1e-9


@pytest.mark.parametrize("mode, name", [(M.binned_evcount, "evcount"), (M.binned_itot, "itot")])
def test_a_scan_of_totals_keeps_its_image(ready, tmp_path, mode, name):
    _, blocks = record(ready, mode, tmp_path / "scan.h5")
    run = load(tmp_path / "scan.h5")
    scale = 25 if name == "itot" else 1
    np.testing.assert_array_equal(run[name].ravel(), np.concatenate([b.arrays[0] for b in blocks]) * scale)
    assert list(run.arrays) == [name]


# ---- the field's own readers ----

def _third_party_warnings_only():
    """Warnings as errors, but for the deprecations that the readers' own
    dependencies raise among themselves."""
    warnings.simplefilter("error")
    warnings.simplefilter("ignore", DeprecationWarning)
    warnings.simplefilter("ignore", PendingDeprecationWarning)


def punx_findings(path):
    """The ERROR findings of `punx validate`, as (path, test, text)."""
    import hdf5plugin

    punx = Path(sys.executable).with_name("punx")
    done = subprocess.run([str(punx), "validate", str(path)], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, HDF5_PLUGIN_PATH=hdf5plugin.PLUGIN_PATH))
    assert done.returncode == 0 and "summary statistics" in done.stdout, done.stdout + done.stderr
    return [tuple(part.strip() for part in line.split("  ") if part.strip())
            for line in done.stdout.splitlines() if " ERROR " in line and not line.startswith("ERROR")]


@pytest.mark.parametrize("mode", [M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot, M.fb_itot_evcount,
                                  M.binned_data, M.binned_evcount, M.binned_itot])
def test_the_fields_readers_take_every_mode(ready, tmp_path, mode):
    pytest.importorskip("punx")
    nexus = pytest.importorskip("nexusformat.nexus")
    snx = pytest.importorskip("scippnexus")
    import matplotlib

    matplotlib.use("Agg")
    path = tmp_path / f"{mode.name}.h5"
    # ToA-ToT runs with their clusters beside the hits: a second event list of the detector.
    record(ready, mode, path, **({"clusters": Clusters()} if "toa_tot" in mode.name else {}))
    run = load(path)
    # punx knows the application definitions up to 2018; NXem came later.
    assert punx_findings(path) == [("/entry", "ERROR", "known NXDL", "NXem: unrecognized NXDL specification")]
    with warnings.catch_warnings():
        _third_party_warnings_only()
        default = nexus.nxload(str(path)).plottable_data
        default.plot()
        assert default.nxsignal.ndim == 2 and all(axis.nxname in ("x", "y", "scan_x", "scan_y")
                                                  for axis in default.nxaxes)
        loaded = {}
        with snx.File(path) as f:
            def visit(group):
                for child in group.values():
                    if isinstance(child, snx.Group):
                        if child.nx_class in (snx.NXdata, snx.NXevent_data, snx.NXlog):
                            loaded[child.name] = child[...]
                        visit(child)
            visit(f)
            if mode.name.endswith("toa_tot") or mode is M.dd_toa_tot_sorted:
                detector = f["entry/instrument/detector"][...]
                assert detector["events"].bins.size().sum().value == run.metadata["event_count"]
                assert str(loaded[f"/{EVENTS}"].bins.coords["event_time_offset"].unit) == "ns"
                assert detector["clusters"].bins.size().sum().value == run.metadata["clusters"]["cluster_count"] > 0
        units = {name.rsplit("/monitor_")[1]: str(log.unit) for name, log in loaded.items() if "/monitor_" in name}
        assert units["chip_0_temperature"] == "°C" and units["bias_current"] == "µA"
        assert units["vdd_supply_voltage"] == "V" and units["readout_error_count"] == "None"
    if mode is M.binned_data:
        lt = pytest.importorskip("libertem.api")
        with lt.Context.make_with("inline") as ctx:
            scan = ctx.load("hdf5", path=str(path), ds_path="/entry/data/counts")
            summed = ctx.run(ctx.create_sum_analysis(scan))
        np.testing.assert_array_equal(summed.intensity.raw_data, run.detector_image())


def test_the_layout_as_plain_h5py_sees_it(ready, tmp_path):
    ready.chips[2].set_threshold(7.5)
    mask = np.ones((256, 256), np.uint8)
    mask[3, 4] = 0
    ready.chips[1].set_pixel_mask(mask)
    record(ready, M.dd_toa_tot, tmp_path / "run.h5")
    with h5py.File(tmp_path / "run.h5", "r") as f:
        classes = {}
        f.visititems(lambda name, item: classes.__setitem__(name, item.attrs.get("NX_class"))
                     if isinstance(item, h5py.Group) else None)
        assert all(classes.values()), classes  # every group says what it is
        assert classes[EVENTS] == "NXevent_data" and classes["entry/instrument/chip_1"] == "NXdetector_module"
        assert f.attrs["default"] == "entry" and f["entry"].attrs["default"] == "data"
        entry = f["entry"]
        assert entry["definition"][()] == b"NXem" and entry["mode"][()] == b"dd_toa_tot"
        assert entry["start_time"][()].decode().endswith("+00:00") and entry["end_time"][()] > entry["start_time"][()]
        detector = entry["instrument/detector"]
        assert detector["serial_number"][()] == b"VX3-1001" and abs(detector["bias_voltage"][()] - 100) < 1
        numbers, mask_bits = detector["detector_number"][()], detector["pixel_mask"][()]
        # NeXus polarity: 0 counts; the chip's own mask is kept as written (1 counts).
        assert numbers[3 * 512 + 256 + 4] == 3 * 512 + 256 + 4 and mask_bits[3 * 512 + 256 + 4] == 256
        assert mask_bits.sum() == 256 and entry["instrument/chip_1/chip_mask"][()].sum() == 65535
        assert abs(entry["instrument/chip_2/threshold"][()] - 7.5) < 0.05
        assert entry["instrument/chip_2/threshold"].attrs["units"] == "keV"
        assert detector["x_pixel_offset"].attrs["units"] == "m" and detector["x_pixel_offset"].shape == (512 * 512,)
        zero = f[f"{EVENTS}/event_time_zero"]
        assert zero.attrs["units"] == "ns" and zero.attrs["offset"].decode().endswith("+00:00")
        log = entry["instrument/monitor_chip_0_temperature"]
        assert log["value"].attrs["units"] == "degC" and np.isfinite(log["value"][()]).all()
        assert log["description"][()] == b"Chip 0 temperature" and log["time"][1] > 0


# ---- files of runs that ended badly ----

def test_a_file_is_read_while_it_is_written(ready, tmp_path):
    path = tmp_path / "run.h5"
    sim.generate_default(duration=1.5)
    acquisition = ready.acquire(M.dd_toa_tot, sinks=[HDF5Writer(path)])
    reader = subprocess.run([sys.executable, "-c", f"""
import time, h5py, hdf5plugin
seen = []
with h5py.File({str(path)!r}, "r", libver="latest", swmr=True) as f:
    events, count = f["{EVENTS}/event_id"], f["entry/event_count"]
    for _ in range(40):
        count.refresh(); c = int(count[()]); events.refresh()  # the count first: a flush may come between
        seen.append((events.shape[0], c))
        time.sleep(0.03)
assert all(n >= c for n, c in seen), seen  # what it says it holds, it holds
print(seen[0][0], seen[-1][0])
"""], capture_output=True, text=True, timeout=30)
    acquisition.wait()
    assert reader.returncode == 0, reader.stderr
    first, last = map(int, reader.stdout.split())
    assert 0 <= first < last  # it grew while the reader watched
    assert load(path).metadata["event_count"] >= last


def test_an_aborted_run_leaves_a_whole_file(ready, tmp_path):
    sim.generate(blocks_per_second=200, packets_per_block=50)  # until aborted
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[HDF5Writer(tmp_path / "run.h5")])
    time.sleep(0.1)
    acquisition.abort()
    run = load(tmp_path / "run.h5")
    assert run.metadata["block_count"] == acquisition.counts.blocks > 0
    assert len(run["event_index"]) == run.metadata["block_count"]
    assert run.metadata["end_time"] and run.metadata["duration"] > 0


SAVING = """
import resource, sys, vexasdk.sim as sim
from vexasdk.cli import main
sim.generate(blocks_per_second={rate}, packets_per_block=20000, block_limit=5000)
{limit}
print("saving", flush=True)
sys.exit(main(["acquire", "--mode", "dd_toa_tot", "--bias", "100", "--quiet", "--save", sys.argv[1]]))
"""


def test_a_killed_writer_leaves_a_file_that_says_what_it_holds(tmp_path):
    path = tmp_path / "run.h5"
    child = subprocess.Popen([sys.executable, "-P", "-c", SAVING.format(rate=200, limit=""), str(path)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            time.sleep(0.2)
            try:
                if load(path).metadata["block_count"] >= 20:
                    break
            except (OSError, NotOurFile):  # not made yet, or its layout halfway
                pass
        time.sleep(0.3)  # mid-flight, between flushes
    finally:
        child.send_signal(signal.SIGKILL)
        child.communicate(timeout=30)
    run = load(path)
    blocks, events = run.metadata["block_count"], run.metadata["event_count"]
    assert blocks >= 20 and len(run["event_index"]) == len(run["event_time_zero"]) == blocks
    assert len(run["event_id"]) == len(run["tot"]) == len(run["event_time_offset"]) == events
    assert run["event_index"][-1] <= events and run.detector_image().sum() == events


def test_a_full_disk_ends_the_run_with_a_clear_error_and_a_readable_file(tmp_path):
    path = tmp_path / "run.h5"
    limit = "resource.setrlimit(resource.RLIMIT_FSIZE, (16 << 20, 16 << 20))"
    done = subprocess.run([sys.executable, "-P", "-c", SAVING.format(rate=100, limit=limit), str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1, done.stderr  # not a crash, not success
    assert f"writing {path} failed: File too large; the file keeps" in done.stderr
    assert "stopped: the file could not be written" in done.stdout  # the run ended early
    run = load(path)
    assert 0 < run.metadata["block_count"] == len(run["event_index"])
    assert len(run["event_id"]) == run.metadata["event_count"]
    kept = int(done.stderr.split("the file keeps ")[1].split()[0])
    assert kept == run.metadata["block_count"]


def test_many_small_blocks_leave_no_holes_in_the_file(ready, tmp_path):
    # A followed file never reuses space: chunks are written once, the
    # unfinished last one in place.
    sim.generate(blocks_per_second=2000, packets_per_block=2000, block_limit=400)
    ready.acquire(M.dd_toa_tot, sinks=[HDF5Writer(tmp_path / "run.h5")]).wait()
    with h5py.File(tmp_path / "run.h5") as f:
        stored = sum(item.id.get_storage_size() for item in f[EVENTS].values())
        raw = sum(item.size * item.dtype.itemsize for item in f[EVENTS].values())
        assert f[f"{EVENTS}/event_id"].shape[0] > 300_000
        assert f.id.get_filesize() < stored + (4 << 20) and stored < raw  # compressed, and nothing rewritten


def test_refusals(ready, tmp_path):
    path = tmp_path / "run.h5"
    path.write_bytes(b"")
    with pytest.raises(FileExistsError, match="run.h5 exists; give overwrite=True to replace it"):
        HDF5Writer(path)
    with pytest.raises(NotOurFile, match="is not an HDF5 file"):
        load(path)
    with h5py.File(tmp_path / "other.h5", "w") as f:
        f["x"] = 1
    with pytest.raises(NotOurFile, match="is not a file of vexasdk's"):
        load(tmp_path / "other.h5")
    with pytest.raises(FileNotFoundError):
        load(tmp_path / "missing.h5")
    with pytest.raises(OSError, match="cannot create"):
        ready.acquire(M.fb_toa_tot, sinks=[HDF5Writer(tmp_path / "no" / "such" / "dir.h5")])
    assert sim.call_count("vexasdk_acq_start") == 0  # nothing was started for a file that could not be made
    assert COMPRESSIONS == ("blosc2", "lzf", "gzip", None)
    for bad, match in [({"compression": "zstd"}, "compression must be one of 'blosc2', 'lzf', 'gzip', None"),
                       ({"threads": 0}, "threads must be an integer from 1 to 64, got 0"),
                       ({"max_queued_bytes": 0}, "max_queued_bytes must be an integer of at least 1")]:
        with pytest.raises(ValueError, match=match):
            HDF5Writer(tmp_path / "x.h5", **bad)


def test_the_writer_never_holds_up_the_sdk_thread(ready, tmp_path, monkeypatch):
    sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=50)
    write = writer_module._Sink.write
    monkeypatch.setattr(writer_module._Sink, "write", lambda sink, block: (time.sleep(0.01), write(sink, block)))
    began = time.monotonic()
    writer = HDF5Writer(tmp_path / "run.h5")
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[writer], callback=lambda b: None)
    while acquisition.counts.blocks < 50:
        time.sleep(0.001)
    delivered = time.monotonic() - began
    acquisition.wait()
    assert delivered < 0.4 < time.monotonic() - began  # the blocks came at the SDK's pace, the disk after
    assert load(tmp_path / "run.h5").metadata["block_count"] == 50 == writer.counts.written == writer.counts.received


def test_a_device_of_its_own_opens_the_saved_run_again(ready, tmp_path):
    record(ready, M.fb_itot_evcount, tmp_path / "run.h5")
    run = load(tmp_path / "run.h5")
    assert [c["name"] for c in run.chips] == [c.info().chip_name for c in ready.chips]
    assert all(c["mode"] == "fb_itot_evcount" and c["pixel_mask"].sum() == 65536 for c in run.chips)
    assert set(run.monitors) == {m.info().name for m in ready.monitors}


@pytest.mark.parametrize("mode, arrays", [
    ("dd_toa_tot", {"event_id": (352,), "event_index": (3,), "tdc/channel_2": (6,)}),
    ("binned_data", {"counts": (2, 3, 512, 512), "bright_field": (2, 3)})])
def test_files_of_the_first_layout_still_load(mode, arrays):
    run = load(DATA / f"first_format_{mode}.h5")
    assert run.mode.name == mode and run.metadata["block_count"] == 3 and len(run.chips) == 4
    assert {name: run[name].shape for name in arrays} == arrays
    assert run.chips[0]["pixel_mask"].shape == (256, 256) and "Chip 0 temperature" in run.monitors


def test_a_series_keeps_one_file_over_several_acquisitions(ready, tmp_path):
    writer = HDF5Writer(tmp_path / "series.h5", series=True)
    runs = []
    for _ in range(3):
        runs.append(ready.acquire(M.fb_itot_evcount, frames=2, sinks=[writer]))
        runs[-1].wait()
    assert load(tmp_path / "series.h5").metadata["block_count"] == 6  # readable between acquisitions
    with pytest.raises(ValueError, match="a series holds acquisitions of one mode"):
        ready.arm(M.fb_toa_tot, sinks=[writer])
    writer.finish()
    writer.finish()
    run = load(tmp_path / "series.h5")
    assert run["evcount"].shape[0] == 6 and run.metadata["complete"] and writer.counts.written == 6
    assert np.all(np.diff(run["frame_time"]) > 0)
    assert run.metadata["duration"] >= runs[-1].ended_at - runs[0].started_at - 0.05
    with pytest.raises(RuntimeError, match="is finished"):
        ready.arm(M.fb_itot_evcount, sinks=[writer])
