"""HDF5/NeXus files: what the writer keeps of every mode, the layout as plain
h5py and a NeXus reader see it, files read while written, files of runs that
ended badly, and the reader's refusals."""

import subprocess
import sys
import time

import awkward as ak
import h5py
import numpy as np
import pytest

import vexasdk.sim as sim
from vexasdk import OperationalMode
from vexasdk.nexus import HDF5Writer, NotOurFile, load
from vexasdk.pixels import detector_coordinates

from helpers import make_ready

M = OperationalMode
SCAN = {"scan": (12, 8), "dwell_ns": 1000}


@pytest.fixture
def ready(device):
    make_ready(device)
    sim.generate_default(duration=0.15)
    return device


def record(device, mode, path, **kwargs):
    """Runs `mode` with a writer at `path`; the blocks as the callback saw them."""
    blocks = []
    acquisition = device.acquire(mode, callback=blocks.append, sinks=[HDF5Writer(path)],
                                 **(SCAN if mode.name.startswith("binned") else {}), **kwargs)
    acquisition.wait()
    return acquisition, blocks


@pytest.mark.parametrize("mode", [M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot])
def test_events_round_trip_exactly(ready, tmp_path, mode):
    acquisition, blocks = record(ready, mode, tmp_path / "run.h5")
    run = load(tmp_path / "run.h5")
    packets = np.concatenate([b.packets for b in blocks]).view(np.recarray)
    rows, columns = detector_coordinates(packets.address)
    np.testing.assert_array_equal(run["event_id"], rows * 512 + columns)
    np.testing.assert_array_equal(run["tot"], packets.tot * 25)
    per_block = np.diff(np.append(run["event_index"].astype(np.int64), len(packets)))
    zero = np.repeat(run["event_time_zero"], per_block)
    # Offsets from a zero near 10**13 ns: a millionth of a ns is what float64 keeps beyond the ToA's step.
    np.testing.assert_allclose(zero + run["event_time_offset"], packets.toa * 1.5625, rtol=0, atol=1e-3)
    assert run["event_id"].dtype == np.uint32 and run["event_index"].dtype == np.uint64
    assert run.mode is mode and run.metadata["block_count"] == len(blocks) == acquisition.counts.blocks
    assert run.metadata["event_count"] == len(packets) and run.metadata["dropped_blocks"] == 0
    if mode is not M.fb_toa_tot:
        np.testing.assert_array_equal(run["event_time_zero"], [b.metadata.shutter_start * 1.5625 for b in blocks])
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


@pytest.mark.parametrize("mode, name", [(M.binned_evcount, "evcount"), (M.binned_itot, "itot")])
def test_a_scan_of_totals_keeps_its_image(ready, tmp_path, mode, name):
    _, blocks = record(ready, mode, tmp_path / "scan.h5")
    run = load(tmp_path / "scan.h5")
    scale = 25 if name == "itot" else 1
    np.testing.assert_array_equal(run[name].ravel(), np.concatenate([b.arrays[0] for b in blocks]) * scale)
    assert list(run.arrays) == [name]


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
        assert classes["entry"] == "NXentry" and classes["entry/events"] == "NXevent_data"
        assert classes["entry/instrument/detector"] == "NXdetector"
        units = {name: f[name].attrs.get("units") for name in (
            "entry/duration", "entry/events/event_time_offset", "entry/events/event_time_zero", "entry/events/tot",
            "entry/tdc/channel_0", "entry/instrument/detector/bias_voltage", "entry/instrument/detector/chip_2/threshold")}
        assert units == {"entry/duration": "s", "entry/events/event_time_offset": "ns",
                         "entry/events/event_time_zero": "ns", "entry/events/tot": "ns", "entry/tdc/channel_0": "ns",
                         "entry/instrument/detector/bias_voltage": "V",
                         "entry/instrument/detector/chip_2/threshold": "keV"}
        entry = f["entry"]
        assert entry["mode"][()] == b"dd_toa_tot" and entry["end_time"][()] > entry["start_time"][()]
        detector = entry["instrument/detector"]
        assert detector["serial_number"][()] == b"VX3-1001" and abs(detector["bias_voltage"][()] - 100) < 1
        assert detector["chip_1/pixel_mask"][3, 4] == 0 and detector["chip_1/pixel_mask"][()].sum() == 65535
        assert abs(detector["chip_2/threshold"][()] - 7.5) < 0.05
        names = [n.decode() for n in detector["monitors/name"][()]]
        assert "Chip 0 temperature" in names and np.isfinite(detector["monitors/end"][()]).all()


