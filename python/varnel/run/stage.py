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
knowledge base holding half of a run's changes is never seen. The kept
advisory goes first, so a ``history/`` that cannot be written stops the
publishing before any result has moved.

A run that fails or is interrupted says in one line which results the
workspace holds (`Stage.held`), naming the workspace's files rather than the
staging directory's, which is removed: a full disk says so, and the
knowledge base is never called unreadable because its copy could not be
written.
"""

from __future__ import annotations

import errno
import os
import shutil
import socket
import sqlite3
import stat
import tempfile
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Callable

from .. import faults
from ..errors import Failure
from ..files import write_text_atomic

PUBLISHED = ("phase2", "phase3", "phase4", "phase5", "cache")
EVENT_CACHE = Path("cache") / "events.bin"
HISTORY = "history"
KNOWLEDGE = Path("phase4") / "knowledge.db"
REPORT_RECORD = Path("phase5") / "report.json"  # a run's report record, from which its page is drawn
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
        self.published = False
        self._publishing = False
        try:
            finish_publishing(workspace)
        except OSError as e:
            raise write_failure(e, workspace, "the previous run's results, and an earlier run's wait to be put in "
                                              "place until this is mended") from None
        _remove_stale_stages(workspace)
        self.path = Path(tempfile.mkdtemp(prefix=".run-", dir=workspace))
        try:
            (self.path / self.OWNER).write_text(f"{socket.gethostname()} {os.getpid()}\n", encoding="utf-8")
            (workspace / "events").mkdir(exist_ok=True)
            os.symlink(Path("..") / "events", self.path / "events", target_is_directory=True)
            (self.path / "phase4").mkdir()
            if (workspace / KNOWLEDGE).is_file():
                _copy_database(workspace / KNOWLEDGE, self.path / KNOWLEDGE)
        except OSError as e:
            self.remove()
            raise self.failure(e) from None
        except BaseException:
            self.remove()
            raise

    def keep(self, advisory: Path) -> Path:
        """Stages a copy of the advisory for history/; the path it will have there."""
        name = f"advisory-{datetime.now(timezone.utc).strftime('%Y%m%dT%H%M%S%fZ')}.json"
        (self.path / _KEPT).mkdir(exist_ok=True)
        shutil.copyfile(advisory, self.path / _KEPT / name)
        return self.workspace / HISTORY / name

    def publish(self) -> None:
        faults.write_point()
        for name in PUBLISHED:
            (self.path / name).mkdir(exist_ok=True)  # a phase that wrote nothing leaves nothing behind either
        journal = self.workspace / _JOURNAL
        write_text_atomic(journal, self.path.name + "\n")
        self._publishing = True
        try:
            _keep_advisory(self.workspace, self.path)
        except OSError:  # nothing has moved: the previous results stand as they are
            journal.unlink(missing_ok=True)
            self._publishing = False
            raise
        _put_phases(self.workspace, self.path)
        journal.unlink()
        self._publishing, self.published = False, True

    def remove(self) -> None:
        """Removes the staging directory, unless publishing began and did
        not end: the next run finishes it from there."""
        if not self._publishing:
            shutil.rmtree(self.path, ignore_errors=True)

    def held(self) -> str:
        """Which results the workspace holds now, in a few words."""
        if self.published:
            return "this run's results"
        if self._publishing:
            return "this run's results once the next run has finished putting them in place"
        return "the previous run's results"

    def failure(self, error: BaseException) -> RunFailed:
        """The one line of a run that failed on `error` (an OSError or a
        knowledge-base error), naming the workspace's file and what the
        workspace holds."""
        if isinstance(error, sqlite3.Error):
            return knowledge_failure(self.workspace / KNOWLEDGE, error, f"{self.held()}, knowledge base included")
        assert isinstance(error, OSError)
        return write_failure(error, self.workspace, self.held(), self._outside)

    def _outside(self, filename) -> str:
        """A path of the staging directory as the workspace's own file."""
        text = os.fsdecode(filename)
        inside = str(self.path) + os.sep
        return str(self.workspace / text[len(inside):]) if text.startswith(inside) else text


class RunFailed(Failure, RuntimeError):
    """A run that could not complete; the message is one line saying which
    results the workspace holds."""


