"""The fleet file: which repositories a fleet analyses, and how.

    [fleet]
    scheduler = "tcp://scheduler:8786"  # run on a Dask cluster (default: a local process pool)
    workers = 4          # the local pool's processes (default: one per core)
    timeout = 3600       # seconds one repository's analysis may take
    retries = 1          # further attempts for a job whose process or worker was lost
    min_repos = 3        # repositories that must show a pattern for it to become a community pattern

    [[repo]]
    path = "../billing"  # a local repository, relative to this file
    name = "billing"     # its directory in the fleet directory (default: the path's or URL's last part)
    timeout = 600        # this repository's own timeout, in seconds
    scope_days = 14      # any setting of [tool.varnel]: they replace the repository's own

    [[repo]]
    url = "https://git.example.com/team/api.git"   # https, ssh (also user@host:path) or file

The file is checked whole before anything runs, as strictly as a
repository's own settings: an unknown key, a bad value, two repositories
with one name or a URL of another transport is an error naming the entry.
"""

from __future__ import annotations

import os
import re
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

from ..config import Config, ConfigError, checked
from ..files import Refused, read_regular

FLEET_FILE_LIMIT = 4 * 1024 * 1024
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,99}")
# What the fleet directory holds beside its members' workspaces (dot-names are never members' names).
FLEET_KNOWLEDGE = "knowledge.db"
TRACK_RECORD = "track-record.json"
REPORT_FILES = ("report.json", "report.md", "report.html")
MARKER = ".varnel-fleet"
RESERVED = frozenset({FLEET_KNOWLEDGE, TRACK_RECORD, *REPORT_FILES})
# Git transports a fleet may clone over; transport helpers such as ext:: run commands.
TRANSPORTS = ("https", "ssh", "file")
_SCP_LIKE = re.compile(r"[A-Za-z0-9._-]+@[A-Za-z0-9.-]+:[^:].*")
_FLEET_KEYS = {"scheduler": str, "workers": int, "timeout": int, "retries": int, "min_repos": int}
_LARGEST = {"workers": 4096, "timeout": 7 * 86400, "retries": 10, "min_repos": 1_000_000}


@dataclass(frozen=True)
class Member:
    name: str
    path: Path | None = None  # a local repository
    url: str | None = None  # or a git URL, cloned into the fleet directory
    settings: Config | None = None  # None: the repository's own
    timeout: int | None = None  # None: the fleet's


@dataclass(frozen=True)
class Fleet:
    source: Path
    members: tuple[Member, ...]
    scheduler: str | None = None
    workers: int = field(default_factory=lambda: os.cpu_count() or 1)
    timeout: int = 3600
    retries: int = 1
    min_repos: int = 3


def checked_url(url: str, origin: str) -> str:
    """`url` when git would reach it over an allowed transport, else an error."""
    scheme = url.partition("://")[0].lower() if "://" in url else None
    if url.startswith("-") or "::" in url or any(c in url for c in "\0\n\r"):
        raise ConfigError(f"{origin}: url {url!r} is not allowed: only {', '.join(TRANSPORTS)} URLs are cloned")
    if scheme in TRANSPORTS or (scheme is None and _SCP_LIKE.fullmatch(url)):
        return url
    raise ConfigError(f"{origin}: url {url!r} is not allowed: only {', '.join(TRANSPORTS)} URLs are cloned "
                      "(https://..., ssh://... or user@host:path, file://...)")


def redacted(url: str) -> str:
    """`url` as a report may show it: an https URL's user and token, or any password, left out."""
    scheme, sep, rest = url.partition("://")
    if not sep or "@" not in rest.partition("/")[0]:
        return url
    userinfo, _, host = rest.partition("/")[0].rpartition("@")
    kept = "" if scheme.lower() == "https" else userinfo.partition(":")[0] + "@"
    return f"{scheme}://{kept}{host}{rest[len(rest.partition('/')[0]):]}"


def _default_name(member: dict) -> str:
    where = str(member.get("path") or member.get("url") or "")
    last = re.split(r"[/:\\]", where.rstrip("/"))[-1]
    return last.removesuffix(".git") or "repository"


