"""A workspace stays consistent whatever stops a run and whoever else runs:
runs killed at write points and at random moments converge on what the runs
that completed give, and one command at a time writes a workspace."""

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from kill_harness import Sequence, analyze
from varnel.run.event_files import EVENT_SIZE_LIMIT
from helpers import commit, sensitive, varnel


@pytest.fixture(scope="module")
def sequence(tmp_path_factory):
    return Sequence(tmp_path_factory.mktemp("kills"), commits=50, added=8)


def test_the_reference_learns_patterns(sequence):
    # Otherwise a kill inside the pattern engine would prove nothing.
    assert sequence.expected["patterns"] and sequence.expected["pattern_signals"]


def converged(sequence, status, got):
    """What the runs that completed give: without the killed run, or with it
    when its results had begun to be put in place (the next run finishes that)."""
    if status != -signal.SIGKILL:
        return got == sequence.expected_had_it_completed
    return got in (sequence.expected, sequence.expected_had_it_completed)


def test_a_run_killed_at_any_write_point_leaves_what_complete_runs_give(sequence):
    # Every fourth point, then each of the last ones (where the results are put in place).
    statuses = {}
    k = 1
    while True:
        status, got, left = sequence.killed_then_run(f"k{k}", stop_at=k)
        statuses[k] = status
        assert converged(sequence, status, got) and left == [], f"killed at write point {k}"
        if status != -signal.SIGKILL:
            break
        k += 4
    last = max(k for k, status in statuses.items() if status == -signal.SIGKILL)
    for k in range(last + 1, last + 4):
        status, got, left = sequence.killed_then_run(f"k{k}", stop_at=k)
        assert converged(sequence, status, got) and left == [], f"killed at write point {k}"
        if status != -signal.SIGKILL:
            break
    assert len(statuses) > 3


@pytest.mark.parametrize("step, delay", [(None, 0.5), ("Learning patterns", 0.0), ("Learning patterns", 0.003),
                                         ("Learning patterns", 0.006), ("Writing the advisory", 0.002)])
def test_a_run_killed_inside_the_engines_converges(sequence, step, delay):
    # The pattern engine writes the knowledge base many times in a run; it writes the run's own copy.
    status, got, left = sequence.killed_then_run(f"t{step}{delay}", kill_after=delay, step=step)
    assert converged(sequence, status, got) and left == []


HOLD = """
import sys, time
from varnel.workspace import locked
with locked(sys.argv[1]):
    print("held", flush=True)
    time.sleep(60)
"""


