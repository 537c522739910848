"""Quick-look figures of a saved run (needs matplotlib: ``pip install vexasdk[plot]``).

One function per picture, each drawing into the axes it is given, and
`summary_figure` / `save_summary` for the figure of them all::

    run = vexasdk.nexus.load("run.h5")
    save_summary(run, "run.png")
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from vexasdk.nexus import Run
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import CHIP_SIZE

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["centroids_in_pixel", "cluster_map", "cluster_spectrum", "event_rate", "hit_map", "save_summary", "scan_image", "scan_images",
           "spectrum", "summary_figure"]

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
    """The assembled detector's events per pixel (log10 colour scale), with
    the chips' edges drawn."""
    from matplotlib.colors import LogNorm

    image = run.detector_image()
    events = int(image.sum())
    shown = ax.imshow(np.ma.masked_equal(image.astype(np.float64), 0), cmap="magma", origin="upper",
                      interpolation="nearest", norm=LogNorm(vmin=1, vmax=max(2.0, float(image.max()))))
    ax.set_facecolor("black")  # pixels without an event
    for edge in range(CHIP_SIZE, image.shape[1], CHIP_SIZE):
        ax.axvline(edge - 0.5, color="cyan", linewidth=0.8)
    for edge in range(CHIP_SIZE, image.shape[0], CHIP_SIZE):
        ax.axhline(edge - 0.5, color="cyan", linewidth=0.8)
    ax.set_title(f"Hit map ({events:,} events)")
    ax.set_xlabel("column (pixels of 55 µm)")
    ax.set_ylabel("row (pixels of 55 µm)")
    ax.figure.colorbar(shown, ax=ax, label="events per pixel (log10 scale)")


def _spectrum_values(run: Run) -> tuple[Any, str]:
    if run.mode in _TOA_TOT:
        return run["tot"], "ToT per hit"
    if run.mode is M.fb_itot_evcount:
        itot = run["itot"]
        return itot[itot > 0], "iToT per pixel and frame"
    if "itot" in run.arrays:
        return run["itot"].ravel(), "iToT per scan position"
    return run["evcount"].ravel(), "Events per scan position"


def spectrum(ax: Axes, run: Run) -> None:
    """The ToT spectrum (ToA-ToT modes) or iToT spectrum (the others), in ns
    or µs, each bin a whole number of 25 ns steps; for binned event counts, the
    distribution of events per scan position."""
    values, name = _spectrum_values(run)
    values = np.asarray(values, np.float64)
    counting = name.startswith("Events")
    unit, scale = ("events", 1.0) if counting else \
        (("µs", 1e-3) if values.size and float(np.percentile(values, 99.9)) > 1e4 else ("ns", 1.0))
    if values.size:
        quantum = 1.0 if counting else 25.0
        top = max(float(np.percentile(values, 99.9)), quantum)
        # Whole steps, centred (no picket fence), and no more bins than the values can fill.
        bins = min(200, max(10, int(2 * np.sqrt(values.size))))
        step = quantum * max(1, int(np.ceil(top / quantum / bins)))
        edges = np.arange(0.0, top + step, step) - step / 2
        ax.hist(values * scale, bins=list(edges * scale), color="tab:blue")
    ax.set_title(f"{name} spectrum" if not counting else f"{name}, distribution")
    ax.set_xlabel(f"{name.split()[0]} ({unit})" if not counting else "events at a position")
    ax.set_ylabel("positions" if counting or name.endswith("position") else "hits" if run.mode in _TOA_TOT
                  else "pixel frames")
    ax.ticklabel_format(axis="y", style="plain", useOffset=False)


def _centroids(run: Run) -> tuple[Any, Any, int]:
    rows = run.clusters()
    seen = np.isfinite(rows["x"]) & np.isfinite(rows["y"])
    return rows["x"][seen], rows["y"][seen], len(rows)


def cluster_map(ax: Axes, run: Run, subpixels: int = 4) -> None:
    """Clusters per sub-pixel bin (`subpixels` bins along a pixel's side) of
    the assembled detector, by where their centroids fall (log10 colour
    scale); zoom into a vector format to see the bins."""
    from matplotlib.colors import LogNorm

    x, y, count = _centroids(run)
    rows, columns = run.detector_image().shape
    image, _, _ = np.histogram2d(y, x, bins=(rows * subpixels, columns * subpixels),
                                 range=((-0.5, rows - 0.5), (-0.5, columns - 0.5)))
    shown = ax.imshow(np.ma.masked_equal(image, 0), cmap="magma", origin="upper", interpolation="nearest",
                      extent=(-0.5, columns - 0.5, rows - 0.5, -0.5),
                      norm=LogNorm(vmin=1, vmax=max(2.0, float(image.max()))))
    ax.set_facecolor("black")
    ax.set_title(f"Cluster centroids, 1/{subpixels}-pixel bins ({count:,} clusters)")
    ax.set_xlabel("column (pixels of 55 µm)")
    ax.set_ylabel("row (pixels of 55 µm)")
    ax.figure.colorbar(shown, ax=ax, label="centroids per bin (log10 scale)")


