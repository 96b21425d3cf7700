"""What the host's report says of an analysis, each statement true of the
repository's own data, and what it withholds of the engine's changes.

- A **departure** is a signal in the window whose earlier values (those it
  was judged against: the metric's values in the family's previous `window`
  events) left no spread to size it, and whose value lies outside all of
  them. It is "constant" only when every earlier value is the same; else it
  carries their range. A degenerate signal inside that range is nothing new.
- A **level** (dependency count and depth, resources and resource types,
  endpoints, types and fields) describes the repository's state, so a
  finding about it is the **step**: the commit, in the mainline's order,
  that moved the value most the finding's way since it began to look far
  from normal, from what to what. After a step the rolling median lags and
  every later commit looks far from normal; those are never named. A step
  before the window is at most one line ("still 82 since ...").
- A **change of measure** (the files a count is read from changed) resets
  the comparison: a signal whose earlier values were counted another way is
  withheld, and the change itself is never a concern or a departure.
- The size and spread of a commit (the git family's deviations of files
  touched, dispersion and co-change novelty) are weighed by the risk
  ranking (`varnel.worth.ranking`), not findings of their own.
- A finding of the history's families on a **mechanical** commit (see
  `varnel.worth.kinds`: formatting, a sweep, a move, documentation, tests,
  dependency updates, release preparation, generated files, a revert) is set
  apart: never a concern, one line in the report. Ingested reports (tests,
  CI, coverage, scans, errors) say how a commit fared whatever its kind, and
  releases are events of their own, so theirs stay findings; so do
  movements that call for action (endpoints removed, say).

`shown(result)` gives the changes (the advisory's, steps pinned on their
commit), the departures, the lines about earlier levels and the withheld
changes with their reasons.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from functools import cached_property

from .. import _vocabulary, friendly, sigstage
from ..git import CollectError, git, text
from ..worth.kinds import MECHANICAL
from ..worth.ranking import is_reason

# Metrics that are a level of the repository's state, by family (the vocabulary's).
LEVEL_METRICS: dict[str, frozenset[str]] = _vocabulary.LEVEL_METRICS
# Families whose events record a change of what a count is read from.
MEASURED_FAMILIES: frozenset[str] = _vocabulary.RECORDS_MEASURE
# Why an engine's change is not shown.
LAGGING = "lagging_level"  # the largest step to the level came before the window, or no commit made it
MEASURE = "change_of_measure"  # what is counted changed in this commit
OTHER_MEASURE = "counted_otherwise"  # earlier values were counted from other files
# Movements that call for action whatever the history (the vocabulary's): tests
# or CI failing, critical vulnerabilities, and what an API's clients use removed.
ACTION: frozenset[tuple[str, str, str]] = _vocabulary.ACTION
RANKED = "a reason in the ranking"  # the size or spread of a commit: the risk ranking weighs it
# Families whose findings describe what a commit changed (their events come from the commit's own
# files), so a mechanical commit's are set apart.
KIND_FAMILIES: frozenset[str] = _vocabulary.FROM_COMMIT_FILES


def is_level(family: str, metric: str) -> bool:
    return metric in LEVEL_METRICS.get(family, ())


@dataclass(frozen=True)
class Departure:
    """A signal whose earlier values had no spread, outside all of them."""

    family: str
    metric: str
    observed: object
    length: int  # earlier values
    low: object  # their lowest and highest
    high: object
    event_ref: str
    commit: str = ""  # the commit its event came with, and when
    observed_at: str = ""

    @property
    def constant(self) -> object | None:
        return self.low if self.low == self.high else None

    @property
    def direction(self) -> str:
        return "up" if self.observed > self.high else "down"


@dataclass
class Shown:
    changes: list[dict] = field(default_factory=list)  # the advisory's changes as the report shows them
    departures: list[Departure] = field(default_factory=list)
    # Levels reached before the window, one line each: the value now and the step that made it.
    still: list[dict] = field(default_factory=list)
    withheld: list[dict] = field(default_factory=list)  # {"family", "metric", "event_ref", "reason"}
    # Findings on mechanical commits, shown apart: {"family", "metric", "event_ref", "commit", "commit_kind"}.
    mechanical: list[dict] = field(default_factory=list)
    # The window's commits in the risk ranking's top share: {"commit", "risk", "reasons"}.
    second_look: list[dict] = field(default_factory=list)


def number_text(value: object) -> str:
    """A count or measure as the report writes it: 1,204, 0.5714, 3.2e+05."""
    return f"{value:,}" if isinstance(value, int) else f"{value:,.4g}" if isinstance(value, float) else str(value)


def _number(value: object) -> float | None:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


class _Level(list):
    """(event_ref, value) of a level's events in the mainline's order; None
    where the count is unknown (a manifest that could not be read)."""

    def __init__(self, found: list[tuple[str, object]]):
        super().__init__(found)
        self.index = {ref: i for i, (ref, _) in enumerate(found)}

    @property
    def now(self) -> object:
        """The newest known value."""
        return next((v for _, v in reversed(self) if v is not None), None)

    def step(self, at: int) -> dict:
        """What the event at `at` moved the level from and to."""
        return {"from": self[at - 1][1] if at > 0 else None, "to": self[at][1]}


class _Workspace:
    """The engine's series of one analysed workspace, read once each, and its events."""

    def __init__(self, result):
        self.result = result
        self.events = result.events.by_id
        self._series: dict[str, list[tuple[str, dict]]] = {}
        self._places: dict[str, dict[str, int | None]] = {}
        self._levels: dict[tuple[str, str], _Level] = {}

    def series(self, family: str) -> list[tuple[str, dict]]:
        """(event_ref, metrics) of the family's events, in the order the engine judged them."""
        if family not in self._series:
            if self.result.phase2 is None:  # an analysis built from a workspace's files, not a run
                self.result.phase2 = sigstage.Phase2Engine(self.result.workspace, window_size=self.result.config.window,
                                                           min_baseline=self.result.config.min_baseline)
            self._series[family] = self.result.phase2.metric_series(family)
        return self._series[family]

    def commit(self, ref: str) -> tuple[str, str]:
        """(commit, observed_at) of an event."""
        event = self.events.get(ref)
        return (event.commit, event.observed_at) if event is not None and event.commit else ("", "")

    @cached_property
    def mainline(self) -> dict[str, int]:
        """The place of each commit on HEAD's first-parent chain, oldest first."""
        try:
            shas = text(git(self.result.repo, "rev-list", "--first-parent", "--reverse", "HEAD")).split()
        except CollectError:
            return {}
        return {sha: n for n, sha in enumerate(shas)}

    def level(self, family: str, metric: str) -> "_Level":
        """A level's events on the mainline, read once."""
        if (family, metric) not in self._levels:
            place, events = self.mainline, self.events
            found = [(ref, m.get(metric)) for ref, m in self.series(family)
                     if ref in events and (not place or events[ref].commit in place)]
            if place:
                found.sort(key=lambda rv: place[events[rv[0]].commit])
            self._levels[(family, metric)] = _Level(found)
        return self._levels[(family, metric)]

    def place(self, family: str, ref: str) -> int | None:
        """Where `ref`'s event is in the family's series; None unless it is there exactly once."""
        if family not in self._places:
            places: dict[str, int | None] = {}
            for i, (r, _) in enumerate(self.series(family)):
                places[r] = None if r in places else i
            self._places[family] = places
        return self._places[family].get(ref)

    def earlier(self, family: str, metric: str, ref: str) -> list | None:
        """The values a signal of `ref` was judged against; None when its event is not found once."""
        at = self.place(family, ref)
        if at is None:
            return None
        window = self.series(family)[max(0, at - self.result.config.window):at]
        return [m[metric] for _, m in window if m.get(metric) is not None]

    def measure_reset(self, family: str, ref: str) -> str | None:
        """MEASURE when `ref`'s own event changed what is counted, OTHER_MEASURE
        when one of the events its signal was judged against did (or came after
        one that did), else None."""
        events = self.events
        if ref in events and events[ref].measure_changed:
            return MEASURE
        at = self.place(family, ref)
        if at is None:
            return None
        window = self.series(family)[max(0, at - self.result.config.window) + 1:at]  # a change at its first starts afresh
        return OTHER_MEASURE if any(r in events and events[r].measure_changed for r, _ in window) else None


