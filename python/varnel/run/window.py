"""The recent work the advisory speaks about, and the events it holds."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Callable

from .commit_range import CommitRange


@dataclass
class Window:
    """The recent work the advisory speaks about: by default the latest
    `days` days of activity (ending at the newest commit, never later than
    now), or from `since`, or the last `last_commits` commits, or the events
    of the commits of `range` (a pull request's) and those that came with
    them; `everything` keeps the whole history."""

    days: int
    since: datetime | None = None
    last_commits: int | None = None
    everything: bool = False
    range: CommitRange | None = None


@dataclass
class WindowUsed:
    """The window as applied: its first and last event times (None when it
    holds no event), what it was asked to be, the ids of its events (None
    for the whole history) and the commit range it holds, if asked for one."""

    description: str
    start: datetime | None = None
    end: datetime | None = None
    event_ids: frozenset[str] | None = None
    range: CommitRange | None = None

    def holds(self, event_id: str) -> bool:
        return self.event_ids is None or event_id in self.event_ids


WHOLE_HISTORY = "the whole history"


def apply_window(window: Window, timed: list[tuple[datetime, str, bool]], now: datetime | None = None,
                 commit_of: Callable[[str], str] | None = None) -> WindowUsed:
    """The events `window` covers, of `timed`: (time, event id, is a commit);
    `commit_of` gives the commit an event is or came with, for a range."""
    if window.range is not None:
        added = window.range.commits
        return _used(window.range.description, [(t, e) for t, e, _ in timed if commit_of(e) in added],
                     window.range)
    if window.everything:
        moments = [t for t, _, _ in timed]
        return WindowUsed(WHOLE_HISTORY, min(moments, default=None), max(moments, default=None))
    now = now or datetime.now(timezone.utc)
    if window.last_commits is not None:
        commits = sorted((t for t, _, is_commit in timed if is_commit), reverse=True)[:window.last_commits]
        start = commits[-1] if commits else now
        asked = f"the last {window.last_commits} commit{'s' * (window.last_commits != 1)}"
    elif window.since is not None:
        start = (window.since if window.since.tzinfo else window.since.replace(tzinfo=timezone.utc)).astimezone(
            timezone.utc)
        midnight = start.time() == datetime.min.time()
        asked = f"since {start.date().isoformat() if midnight else start.strftime('%Y-%m-%dT%H:%MZ')}"
    else:
        newest = max((t for t, _, is_commit in timed if is_commit), default=now)
        start = min(newest, now) - timedelta(days=window.days)
        asked = f"the latest {window.days} days of activity"
    return _used(asked, [(t, event_id) for t, event_id, _ in timed if t >= start])


def _used(asked: str, kept: list[tuple[datetime, str]], commit_range: CommitRange | None = None) -> WindowUsed:
    return WindowUsed(asked, min((t for t, _ in kept), default=None), max((t for t, _ in kept), default=None),
                      frozenset(event_id for _, event_id in kept), commit_range)
