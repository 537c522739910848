"""What goes where in a file, per mode: one declarative list of groups and
fields, which the writer makes before the first block and the reader and
the documentation (docs/nexus-format.md) follow.

A field's `store` says how the writer fills it:

    value      written once, now
    scalar     one number, rewritten at every flush (the counts)
    events     one row per event, in compressed chunks (the event columns)
    blocks     one row per block, uncompressed (event_time_zero, event_index,
               TDC timestamps)
    frames     one compressed chunk per frame (frame-based iToT-evcount)
    positions  one compressed chunk per scan position (the 4D counts)
    image      a fixed image, rewritten in place (hit maps, scan images)
"""

from __future__ import annotations

import dataclasses
import re
from typing import Any, Literal

import numpy as np

from vexasdk.nexus.records import DetectorRecord, monitor_units
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import CHIP_SIZE, CHIPS_PER_ROW, detector_shape

__all__ = ["DEFINITION", "FORMAT", "Field", "Group", "Node", "PIXEL_SIZE", "TOA_TOT", "USER_MASKED",
           "arrays_of", "layout"]

M = OperationalMode
FORMAT = "vexasdk 2"
"""What the file's root says in its ``creator`` attribute: files of this layout."""
DEFINITION = "NXem"
"""The application definition every file names: the detector counts electrons
in a microscope, in events or in scans."""
TOA_TOT = (M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot)
PIXEL_SIZE = 55e-6  # metres
TIME_TEXT = "S40"  # ISO 8601, fixed-size so that it can be rewritten while readers follow the file
USER_MASKED = np.uint32(1 << 8)  # a pixel_mask bit: masked by the user
DETECTOR = "instrument/detector"
EVENTS = f"{DETECTOR}/events"
CLUSTERS = f"{DETECTOR}/clusters"
CLUSTER_COLUMNS = ("event_id", "event_time_offset", "event_time_zero", "event_index", "x", "y", "size", "tot",
                   "energy")
TDC_CHANNELS = 4  # rising and falling edges of the two TDC inputs

SCAN_IMAGES = {M.binned_data: ("evcount", "itot", "bright_field", "annular_dark_field"),
               M.binned_evcount: ("evcount",), M.binned_itot: ("itot",)}
"""The images of a scan, each in an NXdata of its own named after it."""

Store = Literal["value", "scalar", "events", "blocks", "frames", "positions", "image"]


@dataclasses.dataclass(frozen=True)
class Group:
    """A group below /entry (its path relative to it), of a NeXus class."""

    path: str
    nx_class: str
    attrs: dict[str, Any] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class Field:
    """A dataset below /entry. `shape` is the whole shape for fixed stores and
    one row's shape for growing ones (events, blocks, frames)."""

    path: str
    store: Store
    dtype: Any = None
    shape: tuple[int, ...] = ()
    value: Any = None
    units: str | None = None
    attrs: dict[str, Any] = dataclasses.field(default_factory=dict)


Node = Group | Field


def layout(mode: OperationalMode, scan_shape: tuple[int, int] | None, detector: DetectorRecord,
           radii: tuple[float, float, float], dwell_ns: int | None = None,
           clusters: dict[str, Any] | None = None) -> list[Node]:
    """The file of a run of `mode` on `detector`: every group and field below
    /entry, parents before children. `clusters`, the settings of a clustering
    stage, adds the group its rows go to (ToA-ToT modes)."""
    rows, columns = detector_shape(max(1, len(detector.chips)))
    default = {M.binned_data: "bright_field", M.binned_evcount: "evcount", M.binned_itot: "itot"}.get(mode, "data")
    nodes: list[Node] = [*_entry(mode, detector, default), *_detector(detector, rows, columns)]
    if mode in TOA_TOT:
        nodes += _events(mode, rows, columns)
        if clusters is not None:
            nodes += _clusters(clusters)
    elif mode is M.fb_itot_evcount:
        nodes += _frames(rows, columns)
    else:
        if scan_shape is None:
            raise ValueError(f"mode {mode.name} needs the scan shape")
        nodes += _scan(mode, scan_shape, rows, columns, radii)
        if dwell_ns is not None:
            nodes.append(Field(f"{DETECTOR}/count_time", "value", value=np.float64(dwell_ns * 1e-9), units="s",
                               attrs={"long_name": "counting time at each scan position"}))
    return nodes


