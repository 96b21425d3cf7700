"""Running git for the collectors: one place that turns its failures into
`CollectError` and its bytes into text, and that keeps git a reader.

The repository being analysed may be hostile: its own configuration (a
local repository's ``.git/config``) or the environment of the calling
process could otherwise make git run commands or reach the network. Every
git command varnel runs therefore

- turns off what could execute something: hooks (``core.hooksPath``),
  ``core.fsmonitor``, external diff and textconv drivers, pagers, signature
  checks (``log.showSignature``, which also writes into ``git log`` output),
  ssh commands and proxies;
- turns off every transport (``protocol.*.allow=never``) and lazy fetching
  (``GIT_NO_LAZY_FETCH=1``, where git knows it), so a partial clone never
  fetches a missing object: such an object reads as "not in this clone",
  and `absent_objects` says which a clone lacks without reading them;
- never prompts for credentials (``GIT_TERMINAL_PROMPT=0``, no askpass,
  no credential helper);
- passes git only the environment it needs: where to find programs and the
  user's own configuration (``PATH``, ``HOME``, ``XDG_CONFIG_HOME``,
  ``GIT_CONFIG_GLOBAL``, ``GIT_CONFIG_SYSTEM``, ``GIT_CONFIG_NOSYSTEM``) and
  the user's ``safe.directory`` settings given through
  ``GIT_CONFIG_COUNT``; never ``GIT_DIR``, ``GIT_CONFIG_PARAMETERS`` or
  other variables that would point git elsewhere.
"""

from __future__ import annotations

import os
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, Iterable, Iterator, NamedTuple, TypeVar

from .errors import Failure

_TRANSPORTS = ("file", "git", "ssh", "http", "https", "ext", "fd")
_SETTINGS = (
    "log.showSignature=false",
    "core.hooksPath=/dev/null",
    "core.fsmonitor=false",
    "core.untrackedCache=false",
    "core.pager=cat",
    "core.sshCommand=false",
    "core.gitProxy=",
    "core.askPass=",
    "credential.helper=",
    "diff.external=",
    "protocol.allow=never",
    *(f"protocol.{name}.allow=never" for name in _TRANSPORTS),
)
_PASSED = ("PATH", "HOME", "XDG_CONFIG_HOME", "GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM", "GIT_CONFIG_NOSYSTEM",
           "SYSTEMROOT", "TMPDIR")


class CollectError(Failure, RuntimeError):
    """git could not give the history (not a repository, missing objects, ...)."""


def _safe_directories(environ: os._Environ | dict) -> list[str]:
    """The user's safe.directory values given as GIT_CONFIG_KEY_n/VALUE_n."""
    try:
        count = int(environ.get("GIT_CONFIG_COUNT", "0"))
    except ValueError:
        return []
    return [environ.get(f"GIT_CONFIG_VALUE_{i}", "") for i in range(max(0, min(count, 1000)))
            if environ.get(f"GIT_CONFIG_KEY_{i}", "").lower() == "safe.directory"]


def environment() -> dict[str, str]:
    """The environment every git command runs with."""
    env = {name: os.environ[name] for name in _PASSED if name in os.environ}
    env.update({"GIT_TERMINAL_PROMPT": "0", "GIT_NO_LAZY_FETCH": "1", "GIT_PAGER": "cat", "GIT_ASKPASS": "",
                "SSH_ASKPASS": "", "LC_ALL": "C"})
    safe = _safe_directories(os.environ)
    if safe:
        env["GIT_CONFIG_COUNT"] = str(len(safe))
        for i, value in enumerate(safe):
            env[f"GIT_CONFIG_KEY_{i}"], env[f"GIT_CONFIG_VALUE_{i}"] = "safe.directory", value
    return env


def command(repo: Path, *args: str) -> list[str]:
    """The argument list of one git command in `repo`, with every setting above."""
    settings = [item for setting in _SETTINGS for item in ("-c", setting)]
    return ["git", "--no-pager", "-C", str(repo), *settings, *args]


def git(repo: Path, *args: str, stdin: bytes | None = None) -> bytes:
    """git's standard output for one command in `repo`."""
    try:
        done = subprocess.run(command(repo, *args), input=stdin, capture_output=True, check=False,
                              env=environment())
    except FileNotFoundError as e:
        raise CollectError("git is not installed or not on PATH") from e
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or f"git {args[0]} failed"
        raise CollectError(message)
    return done.stdout


