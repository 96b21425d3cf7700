"""Everyday words for numbers and patterns.

The explanation and advisory engines borrow their human phrases from here, so
this module is written for a reader with ten seconds: concrete numbers, short
sentences, no statistics words. Every function is deterministic and accepts
whatever a signal or an advisory can carry (integers and reals, null, zero,
negatives, NaN, infinities, integers too large for a float).

``relative_change(current, baseline)``
    A short lower-case phrase comparing a value with its usual value, meant
    to follow a dash: "about 3x the usual 104", "up 8% from the usual 104",
    "down 33% from the usual 120", "the same as usual". The first rule that
    applies gives the phrase:

    * current missing, not a number or NaN: "not a number, so there is
      nothing to compare"; the same for the usual value: "no usual value to
      compare with";
    * equal values: "the same as usual";
    * a usual value of 0 or below, a negative current value or an infinity
      on either side: the plain move, "up from 0 to 3", "down from -2 to -5";
    * current 0: "down to 0 from the usual U";
    * by the ratio current / usual: above 1,000 "over 1,000x the usual U";
      from 2 "about Nx the usual U" (N with one decimal below 10, whole
      above); below 0.01 "down more than 99% from the usual U"; otherwise
      "up P% from the usual U" or "down P% from the usual U", P with one
      decimal below 10 and whole from 10 on (rounded half to even), or
      "about the same as the usual U" when P rounds to 0.

    Numbers are shown short: whole values with thousands separators (1,204),
    one decimal from 1 to 100 (12.3), whole from 100 on (312), two
    significant digits below 1 (0.017), exponent form from 10**15 on and
    below 0.0001 (1.00e+15), and "infinity" for infinities.

``metric_insight(metric, direction)``
    One sentence about a metric of the signal engine moving "up" or "down"
    where that movement is worth a remark (a table, ``INSIGHTS``), and the
    empty text everywhere else, including unknown metrics and directions.

``risk_level(deviation)``
    ``{"label", "description"}`` for a deviation in robust standard
    deviations, by its absolute value: below 1.5 "Normal" (within the usual
    range), from 1.5 "Unusual" (noticeably outside), from 3 "High" (well
    outside), from 5 "Very high" (far outside), from 10 "Extreme" (nothing
    like anything seen recently). A missing or non-numeric value, or NaN, is
    "Unknown". Descriptions read well lower-cased after "still".

``friendly_pattern(match)``
    One sentence built from a match's metrics in everyday names (its
    statistical description is not repeated). A knowledge match (it has a
    ``knowledge_id``) reads "Known pattern: ... (confirmed, seen N times)."
    using ``support_count``; a pattern match reads "Possible pattern: ... (a
    close link, seen in N repositories)." using ``repo_count`` and the
    strength of ``correlation`` (or ``correlation_strength``): "close" from
    0.7, "clear" from 0.4, "loose" below. Metrics "tend to rise and fall
    together", or with a negative link "tend to move in opposite
    directions"; a ``<family>_presence`` metric reads as "... is usually
    higher (lower) on commits that come with <an event of the family>".

``pattern_risk_assessment(match)``
    ``{"severity", "reason"}``. Each metric has a concern level (``CONCERN``):
    "critical" for critical vulnerabilities and unhandled errors, "concern"
    for failures, vulnerabilities and errors users see, "watch" for speed,
    size and churn, "positive" for coverage, test counts and fixable
    findings, "info" for the rest. A match takes the highest level among its
    metrics; a match made only of "positive" metrics is "positive"; an
    unconfirmed pattern (no ``knowledge_id``) whose link is weak (absolute
    ``correlation`` below 0.4) drops one level, to no lower than "info".

``advisory_status(advisory)``
    A text stored as the advisory's status: "all_clear" when no change
    remains; "action_needed" when a change is extreme (deviation of 10 or
    more) or a critical metric (``CONCERN`` "critical", or a build failure)
    moved up; "review" when a change is at least "High" (3 or more);
    "watch" otherwise.

``plural(count, one, many)``
    A count with its noun, grouped by thousands: "1 test", "1,204 tests".
"""

from __future__ import annotations

import math
from decimal import Decimal
from fractions import Fraction
from numbers import Real

from . import _vocabulary

__all__ = [
    "relative_change",
    "metric_insight",
    "risk_level",
    "friendly_pattern",
    "pattern_risk_assessment",
    "advisory_status",
    "plural",
    "INSIGHTS",
    "CONCERN",
]

# Ratios shown as "about Nx" from this multiple on.
_MULTIPLE_FROM = 2.0
# Largest multiple shown as a number; beyond it, "over 1,000x".
_MULTIPLE_CAP = 1000.0
# Below this share of the usual value, a fall reads "more than 99%".
_TINY_SHARE = 0.01
# Numbers from this magnitude on are shown in exponent form.
_HUGE = 10**15


def _is_number(x) -> bool:
    """Integers (booleans too) and reals other than NaN."""
    return isinstance(x, Real) and not (isinstance(x, float) and math.isnan(x))


