"""A run's staging directory, and how its results become the workspace's.

The phases run in a staging directory inside the workspace (``.run-*``)
whose ``events`` is a link to the workspace's own. The knowledge base is
copied into it (through SQLite's online backup, consistent whatever state
the file is in), so the pattern engine changes only the run's copy. When
every phase has completed, `Stage.publish` puts the staged ``phase2``,
``phase3``, ``phase4`` and ``phase5`` in place of the workspace's, each
directory by a rename, and the kept copy of the advisory into ``history/``.

Those renames are one step for later runs: the stage's name is written to
``.publishing`` first, and a run that finds it finishes the renames left
(`finish_publishing`) before anything else. So a run killed at any point
leaves either the previous run's results or its own, never a mix, and a
knowledge base holding half of a run's changes is never seen.
"""

from __future__ import annotations

import os
import shutil
import socket
import sqlite3
import stat
import tempfile
from datetime import datetime, timedelta, timezone
from pathlib import Path

from . import faults
from .collect.events import write_text_atomic

PUBLISHED = ("phase2", "phase3", "phase4", "phase5")
HISTORY = "history"
KNOWLEDGE = Path("phase4") / "knowledge.db"
_JOURNAL = ".publishing"
_KEPT = "kept"  # the stage's copy of the advisory, on its way to history/


class Stage:
    """The staging directory of one run: a fresh name for every run (two
    machines sharing a cached workspace may reuse a pid), holding the host
    and pid of its run so that a later run can remove what a killed one left."""

    OWNER = "owner"
    STALE_AFTER = timedelta(days=1)

    def __init__(self, workspace: Path):
        self.workspace = workspace
        finish_publishing(workspace)
        _remove_stale_stages(workspace)
        self.path = Path(tempfile.mkdtemp(prefix=".run-", dir=workspace))
        (self.path / self.OWNER).write_text(f"{socket.gethostname()} {os.getpid()}\n", encoding="utf-8")
        (workspace / "events").mkdir(exist_ok=True)
        os.symlink(Path("..") / "events", self.path / "events", target_is_directory=True)
        (self.path / "phase4").mkdir()
        if (workspace / KNOWLEDGE).is_file():
            _copy_database(workspace / KNOWLEDGE, self.path / KNOWLEDGE)

    def keep(self, advisory: Path) -> Path:
        """Stages a copy of the advisory for history/; the path it will have there."""
        name = f"advisory-{datetime.now(timezone.utc).strftime('%Y%m%dT%H%M%S%fZ')}.json"
        (self.path / _KEPT).mkdir(exist_ok=True)
        shutil.copyfile(advisory, self.path / _KEPT / name)
        return self.workspace / HISTORY / name

    def publish(self) -> None:
        faults.write_point()
        journal = self.workspace / _JOURNAL
        write_text_atomic(journal, self.path.name + "\n")
        for name in PUBLISHED:
            (self.path / name).mkdir(exist_ok=True)  # a phase that wrote nothing leaves nothing behind either
        _roll_forward(self.workspace, self.path)
        journal.unlink()

    def remove(self) -> None:
        shutil.rmtree(self.path, ignore_errors=True)


class KnowledgeError(RuntimeError):
    """A knowledge base that cannot be read; the message is one line."""


def _copy_database(source: Path, target: Path) -> None:
    try:
        with sqlite3.connect(f"file:{source}?mode=ro", uri=True) as origin, sqlite3.connect(target) as copy:
            origin.backup(copy)
        origin.close()
        copy.close()
    except sqlite3.Error as e:
        raise KnowledgeError(f"{source}: the knowledge base cannot be read ({e}); move it aside and varnel "
                             "learns afresh") from None


def _roll_forward(workspace: Path, stage: Path) -> None:
    """Every staged result still in `stage` put in place; each step can be
    repeated after a kill, so a later run can finish what this one began."""
    for name in PUBLISHED:
        staged, current, retired = stage / name, workspace / name, stage / f"{name}.retired"
        if not staged.exists():
            continue  # put in place already
        if current.exists() and not retired.exists():
            os.rename(current, retired)
            faults.write_point()
        os.rename(staged, current)
        faults.write_point()
        shutil.rmtree(retired, ignore_errors=True)
    kept = stage / _KEPT
    if kept.is_dir():
        (workspace / HISTORY).mkdir(exist_ok=True)
        for copy in kept.iterdir():
            os.replace(copy, workspace / HISTORY / copy.name)
            faults.write_point()


def finish_publishing(workspace: Path) -> None:
    """Finishes the publishing a killed run began, if any."""
    journal = workspace / _JOURNAL
    try:
        name = journal.read_text(encoding="utf-8").strip()
    except FileNotFoundError:
        return
    except (OSError, UnicodeDecodeError):
        name = ""
    stage = workspace / name
    if name.startswith(".run-") and "/" not in name and stage.is_dir():
        _roll_forward(workspace, stage)
        shutil.rmtree(stage, ignore_errors=True)
    journal.unlink(missing_ok=True)


def _remove_stale_stages(workspace: Path) -> None:
    """Staging directories of runs that died (their process is gone from this
    machine, or they are older than a day) and the temporary files of writes
    whose process is gone."""
    now = datetime.now(timezone.utc).timestamp()
    for stage in workspace.glob(".run-*"):
        try:
            host, pid = (stage / Stage.OWNER).read_text(encoding="utf-8").split()
            alive = host != socket.gethostname() or _running(int(pid))
            age = now - stage.stat().st_mtime
        except (OSError, ValueError):
            alive, age = False, 0.0  # no owner: a run killed before it wrote one
        if not alive or age > Stage.STALE_AFTER.total_seconds():
            shutil.rmtree(stage, ignore_errors=True)
    for directory in (workspace, workspace / "events", workspace / HISTORY):
        for temp in directory.glob(".*.tmp"):  # .<file>.<pid>.tmp of an atomic write
            pid = temp.name.rsplit(".", 2)[-2]
            if not (pid.isdigit() and _running(int(pid))) and _regular(temp):
                temp.unlink(missing_ok=True)


def _regular(path: Path) -> bool:
    """Whether `path` is a regular file: repairs remove nothing else."""
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True
