"""The report's findings as the CI channels show them: each on its file
(`varnel.report.locations`), graded, with a title, a message and a
fingerprint that is the same on every run for the same finding.

| grade      | SARIF   | annotation | code quality | when                                      |
|------------|---------|------------|--------------|-------------------------------------------|
| action     | error   | error      | critical     | a movement that calls for action whatever |
|            |         |            |              | the history (the level "action_needed":   |
|            |         |            |              | tests or CI failing, critical             |
|            |         |            |              | vulnerabilities up, endpoints removed)    |
| concern    | warning | warning    | major        | another change of concern                 |
| movement   | note    | notice     | minor        | a movement with nothing to act on         |
| mechanical | note    | notice     | info         | a finding on mechanical work, set apart   |

Findings keep the report's order (concerns first), so a channel that must
leave some out keeps the first. The fingerprint is the SHA-256 of
FAMILY/METRIC/COMMIT; findings of one report that share those (two CI runs
of one commit) add their event to it, so each stays unique.
"""

from __future__ import annotations

import hashlib
from collections import Counter
from dataclasses import dataclass

from .._vocabulary import FAMILY_LABELS, METRIC_LABELS
from ..progress import clean
from .findings import ACTION, Departure, direction
from .render import COMMIT_ID_LENGTH



@dataclass(frozen=True)
class Placed:
    rule: str  # FAMILY/METRIC, as `varnel accept` takes it
    title: str
    message: str  # the finding's sentence and its commit
    path: str  # the file, relative to the repository's top level
    grade: str
    fingerprint: str


def title(family: str, metric: str) -> str:
    return f"{FAMILY_LABELS.get(family, family)} / {METRIC_LABELS.get(metric, metric)}"


def _directions(record: dict) -> dict[tuple, str]:
    """The way each departure (by event) and each advisory change (by
    family and metric: a step is pinned on another event) moved."""
    out: dict[tuple, str] = {}
    for d in record.get("departures") or []:
        low, high = d["range"] if "range" in d else (d["constant"], d["constant"])
        moved = Departure(d["family"], d["metric"], d["observed"], d["baseline_length"], low, high, d["event_ref"])
        out[(d["event_ref"], d["family"], d["metric"])] = moved.direction
    for change in (record.get("advisory") or {}).get("changes") or []:
        out.setdefault((change.get("family"), change.get("metric")), direction(change))
    return out


def _grade(finding: dict, ways: dict[tuple, str], quiet: frozenset[str]) -> str:
    family, metric = finding.get("family"), finding.get("metric")
    if finding.get("kind") == "mechanical":
        return "mechanical"
    way = ways.get((finding.get("event_ref"), family, metric)) if finding.get("kind") == "departure" \
        else ways.get((family, metric))
    if (family, metric, way) in ACTION and f"{family}/{metric}" not in quiet:
        return "action"
    return "concern" if finding.get("concern") else "movement"


def place(record: dict, paths: list[str | None], quiet: frozenset[str] = frozenset()) -> tuple[list[Placed], int]:
    """The findings of a report record that have a file (`paths`, one per
    finding), in the report's order, and how many have none; `quiet` names
    the FAMILY/METRIC keys the settings show apart."""
    findings = record.get("findings") or []
    ways = _directions(record)
    keys = [f"{f.get('family')}/{f.get('metric')}/{f.get('commit')}" for f in findings]
    shared = {key for key, n in Counter(keys).items() if n > 1}
    placed = []
    for finding, key, path in zip(findings, keys, paths):
        if not path:
            continue
        if key in shared:
            key += f"/{finding.get('event_ref')}"
        family, metric = finding.get("family", ""), finding.get("metric", "")
        sentence, commit = clean(finding.get("text")), f"commit {clean(finding.get('commit'))[:COMMIT_ID_LENGTH]}"
        message = sentence if commit in sentence else f"{sentence} ({commit})"  # a departure's names it already
        fingerprint = hashlib.sha256(key.encode("utf-8", "surrogateescape")).hexdigest()
        placed.append(Placed(f"{family}/{metric}", title(family, metric), message, path,
                             _grade(finding, ways, quiet), fingerprint))
    return placed, len(findings) - len(placed)