# git refuses some values a committed .gitmodules may hold (a command as a
# submodule's update method) and then stops every command that diffs.
_REFUSED_SUBMODULE = "invalid value for 'submodule."


_Fetched = TypeVar("_Fetched")


def fetched_ahead(items: list[str], size: int,
                  fetch: Callable[[list[str]], _Fetched]) -> Iterator[tuple[list[str], _Fetched]]:
    """(batch, `fetch` of it) for `items` in batches of `size`, in order:
    the next batch is fetched on a second thread while the caller handles
    this one, so git's work and Python's overlap and no more than two
    batches are held."""
    batches = [items[start:start + size] for start in range(0, len(items), size)]
    with ThreadPoolExecutor(max_workers=1) as git_side:  # waiting on git needs no lock; parsing holds it
        coming = git_side.submit(fetch, batches[0]) if batches else None
        for n, batch in enumerate(batches):
            fetched = coming.result()
            coming = git_side.submit(fetch, batches[n + 1]) if n + 1 < len(batches) else None
            yield batch, fetched


def diffs(repo: Path, command_name: str, *args: str, stdin: bytes | None = None) -> tuple[bytes, str | None]:
    """git's output for a command that lists changed paths (log, show), and a
    warning when the repository's .gitmodules holds a value git refuses: the
    history is then read without submodules rather than not at all."""
    try:
        return git(repo, command_name, *args, stdin=stdin), None
    except CollectError as e:
        if _REFUSED_SUBMODULE not in str(e):
            raise
        warning = (f"git refuses a value in the repository's .gitmodules ({str(e).removeprefix('fatal: ')}); "
                   "the history is read without its submodules' changes")
        return git(repo, command_name, "--ignore-submodules=all", *args, stdin=stdin), warning


