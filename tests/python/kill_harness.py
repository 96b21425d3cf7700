"""Runs of `varnel analyze` killed part-way, and what the next complete run
leaves, compared with the runs that completed alone.

A repository is analysed, grows by a few commits and is analysed again; in
the killed sequence that second run is killed first (at a write point, or
after a delay), then run again. Both sequences must then hold the same
advisory, evidence and knowledge base, but for the clock.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

# Written from the wall clock, so two runs of one history differ in them alone.
CLOCK_KEYS = frozenset({"generated_at"})
KNOWLEDGE_CLOCK_KEYS = frozenset({"created_at", "updated_at", "approval_timestamp", "timestamp", "first_seen",
                                  "last_seen", "observed_at"})
ENV = {**os.environ, "GIT_AUTHOR_NAME": "Dev", "GIT_AUTHOR_EMAIL": "dev@example.com",
       "GIT_COMMITTER_NAME": "Dev", "GIT_COMMITTER_EMAIL": "dev@example.com"}


def _git(repo: Path, *args: str, date: str | None = None) -> None:
    env = dict(ENV, **({"GIT_AUTHOR_DATE": date, "GIT_COMMITTER_DATE": date} if date else {}))
    subprocess.run(["git", "-C", str(repo), *args], env=env, check=True, capture_output=True)


def _commit(repo: Path, n: int) -> None:
    """Commit `n`: every seventh one large and bringing dependencies, so that
    signals of two families move together and patterns are learned."""
    big = n % 7 == 6
    files = {f"src/m{(n + k) % 5}.py": f"{n}\n" for k in range(1 + n % 3)}
    files["requirements.txt"] = "".join(f"lib{k}==1.{n}\n" for k in range(30 if big else 5 + n % 2))
    if big:
        files.update({f"src/big{n}/f{k}.py": "x\n" for k in range(40)})
    for path, text in files.items():
        (repo / path).parent.mkdir(parents=True, exist_ok=True)
        (repo / path).write_text(text, encoding="utf-8")
    _git(repo, "add", "-A")
    _git(repo, "commit", "-q", "-m", f"change {n}", date=f"2026-01-{n // 24 + 1:02d}T{n % 24:02d}:00:00+00:00")


def make_repository(root: Path, commits: int) -> Path:
    repo = root / "repo"
    repo.mkdir(parents=True)
    _git(repo, "init", "-q", "-b", "main")
    for n in range(commits):
        _commit(repo, n)
    return repo


def grow(repo: Path, start: int, count: int) -> None:
    for n in range(start, start + count):
        _commit(repo, n)


def analyze(repo: Path, workspace: Path, stop_at: int = 0, kill_after: float | None = None,
            step: str | None = None) -> int:
    """One `varnel analyze --all`; killed at write point `stop_at`, or
    `kill_after` seconds after it starts (after it says it begins `step`)."""
    env = dict(ENV, VARNEL_STOP_AT=str(stop_at)) if stop_at else ENV
    process = subprocess.Popen([sys.executable, "-m", "varnel", "analyze", "--all", *([] if step else ["--quiet"]),
                                "--workspace", str(workspace), str(repo)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    if step is not None:
        for line in process.stderr:
            if line.decode().strip() == step:
                break
    if kill_after is not None:
        try:
            process.wait(timeout=kill_after)
        except subprocess.TimeoutExpired:
            process.send_signal(signal.SIGKILL)
    _, errors = process.communicate()
    if process.returncode not in (0, 1, -signal.SIGKILL):
        raise AssertionError(f"varnel analyze ended with {process.returncode}: {errors.decode()}")
    return process.returncode


def _without_clock(value, keys=CLOCK_KEYS):
    if isinstance(value, dict):
        return {k: _without_clock(v, keys) for k, v in value.items() if k not in keys}
    if isinstance(value, list):
        return [_without_clock(v, keys) for v in value]
    return value


def _column(value):
    """A column's value, JSON text read as what it holds."""
    if isinstance(value, str) and value[:1] in "[{":
        return _without_clock(json.loads(value), KNOWLEDGE_CLOCK_KEYS)
    return value


def state(workspace: Path) -> dict:
    """What later runs see: the advisory, the evidence and the knowledge
    base's rows, without what the clock wrote."""
    seen = {}
    for name in ("advisory.json", "evidence.json"):
        path = workspace / "phase5" / name
        seen[name] = _without_clock(json.loads(path.read_text(encoding="utf-8"))) if path.exists() else None
    database = workspace / "phase4" / "knowledge.db"
    if database.exists():
        with sqlite3.connect(f"file:{database}?mode=ro", uri=True) as db:
            db.row_factory = sqlite3.Row
            tables = [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' "
                                               "AND name NOT LIKE 'sqlite_%' ORDER BY name")]
            for table in tables:
                rows = [{k: _column(r[k]) for k in r.keys() if k not in KNOWLEDGE_CLOCK_KEYS and k != "id"}
                        for r in db.execute(f"SELECT * FROM {table}")]
                seen[table] = sorted(rows, key=lambda r: json.dumps(r, sort_keys=True))
        db.close()
    return seen


def leftovers(workspace: Path) -> list[str]:
    """Files a finished run should not leave: staging directories, temporary files, a publishing journal."""
    return sorted(str(p.relative_to(workspace)) for p in workspace.rglob("*")
                  if p.name.startswith((".run-", ".publishing")) or p.name.endswith(".tmp"))


class Sequence:
    """The reference: a first run, new commits, a second run, each complete;
    and a third, what a killed run whose results were put in place adds."""

    def __init__(self, root: Path, commits: int = 24, added: int = 4):
        self.root, self.commits, self.added = root, commits, added
        self.repo = make_repository(root / "origin", commits)
        self.first = root / "first"
        analyze(self.repo, self.first)
        grown = root / "grown"
        shutil.copytree(self.repo, grown / "repo", symlinks=True)
        grow(grown / "repo", commits, added)
        self.grown = grown / "repo"
        reference = root / "reference"
        shutil.copytree(self.first, reference, symlinks=True)
        analyze(self.grown, reference)
        self.expected = state(reference)
        analyze(self.grown, reference)  # for a killed run that had completed all the same
        self.expected_had_it_completed = state(reference)

    def killed_then_run(self, name: str, stop_at: int = 0, kill_after: float | None = None,
                        step: str | None = None) -> tuple[int, dict, list]:
        """The second run killed, then run again: (the killed run's status, the state, leftovers)."""
        workspace = self.root / name
        shutil.copytree(self.first, workspace, symlinks=True)
        status = analyze(self.grown, workspace, stop_at=stop_at, kill_after=kill_after, step=step)
        analyze(self.grown, workspace)
        return status, state(workspace), leftovers(workspace)
