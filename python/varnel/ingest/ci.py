"""CI runs: a run or a list of runs with the field names of the GitHub
command line's `gh run list --json` / `gh run view --json`, or a simple
object {duration_seconds, conclusion, commit, started_at?, name?} for other
CI systems.

Each completed run is one event; runs still queued or in progress are passed
over and counted, since their duration and conclusion are not known yet."""

from __future__ import annotations

import re
from datetime import timedelta
from pathlib import Path

from ..collect.events import utc_text
from .reading import Batch, Report, ReportError, count, each_file, moment, read_json, seconds, text

FAMILY, SOURCE_TYPE = "ci", "github_actions"

_GH_FIELDS = {"databaseId", "attempt", "conclusion", "status", "createdAt", "startedAt", "updatedAt", "headSha",
              "headBranch", "event", "workflowName", "displayTitle", "url"}
_SHA = re.compile(r"[0-9a-fA-F]{4,40}")


def _commit(value, what: str) -> str:
    sha = text(value, what)
    if sha and not _SHA.fullmatch(sha):
        raise ReportError(f"{what} is not a commit id: {sha!r}")
    return sha.lower()


def _payload(conclusion: str, status: str, workflow: str, run_id, attempt, timing: dict, trigger: dict) -> dict:
    return {"conclusion": conclusion, "status": status, "workflow": workflow, "run_id": run_id, "attempt": attempt,
            "timing": timing, "trigger": trigger}


def _line(payload: dict) -> str:
    run = f"run {payload['run_id']}" if payload["run_id"] is not None else "run"
    if payload["attempt"] is not None:
        run += f" attempt {payload['attempt']}"
    name = f"{payload['workflow']} " if payload["workflow"] else ""
    return (f"ci: {name}{run}: {payload['conclusion'] or 'no conclusion'} in "
            f"{payload['timing']['duration_seconds']:.1f} s")


def _gh_run(run: dict, where: str) -> Report | None:
    """The report of one run as gh prints it, or None when it has not completed."""
    status = text(run.get("status"), f"status{where}")
    conclusion = text(run.get("conclusion"), f"conclusion{where}")
    if status != "completed" and not (status == "" and conclusion):
        return None
    for key in ("startedAt", "updatedAt"):
        if not run.get(key):
            raise ReportError(f"the completed run{where} has no {key}, so its duration is unknown")
    started = moment(run["startedAt"], f"startedAt{where}")
    updated = moment(run["updatedAt"], f"updatedAt{where}")
    created = moment(run["createdAt"], f"createdAt{where}") if run.get("createdAt") else started
    if updated < started:
        raise ReportError(f"the run{where} was updated ({run['updatedAt']}) before it started ({run['startedAt']})")
    run_id = count(run["databaseId"], f"databaseId{where}") if run.get("databaseId") is not None else None
    attempt = count(run["attempt"], f"attempt{where}") if run.get("attempt") is not None else None
    timing = {"created_at": utc_text(created), "started_at": utc_text(started), "completed_at": utc_text(updated),
              "duration_seconds": (updated - started).total_seconds()}
    trigger = {"commit_sha": _commit(run.get("headSha"), f"headSha{where}"), "commit_message": "",
               "branch": text(run.get("headBranch"), f"headBranch{where}"),
               "event": text(run.get("event"), f"event{where}")}
    payload = _payload(conclusion, "completed", text(run.get("workflowName"), f"workflowName{where}"), run_id,
                       attempt, timing, trigger)
    key = "" if run_id is None else str(run_id) if attempt is None else f"{run_id}-{attempt}"
    return Report(payload, _line(payload), commit=trigger["commit_sha"], at=created, key=key)


def _simple_run(run: dict, where: str) -> Report:
    """The report of one run described by its duration, conclusion and commit."""
    if "conclusion" not in run:
        raise ReportError(f"the run{where} has no conclusion")
    duration = seconds(run["duration_seconds"], f"duration_seconds{where}")
    started = moment(run["started_at"], f"started_at{where}") if run.get("started_at") else None
    timing = {"created_at": utc_text(started) if started else None, "started_at": utc_text(started) if started else None,
              "completed_at": utc_text(started + timedelta(seconds=duration)) if started else None,
              "duration_seconds": duration}
    sha = _commit(run.get("commit"), f"commit{where}")
    trigger = {"commit_sha": sha, "commit_message": "", "branch": "", "event": ""}
    payload = _payload(text(run["conclusion"], f"conclusion{where}"), "completed",
                       text(run.get("name"), f"name{where}"), None, None, timing, trigger)
    return Report(payload, _line(payload), commit=sha, at=started)


def _read_one(path: Path) -> tuple[list[Report], int]:
    document = read_json(path)
    runs = document if isinstance(document, list) else [document]
    reports, skipped = [], 0
    for i, run in enumerate(runs):
        where = f" (run {i + 1})" if isinstance(document, list) else ""
        if not isinstance(run, dict):
            raise ReportError(f"a run must be a JSON object{where}, not {type(run).__name__}")
        if "duration_seconds" in run:
            reports.append(_simple_run(run, where))
        elif _GH_FIELDS & run.keys():
            report = _gh_run(run, where)
            skipped += report is None
            reports += [report] if report else []
        else:
            raise ReportError(f"neither a run as `gh run list --json` prints it nor an object with "
                              f"duration_seconds, conclusion and commit{where}")
    return reports, skipped


def parse(paths: list[Path]) -> Batch:
    batch = Batch()
    for reports, skipped in each_file(paths, _read_one):
        batch.reports += reports
        batch.skipped += skipped
    return batch
