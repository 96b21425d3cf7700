"""`varnel patterns`: every pattern reads the way its evidence measured it.

The knowledge bases here are written through the store as the pattern engine
writes them: a presence pattern keeps its effect size d as its signed
strength, a pair its correlation, and knowledge keeps neither, only the
pattern it was promoted from."""

import json
import subprocess
import sys
from contextlib import contextmanager

import pytest

from varnel._vocabulary import FAMILY_METRICS
from varnel.lorekeep import SQLiteKnowledgeStore
from varnel.patstage import compute_fingerprint
from varnel.workspace import claim
from helpers import git

# Co-change novelty, a measure of a commit's own files.
NOVELTY = FAMILY_METRICS["git"][-1]


def patterns_command(repo, *options):
    done = subprocess.run([sys.executable, "-m", "varnel", "patterns", *options, str(repo)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


@contextmanager
def knowledge_base(repo):
    store = SQLiteKnowledgeStore(repo / ".varnel" / "phase4" / "knowledge.db")
    try:
        yield store
    finally:
        store.close()


def presence(family, metric, d, treated=40, control=800):
    way = "increased" if d > 0 else "decreased"
    return {"fingerprint": compute_fingerprint([("git", metric, way), (family, "_presence", "increased")]),
            "discovery_method": "statistical", "pattern_type": "co_occurrence", "sources": sorted(["git", family]),
            "metrics": sorted([metric, f"{family}_presence"]),
            "description_statistical": f"When {family} events occur, git.{metric} is systematically {way} "
                                       f"(effect size d={d:.2f}, treated={treated}, control={control}).",
            "correlation_strength": d, "occurrence_count": treated}


def pair(first, second, r, together=12):
    (family1, metric1), (family2, metric2) = first, second
    way1, way2 = "increased", "increased" if r > 0 else "decreased"
    return {"fingerprint": compute_fingerprint([(family1, metric1, way1), (family2, metric2, way2)]),
            "discovery_method": "statistical", "pattern_type": "co_occurrence",
            "sources": sorted([family1, family2]), "metrics": sorted([metric1, metric2]),
            "description_statistical": f"Signals {family1}.{metric1} and {family2}.{metric2} co-occur with "
                                      f"correlation {r:.2f} across {together} commit-aligned observations "
                                      f"(of {together + 3} shared commits).",
            "correlation_strength": r, "occurrence_count": together}


def promote(store, pattern_id):
    """As the pattern engine promotes a pattern that recurred."""
    stored = store.get_pattern(pattern_id)
    store.create_knowledge({key: stored[key] for key in (
        "fingerprint", "scope", "pattern_type", "sources", "metrics", "description_statistical",
        "description_semantic", "first_seen", "last_seen")} | {"derived_from": pattern_id,
                                                               "support_count": stored["occurrence_count"]})
    store.update_pattern(pattern_id, {"confidence_tier": "confirmed", "confidence_status": "sufficient"})


@pytest.fixture
def repo(tmp_path):
    git(tmp_path, "init", "-q", "-b", "main")
    claim(tmp_path / ".varnel")
    return tmp_path


@pytest.fixture
def learned(repo):
    """Release commits with fewer new co-changes and a wider spread, dependency commits with
    fewer changes to recently touched files (a restatement), and builds that get shorter as
    commits get larger, not yet confirmed."""
    with knowledge_base(repo) as store:
        for family, metric, d in (("deployment", NOVELTY, -0.63), ("deployment", "dispersion", 0.55),
                                  ("dependency", "change_locality", -0.47)):
            promote(store, store.create_pattern(presence(family, metric, d)))
        store.create_pattern(pair(("git", "files_touched"), ("ci", "run_duration"), -0.52))
    return repo


def test_each_pattern_reads_the_way_its_evidence_measured(learned):
    shown = patterns_command(learned)
    known, pending, restating = (shown.split("Known patterns (2):")[1].split("Patterns still being confirmed (1):")[0],
                                 shown.split("Patterns still being confirmed (1):")[1].split("Restating")[0],
                                 shown.split("Restating how events are collected (1")[1])
    assert ("files changing together for the first time is usually lower on commits that come with a release"
            in known) and "effect size -0.63" in known
    assert ("how widely commits spread is usually higher on commits that come with a release" in known
            and "effect size 0.55" in known)
    assert "tend to move in opposite directions" in pending and "correlation -0.52" in pending
    assert "changes to recently touched files is usually lower on commits that come with a dependency change" in (
        restating)
    assert "usually higher on commits that come with a dependency" not in shown
    assert "Left out" not in shown


def test_json_gives_every_pattern_its_direction_and_signed_effect_size(learned):
    record = json.loads(patterns_command(learned, "--format", "json"))
    entries = record["knowledge"] + record["patterns"]
    assert len(record["knowledge"]) == 3 and len(record["patterns"]) == 4 and record["contradicted"] == 0
    assert all(e["direction"] in ("higher", "lower") and isinstance(e["effect_size"], float) for e in entries)
    measured = {(tuple(e["metrics"]), "knowledge_id" in e): (e["direction"], e["effect_size"]) for e in entries}
    assert measured[((NOVELTY, "deployment_presence"), True)] == ("lower", -0.63)
    assert measured[(("deployment_presence", "dispersion"), True)] == ("higher", 0.55)
    assert measured[(("files_touched", "run_duration"), False)] == ("lower", -0.52)
    known = next(e for e in record["knowledge"] if "dispersion" in e["metrics"])
    assert known["support_count"] == 40 and known["description_statistical"].startswith("When deployment")


def test_a_pattern_its_own_record_contradicts_is_left_out_and_counted(repo):
    with knowledge_base(repo) as store:
        sound = store.create_pattern(presence("deployment", "dispersion", 0.55))
        promote(store, sound)
        # Measured again the other way after its promotion: the knowledge still says "increased".
        turned = store.create_pattern(presence("deployment", "files_touched", 0.41))
        promote(store, turned)
        store.update_pattern(turned, {"correlation_strength": -0.41})
        unmeasured = pair(("git", "dispersion"), ("ci", "run_duration"), 0.3)
        del unmeasured["correlation_strength"]
        store.create_pattern(unmeasured)
    shown = patterns_command(repo)
    assert "Known patterns (1):" in shown and "Patterns still being confirmed (0):" in shown
    assert "files changed per commit" not in shown and "build time" not in shown
    assert shown.count("Left out: 2 patterns whose own record") == 1
    record = json.loads(patterns_command(repo, "--format", "json"))
    assert [e["metrics"] for e in record["knowledge"]] == [["deployment_presence", "dispersion"]]
    assert all("files_touched" not in e["metrics"] and "run_duration" not in e["metrics"]
               for e in record["patterns"])
    assert record["contradicted"] == 3  # the knowledge, the pattern it came from, the pattern without a measure
