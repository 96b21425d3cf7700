"""A repository's own track record: how often the commits varnel flags were
later reverted or fixed, against how often any commit was.

Outcome labels, from the collected commits (bots are already left out):

- ``reverted`` (0 or 1): a later commit's message says "This reverts commit
  <id>" naming it, or its subject is ``Revert "<the commit's subject>"``;
- ``fix`` (0 to 1): the share of the commit's changed files that a later
  fix commit (its subject says fix, fixes, fixed, bug, bugfix or hotfix)
  touches within `days` days;
- ``failed`` (0 or 1): an ingested CI run or test report on the commit failed.

A commit whose follow-up window has not closed (younger than `days` days
before the latest commit) is left out of every rate. A rule flags a commit
when the deviation of its metric, in its direction, is at least a threshold
(``"any"``: the largest deviation of any metric, either way). The signals of
every family count, another family's for the commit its event came with
(its metric named ``family/metric``, as ``dependency/dependency_count``). For each rule
and threshold, per label: ``flagged`` commits and their ``share`` of the
closed ones, ``hits`` (the label's sum over the flagged commits),
``precision`` (hits / flagged), ``base_rate`` (the label's mean over all
closed commits), ``lift`` (precision / base rate, null when the base rate
is 0) and ``recall_at_20`` (effort-aware: the flagged commits ranked by
deviation, largest first and, among equals, fewest changed lines first, are
taken until their changed lines reach 20% of all closed commits' changed
lines; the share of the label's total among them).

``eval.json`` (`SCHEMA_VERSION` 1): ``schema_version``, ``latest_commit``,
``fix_window_days``, ``commits`` (collected), ``closed`` (with a closed
window), ``labelled`` (per label, its total over the closed commits), and
``rules``: one record per rule and threshold with ``metric``, ``direction``
("up", "down" or "any"), ``threshold``, ``flagged``, ``share`` and, per label
under ``labels``, ``hits``, ``precision``, ``base_rate``, ``lift`` and
``recall_at_20``. Rates are rounded to 6 places.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path

from ._common import loads
from .collect.events import commits_of_events
from .collect.gitrun import diffs, text

SCHEMA_VERSION = 1
THRESHOLDS = (1.5, 2.0, 3.0, 3.5, 5.0, 10.0)
LABELS = ("reverted", "fix", "failed")
FILE = "eval.json"
_FIX = re.compile(r"\b(?:fix|fixes|fixed|bug|bugfix|hotfix)\b", re.IGNORECASE)
_REVERTS = re.compile(r"This reverts commit ([0-9a-f]{7,64})", re.IGNORECASE)
_REVERT_SUBJECT = re.compile(r'^Revert "(.+)"\s*$')
_DAY = 86400


@dataclass
class Commit:
    sha: str
    time: float  # epoch seconds
    message: str
    files: list[str]
    lines: int = 0  # lines added and removed
    labels: dict[str, float] = field(default_factory=dict)

    @property
    def subject(self) -> str:
        return self.message.split("\n", 1)[0]


def _time(text_value: str) -> float:
    return datetime.fromisoformat(text_value.replace("Z", "+00:00")).timestamp()


def collected_commits(workspace: Path) -> list[Commit]:
    """The workspace's commits, oldest first."""
    commits = []
    for path in (workspace / "events").glob("git-*.json"):
        event = loads(path.read_text(encoding="utf-8"))
        payload = event["payload"]
        commits.append(Commit(payload["commit_hash"], _time(event["observed_at"]), payload.get("message", ""),
                              list(payload.get("files", []))))
    return sorted(commits, key=lambda c: (c.time, c.sha))


def count_lines(repo: Path, commits: list[Commit]) -> None:
    """Each commit's changed lines (added and removed; a binary file counts none)."""
    if not commits:
        return
    raw, _ = diffs(repo, "log", "--no-walk=unsorted", "--stdin", "--numstat", "--no-renames", "--format=%x00%H",
                   stdin="\n".join(c.sha for c in commits).encode())  # the analysis warned of .gitmodules already
    by_sha = {c.sha: c for c in commits}
    for record in text(raw).split("\0")[1:]:
        sha, _, rest = record.partition("\n")
        total = 0
        for line in rest.splitlines():
            added, _, tail = line.partition("\t")
            removed = tail.partition("\t")[0]
            total += int(added) if added.isdigit() else 0
            total += int(removed) if removed.isdigit() else 0
        if sha.strip() in by_sha:
            by_sha[sha.strip()].lines = total


def _failed_commits(workspace: Path) -> set[str]:
    """Commits with an ingested CI run or test report that failed."""
    failed = set()
    for path in (workspace / "events").glob("ingest-*.json"):
        try:
            event = loads(path.read_text(encoding="utf-8"))
            payload = event["payload"]
            sha = payload.get("trigger", {}).get("commit_sha")
        except (OSError, ValueError, KeyError, AttributeError):
            continue
        summary = payload.get("summary") if isinstance(payload.get("summary"), dict) else {}
        if sha and (payload.get("conclusion") == "failure" or (summary.get("failed") or 0) > 0
                    or (summary.get("errored") or 0) > 0):
            failed.add(sha)
    return failed


