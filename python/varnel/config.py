"""Settings of one repository, from ``[tool.varnel]`` in its pyproject.toml
or from a ``.varnel.toml`` beside it (which wins when both exist).

    [tool.varnel]
    window = 50                  # observations in a metric's rolling history
    min_baseline = 5             # observations needed before judging a metric
    significance_threshold = 3.0 # robust deviations that make a change significant (chosen by `varnel eval`)
    direction_threshold = 1.5    # robust deviations that count as a movement in patterns
    scope_days = 30              # the advisory speaks about the last N days
    exclude_paths = ["vendor/**", "third_party/**", "*.lock", ...]  # left out of the git metrics
    bot_authors = ["*[bot]", "renovate*", ...]  # name or address patterns; their commits are left out
    fixture_dirs = ["tests", "examples", ...]  # directories whose manifests, API documents and .tf files are not the project's
    keep_unrelated_histories = false  # also collect commits of histories merged in without a common ancestor
    quiet_metrics = ["git/change_locality", ...]  # never concerns, never reasons in the risk ranking
    scope = "my-service"         # the name reports give the repository (default: its origin's name)

Every key is optional; unknown keys are an error, so a typo never passes
silently. A repository's settings are read as untrusted input: a settings
file is read up to `SETTINGS_SIZE_LIMIT` bytes, a list holds at most
`MAX_ENTRIES` strings of at most `MAX_TEXT` characters each and
`MAX_LIST_TEXT` in all, and every pattern is matched without backtracking
(`fnmatch`'s translation matches each "*" once, lazily and atomically), so
no setting can make a run hang.

The settings tune the analysis only: no setting names a directory to write
or a service to reach, so a repository's own settings cannot point varnel
outside its workspace or at another host, and a settings file that is a
link is refused (it could make varnel read a file outside the repository).
A CI gate that should not let a pull request change its own settings reads
them from a file of its own (``--settings FILE``) or from a named commit
such as the base branch (``--settings-from REV``).
"""

from __future__ import annotations

import fnmatch
import json
import os
import re
import stat
import tomllib
from dataclasses import dataclass, field, fields
from functools import cached_property
from pathlib import Path
from typing import Iterable

from ._vocabulary import QUIET
from .errors import UsageError
from .git import CollectError, commit_id, git
from .files import Refused, kind_of, read_regular

DEFAULT_EXCLUDES = (
    "vendor/**", "third_party/**", "node_modules/**", "dist/**", "build/**",
    # Libraries copied into the source tree, at any depth ("*" also spans "/").
    "_vendor/**", "*/_vendor/*", "vendored/**", "*/vendored/*",
    "*.lock", "package-lock.json", "pnpm-lock.yaml", "go.sum", "*.min.js", "*.generated.*",
)
# Bot authors, as patterns matched against the author's name and address
# (case-insensitive): GitHub apps sign as "<name>[bot]" with a
# "<id>+<name>[bot]@users.noreply.github.com" address; other bots by name.
DEFAULT_BOTS = ("*[bot]", "*[bot]@users.noreply.github.com", "* bot", "*-bot", "*_bot", "dependabot*",
                "renovate*", "greenkeeper*", "snyk-bot", "pyup-bot", "mergify*", "allcontributors*",
                "semantic-release*", "github-actions", "pre-commit-ci*", "imgbot*", "weblate")

# Directories (names, "*" a wildcard, matched without case at any depth)
# whose manifests, lock files, API documents and .tf files are test data,
# examples or snapshots rather than the project's own; they still count in
# the commit metrics.
DEFAULT_FIXTURES = ("test", "tests", "testdata", "test-data", "test_data", "testsuite", "fixture", "fixtures",
                    "__fixtures__", "__tests__", "example", "examples", "sample", "samples", "snapshots",
                    "__snapshots__")


# FAMILY/METRIC keys whose movements the report lists among the other
# movements, never as concerns, and never gives as a reason in the risk
# ranking: the vocabulary's quiet metrics (it says why each is quiet).
DEFAULT_QUIET: tuple[str, ...] = QUIET


class ConfigError(UsageError, ValueError):
    """A settings file that cannot be used as it stands."""


