"""The page's charts, drawn with bokeh: a metric against its robust band,
the findings of every family on one timeline, and the repository's vital
signs week by week.

The charts of one family share one table of its events (time, commit,
subject and each charted metric's value, centre, band and deviation), so a
history of many commits is written into the page once however many of its
metrics are charted.
"""

from __future__ import annotations

import math
from datetime import datetime, timezone

import numpy as np

from bokeh.models import BoxAnnotation, ColumnDataSource, CustomJSHover, HoverTool, Range1d, Span
from bokeh.plotting import figure

from .series import Point

COMMIT_SHOWN = 12
JOINED = 500  # values of a longer series are dots only: a line through thousands of commits is noise
_NAN = math.nan
_BAND = "#9ecae1"
_FLAGGED = "#d62728"
_STEP = "#ff7f0e"
_MEASURE = "#7f7f7f"
_RELEASE = "#2ca02c"
# Hover formats, made for each page: a bokeh model belongs to one document.
_JUDGED = "return Number.isFinite(value) ? value.toFixed(2) : 'not judged yet'"
_VALUE = "return Number.isFinite(value) ? value.toLocaleString('en-US', {maximumFractionDigits: 4}) : ''"


def _ms(moment: datetime) -> float:
    return moment.astimezone(timezone.utc).timestamp() * 1000.0


class FamilyTable:
    """One family's events as one column source, each charted metric in columns of its own."""

    def __init__(self, rows: list[tuple[datetime, str, str, str]]):
        # rows: (time, event ref, commit, subject), oldest first
        self.place = {ref: n for n, (_, ref, _, _) in enumerate(rows)}
        # Arrays, not lists: bokeh writes them as binary and does not walk them value by value.
        self.source = ColumnDataSource({
            "t": np.array([_ms(t) for t, _, _, _ in rows], dtype=float),
            "commit": np.array([commit[:COMMIT_SHOWN] for _, _, commit, _ in rows]),
            "subject": np.array([subject for _, _, _, subject in rows]),
        })
        self.metrics: set[str] = set()

    def add(self, metric: str, points: list[Point]) -> None:
        if metric in self.metrics:
            return
        size = len(self.place)
        # The value exactly; its band and deviation are drawn and read to a few digits.
        columns = {name: np.full(size, _NAN, dtype=np.float64 if name == "v" else np.float32)
                   for name in ("v", "c", "lo", "hi", "d")}
        for p in points:
            at = self.place.get(p.ref)
            if at is None:
                continue
            for name, value in (("v", p.value), ("c", p.centre), ("lo", p.low), ("hi", p.high), ("d", p.deviation)):
                columns[name][at] = _NAN if value is None else value
        for name, values in columns.items():
            self.source.data[f"{name}_{metric}"] = values
        self.metrics.add(metric)


def _span(points: list[Point]) -> Range1d | None:
    """The series' own time span, so markers elsewhere in the history do not widen it."""
    if not points:
        return None
    first, last = _ms(min(p.time for p in points)), _ms(max(p.time for p in points))
    pad = max((last - first) * 0.02, 12 * 3600 * 1000.0)
    return Range1d(first - pad, last + pad)


def _marks(chart, moments: list[datetime], label: str, **style) -> None:
    """Vertical lines at `moments`, one glyph for all of them."""
    if moments:
        chart.vspan(x=[_ms(m) for m in moments], legend_label=label, **style)


