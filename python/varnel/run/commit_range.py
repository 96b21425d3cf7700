"""The commits a pull request adds: the window of `--range BASE..HEAD` and
`--since-commit REV` (the range REV..HEAD)."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from ..errors import EXIT_USAGE, Refused
from ..git import commit_id, git, text


@dataclass(frozen=True)
class CommitRange:
    """BASE..HEAD as full commit ids and the commits `git rev-list BASE..HEAD`
    lists: with a merge ref checked out, the pull request's commits and the
    merge commit. `since` is the REV of --since-commit, as written."""

    base: str
    head: str
    commits: frozenset[str]
    since: str | None = None

    @property
    def description(self) -> str:
        n = len(self.commits)
        counted = f"{n} commit{'s' * (n != 1)}"
        if self.since is not None:
            return f"the {counted} since {self.since}" if n else f"no commits since {self.since}"
        return f"this pull request adds {counted if n else 'no commits'}"


def split_range(option: str, spec: str) -> tuple[str, str]:
    """BASE and HEAD of BASE..HEAD; anything else (A...B, a side missing) is refused."""
    base, dots, head = spec.partition("..")
    if not (dots and base and head) or head.startswith(".") or ".." in head:
        raise Refused(f"{option}: {spec!r} is not a range BASE..HEAD (two revisions joined by '..')", EXIT_USAGE)
    return base, head


def commit_range(repo: Path, option: str, base: str, head: str, since: str | None = None) -> CommitRange:
    """The commits HEAD's history adds to BASE's, refused when a revision
    names no commit or HEAD lies outside the history varnel collects."""
    ids = []
    for name in (base, head):
        found = commit_id(repo, name)
        if found is None:
            raise Refused(f"{option}: {name!r} names no commit of {repo} (in a shallow clone, fetch the full "
                          "history: fetch-depth: 0)", EXIT_USAGE)
        ids.append(found)
    # Events are collected from the checked-out HEAD's history only: commits outside it have none.
    if text(git(repo, "rev-list", "--count", ids[1], "--not", "HEAD")).strip() != "0":
        raise Refused(f"{option}: {head} is not in the history of the checked-out HEAD, and varnel collects only "
                      "that history's events: check the pull request's head out with its full history "
                      "(fetch-depth: 0)", EXIT_USAGE)
    commits = frozenset(text(git(repo, "rev-list", f"{ids[0]}..{ids[1]}")).split())
    return CommitRange(ids[0], ids[1], commits, since)