def test_one_command_at_a_time(sequence, tmp_path):
    workspace = tmp_path / "ws"
    shutil.copytree(sequence.first, workspace, symlinks=True)
    holder = subprocess.Popen([sys.executable, "-c", HOLD, str(workspace)], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        refused = varnel("analyze", "--quiet", "--no-wait", "--workspace", str(workspace), str(sequence.repo))
        assert refused.returncode == 3 and refused.stderr.count("\n") == 1
        assert "in use by another varnel command" in refused.stderr and str(holder.pid) in refused.stderr
        waiting = subprocess.Popen([sys.executable, "-m", "varnel", "analyze", "--quiet", "--workspace",
                                    str(workspace), str(sequence.repo)], stderr=subprocess.PIPE, text=True)
        assert "waiting for another varnel command" in waiting.stderr.readline()
        time.sleep(0.5)
        assert waiting.poll() is None  # still waiting
        holder.send_signal(signal.SIGKILL)  # a holder that dies never blocks
        assert waiting.wait(timeout=60) == 0
    finally:
        holder.kill()
        holder.wait()


def test_leftovers_of_dead_writers_are_removed(sequence, tmp_path):
    workspace = sequence.root / "leftovers"
    shutil.copytree(sequence.first, workspace, symlinks=True)
    dead = workspace / "events" / ".git-0.json.999999999.tmp"
    dead.write_text('{"half', encoding="utf-8")
    assert analyze(sequence.grown, workspace) in (0, 1)
    assert not dead.exists()


class TestSelfHealing:
    """What a kill, a full disk or a copy cut short leaves is mended or set aside, never fatal."""

    def test_damaged_files_are_collected_again_rebuilt_or_set_aside(self, history):
        assert varnel("analyze", "--quiet", str(history)).returncode in (0, 1)
        ws = history / ".varnel"
        event = sorted((ws / "events").glob("git-*.json"))[0]
        whole = event.read_text(encoding="utf-8")
        event.write_text(whole[:40], encoding="utf-8")
        ingested = ws / "events" / "ingest-ci-0123abcd.json"
        ingested.write_text('{"event_id": "ingest-ci-0', encoding="utf-8")
        stranger = ws / "events" / "notes.json"  # a name no collector writes
        stranger.write_bytes(b"\x00garbage{{")
        done = varnel("analyze", "--quiet", str(history))
        assert done.returncode in (0, 1), done.stderr
        assert event.read_text(encoding="utf-8") == whole  # collected again
        assert not ingested.exists() and (ws / "events-damaged" / ingested.name).exists()
        assert "varnel ingest ci FILE" in done.stderr and f"{event} was damaged" in done.stderr
        assert (ws / "events-damaged" / "notes.json").read_bytes() == b"\x00garbage{{"
        assert f"{stranger} is no event varnel can read" in done.stderr and ".run-" not in done.stderr
        # The collectors' state is a cache: one of another shape is rebuilt.
        (ws / "collect-state.json").write_text('{"settings": {}, "passed_over": [1, {}]}', encoding="utf-8")
        (ws / "history-state.json").write_text("[]", encoding="utf-8")
        done = varnel("analyze", "--quiet", str(history))
        assert done.returncode in (0, 1) and done.stderr == "", done.stderr
        assert event.read_text(encoding="utf-8") == whole

    def test_verify_passes_over_a_damaged_kept_advisory(self, history):
        sensitive(history)
        for _ in range(2):  # two runs, each keeping its advisory
            assert varnel("analyze", "--fresh", "--quiet", str(history)).returncode in (0, 1)
        kept = sorted((history / ".varnel" / "history").glob("advisory-*.json"))
        kept[-1].write_bytes(b"")  # the newest, cut short
        done = varnel("verify", "--quiet", "--format", "json", str(history))
        assert done.returncode in (0, 1), done.stderr
        assert f"the kept advisory {kept[-1]} is damaged" in done.stderr
        assert json.loads(done.stdout)["verification"]["against"] == str(kept[0])

    @pytest.mark.parametrize("make", ["fifo", "link to /dev/zero", "directory", "oversized"])
    def test_an_event_entry_the_engines_must_not_read_is_one_line(self, history, make):
        assert varnel("analyze", "--quiet", str(history)).returncode in (0, 1)
        odd = history / ".varnel" / "events" / "odd.json"
        if make == "fifo":
            os.mkfifo(odd)
        elif make == "directory":
            odd.mkdir()
        elif make == "oversized":
            with open(odd, "wb") as f:
                f.truncate(EVENT_SIZE_LIMIT + 1)  # sparse: no disk used
        else:
            odd.symlink_to("/dev/zero")
        done = varnel("analyze", "--quiet", str(history))
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and str(odd) in done.stderr, done.stderr


@pytest.fixture
def small_disk(tmp_path):
    """A 4 MiB file system of its own, where this machine lets the tests mount one."""
    disk = tmp_path / "disk"
    disk.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)], capture_output=True,
                          text=True)
    if done.returncode != 0:
        pytest.skip(f"a small file system needs the right to mount one: {done.stderr.strip()}")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=False)


def leave_free(disk, kib):
    """Fills `disk` up to `kib` KiB of free space."""
    filler = disk / "filler"
    filler.unlink(missing_ok=True)
    size = shutil.disk_usage(disk).free - kib * 1024
    if size > 0:
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            os.posix_fallocate(fd, 0, size)
        finally:
            os.close(fd)


def test_a_full_disk_says_so_and_keeps_the_previous_results(history, small_disk):
    sensitive(history)
    ws = small_disk / "ws"
    assert varnel("analyze", "--quiet", "--workspace", str(ws), str(history)).returncode in (0, 1)
    published = {p: p.read_bytes() for p in ws.glob("phase[235]/*") if p.is_file()}
    failed = 0
    for kib in range(0, 400, 8):  # short of space at every step of a run, then enough
        leave_free(small_disk, kib)
        done = varnel("analyze", "--fresh", "--quiet", "--workspace", str(ws), str(history))
        assert not list(ws.glob(".run-*")) and "Traceback" not in done.stderr, (kib, done.stderr)
        (small_disk / "filler").unlink(missing_ok=True)  # reading needs room for its shared-memory file
        with sqlite3.connect(f"file:{ws / 'phase4' / 'knowledge.db'}?mode=ro", uri=True) as db:
            assert db.execute("PRAGMA quick_check").fetchone() == ("ok",)
        if done.returncode in (0, 1):
            break
        failed += 1
        assert done.returncode == 3 and done.stderr.count("\n") == 1, (kib, done.stderr)
        assert "no space left on device" in done.stderr and "move it aside" not in done.stderr, done.stderr
        assert "the workspace keeps the previous run's results" in done.stderr
        assert {p: p.read_bytes() for p in ws.glob("phase[235]/*") if p.is_file()} == published
    assert failed > 3 and done.returncode in (0, 1), "the run should fail short of space, then complete"


def _not_sqlite(ws):
    (ws / "phase4" / "knowledge.db").write_text("not a database")


def _accepted_list(ws):
    (ws / "accepted_deviations.json").write_text('{"entries": 3}')