def _entry(mode: OperationalMode, detector: DetectorRecord, default: str) -> list[Node]:
    return [
        Group("", "NXentry", {"default": default}),
        Field("definition", "value", value=DEFINITION),
        Field("title", "value", value=f"{mode.name} on {detector.connection_string}"),
        Field("program_name", "value", value="vexasdk", attrs={"version": _version()}),
        Field("start_time", "scalar", TIME_TEXT),
        Field("end_time", "scalar", TIME_TEXT),
        Field("mode", "value", value=mode.name),
        Field("duration", "scalar", np.float64, units="s"),
        *(Field(name, "scalar", np.int64) for name in ("block_count", "event_count", "failed_fetches",
                                                       "dropped_blocks")),
        # 1 once the run has ended with every block in the file; 0 while it is
        # written, and for good when blocks were lost or the end never came.
        Field("complete", "scalar", np.int8),
        Group("instrument", "NXinstrument"),
    ]


def _detector(detector: DetectorRecord, rows: int, columns: int) -> list[Node]:
    desired, actual = detector.bias if detector.bias is not None else (np.nan, np.nan)
    # One pixel a row, as event_id numbers them: row * columns + column.
    numbers = np.arange(rows * columns, dtype=np.int32)
    y_offsets, x_offsets = np.meshgrid(pixel_offsets(rows), pixel_offsets(columns), indexing="ij")
    nodes: list[Node] = [
        Group(DETECTOR, "NXdetector"),
        Field(f"{DETECTOR}/serial_number", "value", value=detector.serial_number),
        Field(f"{DETECTOR}/description", "value", value=detector.description),
        Field(f"{DETECTOR}/connection_string", "value", value=detector.connection_string),
        Field(f"{DETECTOR}/bias_voltage", "scalar", np.float64, value=actual, units="V"),
        Field(f"{DETECTOR}/bias_voltage_desired", "value", value=np.float64(desired), units="V"),
        Field(f"{DETECTOR}/x_pixel_size", "value", value=PIXEL_SIZE, units="m"),
        Field(f"{DETECTOR}/y_pixel_size", "value", value=PIXEL_SIZE, units="m"),
        Field(f"{DETECTOR}/detector_number", "value", value=numbers),
        Field(f"{DETECTOR}/x_pixel_offset", "value", value=x_offsets.ravel(), units="m"),
        Field(f"{DETECTOR}/y_pixel_offset", "value", value=y_offsets.ravel(), units="m"),
        Field(f"{DETECTOR}/pixel_mask", "value", value=assembled_mask(detector, rows, columns).ravel(),
              attrs={"description": "NeXus bits: 0 counts; bit 8 (256) masked on the chip by the user"}),
    ]
    for index, chip in enumerate(detector.chips):
        group = f"instrument/chip_{index}"
        origin = _chip_origin(index)
        nodes += [
            Group(group, "NXdetector_module"),
            Field(f"{group}/data_origin", "value", value=np.array(origin, np.int32)),
            Field(f"{group}/data_size", "value", value=np.array([CHIP_SIZE, CHIP_SIZE], np.int32)),
            Field(f"{group}/name", "value", value=chip.name),
            Field(f"{group}/threshold", "value", value=chip.threshold, units="keV"),
            Field(f"{group}/threshold_raw", "value", value=chip.threshold_raw),
            Field(f"{group}/polarity", "value", value=chip.polarity),
            Field(f"{group}/mode", "value", value=chip.mode),
            Field(f"{group}/chip_mask", "value", value=np.asarray(chip.pixel_mask),
                  attrs={"description": "the mask as written to the chip: 1 counts, 0 masked"}),
        ]
    for name, slug, reading in zip(detector.monitors, monitor_slugs(detector.monitors), detector.readings):
        group = f"instrument/{slug}"
        units = monitor_units(name)
        nodes += [
            Group(group, "NXlog"),
            Field(f"{group}/description", "value", value=name),
            # At the start and at the end of the run; the end is NaN until then.
            Field(f"{group}/value", "image", np.float64, (2,), value=np.array([reading, np.nan]), units=units),
            Field(f"{group}/time", "image", np.float64, (2,), value=np.zeros(2), units="s", attrs={"start": ""}),
        ]
    return nodes


def _events(mode: OperationalMode, rows: int, columns: int) -> list[Node]:
    nodes: list[Node] = [
        Group(EVENTS, "NXevent_data"),
        Field(f"{EVENTS}/event_id", "events", np.uint32,
              attrs={"description": "detector_number of the pixel: row * columns + column"}),
        Field(f"{EVENTS}/event_time_offset", "events", np.float64, units="ns"),
        Field(f"{EVENTS}/tot", "events", np.uint32, units="ns"),
        # The detector's clock: ns since it read zero, at the wall time
        # @offset, which the writer estimates from the first block.
        Field(f"{EVENTS}/event_time_zero", "blocks", np.int64, units="ns", attrs={"offset": ""}),
        Field(f"{EVENTS}/event_index", "blocks", np.int64),
        *_hit_map(rows, columns),
    ]
    if mode is not M.fb_toa_tot:
        nodes.append(Group("tdc", "NXparameters"))
        nodes += [Field(f"tdc/channel_{c}", "blocks", np.float64, units="ns") for c in range(TDC_CHANNELS)]
    return nodes


