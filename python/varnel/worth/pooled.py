"""A fleet's pooled track record: the members' own records (``eval.json``)
added up, for a repository whose own history is too short to tell.

Counts are pooled, never rates: the bug-blamed (``szz``) cell of every rule
and threshold (commits flagged, and how many of them were blamed, against
the closed commits and how many of those were), and the risk ranking's
measured top share (its commits, and how many were blamed). The fleet
writes the pool as `FILE` in each member's workspace; a run reads it there.
It holds counts only, no member's commits, files or names.
"""

from __future__ import annotations

from pathlib import Path

from ..files import read_state

SCHEMA_VERSION = 1
FILE = "fleet-record.json"


def _ratio(part: float, whole: float) -> float | None:
    return round(part / whole, 6) if whole else None


def _lift(hits: float, flagged: float, positives: float, closed: float) -> dict:
    precision, base = _ratio(hits, flagged), _ratio(positives, closed)
    return {"precision": precision, "base_rate": base,
            "lift": round(precision / base, 6) if precision is not None and base else None}


def _counts(record: dict) -> tuple[tuple | None, list[tuple]]:
    """One record's ranking counts and rule counts; KeyError or TypeError when it is not of eval.json's shape."""
    held = record["ranking"]["held_out"]
    ranking = None if not held else (held["commits"], held["positives"], held["top"],
                                     round(held["precision"] * held["top"]))
    bug = record["labels"]["szz"]
    rules = [((rule["metric"], rule["direction"], rule["threshold"]), rule["labels"]["szz"]["flagged"],
              round(rule["labels"]["szz"]["hits"]), bug["closed"], bug["positives"]) for rule in record["rules"]]
    return ranking, rules


def pool(records: list[dict]) -> dict:
    """The pooled record of the members' ``eval.json`` records (as
    `varnel.worth.track_record.read` gives them); a record of another shape
    is passed over and counted in ``passed_over``."""
    ranking = {"repositories": 0, "commits": 0, "positives": 0, "top": 0, "hits": 0}
    rules: dict[tuple, dict] = {}
    pooled, passed_over = 0, 0
    for record in records:
        try:
            held, counts = _counts(record)
        except (KeyError, TypeError, ValueError, AttributeError):
            passed_over += 1
            continue
        pooled += 1
        if held is not None:
            ranking["repositories"] += 1
            for key, value in zip(("commits", "positives", "top", "hits"), held):
                ranking[key] += value
        for key, flagged, hits, closed, positives in counts:
            rule = rules.setdefault(key, {"metric": key[0], "direction": key[1], "threshold": key[2],
                                          "repositories": 0, "flagged": 0, "hits": 0, "closed": 0, "positives": 0})
            rule["repositories"] += 1
            rule["flagged"] += flagged
            rule["hits"] += hits
            rule["closed"] += closed
            rule["positives"] += positives
    ranking.update(_lift(ranking["hits"], ranking["top"], ranking["positives"], ranking["commits"]))
    for rule in rules.values():
        rule.update(_lift(rule["hits"], rule["flagged"], rule["positives"], rule["closed"]))
    return {"schema_version": SCHEMA_VERSION, "repositories": pooled, "passed_over": passed_over,
            "ranking": ranking, "rules": [rules[key] for key in sorted(rules)]}


def read(workspace: Path) -> dict | None:
    """The pooled record the fleet left in `workspace`, or None (no fleet, or a file of another shape)."""
    record = read_state(Path(workspace) / FILE)
    return record if record.get("schema_version") == SCHEMA_VERSION else None
