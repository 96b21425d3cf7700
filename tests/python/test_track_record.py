"""The track record on a history with planted outcomes: every rate exact."""

import json

from test_cli import varnel
from test_collect_git import commit, git, repo  # noqa: F401  (repo is a fixture)
from varnel.collect.git import collect_git
from varnel.workspace import claim


def lines(n):
    return "".join(f"line {i}\n" for i in range(n))


def test_planted_reverts_and_fixes_give_exact_rates(repo, tmp_path):
    shas = [
        commit(repo, {"a": lines(10), "b": lines(10)}, "add a and b", date="2026-01-01T00:00:00Z"),
        commit(repo, {f: lines(50) for f in "cdef"}, "big change", date="2026-01-02T00:00:00Z"),
        commit(repo, {f: lines(49) for f in "cdef"}, 'Revert "big change"', date="2026-01-03T00:00:00Z"),
        commit(repo, {"c": lines(48)}, "fix crash in c", date="2026-01-04T00:00:00Z"),
        commit(repo, {"docs": lines(5)}, "docs", date="2026-01-20T00:00:00Z"),
        commit(repo, {"docs": lines(6)}, "later", date="2026-02-20T00:00:00Z"),  # its window is still open
    ]
    ws = claim(repo / ".varnel")
    collect_git(repo, ws)
    (ws / "phase2").mkdir()
    planted = [("files_touched", shas[1], 4.0), ("files_touched", shas[4], 2.0), ("files_touched", shas[0], -1.6)]
    (ws / "phase2" / "git_signals.json").write_text(json.dumps(
        [{"metric": m, "event_ref": sha, "deviation": {"measure": d, "unit": "modified_zscore", "degenerate": False}}
         for m, sha, d in planted]))
    # Another family's signal counts for the commit its event came with.
    (ws / "events" / "dependency-x.json").write_text(json.dumps(
        {"event_id": "dependency-x", "observed_at": "2026-01-02T00:00:00Z", "source_type": "pip",
         "source_family": "dependency", "payload": {"trigger": {"commit_sha": shas[1]}}}))
    (ws / "phase2" / "dependency_signals.json").write_text(json.dumps(
        [{"metric": "dependency_count", "event_ref": "dependency-x", "deviation": {"measure": 6.0}}]))
    run = tmp_path / "run.json"
    run.write_text(json.dumps({"duration_seconds": 5, "conclusion": "failure"}))
    assert varnel("ingest", "ci", str(run), "--commit", shas[4], "--path", str(repo)).returncode == 0
    done = varnel("eval", "--format", "json", str(repo))
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert record == json.loads((ws / "eval.json").read_text())
    # Five closed commits; the big change was reverted; the fix touches one of its four files and of the revert's.
    assert (record["commits"], record["closed"], record["latest_commit"]) == (6, 5, shas[5])
    assert record["labelled"] == {"reverted": 1.0, "fix": 0.5, "failed": 1.0}
    rules = {(r["metric"], r["direction"], r["threshold"]): r for r in record["rules"]}
    up = rules[("files_touched", "up", 1.5)]
    assert (up["flagged"], up["share"]) == (2, 0.4)
    # 20% of the 420 changed lines: the big change alone (200 lines) is inspected.
    assert up["labels"]["fix"] == {"hits": 0.25, "precision": 0.125, "base_rate": 0.1, "lift": 1.25,
                                   "recall_at_20": 0.5}
    assert up["labels"]["reverted"] == {"hits": 1.0, "precision": 0.5, "base_rate": 0.2, "lift": 2.5,
                                        "recall_at_20": 1.0}
    assert up["labels"]["failed"] == {"hits": 1.0, "precision": 0.5, "base_rate": 0.2, "lift": 2.5,
                                      "recall_at_20": 0.0}  # the failed commit is flagged but not inspected
    assert rules[("files_touched", "up", 3.0)]["labels"]["failed"]["lift"] == 0.0
    strong = rules[("files_touched", "up", 3.0)]
    assert (strong["flagged"], strong["labels"]["reverted"]["lift"], strong["labels"]["fix"]["lift"]) == (1, 5.0, 2.5)
    assert rules[("files_touched", "down", 1.5)]["flagged"] == 1
    assert rules[("files_touched", "down", 2.0)]["flagged"] == 0
    assert [rules[("any", "any", t)]["flagged"] for t in (1.5, 2.0, 3.0, 5.0)] == [3, 2, 1, 1]
    deps = rules[("dependency/dependency_count", "up", 5.0)]
    assert (deps["flagged"], deps["labels"]["reverted"]["lift"]) == (1, 5.0)
    text = varnel("eval", str(repo))
    assert text.returncode == 0 and "files_touched" in text.stdout


def test_eval_before_any_analysis_says_what_to_run(repo):
    commit(repo, {"a": "1"}, "one")
    done = varnel("eval", str(repo))
    assert done.returncode == 2 and "run 'varnel analyze' first" in done.stderr