CLUSTER_COUNTS = ("cluster_count", "batch_count", "hit_count", "late_hits", "out_of_range_hits", "cut_clusters",
                  "dropped_blocks")
"""The clusters group's counts, rewritten at every flush: rows, batches of rows, hits clustered, hits too late
to join, hits past the chips, clusters cut at their longest span, blocks the clustering lost."""


def _clusters(settings: dict[str, Any]) -> list[Node]:
    """Clusters as events of their own: one row per cluster, at the pixel
    nearest its centroid, with the centroid, size, summed ToT and energy."""
    return [
        Group(CLUSTERS, "NXevent_data"),
        Field(f"{CLUSTERS}/event_id", "events", np.uint32,
              attrs={"description": "detector_number of the pixel nearest the centroid"}),
        Field(f"{CLUSTERS}/event_time_offset", "events", np.float64, units="ns",
              attrs={"description": "the earliest hit's ToA, less its time walk when calibrated"}),
        Field(f"{CLUSTERS}/event_time_zero", "blocks", np.int64, units="ns", attrs={"offset": ""}),
        Field(f"{CLUSTERS}/event_index", "blocks", np.int64),
        Field(f"{CLUSTERS}/x", "events", np.float64,
              attrs={"description": "centroid column in pixels of the assembled image, centres at whole numbers"}),
        Field(f"{CLUSTERS}/y", "events", np.float64,
              attrs={"description": "centroid row in pixels of the assembled image, centres at whole numbers"}),
        Field(f"{CLUSTERS}/size", "events", np.uint32, attrs={"description": "hits (pixels) in the cluster"}),
        Field(f"{CLUSTERS}/tot", "events", np.float64, units="ns", attrs={"description": "summed ToT"}),
        Field(f"{CLUSTERS}/energy", "events", np.float64, units="keV",
              attrs={"description": "summed energy of the hits; NaN without a calibration"}),
        *(Field(f"{CLUSTERS}/{name}", "scalar", np.int64) for name in CLUSTER_COUNTS),
        Field(f"{CLUSTERS}/window", "value", value=np.float64(settings["window_ns"]), units="ns"),
        Field(f"{CLUSTERS}/disorder", "value", value=np.float64(settings["disorder_ns"]), units="ns"),
        Field(f"{CLUSTERS}/max_span", "value", value=np.float64(settings["max_span_ns"]), units="ns"),
        Field(f"{CLUSTERS}/neighbours", "value", value=np.int32(settings["neighbours"])),
        Field(f"{CLUSTERS}/weight", "value", value=str(settings["weight"])),
        Field(f"{CLUSTERS}/calibrated", "value", value=np.int8(settings["calibration"] is not None)),
    ]


def _hit_map(rows: int, columns: int) -> list[Node]:
    return [
        Group("data", "NXdata", {"signal": "counts", "axes": ["y", "x"], "y_indices": 0, "x_indices": 1}),
        Field("data/counts", "image", np.uint64, (rows, columns), attrs={"long_name": "events per pixel"}),
        *_pixel_axes("data", rows, columns),
    ]


def _frames(rows: int, columns: int) -> list[Node]:
    return [
        Group("frames", "NXdata", {"signal": "evcount", "auxiliary_signals": ["itot"], "axes": ["frame", "y", "x"],
                                   "frame_indices": 0, "y_indices": 1, "x_indices": 2}),
        Field("frames/evcount", "frames", np.uint16, (rows, columns), attrs={"long_name": "events per pixel"}),
        Field("frames/itot", "frames", np.uint32, (rows, columns), units="ns"),
        Field("frames/frame", "blocks", np.int64, attrs={"long_name": "frame"}),
        # When each frame reached the host, from the instant its "start" names:
        # frames carry no clock of their own.
        Field("frames/frame_time", "blocks", np.float64, units="s",
              attrs={"long_name": "frame arrival time", "start": ""}),
        *_pixel_axes("frames", rows, columns),
        *_hit_map(rows, columns),
    ]


