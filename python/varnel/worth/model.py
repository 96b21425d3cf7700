"""A logistic model and the measures a ranking is judged by.

The model is fitted by Newton's method (iteratively reweighted least
squares) on standardised features with a small ridge penalty, which keeps
it defined when a feature never varies or separates the labels perfectly.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

RIDGE = 1.0  # penalty on the squared weights (not the intercept), in units of one commit's log-likelihood
_ITERATIONS = 50


@dataclass(frozen=True)
class Model:
    names: tuple[str, ...]
    mean: tuple[float, ...]
    scale: tuple[float, ...]
    weights: tuple[float, ...]  # per standardised feature
    intercept: float

    def contributions(self, x: np.ndarray) -> np.ndarray:
        """Each feature's share of the log-odds, per row."""
        return (x - np.asarray(self.mean)) / np.asarray(self.scale) * np.asarray(self.weights)

    def risk(self, x: np.ndarray) -> np.ndarray:
        return 1.0 / (1.0 + np.exp(-(self.contributions(x).sum(axis=1) + self.intercept)))

    def record(self) -> dict:
        return {"features": list(self.names), "mean": list(self.mean), "scale": list(self.scale),
                "weights": list(self.weights), "intercept": self.intercept}

    @classmethod
    def from_record(cls, record: dict) -> "Model":
        return cls(tuple(record["features"]), tuple(record["mean"]), tuple(record["scale"]),
                   tuple(record["weights"]), float(record["intercept"]))


def fit(names: tuple[str, ...], x: np.ndarray, y: np.ndarray) -> Model:
    mean = x.mean(axis=0)
    scale = x.std(axis=0)
    scale[scale == 0] = 1.0
    z = np.hstack([np.ones((len(x), 1)), (x - mean) / scale])
    penalty = np.full(z.shape[1], RIDGE)
    penalty[0] = 0.0
    w = np.zeros(z.shape[1])
    base = min(max(float(y.mean()) if len(y) else 0.5, 1e-6), 1 - 1e-6)
    w[0] = np.log(base / (1 - base))
    if len(y) and y.min() != y.max():
        for _ in range(_ITERATIONS):
            p = 1.0 / (1.0 + np.exp(-z @ w))
            gradient = z.T @ (y - p) - penalty * w
            hessian = (z * (p * (1 - p))[:, None]).T @ z + np.diag(penalty) + 1e-9 * np.eye(len(w))
            step = np.linalg.solve(hessian, gradient)
            # Halve a step that would lower the penalised likelihood: Newton overshoots on rare labels.
            while _objective(z, y, w + step, penalty) < _objective(z, y, w, penalty) and np.max(np.abs(step)) > 1e-12:
                step /= 2
            w += step
            if np.max(np.abs(step)) < 1e-8:
                break
    return Model(tuple(names), tuple(float(v) for v in mean), tuple(float(v) for v in scale),
                 tuple(float(v) for v in w[1:]), float(w[0]))


def _objective(z: np.ndarray, y: np.ndarray, w: np.ndarray, penalty: np.ndarray) -> float:
    """The penalised log-likelihood of weights `w`."""
    margin = z @ w
    return float(np.sum(y * margin - np.logaddexp(0.0, margin)) - 0.5 * np.sum(penalty * w * w))


def auc(scores, labels) -> float | None:
    """The chance that a positive outranks a negative (ties count half);
    None without both."""
    scores, labels = np.asarray(scores, dtype=float), np.asarray(labels, dtype=bool)
    positives, negatives = int(labels.sum()), int((~labels).sum())
    if not positives or not negatives:
        return None
    order = scores.argsort(kind="mergesort")
    ranks = np.empty(len(scores))
    ranks[order] = np.arange(1, len(scores) + 1)
    sorted_scores = scores[order]
    # Equal scores share the mean of their ranks.
    starts = np.r_[0, np.flatnonzero(np.diff(sorted_scores)) + 1]
    ends = np.r_[starts[1:], len(scores)]
    for start, end in zip(starts, ends):
        if end - start > 1:
            ranks[order[start:end]] = (start + end + 1) / 2
    return float((ranks[labels].sum() - positives * (positives + 1) / 2) / (positives * negatives))


def top_share(scores, share: float) -> np.ndarray:
    """Whether each score is among the highest `share` (at least one)."""
    scores = np.asarray(scores, dtype=float)
    count = max(1, int(round(len(scores) * share)))
    order = np.argsort(-scores, kind="mergesort")
    chosen = np.zeros(len(scores), dtype=bool)
    chosen[order[:count]] = True
    return chosen
