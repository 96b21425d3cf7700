"""The host's sequence for one repository: collect events, then run each
phase of the engines over the workspace.

A run's outputs are its own. The phases run in a staging directory (see
`varnel.run.stage`) and become the workspace's only when every phase has
completed, all at once for later runs. So a family that failed, a phase that
wrote nothing, or an advisory that was not written never leaves an earlier
run's file to be read as this run's, and a run that is killed leaves the
previous run's complete set, knowledge base included.
"""

from __future__ import annotations

import contextlib
import errno
import io
import json
import re
import sqlite3
from dataclasses import dataclass, field
from pathlib import Path

from .. import advstage, explstage, faults, patstage, sigstage
from .._common import refresh_event_cache
from ..accepted import AcceptedDeviations
from ..collect.dependencies import DependencySource
from ..collect.git import PREFIX as GIT_PREFIX, GitCollection, collect_git
from ..collect.history import HistoryCollection, collect_history
from ..collect.openapi import OpenAPISource
from ..collect.releases import PREFIX as RELEASE_PREFIX, ReleaseCollection, collect_releases
from ..collect.terraform import TerraformSource
from ..config import Config
from ..files import write_json_atomic
from ..git import origin_name
from ..progress import Progress
from ..workspace import claim
from ..worth.assess import Worth, assess
from .event_files import move_damaged
from .events import EventIndex
from .stage import EVENT_CACHE, HISTORY, REPORT_RECORD, Interrupted, Stage, write_failure
from .window import Window, WindowUsed, apply_window

# What the history holds besides commits; each becomes events of its own family.
HISTORY_SOURCES = (DependencySource(), OpenAPISource(), TerraformSource())
# The event files the collectors write again when they are damaged.
COLLECTED = (GIT_PREFIX, RELEASE_PREFIX, *(source.prefix for source in HISTORY_SOURCES))
_WARNINGS_SHOWN = 5
_FULL_DISK = re.compile(rf"^\[Errno (?:{errno.ENOSPC}|{errno.EDQUOT})\] (.*): '(.*)'$")


@dataclass
class FamilyFailure:
    family: str
    cause: str


@dataclass
class Analysis:
    """One run: its settings, its events, its window and what the engines
    returned. The report renders from it alone."""

    repo: Path
    workspace: Path
    scope: str
    config: Config = field(default_factory=Config)
    events: EventIndex | None = None  # read from the workspace when not given
    collection: GitCollection = field(default_factory=GitCollection)
    history: HistoryCollection = field(default_factory=HistoryCollection)
    releases: ReleaseCollection = field(default_factory=ReleaseCollection)
    window: WindowUsed = field(default_factory=lambda: WindowUsed("the whole history"))
    signals: dict[str, list] = field(default_factory=dict)
    phase2: sigstage.Phase2Engine | None = None  # the run's signal engine: it keeps the events it read
    status: str = "no_signals"  # the advisory engine's run status
    advisory: dict | None = None
    failures: list[FamilyFailure] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    notes: list[dict] = field(default_factory=list)  # breakage and changes of what is counted, in the window
    verification: dict | None = None  # verify only: the engine's verify result
    previous: Path | None = None  # verify only: the advisory compared with
    previous_advisory: dict | None = None  # verify only: what that file holds
    worth: Worth | None = None  # commit kinds, labels, track record and ranking
    view: object = None  # what the report shows of it (`varnel.report.findings.Shown`), once asked
    series: object = None  # the metrics' judged series the report draws (`varnel.report.series.Judged`), once asked
    record: dict | None = None  # the report record (`varnel.report.render.report_record`), once made

    def __post_init__(self):
        if self.events is None:
            self.events = EventIndex.read(self.workspace)

    @property
    def complete(self) -> bool:
        return not self.failures

    @property
    def quiet(self) -> frozenset[str]:
        """FAMILY/METRIC keys the report shows apart (the `quiet_metrics` setting)."""
        return frozenset(self.config.quiet_metrics)


def scope_label(repo: Path, config: Config) -> str:
    """The name reports give the repository: the settings' `scope`, else the
    origin remote's name, else the directory's; letters, digits and -_./ only."""
    name = config.scope or origin_name(repo) or Path(repo).name or "repository"
    return re.sub(r"[^A-Za-z0-9\-_./]", "", name) or "repository"


def kept_advisories(workspace: Path) -> list[Path]:
    """The advisories kept for verification, the most recent first."""
    return sorted((workspace / HISTORY).glob("advisory-*.json"), reverse=True)


def _signals(stage: Path, config: Config, result: Analysis) -> None:
    """Phase 2; each family that failed becomes a failure, named by the
    workspace's own path rather than the staging directory's."""
    phase2 = sigstage.Phase2Engine(stage, window_size=config.window, min_baseline=config.min_baseline)
    with contextlib.redirect_stdout(io.StringIO()):  # the engine also prints each failure; the host reports them
        judged = phase2.run_all_parallel()
    # Families finish in any order; every report lists them in the engine's.
    result.signals = {family: judged[family] for family in sigstage.FAMILY_METRICS if family in judged}
    result.phase2 = phase2
    for family, cause in phase2.failures.items():
        full = _FULL_DISK.match(cause)
        if full:  # a family that failed for want of disk space failed for the machine, not its events
            raise OSError(errno.ENOSPC, full[1], full[2])
        result.failures.append(FamilyFailure(family, cause.replace(str(stage), str(result.workspace))))


