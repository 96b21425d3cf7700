"""One pass over the collected history that every run makes after judging
it: commit facts and kinds, the outcome labels, the track record
(``eval.json``) and the risk ranking. Facts and blame are kept in the
workspace, so a run with few new commits reads only their diffs and blames
only new fix commits.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from .._common import dumps_pretty
from ..files import read_state, write_text_atomic
from ..config import Config
from . import szz
from .facts import read_commits
from .features import Commit
from . import pooled as fleet_pool
from .ranking import NOVELTY, Ranking, build, measured, proven
from .track_record import FILE, SCHEMA_VERSION, deviations, label, label_summary, rules

if TYPE_CHECKING:
    from ..run.events import EventIndex

DEFAULT_DAYS = 14


@dataclass
class Worth:
    commits: dict[str, Commit]  # by commit id
    record: dict  # what eval.json holds
    ranking: Ranking
    deviations: dict[str, dict[str, float]]  # git metric -> {commit: deviation upwards}
    pooled: dict | None = None  # the fleet's pooled track record, when the repository is in one

    @property
    def measured_here(self) -> bool:
        """Whether the ranking's top share was measured on enough commits here to tell."""
        return measured(self.ranking.held_out)

    @property
    def proven(self) -> bool:
        """Whether the ranking's top share was later blamed for bugs at least twice as often as
        average: here, or, where this history is too short to tell, across the fleet's."""
        if self.measured_here or self.pooled is None:
            return self.ranking.proven
        return proven(self.pooled["ranking"])

    def second_look(self, shas, quiet: frozenset[str], threshold: float) -> list[dict]:
        return self.ranking.second_look(shas, self.deviations, quiet, threshold)

    @property
    def novelty(self) -> dict[str, float]:
        """Each commit's co-change novelty deviation upwards, as the ranking reads it."""
        return self.deviations.get(NOVELTY, {})


def kept_days(workspace: Path) -> int:
    """The follow-up window the last `varnel eval` chose, else the default."""
    days = read_state(workspace / FILE).get("fix_window_days")
    return days if isinstance(days, int) and not isinstance(days, bool) and days > 0 else DEFAULT_DAYS


def assess(repo: Path, workspace: Path, config: Config, signals: dict[str, list], events: EventIndex,
           days: int | None = None) -> Worth:
    """Reads what is new, labels every commit, measures the signals
    (`{family: the engine's signals}`, their events in `events`) and ranks;
    writes ``eval.json``."""
    days = days or kept_days(workspace)
    commits = read_commits(repo, workspace, config, events)
    label(commits, days, events.failed_commits(), szz.label(repo, workspace, commits))
    found = deviations(events, signals)
    upwards = {metric: scores for (metric, way), scores in found.items() if way == "up" and "/" not in metric}
    ranking = build(commits, upwards.get(NOVELTY, {}), days)
    record = {"schema_version": SCHEMA_VERSION, "latest_commit": commits[-1].sha if commits else None,
              "fix_window_days": days, "commits": len(commits), "labels": label_summary(commits, days),
              "ranking": ranking.record(), "rules": rules(commits, found, days)}
    write_text_atomic(workspace / FILE, dumps_pretty(record))
    return Worth({c.sha: c for c in commits}, record, ranking, upwards, fleet_pool.read(workspace))
