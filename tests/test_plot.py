"""Quick-look figures, and the command line's --save, --plot and show."""

import subprocess
import sys

import pytest

import vexasdk.sim as sim
from vexasdk import OperationalMode
from vexasdk.nexus import HDF5Writer, load

from helpers import INTERRUPTIBLE, make_ready

M = OperationalMode


def saved_run(device, tmp_path, mode, **kwargs):
    make_ready(device)
    sim.generate_default(duration=0.1)
    path = tmp_path / f"{mode.name}.h5"
    device.acquire(mode, sinks=[HDF5Writer(path)], **kwargs).wait()
    return load(path)


SCAN = {"scan": (8, 6), "dwell_ns": 1000}


@pytest.mark.parametrize("mode, kwargs, size", [
    (M.dd_toa_tot, {}, (1160, 920)), (M.fb_toa_tot, {}, (1160, 920)), (M.fb_itot_evcount, {}, (1160, 920)),
    (M.binned_data, SCAN, (1740, 920)), (M.binned_evcount, SCAN, (1160, 920)), (M.binned_itot, SCAN, (1740, 460)),
])
def test_the_summary_figure_of_every_kind_of_run_reads_at_a_glance(device, tmp_path, mode, kwargs, size):
    pytest.importorskip("matplotlib")
    from vexasdk.plot import save_summary, summary_figure

    run = saved_run(device, tmp_path, mode, **kwargs)
    figure = summary_figure(run)
    bars = [ax for ax in figure.axes if ax.get_label() == "<colorbar>"]
    panels = [ax for ax in figure.axes if ax not in bars and ax.axison]
    assert all(bar.get_ylabel() for bar in bars) and not [bar for bar in bars if "log(" in bar.get_ylabel()]
    for ax in panels:
        assert ax.get_title() and ax.get_xlabel() and ax.get_ylabel(), ax.get_title()
        assert ax.images or ax.patches or any(len(line.get_xdata()) for line in ax.lines), ax.get_title()
        if ax.get_ylabel().startswith("events per"):
            assert ax.get_ylim()[0] == 0, ax.get_title()
    for ax in panels:
        if ax.get_title().startswith("Hit map"):
            assert f"({int(run.detector_image().sum()):,} events)" in ax.get_title()
        if "spectrum" in ax.get_title() and "ns" in ax.get_xlabel():  # bins of whole 25 ns steps, centred
            edges = sorted({patch.get_x() for patch in ax.patches})
            assert all((edge + 12.5) % 25 == 0 for edge in edges)
    title = figure._suptitle.get_text()
    assert mode.name in title and " s, bias " in title and "threshold" in title
    png = tmp_path / "run.png"
    save_summary(run, png)
    data = png.read_bytes()
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and (width, height) == size


def test_without_matplotlib_the_figures_say_what_they_need(device, tmp_path, monkeypatch):
    run = saved_run(device, tmp_path, M.fb_toa_tot)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    from vexasdk.plot import save_summary

    with pytest.raises(ImportError, match=r"the figures need matplotlib: pip install vexasdk\[plot\]"):
        save_summary(run, tmp_path / "run.png")


def vexasdk_cli(*args, cwd):
    return subprocess.run([sys.executable, "-P", "-m", "vexasdk", *args], capture_output=True, text=True,
                          timeout=60, cwd=cwd)


def test_acquire_saves_and_draws_and_show_reads_it_back(tmp_path):
    pytest.importorskip("matplotlib")
    made = vexasdk_cli("acquire", "--mode", "dd_toa_tot", "--duration", "0.5", "--bias", "100", "--quiet",
                       "--save", "run.h5", "--plot", "run.png", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    assert "  saved         run.h5\n  figure        run.png\n" in made.stdout
    shown = vexasdk_cli("show", "run.h5", "--plot", "again.png", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.startswith("Run of dd_toa_tot on virtual:0 (VX3-1001, Virtual Timepix3 quad detector)")
    assert "  data          event_id: " in shown.stdout and "uint32" in shown.stdout
    assert (tmp_path / "run.png").stat().st_size > 20_000 and (tmp_path / "again.png").stat().st_size > 20_000
    again = vexasdk_cli("acquire", "--mode", "dd_toa_tot", "--duration", "0.1", "--save", "run.h5", cwd=tmp_path)
    assert again.returncode == 2 and again.stderr == \
        "vexasdk acquire: error: --save: run.h5 exists; give --overwrite to replace it\n"
    replaced = vexasdk_cli("acquire", "--mode", "dd_toa_tot", "--duration", "0.1", "--save", "run.h5", "--overwrite",
                           "--quiet", cwd=tmp_path)
    assert replaced.returncode == 0, replaced.stderr


@pytest.mark.parametrize("args, status, text", [
    (["show", "missing.h5"], 1, "vexasdk show: missing.h5 does not exist\n"),
    (["show", "plain.txt"], 1, "vexasdk show: plain.txt is not an HDF5 file, let alone one of vexasdk's\n"),
    (["acquire", "--mode", "dd_toa_tot", "--plot", "x.png"], 2, "--plot draws the saved run: give --save FILE.h5 too"),
    (["acquire", "--mode", "dd_toa_tot", "--save", "no/such/dir/run.h5"], 2, "no/such/dir does not exist"),
])
def test_file_troubles_exit_with_a_message(tmp_path, args, status, text):
    (tmp_path / "plain.txt").write_text("not a run")
    result = vexasdk_cli(*args, cwd=tmp_path)
    assert result.returncode == status
    assert text in result.stderr and "Traceback" not in result.stderr


def test_ctrl_c_while_saving_leaves_a_whole_file(tmp_path):
    import signal

    child = subprocess.Popen([sys.executable, "-P", "-m", "vexasdk", "acquire", "--mode", "fb_toa_tot", "--duration",
                              "30", "--bias", "100", "--save", "run.h5"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, cwd=tmp_path, **INTERRUPTIBLE)
    assert " blocks " in child.stdout.readline()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 130, err
    run = load(tmp_path / "run.h5")
    blocks = int(out.split("  blocks        ")[1].split()[0].replace(",", ""))
    assert run.metadata["block_count"] == blocks > 0 and run.metadata["dropped_blocks"] == 0
