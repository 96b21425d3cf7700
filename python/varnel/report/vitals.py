"""The repository's vital signs week by week: how much work went in, its
releases, the levels of its state, how CI fared, and how many findings the
kept advisories held."""

from __future__ import annotations

import json
import statistics
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path

from ..run.analysis import kept_advisories
from ..run.events import EventIndex, instant
from .series import Judged

# (title, family, metric, how a week's values become one): "last" carries a level forward.
LEVELS = (("Dependencies", "dependency", "dependency_count", "last"),
          ("Resources", "config", "resource_count", "last"),
          ("Endpoints", "schema", "endpoint_count", "last"),
          ("CI run duration, median (s)", "ci", "run_duration", "median"),
          ("CI failure rate", "ci", "run_failed", "mean"),
          ("Tests", "testing", "total_tests", "last"),
          ("Line coverage", "coverage", "line_rate", "last"))


@dataclass
class Vital:
    title: str
    values: list[float | None]
    bars: bool


def week_of(moment: datetime) -> datetime:
    day = moment.astimezone(timezone.utc).replace(hour=0, minute=0, second=0, microsecond=0)
    return day - timedelta(days=day.weekday())


def _weeks(first: datetime, last: datetime) -> list[datetime]:
    weeks, week = [], week_of(first)
    while week <= last:
        weeks.append(week)
        week += timedelta(days=7)
    return weeks


def _counts(weeks: list[datetime], moments: list[tuple[datetime, float]]) -> list[float | None]:
    totals = dict.fromkeys(weeks, 0.0)
    for moment, amount in moments:
        week = week_of(moment)
        if week in totals:
            totals[week] += amount
    return [totals[w] for w in weeks]


def _level(weeks: list[datetime], values: list[tuple[datetime, float]], how: str) -> list[float | None]:
    by_week: dict[datetime, list[float]] = {}
    for moment, value in sorted(values, key=lambda tv: tv[0]):
        by_week.setdefault(week_of(moment), []).append(value)
    out, carried = [], None
    for week in weeks:
        found = by_week.get(week)
        if how == "last":
            carried = found[-1] if found else carried  # a level stands until a commit moves it
            out.append(carried)
        elif found:
            out.append(statistics.median(found) if how == "median" else statistics.fmean(found))
        else:
            out.append(None)
    return out


def _kept_findings(workspace: Path) -> list[datetime]:
    """When each finding of the kept advisories happened, each counted once."""
    seen: dict[tuple, datetime] = {}
    for kept in reversed(kept_advisories(workspace)):  # oldest first: a later advisory's record of a finding wins
        try:
            changes = json.loads(kept.read_text(encoding="utf-8")).get("changes") or []
        except (OSError, ValueError, AttributeError):
            continue  # a damaged kept advisory is passed over, as verify does
        for change in changes:
            if isinstance(change, dict):
                moment = instant(str(change.get("observed_at") or ""))
                if moment is not None:
                    seen[(change.get("family"), change.get("metric"), change.get("event_ref"))] = moment
    return list(seen.values())


def vitals(workspace: Path, events: EventIndex, judged: Judged) -> tuple[list[datetime], list[Vital]]:
    """The weeks of the history and the signs there is data for."""
    timed = [e for e in events.ordered if e.time is not None]
    if not timed:
        return [], []
    weeks = _weeks(min(e.time for e in timed), max(e.time for e in timed))
    commits = [e for e in timed if e.is_commit]
    signs = [Vital("Commits per week", _counts(weeks, [(e.time, 1.0) for e in commits]), True),
             Vital("Files changed per week", _counts(weeks, [(e.time, float(len(e.files))) for e in commits]), True)]
    releases = [(e.time, 1.0) for e in timed if e.family == "deployment"]
    if releases:
        signs.append(Vital("Releases per week", _counts(weeks, releases), True))
    by_id = events.by_id
    for title, family, metric, how in LEVELS:
        values = [(by_id[ref].time, float(m[metric])) for ref, m in judged.values(family)
                  if ref in by_id and by_id[ref].time is not None and isinstance(m.get(metric), (int, float))]
        if values:
            signs.append(Vital(title, _level(weeks, values, how), False))
    found = _kept_findings(workspace)
    if found:
        signs.append(Vital("Findings per week (kept advisories)", _counts(weeks, [(t, 1.0) for t in found]), True))
    return weeks, signs
