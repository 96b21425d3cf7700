"""The host's sequence for one repository: collect events, then run each
phase of the engines over the workspace.

A run's outputs are its own. The phases run in a staging directory (see
`varnel.stage`) and become the workspace's only when every phase has
completed, all at once for later runs. So a family that failed, a phase that
wrote nothing, or an advisory that was not written never leaves an earlier
run's file to be read as this run's, and a run that is killed leaves the
previous run's complete set, knowledge base included.
"""

from __future__ import annotations

import contextlib
import errno
import importlib
import io
import re
import sqlite3
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from pathlib import Path

from ._common import loads
from .collect.dependencies import DependencySource
from .collect.git import PREFIX as GIT_PREFIX, GitCollection, collect_git
from .collect.gitrun import origin_name
from .collect.history import HistoryCollection, collect_history
from .collect.openapi import OpenAPISource
from .collect.releases import PREFIX as RELEASE_PREFIX, ReleaseCollection, collect_releases
from .collect.terraform import TerraformSource
from . import faults
from .config import Config
from .event_files import check_events
from .progress import Progress
from .stage import HISTORY, Interrupted, Stage, write_failure
from .workspace import claim
from .worth.assess import assess


def engine(name: str):
    """The engine module `varnel.<name>`, or None when this build lacks it."""
    try:
        return importlib.import_module(f"varnel.{name}")
    except ImportError:
        return None


# What the history holds besides commits; each becomes events of its own family.
HISTORY_SOURCES = (DependencySource(), OpenAPISource(), TerraformSource())
# The event files the collectors write again when they are damaged.
COLLECTED = (GIT_PREFIX, RELEASE_PREFIX, *(source.prefix for source in HISTORY_SOURCES))
_WARNINGS_SHOWN = 5
_FAILURE_LINE = re.compile(r"^\s*\[Phase 2\] (\S+) failed: (.*)$")
# A family that failed for want of disk space failed for the machine, not its events.
_FULL_DISK = re.compile(rf"^\[Errno (?:{errno.ENOSPC}|{errno.EDQUOT})\] (.*): '(.*)'$")


@dataclass
class Window:
    """The recent work the advisory speaks about: by default the latest
    `days` days of activity (ending at the newest commit, never later than
    now), or from `since`, or the last `last_commits` commits; `everything`
    keeps the whole history."""

    days: int = 30
    since: datetime | None = None
    last_commits: int | None = None
    everything: bool = False


@dataclass
class WindowUsed:
    """The window as applied: its first and last event times (None when it
    holds no event), what it was asked to be, and the ids of its events
    (None for the whole history)."""

    description: str
    start: datetime | None = None
    end: datetime | None = None
    event_ids: frozenset[str] | None = None


@dataclass
class FamilyFailure:
    family: str
    cause: str


@dataclass
class AnalysisResult:
    """What one analysis found, from the engines' own return values."""

    repo: Path
    workspace: Path
    scope: str
    collection: GitCollection
    history: HistoryCollection = field(default_factory=HistoryCollection)
    releases: ReleaseCollection = field(default_factory=ReleaseCollection)
    window: WindowUsed = field(default_factory=lambda: WindowUsed("the whole history"))
    signals: dict[str, list] = field(default_factory=dict)
    explanations: list = field(default_factory=list)
    status: str = "no_signals"  # the advisory engine's run status
    advisory: dict | None = None
    texts: dict[str, str] = field(default_factory=dict)  # summary, chat, investigation
    paths: dict[str, Path] = field(default_factory=dict)  # the published output files
    failures: list[FamilyFailure] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    notes: list[dict] = field(default_factory=list)  # breakage and changes of what is counted, in the window
    threshold: float = 1.5  # the significance threshold of this run
    window_size: int = 50  # how many earlier events of a family a signal is judged against
    quiet: frozenset[str] = frozenset()  # FAMILY/METRIC keys the report shows apart (the `quiet_metrics` setting)
    phases_missing: list[str] = field(default_factory=list)
    kept: Path | None = None  # the advisory's copy in history/
    verification: dict | None = None  # verify only: the engine's verify result
    previous: Path | None = None  # verify only: the advisory compared with
    view: object = None  # what the report shows of it (`varnel.findings.Shown`), once asked
    worth: object = None  # commit kinds, labels, track record and ranking (`varnel.worth.assess.Worth`)

    @property
    def complete(self) -> bool:
        return not self.failures and not self.phases_missing


def scope_label(repo: Path, config: Config) -> str:
    """The name reports give the repository: the settings' `scope`, else the
    origin remote's name, else the directory's; letters, digits and -_./ only."""
    name = config.scope or origin_name(repo) or Path(repo).name or "repository"
    return re.sub(r"[^A-Za-z0-9\-_./]", "", name) or "repository"


def _instant(text: str) -> datetime | None:
    """An event time as the engines read it, as an instant (no offset: UTC)."""
    if not text:
        return None
    try:
        moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return None
    return moment if moment.tzinfo else moment.replace(tzinfo=timezone.utc)


