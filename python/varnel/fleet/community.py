"""Community patterns: what several repositories of a fleet learned alike.

A fingerprint names the same movement of the same metrics in any
repository, so a pattern whose fingerprint is among the local patterns of
at least `min_repos` members becomes a community pattern: one record of
scope "community" with its `repo_count` (how many members showed it; kept
current) and its `occurrence_count` (their occurrences together when it
became one), kept in the fleet's
knowledge base and in every member's, where the advisory matches it before
the member's own patterns. A member's own run never counts an occurrence
against a community record: it learns its local patterns as it would alone,
and the fleet replaces the community records on each of its runs (those no
longer shown by enough members expire).

Only these records leave a member's workspace; every write goes through the
knowledge base's operations, under the member's workspace lock.
"""

from __future__ import annotations

import sqlite3
from collections import Counter
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

from .. import lorekeep
from ..run.stage import KNOWLEDGE
from ..workspace import locked

SCOPE = "community"
# What the fleet keeps current on a community record whose id stays the same: only the count of
# repositories, so that a member's knowledge base (and so its recorded run) changes when the fleet's
# knowledge does, not whenever another member's descriptions or strengths move a little.
_KEPT = ("repo_count",)


@contextmanager
def _store(database: Path) -> Iterator[lorekeep.SQLiteKnowledgeStore]:
    store = lorekeep.SQLiteKnowledgeStore(database)
    try:
        yield store
    finally:
        store.close()


def _shape(pattern: dict) -> tuple:
    return (pattern["discovery_method"], pattern["pattern_type"], tuple(pattern["sources"]),
            tuple(pattern["metrics"]))


def learned(workspaces: dict[str, Path], warnings: list[str]) -> dict[str, dict[str, dict]]:
    """{fingerprint: {member: its local pattern}} over the members' knowledge
    bases; a base that cannot be read is passed over with a warning."""
    found: dict[str, dict[str, dict]] = {}
    for name, workspace in sorted(workspaces.items()):
        database = workspace / KNOWLEDGE
        if not database.is_file():
            continue
        try:
            with locked(workspace), _store(database) as store:
                patterns = [p for p in store.list_patterns(scope="local") if _usable(p)]
        except (OSError, ValueError, sqlite3.Error) as e:
            warnings.append(f"{name}: its knowledge base could not be read: {e}")
            continue
        for pattern in patterns:
            found.setdefault(pattern["fingerprint"], {}).setdefault(name, pattern)
    return found


def _usable(pattern: dict) -> bool:
    """Whether a stored pattern has what a community record is made of (a file edited by hand may not)."""
    return all(isinstance(pattern.get(key), str) for key in ("fingerprint", "discovery_method", "pattern_type",
                                                             "first_seen", "last_seen")) \
        and all(isinstance(pattern.get(key), list) for key in ("sources", "metrics"))


def records_of(found: dict[str, dict[str, dict]], min_repos: int) -> list[dict]:
    """The community pattern records of the fingerprints shown by at least `min_repos` members."""
    out = []
    for fingerprint, by_member in sorted(found.items()):
        if len(by_member) < min_repos:
            continue
        patterns = [by_member[name] for name in sorted(by_member)]
        # The shape most members share (then the first member's): the record's id stays put between runs.
        shapes = Counter(_shape(p) for p in patterns)
        shape = max(shapes, key=lambda s: (shapes[s], -[_shape(p) for p in patterns].index(s)))
        first = next(p for p in patterns if _shape(p) == shape)
        strengths = [p["correlation_strength"] for p in patterns if isinstance(p["correlation_strength"], (int, float))]
        out.append({
            "fingerprint": fingerprint, "scope": SCOPE, "discovery_method": shape[0], "pattern_type": shape[1],
            "sources": list(shape[2]), "metrics": list(shape[3]),
            "description_statistical": first["description_statistical"],
            "correlation_strength": round(sum(strengths) / len(strengths), 6) if strengths else None,
            "occurrence_count": sum(p["occurrence_count"] for p in patterns if isinstance(p["occurrence_count"], int)),
            "repo_count": len(patterns),
            "first_seen": min(p["first_seen"] for p in patterns),
            "last_seen": max(p["last_seen"] for p in patterns),
        })
    return out


def write(database: Path, records: list[dict]) -> None:
    """The knowledge base at `database` holding exactly `records` as its active community patterns."""
    with _store(database) as store:
        kept = set()
        for record in records:
            pattern_id = store.create_pattern(record)  # an existing record is returned as it is
            kept.add(pattern_id)
            stored = store.get_pattern(pattern_id)
            changed = {key: record[key] for key in _KEPT if stored[key] != record[key]}
            if changed:
                store.update_pattern(pattern_id, changed)
        for old in store.list_patterns(scope=SCOPE):
            if old["pattern_id"] not in kept:
                store.expire_pattern(old["pattern_id"])


def share(fleet_database: Path, workspaces: dict[str, Path], min_repos: int, warnings: list[str]) -> list[dict]:
    """Learns the community patterns of the members' workspaces (`{name: workspace}`)
    and writes them into the fleet's knowledge base and every member's that
    exists; returns the records. What cannot be read or written of a member
    (or of the fleet's base) becomes a warning in `warnings`."""
    records = records_of(learned(workspaces, warnings), min_repos)
    try:
        write(fleet_database, records)
    except (OSError, sqlite3.Error) as e:
        warnings.append(f"the fleet's knowledge base {fleet_database} could not be written: {e}")
    for name, workspace in sorted(workspaces.items()):
        database = workspace / KNOWLEDGE
        if not database.is_file():
            continue  # nothing learned there yet: its first patterns come with its next run
        try:
            with locked(workspace):
                write(database, records)
        except (OSError, sqlite3.Error) as e:
            warnings.append(f"{name}: the community patterns could not be written into its knowledge base: {e}")
    return records