class Interrupted(KeyboardInterrupt):
    """Ctrl-C or a cancel, with which results the workspace holds."""

    def __init__(self, held: str):
        super().__init__(held)
        self.held = held


_DAMAGED_CODES = (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB)
_FULL_CODES = (sqlite3.SQLITE_FULL, sqlite3.SQLITE_IOERR)
_NEARLY_FULL = 1 << 20  # bytes free below which a write error is taken for a full disk


def _code(error: sqlite3.Error) -> int | None:
    code = getattr(error, "sqlite_errorcode", None)
    return code & 0xFF if isinstance(code, int) else None


def _damaged(error: sqlite3.Error) -> bool:
    return _code(error) in _DAMAGED_CODES


def _space(error: BaseException, workspace: Path) -> str | None:
    """"no space left on device" when `error` comes of a full disk, else None."""
    if isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT):
        return "no space left on device"
    if isinstance(error, sqlite3.Error) and _code(error) in _FULL_CODES:
        try:
            if _code(error) == sqlite3.SQLITE_FULL or shutil.disk_usage(workspace).free < _NEARLY_FULL:
                return "no space left on device"
        except OSError:
            pass
    return None


def write_failure(error: OSError, workspace: Path, held: str = "the previous run's results",
                  name: Callable[[str], str] = os.fsdecode) -> RunFailed:
    """The one line of a failure to write the workspace: the file (as
    `name` gives it), what went wrong, and which results the workspace holds."""
    where = name(error.filename) if error.filename else str(workspace)
    return RunFailed(f"{where}: {_space(error, workspace) or error.strerror or error}; the workspace keeps {held}")


def knowledge_failure(path: Path, error: sqlite3.Error, held: str | None = None) -> RunFailed:
    """The one line of a knowledge-base error at `path`: a damaged file (by
    the error, or by reading it through) is named as such; a full disk or a
    run that could not use it (`held`: which results the workspace keeps) as
    what it is, since moving the file aside would throw away what varnel
    learned."""
    space = _space(error, path.parent)
    if not space and (_damaged(error) or _damaged_file(path)):
        return RunFailed(f"{path}: the knowledge base cannot be read ({error}); move it aside and varnel learns "
                         "afresh")
    if held is None:
        return RunFailed(f"{path}: {space or f'the knowledge base cannot be opened ({error})'}")
    return RunFailed(f"{path}: {space or f'this run could not use it ({error})'}; the workspace keeps {held}")


def _damaged_file(path: Path) -> bool:
    """Whether a knowledge base is found damaged when read through; asked
    only after an error. An error that is no damage (a full disk that leaves
    no room for the read's shared-memory file) says nothing of it."""
    try:
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
            found = db.execute("PRAGMA quick_check").fetchone()
        db.close()
        return found != ("ok",)
    except sqlite3.Error as e:
        return _damaged(e)


def _copy_database(source: Path, target: Path) -> None:
    try:
        with sqlite3.connect(f"file:{source}?mode=ro", uri=True) as origin, sqlite3.connect(target) as copy:
            origin.backup(copy)
        origin.close()
        copy.close()
    except sqlite3.Error as e:
        raise knowledge_failure(source, e, "the previous run's results, knowledge base included") from None


def _roll_forward(workspace: Path, stage: Path) -> None:
    """Every staged result still in `stage` put in place, the kept advisory
    first; each step can be repeated after a kill, so a later run can finish
    what this one began."""
    _keep_advisory(workspace, stage)
    _put_phases(workspace, stage)


def _keep_advisory(workspace: Path, stage: Path) -> None:
    kept = stage / _KEPT
    if kept.is_dir():
        (workspace / HISTORY).mkdir(exist_ok=True)
        for copy in kept.iterdir():
            try:
                os.replace(copy, workspace / HISTORY / copy.name)
            except OSError as e:  # named as the file it was to become
                raise OSError(e.errno, e.strerror, str(workspace / HISTORY / copy.name)) from None
            faults.write_point()


def _put_phases(workspace: Path, stage: Path) -> None:
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
            if not (pid.isascii() and pid.isdigit() and _running(int(pid))) and _regular(temp):
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