def event_times(workspace: Path) -> list[tuple[datetime, str, bool]]:
    """(time, event id, is a commit) of every event with a readable time."""
    patstage = engine("patstage")
    extract = patstage.Phase4Engine._extract_event_timestamp if patstage else lambda e: e.get("observed_at") or ""
    timed = []
    for path in sorted((workspace / "events").glob("*.json")):
        try:
            event = loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue  # the engines report unreadable events themselves
        if isinstance(event, dict) and isinstance(event.get("event_id"), str):
            moment = _instant(extract(event))
            if moment is not None:
                timed.append((moment, event["event_id"], event.get("source_type") == "git"))
    return timed


def collection_notes(workspace: Path, event_ids: frozenset[str] | None) -> list[dict]:
    """What the history events in the window record beside their counts: a
    commit that left files unreadable (`broken`), and one that changed what
    a count is read from (`measure_changed`), oldest first."""
    notes = []
    for source in HISTORY_SOURCES:
        for path in (workspace / "events").glob(f"{source.prefix}*.json"):
            try:
                event = loads(path.read_text(encoding="utf-8"))
                payload, trigger = event["payload"], event["payload"]["trigger"]
            except (OSError, ValueError, KeyError, TypeError):
                continue  # the engines report unreadable events themselves
            if event_ids is not None and event.get("event_id") not in event_ids:
                continue
            base = {"family": source.family, "event_id": event.get("event_id"), "commit": trigger.get("commit_sha"),
                    "subject": str(trigger.get("commit_message") or "").split("\n", 1)[0],
                    "observed_at": event.get("observed_at")}
            if payload.get("broken"):
                notes.append(dict(base, kind="broken", files=payload["broken"]))
            if payload.get("measure_changed"):
                notes.append(dict(base, kind="measure_changed", counted_from=payload.get("counted_from", [])))
    return sorted(notes, key=lambda n: (str(n["observed_at"]), n["event_id"] or ""))


def apply_window(window: Window, timed: list[tuple[datetime, str, bool]],
                 now: datetime | None = None) -> WindowUsed:
    """The events `window` covers."""
    if window.everything:
        moments = [t for t, _, _ in timed]
        return WindowUsed("the whole history", min(moments, default=None), max(moments, default=None))
    now = now or datetime.now(timezone.utc)
    if window.last_commits is not None:
        commits = sorted((t for t, _, is_commit in timed if is_commit), reverse=True)[:window.last_commits]
        start = commits[-1] if commits else now
        asked = f"the last {window.last_commits} commit{'s' * (window.last_commits != 1)}"
    elif window.since is not None:
        start = (window.since if window.since.tzinfo else window.since.replace(tzinfo=timezone.utc)).astimezone(
            timezone.utc)
        midnight = start.time() == datetime.min.time()
        asked = f"since {start.date().isoformat() if midnight else start.strftime('%Y-%m-%dT%H:%MZ')}"
    else:
        newest = max((t for t, _, is_commit in timed if is_commit), default=now)
        start = min(newest, now) - timedelta(days=window.days)
        asked = f"the latest {window.days} days of activity"
    kept = [(t, event_id) for t, event_id, _ in timed if t >= start]
    return WindowUsed(asked, min((t for t, _ in kept), default=None), max((t for t, _ in kept), default=None),
                      frozenset(event_id for _, event_id in kept))


def kept_advisories(workspace: Path) -> list[Path]:
    """The advisories kept for verification, the most recent first."""
    return sorted((workspace / HISTORY).glob("advisory-*.json"), reverse=True)


def _signals(stage: Path, config: Config, result: AnalysisResult) -> None:
    """Phase 2; the engine's line for each family that failed becomes a failure."""
    phase2 = engine("sigstage").Phase2Engine(stage, window_size=config.window, min_baseline=config.min_baseline)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        result.signals = phase2.run_all_parallel()
    for line in printed.getvalue().splitlines():
        found = _FAILURE_LINE.match(line)
        full = found and _FULL_DISK.match(found[2])
        if full:
            raise OSError(errno.ENOSPC, full[1], full[2])
        if found:  # named by the workspace's own path, not the staging directory's
            result.failures.append(FamilyFailure(found[1], found[2].replace(str(stage), str(result.workspace))))
        elif line.strip():
            result.warnings.append(line.strip())


_TEXTS = {"summary": "summary.txt", "chat": "chat.txt", "investigation": "investigation_prompt.txt"}


def _advise(advstage, stage: Path, workspace: Path, config: Config, result: AnalysisResult,
            against: Path | None) -> None:
    """Phase 5 (and the verification when `against` is given)."""
    phase5 = advstage.Phase5Engine(stage, significance_threshold=config.significance_threshold)
    phase5._accepted_devs = importlib.import_module("varnel.accepted").AcceptedDeviations(workspace)
    phase5._accepted_devs.entries()  # a damaged file is refused here, naming itself
    refs = result.window.event_ids
    if against is None:
        run = phase5.run(result.scope, event_refs=refs)
        result.status = run["status"]
    else:
        run = result.verification = phase5.verify(result.scope, str(against), event_refs=refs)
        in_window = [s for signals in result.signals.values() for s in signals
                     if refs is None or s.get("event_ref") in refs]
        result.status = "complete" if run.get("advisory") else \
            "no_significant_changes" if in_window else "no_signals"
    result.advisory = run.get("advisory")
    # The staging directory is this run's alone, so every text in it was written now.
    output = stage / "phase5"
    result.texts = {name: (output / file).read_text(encoding="utf-8")
                    for name, file in _TEXTS.items() if (output / file).exists()}


