"""Calibration files, the flat-field fit against the virtual detector's own
pixels, the peak finder, and `vexasdk calibrate`."""

import math

import h5py
import numpy as np
import pytest

import vexasdk.sim as sim
from test_cli import vexasdk
from vexasdk.calibration import FlatField, peak
from vexasdk.events import Calibration, cluster


def varied(chips=2, seed=0):
    rng = np.random.default_rng(seed)
    shape = (chips, 256, 256)
    return Calibration(1.6 + 0.05 * rng.standard_normal(shape), 24 + rng.standard_normal(shape),
                       np.full(shape, 60.0), np.full(shape, 1.5), threshold=[5.0, 6.5][:chips], walk_ns=80.0)


def test_a_saved_calibration_loads_as_it_was(tmp_path):
    path = tmp_path / "cal.h5"
    original = varied()
    original.save(path, description="made by a test")
    again = Calibration.load(path)
    for name in ("a", "b", "c", "t", "threshold"):
        np.testing.assert_array_equal(getattr(again, name), getattr(original, name))
    assert again.walk_ns == 80.0
    with h5py.File(path) as f:
        assert f["calibration"].attrs["NX_class"] == "NXcollection"
        assert f["calibration"].attrs["description"] == "made by a test"
        assert f["calibration/a"].attrs["units"] == "1/keV"
    with pytest.raises(FileExistsError, match="overwrite"):
        original.save(path)
    Calibration.uniform(1).save(path, overwrite=True)
    assert Calibration.load(path).chips == 1
    assert [p.name for p in tmp_path.iterdir()] == ["cal.h5"]  # no half-written file left behind


def spoil(path, action):
    with h5py.File(path, "r+") as f:
        action(f["calibration"])


def replace(name, value):
    def action(group):
        units = group[name].attrs.get("units")
        del group[name]
        group[name] = value
        if units is not None:
            group[name].attrs["units"] = units
    return action


@pytest.mark.parametrize("action, said", [
    (lambda g: g.__delitem__("c"), "/calibration/c: missing"),
    (replace("a", np.ones((2, 128, 256))), r"/calibration/a: must have shape \(chips, 256, 256\)"),
    (replace("b", np.ones((1, 256, 256))), r"/calibration/b: must have shape \(2, 256, 256\), got \(1, 256, 256\)"),
    (replace("t", np.ones((2, 256, 256), np.int32)), "/calibration/t: must hold floating-point numbers, got int32"),
    (replace("b", np.full((2, 256, 256), np.nan)), "/calibration/b: must be finite"),
    (replace("a", np.zeros((2, 256, 256))), "map a must be positive everywhere"),
    (replace("threshold", np.ones(3)), r"/calibration/threshold: must have shape \(2,\)"),
    (lambda g: g["c"].attrs.__setitem__("units", "eV"), "/calibration/c: must be in 'keV', got units 'eV'"),
    (lambda g: g.attrs.__setitem__("version", 7), "layout version 7"),
], ids=["missing", "shape", "maps-disagree", "dtype", "not-finite", "out-of-range", "threshold", "units", "version"])
def test_a_spoilt_file_is_refused_by_name(tmp_path, action, said):
    path = tmp_path / "cal.h5"
    varied().save(path)
    spoil(path, action)
    with pytest.raises(ValueError, match=f"^{path}: .*{said}"):
        Calibration.load(path)


