"""The command line: ``vexasdk list``, ``info``, ``acquire``, ``show``, and
``stream`` and ``receive`` for acquisitions watched from other machines.

Exit status: 0 on success, 1 when the SDK refused (its message, no
traceback) or a file could not be written, 2 for bad arguments, 3 when the
run finished but blocks were lost (or a stream's end never came: the summary
gives the account), 130 after Ctrl-C (which aborts the acquisition cleanly
and still prints the summary of what arrived).
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import sys
import threading
import time
import warnings
from collections.abc import Callable, Sequence
from typing import IO, Any

import numpy as np
import numpy.typing as npt

import vexasdk
from vexasdk._device import Device
from vexasdk.acquisition import BINNED_MODES, DATA_MODES, Acquisition, AcquisitionCounts, Block
from vexasdk.pixel_chip import OperationalMode
from vexasdk.pixels import TOT_NS, HitMap, ScanImage, coarse

M = OperationalMode
SHADES = " .:-=+*#%@"
_TOT_LIMIT = 1 << 14  # ToT and iToT counts are histogrammed up to here; larger ones go to the last bin


class UsageError(Exception):
    """A bad argument, found once the device is open (exit status 2)."""


MAX_POSITIONS = 1 << 24
"""The most scan positions `acquire --scan` takes: its images must fit in memory."""

LOST = 3
"""The exit status of a run that finished but lost blocks (or cannot vouch for them)."""

# ---- arguments ----


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _scan(text: str) -> tuple[int, int]:
    parts = text.lower().split("x")
    try:
        width, height = (int(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be WIDTHxHEIGHT, such as 64x64, got {text!r}") from None
    if not (1 <= width < 2**32 and 1 <= height < 2**32):
        raise argparse.ArgumentTypeError(f"width and height must be 1 to {2**32 - 1}, got {text}")
    if width * height > MAX_POSITIONS:
        raise argparse.ArgumentTypeError(
            f"at most {MAX_POSITIONS:,} positions (4096x4096), got {width * height:,}: the summary and the file "
            f"keep several images of 8 bytes a position in memory")
    return width, height


def _dwell(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number of ns, got {text!r}") from None
    if not 1 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must be 1 to {2**64 - 1} ns, got {text}")
    return value


def _address(text: str) -> str:
    if "://" not in text:
        raise argparse.ArgumentTypeError(f"must be a ZeroMQ address such as tcp://127.0.0.1:5555, got {text!r}")
    return text


def _count_of(low: int, high: int) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, got {text}")
        return value
    return parse


def _acquire_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--mode", required=True, choices=[m.name for m in DATA_MODES], metavar="MODE",
                         help="the data mode: " + ", ".join(m.name for m in DATA_MODES))
    command.add_argument("--duration", type=_positive_float, metavar="S",
                         help="stop after S seconds (above 0, at most 1e9; default: when the run ends by itself, "
                              "which the virtual detector's does after 1 s, a scan at its last position)")
    command.add_argument("--threshold", type=_finite_float, metavar="KEV",
                         help="every chip's threshold in keV, within the chips' range (`vexasdk info`; the "
                              "virtual detector's: 2.5 to 199.75 keV); default: as the chips are")
    command.add_argument("--bias", type=_finite_float, metavar="V",
                         help=f"the sensor bias in volts, within the device's range (`vexasdk info`; the virtual "
                              f"detector's: -200 to 200 V); default: {vexasdk.OPERATING_BIAS:g} V, past full depletion "
                              f"({vexasdk.DEPLETION_BIAS:g} V)")
    command.add_argument("--scan", type=_scan, metavar="WxH",
                         help="binned modes, and needed there: the scan in positions, such as 64x64 "
                              "(at most 16,777,216 positions in all)")
    command.add_argument("--dwell", type=_dwell, metavar="NS",
                         help="binned modes, and needed there: the dwell time per position in ns (at least 1)")
    command.add_argument("--device", metavar="CONN", help="connection string (default: the first device)")
    command.add_argument("--quiet", action="store_true", help="no progress, only the summary")
    command.add_argument("--clusters", action="store_true",
                         help="ToA-ToT modes: join the hits into clusters as they come; the summary shows their "
                              "spectrum, --save keeps them beside the hits")
    command.add_argument("--calibration", metavar="CAL.h5",
                         help="with --clusters: per-pixel ToT-to-energy maps (vexasdk calibrate writes them), for "
                              "energies in keV and time-walk-corrected times")
    _saving_options(command)


def _saving_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--save", metavar="FILE.h5",
                         help="keep the run in an HDF5/NeXus file (in a folder that exists; an existing file "
                              "needs --overwrite)")
    command.add_argument("--overwrite", action="store_true", help="replace the --save and --plot files if they exist")
    command.add_argument("--plot", metavar="FILE.png",
                         help="draw the run's figure, as .png, .pdf, .svg or another format matplotlib writes "
                              "(needs --save and matplotlib)")


def _pattern_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--pattern", choices=["push", "pub"], default="push",
                         help="push: each block to one receiver (the default); pub: every block to every subscriber")


EXIT_STATUSES = """exit statuses:
  0    done: every block the detector produced reached the summary, the file and the receivers
  1    failed: the SDK refused, or a file could not be written or read (the message says what was kept)
  2    bad arguments (the message says the valid range); nothing was run
  3    finished, but blocks were lost or cannot be vouched for (the LOST lines say where)
  130  Ctrl-C: aborted cleanly, the summary still printed"""


def parser() -> argparse.ArgumentParser:
    """The command line's parser."""
    top = argparse.ArgumentParser(prog="vexasdk", description="Drive Timepix3 detectors: list, inspect, acquire.",
                                  epilog=EXIT_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_parser = commands.add_parser

    def with_statuses(name: str, **options: Any) -> argparse.ArgumentParser:
        return add_parser(name, epilog=EXIT_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter,
                          **options)

    commands.add_parser = with_statuses  # type: ignore[method-assign]
    commands.add_parser("list", help="the devices attached")
    info = commands.add_parser("info", help="a device's chips, bias, power units and monitors")
    info.add_argument("--device", metavar="CONN", help="connection string (default: the first device)")
    acquire = commands.add_parser(
        "acquire", help="run an acquisition and print its summary",
        description="Powers the device up, sets bias, threshold and mode, acquires with live progress and "
                    "prints a summary. On the virtual detector, --duration also sets how long it generates data.")
    _acquire_options(acquire)
    stream = commands.add_parser(
        "stream", help="run an acquisition and stream its blocks to receivers",
        description="Acquires as acquire does, and sends every block over ZeroMQ to the receivers that "
                    "connect to --bind (vexasdk receive, or vexasdk.stream.Receiver). Needs pyzmq.")
    _acquire_options(stream)
    stream.add_argument("--bind", required=True, type=_address, metavar="ADDR",
                        help="where receivers connect, such as tcp://127.0.0.1:5555 or tcp://*:5555")
    _pattern_option(stream)
    stream.add_argument("--receivers", "--wait-for-receivers", type=_count_of(0, 1000), default=0, metavar="N",
                        help="wait for N receivers to connect before starting (default 0: start at once; "
                             "blocks no receiver takes are dropped, counted, and exit status 3 says so)")
    stream.add_argument("--wait", "--timeout", type=_positive_float, default=30.0, metavar="S",
                        help="for --receivers: give up after S seconds (default 30)")
    stream.add_argument("--queue", type=_count_of(1, 1_000_000), default=256, metavar="N",
                        help="blocks waiting for the network at most; more are dropped and counted (default 256)")
    receive = commands.add_parser(
        "receive", help="receive a stream's blocks and print its summary",
        description="Connects to a vexasdk stream, shows progress and prints the summary of what arrived; "
                    "--save writes the file that acquire --save would have written. Needs pyzmq.")
    receive.add_argument("--connect", required=True, type=_address, metavar="ADDR",
                         help="the stream's address, such as tcp://127.0.0.1:5555")
    _pattern_option(receive)
    receive.add_argument("--timeout", type=_positive_float, default=10.0, metavar="S",
                         help="take the sender for dead after S seconds of silence (default 10)")
    receive.add_argument("--start-timeout", type=_positive_float, metavar="S",
                         help="give up if the stream has not begun after S seconds (default: wait)")
    receive.add_argument("--quiet", action="store_true", help="no progress, only the summary")
    _saving_options(receive)
    show = commands.add_parser("show", help="the summary of a saved run, and its figure")
    show.add_argument("file", metavar="FILE.h5")
    show.add_argument("--plot", metavar="FILE.png",
                      help="draw the run's figure, as .png, .pdf, .svg or another format matplotlib writes "
                           "(needs matplotlib)")
    show.add_argument("--overwrite", action="store_true", help="replace the --plot file if it exists")
    from vexasdk import calibration
    calibration.add_command(commands)
    return top


def _safe(text: object) -> str:
    """`text` as it may reach a terminal: what came from a device, a file or
    the network may hold escape sequences that would rewrite the user's
    screen, so every character that does not print is shown escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in str(text))


def _cell(text: object) -> Any:
    """A table cell of foreign text: escaped, and never read as rich's markup."""
    from rich.text import Text

    return Text(_safe(text))


# ---- list and info ----


def _console(out: IO[str]) -> Any:
    from rich.console import Console

    # Off a terminal nobody's window limits the width: tables stay whole.
    return Console(file=out, highlight=False, width=None if out.isatty() else 200)


def list_devices(out: IO[str]) -> int:
    """`vexasdk list`."""
    from rich.table import Table

    devices = vexasdk.enumerate_devices()
    table = Table(title=None if devices else "No device attached.")
    for column in ("serial number", "product", "connection string", "instance path"):
        table.add_column(column)
    for d in devices:
        table.add_row(*(_cell(v) for v in (d.serial_number, d.product_name, d.connection_string, d.instance_path)))
    _console(out).print(table)
    return 0


def _monitor_value(channel: Any) -> str:
    try:
        value = channel.fetch_value()
    except vexasdk.SdkError as error:
        return f"unavailable ({error.name})"
    return f"{value:.3f}" if isinstance(value, float) else str(value)


def device_info(device: Device, out: IO[str]) -> int:
    """`vexasdk info`."""
    from rich.table import Table

    console = _console(out)
    chips = Table(title=_cell(f"Chips of {device.connection_string}"))
    for column in ("chip", "name", "size", "mode", "threshold keV", "raw", "polarity", "keV range"):
        chips.add_column(column)
    for index, chip in enumerate(device.chips):
        info, settings = chip.info(), chip.settings()
        limits = info.threshold_info
        chips.add_row(str(index), _cell(info.chip_name), f"{info.width} x {info.height}", settings.mode.name,
                      f"{chip.get_threshold():.2f}", str(chip.get_raw_threshold()), settings.polarity.name,
                      f"{limits.min_kev:.1f} to {limits.max_kev:.1f}")
    console.print(chips)
    bias = Table(title="Bias sources")
    for column in ("source", "desired V", "actual V", "range V"):
        bias.add_column(column)
    for index, source in enumerate(device.bias_sources):
        volts = source.info()
        bias.add_row(str(index), f"{source.get_desired():.1f}", f"{source.actual():.1f}",
                     f"{volts.min:.0f} to {volts.max:.0f}")
    console.print(bias)
    units = Table(title="Power units")
    for column in ("unit", "powered"):
        units.add_column(column)
    for index, unit in enumerate(device.power_units):
        units.add_row(str(index), "yes" if unit.is_powered() else "no")
    console.print(units)
    monitors = Table(title="Monitors")
    for column in ("monitor", "value", "range"):
        monitors.add_column(column)
    for channel in device.monitors:
        described = channel.info()
        monitors.add_row(_cell(described.name), _cell(_monitor_value(channel)),
                         f"{described.range.min} to {described.range.max}")
    console.print(monitors)
    return 0


# ---- acquire ----


class Summary:
    """What the command line keeps of the blocks, updated on the SDK's thread."""

    def __init__(self, mode: OperationalMode, chips: int, scan: tuple[int, int] | None) -> None:
        self.mode = mode
        self.hits = HitMap(max(1, chips))
        self.scan = ScanImage(*scan) if scan is not None else None
        self.tot = np.zeros(_TOT_LIMIT, np.int64)  # ToT, or iToT, counts by value
        self.guard = threading.Lock()

    @property
    def measures_itot(self) -> bool:
        return self.mode in (M.fb_itot_evcount, *BINNED_MODES)

    def add(self, block: Block) -> None:
        values = block.time_counts()
        with self.guard:
            self.hits.add(block)
            if self.scan is not None:
                self.scan.add(block)
            if values is not None and len(values):
                self.tot += np.bincount(np.minimum(values, _TOT_LIMIT - 1), minlength=_TOT_LIMIT)


def _statistics(counts: npt.NDArray[np.int64]) -> str:
    total = int(counts.sum())
    if total == 0:
        return "none"
    values = np.arange(len(counts), dtype=np.float64) * TOT_NS
    mean = float((counts * values).sum() / total)
    cumulative = np.cumsum(counts)
    median, p99 = (values[int(np.searchsorted(cumulative, q * total))] for q in (0.5, 0.99))
    return f"mean {_ns(mean)}, median {_ns(median)}, 99 % below {_ns(p99)} (counts of 25 ns)"


def _ns(value: float) -> str:
    return f"{value / 1000:.2f} µs" if value >= 1000 else f"{value:.0f} ns"


def _shaded(image: npt.NDArray[np.uint64]) -> list[str]:
    """Rows of characters, denser for more, in proportion to the largest."""
    top = float(image.max()) if image.size else 0.0
    if top <= 0:
        return ["".join(SHADES[0] for _ in range(image.shape[1]))] * image.shape[0]
    levels = np.round(image.astype(np.float64) / top * (len(SHADES) - 1)).astype(int)
    return ["".join(SHADES[level] for level in row) for row in levels]


def _legend(image: npt.NDArray[np.uint64], unit: str) -> str:
    """What the shades of `_shaded(image)` stand for: each a share of the largest cell."""
    top = int(image.max()) if image.size else 0
    steps = len(SHADES) - 1
    marks = ", ".join(f"{SHADES[level]!r} ~{_count(round(top * level / steps))}" for level in range(len(SHADES)))
    return f"    shades, {unit} per character: {marks}"


def _count(value: int) -> str:
    return f"{value:,}"


def _rate(value: float) -> str:
    """`value` with a unit prefix and the space after it: "1.23 M", "512 "."""
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if value >= scale:
            return f"{value / scale:.2f} {unit}"
    return f"{value:.0f} "


def print_summary(acquisition: Acquisition, summary: Summary, device: Device, out: IO[str],
                  extra: Sequence[str] = ()) -> None:
    """The summary of what arrived (and `extra` lines after its counts)."""
    elapsed = max(acquisition.elapsed, 1e-9)
    why = _WHY.get(acquisition.stopped_by or "", "ended")
    title = f"Acquisition of {summary.mode.name} on {_safe(device.connection_string)}: {why}, {elapsed:.2f} s"
    print("\n".join(_summary_lines(title, acquisition.counts, elapsed, summary, acquisition.scan_shape, extra)),
          file=out, flush=True)


_WHY = {"device": "ended by the device", "duration": "stopped at its duration", "abort": "aborted",
        "close": "ended by closing the device", "sink": "stopped: the file could not be written"}


def _summary_lines(title: str, counts: Any, elapsed: float, summary: Summary, scan_shape: tuple[int, int] | None,
                   extra: Sequence[str] = ()) -> list[str]:
    lines = [title,
             f"  blocks        {_count(counts.blocks)} ({_count(counts.dropped)} dropped, "
             f"{_count(counts.failed_fetches)} failed fetches, {_count(counts.callback_failures)} failed callbacks)",
             f"  packets       {_count(counts.packets)}",
             f"  events        {_count(counts.events)} ({_rate(counts.events / elapsed)}events/s)", *extra]
    with summary.guard:
        tot = summary.tot.copy()
        hits = summary.hits.counts.copy()
        scan = summary.scan.values.copy() if summary.scan is not None else None
    name = "iToT" if summary.measures_itot else "ToT"
    if summary.mode not in (M.binned_evcount, M.binned_itot):
        lines.append(f"  {name:<13} {_statistics(tot)}")
        hit = int(np.count_nonzero(hits))
        row, column = np.unravel_index(int(np.argmax(hits)), hits.shape)
        lines.append(f"  pixels hit    {_count(hit)} of {_count(hits.size)} ({100 * hit / hits.size:.1f} %); "
                     f"hottest row {row}, column {column} ({_count(int(hits[row, column]))} events)")
        lines.append(f"  hit map       {hits.shape[0]} x {hits.shape[1]} pixels, "
                     f"{hits.shape[0] // 16} x {hits.shape[1] // 32} per character:")
        lines += ["    |" + line + "|" for line in _shaded(coarse(hits, 16, 32))]
        lines.append(_legend(coarse(hits, 16, 32), "events"))
    if scan is not None and scan_shape is not None:
        width, height = scan_shape
        covered = min(counts.positions, width * height)
        kind = "iToT totals" if summary.mode is M.binned_itot else "total counts (events per position)"
        lines.append(f"  scan          {width} x {height} positions, {_count(covered)} covered "
                     f"({100 * covered / (width * height):.0f} %); {kind}:")
        shown = coarse(scan, min(16, height), min(32, width))
        lines += ["    |" + line + "|" for line in _shaded(shown)]
        lines.append(_legend(shown, "iToT counts" if summary.mode is M.binned_itot else "events"))
    return lines


class Progress:
    """Live progress: a bar on a terminal, a plain line a second otherwise."""

    def __init__(self, device: Device, acquisition: Acquisition, total: float | None, live: bool,
                 out: IO[str], extra: Callable[[], str] | None = None) -> None:
        self.device, self.acquisition, self.total, self.out = device, acquisition, total, out
        self.extra = extra
        self.temperatures = [m for m in device.monitors if m.info().name.lower().endswith("temperature")]
        self.readings = ""
        self.last_reading = self.last_line = 0.0
        self.bar: Any = None
        if live:
            from rich.progress import BarColumn, Progress as Bar, TextColumn, TimeElapsedColumn, TimeRemainingColumn

            self.bar = Bar(TextColumn("{task.description}"), BarColumn(bar_width=16), TimeElapsedColumn(),
                           TimeRemainingColumn(),
                           TextColumn("{task.fields[status]}"), console=_console(out), transient=False)
            self.task = self.bar.add_task(acquisition.mode.name, total=total, status="")
            self.bar.start()

    def _read_monitors(self) -> str:
        now = time.monotonic()
        if now - self.last_reading >= 0.5:
            self.last_reading = now
            parts = []
            try:
                if self.device.bias_sources:
                    parts.append(f"{self.device.bias_sources[0].actual():.1f} V")
                values = [v for v in (self._value(m) for m in self.temperatures) if v is not None]
                if values:
                    parts.append(f"{max(values):.1f} °C")
            except vexasdk.SdkError:
                pass
            self.readings = "  ".join(parts)
        return self.readings

    @staticmethod
    def _value(channel: Any) -> float | None:
        try:
            return float(channel.fetch_value())
        except vexasdk.SdkError:
            return None

    def update(self) -> None:
        counts, elapsed = self.acquisition.counts, max(self.acquisition.elapsed, 1e-9)
        status = (f"{_count(counts.blocks)} blocks  {_rate(counts.events)}events  "
                  f"{_rate(counts.events / elapsed)}ev/s  {self._read_monitors()}")
        if self.extra is not None:
            status += f"  {self.extra()}"
        if self.bar is not None:
            done = elapsed if self.total is not None and self.acquisition.scan_shape is None else counts.positions
            self.bar.update(self.task, completed=min(done, self.total or done), status=status)
        elif time.monotonic() - self.last_line >= 1.0:
            self.last_line = time.monotonic()
            print(f"  {elapsed:6.1f} s  {status}", file=self.out, flush=True)

    def close(self) -> None:
        if self.bar is None:
            if self.last_line == 0.0:
                self.update()  # one line at least, however soon it ended
            return
        self.update()
        self.bar.stop()


def _check_ranges(device: Device, threshold: float | None, bias: float | None) -> None:
    if threshold is not None:
        for index, chip in enumerate(device.chips):
            limits = chip.info().threshold_info
            if not limits.min_kev <= threshold <= limits.max_kev:
                raise UsageError(f"--threshold must be {limits.min_kev:.2f} to {limits.max_kev:.2f} keV "
                                 f"(chip {index}), got {threshold:g}")
    if bias is not None:
        if not device.bias_sources:
            raise UsageError("--bias: the device has no bias source")
        volts = device.bias_sources[0].info()
        if not volts.min <= bias <= volts.max:
            raise UsageError(f"--bias must be {volts.min:g} to {volts.max:g} V, got {bias:g}")


def _bias_of(device: Device, given: float | None) -> float | None:
    """The bias to set: as given, or the operating bias if the source allows it."""
    if given is not None or not device.bias_sources:
        return given
    volts = device.bias_sources[0].info()
    if not volts.min <= vexasdk.OPERATING_BIAS <= volts.max:
        raise UsageError(f"this device's bias source takes {volts.min:g} to {volts.max:g} V, which leaves out the "
                         f"default {vexasdk.OPERATING_BIAS:g} V: give --bias V for its sensor")
    return vexasdk.OPERATING_BIAS


def _settle_bias(device: Device, volts: float, timeout: float = 3.0) -> None:
    """Sets the bias and waits until it has settled; a bias still on its way
    after `timeout` is reported with the run (the summary gives the measured one)."""
    try:
        device.set_bias(volts, timeout=timeout)
    except TimeoutError:
        pass


def _clusters(args: argparse.Namespace, chips: int) -> Any:
    """The clustering stage --clusters asks for, or None."""
    if args.calibration is not None and not args.clusters:
        raise UsageError("--calibration is for --clusters: give --clusters too")
    if not args.clusters:
        return None
    mode = OperationalMode[args.mode]
    if mode not in (M.dd_toa_tot, M.dd_toa_tot_sorted, M.fb_toa_tot):
        raise UsageError(f"--clusters joins ToA-ToT hits: --mode {mode.name} has none "
                         f"(dd_toa_tot, dd_toa_tot_sorted, fb_toa_tot have)")
    from vexasdk.clusters import Clusters
    from vexasdk.events import Calibration

    calibration = None
    if args.calibration is not None:
        calibration = Calibration.load(args.calibration)
        if calibration.chips < chips:
            raise UsageError(f"--calibration {args.calibration} covers {calibration.chips} chips, "
                             f"the detector has {chips}")
    return Clusters(calibration=calibration)


def _cluster_lines(clusters: Any) -> list[str]:
    """The clusters' part of the summary: counts, and their spectrum with its photo-peak."""
    c = clusters.counts
    lines = [f"  clusters      {_count(c.clusters)} of {_count(c.hits)} hits (mean size {clusters.mean_size:.2f} "
             f"pixels); {_count(c.late)} hits too late to join, {_count(c.out_of_range)} past the chips, "
             f"{_count(c.cut)} clusters cut at their longest span"]
    spectrum = clusters.spectrum()
    counts, edges, unit = spectrum
    name = "energy" if unit == "keV" else "summed ToT"
    shown = edges[-1] if not counts.any() else min(edges[-1], edges[int(np.flatnonzero(counts)[-1]) + 1] * 1.05)
    peak = clusters.peak()
    if not math.isnan(peak.position):
        shown = min(shown, 1.6 * peak.position)
    columns = 60
    keep = edges[1:] <= shown
    binned = np.histogram((edges[:-1][keep] + edges[1:][keep]) / 2, bins=columns, range=(0, shown),
                          weights=counts[keep])[0]
    lines.append(f"  {name:<13} photo-peak {_peak_text(peak, unit)}"
                 + ("; no calibration: give --calibration CAL.h5 for keV" if unit == "ns" else ""))
    lines.append(f"  {'':<13} in clusters of 4 pixels (those that keep the whole charge): "
                 f"{_peak_text(clusters.peak(size=4), unit)}")
    lines.append("    |" + _shaded(binned[np.newaxis].astype(np.uint64))[0] + "|")
    lines.append(f"     0{'':{columns - 12}}{shown:>7.0f} {unit}")
    return lines


def _peak_text(peak: Any, unit: str) -> str:
    if math.isnan(peak.position):
        return "none"
    return f"at {peak.position:.2f} {unit}, FWHM {peak.fwhm:.2f} {unit} ({100 * peak.fwhm / peak.position:.1f} %)"


def _check_saving(args: argparse.Namespace) -> None:
    """Every file option, checked before the device is touched: a mistake
    found after the run would cost the run."""
    if args.plot is not None and args.save is None:
        raise UsageError("--plot draws the saved run: give --save FILE.h5 too")
    if args.save is not None:
        _check_new_file("--save", args.save, "run.h5", args.overwrite)
    if args.plot is not None:
        _check_plot_path(args.plot, args.overwrite)
        if os.path.abspath(args.plot) == os.path.abspath(args.save):
            raise UsageError(f"--plot and --save name the same file, {args.plot!r}")


def _check_new_file(option: str, path: str, example: str, overwrite: bool) -> None:
    if not path or path.endswith(os.sep) or os.path.isdir(path):
        raise UsageError(f"{option} must name a file, such as {example}, got {path!r}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"{option}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise UsageError(f"{option}: the folder {folder} cannot be written to")
    if os.path.lexists(path) and not overwrite:
        raise UsageError(f"{option}: {path} exists; give --overwrite to replace it")


def _check_plot_path(path: str, overwrite: bool) -> None:
    if not path or path.endswith(os.sep) or os.path.isdir(path):
        raise UsageError(f"--plot must name an image file, such as run.png, got {path!r}")
    _plotting()
    from matplotlib.figure import Figure

    formats = Figure().canvas.get_supported_filetypes()
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if extension not in formats:
        raise UsageError(f"--plot must end in one of matplotlib's formats ({', '.join(sorted(formats))}), "
                         f"got {path!r}")
    _check_new_file("--plot", path, "run.png", overwrite)


def _stream_module() -> Any:
    try:
        import vexasdk.stream as stream
    except ImportError as error:
        raise UsageError(str(error)) from None
    return stream


def acquire(args: argparse.Namespace, out: IO[str]) -> int:
    """`vexasdk acquire`, and `vexasdk stream`, which sends the blocks on too."""
    mode = OperationalMode[args.mode]
    binned = mode in BINNED_MODES
    _check_saving(args)
    if binned and (args.scan is None or args.dwell is None):
        raise UsageError(f"--mode {mode.name} needs --scan WxH and --dwell NS")
    if not binned and (args.scan is not None or args.dwell is not None):
        raise UsageError(f"--scan and --dwell are for the binned modes only, not {mode.name}")
    publisher = None
    if args.command == "stream":
        publisher = _stream_module().Publisher(args.bind, args.pattern, max_queued=args.queue,
                                               receivers=args.receivers, wait=args.wait)
    with vexasdk.open_device(args.device) as device:
        _check_ranges(device, args.threshold, args.bias)
        bias = _bias_of(device, args.bias)
        for unit in device.power_units:
            unit.power_up()
        if bias is not None:
            _settle_bias(device, bias)
            volts = device.bias_sources[0].actual()
            if abs(volts) < device.depletion_bias:
                print(f"vexasdk {args.command}: warning: the sensor is at {round(volts, 1) + 0.0:.1f} V, below its full depletion "
                      f"at {device.depletion_bias:g} V: it sees only a part of the particles", file=sys.stderr)
        for chip in device.chips:
            if args.threshold is not None:
                chip.set_threshold(args.threshold)
            chip.configure()
        summary = Summary(mode, len(device.chips), args.scan)
        clusters = _clusters(args, len(device.chips))
        if args.save is not None:
            sinks: list[Any] = [_writer(args.save, args.overwrite, clusters)]
        else:
            sinks = [clusters] if clusters is not None else []
        if publisher is not None:
            sinks.append(publisher)
            if args.receivers and not args.quiet:
                print(f"  waiting for {args.receivers} receiver{'s' if args.receivers > 1 else ''} on {args.bind}",
                      file=out, flush=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vexasdk.SensorNotDepleted)  # said above, in the command's terms
            acquisition = device.acquire(mode, duration=args.duration, scan=args.scan, dwell_ns=args.dwell,
                                         callback=summary.add, sinks=sinks)
        total = float(args.scan[0] * args.scan[1]) if binned else args.duration
        sent = None if publisher is None else lambda: _sent(publisher)
        progress = None if args.quiet else Progress(device, acquisition, total, out.isatty(), out, sent)
        interrupted = False
        failure: OSError | None = None
        try:
            while not acquisition.wait(0.1):
                if progress is not None:
                    progress.update()
        except KeyboardInterrupt:
            # wait() has aborted it and awaited its end; an interrupt that
            # came between two waits has not.
            interrupted = True
            acquisition.abort()
        except OSError as error:
            failure = error  # the file or the stream: what it could keep, it kept
        finally:
            if progress is not None:
                progress.close()
        extra = [] if publisher is None else [_stream_line(publisher)]
        extra += [] if clusters is None else _cluster_lines(clusters)
        losses = _losses(acquisition.account, _unconfirmed(publisher))
        print_summary(acquisition, summary, device, out, extra + losses)
    if failure is not None:
        raise failure
    if args.save is not None:
        print(f"  saved         {args.save}", file=out, flush=True)
        if args.plot is not None:
            _plot(args.save, args.plot, out)
    return 130 if interrupted else LOST if losses else 0


def _unconfirmed(publisher: Any) -> str | None:
    """What a stream cannot vouch for: blocks that went out to no receiver known to have them."""
    if publisher is None:
        return None
    counts = publisher.counts
    if counts.sent == 0 and counts.dropped and not counts.confirmed:
        return "no receiver connected: nothing was sent"
    if counts.sent and not counts.confirmed:
        return f"no receiver confirmed the end: the {_count(counts.sent)} blocks sent may not all have arrived"
    return None


def _losses(stages: Sequence[Any], caveat: str | None = None) -> list[str]:
    """Summary lines that say where blocks were lost, stage by stage; none when nothing was."""
    if not any(stage.lost for stage in stages) and caveat is None:
        return []
    lines = [f"  LOST          {_count(sum(stage.lost for stage in stages))} blocks; the account, stage by stage:"]
    lines += [f"    {stage}" for stage in stages]
    if caveat is not None:
        lines.append(f"    {caveat}")
    return lines


def _sent(publisher: Any) -> str:
    counts = publisher.counts
    return f"{_count(counts.sent)} sent  {_count(counts.dropped)} dropped  {counts.receivers} receivers"


def _stream_line(publisher: Any) -> str:
    counts = publisher.counts
    return (f"  stream        {publisher.endpoint or publisher.address} ({publisher.pattern}): "
            f"{_count(counts.sent)} messages sent, {_count(counts.dropped)} dropped, {_bytes(counts.bytes)}")


def _bytes(value: int) -> str:
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if value >= scale:
            return f"{value / scale:.2f} {unit}"
    return f"{value} B"


# ---- receive ----


class _Received:
    """What `vexasdk receive` counts and keeps of the stream's blocks."""

    def __init__(self, args: argparse.Namespace, out: IO[str]) -> None:
        self.args, self.out = args, out
        self.summary: Summary | None = None
        self.writer: Any = None if args.save is None else _writer(args.save, args.overwrite)
        self.begun = False
        self.counts = AcquisitionCounts()
        self.first: float | None = None
        self.last: float | None = None
        self.last_line = 0.0
        self.scan_shape: tuple[int, int] | None = None

    def begin(self, receiver: Any, block: Block | None) -> None:
        """Once the stream's first block (or its end) is in: the summary, the file."""
        start = receiver.start
        mode = start.mode if start is not None else block.mode if block is not None else None
        if mode is None:
            return
        self.scan_shape = start.scan_shape if start is not None else block.scan_shape if block else None
        if self.scan_shape is not None and self.scan_shape[0] * self.scan_shape[1] > MAX_POSITIONS:
            from vexasdk.stream import FormatError

            raise FormatError(f"the stream's scan of {self.scan_shape[0]} x {self.scan_shape[1]} positions is more "
                              f"than the {MAX_POSITIONS:,} a summary and a file keep in memory")
        chips = len(start.detector.chips) if start is not None else 4
        self.summary = Summary(mode, chips, self.scan_shape)
        if self.writer is not None:
            if start is None:
                raise OSError(f"joined the stream at {receiver.address} after its start, which describes the "
                                 f"detector: --save needs the receiver started before the sender streams")
            self.writer.begin(start.mode, start.scan_shape, start.detector, dwell_ns=start.dwell_ns)
            self.begun = True

    def add(self, block: Block) -> None:
        assert self.summary is not None
        self.first = self.first or block.arrived  # the sender's clock, as a local run's times are
        self.last = block.arrived
        self.summary.add(block)
        self.counts = dataclasses.replace(
            self.counts, blocks=self.counts.blocks + 1, packets=self.counts.packets + block.packet_count(),
            events=self.counts.events + block.event_count(), positions=self.counts.positions + block.positions)
        if self.writer is not None:
            self.writer.put(block)

    def progress(self, receiver: Any, final: bool = False) -> None:
        if self.args.quiet or (not final and time.monotonic() - self.last_line < 1.0):
            return
        self.last_line = time.monotonic()
        elapsed = max(time.time() - self.first, 1e-9) if self.first is not None else 0.0  # as it goes on
        rate = self.counts.events / elapsed if elapsed else 0.0
        print(f"  {elapsed:6.1f} s  {_count(self.counts.blocks)} blocks  {_rate(self.counts.events)}events  "
              f"{_rate(rate)}ev/s  {_count(receiver.counts.not_received)} not received", file=self.out, flush=True)

    def finish(self, receiver: Any) -> None:
        """Completes the file with what arrived, however the stream ended."""
        from vexasdk.nexus import RunEnd

        if not self.begun:
            return
        end = receiver.end
        missing = receiver.missing.count
        if end is not None:  # the file counts failed fetches apart from the blocks dropped on the way
            run_end = RunEnd(end.started_at, end.ended_at, end.elapsed, end.counts.failed_fetches,
                             max(0, missing - end.counts.failed_fetches), end.bias_voltage, end.readings)
        else:  # the sender never said: from the first block that arrived to the last
            began, ended = self.first or time.time(), self.last or time.time()
            run_end = RunEnd(began, ended, max(0.0, ended - began), 0, missing, end_known=False)
        self.writer.end(run_end)


def receive(args: argparse.Namespace, out: IO[str]) -> int:
    """`vexasdk receive`."""
    _check_saving(args)
    stream = _stream_module()
    received = _Received(args, out)
    failure: OSError | None = None
    broke_off: OSError | None = None
    interrupted = False
    with stream.Receiver(args.connect, args.pattern, timeout=args.timeout,
                         start_timeout=args.start_timeout) as receiver:
        if not args.quiet:
            print(f"  receiving from {args.connect} ({args.pattern})", file=out, flush=True)
        try:
            for block in receiver:
                if received.summary is None:
                    received.begin(receiver, block)
                received.add(block)
                received.progress(receiver)
            if received.summary is None:
                received.begin(receiver, None)
        except stream.StreamError as error:
            if receiver.stream is None:
                failure = error  # no stream ever began: nothing to account for
            else:
                broke_off = error  # the sender died, or another one took its place: what arrived is kept
        except OSError as error:
            failure = error  # the file: what arrived is kept
        except KeyboardInterrupt:
            interrupted = True
        finally:
            received.progress(receiver, final=True)
            received.finish(receiver)
        losses = _print_received(receiver, received, out, broke_off)
    if failure is not None:
        raise failure
    if broke_off is not None:
        print(f"vexasdk receive: {_safe(broke_off)}", file=sys.stderr)
    if args.save is not None and received.begun:
        print(f"  saved         {args.save}" + ("" if losses is None else " (incomplete: it says so)"),
              file=out, flush=True)
        if args.plot is not None:
            _plot(args.save, args.plot, out)
    return 130 if interrupted else LOST if losses is not None else 0


def _print_received(receiver: Any, received: _Received, out: IO[str], broke_off: OSError | None) -> str | None:
    """The summary of what arrived; what was lost, or None when nothing was."""
    end, start, counts = receiver.end, receiver.start, receiver.counts
    missing = receiver.missing
    stages = list(receiver.account)
    if received.writer is not None:
        stages.append(received.writer.account)
    if end is None:
        lost: str | None = (f"the end never came: {_count(counts.blocks)} blocks arrived, {missing.count} missing "
                            f"among them; how many more the sender sent is unknown")
    elif missing or any(stage.lost for stage in stages):
        lost = f"{missing}" + (" (of those the sender numbered; other receivers' shares aside)"
                               if receiver.shared else "")
    else:
        lost = None
    lines = []
    if received.summary is None:
        lines.append(f"Stream from {receiver.address}: nothing arrived")
    else:
        source = f" ({_safe(start.detector.connection_string)})" if start is not None else ""
        why = _WHY.get(end.stopped_by or "", "ended") if end is not None else "broke off"
        elapsed = end.elapsed if end is not None else (received.last or 0.0) - (received.first or 0.0)
        elapsed = max(elapsed, 1e-9)
        title = f"Stream of {received.summary.mode.name} from {_safe(receiver.address)}{source}: {why}, {elapsed:.2f} s"
        sent = f"{_count(end.sent)} sent, {_count(end.dropped)} dropped by the sender" if end is not None else \
            "the sender's counts unknown"
        extra = [f"  received      {_count(counts.blocks)} blocks ({sent}; {_count(counts.not_received)} not "
                 f"received, {_count(counts.foreign)} foreign messages skipped)"]
        if lost is not None:
            extra += _losses(stages, lost)
        lines += _summary_lines(title, received.counts, elapsed, received.summary, received.scan_shape, extra)
    print("\n".join(lines), file=out, flush=True)
    return lost if (lost is not None or broke_off is not None) else None


def _writer(path: str, overwrite: bool, clusters: Any = None) -> Any:
    from vexasdk.nexus import HDF5Writer

    try:
        return HDF5Writer(path, overwrite=overwrite, clusters=clusters)
    except FileExistsError:
        raise FileExistsError(f"{path} exists; give --overwrite to replace it") from None


def _plotting() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install vexasdk[plot]") from None


def _plot(saved: str, image: str, out: IO[str]) -> None:
    from vexasdk.nexus import load
    from vexasdk.plot import save_summary

    save_summary(load(saved), image)
    print(f"  figure        {image}", file=out, flush=True)


def show(args: argparse.Namespace, out: IO[str]) -> int:
    """`vexasdk show`: a saved run's summary, and its figure."""
    from vexasdk.nexus import load

    if args.plot is not None:
        _check_plot_path(args.plot, args.overwrite)
    run = load(args.file)
    m = run.metadata
    lines = [f"Run of {run.mode.name} on {_safe(m['connection_string'])} ({_safe(m['serial_number'])}, "
             f"{_safe(m['description'])})",
             f"  start         {_safe(m['start_time'])}",
             f"  end           {_safe(m['end_time'])}",
             f"  duration      {m['duration']:.2f} s",
             f"  blocks        {_count(m['block_count'])} ({_count(m['dropped_blocks'])} dropped, "
             f"{_count(m['failed_fetches'])} failed fetches)",
             f"  events        {_count(m['event_count'])} ({_rate(m['event_count'] / max(m['duration'], 1e-9))}"
             f"events/s)",
             f"  bias          {round(m['bias_voltage'], 1) + 0.0:.1f} V (desired {m['bias_voltage_desired']:.1f} V)"]
    for index, chip in enumerate(run.chips):
        masked = int((chip["pixel_mask"] == 0).sum())
        lines.append(f"  chip {index}        {_safe(chip['name'])}: {chip['threshold']:.2f} keV (raw "
                     f"{chip['threshold_raw']}), {_safe(chip['polarity'])}, {masked} pixels masked")
    for name in run.arrays:
        lines.append(f"  data          {_safe(name)}: {_safe(_shape_of(run, name))}")
    image = run.detector_image()
    if image.any():
        lines.append(f"  hit map       {image.shape[0]} x {image.shape[1]} pixels:")
        lines += ["    |" + line + "|" for line in _shaded(coarse(image, 16, 32))]
        lines.append(_legend(coarse(image, 16, 32), "events"))
    print("\n".join(lines), file=out, flush=True)
    if args.plot is not None:
        _plot(args.file, args.plot, out)
    return 0


def _shape_of(run: Any, name: str) -> str:
    shape, dtype, units = run.describe(name)
    return f"{' x '.join(map(str, shape)) or 'scalar'} {dtype}" + (f" ({units})" if units else "")


def main(argv: Sequence[str] | None = None, out: IO[str] | None = None) -> int:
    """Runs the command line; the exit status."""
    out = out if out is not None else sys.stdout
    args = parser().parse_args(argv)
    try:
        if args.command == "list":
            return list_devices(out)
        if args.command == "info":
            with vexasdk.open_device(args.device) as device:
                return device_info(device, out)
        if args.command == "show":
            return show(args, out)
        if args.command == "receive":
            return receive(args, out)
        if args.command == "calibrate":
            from vexasdk import calibration
            return calibration.command(args, out)
        return acquire(args, out)
    except UsageError as error:
        print(f"vexasdk {args.command}: error: {_safe(error)}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # Whoever read the output stopped reading (`| head`): the acquisition
        # has ended with the device, its file is whole, and there is nobody to
        # tell. The interpreter's last flush of stdout must not fail either.
        if out is sys.stdout:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (vexasdk.SdkError, OSError, ValueError) as error:
        # The SDK refused, or a file could not be written or read (not ours, say).
        print(f"vexasdk {args.command}: {_safe(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
