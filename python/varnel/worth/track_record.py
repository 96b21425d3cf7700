"""A repository's own track record: how often the commits varnel flags were
later blamed for bugs, reverted, touched by fixes or failed, against how
often any commit was.

Outcome labels (0 or 1), from the collected commits (bots are already left out):

- ``szz``: a later fix commit deletes or modifies lines this commit last
  changed (see `varnel.worth.szz`), at any later time; the field's standard
  label. Commits of the newest `SZZ_OPEN_DAYS` days are left out of its
  rates: their bugs may not be fixed yet.
- ``reverted``: a later commit's message says "This reverts commit <id>"
  naming it, or its subject is ``Revert "<the commit's subject>"``;
- ``fix_touched``: a fix commit within `days` days touches one of its files;
- ``failed``: an ingested CI run or test report on the commit failed.

The last three leave out commits younger than `days` before the latest
commit. An earlier label, the share of a commit's files a later fix
touched, is gone: a one-file commit scores 0 or 1 where a twenty-file
commit needs every file fixed, so it favoured small commits by construction
and turned the measured value of size and spread upside down.

A rule flags a commit when the deviation of its metric, in its direction,
is at least a threshold (``"any"``: the largest deviation of any metric,
either way). The signals of every family count, another family's for the
commit its event came with (its metric named ``family/metric``, as
``dependency/dependency_count``). For each rule, threshold and label:
``flagged`` commits and their ``share`` of the label's closed commits,
``hits``, ``precision`` (hits / flagged), ``base_rate``, ``lift``
(precision / base rate, null when the base rate is 0), ``lift_sized``
(hits against what commits of the same size decile would give: whether the
rule knows more than how large a commit is), ``auc`` (how well the
deviation ranks commits by the label: 0.5 is chance) and ``recall_at_20``
(effort-aware: the flagged commits ranked by deviation, largest first and,
among equals, fewest changed lines first, are taken until their changed
lines reach 20% of all closed commits' changed lines; the share of the
label's total among them).

``eval.json`` (`SCHEMA_VERSION` 2): ``schema_version``, ``latest_commit``,
``fix_window_days``, ``commits`` (collected), ``labels`` (per label its
``definition``, ``closed`` commits and ``positives`` among them),
``ranking`` (the risk ranking's measured record, see
`varnel.worth.ranking`) and ``rules``: one record per rule and threshold
with ``metric``, ``direction`` ("up", "down" or "any"), ``threshold`` and,
per label under ``labels``, the measures above. Rates are rounded to 6 places.
"""

from __future__ import annotations

import bisect
import re
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from .._common import loads
from ..files import read_state
from .features import Commit
from .model import auc
from .szz import fix_commits

if TYPE_CHECKING:
    from ..run.events import EventIndex

SCHEMA_VERSION = 2
THRESHOLDS = (1.5, 2.0, 3.0, 3.5, 5.0, 10.0)
LABELS = ("szz", "reverted", "fix_touched", "failed")
SZZ_OPEN_DAYS = 90
FILE = "eval.json"
# How a sentence says a commit had the label.
PHRASES = {"szz": "later blamed for a bug", "reverted": "reverted", "fix_touched": "touched by a fix",
           "failed": "failed"}
DEFINITIONS = {
    "szz": "later blamed for a bug: a fix commit deleted or modified lines it last changed (commits of the "
           f"newest {SZZ_OPEN_DAYS} days left out)",
    "reverted": "later reverted",
    "fix_touched": "a fix commit touched one of its files within {days} days",
    "failed": "an ingested CI run or test report on it failed",
}
_REVERTS = re.compile(r"This reverts commit ([0-9a-f]{7,64})", re.IGNORECASE)
_REVERT_SUBJECT = re.compile(r'^Revert "(.+)"\s*$')
_DAY = 86400
_SIZE_BINS = 10


