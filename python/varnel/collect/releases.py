"""Releases: the repository's version tags.

A tag is a release when its name, after an optional prefix ending in "/" or
"@" (monorepo tags such as "api/v1.2.0" or "pkg@1.2.0") and an optional
"v", is a version: semantic (1.2.0, 1.2.0-rc.1+build.5) or PEP 440 (1.2,
1.2.0rc1, 2.0.dev3). Other tags ("deploy-staging") are passed over.

A release is a pre-release when its semantic version has a pre-release part
or, for other versions, when the version is a pre- or development release;
"1.0.0-1" is semantic, so a pre-release. It happened when the tag was made
(the tagger's date, or the commit's date for a lightweight tag), and the
cadence is the time since the previous release in time order. A tag is not
a release page: it has no attached files, so `asset_count` is 0.

Only tags reachable from HEAD are releases of the history being analysed:
a tag on a branch that was abandoned, or not merged yet, is not.

Releases are few and their cadence depends on their neighbours, so every
run reads all tags again and rewrites only the event files that changed.
"""

from __future__ import annotations

import hashlib
import re
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path

from packaging.version import InvalidVersion, Version

from .events import EventTooLarge, epoch_utc_text, too_large_warning, write_event_if_changed
from ..git import git, has_commits, text

PREFIX = "release-"
_SEMVER = re.compile(
    r"(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)"
    r"(?:-((?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*)(?:\.(?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*))*))?"
    r"(?:\+[0-9a-zA-Z-]+(?:\.[0-9a-zA-Z-]+)*)?"
)
_FIELDS = ("%(refname:strip=2)", "%(objecttype)", "%(objectname)", "%(*objecttype)", "%(*objectname)",
           "%(creatordate:unix)")  # the epoch stays readable when an offset is not


@dataclass
class ReleaseCollection:
    releases: int = 0  # version tags on commits
    passed_over: int = 0  # tags that are not versions
    written: int = 0
    removed: int = 0
    warnings: list[str] = field(default_factory=list)


def version_of(tag: str) -> tuple[str, bool] | None:
    """(version, is_prerelease) of a tag name, or None when it names no version."""
    name = re.split(r"[/@]", tag)[-1]
    if name.startswith(("v", "V")):
        name = name[1:]
    semantic = _SEMVER.fullmatch(name)
    if semantic:
        return name, semantic.group(4) is not None
    if not name[:1].isdigit():
        return None  # PEP 440 would also take "v" twice or a leading epoch; a tag's version starts with a digit
    try:
        return name, Version(name).is_prerelease
    except InvalidVersion:
        return None


def _tags(repo: Path) -> list[tuple[str, str, str, bool]]:
    """(tag, commit, created_at, annotated) of every tag on a commit HEAD's history holds."""
    if not has_commits(repo):
        return []
    # Split on newlines only: a tag name may hold U+2028 or U+0085, which splitlines() also breaks at.
    lines = text(git(repo, "for-each-ref", "--merged=HEAD", "--format=" + "%00".join(_FIELDS),
                     "refs/tags")).split("\n")
    tags, nested = [], []
    for line in filter(None, lines):
        name, kind, target, peeled_kind, peeled, created = line.split("\0")
        if kind == "commit":
            tags.append((name, target, created, False))
        elif kind == "tag" and peeled_kind == "commit":
            tags.append((name, peeled, created, True))
        elif kind == "tag" and peeled_kind == "tag":
            nested.append((name, peeled, created))  # a tag of a tag: peeled once only
    if nested:
        # One answer a line, in order: the commit it ends at, or "<object> missing" for none.
        raw = git(repo, "cat-file", "--batch-check=%(objectname) %(objecttype)",
                  stdin="".join(f"{oid}^{{commit}}\n" for _, oid, _ in nested).encode())
        for (name, _, created), answer in zip(nested, text(raw).split("\n")):
            commit, _, kind = answer.partition(" ")
            if kind == "commit":
                tags.append((name, commit, created, True))
    return tags


def _messages(repo: Path, commits: set[str]) -> dict[str, str]:
    if not commits:
        return {}
    raw = git(repo, "log", "--no-walk=unsorted", "--stdin", "-z", "--format=%H%x00%B",
              stdin="\n".join(sorted(commits)).encode())
    tokens = raw.split(b"\0")
    return {text(tokens[i]).strip(): text(tokens[i + 1]).rstrip("\n") for i in range(0, len(tokens) - 1, 2)}


def release_events(repo: Path) -> tuple[list[dict], int]:
    """The release events of the tags reachable from HEAD, in time order, and how many of them are not versions."""
    releases, passed_over = [], 0
    for name, commit, created, annotated in _tags(repo):
        version = version_of(name)
        if version is None or not created:
            passed_over += 1
        else:
            releases.append((epoch_utc_text(created), name, commit, annotated, *version))
    releases.sort()
    messages = _messages(repo, {r[2] for r in releases})
    events, previous = [], None
    for at, name, commit, annotated, version, prerelease in releases:
        timing = {"initiated_at": at}
        moment = datetime.fromisoformat(at.replace("Z", "+00:00"))
        if previous is not None:
            timing["since_previous_seconds"] = int((moment - previous).total_seconds())
        previous = moment
        events.append({
            "event_id": f"{PREFIX}{name}",
            "source_type": "github_releases",
            "source_family": "deployment",
            "observed_at": at,
            "payload": {
                "tag": name,
                "version": version,
                "is_prerelease": prerelease,
                "annotated": annotated,
                "asset_count": 0,
                "timing": timing,
                "trigger": {"commit_sha": commit, "commit_message": messages.get(commit, "")},
            },
        })
    return events, passed_over


def collect_releases(repo: Path, workspace: Path) -> ReleaseCollection:
    """Brings the release events of the workspace in line with the tags reachable from HEAD."""
    events_dir = Path(workspace) / "events"
    events_dir.mkdir(parents=True, exist_ok=True)
    events, passed_over = release_events(Path(repo))
    result = ReleaseCollection(releases=len(events), passed_over=passed_over)
    wanted = {}
    for event in events:
        digest = hashlib.sha256(event["payload"]["tag"].encode("utf-8", "surrogateescape")).hexdigest()[:16]
        wanted[f"{PREFIX}{digest}.json"] = event
    for old in events_dir.glob(f"{PREFIX}*.json"):
        if old.name not in wanted:
            old.unlink()
            result.removed += 1
    too_large = []
    for name, event in wanted.items():
        try:
            result.written += write_event_if_changed(events_dir / name, event)
        except EventTooLarge:
            (events_dir / name).unlink(missing_ok=True)
            too_large.append(event["payload"]["tag"])
    result.warnings = too_large_warning("release", too_large)
    return result
