"""Importers for what CI produces: test, coverage and security reports, CI
runs and error-tracking exports, each turned into event files beside the
events collected from the repository's history.

Every file is read and checked before anything is written, so a refused
file leaves the workspace as it was. An event's file name and `event_id`
follow from its content and commit (or a CI run's id and attempt), so
importing the same report again replaces its event instead of adding one."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path

from .._common import content_id
from ..collect.events import EventTooLarge, event_text, utc_text
from ..files import write_text_atomic
from ..git import CollectError, commit_id, git, text
from ..workspace import claim
from . import ci, coverage, junit, sentry, trivy
from .reading import ReportError, moment

KINDS = {"junit": junit, "coverage": coverage, "ci": ci, "trivy": trivy, "sentry": sentry}

# Event files of the importers; the history collectors remove only their own prefixes.
PREFIX = "ingest-"

_HEX = re.compile(r"[0-9a-fA-F]{4,40}")

__all__ = ["KINDS", "PREFIX", "IngestResult", "ReportError", "Written", "ingest", "parse_time"]


@dataclass
class Written:
    """One event file written."""

    path: Path
    event: dict
    line: str  # what it holds, in a few words


@dataclass
class IngestResult:
    written: list[Written] = field(default_factory=list)
    skipped: int = 0  # CI runs not completed yet, passed over


def parse_time(value: str) -> datetime:
    """An ISO 8601 time given on the command line; without an offset it is UTC."""
    try:
        return moment(value, "--at")
    except ReportError:
        raise ReportError(f"--at: not an ISO 8601 time: {value!r} (for example 2024-05-01T10:00:00Z)") from None


def _repository(repo: Path | None) -> bool:
    if repo is None:
        return False
    try:
        git(repo, "rev-parse", "--git-dir")
    except CollectError:
        return False
    return True


def _given_commit(repo: Path | None, in_repository: bool, name: str) -> str:
    """The commit of --commit: resolved in the repository, or kept as written outside one."""
    if in_repository:
        sha = commit_id(repo, name)
        if sha is None:
            raise ReportError(f"--commit: {name!r} is not a commit of {repo}")
        return sha
    if not _HEX.fullmatch(name):
        raise ReportError(f"--commit: {name!r} is not a commit id (4 to 40 hexadecimal digits)")
    return name.lower()


def _message(repo: Path, sha: str) -> str:
    try:
        return text(git(repo, "log", "-1", "--format=%B", sha, "--")).rstrip("\n")
    except CollectError:
        return ""  # a commit the repository does not have


def ingest(kind: str, files: list, workspace: Path, repo: Path | None = None, commit: str | None = None,
           at: str | datetime | None = None) -> IngestResult:
    """Reads `files` as reports of `kind` and writes their events into
    `workspace/events`. Raises `ReportError` (nothing written) when a file or
    an argument is refused."""
    if kind not in KINDS:
        raise ReportError(f"unknown kind {kind!r}: one of {', '.join(KINDS)}")
    if not files:
        raise ReportError("no report files given")
    module = KINDS[kind]
    when = parse_time(at) if isinstance(at, str) else at
    if when is not None and when.tzinfo is None:
        when = when.replace(tzinfo=timezone.utc)
    batch = module.parse([Path(f) for f in files])
    if len(batch.reports) > 1 and (commit or at):
        raise ReportError(f"--commit and --at hold for one run, but the files hold {len(batch.reports)}: "
                          "each run carries its own commit and time")
    repo = Path(repo) if repo is not None else None
    in_repository = _repository(repo)
    given = _given_commit(repo, in_repository, commit) if commit else ""
    head = (commit_id(repo, "HEAD") or "") if in_repository else ""
    now = datetime.now(timezone.utc)

    events = Path(workspace) / "events"
    planned = []
    for report in batch.reports:
        own = report.commit and ((commit_id(repo, report.commit) if in_repository else None) or report.commit)
        sha = given or own or head
        identity = report.key or content_id({"kind": kind, "payload": report.payload, "commit": sha}, 16)
        event_id = f"{module.FAMILY}-{identity}"
        payload = dict(report.payload)
        trigger = {"commit_sha": sha, "commit_message": _message(repo, sha) if sha and in_repository else ""}
        if "trigger" in payload:
            payload["trigger"] = {**payload["trigger"], **trigger}
        elif sha:
            payload["trigger"] = trigger
        event = {"event_id": event_id, "source_type": module.SOURCE_TYPE, "source_family": module.FAMILY,
                 "observed_at": utc_text(when or report.at or now), "payload": payload}
        planned.append(Written(events / f"{PREFIX}{module.FAMILY}-{identity}.json", event, report.line))

    try:
        texts = [event_text(item.path, item.event) for item in planned]
    except EventTooLarge as e:
        raise ReportError(f"its event {e}; split the report into smaller ones") from None
    result = IngestResult(skipped=batch.skipped)
    if planned:
        claim(Path(workspace))
        events.mkdir(exist_ok=True)
    for item, content in zip(planned, texts):
        write_text_atomic(item.path, content)
        result.written.append(item)
    return result