def start(repo: Path, *args: str, stderr=subprocess.DEVNULL) -> subprocess.Popen:
    """A long-running git command in `repo` talking through pipes."""
    try:
        return subprocess.Popen(command(repo, *args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=stderr, env=environment())
    except FileNotFoundError as e:
        raise CollectError("git is not installed or not on PATH") from e


def text(raw: bytes) -> str:
    """git's bytes as text; bytes that are not UTF-8 survive as surrogate escapes."""
    return raw.decode("utf-8", "surrogateescape")


def _log(raw: bytes, fields: int, entries) -> Iterator[tuple[list[str], list]]:
    """(fields, entries) of each commit of a `git log -z` whose format
    writes `fields` values, each after a NUL (%x00); `entries(tokens, i,
    out)` reads the commit's file entries from token i into `out` and
    returns where they end."""
    tokens = raw.split(b"\0")
    i = 0
    while i < len(tokens):
        if tokens[i] != b"":
            raise CollectError("unexpected output from git log")
        if i + fields >= len(tokens):
            break
        values = [text(t) for t in tokens[i + 1 : i + 1 + fields]]
        i += 1 + fields
        found: list = []
        # With entries, the list starts after a newline.
        if i < len(tokens) and tokens[i].startswith(b"\n"):
            tokens[i] = tokens[i][1:]
            i = entries(tokens, i, found)
        yield values, found


def _paths(tokens: list[bytes], i: int, out: list) -> int:
    while i < len(tokens) and tokens[i] != b"":  # the list ends at an empty token
        out.append(text(tokens[i]))
        i += 1
    return i


class Change(NamedTuple):
    """One file's change in a commit, as `git log --raw --no-abbrev` gives it."""

    status: str  # A, D, M, T, R<score>, C<score>
    old: str  # object ids, all zeros for a side that does not exist
    new: str
    paths: list[str]  # two for a rename or copy
    blobs: tuple[str, ...]  # the file contents it names: no side that is absent or a submodule's commit


def _raw_changes(tokens: list[bytes], i: int, out: list) -> int:
    while i < len(tokens) and tokens[i].startswith(b":"):
        old_mode, new_mode, old, new, status = text(tokens[i][1:]).split(" ")
        count = 2 if status[:1] in ("R", "C") else 1
        blobs = tuple(oid for mode, oid in ((old_mode, old), (new_mode, new)) if mode not in ("000000", "160000"))
        out.append(Change(status, old, new, [text(t) for t in tokens[i + 1 : i + 1 + count]], blobs))
        i += 1 + count
    return i


def _line_counts(tokens: list[bytes], i: int, out: list) -> int:
    while i < len(tokens) and tokens[i] != b"":
        added, deleted, path = text(tokens[i]).split("\t", 2)
        out.append((path, (int(added) if added.isdigit() else 0) + (int(deleted) if deleted.isdigit() else 0)))
        i += 1
    return i


def log_records(raw: bytes, fields: int) -> Iterator[tuple[list[str], list[str]]]:
    """(fields, changed paths) of each commit of `git log -z --name-only`."""
    return _log(raw, fields, _paths)


def log_raw_records(raw: bytes, fields: int) -> Iterator[tuple[list[str], list[Change]]]:
    """(fields, changes) of each commit of `git log -z --raw --no-abbrev`."""
    return _log(raw, fields, _raw_changes)


def log_numstat_records(raw: bytes, fields: int) -> Iterator[tuple[list[str], list[tuple[str, int]]]]:
    """(fields, (path, lines added and deleted)) of each commit of `git log
    -z --numstat --no-renames`; a binary file counts 0 lines."""
    return _log(raw, fields, _line_counts)


def absent_objects(repo: Path, oids: Iterable[str]) -> set[str]:
    """The objects among `oids` this clone does not hold (a partial clone,
    or objects removed from it). Asked of rev-list, which with --missing
    never fetches; cat-file would ask a partial clone's promisor and die."""
    asked = set(oids)
    if not asked:
        return set()
    listed = git(repo, "rev-list", "--objects", "--no-walk", "--ignore-missing", "--missing=print", "--stdin",
                 stdin="".join(f"{oid}\n" for oid in sorted(asked)).encode())
    held = {line.split(" ", 1)[0] for line in text(listed).splitlines() if line and not line.startswith("?")}
    return asked - held


def has_commits(repo: Path) -> bool:
    """Whether HEAD names a commit; a directory that is no repository at all raises."""
    try:
        git(repo, "rev-parse", "--verify", "--quiet", "HEAD")
    except CollectError:
        git(repo, "rev-parse", "--git-dir")  # not a repository at all: let git say so
        return False
    return True


def commit_id(repo: Path, name: str) -> str | None:
    """The full id of the commit `name` names in `repo` (a branch, a tag, an
    abbreviated id, HEAD~2), else None; a name that git would read as an
    option names nothing."""
    if name.startswith("-"):
        return None
    try:
        return text(git(repo, "rev-parse", "--verify", "--quiet", f"{name}^{{commit}}")).strip()
    except CollectError:
        return None


def unrelated_commits(repo: Path) -> set[str]:
    """Commits reachable from HEAD that descend not from the root of HEAD's
    first-parent chain but from another root: histories merged in without a
    common ancestor (a subtree merge, an imported repository). The merge
    commits joining them descend from the mainline's root, so they are not
    among these."""
    if not has_commits(repo):
        return set()
    roots = text(git(repo, "rev-list", "--max-parents=0", "HEAD")).split()
    if len(roots) < 2:
        return set()  # one root: everything descends from it
    mainline_root = text(git(repo, "rev-list", "--first-parent", "--max-parents=0", "HEAD")).split()[0]
    own = set(text(git(repo, "rev-list", "--ancestry-path", f"{mainline_root}..HEAD")).split())
    own.add(mainline_root)
    return set(text(git(repo, "rev-list", "HEAD")).split()) - own


def top_level(path: Path) -> Path:
    """The top level of the repository holding `path` (a bare repository is
    its own); CollectError when `path` is in no repository."""
    path = Path(path)
    if not path.is_dir():
        raise CollectError(f"no such directory: {path}")
    if text(git(path, "rev-parse", "--is-bare-repository")).strip() == "true":
        return Path(text(git(path, "rev-parse", "--absolute-git-dir")).strip())
    top = Path(text(git(path, "rev-parse", "--show-toplevel")).strip())
    here = path.resolve()
    if here != top.resolve() and top.resolve() not in here.parents:
        # The repository's own configuration (core.worktree) would choose where varnel writes.
        raise CollectError(f"the repository's work tree is configured to lie elsewhere ({top}), "
                           "which varnel does not follow")
    return top


def origin_name(repo: Path) -> str | None:
    """The last part of the origin remote's address, without ".git" (or ".bundle"); None without one."""
    try:
        url = text(git(repo, "config", "--get", "remote.origin.url")).strip()
    except CollectError:
        return None
    name = url.rstrip("/").rsplit("/", 1)[-1].rsplit(":", 1)[-1]
    return name.removesuffix(".git").removesuffix(".bundle") or None
