"""The part of the history an advisory speaks about.

Baselines and patterns are learned from the whole history, but an advisory
about a sixteen-year-old repository should not report its largest commit of
2014 as today's drift. The host therefore shows the advisory engine a view of
the workspace whose signal files hold only the signals of recent events,
while everything else (events, explanations, knowledge, accepted deviations
and the advisory's own output) is the workspace's own.

The view lives in ``.scope/`` inside the workspace: ``phase2`` holds the
filtered signal files; ``events``, ``phase3``, ``phase4`` and ``phase5`` link
to the workspace's directories; the accepted-deviations file is copied in and,
if the engine rewrote it, moved back.
"""

from __future__ import annotations

import json
import os
import shutil
from datetime import datetime, timedelta, timezone
from pathlib import Path

ACCEPTED_FILE = "accepted_deviations.json"
_LINKED = ("events", "phase3", "phase4", "phase5")


def event_time(event: dict) -> datetime | None:
    """When an event happened, from its observed_at; a time without offset is UTC."""
    text = event.get("observed_at")
    if not isinstance(text, str) or not text:
        return None
    try:
        moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return None
    return moment if moment.tzinfo else moment.replace(tzinfo=timezone.utc)


def _events(workspace: Path) -> list[tuple[datetime, dict]]:
    timed = []
    for path in sorted((workspace / "events").glob("*.json")):
        try:
            event = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue  # the engines report unreadable events themselves
        if isinstance(event, dict) and isinstance(event.get("event_id"), str):
            moment = event_time(event)
            if moment is not None:
                timed.append((moment, event))
    return timed


def events_in_scope(workspace: Path, *, days: int | None = None, since: datetime | None = None,
                    last_commits: int | None = None, now: datetime | None = None) -> set[str]:
    """Ids of the events the advisory speaks about.

    ``last_commits`` keeps the newest N commits and every other event from
    the oldest of them on; otherwise events from ``since`` (or the last
    ``days`` days before ``now``) on are kept.
    """
    timed = _events(workspace)
    if last_commits is not None:
        commits = sorted((t for t, e in timed if e.get("source_type") == "git"), reverse=True)[:last_commits]
        if not commits:
            return set()
        since = commits[-1]
    elif since is None:
        since = (now or datetime.now(timezone.utc)) - timedelta(days=days if days is not None else 30)
    elif since.tzinfo is None:
        since = since.replace(tzinfo=timezone.utc)
    return {e["event_id"] for t, e in timed if t >= since}


def build_view(workspace: Path, keep: set[str]) -> Path:
    """Makes (afresh) the view of the workspace that holds only the signals of `keep`."""
    view = workspace / ".scope"
    shutil.rmtree(view, ignore_errors=True)
    (view / "phase2").mkdir(parents=True)
    for name in _LINKED:
        (workspace / name).mkdir(exist_ok=True)
        os.symlink(Path("..") / name, view / name, target_is_directory=True)
    for signal_file in sorted((workspace / "phase2").glob("*_signals.json")):
        signals = json.loads(signal_file.read_text(encoding="utf-8"))
        kept = [s for s in signals if isinstance(s, dict) and s.get("event_ref") in keep]
        (view / "phase2" / signal_file.name).write_text(json.dumps(kept, indent=2), encoding="utf-8")
    accepted = workspace / ACCEPTED_FILE
    if accepted.exists():
        shutil.copy2(accepted, view / ACCEPTED_FILE)
    return view


def close_view(view: Path, workspace: Path) -> None:
    """Takes back what the advisory engine changed in the view, then removes it."""
    accepted = view / ACCEPTED_FILE
    if accepted.exists():
        os.replace(accepted, workspace / ACCEPTED_FILE)
    shutil.rmtree(view, ignore_errors=True)