def centroids_in_pixel(ax: Axes, run: Run, bins: int = 21) -> None:
    """Where in its pixel each centroid falls, all pixels folded into one:
    single-pixel clusters sit at the centre, shared charge spreads the rest."""
    x, y, _ = _centroids(run)
    image, _, _ = np.histogram2d(np.mod(y + 0.5, 1.0) - 0.5, np.mod(x + 0.5, 1.0) - 0.5, bins=(bins, bins),
                                 range=((-0.5, 0.5), (-0.5, 0.5)))
    from matplotlib.colors import LogNorm

    shown = ax.imshow(np.ma.masked_equal(image, 0), cmap="viridis", origin="upper", interpolation="nearest",
                      extent=(-0.5, 0.5, 0.5, -0.5), norm=LogNorm(vmin=1, vmax=max(2.0, float(image.max()))))
    ax.set_title(f"Centroids within a pixel (1/{bins}-pixel bins)")
    ax.set_xlabel("column offset from the pixel's centre (pixels)")
    ax.set_ylabel("row offset (pixels)")
    ax.figure.colorbar(shown, ax=ax, label="centroids per bin (log10 scale)")


def cluster_spectrum(ax: Axes, run: Run) -> None:
    """The clusters' energies (keV), or their summed ToTs (ns) for a run saved
    without a calibration: of every cluster, and of the clusters of four
    pixels (those that keep a photon's whole charge), each with its
    photo-peak's position and FWHM marked."""
    from vexasdk.pixels import peak as find_peak

    rows = run.clusters()
    calibrated = bool(np.isfinite(rows["energy"]).any())
    values = rows["energy"] if calibrated else rows["tot"]
    known = np.isfinite(values)
    # Half a keV: energies come from whole ToT counts, which finer bins show as a comb.
    unit, step, low = ("keV", 0.5, 20.0) if calibrated else ("ns", 25.0, 500.0)
    if known.any():
        top = max(float(np.percentile(values[known], 99.5)), step)
        edges = np.arange(0.0, top + step, step)
        texts = []
        for label, chosen, colour, filled in (("all clusters", known, "tab:purple", True),
                                              ("clusters of 4 pixels", known & (rows["size"] == 4), "tab:green",
                                               False)):
            counts, _ = np.histogram(values[chosen], bins=edges)
            ax.stairs(counts, edges, fill=filled, color=colour, label=label, alpha=0.8 if filled else 1.0)
            peak = find_peak(counts, edges, within=(low, math.inf))
            if not math.isnan(peak.position):
                ax.axvline(peak.position, color=colour, linewidth=0.8, linestyle="--")
                texts.append(f"{label}: {peak.position:.2f} {unit}, FWHM {peak.fwhm:.2f} {unit}")
        ax.legend(loc="upper left", fontsize=8)
        ax.text(0.98, 0.98, "\n".join(texts), transform=ax.transAxes, fontsize=8, va="top", ha="right")
    ax.set_title("Cluster energy spectrum" if calibrated else "Cluster summed-ToT spectrum (no calibration)")
    ax.set_xlabel(f"{'energy' if calibrated else 'summed ToT'} ({unit})")
    ax.set_ylabel("clusters")
    ax.ticklabel_format(axis="y", style="plain", useOffset=False)


def event_rate(ax: Axes, run: Run) -> None:
    """Events per second: over the run (ToA-ToT), by frame arrival
    (iToT-evcount), or by scan row over its dwell time (binned modes); per
    frame or per row for files that keep no time."""
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
        ax.set_title("Event rate")
    elif run.mode is M.fb_itot_evcount and "frame_time" in run.arrays:
        # A frame's events over the time since the one before: the first has none.
        per_frame, arrived = run["evcount"].sum(axis=(1, 2)), run["frame_time"]
        if len(arrived) > 1:
            ax.plot(arrived[1:], per_frame[1:] / np.maximum(np.diff(arrived), 1e-6), marker=".", linewidth=0.8)
        ax.set_xlabel("frame arrival since the start (s)")
        ax.set_ylabel("events per second")
        ax.set_title("Event rate")
    elif run.mode is M.fb_itot_evcount:  # files written before frames had times
        per_frame = run["evcount"].sum(axis=(1, 2))
        ax.plot(np.arange(len(per_frame)), per_frame, marker=".", linewidth=0.8)
        ax.set_xlabel("frame")
        ax.set_ylabel("events per frame")
        ax.set_title("Events per frame")
    elif "evcount" in run.arrays and run.metadata.get("count_time"):
        # A row's events over its dwell: the time the beam spent on it.
        per_row = run["evcount"].sum(axis=1)
        row_time = run["evcount"].shape[1] * float(run.metadata["count_time"])
        ax.plot(np.arange(len(per_row)), per_row / row_time, marker=".", linewidth=0.8)
        ax.set_xlabel("scan row")
        ax.set_ylabel("events per second of dwell")
        ax.set_title("Event rate by scan row")
    elif "evcount" in run.arrays:  # the dwell time unknown
        per_row = run["evcount"].sum(axis=1)
        ax.plot(np.arange(len(per_row)), per_row, marker=".", linewidth=0.8)
        ax.set_xlabel("scan row")
        ax.set_ylabel("events per scan row")
        ax.set_title("Events per scan row")
    ax.set_ylim(bottom=0)
    ax.ticklabel_format(axis="y", style="plain", useOffset=False)