def _step(level: list[tuple[str, object]], at: int, far, up: bool, remeasured) -> int | None:
    """The index in `level` of the step that made the level of event `at`,
    or None when no commit moved it that way. After a step the median lags
    and each later event looks far from normal (`far`), so the step is the
    largest move the finding's way (the earliest of equal ones) since the
    events just before `at` began to look so, counted from the change that
    gave the first of them its value; never across a change of measure
    (`remeasured`), nor a move from an unknown count."""
    start = at
    while start > 0 and far(level[start - 1][0]) and not remeasured(level[start][0]):
        start -= 1
    while start > 0 and level[start - 1][1] == level[start][1] and not remeasured(level[start][0]):
        start -= 1
    if start == 0:
        return 0 if level[0][1] is not None else None  # the level was there from the first reading
    sign = 1 if up else -1
    moves = [((level[k][1] - level[k - 1][1]) * sign, -k) for k in range(start, at + 1)
             if level[k - 1][1] is not None and level[k][1] is not None]
    move, step = max(moves, default=(0, 0))
    return -step if move > 0 else None


def centre(baseline: dict) -> object:
    """Where a baseline's normal lies: the median when the MAD is positive, else the mean."""
    return baseline.get("median") if baseline.get("mad") else baseline.get("mean")


def direction(change: dict) -> str:
    """"up" when a change's value is above its normal, else "down"."""
    up = (_number(change.get("current")) or 0.0) > (_number(centre(change.get("normal") or {})) or 0.0)
    return "up" if up else "down"


