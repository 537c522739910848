"""Quick-look figures of a saved run (needs matplotlib: ``pip install vexasdk[plot]``).

One function per picture, each drawing into the axes it is given, and
`summary_figure` / `save_summary` for the figure of them all::

    run = vexasdk.nexus.load("run.h5")
    save_summary(run, "run.png")
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import numpy as np

from vexasdk.nexus import Run
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import CHIP_SIZE

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["event_rate", "hit_map", "save_summary", "scan_images", "spectrum", "summary_figure"]

M = OperationalMode
_TOA_TOT = (M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot)
_SCANS = (M.binned_data, M.binned_evcount, M.binned_itot)


def _matplotlib() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise ImportError("the figures need matplotlib: pip install vexasdk[plot]") from None
    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    return plt


def hit_map(ax: Axes, run: Run) -> None:
    """The assembled detector's events per pixel, with the chips' edges drawn."""
    image = run.detector_image()
    shown = ax.imshow(np.log1p(image.astype(np.float64)), cmap="magma", origin="upper", interpolation="nearest")
    for edge in range(CHIP_SIZE, image.shape[1], CHIP_SIZE):
        ax.axvline(edge - 0.5, color="cyan", linewidth=0.8)
    for edge in range(CHIP_SIZE, image.shape[0], CHIP_SIZE):
        ax.axhline(edge - 0.5, color="cyan", linewidth=0.8)
    ax.set_title(f"Hit map ({int(image.sum()):,} events)")
    ax.set_xlabel("column")
    ax.set_ylabel("row")
    ax.figure.colorbar(shown, ax=ax, label="log(1 + events)")


def spectrum(ax: Axes, run: Run) -> None:
    """The ToT spectrum (ToA-ToT modes) or iToT spectrum (the others), in ns."""
    if run.mode in _TOA_TOT:
        values, name = run["tot"], "ToT"
    elif run.mode is M.fb_itot_evcount:
        itot = run["itot"]
        values, name = itot[itot > 0], "iToT per pixel and frame"
    elif "itot" in run.arrays:
        values, name = run["itot"].ravel(), "iToT per scan position"
    else:
        values, name = np.zeros(0), "iToT"
    values = np.asarray(values, np.float64)
    if values.size:
        # Whole counts of 25 ns a bin, or a few: the values are multiples of 25 ns.
        top = max(float(np.percentile(values, 99.9)), 25.0)
        step = 25.0 * max(1, int(np.ceil(top / 25.0 / 200)))
        ax.hist(values, bins=list(np.arange(0.0, top + step, step) - step / 2), color="tab:blue")
    ax.set_title(f"{name} spectrum")
    ax.set_xlabel(f"{name.split()[0]} (ns)")
    ax.set_ylabel("count")


def event_rate(ax: Axes, run: Run) -> None:
    """Events per block over the run's time (ToA-ToT), per frame, or per scan row."""
    if run.mode in _TOA_TOT:
        # Blocks of one acquisition share their zero (the shutter start): each
        # is placed at its first event, and its rate is its events over its span.
        index, offsets, zero = run["event_index"], run["event_time_offset"], run["event_time_zero"]
        full = index[np.diff(np.append(index, len(offsets))) > 0].astype(np.intp)
        if len(full):
            times = zero[np.searchsorted(index, full, side="right") - 1] + offsets[full]
            events = np.diff(np.append(full, len(offsets)))
            starts = (times - times[0]) * 1e-9
            spans = np.diff(np.append(starts, starts[-1] + np.median(np.diff(starts)) if len(starts) > 1 else 1.0))
            ax.plot(starts, events / np.maximum(spans, 1e-9), marker=".", linewidth=0.8)
        ax.set_xlabel("time since the first event (s)")
        ax.set_ylabel("events per second")
    elif run.mode is M.fb_itot_evcount:
        per_frame = run["evcount"].sum(axis=(1, 2))
        ax.plot(np.arange(len(per_frame)), per_frame, marker=".", linewidth=0.8)
        ax.set_xlabel("frame")
        ax.set_ylabel("events per frame")
    elif "evcount" in run.arrays:
        per_row = run["evcount"].sum(axis=1)
        ax.plot(np.arange(len(per_row)), per_row, marker=".", linewidth=0.8)
        ax.set_xlabel("scan row")
        ax.set_ylabel("events per row")
    ax.set_title("Event rate")


def scan_images(axes: list[Axes], run: Run) -> None:
    """Scans: virtual bright field and annular dark field side by side (binned
    data), or the one image a binned mode delivers."""
    names = ["bright_field", "annular_dark_field"] if run.mode is M.binned_data else \
        [name for name in ("evcount", "itot") if name in run.arrays]
    titles = {"bright_field": "Virtual bright field", "annular_dark_field": "Virtual annular dark field",
              "evcount": "Events per position", "itot": "iToT per position (ns)"}
    for ax, name in zip(axes, names):
        shown = ax.imshow(run[name], cmap="gray", interpolation="nearest")
        ax.set_title(titles[name])
        ax.set_xlabel("scan x")
        ax.set_ylabel("scan y")
        ax.figure.colorbar(shown, ax=ax)
    for ax in axes[len(names):]:
        ax.set_axis_off()


def summary_figure(run: Run) -> Figure:
    """The figure of a run: hit map, spectrum, event rate, and for scans their images."""
    plt = _matplotlib()
    scan = run.mode in _SCANS
    figure, grid = plt.subplots(2, 3 if scan else 2, figsize=(17 if scan else 11, 9), constrained_layout=True)
    top, bottom = grid
    hit_map(top[0], run)
    spectrum(top[1], run)
    event_rate(bottom[0], run)
    if scan:
        scan_images([bottom[1], bottom[2]], run)
        top[2].set_axis_off()
        top[2].text(0.0, 0.5, _caption(run), fontsize=10, va="center", family="monospace")
    else:
        bottom[1].set_axis_off()
        bottom[1].text(0.0, 0.5, _caption(run), fontsize=10, va="center", family="monospace")
    figure.suptitle(f"{run.mode.name} on {run.metadata['connection_string']} ({os.path.basename(run.path)})")
    made: Figure = figure
    return made


def _caption(run: Run) -> str:
    m = run.metadata
    return "\n".join([
        f"start    {m['start_time']}",
        f"duration {m['duration']:.2f} s",
        f"blocks   {m['block_count']:,}",
        f"events   {m['event_count']:,}",
        f"dropped  {m['dropped_blocks']:,}",
        f"bias     {round(m['bias_voltage'], 1) + 0.0:.1f} V",
        f"detector {m['serial_number']}",
    ])


def _check_image_path(path: str | os.PathLike[str]) -> None:
    text = os.fspath(path)
    if not text or text.endswith(os.sep) or os.path.isdir(text):
        raise ValueError(f"the figure's path must name a file, got {text!r}")


def save_summary(run: Run, path: str | os.PathLike[str], dpi: int = 100) -> None:
    """Draws `summary_figure(run)` into the image file `path` (PNG, ...).

    Raises:
        ValueError: `path` is empty or names a folder (matplotlib would
            write "path.png" beside it, which nobody asked for).
    """
    _check_image_path(path)
    plt = _matplotlib()
    figure = summary_figure(run)
    try:
        figure.savefig(os.fspath(path), dpi=dpi)
    finally:
        plt.close(figure)
