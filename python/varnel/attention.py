"""What deserves a team's attention in an analysis, as the host's report
shows it: concern before curiosity, units, the repository's own track
record, departures from values without spread, and a level that discriminates.

- A change is a **concern** when `varnel.friendly` has an insight for its
  metric moving that way (``INSIGHTS``) and rates the metric (``CONCERN``);
  the other movements are shown apart, more briefly.
- Its **track record** comes from ``eval.json`` (`varnel eval`) when that
  covers the latest collected commit: for the metric and direction at the
  significance threshold, once at least `MIN_FLAGGED` commits were flagged
  and `MIN_LABELLED` of them were later fixed.
- A **departure** (see `varnel.findings`) is a signal in the window whose
  earlier values had no spread (the engine calls it degenerate and the
  advisory leaves it out) and whose value lies outside all of them: failures
  after a run of passes, a first critical finding.
- The **level** ("all_clear", "watch", "review", "action_needed"): see `level`;
  movements without concern make it "watch" at most.
"""

from __future__ import annotations

import json
from pathlib import Path

from .findings import Departure, centre
from .friendly import CONCERN, INSIGHTS, advisory_status

MIN_FLAGGED, MIN_LABELLED = 30, 10
# What each metric counts, for "now 3,770 hours".
UNITS = {
    "files_touched": "files", "dispersion": "bits", "change_locality": "share of files",
    "cochange_novelty_ratio": "share of file pairs", "run_duration": "seconds", "run_failed": "failed runs",
    "total_tests": "tests", "failure_rate": "share of tests", "skip_rate": "share of tests",
    "suite_duration": "seconds", "line_rate": "share of lines", "branch_rate": "share of branches",
    "dependency_count": "packages", "max_depth": "levels", "endpoint_count": "endpoints", "type_count": "types",
    "field_count": "fields", "schema_churn": "changes per endpoint", "is_prerelease": "pre-releases",
    "asset_count": "assets", "release_cadence_hours": "hours", "resource_count": "resources",
    "resource_type_count": "resource types", "config_churn": "changed resources", "event_count": "error events",
    "user_count": "affected users", "is_unhandled": "unhandled errors", "vulnerability_count": "findings",
    "critical_count": "findings", "fixable_ratio": "share of findings",
}


def direction(change: dict) -> str:
    normal = centre(change.get("normal") or {})
    try:
        return "up" if float(change.get("current")) > float(normal if normal is not None else 0) else "down"
    except (TypeError, ValueError):
        return "up"


def is_concern(family: str, metric: str, way: str, quiet: frozenset[str] = frozenset()) -> bool:
    """Whether a movement is one to act on; `quiet` names FAMILY/METRIC keys shown apart whatever they do."""
    return (metric, way) in INSIGHTS and metric in CONCERN and f"{family}/{metric}" not in quiet


def load_record(workspace: Path, latest_commit: str | None) -> tuple[dict | None, str]:
    """``eval.json`` when it covers `latest_commit`, and a line saying why not otherwise."""
    try:
        record = json.loads((workspace / "eval.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None, "No track record yet: run 'varnel eval' to see how often flags like these were followed by fixes."
    if not isinstance(record, dict) or record.get("latest_commit") != latest_commit:
        return None, "The track record is older than the latest commit: run 'varnel eval' again."
    return record, ""


def _rule(record: dict | None, family: str, metric: str, way: str, threshold: float) -> dict | None:
    """The track record's rule for a metric and direction at the highest threshold not above `threshold`."""
    name = metric if family == "git" else f"{family}/{metric}"
    rules = [r for r in (record or {}).get("rules", []) if r.get("metric") == name and r.get("direction") == way
             and r.get("threshold", 0) <= threshold]
    rule = max(rules, key=lambda r: r["threshold"], default=None)
    fix = (rule or {}).get("labels", {}).get("fix", {})
    if rule is None or rule["flagged"] < MIN_FLAGGED or fix.get("hits", 0) < MIN_LABELLED or fix.get("lift") is None:
        return None
    return rule


def track_record(record: dict | None, family: str, metric: str, way: str, threshold: float) -> str:
    if record is None:
        return ""
    rule = _rule(record, family, metric, way, threshold)
    if rule is None:
        return "too little history to tell"
    fix = rule["labels"]["fix"]
    return (f"here, commits flagged like this were later fixed {fix['lift']:.1f}x as often as commits on average "
            f"({fix['hits']:,.0f} of {rule['flagged']:,})")


_LEVELS = ("all_clear", "watch", "review", "action_needed")
_URGENT = ("critical", "concern")  # failures, vulnerabilities, errors users see
PROVEN_LIFT = 1.5  # flags of a metric followed by fixes this much more often than average deserve a review


def change_concern(change: dict, quiet: frozenset[str] = frozenset()) -> bool:
    return is_concern(change.get("family", ""), change.get("metric", ""), direction(change), quiet)


def departure_concern(d: Departure, quiet: frozenset[str] = frozenset()) -> bool:
    return is_concern(d.family, d.metric, d.direction, quiet)


def level(changes: list[dict], found: list[Departure], record: dict | None = None, threshold: float = 1.5,
          quiet: frozenset[str] = frozenset()) -> str:
    """The host's level. Failures, vulnerabilities and errors are rated by
    `varnel.friendly` (up to "action_needed"); the size and spread of the
    work deserve a "review" only where this repository's own track record
    shows flags like them followed by fixes `PROVEN_LIFT` times as often as
    average, and a "watch" otherwise; departures of the former call for action."""
    concerns = [c for c in changes if change_concern(c, quiet)]
    urgent = [c for c in concerns if CONCERN.get(c.get("metric")) in _URGENT or c.get("metric") == "run_failed"]
    status = advisory_status({"changes": urgent}) if urgent else "all_clear"
    for c in concerns:
        if c in urgent:
            continue
        rule = _rule(record, c.get("family", ""), c.get("metric", ""), direction(c), threshold)
        proven = rule is not None and rule["labels"]["fix"]["lift"] >= PROVEN_LIFT
        deviation = c.get("deviation_stddev")
        far = isinstance(deviation, (int, float)) and abs(deviation) >= 3.0
        status = max(status, "review" if proven and far else "watch", key=_LEVELS.index)
    for d in found:
        if departure_concern(d, quiet):
            urgent_metric = CONCERN.get(d.metric) in _URGENT or d.metric == "run_failed"
            status = max(status, "action_needed" if urgent_metric else "watch", key=_LEVELS.index)
    if status == "all_clear" and (changes or found):
        return "watch"
    return status
