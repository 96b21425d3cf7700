"""Running git for the collectors: one place that turns its failures into
`CollectError` and its bytes into text."""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Iterator


# A user's settings must not change the output the collectors parse: with
# log.showSignature, git log writes signature checks among the records.
_SETTINGS = ("-c", "log.showSignature=false")


class CollectError(RuntimeError):
    """git could not give the history (not a repository, missing objects, ...)."""


def git(repo: Path, *args: str, stdin: bytes | None = None) -> bytes:
    """git's standard output for one command in `repo`."""
    try:
        done = subprocess.run(["git", "-C", str(repo), *_SETTINGS, *args], input=stdin, capture_output=True,
                              check=False)
    except FileNotFoundError as e:
        raise CollectError("git is not installed or not on PATH") from e
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or f"git {args[0]} failed"
        raise CollectError(message)
    return done.stdout


def text(raw: bytes) -> str:
    """git's bytes as text; bytes that are not UTF-8 survive as surrogate escapes."""
    return raw.decode("utf-8", "surrogateescape")


def log_records(raw: bytes, fields: int) -> Iterator[tuple[list[str], list[str]]]:
    """(fields, changed paths) of each commit of `git log -z --name-only`
    whose format writes `fields` values, each after a NUL (%x00)."""
    tokens = raw.split(b"\0")
    i = 0
    while i < len(tokens):
        if tokens[i] != b"":
            raise CollectError("unexpected output from git log")
        if i + fields >= len(tokens):
            break
        values = [text(t) for t in tokens[i + 1 : i + 1 + fields]]
        i += 1 + fields
        paths: list[str] = []
        # With paths, the list starts after a newline and ends at an empty token.
        if i < len(tokens) and tokens[i].startswith(b"\n"):
            tokens[i] = tokens[i][1:]
            while i < len(tokens) and tokens[i] != b"":
                paths.append(text(tokens[i]))
                i += 1
        yield values, paths


def has_commits(repo: Path) -> bool:
    """Whether HEAD names a commit; a directory that is no repository at all raises."""
    try:
        git(repo, "rev-parse", "--verify", "--quiet", "HEAD")
    except CollectError:
        git(repo, "rev-parse", "--git-dir")  # not a repository at all: let git say so
        return False
    return True
