"""The track record on a history with planted outcomes: every rate exact."""

import json

from varnel.collect.git import collect_git
from varnel.workspace import claim
from helpers import commit, varnel


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
    # Five commits with a closed 14-day window; the big change was reverted; the fix, two days
    # later, touches a file of the big change and of the revert. Every commit is younger than
    # the 90 days the bug label leaves open, though the fix blames the big change's line.
    assert (record["commits"], record["latest_commit"]) == (6, shas[5])
    assert {name: (v["closed"], v["positives"]) for name, v in record["labels"].items()} == {
        "szz": (0, 0), "reverted": (5, 1), "fix_touched": (5, 2), "failed": (5, 1)}
    assert "blamed" in record["labels"]["szz"]["definition"]
    rules = {(r["metric"], r["direction"], r["threshold"]): r for r in record["rules"]}
    up = rules[("files_touched", "up", 1.5)]["labels"]
    # 20% of the 230 changed lines: the big change alone (200 lines) is inspected.
    assert up["fix_touched"] == {"flagged": 2, "share": 0.4, "hits": 1.0, "precision": 0.5, "base_rate": 0.4,
                                 "lift": 1.25, "lift_sized": 1.0, "auc": 0.666667, "recall_at_20": 0.5}
    assert (up["reverted"]["lift"], up["reverted"]["recall_at_20"]) == (2.5, 1.0)
    assert (up["failed"]["lift"], up["failed"]["recall_at_20"]) == (2.5, 0.0)  # flagged but not inspected
    assert up["szz"]["flagged"] == 0 and up["szz"]["lift"] is None
    strong = rules[("files_touched", "up", 3.0)]["labels"]
    assert (strong["reverted"]["flagged"], strong["reverted"]["lift"], strong["fix_touched"]["lift"]) == (1, 5.0, 2.5)
    assert strong["failed"]["lift"] == 0.0
    flagged = lambda key: rules[key]["labels"]["reverted"]["flagged"]  # noqa: E731
    assert (flagged(("files_touched", "down", 1.5)), flagged(("files_touched", "down", 2.0))) == (1, 0)
    assert [flagged(("any", "any", t)) for t in (1.5, 2.0, 3.0, 5.0)] == [3, 2, 1, 1]
    deps = rules[("dependency/dependency_count", "up", 5.0)]["labels"]["reverted"]
    assert (deps["flagged"], deps["lift"]) == (1, 5.0)
    text = varnel("eval", str(repo))
    # Each label's definition comes with the table; a rule that flagged no closed commit has no line.
    assert text.returncode == 0 and "szz: later blamed for a bug" in text.stdout
    assert "files_touched" not in text.stdout


def test_eval_before_any_analysis_says_what_to_run(repo):
    commit(repo, {"a": "1"}, "one")
    done = varnel("eval", str(repo))
    assert done.returncode == 2 and "run 'varnel analyze' first" in done.stderr
