"""What deserves a team's attention in an analysis, as the host's report
shows it: concern before curiosity, units, the repository's own track
record, departures from values without spread, and a level that discriminates.

- A change is a **concern** when `varnel.friendly` has an insight for its
  metric moving that way (``INSIGHTS``) and rates the metric (``CONCERN``);
  the other movements are shown apart, more briefly.
- Its **track record** comes from the run's own ``eval.json`` record: how
  often commits flagged for the metric and direction at the significance
  threshold were later blamed for bugs, once at least `MIN_FLAGGED` commits
  were flagged and `MIN_LABELLED` of them were blamed.
- A **departure** (see `varnel.report.findings`) is a signal in the window whose
  earlier values had no spread (the engine calls it degenerate and the
  advisory leaves it out) and whose value lies outside all of them: failures
  after a run of passes, a first critical finding.
- The **level** ("all_clear", "watch", "review", "action_needed"): see `level`.
"""

from __future__ import annotations

from .. import _vocabulary
from .findings import ACTION, Departure, direction
from .levels import LEVELS
from ..friendly import CONCERN, INSIGHTS

MIN_FLAGGED, MIN_LABELLED = 30, 10
# What each metric counts, for "now 3,770 hours" (the vocabulary's).
UNITS: dict[str, str] = _vocabulary.UNITS


def is_concern(family: str, metric: str, way: str, quiet: frozenset[str] = frozenset()) -> bool:
    """Whether a movement is one to act on; `quiet` names FAMILY/METRIC keys shown apart whatever they do."""
    return (metric, way) in INSIGHTS and metric in CONCERN and f"{family}/{metric}" not in quiet


def telling(cell: dict) -> bool:
    """Whether a rule's bug-blamed counts (this history's cell, or a fleet's pooled rule) are enough to tell:
    `MIN_FLAGGED` commits flagged, `MIN_LABELLED` of them blamed, and a lift."""
    return cell.get("flagged", 0) >= MIN_FLAGGED and cell.get("hits", 0) >= MIN_LABELLED \
        and cell.get("lift") is not None


def _rule(rules: list[dict], family: str, metric: str, way: str, threshold: float) -> dict | None:
    """The rule for a metric and direction at the highest threshold not above `threshold`."""
    name = metric if family == "git" else f"{family}/{metric}"
    chosen = [r for r in rules if r.get("metric") == name and r.get("direction") == way
              and r.get("threshold", 0) <= threshold]
    return max(chosen, key=lambda r: r["threshold"], default=None)


def track_record(record: dict | None, family: str, metric: str, way: str, threshold: float,
                 pooled: dict | None = None) -> str:
    """How often commits flagged like this were later blamed for bugs: here,
    else across the fleet's repositories (`pooled`), else too little to tell."""
    if record is None:
        return ""
    here = _rule(record.get("rules", []), family, metric, way, threshold) or {}
    bug = here.get("labels", {}).get("szz", {})
    if not telling(bug):
        fleet = _rule((pooled or {}).get("rules", []), family, metric, way, threshold)
        if fleet is None or not telling(fleet):
            return "too little history to tell"
        return (f"across {fleet['repositories']:,} repositories of this fleet, commits flagged like this were later "
                f"blamed for bugs {fleet['lift']:.1f}x as often as commits on average ({fleet['hits']:,} of "
                f"{fleet['flagged']:,})")
    return (f"here, commits flagged like this were later blamed for bugs {bug['lift']:.1f}x as often as commits "
            f"on average ({bug['hits']:,.0f} of {bug['flagged']:,})")


def change_concern(change: dict, quiet: frozenset[str] = frozenset()) -> bool:
    return is_concern(change.get("family", ""), change.get("metric", ""), direction(change), quiet)


def departure_concern(d: Departure, quiet: frozenset[str] = frozenset()) -> bool:
    return is_concern(d.family, d.metric, d.direction, quiet)


def level(changes: list[dict], found: list[Departure], second_look: list[dict] = (), proven: bool = False,
          mechanical: list[dict] = (), quiet: frozenset[str] = frozenset()) -> str:
    """The host's level, for `--fail-on`:

    - "action_needed": tests or CI failing (after a run of passes, or far
      above their usual), critical vulnerabilities, endpoints or types
      removed from an API document;
    - "review": another change of concern, or a commit in the risk
      ranking's top share when the ranking's measured top share here was
      later blamed for bugs at least twice as often as average (`proven`);
    - "watch": any other finding (a movement without concern, a finding on
      mechanical work) but those of metrics the settings quiet;
    - "all_clear": nothing far from normal (commits of a ranking not
      proven here may still be listed)."""
    status = "all_clear"
    moves = [(c.get("family", ""), c.get("metric", ""), direction(c), change_concern(c, quiet)) for c in changes]
    moves += [(d.family, d.metric, d.direction, departure_concern(d, quiet)) for d in found]
    for family, metric, way, concern in moves:
        if f"{family}/{metric}" in quiet:
            continue  # listed among the other movements, never raising the level
        if (family, metric, way) in ACTION:
            found_level = "action_needed"
        else:
            found_level = "review" if concern else "watch"
        status = max(status, found_level, key=LEVELS.index)
    if second_look and proven:  # an unproven ranking's commits are listed but raise no level
        status = max(status, "review", key=LEVELS.index)
    if mechanical:
        status = max(status, "watch", key=LEVELS.index)
    return status