def _as_far_as(result, family: str, metric: str, change: dict):
    """Whether an event's signal of the metric lay as far from normal as
    `change`, the same way: past the threshold, or off a baseline without spread."""
    up = direction(change) == "up"
    signals = {s.get("event_ref"): s for s in result.signals.get(family, ()) if s.get("metric") == metric}

    def far(ref: str) -> bool:
        s = signals.get(ref)
        if s is None:
            return False
        deviation, baseline = s.get("deviation") or {}, s.get("baseline") or {}
        if deviation.get("degenerate"):
            moved = _number(s.get("observed")), _number(baseline.get("median"))
            return None not in moved and moved[0] != moved[1] and (moved[0] > moved[1]) == up
        measure = _number(deviation.get("measure")) or 0.0
        return abs(measure) >= result.config.significance_threshold and (measure > 0) == up

    return far


def _signal(result, family: str, metric: str, ref: str) -> dict | None:
    return next((s for s in result.signals.get(family, ()) if s.get("metric") == metric
                 and s.get("event_ref") == ref), None)


def _diff_text(diff: dict) -> str:
    """A history event's diff in words: "(2 resources added, 1 resource removed)"."""
    parts = []
    for key, value in diff.items():
        if isinstance(value, int) and not isinstance(value, bool) and value:
            things, _, done = key.rpartition("_")
            # A dependency diff counts names (a name may be held in several versions).
            things = things or ("package name" if value == 1 else "package names")
            parts.append(f"{value:,} {things[:-1] if value == 1 and things.endswith('s') else things} {done}")
    return f" ({', '.join(parts)})" if parts else ""


def _pinned(change: dict, ws: _Workspace, level: _Level, step: int) -> dict:
    """The change as the step that made its level: that commit, from what to
    what, and the level now."""
    ref, value = level[step]
    event = ws.events[ref]
    before, now = level.step(step)["from"], level.now
    moved = dict(change, event_ref=ref, trigger_commit=event.commit, observed_at=event.observed_at,
                 commit_message=event.subject, current=value, step={**level.step(step), "now": now})
    signal = _signal(ws.result, change.get("family", ""), change.get("metric", ""), ref)
    if ref != change.get("event_ref"):
        moved.pop("trigger_files", None)
        moved.pop("files_changed", None)
        if signal is not None:
            moved["normal"] = dict(signal.get("baseline") or {})
            moved["deviation_stddev"] = (signal.get("deviation") or {}).get("measure")
    sentence = f"From {number_text(before)} to {number_text(value)} in this commit{_diff_text(event.diff)}" \
        if before is not None else f"{number_text(value)} from this commit on{_diff_text(event.diff)}"
    if signal is not None:
        sentence += f" — {friendly.relative_change(value, centre(signal.get('baseline') or {}))}"
    if now != value:
        sentence += f"; {number_text(now)} now"
    moved["description"] = sentence + "."
    return moved


def commit_kind(result, family: str, commit: str | None) -> str | None:
    """The kind of the commit a finding of `family` is pinned on, when it describes what a commit changed."""
    worth = result.worth
    if worth is None or family not in KIND_FAMILIES or not commit or commit not in worth.commits:
        return None
    return worth.commits[commit].kind


def _set_apart(result, shown: Shown, family: str, metric: str, way: str, ref: str, commit: str | None) -> bool:
    """Whether a finding is the work of a mechanical commit, noted apart if so."""
    kind = commit_kind(result, family, commit)
    if kind is None or kind not in MECHANICAL or (family, metric, way) in ACTION:
        return False
    shown.mechanical.append({"family": family, "metric": metric, "event_ref": ref, "commit": commit,
                             "commit_kind": kind})
    return True