def label(commits: list[Commit], days: int, failed: set[str]) -> None:
    """Sets each commit's outcome labels from the commits after it."""
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
    fixes = [c for c in commits if _FIX.search(c.subject)]
    for c in commits:
        touched = set()
        for fix in fixes:
            if fix.sha != c.sha and c.time < fix.time <= c.time + days * _DAY:
                touched.update(fix.files)
        c.labels = {"reverted": float(c.sha in reverted),
                    "fix": len(set(c.files) & touched) / len(c.files) if c.files else 0.0,
                    "failed": float(c.sha in failed)}


def deviations(workspace: Path) -> dict[tuple[str, str], dict[str, float]]:
    """(metric, direction) -> {commit: deviation}, from the signals of every
    family; another family's signal counts for the commit its event came with
    (a metric is named "family/metric" there)."""
    found: dict[tuple[str, str], dict[str, float]] = {}
    triggers = None
    for path in sorted((workspace / "phase2").glob("*_signals.json")):
        family = path.name[: -len("_signals.json")]
        for signal in json.loads(path.read_text(encoding="utf-8")):
            measure = float(signal["deviation"]["measure"])
            if not measure:
                continue
            commit = signal.get("event_ref", "")
            if family != "git":
                triggers = commits_of_events(workspace) if triggers is None else triggers
                commit = triggers.get(commit, ("",))[0]
                if not commit:
                    continue
            metric = signal["metric"] if family == "git" else f"{family}/{signal['metric']}"
            scores = found.setdefault((metric, "up" if measure > 0 else "down"), {})
            scores[commit] = max(scores.get(commit, 0.0), abs(measure))
    return found


def _rate(value: float) -> float:
    return round(value, 6)


def _rule(metric: str, direction: str, threshold: float, scores: dict[str, float], closed: list[Commit],
          totals: dict[str, float], all_lines: int) -> dict:
    flagged = [c for c in closed if scores.get(c.sha, 0.0) >= threshold]
    ranked = sorted(flagged, key=lambda c: (-scores[c.sha], c.lines, c.sha))
    inspected, lines = [], 0
    for c in ranked:
        if lines >= 0.2 * all_lines:
            break
        inspected.append(c)
        lines += c.lines
    labels = {}
    for name in LABELS:
        hits = sum(c.labels[name] for c in flagged)
        base = totals[name] / len(closed) if closed else 0.0
        precision = hits / len(flagged) if flagged else 0.0
        labels[name] = {
            "hits": _rate(hits),
            "precision": _rate(precision),
            "base_rate": _rate(base),
            "lift": _rate(precision / base) if base and flagged else None,
            "recall_at_20": _rate(sum(c.labels[name] for c in inspected) / totals[name]) if totals[name] else None,
        }
    return {"metric": metric, "direction": direction, "threshold": threshold, "flagged": len(flagged),
            "share": _rate(len(flagged) / len(closed)) if closed else 0.0, "labels": labels}


def evaluate(repo: Path, workspace: Path, days: int = 14) -> dict:
    """The track record of the workspace's flags (the record written to eval.json)."""
    commits = collected_commits(workspace)
    count_lines(repo, commits)
    label(commits, days, _failed_commits(workspace))
    latest = commits[-1] if commits else None
    closed = [c for c in commits if latest is not None and c.time + days * _DAY <= latest.time]
    totals = {name: sum(c.labels[name] for c in closed) for name in LABELS}
    all_lines = sum(c.lines for c in closed)
    found = deviations(workspace)
    rules = []
    for (metric, direction) in sorted(found):
        for threshold in THRESHOLDS:
            rules.append(_rule(metric, direction, threshold, found[(metric, direction)], closed, totals, all_lines))
    strongest: dict[str, float] = {}
    for scores in found.values():
        for sha, score in scores.items():
            strongest[sha] = max(strongest.get(sha, 0.0), score)
    rules += [_rule("any", "any", t, strongest, closed, totals, all_lines) for t in THRESHOLDS]
    return {"schema_version": SCHEMA_VERSION, "latest_commit": latest.sha if latest else None,
            "fix_window_days": days, "commits": len(commits), "closed": len(closed),
            "labelled": {name: _rate(totals[name]) for name in LABELS}, "rules": rules}


def table(record: dict, label_name: str = "fix") -> str:
    """The track record as a table for a terminal: one line per rule and threshold."""
    lines = [f"{record['closed']} of {record['commits']} commits with a closed {record['fix_window_days']}-day "
             f"window; labelled: " + ", ".join(f"{k} {v:g}" for k, v in record["labelled"].items()),
             f"{'metric':<36}{'dir':<6}{'at':>5}{'flagged':>9}{'share':>8}{'precision':>11}{'lift':>7}"
             f"{'recall@20%':>12}   ({label_name})"]
    for rule in record["rules"]:
        if not rule["flagged"]:
            continue  # eval.json keeps it; a table of zeros says nothing
        cell = rule["labels"][label_name]
        lift = "-" if cell["lift"] is None else f"{cell['lift']:.2f}"
        recall = "-" if cell["recall_at_20"] is None else f"{cell['recall_at_20']:.3f}"
        lines.append(f"{rule['metric']:<36}{rule['direction']:<6}{rule['threshold']:>5g}{rule['flagged']:>9}"
                     f"{rule['share']:>8.3f}{cell['precision']:>11.3f}{lift:>7}{recall:>12}")
    return "\n".join(lines) + "\n"
