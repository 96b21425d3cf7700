"""The varnel command end to end on real repositories."""

import json

from helpers import build_history, git, varnel


def test_analyze_reports_and_keeps_its_workspace_out_of_git(history):
    done = varnel("analyze", str(history))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("varnel advisory for repo: ")
    assert "Judging metrics" in done.stderr  # plain progress lines when not in a terminal
    assert git(history, "status", "--porcelain") == b""
    again = varnel("analyze", "--quiet", "--format", "json", str(history))
    assert again.returncode == 0 and again.stderr == ""
    report = json.loads(again.stdout)
    assert report["commits"] == 12 and report["signals"]["git"] > 0


def test_exit_codes(tmp_path):
    assert varnel("analyze", str(tmp_path)).returncode == 3
    assert varnel("analyze", "--format", "yaml", str(tmp_path)).returncode == 2
    assert varnel().returncode == 0
    git(tmp_path, "init", "-q", "-b", "main")
    (tmp_path / ".varnel.toml").write_text("windw = 3\n")
    bad = varnel("analyze", str(tmp_path))
    assert bad.returncode == 2 and "unknown setting(s) windw" in bad.stderr


def test_patterns_lists_what_the_knowledge_base_holds(tmp_path):
    from varnel.lorekeep import SQLiteKnowledgeStore

    from varnel.workspace import claim

    git(tmp_path, "init", "-q", "-b", "main")
    assert "No patterns learned yet" in varnel("patterns", str(tmp_path)).stdout
    claim(tmp_path / ".varnel")
    store = SQLiteKnowledgeStore(tmp_path / ".varnel" / "phase4" / "knowledge.db")
    store.create_pattern({"fingerprint": "f" * 16, "discovery_method": "statistical", "pattern_type": "co_occurrence",
                          "sources": ["ci", "git"],
                          "metrics": ["files_touched", "run_duration"], "correlation_strength": 0.62,
                          "occurrence_count": 4})
    store.close()
    done = varnel("patterns", str(tmp_path))
    assert done.returncode == 0
    assert "Patterns still being confirmed (1):" in done.stdout
    assert "tend to rise and fall together" in done.stdout and "seen 4 times" in done.stdout
    assert json.loads(varnel("patterns", "--format", "json", str(tmp_path)).stdout)["patterns"][0]["metrics"] == [
        "files_touched", "run_duration"]


def test_verify_accept_and_accepted(history):
    first = varnel("verify", "--quiet", str(history))
    assert first.returncode == 0 and "Nothing to verify against yet" in first.stdout
    second = varnel("verify", "--quiet", str(history))
    assert second.returncode == 0, second.stderr
    assert second.stdout.strip()  # the verification report
    assert varnel("accept", "git/files_touched", "--days", "7", "--reason", "docs import",
                  "--path", str(history)).returncode == 0
    listed = varnel("accepted", "--path", str(history)).stdout
    assert "git/files_touched: docs import" in listed and "until" in listed
    assert varnel("accepted", "--revoke", "git/files_touched", "--path", str(history)).returncode == 0
    assert varnel("accepted", "--revoke", "git/files_touched", "--path", str(history)).returncode == 2
    assert varnel("accept", "files_touched", "--path", str(history)).returncode == 2


def test_markdown_report_and_fail_on(history):
    markdown = varnel("analyze", "--quiet", "--all", "--format", "markdown", str(history))
    assert markdown.returncode == 0 and markdown.stdout.startswith("# varnel advisory for repo: ")
    gated = varnel("analyze", "--quiet", "--all", "--fail-on", "watch", str(history))
    # --fail-on compares with the level the report gives.
    reported = json.loads(varnel("analyze", "--quiet", "--all", "--format", "json", str(history)).stdout)["level"]
    assert gated.returncode == (0 if reported == "all_clear" else 1)
    assert varnel("analyze", "--fail-on", "soon", str(history)).returncode == 2


def test_analysing_an_unchanged_history_again_learns_nothing_new(tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    build_history(repo)

    def learned():
        record = json.loads(varnel("patterns", "--format", "json", str(repo)).stdout)
        return ([(p["pattern_id"], p["occurrence_count"], p["confidence_tier"]) for p in record["patterns"]],
                [k["knowledge_id"] for k in record["knowledge"]])

    assert varnel("analyze", "--quiet", "--all", str(repo)).returncode == 0
    first = learned()
    assert first[0], "the history should teach some pattern"
    for command in ("analyze", "verify", "analyze"):
        assert varnel(command, "--quiet", "--all", str(repo)).returncode == 0
        assert learned() == first