def metric_chart(table: FamilyTable, metric: str, label: str, points: list[Point], threshold: float, *,
                 finding_ref: str, step: bool, window: tuple[datetime | None, datetime | None],
                 measure_changes: list[datetime], releases: list[datetime]):
    """The metric's whole series, its rolling centre and band, its flagged
    points, the finding's own point, and markers for the step, changes of
    measure and releases."""
    table.add(metric, points)
    span = _span(points)
    chart = figure(height=280, width=900, x_axis_type="datetime", tools="pan,wheel_zoom,box_zoom,reset",
                   toolbar_location="right", y_axis_label=label, **({"x_range": span} if span else {}))
    start, end = window
    if start is not None and end is not None:
        chart.add_layout(BoxAnnotation(left=_ms(start), right=_ms(end), fill_color="#fff7bc", fill_alpha=0.5,
                                       level="underlay"))
    source = table.source
    chart.varea(x="t", y1=f"lo_{metric}", y2=f"hi_{metric}", source=source, fill_color=_BAND, fill_alpha=0.45,
                legend_label="robust band")
    chart.line(x="t", y=f"c_{metric}", source=source, line_color="#3182bd", line_width=1.5, legend_label="median")
    if len(points) <= JOINED:
        chart.line(x="t", y=f"v_{metric}", source=source, line_color="#636363", line_width=0.8, line_alpha=0.6)
    dots = chart.scatter(x="t", y=f"v_{metric}", source=source, size=4, color="#252525", legend_label="value")
    flagged = [p for p in points if p.deviation is not None and abs(p.deviation) >= threshold]
    if flagged:
        chart.scatter(x=[_ms(p.time) for p in flagged], y=[p.value for p in flagged], size=8, color=_FLAGGED,
                      legend_label="far from normal")
    own = next((p for p in points if p.ref == finding_ref), None)
    if own is not None:
        chart.scatter(x=[_ms(own.time)], y=[own.value], size=16, fill_alpha=0, line_color=_FLAGGED, line_width=2.5,
                      legend_label="this finding")
        if step:
            chart.add_layout(Span(location=_ms(own.time), dimension="height", line_color=_STEP, line_width=2))
    _marks(chart, measure_changes, "change of measure", line_color=_MEASURE, line_dash="dashed")
    _marks(chart, releases, "release", line_color=_RELEASE, line_alpha=0.35)
    chart.add_tools(HoverTool(renderers=[dots], tooltips=[
        ("date", "@t{%Y-%m-%d %H:%M} UTC"), ("value", f"@{{v_{metric}}}{{custom}}"),
        ("deviation", f"@{{d_{metric}}}{{custom}}"), ("commit", "@commit @subject")],
        formatters={"@t": "datetime", f"@{{v_{metric}}}": CustomJSHover(code=_VALUE),
                    f"@{{d_{metric}}}": CustomJSHover(code=_JUDGED)}))
    legend = chart.legend[0]
    legend.orientation, legend.click_policy, legend.label_text_font_size = "horizontal", "hide", "8pt"
    chart.add_layout(legend, "above")
    return chart


def timeline(rows: list[dict], families: list[str], releases: list[datetime]):
    """Every finding on one time axis, a row per family; `rows` hold time,
    family label, text, commit and whether the report shows it."""
    chart = figure(height=60 + 32 * max(1, len(families)), width=900, x_axis_type="datetime",
                   y_range=list(reversed(families)) or [""], tools="pan,wheel_zoom,box_zoom,reset")
    for shown, style in ((True, {"fill_color": _FLAGGED, "line_color": _FLAGGED}),
                         (False, {"fill_color": "white", "line_color": "#636363"})):
        chosen = [r for r in rows if r["shown"] == shown]
        if not chosen:
            continue
        source = ColumnDataSource({"t": [_ms(r["time"]) for r in chosen], "family": [r["family"] for r in chosen],
                                   "text": [r["text"] for r in chosen], "commit": [r["commit"] for r in chosen],
                                   "date": [r["time"].strftime("%Y-%m-%d") for r in chosen]})
        dots = chart.scatter(x="t", y="family", source=source, size=11, legend_label="shown" if shown else "withheld",
                             **style)
        chart.add_tools(HoverTool(renderers=[dots], tooltips=[("date", "@date"), ("commit", "@commit"),
                                                              ("", "@text")]))
    _marks(chart, releases, "release", line_color=_RELEASE, line_alpha=0.35)
    if chart.legend:
        chart.legend.location = "top_left"
    return chart


def weekly(title: str, weeks: list[datetime], values: list[float | None], bars: bool, x_range=None):
    """One small multiple: a count per week as bars, or a level as a line."""
    chart = figure(title=title, height=150, width=330, x_axis_type="datetime", tools="pan,wheel_zoom,reset",
                   toolbar_location=None, **({"x_range": x_range} if x_range is not None else {}))
    xs = [_ms(w) for w in weeks]
    ys = [_NAN if v is None else v for v in values]
    source = ColumnDataSource({"t": xs, "v": ys, "week": [w.strftime("week of %Y-%m-%d") for w in weeks]})
    if bars:
        shape = chart.vbar(x="t", top="v", width=6 * 24 * 3600 * 1000, source=source, color="#3182bd")
    else:
        shape = chart.line(x="t", y="v", source=source, line_color="#3182bd", line_width=1.5)
    chart.add_tools(HoverTool(renderers=[shape], tooltips=[("", "@week"), ("", "@v{0,0.[00]}")],
                              mode="vline" if not bars else "mouse"))
    chart.title.text_font_size = "9pt"
    return chart
