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

import json
from pathlib import Path

SCHEMA_VERSION = 1
FILE = "fleet-record.json"


def _ratio(part: float, whole: float) -> float | None:
    return round(part / whole, 6) if whole else None


def _lift(hits: float, flagged: float, positives: float, closed: float) -> dict:
    precision, base = _ratio(hits, flagged), _ratio(positives, closed)
    return {"precision": precision, "base_rate": base,
            "lift": round(precision / base, 6) if precision is not None and base else None}


def pool(records: list[dict]) -> dict:
    """The pooled record of the members' ``eval.json`` records."""
    ranking = {"repositories": 0, "commits": 0, "positives": 0, "top": 0, "hits": 0}
    rules: dict[tuple, dict] = {}
    for record in records:
        held = (record.get("ranking") or {}).get("held_out")
        if held:
            ranking["repositories"] += 1
            ranking["commits"] += held["commits"]
            ranking["positives"] += held["positives"]
            ranking["top"] += held["top"]
            ranking["hits"] += round(held["precision"] * held["top"])
        bug = (record.get("labels") or {}).get("szz") or {}
        for rule in record.get("rules", []):
            cell = rule["labels"]["szz"]
            key = (rule["metric"], rule["direction"], rule["threshold"])
            pooled = rules.setdefault(key, {"metric": key[0], "direction": key[1], "threshold": key[2],
                                            "repositories": 0, "flagged": 0, "hits": 0, "closed": 0,
                                            "positives": 0})
            pooled["repositories"] += 1
            pooled["flagged"] += cell["flagged"]
            pooled["hits"] += round(cell["hits"])
            pooled["closed"] += bug.get("closed", 0)
            pooled["positives"] += bug.get("positives", 0)
    ranking.update(_lift(ranking["hits"], ranking["top"], ranking["positives"], ranking["commits"]))
    for rule in rules.values():
        rule.update(_lift(rule["hits"], rule["flagged"], rule["positives"], rule["closed"]))
    return {"schema_version": SCHEMA_VERSION, "repositories": len(records), "ranking": ranking,
            "rules": [rules[key] for key in sorted(rules)]}


def read(workspace: Path) -> dict | None:
    """The pooled record the fleet left in `workspace`, or None (no fleet, or a file of another shape)."""
    try:
        record = json.loads((Path(workspace) / FILE).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("schema_version") != SCHEMA_VERSION:
        return None
    return record
