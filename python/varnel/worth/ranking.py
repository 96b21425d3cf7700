"""A risk ranking learned from the repository's own history: which commits
are most likely to be blamed for a bug later.

A logistic model over the commit's features (`varnel.worth.features`) is
fitted on the commits whose follow-up has had its time (older than the
``szz`` label leaves open), mechanical kinds left out (they are ranked last). It is measured in
time order: fitted on the older `TRAIN_SHARE` of those commits and tested on
the newer rest, so the record a report quotes is what the ranking did on
commits it had not seen; the ranking a report uses is then fitted on all of
them. A history with too few labelled commits uses the prior shipped with
varnel (`PRIOR`, fitted on public histories; its ``fitted`` field says how),
measured on whatever labelled commits the history has.

A commit is worth a second look when its risk is in the repository's top
`TOP_SHARE` of commits, mechanical ones ranked below every other (they are
never listed, and the measured record ranks them so too). Its reasons are the features that
raise its risk most, in words, with the deviations of the git metrics the
settings let speak (`quiet_metrics` silences one).
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .._vocabulary import RANKING_REASONS
from .features import NAMES, Commit, counts, matrix
from .kinds import MECHANICAL
from .model import Model, auc, fit, top_share
from .szz import is_fix
from .track_record import closed

PRIOR = Path(__file__).with_name("prior.json")
TOP_SHARE = 0.05
TRAIN_SHARE = 0.6
MIN_CLOSED, MIN_POSITIVES = 200, 20  # below these a history's own model is not trusted, nor measured
MIN_TOP = 10  # a measured top share of fewer commits proves nothing
NOVELTY_CAP = 10.0
# Git metrics of a commit's size and spread (the vocabulary's ranking reasons): their deviations are
# weighed by the ranking (its features measure the same), upward ones named among a commit's reasons,
# rather than findings of their own; the reason group each belongs to, and its words in a reason.
DEVIATION_GROUPS = {metric: group for metric, (group, _) in RANKING_REASONS.items()}
_METRIC_WORDS = {metric: words for metric, (_, words) in RANKING_REASONS.items()}
# The git metric whose upward deviations are a commit's co-change novelty feature.
NOVELTY = next(metric for metric, group in DEVIATION_GROUPS.items() if group == "novelty")


def is_reason(family: str, metric: str) -> bool:
    """Whether a deviation is one the ranking weighs, not a finding."""
    return family == "git" and metric in DEVIATION_GROUPS

_GROUPS = {"lines_added": "size", "lines_deleted": "size", "files": "diffusion", "directories": "diffusion",
           "subsystems": "diffusion", "entropy": "diffusion", "fix": "fix", "file_changes": "history",
           "file_authors": "authors", "file_fix_share": "history", "author_commits": "experience",
           "cochange_novelty": "novelty"}


@dataclass
class Ranking:
    model: Model
    source: str  # "here" (fitted on this history) or "prior"
    trained_on: int
    held_out: dict | None  # the measured record, or None when nothing here could measure it
    threshold: float  # the risk at the top share
    risk: dict[str, float] = field(default_factory=dict)
    rows: dict[str, dict] = field(default_factory=dict)

    def record(self) -> dict:
        return {"source": self.source, "top_share": TOP_SHARE, "trained_on": self.trained_on,
                "risk_threshold": round(self.threshold, 6), "held_out": self.held_out,
                "model": self.model.record()}

    @property
    def proven(self) -> bool:
        """Whether its measured top share here was later blamed at least twice as often as average."""
        return proven(self.held_out)

    def second_look(self, shas, deviations: dict[str, dict[str, float]], quiet: frozenset[str],
                    threshold: float) -> list[dict]:
        """``{"commit", "risk", "reasons"}`` of the commits of `shas` (None:
        every commit) in the top share, riskiest first. `deviations` is
        {git metric: {commit: deviation up}}."""
        chosen = [sha for sha, risk in self.risk.items() if risk >= self.threshold
                  and (shas is None or sha in shas)]
        chosen.sort(key=lambda sha: (-self.risk[sha], sha))
        return [{"commit": sha, "risk": round(self.risk[sha], 4),
                 "reasons": self.reasons(sha, deviations, quiet, threshold)} for sha in chosen]

    def reasons(self, sha: str, deviations: dict[str, dict[str, float]], quiet: frozenset[str],
                threshold: float, most: int = 3) -> list[str]:
        """The groups of features that raise this commit's risk most, in words:
        a feature counts only where it is above the usual and raises risk
        there (below the usual and lowering risk, for the author's experience)."""
        row = self.rows[sha]
        z = (matrix([row])[0] - np.asarray(self.model.mean)) / np.asarray(self.model.scale)
        groups: dict[str, float] = {}
        for name, weight, value in zip(self.model.names, self.model.weights, z):
            raises = weight < 0 and value < 0 if name in _LOWER_RISKS else weight > 0 and value > 0
            if raises and (name not in _PRESENT or row[name] > 0):
                groups[_GROUPS[name]] = groups.get(_GROUPS[name], 0.0) + float(weight * value)
        far: dict[str, list[str]] = {}
        for metric, group in DEVIATION_GROUPS.items():
            value = deviations.get(metric, {}).get(sha, 0.0)
            if value >= threshold and f"git/{metric}" not in quiet:
                far.setdefault(group, []).append(f"{_METRIC_WORDS[metric]} {value:.1f} deviations above "
                                                 "its usual here")
                groups[group] = max(groups.get(group, 0.0), 1e-9)
        ranked = sorted(groups, key=lambda g: -groups[g])[:most]
        return [_WORDS[group](row) + (f" ({'; '.join(far[group])})" if group in far else "") for group in ranked]


# Features that raise risk when low (a newcomer's commit), and those that say nothing when absent.
_LOWER_RISKS = frozenset({"author_commits"})
_PRESENT = frozenset({"fix", "cochange_novelty", "file_changes"})


def _n(value: float, one: str, many: str) -> str:
    value = int(value)
    return f"{value:,} {one if value == 1 else many}"


_WORDS = {
    "size": lambda r: f"adds {_n(r['lines_added'], 'line', 'lines')} and deletes {r['lines_deleted']:,}",
    "diffusion": lambda r: f"touches {_n(r['files'], 'file', 'files')} in "
                           f"{_n(r['directories'], 'directory', 'directories')}",
    "fix": lambda r: "is itself a fix",
    "history": lambda r: (f"its files had {r['file_changes']:,} earlier changes, {r['file_fixes']:,} of them in "
                          "fix commits (counted per file)"),
    "authors": lambda r: f"its files had {_n(r['file_authors'], 'author', 'authors')} before",
    "experience": lambda r: (f"its author had only {_n(r['author_commits'], 'commit', 'commits')} here before"
                             if r["author_commits"] else "its author's first commit here"),
    "novelty": lambda r: "changes files together that had seldom changed together before",
}


def measured(held: dict | None) -> bool:
    """Whether a measured top share (this history's held-out record, or a
    fleet's pooled one) holds at least `MIN_TOP` commits and a lift: enough to tell."""
    return bool(held and held["top"] >= MIN_TOP and held["lift"] is not None)


def proven(held: dict | None) -> bool:
    """Whether a measured top share was later blamed at least twice as often as average."""
    return measured(held) and held["lift"] >= 2.0


def _measure(scores: np.ndarray, y: np.ndarray) -> dict | None:
    """What a ranking's `scores` did on commits of labels `y`: its AUC and its top share's precision."""
    if len(y) == 0 or y.min() == y.max():
        return None
    top = top_share(scores, TOP_SHARE)
    base = float(y.mean())
    precision = float(y[top].mean())
    return {"commits": int(len(y)), "positives": int(y.sum()), "base_rate": round(base, 6),
            "auc": round(auc(scores, y), 6), "top": int(top.sum()), "precision": round(precision, 6),
            "lift": round(precision / base, 6) if base else None}


def load_prior() -> Model:
    return Model.from_record(json.loads(PRIOR.read_text(encoding="utf-8"))["model"])


def _rows(commits: list[Commit], novelty: dict[str, float]) -> list[dict]:
    rows = counts(commits, is_fix)
    for c, row in zip(commits, rows):
        row["cochange_novelty"] = min(max(novelty.get(c.sha, 0.0), 0.0), NOVELTY_CAP)
    return rows


def _scores(model: Model, x: np.ndarray, mechanical: np.ndarray) -> np.ndarray:
    """Risks, mechanical commits below every other (they are never ranked)."""
    scores = model.risk(x) if len(x) else np.zeros(0)
    scores[mechanical] = -1.0
    return scores


def _labelled(commits: list[Commit], features: np.ndarray, days: int):
    """Features (rows of `features`, every commit's), ``szz`` labels and
    mechanical kinds of the commits whose follow-up has had its time."""
    done = {c.sha for c in closed(commits, "szz", days)}
    at = [i for i, c in enumerate(commits) if c.sha in done]
    return (features[at], np.array([commits[i].labels.get("szz", 0.0) for i in at]),
            np.array([commits[i].kind in MECHANICAL for i in at], dtype=bool))


def held_out(commits: list[Commit], novelty: dict[str, float], days: int) -> tuple[np.ndarray, np.ndarray] | None:
    """The ranking's scores for the newer labelled commits when fitted on the
    older ones (non-mechanical), and their labels; None when the history has too few."""
    return _held_out(*_labelled(commits, matrix(_rows(commits, novelty)), days))


def _held_out(x: np.ndarray, y: np.ndarray, mechanical: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    cut = int(len(y) * TRAIN_SHARE)
    trained = ~mechanical[:cut]
    if trained.sum() < MIN_CLOSED or y[:cut][trained].sum() < MIN_POSITIVES:
        return None
    model = fit(NAMES, x[:cut][trained], y[:cut][trained])
    return _scores(model, x[cut:], mechanical[cut:]), y[cut:]


def build(commits: list[Commit], novelty: dict[str, float], days: int) -> Ranking:
    """The ranking of `commits` (in history order, labelled, with their facts);
    `novelty` is each commit's co-change novelty deviation upwards."""
    rows = _rows(commits, novelty)
    features = matrix(rows)
    x, y, mechanical = _labelled(commits, features, days)
    tested = _held_out(x, y, mechanical)
    if tested is not None:
        model, source, trained = fit(NAMES, x[~mechanical], y[~mechanical]), "here", int((~mechanical).sum())
        measured = _measure(*tested)
    else:
        model, source, trained = load_prior(), "prior", 0
        measured = _measure(_scores(model, x, mechanical), y) if len(y) >= MIN_CLOSED else None
    ranking = Ranking(model, source, trained, measured, math.inf)
    every = np.array([c.kind in MECHANICAL for c in commits], dtype=bool)
    if len(commits) and not every.all():
        scores = _scores(model, features, every)
        ranking.threshold = max(float(np.sort(scores)[::-1][max(1, int(round(len(scores) * TOP_SHARE))) - 1]), 0.0)
        eligible = [(c, row, float(s)) for c, row, s in zip(commits, rows, scores) if c.kind not in MECHANICAL]
        ranking.risk = {c.sha: s for c, _, s in eligible}
        ranking.rows = {c.sha: row for c, row, _ in eligible}
    return ranking