def _infinite(x) -> bool:
    return isinstance(x, float) and math.isinf(x)


def _num(x) -> str:
    """A number written short, for a reader rather than a machine."""
    if isinstance(x, bool):
        x = int(x)
    if isinstance(x, int):
        # Decimal keeps integers beyond the float range exact.
        return f"{x:,}" if abs(x) < _HUGE else f"{Decimal(x):.2e}"
    if math.isinf(x):
        return "infinity" if x > 0 else "minus infinity"
    magnitude = abs(x)
    if magnitude >= _HUGE or 0 < magnitude < 1e-4:
        return f"{x:.2e}"
    if x.is_integer():
        return f"{int(x):,}"
    if magnitude >= 100:
        return f"{x:,.0f}"
    if magnitude >= 1:
        return _trim(f"{x:.1f}")
    return f"{x:.2g}"


def _trim(text: str) -> str:
    """Drops a fraction of zeros: 3.0 reads 3."""
    return text[:-2] if text.endswith(".0") else text


def _ratio(current, baseline) -> float:
    """current / baseline for two positive numbers, inf when beyond the float range."""
    try:
        return current / baseline
    except OverflowError:  # an integer beyond the float range on either side
        try:
            return float(Fraction(current) / Fraction(baseline))
        except OverflowError:
            return math.inf


def _percent(change: float) -> str:
    """A percentage magnitude: one decimal below 10, whole from 10 on."""
    tenths = round(abs(change), 1)
    return _trim(f"{tenths:.1f}") if tenths < 10 else f"{round(abs(change)):,}"


def relative_change(current, baseline) -> str:
    """A short phrase comparing ``current`` with its usual value ``baseline``."""
    if not _is_number(current):
        return "not a number, so there is nothing to compare"
    if not _is_number(baseline):
        return "no usual value to compare with"
    if current == baseline:
        return "the same as usual"
    if baseline <= 0 or current < 0 or _infinite(current) or _infinite(baseline):
        word = "up" if current > baseline else "down"
        return f"{word} from {_num(baseline)} to {_num(current)}"
    usual = _num(baseline)
    if current == 0:
        return f"down to 0 from the usual {usual}"
    ratio = _ratio(current, baseline)
    if ratio > _MULTIPLE_CAP:
        return f"over {_MULTIPLE_CAP:,.0f}x the usual {usual}"
    if ratio >= _MULTIPLE_FROM:
        multiple = _trim(f"{ratio:.1f}") if ratio < 10 else f"{round(ratio):,}"
        return f"about {multiple}x the usual {usual}"
    if ratio < _TINY_SHARE:
        return f"down more than 99% from the usual {usual}"
    change = (ratio - 1.0) * 100.0
    shown = _percent(change)
    if shown == "0":
        return f"about the same as the usual {usual}"
    return f"{'up' if change > 0 else 'down'} {shown}% from the usual {usual}"


# What is worth saying when a metric moves one way (the vocabulary's). A pair
# that is absent has nothing to add: a smaller commit or a faster build needs
# no remark.
INSIGHTS: dict[tuple[str, str], str] = _vocabulary.INSIGHTS


def metric_insight(metric, direction) -> str:
    """A remark about ``metric`` moving ``direction`` ("up"/"down"), or ""."""
    if not isinstance(metric, str) or not isinstance(direction, str):
        return ""
    return INSIGHTS.get((metric, direction), "")


# Bands of risk_level, highest first: (lowest absolute deviation, label, description).
_RISK_BANDS = (
    (10.0, "Extreme", "Nothing like anything seen recently"),
    (5.0, "Very high", "Far outside the usual range"),
    (3.0, "High", "Well outside the usual range"),
    (1.5, "Unusual", "Noticeably outside the usual range"),
    (0.0, "Normal", "Within the usual range"),
)


def _band(deviation) -> int:
    """The place in `_RISK_BANDS` of a number's band: 0 is the highest."""
    return next(n for n, (floor, _, _) in enumerate(_RISK_BANDS) if abs(deviation) >= floor)


def _at_least(deviation, label: str) -> bool:
    """Whether a number's band is the band `label` names or a higher one."""
    return _band(deviation) <= [band[1] for band in _RISK_BANDS].index(label)


def risk_level(deviation) -> dict:
    """How unusual a deviation (in robust standard deviations) is, in words."""
    if not _is_number(deviation):
        return {"label": "Unknown", "description": "Not enough information to tell"}
    _, label, description = _RISK_BANDS[_band(deviation)]
    return {"label": label, "description": description}


# A pattern's metric naming a family's mere presence on a commit ends so.
_PRESENCE = "_presence"

# Links at least this strong (absolute correlation or effect size) are "close",
# then "clear"; weaker ones are "loose".
_CLOSE_LINK = 0.7
_CLEAR_LINK = 0.4


def _words(name: str) -> str:
    """An unknown name as words on one line, whatever it holds."""
    return " ".join(name.replace("_", " ").split())


def _metric_name(metric) -> str:
    text = str(metric)
    return _vocabulary.METRIC_NAMES.get(text) or _words(text) or "an unnamed metric"


