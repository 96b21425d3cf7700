"""What the varnel command reports: only this run's findings, over the window
it names, with every failure shown and repository text made harmless."""

import json
import re
import shutil
import socket

import pytest
from helpers import commit, git, one_line, sensitive, varnel


pytest.importorskip("varnel.advstage")

HOSTILE = "@everyone <script>alert(1)</script> ![t](http://tracker.test/p.png) \x1b[2J fixes #12"


@pytest.fixture
def hostile(history):
    """The history fixture with a last, large commit whose message is hostile: the riskiest commit."""
    sensitive(history)
    commit(history, {f"lib/part{k}.py": "x = 1\n" * 200 for k in range(30)}, f"{HOSTILE}\n\n::error::owned\n::set-output x",
           date="2026-03-20T10:00:00+00:00")
    git(history, "remote", "add", "origin", "https://example.test/team/my-service.git")
    return history


def test_an_idle_repository_gets_its_latest_work_named_and_dated(hostile):
    done = varnel("analyze", "--quiet", str(hostile))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("varnel advisory for my-service: ")
    assert lines[1] == "Window: the latest 30 days of activity (2026-03-01 to 2026-03-20), 13 events"
    # Each change and each commit worth a second look names its commit and day.
    assert re.search(r"commit [0-9a-f]{12}(, | of )2026-03-", done.stdout) and "Worth a second look" in done.stdout
    advisory = json.loads((hostile / ".varnel" / "phase5" / "advisory.json").read_text())
    assert advisory["scope"] == "my-service"


def test_repository_text_is_escaped_for_each_format(hostile):
    text = varnel("analyze", "--quiet", str(hostile)).stdout
    assert "\x1b" not in text and not any(line.lstrip().startswith("::") for line in text.splitlines())
    markdown = varnel("analyze", "--quiet", "--format", "markdown", str(hostile)).stdout
    for live in ("<script>", "@everyone", "![", "http://"):
        assert live not in markdown, live
    assert not re.search(r"(?<!\\)\]\(", markdown)  # no link target outside an escaped bracket
    assert "&lt;script&gt;" in markdown and "@\u200beveryone" in markdown and "#\u200b12" in markdown


def test_warnings_never_carry_control_characters(history):
    commit(history, {"x\x1b[2J\n::error::owned/package.json": "{not json"}, "broken manifest",
           date="2026-03-21T10:00:00+00:00")
    done = varnel("analyze", "--quiet", str(history))
    assert "invalid JSON" in done.stderr and "\x1b" not in done.stderr
    assert not any(line.startswith("::") for line in done.stderr.splitlines())


def test_a_damaged_earlier_advisory_is_one_line_before_any_work(history, tmp_path):
    for content in ("not json", "[1, 2]", b"\xff"):
        bad = tmp_path / "bad.json"
        (bad.write_bytes if isinstance(content, bytes) else bad.write_text)(content)
        done = varnel("verify", "--quiet", "--against", str(bad), str(history))
        assert done.returncode == 2 and one_line(done) and "not an advisory file" in done.stderr
    assert not (history / ".varnel" / "events").exists()


def test_an_earlier_advisory_is_never_shown_as_this_runs(history):
    sensitive(history)
    assert varnel("analyze", "--quiet", "--all", str(history)).returncode == 0
    advisory = history / ".varnel" / "phase5" / "advisory.json"
    assert advisory.exists()
    kept = sorted((history / ".varnel" / "history").iterdir())
    done = varnel("analyze", "--quiet", "--since", "2030-01-01", "--format", "json", "--fail-on", "watch",
                  str(history))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["advisory"] is None and report["level"] == "all_clear" and report["window"]["events"] == 0
    assert not advisory.exists()  # nothing of the earlier run remains to be read as this one's
    assert sorted((history / ".varnel" / "history").iterdir()) == kept
    assert not list((history / ".varnel").glob(".run-*"))