def _changes(result, ws: _Workspace, shown: Shown) -> None:
    for change in (result.advisory or {}).get("changes") or []:
        if not isinstance(change, dict):
            continue
        family, metric, ref = change.get("family", ""), change.get("metric", ""), change.get("event_ref", "")
        reason = RANKED if is_reason(family, metric) else None
        if reason is None and family in MEASURED_FAMILIES:
            reason = ws.measure_reset(family, ref)
        if reason is None and is_level(family, metric):
            change, reason = _level_change(result, ws, change, shown)
        if reason is not None:
            shown.withheld.append({"family": family, "metric": metric, "event_ref": ref, "reason": reason})
        elif not _set_apart(result, shown, family, metric, direction(change), ref,
                            change.get("trigger_commit")):
            shown.changes.append(change)


def _level_change(result, ws: _Workspace, change: dict, shown: Shown) -> tuple[dict, str | None]:
    """A change of a level as the step that made it, or why it is withheld."""
    family, metric = change.get("family", ""), change.get("metric", "")
    level = ws.level(family, metric)
    at = level.index.get(change.get("event_ref"))
    if at is None:
        return change, None
    remeasured = lambda ref: ws.measure_reset(family, ref) == MEASURE  # noqa: E731
    step = _step(level, at, _as_far_as(result, family, metric, change), direction(change) == "up", remeasured)
    if step is None:
        return change, LAGGING  # the median moved, no commit did
    if remeasured(level[step][0]):
        return change, MEASURE
    if not result.window.holds(level[step][0]):
        if level.now == level[at][1]:  # the level stands; else it moved on unremarked
            event = ws.events[level[step][0]]
            shown.still.append({"family": family, "metric": metric, "value": level.now, "step": level.step(step),
                                "steady": all(v == level.now for _, v in level[step:]), "event_ref": level[step][0],
                                "commit": event.commit, "observed_at": event.observed_at})
        return change, LAGGING
    return _pinned(change, ws, level, step), None


def _departures(result, ws: _Workspace) -> list[Departure]:
    """The latest departure of each metric in the window."""
    latest: dict[tuple[str, str], Departure] = {}
    for family, listed in result.signals.items():
        for s in listed:
            deviation, ref = s.get("deviation") or {}, s.get("event_ref", "")
            observed, metric = _number(s.get("observed")), s.get("metric", "")
            if not deviation.get("degenerate") or observed is None or not result.window.holds(ref) \
                    or s.get("observed") == (s.get("baseline") or {}).get("median"):
                continue  # (the median is one of the earlier values: a value equal to it is among them)
            earlier = ws.earlier(family, metric, ref)
            if not earlier or len(earlier) != (s.get("confidence") or {}).get("sample_count"):
                continue  # not the values it was judged against: nothing to say that is sure
            if min(earlier) <= observed <= max(earlier):
                continue
            if family in MEASURED_FAMILIES and ws.measure_reset(family, ref):
                continue
            if is_level(family, metric):
                level = ws.level(family, metric)
                at = level.index.get(ref)
                if at is None or (at > 0 and level[at - 1][1] in (None, level[at][1])):
                    continue  # its value may be the one the commit before it had
            latest[(family, metric)] = Departure(family, metric, s.get("observed"), len(earlier), min(earlier),
                                                 max(earlier), ref)
    return [replace(d, commit=commit, observed_at=observed_at)
            for d in latest.values() for commit, observed_at in [ws.commit(d.event_ref)]]


def shown(result) -> Shown:
    """What the report shows of `result`, and what it withholds."""
    ws = _Workspace(result)
    out = Shown()
    _changes(result, ws, out)
    stepped = {(c.get("family"), c.get("metric"), c.get("event_ref")) for c in out.changes + out.mechanical}
    # A step off a baseline without spread is also a departure: the step says more.
    for d in _departures(result, ws):
        if (d.family, d.metric, d.event_ref) in stepped:
            continue
        if is_reason(d.family, d.metric):
            out.withheld.append({"family": d.family, "metric": d.metric, "event_ref": d.event_ref, "reason": RANKED})
        elif not _set_apart(result, out, d.family, d.metric, d.direction, d.event_ref, d.commit):
            out.departures.append(d)
    if result.worth is not None:
        out.second_look = result.worth.second_look(result.window.event_ids, result.quiet,
                                                   result.config.significance_threshold)
    return out