def _advise(stage: Path, result: Analysis, against: Path | None) -> None:
    """Phase 5 (and the verification when `against` is given)."""
    accepted = AcceptedDeviations(result.workspace)
    accepted.entries()  # a damaged file is refused here, naming itself
    threshold = result.config.significance_threshold
    phase5 = advstage.Phase5Engine(stage, significance_threshold=threshold, accepted=accepted)
    refs = result.window.event_ids
    if against is None:
        run = phase5.run(result.scope, event_refs=refs)
        result.status = run["status"]
    else:
        # A change that came back is judged at this run's threshold, as the advisory is.
        run = result.verification = phase5.verify(result.scope, str(against), event_refs=refs, threshold=threshold)
        in_window = [s for signals in result.signals.values() for s in signals if result.window.holds(s.get("event_ref"))]
        result.status = "complete" if run.get("advisory") else \
            "no_significant_changes" if in_window else "no_signals"
    result.advisory = run.get("advisory")


def _keep_report(stage: Path, result: Analysis) -> None:
    """The run's report record, published with the phases, so a page can be
    drawn from the workspace later without running them again."""
    from ..report.render import report_record  # the report renders an Analysis: imported when one exists

    (stage / REPORT_RECORD).parent.mkdir(exist_ok=True)
    write_json_atomic(stage / REPORT_RECORD, report_record(result))


def analyze(repo: Path, workspace: Path, progress: Progress, config: Config, window: Window | None = None,
            scope: str | None = None, against: Path | None = None) -> Analysis:
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


def _collect(repo: Path, workspace: Path, progress: Progress, config: Config, scope: str | None) -> Analysis:
    """Phase 1: the history into events, then the run's events read once."""
    # The refusal of what the engines must not read, the collectors' check for damage and the run's
    # reading, in one pass.
    events = EventIndex.read(workspace, refusing=True)
    moved_aside = move_damaged(workspace, COLLECTED, events.intact)
    progress.step("Collecting commits")
    collection = collect_git(repo, workspace, lambda done, total: progress.count("Collecting commits", done, total),
                             config, events.intact)
    progress.step("Reading dependencies, API schemas and infrastructure")
    history = collect_history(
        repo, workspace, list(HISTORY_SOURCES), config,
        lambda done, total: progress.count("Reading dependencies, API schemas and infrastructure", done, total),
        events.intact)
    releases = collect_releases(repo, workspace)
    warnings = list(dict.fromkeys(moved_aside + collection.warnings + history.warnings
                                  + releases.warnings))  # git's refusals reach several collectors
    for warning in warnings[:_WARNINGS_SHOWN]:
        progress.warn(warning)
    if len(warnings) > _WARNINGS_SHOWN:
        progress.warn(f"and {len(warnings) - _WARNINGS_SHOWN} more like these")
    # `events` is read again once the run's cache of parsed events holds what was collected.
    return Analysis(repo=repo, workspace=workspace, scope=scope or scope_label(repo, config), config=config,
                    events=events, collection=collection, history=history, releases=releases, warnings=warnings)


def _analyze(repo: Path, workspace: Path, progress: Progress, config: Config, window: Window | None,
             scope: str | None, against: Path | None, staged: list[Stage]) -> Analysis:
    claim(workspace)
    result = _collect(repo, workspace, progress, config, scope)
    if against is not None:
        result.previous, result.previous_advisory = against, json.loads(against.read_text(encoding="utf-8"))

    stage = Stage(workspace)
    staged.append(stage)
    try:
        # Every phase, and the host's index, reads the events through this run's cache, published with its
        # results: what was collected is parsed once, here.
        refresh_event_cache(workspace / "events", workspace / EVENT_CACHE, stage.path / EVENT_CACHE)
        result.events.refresh(cache=stage.path / EVENT_CACHE)
        result.window = apply_window(window or Window(days=config.scope_days), result.events.timed(),
                                     commit_of=result.events.commit_of)
        result.notes = result.events.notes(tuple(s.prefix for s in HISTORY_SOURCES),
                                           {s.prefix: s.family for s in HISTORY_SOURCES}, result.window.event_ids)
        progress.step("Judging metrics against their history")
        _signals(stage.path, config, result)
        faults.write_point()
        for failure in result.failures:
            progress.warn(f"the {failure.family} family could not be judged: {failure.cause}")

        progress.step("Explaining signals")
        try:
            # Only whether there are any: the explanations are the workspace's, never held by the run.
            explained = explstage.Phase3Engine(stage.path).write() > 0
        except FileNotFoundError:
            explained = False  # no signals yet: too little history
        faults.write_point()

        if explained:
            progress.step("Learning patterns")
            phase4 = patstage.Phase4Engine(stage.path, {"direction_threshold": config.direction_threshold})
            try:
                phase4.run()
            finally:
                phase4.close()
            faults.write_point()

        progress.step("Writing the advisory")
        _advise(stage.path, result, against)
        staged_advisory = stage.path / "phase5" / "advisory.json"
        if result.advisory is not None and staged_advisory.exists():
            stage.keep(staged_advisory)
        progress.step("Ranking commits by risk")
        result.worth = assess(repo, workspace, config, result.signals, result.events)
        _keep_report(stage.path, result)
        stage.publish()
    except (OSError, sqlite3.Error) as e:  # the machine's: a full disk, a file that cannot be written
        raise stage.failure(e) from None
    finally:
        stage.remove()
        progress.done()
    return result


def verify(repo: Path, workspace: Path, progress: Progress, config: Config, against: Path,
           window: Window | None = None, scope: str | None = None) -> Analysis:
    """An analysis compared with the earlier advisory in the file `against`."""
    return analyze(repo, workspace, progress, config, window, scope, against=against)