def plural(count: int, one: str, many: str) -> str:
    """A count with its noun: "1 test", "1,204 tests"."""
    return f"{count:,} {one if count == 1 else many}"


def _field(match, key):
    return match.get(key) if isinstance(match, dict) else None


def _metrics(match) -> list:
    value = _field(match, "metrics")
    return list(value) if isinstance(value, (list, tuple)) else []


def _count(value) -> int:
    """A positive count, or 0 for anything else."""
    return value if isinstance(value, int) and not isinstance(value, bool) and value > 0 else 0


def _link(match) -> float:
    """The strength of a match's link, signed; 0.0 when it has none."""
    value = _field(match, "correlation")
    if not value:
        value = _field(match, "correlation_strength")
    if not _is_number(value):
        return 0.0
    try:
        return float(value)
    except OverflowError:  # an integer beyond the float range
        return math.inf if value > 0 else -math.inf


def _what_moves(metrics: list, link: float) -> str:
    """The pattern itself, as a clause that follows a colon."""
    presence = [m for m in metrics if isinstance(m, str) and m.endswith(_PRESENCE)]
    measured = [m for m in metrics if m not in presence]
    if presence and measured:
        family = presence[0][: -len(_PRESENCE)]
        event = _vocabulary.FAMILY_EVENTS.get(family) or f"an event of {_words(family) or 'another kind'}"
        level = "higher" if link >= 0 else "lower"
        return f"{_metric_name(measured[0])} is usually {level} on commits that come with {event}"
    names = [_metric_name(m) for m in measured]
    if not names:
        return "these changes have happened together before"
    if len(names) == 1:
        return f"{names[0]} has moved like this before"
    listed = f"{', '.join(names[:-1])} and {names[-1]}"
    if link < 0:
        return f"{listed} tend to move in opposite directions"
    return f"{listed} tend to rise and fall together"


def friendly_pattern(match) -> str:
    """One sentence describing a knowledge or pattern match."""
    link = _link(match)
    what = _what_moves(_metrics(match), link)
    if _field(match, "knowledge_id"):
        seen = _count(_field(match, "support_count"))
        notes = ["confirmed"] + ([f"seen {plural(seen, 'time', 'times')}"] if seen else [])
        return f"Known pattern: {what} ({', '.join(notes)})."
    strength = abs(link)
    notes = ["a close link" if strength >= _CLOSE_LINK else "a clear link" if strength >= _CLEAR_LINK else "a loose link"]
    repos = _count(_field(match, "repo_count"))
    if repos:
        notes.append(f"seen in {plural(repos, 'repository', 'repositories')}")
    return f"Possible pattern: {what} ({', '.join(notes)})."


# Severities of pattern_risk_assessment, in rank order.
_SEVERITIES = ("positive", "info", "watch", "concern", "critical")

# How much a pattern involving a metric deserves attention (the vocabulary's);
# others are "info".
CONCERN: dict[str, str] = _vocabulary.CONCERN

_REASONS = {
    "critical": "Involves critical vulnerabilities or crashes.",
    "concern": "Involves failures, vulnerabilities or errors that users see.",
    "watch": "Involves the speed, size or churn of the work.",
    "info": "Worth knowing; nothing urgent.",
    "positive": "Involves coverage or tests; usually good news.",
}


def pattern_risk_assessment(match) -> dict:
    """``{"severity", "reason"}`` for a knowledge or pattern match."""
    levels = [CONCERN.get(m, "info") if isinstance(m, str) else "info" for m in _metrics(match)]
    if levels and all(level == "positive" for level in levels):
        severity = "positive"
    else:
        severity = max((lvl for lvl in levels if lvl != "positive"), key=_SEVERITIES.index, default="info")
        weak = not _field(match, "knowledge_id") and abs(_link(match)) < _CLEAR_LINK
        if weak and severity != "info":
            severity = _SEVERITIES[_SEVERITIES.index(severity) - 1]
    return {"severity": severity, "reason": _REASONS[severity]}


# A change of this risk level calls for action by itself; one of this level
# or higher deserves a review.
_ACTION_LEVEL = "Extreme"
_REVIEW_LEVEL = "High"
# Metrics whose rise calls for action whatever its size.
_ACT_ON_RISE = frozenset(m for m, level in CONCERN.items() if level == "critical") | {"run_failed"}


def advisory_status(advisory) -> str:
    """The status of an advisory: "all_clear", "watch", "review" or "action_needed"."""
    changes = _field(advisory, "changes")
    changes = [c for c in changes if isinstance(c, dict)] if isinstance(changes, list) else []
    if not changes:
        return "all_clear"
    status = "watch"
    for change in changes:
        deviation = change.get("deviation_stddev")
        if not _is_number(deviation):
            continue
        if _at_least(deviation, _ACTION_LEVEL) or (change.get("metric") in _ACT_ON_RISE and deviation > 0):
            return "action_needed"
        if _at_least(deviation, _REVIEW_LEVEL):
            status = "review"
    return status