def _member(entry: object, index: int, base: Path) -> Member:
    origin = f"[[repo]] #{index}"
    if not isinstance(entry, dict):
        raise ConfigError(f"{origin}: must be a table")
    entry = dict(entry)
    path, url, name = entry.pop("path", None), entry.pop("url", None), entry.pop("name", None)
    timeout = entry.pop("timeout", None)
    if (path is None) == (url is None):
        raise ConfigError(f"{origin}: give either path (a local repository) or url (one to clone), not "
                          f"{'both' if path is not None else 'neither'}")
    for key, value in (("path", path), ("url", url), ("name", name)):
        if value is not None and (not isinstance(value, str) or not value):
            raise ConfigError(f"{origin}: {key} must be a non-empty string")
    name = name if name is not None else _default_name({"path": path, "url": url})
    origin = f"[[repo]] {name!r}"
    if not _NAME.fullmatch(name) or name in RESERVED:
        raise ConfigError(f"{origin}: not a usable name (letters, digits, '.', '_' and '-', starting with a letter "
                          f"or digit, at most 100; not {', '.join(sorted(RESERVED))}); set name = \"...\"")
    if timeout is not None:
        timeout = _number(timeout, "timeout", origin)
    settings = checked(entry, origin) if entry else None
    if url is not None:
        return Member(name, url=checked_url(url, origin), settings=settings, timeout=timeout)
    return Member(name, path=(base / path).resolve(), settings=settings, timeout=timeout)


def _number(value: object, key: str, origin: str) -> int:
    low = 0 if key == "retries" else 1
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= _LARGEST[key]:
        raise ConfigError(f"{origin}: {key} must be a whole number from {low} to {_LARGEST[key]}")
    return value


def _fleet_settings(table: object) -> dict:
    if not isinstance(table, dict):
        raise ConfigError("[fleet]: must be a table")
    unknown = sorted(set(table) - set(_FLEET_KEYS))
    if unknown:
        raise ConfigError(f"[fleet]: unknown setting(s) {', '.join(unknown)}; known: {', '.join(_FLEET_KEYS)}")
    out = {}
    for key, value in table.items():
        if _FLEET_KEYS[key] is str:
            if not isinstance(value, str) or not value:
                raise ConfigError(f"[fleet]: {key} must be a non-empty string")
            out[key] = value
        else:
            out[key] = _number(value, key, "[fleet]")
    return out


def read_fleet(path: Path) -> Fleet:
    """The fleet the file at `path` describes; ConfigError naming what is wrong."""
    path = Path(path)
    try:
        text = read_regular(path, FLEET_FILE_LIMIT).decode("utf-8")
    except FileNotFoundError:
        raise ConfigError(f"no such fleet file: {path}") from None
    except (Refused, OSError, UnicodeDecodeError) as e:
        raise ConfigError(f"{path}: cannot be read: {e}") from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: {e}") from None
    unknown = sorted(set(document) - {"fleet", "repo"})
    if unknown:
        raise ConfigError(f"{path}: unknown table(s) {', '.join(unknown)}; a fleet file has [fleet] and [[repo]]")
    entries = document.get("repo", [])
    if not isinstance(entries, list) or not entries:
        raise ConfigError(f"{path}: no repositories: add one [[repo]] table per repository")
    base = path.resolve().parent
    try:
        members = [_member(entry, i, base) for i, entry in enumerate(entries, 1)]
        settings = _fleet_settings(document.get("fleet", {}))
    except ConfigError as e:
        raise ConfigError(f"{path}: {e}") from None
    named: dict[str, Member] = {}
    sources: dict[str, Member] = {}
    for member in members:
        other = named.setdefault(member.name.lower(), member)
        if other is not member:
            raise ConfigError(f"{path}: two repositories named {other.name} and {member.name} (names are compared "
                              "without case); give each a name = \"...\"")
        # The same repository twice would count twice towards a community pattern and the pooled record.
        source = member.url.rstrip("/").removesuffix(".git") if member.url else str(member.path)
        other = sources.setdefault(source, member)
        if other is not member:
            raise ConfigError(f"{path}: {other.name} and {member.name} are the same repository "
                              f"({redacted(member.url) if member.url else member.path}); list it once")
    return Fleet(path.resolve(), tuple(members), **settings)