def _radii(run: Run) -> dict[str, Any]:
    import h5py  # type: ignore[import-untyped]

    try:
        with h5py.File(run.path, "r", libver="latest", swmr=True) as f:
            return {name: dict(f[f"entry/{name}/{name}"].attrs) for name in ("bright_field", "annular_dark_field")}
    except (OSError, KeyError):
        return {}


def _scan_names(run: Run) -> list[str]:
    return ["bright_field", "annular_dark_field"] if run.mode is M.binned_data else \
        [name for name in ("evcount", "itot") if name in run.arrays]


def scan_image(ax: Axes, run: Run, name: str) -> None:
    """One image of a scan (`name`: bright_field, annular_dark_field, evcount
    or itot), with the bright-field disc and dark-field ring said in pixels and
    mm, and a labelled linear colour scale."""
    titles = {"evcount": "Total counts per position", "itot": "iToT per position",
              "bright_field": "Bright field", "annular_dark_field": "Annular dark field"}
    attrs = _radii(run).get(name, {}) if name in ("bright_field", "annular_dark_field") else {}
    if "radius" in attrs:
        radius = float(attrs["radius"])
        titles[name] = f"Bright field: within {radius:g} px ({radius * 0.055:.2f} mm) of the centre"
    if "radii" in attrs:
        inner, outer = (float(r) for r in attrs["radii"])
        titles[name] = f"Annular dark field: {inner:g} to {outer:g} px from the centre"
    image = np.asarray(run[name], np.float64) * (1e-3 if name == "itot" else 1.0)
    shown = ax.imshow(image, cmap="gray", interpolation="nearest")
    ax.set_title(titles[name])
    ax.set_xlabel("scan x (positions)")
    ax.set_ylabel("scan y (positions)")
    ax.figure.colorbar(shown, ax=ax, label="iToT (µs, linear scale)" if name == "itot" else "events (linear scale)")


def scan_images(axes: list[Axes], run: Run) -> None:
    """Scans: the virtual bright field and annular dark field side by side
    (binned data), or the one image a binned mode delivers."""
    for ax, name in zip(axes, _scan_names(run)):
        scan_image(ax, run, name)


def _panels(run: Run) -> list[Any]:
    """What the figure of a run shows: only panels that have data in its mode."""
    draw: list[Any] = []
    if run.mode not in (M.binned_evcount, M.binned_itot):  # those keep no pixels
        draw.append(lambda ax: hit_map(ax, run))
    draw.append(lambda ax: spectrum(ax, run))
    if run.mode is not M.binned_itot:
        draw.append(lambda ax: event_rate(ax, run))
    if run.mode in _SCANS:
        draw += [lambda ax, name=name: scan_image(ax, run, name) for name in _scan_names(run)]
    if "clusters/x" in run.arrays:
        draw += [lambda ax: cluster_map(ax, run), lambda ax: centroids_in_pixel(ax, run),
                 lambda ax: cluster_spectrum(ax, run)]
    return draw


def summary_figure(run: Run) -> Figure:
    """The figure of a run: hit map, spectrum, event rate, for scans their
    images, and a caption; its title says the mode, duration, bias and threshold."""
    plt = _matplotlib()
    panels = _panels(run)
    count = len(panels) + 1  # and the caption
    columns = 3 if count > 4 or count == 3 else 2
    rows = -(-count // columns)
    figure, grid = plt.subplots(rows, columns, figsize=(5.8 * columns, 4.6 * rows), constrained_layout=True,
                                squeeze=False)
    cells = list(grid.ravel())
    for draw, ax in zip(panels, cells):
        draw(ax)
    cells[len(panels)].set_axis_off()
    cells[len(panels)].text(0.0, 0.5, _caption(run), fontsize=10, va="center", family="monospace")
    for ax in cells[count:]:
        figure.delaxes(ax)
    m = run.metadata
    threshold = f", threshold {run.chips[0]['threshold']:.2f} keV" if run.chips else ""
    figure.suptitle(f"{run.mode.name}: {m['duration']:.2f} s, bias {round(m['bias_voltage'], 1) + 0.0:.1f} V"
                    f"{threshold} — {m['connection_string']} ({os.path.basename(run.path)})")
    made: Figure = figure
    return made


def _caption(run: Run) -> str:
    m = run.metadata
    return "\n".join([
        f"start    {m['start_time']}",
        f"duration {m['duration']:.2f} s",
        f"blocks   {m['block_count']:,}",
        f"events   {m['event_count']:,}" if run.mode is not M.binned_itot else "events   (not counted: iToT only)",
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