def test_a_failing_family_is_reported_never_hidden(history, tmp_path):
    for n in range(7):
        runs = tmp_path / f"run{n}.json"
        runs.write_text(json.dumps({"duration_seconds": 60 + n, "conclusion": "success", "name": "build",
                                    "started_at": f"2026-03-1{n}T10:00:00Z"}))
        assert varnel("ingest", "ci", str(runs), "--path", str(history), "--quiet").returncode == 0
    assert varnel("analyze", "--quiet", "--all", str(history)).returncode == 0
    signals = history / ".varnel" / "phase2" / "ci_signals.json"
    assert signals.exists()
    broken = json.loads(next((history / ".varnel" / "events").glob("ingest-ci-*.json")).read_text())
    broken["event_id"] = "ci-broken"
    broken["payload"]["timing"]["duration_seconds"] = True
    (history / ".varnel" / "events" / "ingest-ci-broken.json").write_text(json.dumps(broken))

    done = varnel("analyze", "--quiet", "--all", "--format", "json", str(history))
    assert done.returncode == 4
    report = json.loads(done.stdout)  # one JSON document, whatever failed
    assert report["complete"] is False and [f["family"] for f in report["failures"]] == ["ci"]
    assert "ci family could not be judged" in done.stderr and "duration_seconds" in done.stderr
    assert not signals.exists()  # the last run's signals are not read as this run's
    text = varnel("analyze", "--quiet", "--all", "--fail-on", "watch", str(history))
    assert text.returncode == 4 and "INCOMPLETE: the ci family" in text.stdout


def test_verify_takes_the_window_and_the_settings(hostile, tmp_path):
    assert varnel("analyze", "--quiet", "--all", str(hostile)).returncode == 0
    earlier = json.loads((hostile / ".varnel" / "phase5" / "advisory.json").read_text())
    first = git(hostile, "rev-list", "--max-parents=0", "HEAD").decode().strip()
    # An earlier advisory whose change lay on the first commit: outside --last 1 it only left the window.
    claimed = dict(earlier, changes=[dict(earlier["changes"][0], metric="dispersion", event_ref=first)])
    against = tmp_path / "earlier.json"
    against.write_text(json.dumps(claimed))
    done = varnel("verify", "--quiet", "--last", "1", "--against", str(against), "--format", "json", str(hostile))
    assert done.returncode == 0, done.stderr
    comparison = json.loads(done.stdout)["verification"]
    assert [(c["family"], c["metric"]) for c in comparison["left_window"]] == [("git", "dispersion")]
    assert all(c["metric"] != "dispersion" for c in comparison["resolved"])
    text = varnel("verify", "--quiet", "--last", "1", "--against", str(against), str(hostile)).stdout
    assert "- Left the window (not resolved, only no longer in the window): 1" in text

    fresh = varnel("verify", "--quiet", "--format", "json", "--workspace", str(tmp_path / "fresh"), str(hostile))
    assert json.loads(fresh.stdout)["verification"] is None and "Nothing to verify against yet" in fresh.stderr

    (hostile / ".varnel.toml").write_text("significance_threshold = 1000\n")
    quiet = varnel("verify", "--quiet", "--format", "json", "--fail-on", "watch", str(hostile))
    assert quiet.returncode == 0 and json.loads(quiet.stdout)["advisory"] is None
    gate = varnel("verify", "--quiet", "--fail-on", "watch", "--settings-from", "HEAD", str(hostile))
    assert gate.returncode in (0, 1) and "Compared with" in gate.stdout


