"""A fleet run: every member's `varnel analyze` on the chosen pool, then what
the fleet learns across them (community patterns, the pooled track record)
written back into the members' workspaces, then the fleet report.

The fleet directory holds one workspace per member (``DIR/<name>/``), the
fleet's knowledge base (``knowledge.db``), its pooled track record
(``track-record.json``), the report, and what the members' runs need from
the fleet: their settings (``.settings/<name>.toml``) and the clones of
members given by URL (``.clones/<name>.git``). It carries a marker file, and
a directory that already holds files without it is refused: the fleet
writes only where it was given the place. A member that fails is recorded
with its cause; it never stops the others, nor does anything the fleet
could not read or write of one member.
"""

from __future__ import annotations

import json
import os
import sys
import time
from pathlib import Path
from typing import TextIO

from ..config import settings_text
from ..errors import EXIT_USAGE, Refused
from ..files import write_text_atomic
from ..progress import clean
from ..run.stage import REPORT_RECORD
from ..workspace import is_workspace, locked
from ..worth import pooled as pooling, track_record
from ..worth.ranking import measured
from . import community, report
from .job import Job
from .members import FLEET_KNOWLEDGE, MARKER, TRACK_RECORD, Fleet, Member
from .pools import run_dask, run_local


def _job(fleet: Fleet, member: Member, directory: Path) -> Job:
    settings = None
    if member.settings is not None:
        settings = directory / ".settings" / f"{member.name}.toml"
        settings.parent.mkdir(exist_ok=True)
        write_text_atomic(settings, settings_text(member.settings))
    repo = directory / ".clones" / f"{member.name}.git" if member.url else member.path
    return Job(name=member.name, workspace=str(directory / member.name), repo=str(repo), url=member.url,
               settings=str(settings) if settings else None, timeout=member.timeout or fleet.timeout,
               retries=fleet.retries)


def _claim(directory: Path) -> Path:
    """The fleet directory, made or checked to be a fleet's; `Refused` for another directory with files."""
    directory = Path(os.path.abspath(directory))  # the jobs run elsewhere: a Dask worker has its own directory
    marker = directory / MARKER
    if directory.is_symlink() or (directory.exists() and not directory.is_dir()):
        raise Refused(f"{directory} cannot be a fleet directory: it is a link or not a directory", EXIT_USAGE)
    if directory.is_dir() and not marker.is_file() and any(directory.iterdir()):
        raise Refused(f"{directory} cannot be a fleet directory: it already holds files and no {MARKER} marker; "
                      "choose another with --dir DIR", EXIT_USAGE)
    directory.mkdir(parents=True, exist_ok=True)
    if not marker.is_file():
        marker.write_text("This directory is a varnel fleet's: its members' workspaces and reports.\n",
                          encoding="utf-8")
    return directory


class _ProgressLines:
    """Each finished member as one line on standard error."""

    def __init__(self, total: int, quiet: bool, stream: TextIO | None = None):
        self.total, self.quiet, self.stream = total, quiet, stream or sys.stderr
        self.finished: dict[str, dict] = {}

    def __call__(self, outcome: dict) -> None:
        self.finished[outcome["name"]] = outcome
        if self.quiet:
            return
        how = outcome["status"] + (f": {outcome['cause']}" if outcome["cause"] else "")
        again = f", {outcome['attempts']} attempts" if outcome["attempts"] > 1 else ""
        print(f"[{len(self.finished)}/{self.total}] {clean(outcome['name'])}: {clean(how)} "
              f"({outcome['seconds']:.1f} s{again})", file=self.stream, flush=True)


def _young(record: dict | None) -> bool:
    """Whether a member's own history is too short to measure its ranking on."""
    return not measured(((record or {}).get("ranking") or {}).get("held_out"))


def _hand_out(pooled: dict, records: dict[str, dict | None], workspaces: dict[str, Path],
              warnings: list[str]) -> None:
    """The pooled record into the workspace of each member too young to tell
    (and out of the others'), written only where it changed: a member whose
    inputs are unchanged keeps its recorded run, so one new commit somewhere
    never makes the whole fleet run again."""
    text = json.dumps(pooled, indent=2) + "\n"
    for name, workspace in sorted(workspaces.items()):
        target = workspace / pooling.FILE
        try:
            if not _young(records.get(name)):
                if target.exists():
                    with locked(workspace):
                        target.unlink()
                continue
            if target.is_file() and target.read_text(encoding="utf-8") == text:
                continue
            with locked(workspace):
                write_text_atomic(target, text)
        except OSError as e:
            warnings.append(f"{name}: the pooled track record could not be written: {e}")


def run_fleet(fleet: Fleet, directory: Path, scheduler: str | None = None, quiet: bool = False) -> dict:
    """Runs the fleet with its fleet directory at `directory`; returns the fleet report."""
    directory = _claim(directory)
    started = time.monotonic()
    scheduler = scheduler or fleet.scheduler
    with locked(directory, waiting=lambda m: print(f"varnel: {m}", file=sys.stderr)):
        jobs = [_job(fleet, member, directory) for member in fleet.members]
        progress = _ProgressLines(len(jobs), quiet)
        if scheduler:
            executor = f"on the Dask cluster at {scheduler}"
        else:
            workers = min(fleet.workers, len(jobs))
            executor = f"on a local pool of {workers} process{'es' * (workers != 1)}"
        if not quiet:
            print(f"varnel fleet: {len(jobs)} repositories {executor}", file=sys.stderr)
        if scheduler:
            run_dask(jobs, scheduler, progress)
        else:
            run_local(jobs, workers, progress)

        analysed = time.monotonic() - started
        # Only what a member's run made is read or written: a directory of that name may be anything else.
        workspaces = {m.name: directory / m.name for m in fleet.members if is_workspace(directory / m.name)}
        warnings: list[str] = []
        patterns = community.share(directory / FLEET_KNOWLEDGE, workspaces, fleet.min_repos, warnings)
        # A member's track record counts once a run of it completed: a run killed before publishing may
        # have measured a history its published results never spoke of.
        records = {name: track_record.read(workspace) for name, workspace in workspaces.items()
                   if (workspace / REPORT_RECORD).is_file()}
        pooled = pooling.pool([r for r in records.values() if r is not None])
        write_text_atomic(directory / TRACK_RECORD, json.dumps(pooled, indent=2) + "\n")
        _hand_out(pooled, records, workspaces, warnings)
        rows = [report.row(m, progress.finished[m.name], directory / m.name) for m in fleet.members]
        fleet_report = report.record(fleet, rows, patterns, pooled, executor,
                                     (analysed, time.monotonic() - started), warnings)
        report.write(directory, fleet_report)
    return fleet_report