BAD_INPUTS = [  # (what is wrong, how to make it, the command, exit status, a part of the one line)
    ("knowledge base not SQLite", _not_sqlite, ["analyze", "--quiet"], 3, "knowledge base cannot be read"),
    ("knowledge base not SQLite", _not_sqlite, ["patterns"], 3, "knowledge base cannot be read"),
    ("accepted deviations malformed", _accepted_list, ["analyze", "--quiet"], 2, "accepted_deviations.json"),
    ("accepted deviations malformed", _accepted_list, ["accepted"], 2, "accepted_deviations.json"),
    ("report nested 1,500 levels", None, ["ingest", "ci", "{deep}"], 2, "nested too deeply"),
    ("report with a 5,000-digit number", None, ["ingest", "sentry", "{long}"], 2, "more than 4300 digits"),
    ("window out of range", None, ["analyze", "--settings", "{huge}"], 2, "window must be a whole number"),
]


@pytest.mark.parametrize("what, make, command, status, says", BAD_INPUTS, ids=[f"{b[0]}: {b[2][0]}" for b in BAD_INPUTS])
def test_every_bad_input_is_one_line_with_its_status(history, tmp_path, what, make, command, status, says):
    assert varnel("analyze", "--quiet", str(history)).returncode in (0, 1)
    files = {"deep": "[" * 1500 + "]" * 1500, "long": '{"x": ' + "9" * 5000 + "}", "huge": "window = " + "9" * 23}
    for name, content in files.items():
        (tmp_path / name).write_text(content)
    if make:
        make(history / ".varnel")
    args = [a.format(**{n: tmp_path / n for n in files}) for a in command]
    done = varnel(*args, *(["--path", str(history)] if args[0] == "ingest" else [str(history)]))
    assert done.returncode == status and done.stderr.count("\n") == 1 and says in done.stderr, done.stderr


class TestWhatAFailedRunSays:
    """A run that cannot finish says in one line which results the workspace holds."""

    def test_an_unwritable_history_stops_the_run_before_anything_is_put_in_place(self, history):
        sensitive(history)
        ws = history / ".varnel"
        assert varnel("analyze", "--quiet", str(history)).returncode in (0, 1)
        published = {p: p.read_bytes() for p in [*ws.glob("phase[235]/*"), ws / "phase4" / "phase4_summary.json"]}
        shutil.rmtree(ws / "history")
        (ws / "history").write_text("in the way")  # root may write anywhere, but not into a file
        commit(history, {"src/late.py": "1"}, "late", date="2026-03-25T10:00:00+00:00")
        done = varnel("analyze", "--quiet", str(history))
        assert done.returncode == 3 and done.stderr.count("\n") == 1, done.stderr
        assert done.stderr.startswith(f"varnel: {ws / 'history'}") and ".run-" not in done.stderr
        assert "the workspace keeps the previous run's results" in done.stderr
        assert {p: p.read_bytes() for p in published} == published
        assert not list(ws.glob(".run-*"))

    @pytest.mark.parametrize("where, held", [
        ("varnel.run.analysis._advise", "the previous run's results"),
        ("varnel.run.stage.os.rename", "this run's results once the next run has finished putting them in place"),
        ("varnel.progress.Progress.done", "this run's results"),
        ("varnel.cli._emit", "this run's results")])
    def test_an_interrupt_says_which_results_the_workspace_keeps(self, history, monkeypatch, capsys, where, held):
        from varnel import cli

        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr(where, interrupted)
        assert cli.main(["analyze", "--quiet", str(history)]) == 130
        assert capsys.readouterr().err == f"varnel: interrupted; the workspace keeps {held}\n"
        monkeypatch.undo()
        assert cli.main(["analyze", "--quiet", str(history)]) in (0, 1)  # a later run finishes what was begun
        assert not list((history / ".varnel").glob(".run-*"))

    def test_a_knowledge_base_that_cannot_be_written_is_not_called_unreadable(self, history, monkeypatch, capsys):
        import varnel.patstage
        from varnel import cli

        assert cli.main(["analyze", "--quiet", str(history)]) in (0, 1)
        capsys.readouterr()

        class FullDisk:
            _extract_event_timestamp = staticmethod(varnel.patstage.Phase4Engine._extract_event_timestamp)

            def __init__(self, *args):
                pass

            def run(self):
                error = sqlite3.OperationalError("database or disk is full")
                error.sqlite_errorcode = sqlite3.SQLITE_FULL
                raise error

            def close(self):
                pass

        monkeypatch.setattr(varnel.patstage, "Phase4Engine", FullDisk)
        assert cli.main(["analyze", "--fresh", "--quiet", str(history)]) == 3
        assert capsys.readouterr().err == (f"varnel: {history / '.varnel' / 'phase4' / 'knowledge.db'}: no space left "
                                           "on device; the workspace keeps the previous run's results, knowledge "
                                           "base included\n")