class TestPaths:
    def test_nothing_is_created_for_a_path_that_is_no_repository(self, history, tmp_path):
        missing = tmp_path / "no" / "such"
        done = varnel("analyze", str(missing))
        assert done.returncode == 2 and not missing.exists()
        typo = varnel("analyze", str(history / "srcx"))
        assert typo.returncode == 2 and not (history / "srcx").exists()
        plain = tmp_path / "plain"
        plain.mkdir()
        for command in (["accept", "git/files_touched", str(plain)], ["accepted", "--path", str(plain)],
                        ["patterns", str(plain)], ["analyze", str(plain)]):
            done = varnel(*command)
            assert done.returncode == 3 and "not a git repository" in done.stderr, command
        assert list(plain.iterdir()) == []

    def test_a_work_tree_configured_elsewhere_is_not_followed(self, history, tmp_path):
        victim = tmp_path / "victim"
        victim.mkdir()
        git(history, "config", "core.worktree", str(victim))
        done = varnel("analyze", str(history))
        assert done.returncode == 3 and "configured to lie elsewhere" in done.stderr
        assert list(victim.iterdir()) == []

    def test_a_directory_inside_a_repository_means_the_repository(self, history):
        assert varnel("analyze", "--quiet", str(history / "src")).returncode == 0
        assert (history / ".varnel" / "events").is_dir() and not (history / "src" / ".varnel").exists()

    def test_accept_knows_the_metrics(self, history):
        for wrong, hint in (("nosuch/metric", "not a metric varnel knows"),
                            ("Version Control/Files Changed", "did you mean git/files_touched?"),
                            ("git/files_touchd", "did you mean git/files_touched?")):
            done = varnel("accept", wrong, str(history))
            assert done.returncode == 2 and hint in done.stderr, (wrong, done.stderr)
        assert not (history / ".varnel").exists()
        assert varnel("accept", "git/files_touched", str(history)).returncode == 0

    def test_output_into_a_missing_directory_is_one_line(self, history, tmp_path):
        done = varnel("analyze", "--quiet", str(history), "--output", str(tmp_path / "missing" / "report.md"))
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and "no such directory" in done.stderr

    def test_output_to_a_pipe_or_a_link_is_written_through_never_replaced(self, history, tmp_path):
        import os
        import threading

        pipe = tmp_path / "pipe"
        os.mkfifo(pipe)  # as /dev/null or /dev/stdout would be: replacing it would leave a file there
        got = []
        reader = threading.Thread(target=lambda: got.append(pipe.read_text()), daemon=True)
        reader.start()
        done = varnel("analyze", "--quiet", str(history), "--output", str(pipe))
        reader.join(timeout=60)
        assert done.returncode == 0 and got and got[0].startswith("varnel advisory for")
        assert pipe.is_fifo()
        kept = tmp_path / "kept.txt"
        link = tmp_path / "link.txt"
        link.symlink_to(kept)
        assert varnel("analyze", "--quiet", str(history), "--output", str(link)).returncode == 0
        assert link.is_symlink() and kept.read_text().startswith("varnel advisory for")

    def test_usage_without_a_command(self):
        done = varnel()
        assert done.returncode == 0 and done.stdout.startswith("usage: varnel")


def test_the_workspace_keeps_no_staging_after_a_run(history):
    assert varnel("analyze", "--quiet", str(history)).returncode == 0
    ws = history / ".varnel"
    dead = ws / ".run-killed"  # what a killed run leaves: its process is gone
    dead.mkdir()
    (dead / "owner").write_text(f"{socket.gethostname()} 999999999\n")
    assert varnel("analyze", "--quiet", str(history)).returncode == 0 and not dead.exists()
    assert sorted(p.name for p in ws.iterdir() if p.name.startswith(".")) == [".gitignore", ".lock", ".varnel-workspace"]
    shutil.rmtree(ws / "phase5")
    assert varnel("analyze", "--quiet", str(history)).returncode == 0 and (ws / "phase5").is_dir()


def test_a_young_history_is_told_how_many_observations_its_settings_need(repo):
    for i in range(3):
        commit(repo, {"a.py": str(i)}, f"change {i}", date=f"2026-03-0{i + 1}T10:00:00+00:00")
    assert "each metric needs 6 observations" in varnel("analyze", "--quiet", str(repo)).stdout
    (repo / ".varnel.toml").write_text("min_baseline = 8\n")
    assert "each metric needs 9 observations" in varnel("analyze", "--quiet", str(repo)).stdout
