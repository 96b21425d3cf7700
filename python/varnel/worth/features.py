"""What the risk ranking knows of each commit: the features just-in-time
defect prediction uses (size, diffusion, purpose, the touched files'
history, the author's experience here), each read only from the commit and
the commits before it, and varnel's own co-change novelty.

Counts enter the model as log(1 + n), so a commit of 2,000 lines is not 100
times one of 20; the words of a reason use the counts themselves.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from operator import itemgetter

import numpy as np

NAMES = ("lines_added", "lines_deleted", "files", "directories", "subsystems", "entropy", "fix", "file_changes",
         "file_authors", "file_fix_share", "author_commits", "cochange_novelty")
_LOGGED = frozenset({"lines_added", "lines_deleted", "files", "directories", "subsystems", "file_changes",
                     "file_authors", "author_commits"})
_LOG_COLUMNS = [i for i, name in enumerate(NAMES) if name in _LOGGED]


@dataclass
class Commit:
    """One collected commit as the ranking and the track record see it."""

    sha: str
    time: float  # epoch seconds
    author: str
    message: str
    files: list[str]  # changed, the settings' excluded paths left out
    added: int = 0
    deleted: int = 0
    entropy: float = 0.0  # bits: how evenly the changed lines spread over the files
    kind: str = "code"
    labels: dict[str, float] = field(default_factory=dict)

    @property
    def subject(self) -> str:
        return self.message.split("\n", 1)[0]

    @property
    def lines(self) -> int:
        return self.added + self.deleted


def _directory(path: str) -> str:
    return path.rpartition("/")[0]


def _subsystem(path: str) -> str:
    return path.partition("/")[0] if "/" in path else ""


def counts(commits: list[Commit], is_fix) -> list[dict[str, float]]:
    """Each commit's features as plain numbers (before the log), oldest
    first; `commits` must be in history order."""
    # One pass over every commit's files (a large history holds millions), so one lookup per file:
    # path -> [changes, fixes, authors] before the commit at hand.
    past: dict[str, list] = {}
    experience: dict[str, int] = {}
    out = []
    for c in commits:
        past_changes = past_fixes = 0
        past_authors: set[str] = set()
        directories, subsystems = set(), set()
        for f in c.files:
            known = past.get(f)
            if known is not None:
                past_changes += known[0]
                past_fixes += known[1]
                past_authors |= known[2]
            directories.add(_directory(f))
            subsystems.add(_subsystem(f))
        fix = is_fix(c.message)
        out.append({
            "lines_added": c.added, "lines_deleted": c.deleted, "files": len(c.files),
            "directories": len(directories), "subsystems": len(subsystems),
            "entropy": c.entropy, "fix": float(fix), "file_changes": past_changes, "file_authors": len(past_authors),
            "file_fix_share": past_fixes / past_changes if past_changes else 0.0,
            "author_commits": experience.get(c.author, 0), "cochange_novelty": 0.0,
            "file_fixes": past_fixes,
        })
        for f in c.files:
            known = past.get(f)
            if known is None:
                past[f] = [1, int(fix), {c.author}]
            else:
                known[0] += 1
                known[1] += fix
                known[2].add(c.author)
        experience[c.author] = experience.get(c.author, 0) + 1
    return out


def matrix(rows: list[dict[str, float]]) -> np.ndarray:
    columns = itemgetter(*NAMES)
    x = np.array([columns(row) for row in rows], dtype=float).reshape(len(rows), len(NAMES))
    x[:, _LOG_COLUMNS] = np.log1p(x[:, _LOG_COLUMNS])
    return x


def entropy(lines_per_file: list[int]) -> float:
    """Shannon entropy, in bits, of a change's lines over its files."""
    total = sum(lines_per_file)
    if total <= 0:
        return 0.0
    return -sum(n / total * math.log2(n / total) for n in lines_per_file if n > 0)