def test_a_nexus_reader_opens_the_events_without_help(ready, tmp_path):
    snx = pytest.importorskip("scippnexus")
    record(ready, M.dd_toa_tot, tmp_path / "run.h5")
    with snx.File(tmp_path / "run.h5") as f:
        events = f["entry/events"][...]
    run = load(tmp_path / "run.h5")
    assert events.sizes == {"event_time_zero": run.metadata["block_count"]}
    assert events.bins.size().sum().value == run.metadata["event_count"]
    assert str(events.bins.coords["event_time_offset"].unit) == "ns"


def test_a_file_is_read_while_it_is_written(ready, tmp_path):
    path = tmp_path / "run.h5"
    sim.generate_default(duration=1.5)
    acquisition = ready.acquire(M.dd_toa_tot, sinks=[HDF5Writer(path)])
    reader = subprocess.run([sys.executable, "-c", f"""
import time, h5py
seen = []
with h5py.File({str(path)!r}, "r", libver="latest", swmr=True) as f:
    events = f["entry/events/event_id"]
    for _ in range(40):
        events.refresh()
        seen.append(events.shape[0])
        time.sleep(0.02)
print(min(seen), max(seen))
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


class FailingDisk(HDF5Writer):
    """A writer whose disk fills up after three blocks."""

    written = 0

    def _write(self, block):
        if self.written == 3:
            raise OSError(28, "No space left on device")
        super()._write(block)
        self.written += 1


def test_a_full_disk_keeps_what_it_could_and_says_so(ready, tmp_path):
    sim.generate(blocks_per_second=0, packets_per_block=20, block_limit=10)
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[FailingDisk(tmp_path / "run.h5")])
    with pytest.raises(OSError, match="No space left on device"):
        acquisition.wait()
    run = load(tmp_path / "run.h5")
    assert run.metadata["block_count"] == 3 and run.metadata["dropped_blocks"] == 7
    assert len(run["event_index"]) == 3


def test_many_small_blocks_leave_no_holes_in_the_file(ready, tmp_path):
    # A followed file never reuses space: a chunk rewritten per block would
    # leave a copy behind each time.
    sim.generate(blocks_per_second=0, packets_per_block=2000, block_limit=200)
    ready.acquire(M.dd_toa_tot, sinks=[HDF5Writer(tmp_path / "run.h5")]).wait()
    with h5py.File(tmp_path / "run.h5") as f:
        stored = sum(f[f"entry/events/{name}"].id.get_storage_size() for name in f["entry/events"])
        assert f["entry/events/event_id"].shape[0] > 300_000
        assert f.id.get_filesize() < 2 * stored + (1 << 20)


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
    with pytest.raises(ValueError, match="compression must be"):
        HDF5Writer(tmp_path / "x.h5", compression="zstd")


def test_the_writer_never_holds_up_the_sdk_thread(ready, tmp_path):
    sim.generate(blocks_per_second=0, packets_per_block=2, block_limit=50)

    class SlowDisk(HDF5Writer):
        def _write(self, block):
            time.sleep(0.01)
            super()._write(block)

    began = time.monotonic()
    acquisition = ready.acquire(M.fb_toa_tot, sinks=[SlowDisk(tmp_path / "run.h5")], callback=lambda b: None)
    while acquisition.counts.blocks < 50:
        time.sleep(0.001)
    delivered = time.monotonic() - began
    acquisition.wait()
    assert delivered < 0.4 < time.monotonic() - began  # the blocks came at the SDK's pace, the disk after
    assert load(tmp_path / "run.h5").metadata["block_count"] == 50


def test_a_device_of_its_own_opens_the_saved_run_again(ready, tmp_path):
    record(ready, M.fb_itot_evcount, tmp_path / "run.h5")
    run = load(tmp_path / "run.h5")
    assert [c["name"] for c in run.chips] == [c.info().chip_name for c in ready.chips]
    assert all(c["mode"] == "fb_itot_evcount" for c in run.chips)
    assert set(run.monitors) == {m.info().name for m in ready.monitors}
