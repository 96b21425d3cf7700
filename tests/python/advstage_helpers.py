"""Hand-built workspaces for the advisory engine's tests."""

import json
from pathlib import Path

from varnel.advstage import SIGNAL_FILES
from varnel.lorekeep import SQLiteKnowledgeStore


def signal(family, metric, measure, ref, *, observed=10, mean=4.0, median=4, mad=1.5, degenerate=False,
           unit="modified_zscore", **extra):
    record = {
        "engine_id": family,
        "source_type": family,
        "metric": metric,
        "window": {"type": "rolling", "size": 50},
        "baseline": {"mean": mean, "stddev": 2.5, "median": median, "mad": mad},
        "observed": observed,
        "deviation": {"measure": measure, "unit": unit, "degenerate": degenerate},
        "confidence": {"sample_count": 20, "status": "accumulating"},
        "event_ref": ref,
    }
    record.update(extra)
    return record


def explanation(sig, summary):
    return {"engine_id": sig["engine_id"], "source_type": sig["source_type"], "signal_ref": sig.get("event_ref"),
            "summary": summary, "details": {"metric": sig["metric"], "observed": sig["observed"]},
            "confidence": sig["confidence"], "generated_at": "2026-03-05T00:00:00Z", "explanation_id": "x" * 64}


def git_event(eid, sha, when, files, message="Change", **payload):
    body = {"commit_hash": sha, "message": message, "files": files, "committed_at": when,
            "attestation": {"commit_hash": sha, "message": message, "author": "dana"}}
    body.update(payload)
    return {"event_id": eid, "source_type": "git", "source_family": "version_control", "observed_at": when,
            "payload": body}


def family_event(eid, family, source_type, when, trigger=None, **payload):
    body = dict(payload)
    if trigger is not None:
        body["trigger"] = trigger
    return {"event_id": eid, "source_type": source_type, "source_family": family, "observed_at": when,
            "payload": body}


def write_workspace(root: Path, *, events=(), signals=(), explanations=None, knowledge_db=None) -> Path:
    """Writes event files, signal files per family and explanations.json under `root`."""
    (root / "events").mkdir(parents=True, exist_ok=True)
    for ev in events:
        name = ev.get("event_id", "anonymous")
        (root / "events" / f"{name}.json").write_text(json.dumps(ev, indent=2), encoding="utf-8")
    by_family = {}
    for s in signals:
        by_family.setdefault(s["engine_id"], []).append(s)
    (root / "phase2").mkdir(parents=True, exist_ok=True)
    for family, records in by_family.items():
        (root / "phase2" / SIGNAL_FILES[family]).write_text(json.dumps(records, indent=2), encoding="utf-8")
    if explanations is not None:
        (root / "phase3").mkdir(parents=True, exist_ok=True)
        (root / "phase3" / "explanations.json").write_text(json.dumps(explanations, indent=2), encoding="utf-8")
    if knowledge_db is not None:
        knowledge_db(root / "phase4" / "knowledge.db")
    return root


def seed_knowledge(db_path: Path) -> None:
    """Stored patterns (local and community) and one piece of local knowledge."""
    store = SQLiteKnowledgeStore(db_path)
    build = store.create_pattern({"fingerprint": "fp-build", "discovery_method": "cooccurrence",
                                  "pattern_type": "co_deviation", "sources": ["ci", "git"],
                                  "metrics": ["files_touched", "run_duration"],
                                  "description_statistical": "build time rises with files changed",
                                  "correlation_strength": 0.82, "repo_count": 3})
    store.create_pattern({"fingerprint": "fp-spread", "discovery_method": "cooccurrence",
                          "pattern_type": "co_deviation", "sources": ["git"],
                          "metrics": ["change_locality", "files_touched"],
                          "description_statistical": "locality and size move together",
                          "correlation_strength": -0.45})
    store.create_pattern({"fingerprint": "fp-deps", "scope": "community", "discovery_method": "cooccurrence",
                          "pattern_type": "co_deviation", "sources": ["dependency", "security"],
                          "metrics": ["dependency_count", "vulnerability_count"],
                          "description_semantic": "New dependencies bring new vulnerabilities.",
                          "correlation_strength": 0.61, "repo_count": 12})
    store.create_knowledge({"derived_from": build, "fingerprint": "fp-build", "pattern_type": "co_deviation",
                            "sources": ["ci", "git"], "metrics": ["files_touched", "run_duration"],
                            "description_statistical": "build time rises with files changed",
                            "description_semantic": "Big commits make builds slow.", "support_count": 9,
                            "first_seen": "2026-01-01T00:00:00Z", "last_seen": "2026-03-01T00:00:00Z"})
    store.create_knowledge({"derived_from": build, "fingerprint": "fp-tests", "pattern_type": "co_deviation",
                            "sources": ["testing"], "metrics": ["total_tests"],
                            "description_statistical": "test count drops", "support_count": 4,
                            "first_seen": "2026-01-01T00:00:00Z", "last_seen": "2026-02-01T00:00:00Z"})
    store.close()