def _reverted(commits: list[Commit]) -> set[str]:
    subjects: dict[str, list[Commit]] = {}
    for c in commits:
        subjects.setdefault(c.subject, []).append(c)
    reverted = set()
    for later in commits:
        for named in _REVERTS.findall(later.message):
            reverted.update(c.sha for c in commits if c.sha.startswith(named.lower()) and c.time <= later.time)
        subject = _REVERT_SUBJECT.match(later.subject)
        if subject:
            reverted.update(c.sha for c in subjects.get(subject.group(1), []) if c.time <= later.time)
    return reverted


def label(commits: list[Commit], days: int, failed: set[str], blamed: dict[str, list[str]]) -> None:
    """Sets each commit's outcome labels from the commits after it;
    `blamed` is {fix commit: the commits it blames}."""
    reverted = _reverted(commits)
    by_sha = {c.sha: c for c in commits}
    bug = {sha for fix, shas in blamed.items() for sha in shas
           if sha in by_sha and fix in by_sha and by_sha[sha].time <= by_sha[fix].time and sha != fix}
    fix_times: dict[str, list[float]] = {}
    for fix in fix_commits(commits):
        for f in fix.files:
            fix_times.setdefault(f, []).append(fix.time)
    for times in fix_times.values():
        times.sort()

    def touched(c: Commit) -> bool:
        for f in c.files:
            times = fix_times.get(f, [])
            i = bisect.bisect_right(times, c.time)
            if i < len(times) and times[i] <= c.time + days * _DAY:
                return True
        return False

    for c in commits:
        c.labels = {"szz": float(c.sha in bug), "reverted": float(c.sha in reverted),
                    "fix_touched": float(touched(c)), "failed": float(c.sha in failed)}


def closed(commits: list[Commit], name: str, days: int) -> list[Commit]:
    """The commits whose follow-up for the label `name` has had its time."""
    if not commits:
        return []
    open_days = SZZ_OPEN_DAYS if name == "szz" else days
    latest = max(c.time for c in commits)
    return [c for c in commits if c.time + open_days * _DAY <= latest]


def read(workspace: Path) -> dict | None:
    """The workspace's ``eval.json`` record, or None when there is none of this shape."""
    record = read_state(Path(workspace) / FILE)
    return record if record.get("schema_version") == SCHEMA_VERSION and isinstance(record.get("rules"), list) \
        else None


def signal_files(phase2: Path) -> dict[str, list]:
    """{family: its signals} as a run's signal files hold them."""
    return {path.name[: -len("_signals.json")]: loads(path.read_text(encoding="utf-8"))
            for path in sorted(phase2.glob("*_signals.json"))}


def deviations(events: EventIndex, signals: dict[str, list]) -> dict[tuple[str, str], dict[str, float]]:
    """(metric, direction) -> {commit: deviation}, from the signals of every
    family (`{family: signals}`); another family's signal counts for the
    commit its event came with (a metric is named "family/metric" there)."""
    found: dict[tuple[str, str], dict[str, float]] = {}
    for family, listed in sorted(signals.items()):
        for signal in listed:
            measure = float(signal["deviation"]["measure"])
            if not measure:
                continue
            # Commits' own signals name the commit; other families' name the event it came with.
            commit = signal.get("event_ref", "") if family == "git" else events.commit_of(signal.get("event_ref", ""))
            if not commit:
                continue
            metric = signal["metric"] if family == "git" else f"{family}/{signal['metric']}"
            scores = found.setdefault((metric, "up" if measure > 0 else "down"), {})
            scores[commit] = max(scores.get(commit, 0.0), abs(measure))
    return found


def _rate(value: float | None) -> float | None:
    return None if value is None else round(value, 6)