def _scan(mode: OperationalMode, scan_shape: tuple[int, int], rows: int, columns: int,
          radii: tuple[float, float, float]) -> list[Node]:
    width, height = scan_shape
    images = SCAN_IMAGES[mode]
    nodes: list[Node] = []
    if mode is M.binned_data:
        nodes += [
            Group("data", "NXdata", {"signal": "counts", "axes": ["scan_y", "scan_x", "y", "x"],
                                     "scan_y_indices": 0, "scan_x_indices": 1, "y_indices": 2, "x_indices": 3}),
            Field("data/counts", "positions", np.uint16, (height, width, rows, columns),
                  attrs={"long_name": "events per pixel and scan position"}),
            *_scan_axes("data", width, height),
            *_pixel_axes("data", rows, columns),
        ]
    # Both about the detector's centre, where the beam falls: said in pixels and in metres.
    centre = [rows / 2, columns / 2]
    attrs: dict[str, dict[str, Any]] = {
        "bright_field": {"long_name": "events within the bright-field disc", "radius": radii[0],
                         "units_of_radius": "pixels", "radius_m": radii[0] * PIXEL_SIZE, "centre": centre,
                         "units_of_centre": "pixels (row, column)"},
        "annular_dark_field": {"long_name": "events within the dark-field ring", "radii": list(radii[1:]),
                               "units_of_radii": "pixels", "radii_m": [r * PIXEL_SIZE for r in radii[1:]],
                               "centre": centre, "units_of_centre": "pixels (row, column)"}}
    for name in images:
        nodes += [
            Group(name, "NXdata", {"signal": name, "axes": ["scan_y", "scan_x"], "scan_y_indices": 0,
                                   "scan_x_indices": 1}),
            Field(f"{name}/{name}", "image", np.uint64, (height, width), units="ns" if name == "itot" else None,
                  attrs=attrs.get(name, {})),
            *_scan_axes(name, width, height),
        ]
    return nodes


def _pixel_axes(group: str, rows: int, columns: int) -> list[Node]:
    return [Field(f"{group}/y", "value", value=pixel_offsets(rows), units="m"),
            Field(f"{group}/x", "value", value=pixel_offsets(columns), units="m")]


def _scan_axes(group: str, width: int, height: int) -> list[Node]:
    return [Field(f"{group}/scan_y", "value", value=np.arange(height, dtype=np.int32),
                  attrs={"long_name": "scan row"}),
            Field(f"{group}/scan_x", "value", value=np.arange(width, dtype=np.int32),
                  attrs={"long_name": "scan column"})]


def pixel_offsets(count: int) -> np.ndarray:
    """Pixel centres from the detector's centre along one side, in metres."""
    return (np.arange(count, dtype=np.float64) - (count - 1) / 2) * PIXEL_SIZE


def _chip_origin(index: int) -> tuple[int, int]:
    return (index // CHIPS_PER_ROW) * CHIP_SIZE, (index % CHIPS_PER_ROW) * CHIP_SIZE


def assembled_mask(detector: DetectorRecord, rows: int, columns: int) -> np.ndarray:
    """The chips' masks (1 counts) as the detector's NeXus pixel_mask (0 counts)."""
    mask = np.zeros((rows, columns), np.uint32)
    for index, chip in enumerate(detector.chips):
        chip_mask = np.asarray(chip.pixel_mask)
        if chip_mask.shape != (CHIP_SIZE, CHIP_SIZE):
            continue
        top, left = _chip_origin(index)
        mask[top:top + CHIP_SIZE, left:left + CHIP_SIZE] = np.where(chip_mask == 0, USER_MASKED, 0)
    return mask


def monitor_slugs(names: tuple[str, ...]) -> list[str]:
    """A group name for each monitor, unique among them: "Chip 0 temperature"
    becomes monitor_chip_0_temperature."""
    slugs: list[str] = []
    for name in names:
        slug = "monitor_" + (re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_") or "unnamed")
        candidate, n = slug, 1
        while candidate in slugs:
            n += 1
            candidate = f"{slug}_{n}"
        slugs.append(candidate)
    return slugs


def arrays_of(mode: OperationalMode) -> dict[str, str]:
    """The run's data by the names `Run.arrays` gives them: name to path below /entry."""
    if mode in TOA_TOT:
        names = {name: f"{EVENTS}/{name}" for name in ("event_id", "event_time_offset", "event_time_zero",
                                                       "event_index", "tot")}
        if mode is not M.fb_toa_tot:
            names.update({f"tdc/channel_{c}": f"tdc/channel_{c}" for c in range(TDC_CHANNELS)})
        names.update({f"clusters/{name}": f"{CLUSTERS}/{name}" for name in CLUSTER_COLUMNS})
        return names
    if mode is M.fb_itot_evcount:
        return {"evcount": "frames/evcount", "itot": "frames/itot", "frame_time": "frames/frame_time"}
    names = {"counts": "data/counts"} if mode is M.binned_data else {}
    names.update({name: f"{name}/{name}" for name in SCAN_IMAGES[mode]})
    return names


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vexasdk")
    except PackageNotFoundError:
        return "unknown"
