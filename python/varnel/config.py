"""Settings of one repository, from ``[tool.varnel]`` in its pyproject.toml
or from a ``.varnel.toml`` beside it (which wins when both exist).

    [tool.varnel]
    window = 50                  # observations in a metric's rolling history
    min_baseline = 5             # observations needed before judging a metric
    significance_threshold = 1.5 # robust deviations that make a change significant
    direction_threshold = 1.5    # robust deviations that count as a movement in patterns
    scope_days = 30              # the advisory speaks about the last N days
    exclude_paths = ["vendor/**", "third_party/**", "*.lock", ...]  # left out of the git metrics
    bot_authors = ["dependabot[bot]", ...]                          # their commits are left out

Every key is optional; unknown keys are an error, so a typo never passes
silently.
"""

from __future__ import annotations

import fnmatch
import re
import tomllib
from dataclasses import dataclass, field, fields
from functools import cached_property
from pathlib import Path

DEFAULT_EXCLUDES = (
    "vendor/**", "third_party/**", "node_modules/**", "dist/**", "build/**",
    "*.lock", "package-lock.json", "pnpm-lock.yaml", "go.sum", "*.min.js", "*.generated.*",
)
DEFAULT_BOTS = ("dependabot[bot]", "renovate[bot]", "github-actions[bot]")


class ConfigError(ValueError):
    """A settings file that cannot be used as it stands."""


@dataclass(frozen=True, eq=True)
class Config:
    window: int = 50
    min_baseline: int = 5
    significance_threshold: float = 1.5
    direction_threshold: float = 1.5
    scope_days: int = 30
    exclude_paths: tuple[str, ...] = DEFAULT_EXCLUDES
    bot_authors: tuple[str, ...] = DEFAULT_BOTS
    source: str = field(default="defaults", compare=False)

    @cached_property
    def _exclusion(self) -> re.Pattern | None:
        if not self.exclude_paths:
            return None
        return re.compile("|".join(f"(?:{fnmatch.translate(p)})" for p in self.exclude_paths))

    def excluded(self, path: str) -> bool:
        """Whether a repository path (or its file name) matches an excluded pattern."""
        if self._exclusion is None:
            return False
        return self._exclusion.match(path) is not None or self._exclusion.match(path.rsplit("/", 1)[-1]) is not None

    def is_bot(self, author: str) -> bool:
        """Whether an author ("Name <email>") is one of the configured bots."""
        name = author.split(" <", 1)[0]
        return name in self.bot_authors


def _checked(table: dict, origin: str) -> Config:
    known = {f.name: f for f in fields(Config) if f.name != "source"}
    unknown = sorted(set(table) - set(known))
    if unknown:
        raise ConfigError(f"{origin}: unknown setting(s) {', '.join(unknown)}; known: {', '.join(known)}")
    values = {}
    for key, value in table.items():
        default = getattr(Config, key)
        if isinstance(default, tuple):
            if not (isinstance(value, list) and all(isinstance(v, str) for v in value)):
                raise ConfigError(f"{origin}: {key} must be a list of strings")
            values[key] = tuple(value)
        elif isinstance(default, int):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ConfigError(f"{origin}: {key} must be a whole number of at least 1")
            values[key] = value
        else:
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                raise ConfigError(f"{origin}: {key} must be a number above 0")
            values[key] = float(value)
    return Config(**values, source=origin)


def load_config(repo: Path) -> Config:
    """The repository's settings, or the defaults when it has none."""
    repo = Path(repo)
    own = repo / ".varnel.toml"
    pyproject = repo / "pyproject.toml"
    try:
        if own.is_file():
            return _checked(tomllib.loads(own.read_text(encoding="utf-8")), str(own))
        if pyproject.is_file():
            table = tomllib.loads(pyproject.read_text(encoding="utf-8")).get("tool", {}).get("varnel")
            if table is not None:
                return _checked(table, f"{pyproject} [tool.varnel]")
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{own if own.is_file() else pyproject}: {e}") from e
    return Config()
