"""The field's defect label: which commits later bug-fixing commits blame.

A fix commit is a collected commit (bots and merges are never collected)
whose message names a fix (`is_fix`) and which changes at most `MAX_FILES`
files. The lines it deletes or modifies in its parent, leaving out lines
that are blank or only a comment and files that are not code (documentation,
tests, release notes, manifests), are blamed in that parent, whitespace
ignored: the commits that last changed them introduced the bug. A commit
blamed by any later fix is ``szz`` 1.

Blame is the costly part (about 0.1 s per file on a large history), so each
fix commit's blamed commits are kept in the workspace (`CACHE`) and a later
run blames only new fix commits. The cache is keyed by nothing but the fix
commit: its parent and diff never change.
"""

from __future__ import annotations

import functools
import re
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from ..files import read_state, write_json_atomic
from ..git import CollectError, diffs, git, text
from .diffs import is_comment_or_blank, parse_files
from .kinds import file_is_code

CACHE = "szz-cache.json"
VERSION = 1
MAX_FILES = 50
FIX = re.compile(r"\b(?:fix|fixes|fixed|fixing|bug|bugs|bugfix|hotfix)\b", re.IGNORECASE)
_WORKERS = 4
_RANGES_PER_CALL = 500  # keeps one blame's command line well under the system's limit


@functools.lru_cache(maxsize=65536)  # asked of every commit by the labels, the ranking and the blame
def is_fix(message: str) -> bool:
    return FIX.search(message) is not None


def deleted_lines(repo: Path, fix: str) -> dict[str, list[int]]:
    """{path in the parent: line numbers there} of the code lines `fix`
    deletes or modifies, blank and comment lines left out."""
    raw, _ = diffs(repo, "diff", "-U0", "--no-renames", "--no-color", "--no-ext-diff", "--no-textconv",
                   "--src-prefix=a/", "--dst-prefix=b/", f"{fix}^", fix)
    found: dict[str, list[int]] = {}
    for f in parse_files(text(raw).split("\n")):
        if f.binary or not file_is_code(f.path):
            continue
        removed = [line for minus, _ in f.hunks for line in minus]
        lines = [n for n, line in zip(f.removed_at, removed) if not is_comment_or_blank(line)]
        if lines:
            found[f.path] = lines
    return found


def _ranges(lines: list[int]) -> list[str]:
    """Line numbers as git blame's -L ranges, consecutive ones joined."""
    out: list[list[int]] = []
    for n in sorted(set(lines)):
        if out and n == out[-1][1] + 1:
            out[-1][1] = n
        else:
            out.append([n, n])
    return [f"{a},{b}" for a, b in out]


def _blame(repo: Path, fix: str, path: str, lines: list[int]) -> set[str]:
    """The commits that last changed `lines` of `path` in the fix's parent;
    a commit at the edge of a shallow clone is not known to have written them."""
    blamed: set[str] = set()
    ranges = _ranges(lines)
    for start in range(0, len(ranges), _RANGES_PER_CALL):
        args = [arg for r in ranges[start:start + _RANGES_PER_CALL] for arg in ("-L", r)]
        raw = git(repo, "blame", "--porcelain", "--root", "-w", "--no-textconv", *args, f"{fix}^", "--", path)
        current, boundary = None, set()
        for row in text(raw).split("\n"):
            head = row.split(" ", 1)[0]
            if row.startswith("\t"):
                continue  # the line's own text
            if len(head) in (40, 64) and all(ch in "0123456789abcdef" for ch in head):
                current = head
                blamed.add(head)
            elif row == "boundary" and current:
                boundary.add(current)
        blamed -= boundary
    return blamed


def blamed_by(repo: Path, fix: str) -> list[str] | None:
    """The commits that last changed the code lines `fix` deletes or
    modifies; None when git could not say (a root commit, a clone without
    the objects), so a later run asks again."""
    blamed: set[str] = set()
    try:
        for path, lines in deleted_lines(repo, fix).items():
            blamed |= _blame(repo, fix, path, lines)
    except (CollectError, OSError):
        return None
    return sorted(blamed)


def fix_commits(commits) -> list:
    """The commits that count as fixes: a fix's message, at most `MAX_FILES` files."""
    return [c for c in commits if is_fix(c.message) and 0 < len(c.files) <= MAX_FILES]


def label(repo: Path, workspace: Path, commits) -> dict[str, list[str]]:
    """{fix commit: the commits it blames} for every fix among `commits`,
    blaming only fixes the workspace's cache does not hold yet."""
    path = workspace / CACHE
    state = read_state(path)
    kept = state.get("fixes") if state.get("version") == VERSION and isinstance(state.get("fixes"), dict) else {}
    cached = {sha: blamed for sha, blamed in kept.items()
              if isinstance(blamed, list) and all(isinstance(b, str) for b in blamed)}
    fixes = [c.sha for c in fix_commits(commits)]
    new = [sha for sha in fixes if sha not in cached]
    if new:
        with ThreadPoolExecutor(_WORKERS) as pool:
            for sha, blamed in zip(new, pool.map(lambda sha: blamed_by(repo, sha), new)):
                if blamed is not None:
                    cached[sha] = blamed
        write_json_atomic(path, {"version": VERSION, "fixes": cached})
    return {sha: cached[sha] for sha in fixes if sha in cached}