@pytest.mark.parametrize("damage, said", [
    (lambda data: b"not a calibration\n" * 100, "not an HDF5 file"),
    (lambda data: data[:len(data) // 2], r"cannot be read as HDF5 \(cut short or damaged"),
    (lambda data: data[:3000], r"cannot be read as HDF5 \(cut short or damaged"),
], ids=["text", "half", "header-only"])
def test_files_that_are_no_calibrations_are_refused(tmp_path, damage, said):
    path = tmp_path / "cal.h5"
    varied().save(path)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match=f"^{path}: {said}"):
        Calibration.load(path)
    with pytest.raises(FileNotFoundError):
        Calibration.load(tmp_path / "absent.h5")


@pytest.mark.parametrize("centre, sigma, within", [(59.5, 1.0, None), (13.9, 0.7, (10.0, 20.0)), (48.2, 2.5, None)])
def test_peak_finds_a_lines_position_and_width(centre, sigma, within):
    rng = np.random.default_rng(1)
    values = np.concatenate([rng.normal(centre, sigma, 200_000), rng.uniform(0, 80, 20_000)])
    counts, edges = np.histogram(values, bins=np.arange(0, 80, 0.25))
    found = peak(counts, edges, within=within)
    assert found.position == pytest.approx(centre, abs=0.05)
    assert found.fwhm == pytest.approx(2.3548 * sigma, rel=0.05)
    assert math.isnan(peak(np.zeros(4), np.arange(5)).position)
    with pytest.raises(ValueError, match="edges"):
        peak(counts, edges[:-1])


def flood(device, blocks, seed=5):
    """A seeded flat-field run of `blocks` fresh blocks of 10,000 hits."""
    for chip in device.chips:
        chip.set_threshold(5.0)
    sim.set_seed(seed)
    sim.generate(packets_per_block=10_000, block_limit=blocks)
    flat = FlatField(4)
    packets = []
    for block in device.acquire("dd_toa_tot"):
        flat.add(block.packets)
        packets.append(block.packets.copy())
    return flat, np.concatenate(packets)


def kev(tot, a, b, c, t):
    p, q = b - tot - a * t, -(b - tot) * t - c
    return (-p + np.sqrt(p * p - 4 * a * q)) / (2 * a)


def test_the_fit_finds_each_chips_response_and_energies_follow(ready):
    # Chips whose pixels differ from chip to chip far more than pixel to
    # pixel: a short run fits each chip from all its hits together.
    shape = (4, 256, 256)
    a = np.broadcast_to(np.array([1.4, 1.6, 1.75, 1.9])[:, None, None], shape)
    b = np.broadcast_to(np.array([28.0, 24.0, 20.0, 26.0])[:, None, None], shape)
    sim.set_pixel_calibration(a, b, np.full(shape, 60.0), np.full(shape, 1.5))
    flat, packets = flood(ready, 300)
    cal = flat.fit()
    report = flat.report
    assert report.chips_fitted == 4 and report.fitted + report.fallback == 4 * 65536
    assert report.full_peak_kev == pytest.approx([59.5] * 4, abs=0.1)
    for line in (59.5, 13.9, 30.0):
        true_tot = a * line + b - 60.0 / (line - 1.5)
        error = kev(true_tot, cal.a, cal.b, cal.c, cal.t) - line
        assert np.abs(np.median(error, axis=(1, 2))).max() < 0.5, line
    # The photo-peak of clusters that keep all their charge, through the fitted
    # calibration and through the pixels' own: as narrow, at the line.
    fitted, ideal = (photo_peak(packets, calibration) for calibration in (cal, Calibration(
        a, b, np.full(shape, 60.0), np.full(shape, 1.5))))
    assert fitted.position == pytest.approx(59.5, abs=0.5) and ideal.position == pytest.approx(59.5, abs=0.5)
    assert fitted.fwhm == pytest.approx(ideal.fwhm, rel=0.1)


def photo_peak(packets, calibration):
    rows = cluster(packets, calibration=calibration)
    counts, edges = np.histogram(rows["energy"][rows["size"] == 4], bins=np.arange(50, 70, 0.25))
    return peak(counts, edges)


def test_a_run_without_enough_clusters_is_refused(ready):
    flat, _ = flood(ready, 1)
    with pytest.raises(ValueError, match=r"clusters of four pixels.* on chip \d among its first .* hits; the fit needs"):
        flat.fit()
    with pytest.raises(ValueError, match="containment must be 0.5 to 1, got 2"):
        flat.fit(containment=2)
    with pytest.raises(ValueError, match="lines must be two energies in keV, the higher first"):
        flat.fit(lines=(13.9, 59.5))


def test_calibrate_fits_saves_and_summarises(tmp_path):
    out = tmp_path / "cal.h5"
    result = vexasdk("calibrate", "--duration", "1", "--out", str(out))
    assert result.returncode == 0, result.stderr
    for text in ("Flat field on the first device: 1 s", "  fitted        ", "  few hits      ",
                 "given their chip's a and b where they had none", f"  saved         {out}"):
        assert text in result.stdout
    assert Calibration.load(out).chips == 4
    again = vexasdk("calibrate", "--duration", "1", "--out", str(out))
    assert again.returncode == 2 and "exists; give --overwrite" in again.stderr
    bad = vexasdk("calibrate", "--duration", "1", "--out", str(out), "--lines", "13.9,59.5")
    assert bad.returncode == 2 and "the higher first" in bad.stderr
