"""Side-by-side timing on a shared, noisy machine: the sides of a comparison
run alternately, round after round, and what is quoted is the median of the
per-round ratios, so that a burst of load from elsewhere spoils a round, not
the figure."""

from __future__ import annotations

import dataclasses
import os
import statistics
import time
from collections.abc import Callable, Sequence

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "7"))


def alternate(sides: Sequence[Callable[[], float]], rounds: int = ROUNDS) -> list[list[float]]:
    """Runs every side once a round, in an order that turns round by round (so
    that no side always runs first, or right after the same one), after one
    round to warm up; answers each side's values, round by round."""
    values: list[list[float]] = [[] for _ in sides]
    for round_ in range(-1, rounds):
        shift = max(round_, 0) % len(sides)
        for index in [*range(shift, len(sides)), *range(shift)]:
            value = sides[index]()
            if round_ >= 0:
                values[index].append(value)
    return values


def per_round(combine: Callable[..., float], *values: list[float]) -> list[float]:
    """`combine` of each round's values of the sides."""
    return [combine(*round_) for round_ in zip(*values)]


def timed(run: Callable[[], object], units: float) -> float:
    """Seconds per unit of one call of `run`, which does `units` of work."""
    began = time.perf_counter()
    run()
    return (time.perf_counter() - began) / units


@dataclasses.dataclass
class Row:
    """One line of the table: a figure of the layer, its reference, and their
    ratio as the median of the rounds' ratios (with the lowest and highest)."""

    what: str
    layer: str
    reference: str
    ratios: list[float] = dataclasses.field(default_factory=list)
    target: tuple[str, float] | None = None  # ("<=", 0.15), (">=", 4.0); None: reported only
    limit: str = ""

    @property
    def ratio(self) -> float | None:
        return statistics.median(self.ratios) if self.ratios else None

    @property
    def met(self) -> str:
        if self.target is None or self.ratio is None:
            return "-"
        op, bound = self.target
        return "yes" if (self.ratio <= bound if op == "<=" else self.ratio >= bound) else "NO"

    def cells(self) -> list[str]:
        if self.ratio is None:
            ratio = "-"
        else:
            ratio = f"{self.ratio:.3g} ({min(self.ratios):.3g}-{max(self.ratios):.3g})"
        target = "-" if self.target is None else f"{self.target[0]} {self.target[1]:g}"
        return [self.what, self.layer, self.reference, ratio, target, self.met, self.limit]


HEADER = ["Measurement", "Layer", "Reference", "Ratio: median (range)", "Target", "Met", "What limits it"]


def markdown(rows: Sequence[Row]) -> str:
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    lines += ["| " + " | ".join(cell.replace("|", "/") for cell in row.cells()) + " |" for row in rows]
    return "\n".join(lines)


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


def si(value: float, unit: str) -> str:
    """`value` with an SI prefix: 3.2e8 packets/s is "320 Mpackets/s"."""
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k"), (1.0, "")):
        if abs(value) >= factor:
            return f"{value / factor:.3g} {prefix}{unit}"
    for factor, prefix in ((1e-3, "m"), (1e-6, "u"), (1e-9, "n")):
        if abs(value) >= factor:
            return f"{value / factor:.3g} {prefix}{unit}"
    return f"{value:.3g} {unit}"
