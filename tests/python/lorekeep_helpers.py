"""Shared builders for the knowledge base tests."""

import hashlib
import json
import re
import sqlite3
from pathlib import Path

SCHEMA_SQL = (Path(__file__).resolve().parents[2] / "src" / "lorekeep" / "schema.sql").read_text(encoding="utf-8")

PATTERN_COLUMNS = [
    "pattern_id", "fingerprint", "scope", "discovery_method", "pattern_type", "sources", "metrics",
    "description_statistical", "description_semantic", "correlation_strength", "occurrence_count", "repo_count",
    "first_seen", "last_seen", "confidence_tier", "confidence_status", "expired", "created_at", "updated_at",
]
KNOWLEDGE_COLUMNS = [
    "knowledge_id", "derived_from", "fingerprint", "scope", "pattern_type", "sources", "metrics",
    "description_statistical", "description_semantic", "support_count", "first_seen", "last_seen",
    "approval_method", "approval_timestamp", "created_at",
]
# A UTC time as the store writes it.
TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z$")


def canonical_id(data):
    """The first 16 hex digits of SHA-256 of the canonical JSON form: how the store names what it keeps."""
    text = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


def pattern(**fields):
    """A pattern record as the pattern engine hands it over, with `fields` overriding."""
    record = {
        "fingerprint": "fp-ci-git",
        "discovery_method": "cooccurrence",
        "pattern_type": "co_deviation",
        "sources": ["ci", "git"],
        "metrics": ["ci.duration", "git.files_touched"],
        "description_statistical": "build duration rises with files touched",
        "correlation_strength": 0.82,
    }
    record.update(fields)
    return record


def knowledge(derived_from, **fields):
    """A knowledge record promoted from `derived_from`, with `fields` overriding."""
    record = {
        "derived_from": derived_from,
        "fingerprint": "fp-ci-git",
        "pattern_type": "co_deviation",
        "sources": ["ci", "git"],
        "metrics": ["ci.duration", "git.files_touched"],
        "description_statistical": "build duration rises with files touched",
        "support_count": 10,
        "first_seen": "2026-01-01T00:00:00Z",
        "last_seen": "2026-02-01T00:00:00Z",
    }
    record.update(fields)
    return record


def raw_rows(db_path, sql, params=()):
    """Rows read through Python's own sqlite3 module, as tuples."""
    conn = sqlite3.connect(db_path)
    try:
        return conn.execute(sql, params).fetchall()
    finally:
        conn.close()
