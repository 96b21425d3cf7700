"""A run with nothing new is not run again.

After `varnel analyze` has put its results in place and printed its report,
it records what the run saw (`seen`): the repository's HEAD, tags and
shallowness, the settings, window and name asked for, varnel's own files,
the environment the pattern engine reads, and the size, times and inode of
every entry of the workspace a run reads (the events, the collection state,
the accepted deviations, the labels, the results themselves). A later
`analyze` that finds all of it as it was would collect nothing and compute
the same results, so it prints the recorded report and gives the warnings
that run gave instead (`recall`), in the time it takes to see that.

The record holds one format's report: asking for another, for a CI
channel, or for a verification runs in full, as does `--fresh`. It holds
until the first accepted deviation expires; a window that ended at the
current time (commits dated in the future) is never recorded. The record is
written after the results are in place, and any run that changes the
workspace changes what it sees, so a stale record is never recalled.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os
import stat
import subprocess
from dataclasses import asdict, dataclass
from datetime import datetime, timezone
from pathlib import Path

from .. import ENGINES, __version__
from ..envfile import NAMES as ENV_NAMES, env_file_path
from ..files import write_text_atomic
from .window import Window

MEMO = "last-run.json"
_VERSION = 2
_RESULTS = ("phase2", "phase3", "phase4", "phase5")
_WRITTEN = ("history", "events-damaged")  # what runs write and never read back
_NOT_READ = (MEMO, ".lock", ".publishing", "report.html")
_PACKAGE = Path(__file__).resolve().parent.parent


@dataclass(frozen=True)
class Recalled:
    """The report of the run that saw the same, and what it found."""

    report: str
    level: str
    complete: bool
    warnings: tuple[str, ...]  # what that run warned of, said again
    at: str  # when that run ended


def _git(repo: Path, *args: str) -> str:
    done = subprocess.run(["git", "-C", str(repo), *args], capture_output=True, check=False)
    return done.stdout.decode("utf-8", "replace") + f"\0{done.returncode}"


def _files(folder: Path, skip: tuple[str, ...] = ()) -> list[tuple]:
    """(name, kind, size, times, inode) of every entry of `folder`, by name.
    A directory's times change whenever a file comes and goes inside it, so
    only its inode counts (what it holds is listed where it matters); so do
    a database's companion files while someone only reads it (an empty
    write-ahead log, the shared-memory index)."""
    seen = []
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                if entry.name in skip or entry.name.endswith((".tmp", "-shm")):
                    continue
                info = entry.stat(follow_symlinks=False)
                if entry.name.endswith("-wal") and not info.st_size:
                    continue
                kind = stat.S_IFMT(info.st_mode)
                if kind == stat.S_IFDIR:
                    seen.append((entry.name, kind, info.st_ino))
                else:
                    seen.append((entry.name, kind, info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino))
    except (FileNotFoundError, NotADirectoryError):
        pass
    return sorted(seen)


def _code() -> list[tuple]:
    """varnel's own files: a rebuilt engine or an edited module is another program."""
    engines = [importlib.util.find_spec(f"varnel.{name}") for name in (*ENGINES, "_common")]
    files = sorted(_PACKAGE.rglob("*.py")) + [Path(spec.origin) for spec in engines if spec and spec.origin]
    return [(str(path), info.st_size, info.st_mtime_ns, info.st_ino) for path in files for info in [path.stat()]]


def seen(repo: Path, workspace: Path, config, window: Window, fmt: str) -> str:
    """A digest of everything a run reads; equal digests mean equal results."""
    state = {
        "version": [__version__, _VERSION],
        "code": _code(),
        "head": _git(repo, "rev-parse", "HEAD", "--is-shallow-repository"),
        "refs": _git(repo, "for-each-ref", "--format=%(objectname) %(refname)", "refs/tags", "refs/replace"),
        "origin": _git(repo, "config", "--get", "remote.origin.url"),
        "config": {k: v for k, v in asdict(config).items() if k != "source"},
        "window": [window.days, str(window.since), window.last_commits, window.everything,
                   [window.range.base, window.range.head] if window.range is not None else None],
        "repo": str(repo),
        "format": fmt,
        "environment": [os.environ.get(name) is not None and (name.endswith("_KEY") or os.environ[name])
                        for name in ENV_NAMES] + [_files(env_file_path().parent)],
        "workspace": [f for f in _files(workspace, _NOT_READ) if f[0] not in _WRITTEN],
        "events": _files(workspace / "events"),
        "results": [_files(workspace / name) for name in _RESULTS],  # a removed or damaged result runs again
    }
    return hashlib.sha256(json.dumps(state, default=str).encode()).hexdigest()


def recall(workspace: Path, digest: str, now: datetime | None = None) -> Recalled | None:
    """The recorded report when the last run saw `digest` and still holds."""
    try:
        memo = json.loads((workspace / MEMO).read_text(encoding="utf-8"))
        if memo.get("version") != _VERSION or memo.get("seen") != digest:
            return None  # a result removed or damaged since is in the digest too
        until = memo.get("until")
        if until is not None and (now or datetime.now(timezone.utc)) >= datetime.fromisoformat(until):
            return None
        return Recalled(str(memo["report"]), str(memo["level"]), bool(memo["complete"]),
                        tuple(str(w) for w in memo["warnings"]), str(memo["at"]))
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None


def forget(workspace: Path) -> None:
    """The record dropped, before a run that may change the results."""
    try:
        (workspace / MEMO).unlink()
    except OSError:
        pass  # none, or not a file: no record either way


def record(workspace: Path, digest: str, report: str, level: str, complete: bool, warnings: list[str],
           timed: list[tuple[datetime, str, bool]], now: datetime | None = None) -> None:
    """What this run saw and printed, for a later run that sees the same;
    `timed` is the run's (time, event id, is a commit). Nothing is recorded
    when the window ended at the current time rather than at the newest
    commit: the same workspace gives another window later."""
    from ..accepted import AcceptedDeviations
    from .events import instant  # loaded by the run itself already

    now = now or datetime.now(timezone.utc)
    if any(is_commit and moment > now for moment, _, is_commit in timed):
        return
    expiries = [instant(str(e["expires_at"])) for e in AcceptedDeviations(workspace).entries() if e.get("expires_at")]
    until = min((moment for moment in expiries if moment is not None and moment > now), default=None)
    try:
        write_text_atomic(workspace / MEMO, json.dumps({
            "version": _VERSION, "seen": digest, "at": now.strftime("%Y-%m-%d %H:%M UTC"),
            "until": until.isoformat() if until is not None else None, "level": level, "complete": complete,
            "warnings": warnings, "report": report}))
    except OSError:
        pass  # a full disk, say: the run has succeeded, and the next one runs in full