def rich_workspace(root: Path) -> Path:
    """Commits, a CI run, a test run, a dependency snapshot and a security scan, with signals of each."""
    events = [
        git_event("g1", "c1aaaaaaaaaaaaaaaa", "2026-03-01T10:00:00Z", ["src/a.py", "src/b.py"],
                  "Refactor the parser \u2014 na\u00efve version\n\nLong body"),
        git_event("g2", "c2bbbbbbbbbbbbbbbb", "2026-03-02T09:00:00Z", ["src/b.py", "src/c.py", "docs/x.md"],
                  "Add cache layer"),
        git_event("g3", "c3cccccccccccccccc", "2026-03-04T09:00:00Z", ["src/d.py"], "Small fix"),
        family_event("ci1", "ci", "github_actions", "2026-03-02T09:30:00Z",
                     {"commit_sha": "c2bbbbbbbbbbbbbbbb", "commit_message": "Add cache layer\nmore"},
                     timing={"created_at": "2026-03-02T09:05:00Z"}),
        family_event("t1", "testing", "junit_xml", "2026-03-02T09:10:00Z", {"commit_sha": "c2bbbbbbbbbbbbbbbb"},
                     cases=[{"name": "test_login", "status": "failed"}, {"name": "test_ok", "status": "passed"},
                            {"status": "errored"}]),
        family_event("d1", "dependency", "pip", "2026-03-03T08:00:00Z", {"commit_sha": "c3cccccccccccccccc"},
                     dependencies=[{"name": "requests", "version": "2.31", "direct": True},
                                   {"name": "urllib3", "version": "2.0", "direct": False}]),
        family_event("s1", "security", "trivy", "2026-03-03T12:00:00Z", None,
                     findings=[{"id": "CVE-1", "severity": "critical", "package": "openssl"},
                               {"id": "CVE-2", "severity": "low", "package": "zlib"}]),
    ]
    signals = [
        signal("git", "files_touched", 3.456, "g2", observed=3, mean=1.5, median=1, mad=0.5),
        signal("git", "dispersion", 2.104, "g2", observed=1.9, mean=0.61234, median=0.5, mad=0.25),
        signal("git", "change_locality", -1.75, "g1", observed=0.125, mean=0.5, median=0.55, mad=0.1),
        signal("git", "files_touched", 2.2, "g1", observed=2, mean=1.5, median=1, mad=0.5),
        signal("git", "files_touched", 0.3, "g3", observed=1, mean=1.5, median=1, mad=0.5),
        signal("ci", "run_duration", 4.2345, "ci1", observed=412.5, mean=210.25, median=205.5, mad=20.0),
        signal("ci", "run_failed", 9.0, "ci1", observed=1.0, mean=0.0, median=0.0, mad=0.0, degenerate=True,
               unit="degenerate"),
        signal("testing", "total_tests", -2.345, "t1", observed=880, mean=1000, median=1000, mad=12),
        signal("testing", "skip_rate", 1.5, "t1", observed=0.05, mean=0.01, median=0.01, mad=0.005),
        signal("testing", "direct_count", 7.0, "t1"),
        signal("dependency", "dependency_count", 1.6, "d1", observed=212, mean=200, median=200, mad=3),
        signal("security", "vulnerability_count", 2.5, "s1", observed=7, mean=2, median=2, mad=1),
        signal("security", "critical_count", 0.5, "s1", observed=1, mean=0, median=0, mad=1),
    ]
    explanations = [
        explanation(signals[0], "This commit touched 3 files \u2014 about 3x the usual 1."),
        explanation(signals[3], "This commit touched 2 files \u2014 about 2x the usual 1."),
        explanation(signals[5], "This CI build took 412.5 seconds \u2014 about 2x the usual 206."),
        {"engine_id": "testing", "signal_ref": None, "summary": "Fallback sentence for the test count.",
         "details": {"metric": "total_tests"}},
    ]
    return write_workspace(root, events=events, signals=signals, explanations=explanations,
                           knowledge_db=seed_knowledge)


def read_outputs(root: Path) -> dict:
    """The text of every file in phase5, by name."""
    out = root / "phase5"
    return {p.name: p.read_text(encoding="utf-8") for p in sorted(out.iterdir())} if out.exists() else {}
