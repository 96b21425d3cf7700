"""What the host reads of each collected commit: its time, author, message
and files from its event file, and from its diff its lines added and
deleted, how they spread over its files, and its kind (see `kinds`).

Kept in the workspace (`FACTS`) beside the collected events, so a run reads
only new commits: a commit's event (as the run's index read it) is taken
again when its file's name, size or modification time changed, a diff never
again once read. Lines of the
settings' excluded paths (lock files, vendored and generated files) are not
counted, as the git metrics do not count them; the kind is read from every
file. A change of those settings, or of `VERSION` (bump it when kinds or
counts are read differently), reads every diff afresh; a commit whose diff
the clone cannot give is read again on the next run, once it may have it.
"""

from __future__ import annotations

from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING

from ..files import read_state, write_json_atomic
from ..config import Config
from .diffs import read_diffs_in_batches
from .features import Commit, entropy
from .kinds import KINDS, kind_of

if TYPE_CHECKING:
    from ..run.events import Event, EventIndex

FACTS = "commit-facts.json"
VERSION = 2
_EVENT_FIELDS = 6  # file name, size, modification time, time, author, message; then files
_DIFF_FIELDS = 4  # kind, lines added, lines deleted, entropy
_DIFFS_AT_ONCE = 2000


def _time(text_value: str) -> float:
    return datetime.fromisoformat(text_value.replace("Z", "+00:00")).timestamp()


def _event(name: str, size: int, mtime_ns: int, event: Event) -> list:
    return [name, size, mtime_ns, _time(event.observed_at), event.author, event.message, list(event.files)]


def _valid(entry: object) -> bool:
    return (isinstance(entry, list) and len(entry) == 2 and isinstance(entry[0], list)
            and len(entry[0]) == _EVENT_FIELDS + 1 and isinstance(entry[0][-1], list)
            and (entry[1] is None or (isinstance(entry[1], list) and len(entry[1]) == _DIFF_FIELDS
                                      and entry[1][0] in KINDS)))


def _facts(message: str, diff, config: Config) -> list:
    counted = [f for f in diff.files if not config.excluded(f.path)]
    lines = [f.added + f.deleted for f in counted]
    return [kind_of(message, diff), sum(f.added for f in counted), sum(f.deleted for f in counted),
            round(entropy(lines), 6)]


def read_commits(repo: Path, workspace: Path, config: Config, events: EventIndex) -> list[Commit]:
    """The workspace's commits in history order (by time; commits of one
    second in the order their event files say), with their facts; the
    events are the run's, read once (`events`)."""
    path = workspace / FACTS
    settings = {"version": VERSION, "exclude_paths": list(config.exclude_paths)}
    state = read_state(path)
    kept = state.get("commits") if state.get("settings") == settings and isinstance(state.get("commits"), dict) \
        else {}
    entries: dict[str, list] = {}
    for name, size, mtime_ns, event in events.files("git-"):
        sha = name.rsplit("-", 1)[-1].removesuffix(".json")
        old = kept.get(sha)
        if _valid(old) and old[0][:3] == [name, size, mtime_ns]:
            entries[sha] = old
        else:
            entries[sha] = [_event(name, size, mtime_ns, event), old[1] if _valid(old) else None]
    unread = [sha for sha, (_, diff) in entries.items() if diff is None]
    unreadable: dict[str, list] = {}
    # A first run's patches are read a batch at a time, never all held at once.
    for batch, diffs in read_diffs_in_batches(repo, unread, _DIFFS_AT_ONCE):
        for sha in batch:
            facts = _facts(entries[sha][0][5], diffs[sha], config)
            if diffs[sha].readable:
                entries[sha][1] = facts
            else:
                unreadable[sha] = facts
    if entries != kept:
        write_json_atomic(path, {"settings": settings, "commits": entries})
    commits = []
    for sha, (event, diff) in entries.items():
        kind, added, deleted, spread = diff or unreadable[sha]
        commits.append(Commit(sha, event[3], event[4], event[5], event[6], int(added), int(deleted), float(spread),
                              kind))
    return sorted(commits, key=lambda c: c.time)  # stable: same-second commits keep their files' order
