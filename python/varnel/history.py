"""How the flagged changes of two advisories relate: what a fix achieved.

``diff_advisories(before, after)`` compares an earlier advisory with a later
one. A change is identified by its source family and metric (an advisory
holds at most one change per pair; should one hold more, the first counts).
Every change lands in exactly one of four lists:

``resolved``
    flagged before, not flagged now. Entries: ``family``, ``metric``,
    ``was_deviation`` (the earlier ``deviation_stddev``). In ``before``'s order.
``persisting``
    flagged in both. Entries: ``family``, ``metric``, ``was_deviation``,
    ``now_deviation`` and ``improved``, true when the deviation now is
    strictly smaller in size than before. In ``after``'s order.
``regressions``
    flagged in both, but in ``before`` the metric's latest value had already
    returned to normal (its ``latest_deviation`` was smaller in size than the
    significance threshold, the advisory engine's default unless given) and now it is flagged for another
    event: it went back to normal and then moved again. Entries: ``family``,
    ``metric``, ``deviation_stddev`` (now), ``was_deviation`` and
    ``was_latest_deviation`` (both from ``before``). In ``after``'s order.
``new``
    flagged now, not before. Entries: ``family``, ``metric``,
    ``deviation_stddev``. In ``after``'s order.

A missing or null ``changes`` list counts as empty; deviations that are not
numbers never count as improved nor as back to normal.
"""

from __future__ import annotations

import math
from numbers import Real

from .advstage import DEFAULT_SIGNIFICANCE_THRESHOLD as DEFAULT_THRESHOLD

__all__ = ["diff_advisories", "DEFAULT_THRESHOLD"]


def _number(x) -> bool:
    return isinstance(x, Real) and not (isinstance(x, float) and math.isnan(x))


def _changes_by_key(advisory) -> dict:
    changes = advisory.get("changes") if isinstance(advisory, dict) else None
    by_key = {}
    for change in changes or ():
        if isinstance(change, dict):
            by_key.setdefault((change.get("family"), change.get("metric")), change)
    return by_key


def _back_to_normal(change: dict, threshold) -> bool:
    latest = change.get("latest_deviation")
    return _number(latest) and abs(latest) < threshold


def _improved(was, now) -> bool:
    return _number(was) and _number(now) and abs(now) < abs(was)


def diff_advisories(before, after, threshold=DEFAULT_THRESHOLD) -> dict:
    """Pairs the changes of two advisories into resolved, persisting, new and regressions."""
    earlier = _changes_by_key(before)
    later = _changes_by_key(after)
    resolved = [
        {"family": family, "metric": metric, "was_deviation": change.get("deviation_stddev")}
        for (family, metric), change in earlier.items()
        if (family, metric) not in later
    ]
    persisting, new, regressions = [], [], []
    for (family, metric), change in later.items():
        now = change.get("deviation_stddev")
        previous = earlier.get((family, metric))
        if previous is None:
            new.append({"family": family, "metric": metric, "deviation_stddev": now})
            continue
        was = previous.get("deviation_stddev")
        if _back_to_normal(previous, threshold) and change.get("event_ref") != previous.get("event_ref"):
            regressions.append({
                "family": family,
                "metric": metric,
                "deviation_stddev": now,
                "was_deviation": was,
                "was_latest_deviation": previous.get("latest_deviation"),
            })
        else:
            persisting.append({
                "family": family,
                "metric": metric,
                "was_deviation": was,
                "now_deviation": now,
                "improved": _improved(was, now),
            })
    return {"resolved": resolved, "persisting": persisting, "new": new, "regressions": regressions}
