"""Where varnel keeps its files for one repository, and why it may write there.

The workspace is varnel's own directory, ``PATH/.varnel`` by default. An
analysed repository must never choose where varnel writes or what it
removes, so

- a ``.varnel`` the repository provides is never used: a link, a file or
  directory tracked by git, or one present without varnel's marker; nor may
  any component of a workspace path inside the repository be a link;
- every workspace carries the marker file `MARKER`, written when varnel
  creates it, and varnel writes, replaces and removes files only inside a
  directory that carries it (`claim` checks this before anything else);
- nothing inside a workspace may be a link (a phase directory, ``events``
  or ``history`` shared from a CI cache, a copied ``.lock``): varnel would
  write, remove or move files through it, so `claim` refuses the workspace,
  naming the link, before anything is written. The one link varnel makes
  itself, a staging directory's ``events``, points at ``../events``.

A workspace made by an earlier version, which had no marker but held
varnel's own ``.gitignore`` and nothing git tracks, is adopted as it is.

One command at a time writes a workspace: `locked` holds an advisory lock
on its `LOCK` file for the command's duration. The kernel releases it when
the process ends, however it ends, so a lock held by a dead run never blocks.
"""

from __future__ import annotations

import fcntl
import os
import stat
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterator

from .errors import Failure, UsageError
from .git import CollectError, git

DEFAULT_NAME = ".varnel"
MARKER = ".varnel-workspace"
LOCK = ".lock"
_MARKER_TEXT = "This directory is a varnel workspace: generated files, safe to delete.\n"
_IGNORE_TEXT = "# varnel's workspace: generated, never committed\n*\n"


class WorkspaceError(UsageError, ValueError):
    """A directory varnel must not use as its workspace; the message is one line."""


class WorkspaceBusy(Failure, RuntimeError):
    """Another varnel command holds the workspace; the message is one line."""


@contextmanager
def locked(workspace: Path, wait: bool = True, waiting: Callable[[str], None] | None = None) -> Iterator[None]:
    """Holds the workspace's lock: waits for another command holding it
    (saying so through `waiting`), or with `wait` false refuses at once."""
    fd = os.open(Path(workspace) / LOCK, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 64, 0).decode("ascii", "replace").strip()
            by = f" (process {holder})" if holder.isdigit() else ""
            if not wait:
                raise WorkspaceBusy(f"{workspace} is in use by another varnel command{by}; "
                                    "try again when it has finished, or leave out --no-wait to wait") from None
            if waiting is not None:
                waiting(f"waiting for another varnel command{by} to finish with {workspace}")
            fcntl.flock(fd, fcntl.LOCK_EX)
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
        yield
    finally:
        os.close(fd)  # releases the lock


def _refuse(workspace: Path, reason: str) -> WorkspaceError:
    return WorkspaceError(f"{workspace} cannot be varnel's workspace: {reason}; "
                          "choose another directory with --workspace DIR")


def _is_link(path: Path) -> bool:
    try:
        return stat.S_ISLNK(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def _marked(workspace: Path) -> bool:
    try:
        return stat.S_ISREG(os.lstat(workspace / MARKER).st_mode)
    except (FileNotFoundError, NotADirectoryError):
        return False


def is_workspace(path: Path) -> bool:
    """Whether `path` is a directory varnel made its workspace (not a link to one)."""
    return not _is_link(path) and _marked(Path(path))


def _legacy(workspace: Path) -> bool:
    """A workspace of an earlier version: varnel's .gitignore, no marker yet."""
    ignore = workspace / ".gitignore"
    try:
        return stat.S_ISREG(os.lstat(ignore).st_mode) and ignore.read_text(encoding="utf-8") == _IGNORE_TEXT
    except (OSError, UnicodeDecodeError):
        return False


def _links(workspace: Path) -> Iterator[Path]:
    """Every link below `workspace` but a staging directory's own events link."""
    pending = [Path(workspace)]
    while pending:
        directory = pending.pop()
        try:
            entries = list(os.scandir(directory))
        except (FileNotFoundError, NotADirectoryError):
            continue  # removed meanwhile by a run finishing
        for entry in entries:  # a Path only for what is kept: a workspace holds many thousands of files
            if entry.is_symlink():
                try:
                    staged_events = entry.name == "events" and directory.name.startswith(".run-") \
                        and directory.parent == workspace and os.readlink(entry.path) == os.path.join("..", "events")
                except FileNotFoundError:
                    continue
                if not staged_events:
                    yield Path(entry.path)
            elif entry.is_dir(follow_symlinks=False):
                pending.append(Path(entry.path))


def claim(workspace: Path, create: bool = True) -> Path:
    """`workspace`, made varnel's (created with its marker and .gitignore when
    missing and `create`); an error for an existing directory that is not
    varnel's, or for anything there that is not a directory."""
    workspace = Path(workspace)
    try:
        str(workspace).encode("utf-8")
    except UnicodeEncodeError:  # the engines report their files' paths as text
        raise _refuse(workspace, "its path is not UTF-8") from None
    if _is_link(workspace):
        raise _refuse(workspace, "it is a link")
    if workspace.exists():
        if not workspace.is_dir():
            raise _refuse(workspace, "it is not a directory")
        if not _marked(workspace) and any(workspace.iterdir()) and not _legacy(workspace):
            raise _refuse(workspace, f"it already holds files and no {MARKER} marker, so it is not varnel's")
        link = next(_links(workspace), None)
        if link is not None:
            raise WorkspaceError(f"{link} is a link inside the workspace; varnel writes only its own files "
                                 "there, so remove the link (or choose another directory with --workspace DIR)")
        if _marked(workspace):
            return workspace
    elif not create:
        return workspace
    workspace.mkdir(parents=True, exist_ok=True)
    ignore = workspace / ".gitignore"
    if not ignore.exists():
        ignore.write_text(_IGNORE_TEXT, encoding="utf-8")
    (workspace / MARKER).write_text(_MARKER_TEXT, encoding="utf-8")
    return workspace


def _tracked(repo: Path, relative: str) -> bool:
    try:
        return bool(git(repo, "ls-files", "-z", "--cached", "--", f":(literal){relative}"))
    except CollectError:  # a bare repository has no work tree to track files in
        return False


def _inside(path: Path, repo: Path) -> Path | None:
    """`path` relative to the repository's top level when it lies inside it
    (however the path to the repository is spelled), else None."""
    for ancestor in path.parents:
        try:
            if os.path.samefile(ancestor, repo):
                return path.relative_to(ancestor)
        except OSError:
            continue
    return None


def workspace_for(repo: Path, chosen: str | os.PathLike | None = None, create: bool = True) -> Path:
    """The workspace of the repository at `repo` (its top level): `chosen`, or
    ``repo/.varnel``; checked so that the repository cannot provide it."""
    repo = Path(repo)
    workspace = Path(os.path.abspath(chosen)) if chosen else repo / DEFAULT_NAME
    inside = _inside(workspace, repo)
    if inside is not None and inside.parts:
        here = repo
        for part in inside.parts:
            here = here / part
            if _is_link(here):
                raise _refuse(workspace, f"{here} is a link")
        if _tracked(repo, inside.as_posix()):
            raise _refuse(workspace, "the repository tracks it in git")
    return claim(workspace, create)