class _Label:
    """One label over its closed commits: what every rule's cell is measured against."""

    def __init__(self, name: str, commits: list[Commit]):
        self.name, self.commits = name, commits
        self.index = {c.sha: i for i, c in enumerate(commits)}
        self.y = np.array([c.labels[name] for c in commits], dtype=float)
        self.lines = np.array([c.lines for c in commits], dtype=float)
        self.total, self.all_lines = float(self.y.sum()), float(self.lines.sum())
        self.base = self.total / len(commits) if commits else 0.0
        # The label's rate among commits of each size decile (commits of one size share a bin), for
        # lift against commits of similar size.
        sizes = np.sort(self.lines)
        edges = np.unique(sizes[[len(sizes) * b // _SIZE_BINS for b in range(1, _SIZE_BINS)]]) if len(sizes) \
            else sizes
        bins = np.searchsorted(edges, self.lines, side="right")
        counts = np.bincount(bins, minlength=_SIZE_BINS + 1)
        hits = np.bincount(bins, weights=self.y, minlength=_SIZE_BINS + 1)
        self.size_rate = (hits / np.maximum(counts, 1))[bins]
        self.order = np.lexsort((np.array([c.sha for c in commits], dtype=object), self.lines)) if commits \
            else np.zeros(0, dtype=int)

    def scores(self, found: dict[str, float]) -> np.ndarray:
        """A rule's deviation for each of the label's commits (0 where it has none)."""
        out = np.zeros(len(self.commits))
        for sha, score in found.items():
            i = self.index.get(sha)
            if i is not None:
                out[i] = score
        return out

    def cell(self, scores: np.ndarray, threshold: float, ranked: float | None) -> dict:
        flagged = scores >= threshold
        count = int(flagged.sum())
        # Effort-aware: flagged commits by deviation, largest first and then fewest lines, taken while
        # the lines taken so far are below 20% of all lines.
        chosen = self.order[flagged[self.order]]
        chosen = chosen[np.argsort(-scores[chosen], kind="stable")]
        before = np.cumsum(self.lines[chosen]) - self.lines[chosen]
        inspected = chosen[before < 0.2 * self.all_lines]
        hits = float(self.y[flagged].sum())
        expected = float(self.size_rate[flagged].sum())
        precision = hits / count if count else 0.0
        return {
            "flagged": count,
            "share": _rate(count / len(self.commits)) if self.commits else 0.0,
            "hits": _rate(hits),
            "precision": _rate(precision),
            "base_rate": _rate(self.base),
            "lift": _rate(precision / self.base) if self.base and count else None,
            "lift_sized": _rate(hits / expected) if expected and count else None,
            "auc": _rate(ranked),
            "recall_at_20": _rate(float(self.y[inspected].sum()) / self.total)
            if self.total and self.all_lines else None,
        }


def rules(commits: list[Commit], found: dict[tuple[str, str], dict[str, float]], days: int) -> list[dict]:
    """One record per rule and threshold (the ``rules`` of eval.json)."""
    labels = [_Label(name, closed(commits, name, days)) for name in LABELS]
    strongest: dict[str, float] = {}
    for scores in found.values():
        for sha, score in scores.items():
            strongest[sha] = max(strongest.get(sha, 0.0), score)
    out = []
    for (metric, direction), found_scores in sorted(found.items()) + [(("any", "any"), strongest)]:
        scores = {lab.name: lab.scores(found_scores) for lab in labels}
        ranked = {lab.name: auc(scores[lab.name], lab.y) for lab in labels}
        for threshold in THRESHOLDS:
            out.append({"metric": metric, "direction": direction, "threshold": threshold,
                        "labels": {lab.name: lab.cell(scores[lab.name], threshold, ranked[lab.name])
                                   for lab in labels}})
    return out


def label_summary(commits: list[Commit], days: int) -> dict:
    out = {}
    for name in LABELS:
        members = closed(commits, name, days)
        out[name] = {"definition": DEFINITIONS[name].format(days=days), "closed": len(members),
                     "positives": int(sum(c.labels[name] for c in members))}
    return out