@dataclass(frozen=True, eq=True)
class Config:
    window: int = 50
    min_baseline: int = 5
    # Chosen for volume (the threshold barely moves how often flagged commits are later blamed for bugs):
    # over the last 52 weeks of five public histories the report's findings at 3 stay within 5% of the
    # commits, at 2 they do not (bench/level_frequency.py).
    significance_threshold: float = 3.0
    direction_threshold: float = 1.5
    scope_days: int = 30
    exclude_paths: tuple[str, ...] = DEFAULT_EXCLUDES
    bot_authors: tuple[str, ...] = DEFAULT_BOTS
    fixture_dirs: tuple[str, ...] = DEFAULT_FIXTURES
    keep_unrelated_histories: bool = False
    quiet_metrics: tuple[str, ...] = DEFAULT_QUIET
    scope: str = ""  # the name reports give the repository; its origin's or directory's by default
    source: str = field(default="defaults", compare=False)

    @cached_property
    def _bots(self) -> re.Pattern | None:
        # Only "*" is a wildcard: "[bot]" is the literal suffix, not a set of letters.
        return globs(p.lower().replace("[", "[[]").replace("?", "[?]") for p in self.bot_authors)

    @cached_property
    def _exclusion(self) -> re.Pattern | None:
        return globs(self.exclude_paths)

    @cached_property
    def _fixtures(self) -> re.Pattern | None:
        return globs(p.lower() for p in self.fixture_dirs)

    def in_fixtures(self, path: str) -> bool:
        """Whether a repository path lies below a fixture, example or snapshot directory."""
        return self._fixtures is not None and any(self._fixtures.match(part.lower())
                                                  for part in path.split("/")[:-1])

    def excluded(self, path: str) -> bool:
        """Whether a repository path (or its file name) matches an excluded pattern."""
        if self._exclusion is None:
            return False
        return self._exclusion.match(path) is not None or self._exclusion.match(path.rsplit("/", 1)[-1]) is not None

    def is_bot(self, author: str) -> bool:
        """Whether an author ("Name <email>") matches a bot pattern, by name or by address."""
        if self._bots is None:
            return False
        name, _, email = author.partition(" <")
        return any(self._bots.match(part.lower()) for part in (name, email.rstrip(">")) if part)


def globs(patterns: Iterable[str]) -> re.Pattern | None:
    """One expression matching any of the glob `patterns` whole; None for none.
    `fnmatch.translate` makes each "*" an atomic lazy group, so a match never
    backtracks into an earlier star: time stays linear in the stars."""
    translated = [f"(?:{fnmatch.translate(p)})" for p in patterns]
    return re.compile("|".join(translated)) if translated else None


_LARGEST = 1_000_000  # far past any useful window or threshold, and within what the engines take
# Matching a path costs time in proportion to the patterns' length, so a
# list is bounded in all: at most a few milliseconds a path, however shaped.
MAX_ENTRIES = 200  # strings in one list setting
MAX_TEXT = 256  # characters in one string or pattern
MAX_LIST_TEXT = 2_048  # characters in all the strings of one list
SETTINGS_SIZE_LIMIT = 4 * 1024 * 1024  # bytes of a settings file (a pyproject.toml is a few kilobytes)


def _text_setting(value: str, origin: str, key: str) -> str:
    if len(value) > MAX_TEXT:
        raise ConfigError(f"{origin}: {key} has an entry of {len(value)} characters; at most {MAX_TEXT} are read")
    return value


def checked(table: dict, origin: str) -> Config:
    """The settings a table holds, every key and value checked; `origin` names it in errors."""
    known = {f.name: f for f in fields(Config) if f.name != "source"}
    unknown = sorted(set(table) - set(known))
    if unknown:
        raise ConfigError(f"{origin}: unknown setting(s) {', '.join(unknown)}; known: {', '.join(known)}")
    values = {}
    for key, value in table.items():
        default = getattr(Config, key)
        if isinstance(default, bool):
            if not isinstance(value, bool):
                raise ConfigError(f"{origin}: {key} must be true or false")
            values[key] = value
        elif isinstance(default, str):
            if not isinstance(value, str):
                raise ConfigError(f"{origin}: {key} must be a string")
            values[key] = _text_setting(value, origin, key)
        elif isinstance(default, tuple):
            if not (isinstance(value, list) and all(isinstance(v, str) for v in value)):
                raise ConfigError(f"{origin}: {key} must be a list of strings")
            if len(value) > MAX_ENTRIES:
                raise ConfigError(f"{origin}: {key} has {len(value)} entries; at most {MAX_ENTRIES} are read")
            if (total := sum(map(len, value))) > MAX_LIST_TEXT:
                raise ConfigError(f"{origin}: {key} holds {total} characters in all; at most {MAX_LIST_TEXT} are read")
            values[key] = tuple(_text_setting(v, origin, key) for v in value)
        elif isinstance(default, int):
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= _LARGEST:
                raise ConfigError(f"{origin}: {key} must be a whole number from 1 to {_LARGEST}")
            values[key] = value
        else:
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= _LARGEST:
                raise ConfigError(f"{origin}: {key} must be a number above 0 and at most {_LARGEST}")
            values[key] = float(value)
    return Config(**values, source=origin)


