"""Running git for the collectors: one place that turns its failures into
`CollectError` and its bytes into text."""

from __future__ import annotations

import subprocess
from pathlib import Path


class CollectError(RuntimeError):
    """git could not give the history (not a repository, missing objects, ...)."""


def git(repo: Path, *args: str, stdin: bytes | None = None) -> bytes:
    """git's standard output for one command in `repo`."""
    try:
        done = subprocess.run(["git", "-C", str(repo), *args], input=stdin, capture_output=True, check=False)
    except FileNotFoundError as e:
        raise CollectError("git is not installed or not on PATH") from e
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or f"git {args[0]} failed"
        raise CollectError(message)
    return done.stdout


def text(raw: bytes) -> str:
    """git's bytes as text; bytes that are not UTF-8 survive as surrogate escapes."""
    return raw.decode("utf-8", "surrogateescape")
