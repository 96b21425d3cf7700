"""A metric's whole series as the signal engine judged it: each value with
the centre and the robust band it was measured against.

The band is the range of values whose deviation stays under the threshold:
the median plus or minus threshold x MAD / 0.6745 for a modified z-score, or
threshold x IQR / 1.35 when the MAD was zero and the interquartile range
took its place (recomputed from the same earlier values, in the engine's
order); a history without spread has no band, only its median. Values
before a metric had enough history have neither.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

from .. import sigstage
from ..run.events import EventIndex

MAD_FACTOR = 0.6745
IQR_DIVISOR = 1.35


@dataclass(frozen=True)
class Point:
    ref: str
    time: datetime
    value: float
    commit: str = ""
    subject: str = ""
    centre: float | None = None  # the median the value was judged against
    low: float | None = None  # the band: values inside it were not far from normal
    high: float | None = None
    deviation: float | None = None


def _number(value: object) -> float | None:
    return float(value) if isinstance(value, (int, float)) else None  # a flag counts as 0 or 1


class Judged:
    """The judged series of one workspace's metrics, each family read once."""

    def __init__(self, workspace: Path, events: EventIndex, settings: dict, engine=None,
                 signals: dict[str, list] | None = None):
        """`engine` and `signals`: a run's own signal engine and signals, when
        there is a run, so nothing is read again."""
        self.workspace = Path(workspace)
        self.events = events
        self.window = int(settings.get("window", 50))
        self.threshold = float(settings.get("significance_threshold", 3.0))
        self._engine = engine or sigstage.Phase2Engine(self.workspace, window_size=self.window,
                                                       min_baseline=int(settings.get("min_baseline", 5)))
        self._values: dict[str, list[tuple[str, dict]]] = {}
        self._series: dict[tuple[str, str], list[Point]] = {}
        self._signals = {family: self._by_key(listed) for family, listed in (signals or {}).items()}

    def values(self, family: str) -> list[tuple[str, dict]]:
        """(event ref, metrics) of the family's events in the engine's order."""
        if family not in self._values:
            try:
                self._values[family] = self._engine.metric_series(family)
            except (OSError, ValueError, RuntimeError):
                self._values[family] = []
        return self._values[family]

    def signals(self, family: str) -> dict[tuple[str, str], dict]:
        if family not in self._signals:
            try:
                listed = json.loads((self.workspace / "phase2" / f"{family}_signals.json").read_text(encoding="utf-8"))
            except (OSError, ValueError):
                listed = []
            self._signals[family] = self._by_key(listed)
        return self._signals[family]

    @staticmethod
    def _by_key(listed: list) -> dict[tuple[str, str], dict]:
        return {(s.get("event_ref"), s.get("metric")): s for s in listed if isinstance(s, dict)}

    def series(self, family: str, metric: str) -> list[Point]:
        """Every value of the metric with a time, oldest first, each with its band."""
        if (family, metric) in self._series:
            return self._series[(family, metric)]
        signals, by_id = self.signals(family), self.events.by_id
        listed = self.values(family)
        numbers = [_number(metrics.get(metric)) for _, metrics in listed]
        points = []
        for at, ((ref, _), value) in enumerate(zip(listed, numbers)):
            event = by_id.get(ref)
            if value is None or event is None or event.time is None:
                continue
            judged = signals.get((ref, metric))
            extra = self._band(judged, numbers, at) if judged else {}
            points.append(Point(ref, event.time, value, event.commit, event.subject, **extra))
        self._series[(family, metric)] = points
        return points

    def _band(self, signal: dict, numbers: list[float | None], at: int) -> dict:
        baseline, deviation = signal.get("baseline") or {}, signal.get("deviation") or {}
        centre, mad = _number(baseline.get("median")), _number(baseline.get("mad")) or 0.0
        if centre is None:
            return {}
        unit = deviation.get("unit")
        if unit == "modified_zscore" and mad > 0:
            half = self.threshold * mad / MAD_FACTOR
        elif unit == "iqr_normalized":
            earlier = [v for v in numbers[max(0, at - self.window):at] if v is not None]
            half = self.threshold * sigstage._iqr(earlier) / IQR_DIVISOR
        else:
            half = 0.0
        return {"centre": centre, "low": centre - half, "high": centre + half,
                "deviation": _number(deviation.get("measure"))}

SPARKS = "▁▂▃▄▅▆▇█"
SPARK_LENGTH = 20


def sparkline(points: list[Point], ref: str, length: int = SPARK_LENGTH) -> tuple[str, str] | None:
    """The `length` values up to the one of event `ref` as a sparkline, and
    under each whether it lay above (▲), below (▼) or inside (·) the band
    it was judged by (blank: not judged yet); None when `ref` is not charted."""
    at = next((n for n, p in enumerate(points) if p.ref == ref), None)
    if at is None:
        return None
    recent = points[max(0, at - length + 1):at + 1]
    low, high = min(p.value for p in recent), max(p.value for p in recent)
    scale = (len(SPARKS) - 1) / (high - low) if high > low else 0.0
    line = "".join(SPARKS[round((p.value - low) * scale)] if scale else SPARKS[0] for p in recent)
    marks = "".join(" " if p.low is None else "▲" if p.value > p.high else "▼" if p.value < p.low
                    else "·" for p in recent)
    return line, marks
