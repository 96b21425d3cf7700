"""The host's sequence for one repository: collect events, then run each
phase of the engines over the workspace."""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
import shutil
from datetime import datetime, timezone
from pathlib import Path

from .collect.dependencies import DependencySource
from .collect.git import GitCollection, collect_git
from .collect.history import HistoryCollection, collect_history
from .collect.openapi import OpenAPISource
from .collect.releases import ReleaseCollection, collect_releases
from .collect.terraform import TerraformSource
from .config import Config
from .progress import Progress
from .scope import build_view, close_view, events_in_scope
from .workspace import claim


def engine(name: str):
    """The engine module `varnel.<name>`, or None when this build lacks it."""
    try:
        return importlib.import_module(f"varnel.{name}")
    except ImportError:
        return None


# What the history holds besides commits; each becomes events of its own family.
HISTORY_SOURCES = (DependencySource(), OpenAPISource(), TerraformSource())
_WARNINGS_SHOWN = 5


@dataclass
class AnalysisResult:
    workspace: Path
    collection: GitCollection
    history: HistoryCollection = field(default_factory=HistoryCollection)
    releases: ReleaseCollection = field(default_factory=ReleaseCollection)
    signals: dict[str, list] = field(default_factory=dict)
    explanations: list = field(default_factory=list)
    advisory: dict | None = None
    phases_missing: list[str] = field(default_factory=list)


@dataclass
class Window:
    """The recent work the advisory speaks about: the last `days` days by
    default, or from `since`, or the last `last_commits` commits; `everything`
    keeps the whole history."""

    days: int = 30
    since: datetime | None = None
    last_commits: int | None = None
    everything: bool = False


HISTORY = "history"


def keep_in_history(workspace: Path) -> Path | None:
    """Keeps a copy of the advisory just written, for later verification."""
    advisory = workspace / "phase5" / "advisory.json"
    if not advisory.exists():
        return None
    kept = workspace / HISTORY
    kept.mkdir(exist_ok=True)
    target = kept / f"advisory-{datetime.now(timezone.utc).strftime('%Y%m%dT%H%M%S%fZ')}.json"
    shutil.copy2(advisory, target)
    return target


def previous_advisory(workspace: Path) -> Path | None:
    """The advisory kept by the analysis before the latest one, if any."""
    kept = sorted((workspace / HISTORY).glob("advisory-*.json"))
    return kept[-2] if len(kept) >= 2 else None


def analyze(repo: Path, workspace: Path, progress: Progress, config: Config, window: Window | None = None,
            scope: str = "varnel-engine") -> AnalysisResult:
    claim(workspace)
    progress.step("Collecting commits")
    collection = collect_git(repo, workspace, lambda done, total: progress.count("Collecting commits", done, total),
                             config)
    result = AnalysisResult(workspace=workspace, collection=collection)
    progress.step("Reading dependencies, API schemas and infrastructure")
    result.history = collect_history(
        repo, workspace, list(HISTORY_SOURCES), config,
        lambda done, total: progress.count("Reading dependencies, API schemas and infrastructure", done, total))
    result.releases = collect_releases(repo, workspace)
    warnings = collection.warnings + result.history.warnings
    for warning in warnings[:_WARNINGS_SHOWN]:
        progress.warn(warning)
    if len(warnings) > _WARNINGS_SHOWN:
        progress.warn(f"and {len(warnings) - _WARNINGS_SHOWN} more like these")

    progress.step("Judging metrics against their history")
    phase2 = engine("sigstage").Phase2Engine(workspace, window_size=config.window, min_baseline=config.min_baseline)
    result.signals = phase2.run_all_parallel()

    progress.step("Explaining signals")
    try:
        result.explanations = engine("explstage").Phase3Engine(workspace).run()
    except FileNotFoundError:
        result.explanations = []  # no signals yet: too little history

    patstage = engine("patstage")
    if patstage is None:
        result.phases_missing.append("patterns")
    elif result.explanations:
        progress.step("Learning patterns")
        phase4 = patstage.Phase4Engine(workspace, {"direction_threshold": config.direction_threshold})
        try:
            phase4.run()
        finally:
            phase4.close()

    advstage = engine("advstage")
    if advstage is None:
        result.phases_missing.append("advisory")
    else:
        progress.step("Writing the advisory")
        window = window or Window(days=config.scope_days)
        target = workspace
        if not window.everything:
            keep = events_in_scope(workspace, days=window.days, since=window.since, last_commits=window.last_commits)
            target = build_view(workspace, keep)
        try:
            phase5 = advstage.Phase5Engine(target, significance_threshold=config.significance_threshold)
            result.advisory = phase5.run(scope=scope)
        finally:
            if target != workspace:
                close_view(target, workspace)
        keep_in_history(workspace)
    progress.done()
    return result