SETTINGS_FILE = ".varnel.toml"


def settings_text(config: Config) -> str:
    """`config` as the text of a settings file (.varnel.toml's form) that reads back as it."""
    def value(v) -> str:
        if isinstance(v, bool):
            return "true" if v else "false"
        if isinstance(v, (int, float)):
            return repr(v)
        if isinstance(v, tuple):
            return "[" + ", ".join(map(value, v)) + "]"
        # A TOML basic string: JSON's escapes are TOML's, but for DEL, which TOML also wants escaped.
        return json.dumps(v, ensure_ascii=False).replace("\x7f", "\\u007f")
    return "".join(f"{f.name} = {value(getattr(config, f.name))}\n" for f in fields(Config) if f.name != "source")


def _parse(text: str, origin: str, pyproject: bool) -> Config | None:
    """The settings a file's text holds; None for a pyproject.toml without [tool.varnel]."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{origin}: {e}") from e
    if not pyproject:
        return checked(document, origin)
    table = document.get("tool", {}).get("varnel")
    return None if table is None else checked(table, f"{origin} [tool.varnel]")


def _read_text(path: Path) -> str:
    try:
        return read_regular(path, SETTINGS_SIZE_LIMIT).decode("utf-8")
    except Refused as e:
        raise ConfigError(f"{path}: {e}") from None
    except (OSError, UnicodeDecodeError) as e:
        raise ConfigError(f"{path}: cannot be read: {e}") from e


def settings_file(path: Path) -> Config:
    """The settings of one file named on the command line: [tool.varnel] of a
    pyproject.toml, else the whole file as in .varnel.toml."""
    path = Path(path)
    if not path.exists():
        raise ConfigError(f"--settings: no such file: {path}")
    return _parse(_read_text(path), str(path), path.name == "pyproject.toml") or Config(source=str(path))


def _repository_file(repo: Path, name: str) -> Path | None:
    """`name` at the repository's top level, None when it is not there; a
    link or anything but a regular file is refused."""
    path = repo / name
    try:
        mode = os.lstat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return None
    if stat.S_ISLNK(mode):
        raise ConfigError(f"{path}: a settings file that is a link is not read; use --settings FILE")
    if not stat.S_ISREG(mode):
        raise ConfigError(f"{path}: a {kind_of(mode)}, not a settings file; use --settings FILE")
    return path


def load_config(repo: Path) -> Config:
    """The repository's settings, or the defaults when it has none."""
    repo = Path(repo)
    for name in (SETTINGS_FILE, "pyproject.toml"):
        path = _repository_file(repo, name)
        if path is not None:
            found = _parse(_read_text(path), str(path), name == "pyproject.toml")
            if found is not None:
                return found
    return Config()


def settings_at(repo: Path, rev: str) -> Config:
    """The repository's settings as committed at `rev` (the base branch, say)."""
    commit = commit_id(repo, rev)
    if commit is None:
        raise ConfigError(f"--settings-from: not a commit in {repo}: {rev}")
    listing = git(repo, "ls-tree", "-z", commit, "--", SETTINGS_FILE, "pyproject.toml").split(b"\0")
    blobs = {}
    for entry in filter(None, listing):
        info, _, name = entry.partition(b"\t")
        mode, kind, oid = info.split()
        if kind == b"blob" and mode != b"120000":
            blobs[name.decode("utf-8", "replace")] = oid.decode()
    for name in (SETTINGS_FILE, "pyproject.toml"):
        if name in blobs:
            try:
                size = int(git(repo, "cat-file", "-s", blobs[name]))
                if size > SETTINGS_SIZE_LIMIT:
                    raise ConfigError(f"{rev}:{name}: {size} bytes, over the {SETTINGS_SIZE_LIMIT} bytes varnel "
                                      "reads of such a file")
                text = git(repo, "cat-file", "blob", blobs[name]).decode("utf-8")
            except CollectError as e:  # a partial clone without it, say
                raise ConfigError(f"{rev}:{name}: cannot be read: {e}") from e
            except UnicodeDecodeError as e:
                raise ConfigError(f"{rev}:{name}: not UTF-8") from e
            found = _parse(text, f"{rev}:{name}", name == "pyproject.toml")
            if found is not None:
                return found
    return Config(source=f"{rev} (no settings there: the defaults)")