def analyze(repo: Path, workspace: Path, progress: Progress, config: Config, window: Window | None = None,
            scope: str | None = None, against: Path | None = None) -> AnalysisResult:
    """Collects the history into `workspace` and runs every phase; with
    `against` (an earlier advisory file) the advisory engine also verifies.
    A failure of the machine raises `RunFailed` and Ctrl-C `Interrupted`,
    each saying which results the workspace holds."""
    staged: list[Stage] = []  # the run's stage, once it has one: it knows which results the workspace holds
    try:
        return _analyze(repo, workspace, progress, config, window, scope, against, staged)
    except KeyboardInterrupt:
        raise Interrupted(staged[0].held() if staged else "the previous run's results") from None
    except OSError as e:  # collecting: a full disk, say
        raise write_failure(e, workspace) from None


def _analyze(repo: Path, workspace: Path, progress: Progress, config: Config, window: Window | None,
             scope: str | None, against: Path | None, staged: list[Stage]) -> AnalysisResult:
    claim(workspace)
    moved_aside = check_events(workspace, COLLECTED)
    progress.step("Collecting commits")
    collection = collect_git(repo, workspace, lambda done, total: progress.count("Collecting commits", done, total),
                             config)
    result = AnalysisResult(repo=repo, workspace=workspace, scope=scope or scope_label(repo, config),
                            collection=collection)
    progress.step("Reading dependencies, API schemas and infrastructure")
    result.history = collect_history(
        repo, workspace, list(HISTORY_SOURCES), config,
        lambda done, total: progress.count("Reading dependencies, API schemas and infrastructure", done, total))
    result.releases = collect_releases(repo, workspace)
    result.warnings = list(dict.fromkeys(moved_aside + collection.warnings + result.history.warnings
                                         + result.releases.warnings))  # git's refusals reach several collectors
    for warning in result.warnings[:_WARNINGS_SHOWN]:
        progress.warn(warning)
    if len(result.warnings) > _WARNINGS_SHOWN:
        progress.warn(f"and {len(result.warnings) - _WARNINGS_SHOWN} more like these")
    timed = event_times(workspace)
    result.window = apply_window(window or Window(days=config.scope_days), timed)
    result.threshold = config.significance_threshold
    result.window_size = config.window
    result.quiet = frozenset(config.quiet_metrics)
    result.notes = collection_notes(workspace, result.window.event_ids)

    stage = Stage(workspace)
    staged.append(stage)
    try:
        progress.step("Judging metrics against their history")
        _signals(stage.path, config, result)
        faults.write_point()
        for failure in result.failures:
            progress.warn(f"the {failure.family} family could not be judged: {failure.cause}")

        progress.step("Explaining signals")
        try:
            result.explanations = engine("explstage").Phase3Engine(stage.path).run()
        except FileNotFoundError:
            result.explanations = []  # no signals yet: too little history
        faults.write_point()

        patstage = engine("patstage")
        if patstage is None:
            result.phases_missing.append("patterns")
        elif result.explanations:
            progress.step("Learning patterns")
            phase4 = patstage.Phase4Engine(stage.path, {"direction_threshold": config.direction_threshold})
            try:
                phase4.run()
            finally:
                phase4.close()
            faults.write_point()

        advstage = engine("advstage")
        if advstage is None:
            result.phases_missing.append("advisory")
        else:
            progress.step("Writing the advisory")
            _advise(advstage, stage.path, workspace, config, result, against)
            staged = stage.path / "phase5" / "advisory.json"
            if result.advisory is not None and staged.exists():
                result.kept = stage.keep(staged)
        progress.step("Ranking commits by risk")
        result.worth = assess(repo, workspace, config, result.signals)
        stage.publish()
    except (OSError, sqlite3.Error) as e:  # the machine's: a full disk, a file that cannot be written
        raise stage.failure(e) from None
    finally:
        stage.remove()
        progress.done()
    output = workspace / "phase5"
    result.paths = {name: output / name for name in ("advisory.json", "evidence.json", "summary.txt", "chat.txt",
                                                      "investigation_prompt.txt", "verification.json",
                                                      "verification.txt") if (output / name).exists()}
    return result


def verify(repo: Path, workspace: Path, progress: Progress, config: Config, against: Path,
           window: Window | None = None, scope: str | None = None) -> AnalysisResult:
    """An analysis compared with the earlier advisory in the file `against`."""
    result = analyze(repo, workspace, progress, config, window, scope, against=against)
    result.previous = against
    return result
