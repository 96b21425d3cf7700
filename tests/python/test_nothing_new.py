"""A run that finds nothing new prints the last run's report at once, and
anything a run reads that changed makes it run in full again."""

import json

from helpers import commit, sensitive, varnel

RECALLED = "nothing new since the run of"


def analyze(repo, *options):
    done = varnel("analyze", *options, str(repo))
    assert done.returncode in (0, 1), done.stderr
    return done


def test_nothing_new_prints_the_last_report_with_its_status(history):
    sensitive(history)
    first = analyze(history, "--fail-on", "watch")
    again = analyze(history, "--fail-on", "watch")
    assert RECALLED in again.stderr and "--fresh" in again.stderr
    assert again.stdout == first.stdout and again.returncode == first.returncode
    assert RECALLED not in analyze(history, "--quiet").stderr  # --quiet says nothing, recalled or not
    kept = sorted((history / ".varnel" / "history").glob("advisory-*.json"))
    assert len(kept) <= 1  # a recalled run keeps no second copy of the same advisory


def test_whatever_a_run_reads_that_changed_runs_it_again(history):
    ws = history / ".varnel"
    analyze(history, "--format", "json")
    assert RECALLED in analyze(history, "--format", "json").stderr

    def runs_in_full(*options, change=lambda: None):
        change()
        done = analyze(history, "--format", "json", *options)
        return RECALLED not in done.stderr and json.loads(done.stdout)["commits"] >= 12

    assert runs_in_full(change=lambda: commit(history, {"new.py": "x"}, "one more", date="2026-03-20T10:00:00Z"))
    assert runs_in_full(change=lambda: (history / ".varnel.toml").write_text("min_baseline = 4\n"))
    assert runs_in_full("--last", "3")
    assert runs_in_full("--fresh")
    assert RECALLED in analyze(history, "--format", "json").stderr  # a fresh run is recorded too
    assert runs_in_full(change=lambda: varnel("accept", "git/files_touched", str(history)))
    assert runs_in_full(change=lambda: (ws / "phase4" / "knowledge.db").write_bytes(b""))
    assert RECALLED in analyze(history, "--format", "json").stderr
    assert RECALLED not in analyze(history, "--format", "markdown").stderr  # the record holds one format
    assert RECALLED not in varnel("verify", "--format", "markdown", str(history)).stderr


def test_an_accepted_deviation_that_expires_ends_the_record(history):
    ws = history / ".varnel"
    assert varnel("accept", "git/files_touched", str(history), "--days", "1").returncode == 0
    analyze(history)
    memo = json.loads((ws / "last-run.json").read_text(encoding="utf-8"))
    assert memo["until"] is not None
    memo["until"] = "2000-01-01T00:00:00+00:00"  # as it will read once the day has passed
    (ws / "last-run.json").write_text(json.dumps(memo), encoding="utf-8")
    assert RECALLED not in analyze(history).stderr


def test_a_record_that_cannot_be_written_fails_nothing(history):
    analyze(history)
    memo = history / ".varnel" / "last-run.json"
    memo.unlink()
    memo.mkdir()  # in the way of the record, as a full disk would be
    done = analyze(history, "--fresh")
    assert "varnel advisory for" in done.stdout and "Traceback" not in done.stderr
    assert RECALLED not in analyze(history).stderr


def test_a_recalled_run_gives_the_warnings_of_the_run_it_recalls(history):
    commit(history, {"main.tf": 'resource "a" "b" {\n'}, "an unreadable configuration", date="2026-03-13T10:00:00Z")
    first, again = analyze(history, "--quiet"), analyze(history, "--quiet")
    warned = [line for line in first.stderr.splitlines() if line.startswith("warning:")]
    assert warned and "main.tf" in warned[0]
    assert [line for line in again.stderr.splitlines() if line.startswith("warning:")] == warned
    assert again.stdout == first.stdout


def test_reading_the_knowledge_base_keeps_the_record_and_writing_it_runs_again(history):
    from varnel.lorekeep import SQLiteKnowledgeStore

    analyze(history, "--format", "json")
    assert varnel("patterns", str(history)).returncode == 0  # opens the knowledge base, reads, closes
    assert RECALLED in analyze(history, "--format", "json").stderr
    store = SQLiteKnowledgeStore(history / ".varnel" / "phase4" / "knowledge.db")  # as a fleet shares a pattern
    store.create_pattern({"fingerprint": "f", "scope": "community", "discovery_method": "statistical",
                          "pattern_type": "co_occurrence", "sources": ["git"], "metrics": ["files_touched"]})
    store.close()
    assert RECALLED not in analyze(history, "--format", "json").stderr
