"""The run's events, read once: what the host needs of each (its time as the
engines read it, its commit, its subject, what a history event records
beside its counts, whether an ingested report failed), by event id and in
the order of the workspace's files.

The window, the notes, the report's findings and the track record all take
what they need from this index, so the host opens each event file once per
run. An event file that cannot be read is left out: the engines report it
themselves.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path

from .._common import cached_events, loads
from ..collect.events import intact
from ..patstage import Phase4Engine
from .event_files import refuse_unreadable


@dataclass(frozen=True)
class Event:
    """What the host needs of one event."""

    id: str
    family: str
    name: str  # its file's name
    observed_at: str
    time: datetime | None  # as the engines read it; None when it has no readable time
    commit: str  # its own commit, or the commit it came with; "" when none
    is_commit: bool  # a commit's own event
    subject: str = ""  # the first line of the message of its commit, or of the commit it came with
    measure_changed: bool = False  # a history event: what a count is read from changed here
    counted_from: tuple = ()
    broken: tuple = ()  # a history event: files the commit left unreadable
    diff: dict = field(default_factory=dict)  # a history event: what changed, counted
    failed: bool = False  # an ingested CI run or test report that failed
    author: str = ""  # a commit's own event: its author, message and files
    message: str = ""
    files: tuple = ()


def instant(text: str) -> datetime | None:
    """An event time as the engines read it, as an instant (no offset: UTC)."""
    if not text:
        return None
    try:
        moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return None
    return moment if moment.tzinfo else moment.replace(tzinfo=timezone.utc)


def _failed(payload: dict) -> bool:
    summary = payload.get("summary") if isinstance(payload.get("summary"), dict) else {}
    return payload.get("conclusion") == "failure" or (summary.get("failed") or 0) > 0 \
        or (summary.get("errored") or 0) > 0


def _event(name: str, record: dict) -> Event:
    payload = record.get("payload") if isinstance(record.get("payload"), dict) else {}
    trigger = payload.get("trigger") if isinstance(payload.get("trigger"), dict) else {}
    is_commit = record.get("source_type") == "git"
    commit = payload.get("commit_hash") if is_commit else trigger.get("commit_sha")
    return Event(
        id=record["event_id"], family=str(record.get("source_family") or ""), name=name,
        observed_at=str(record.get("observed_at") or ""), time=instant(Phase4Engine.event_time(record)),
        commit=str(commit or ""), is_commit=is_commit,
        subject=str(trigger.get("commit_message") or (payload.get("message") if is_commit else "") or "").split("\n", 1)[0],
        measure_changed=bool(payload.get("measure_changed")), counted_from=tuple(payload.get("counted_from") or ()),
        broken=tuple(payload.get("broken") or ()),
        diff=dict(payload["diff"]) if isinstance(payload.get("diff"), dict) else {},
        failed=name.startswith("ingest-") and _failed(payload),
        **({"author": str(payload.get("author", "")), "message": str(payload.get("message", "")),
            "files": tuple(payload.get("files", []))} if is_commit else {}))


# Events the cache hands over as dicts at a time.
_CONVERTED_AT_ONCE = 10_000


class EventIndex:
    """Every readable event of a workspace, by id and in file order.

    `refresh` reads again only the files that are new or changed since the
    index last saw them (by size, time and inode: the collectors replace a
    file by a rename), so the collectors' check for damage and the run's
    reading share one pass over the files."""

    def __init__(self, workspace: Path, refusing: bool = False):
        self.folder = Path(workspace) / "events"
        self.refusing = refusing  # a run's: an entry the engines must not be given stops it
        self._files: dict[str, tuple[tuple[int, int, int], Event | None, bool]] = {}  # name -> (stat, event, intact)
        self.ordered: list[Event] = []
        self.by_id: dict[str, Event] = {}

    @classmethod
    def read(cls, workspace: Path, refusing: bool = False) -> "EventIndex":
        """The index of a workspace's events; `refusing`, a run's: an entry of
        ``events/`` the engines must not be given (see `refuse_unreadable`)
        stops it before any file is opened."""
        index = cls(workspace, refusing)
        index.refresh()
        return index

    def refresh(self, cache: Path | None = None) -> "EventIndex":
        """Reads again what changed; `cache` is the parsed-event cache to take
        records from (the workspace's when None)."""
        try:
            with os.scandir(self.folder) as listed:  # the engines read only *.json
                entries = sorted(((e.name, e.stat(follow_symlinks=False)) for e in listed
                                  if e.name.endswith(".json") and not e.name.startswith(".")))
        except FileNotFoundError:
            entries = []
        if self.refusing:
            for name, info in entries:
                refuse_unreadable(self.folder, name, info)
        keys = {name: (info.st_size, info.st_mtime_ns, info.st_ino) for name, info in entries}
        new = [name for name, key in keys.items() if name not in self._files or self._files[name][0] != key]
        loaded = {}
        for start in range(0, len(new), _CONVERTED_AT_ONCE):  # a first run's records are never all held at once
            batch = new[start:start + _CONVERTED_AT_ONCE]
            cached = cached_events(self.folder, batch, cache)  # parsed already, mostly
            loaded.update((name, (keys[name], *self._load(name, cached.get(name)))) for name in batch)
        files = {name: loaded.get(name) or self._files[name] for name in keys}
        self._files = files
        self.ordered = [event for _, event, _ in files.values() if event is not None]
        self.by_id = {e.id: e for e in self.ordered}
        return self

    def _load(self, name: str, record: dict | None = None) -> tuple[Event | None, bool]:
        """The event a file holds (None when it holds none the host can use) and
        whether it is intact: a JSON object with a payload object. `record`
        is what the file holds when the workspace's cache of parsed events
        knows it as it is."""
        try:
            if record is None:
                with open(self.folder / name, "rb") as f:
                    record = loads(f.read().decode("utf-8"))
        except (OSError, ValueError, RecursionError):
            return None, False  # the engines report unreadable events themselves
        if not isinstance(record, dict):
            return None, False
        try:
            event = _event(name, record) if isinstance(record.get("event_id"), str) else None
        except (TypeError, AttributeError, ValueError):
            event = None
        return event, isinstance(record.get("payload"), dict)

    def intact(self, file: str | Path) -> bool:
        """Whether the event file `file` (its name, or its path) held a JSON
        object with a payload object when the index last read it."""
        name = file if isinstance(file, str) else file.name
        known = self._files.get(name)
        return known[2] if known is not None else intact(self.folder / name)

    def files(self, prefix: str) -> list[tuple[str, int, int, Event]]:
        """(file name, size, modification time in ns, event) of the events
        whose file names start with `prefix`, in file order."""
        return [(name, key[0], key[1], event) for name, (key, event, _) in self._files.items()
                if event is not None and name.startswith(prefix)]

    def commit_of(self, event_id: str) -> str:
        """The commit an event is, or came with; "" when unknown."""
        event = self.by_id.get(event_id)
        return event.commit if event is not None else ""

    def timed(self) -> list[tuple[datetime, str, bool]]:
        """(time, event id, is a commit) of every event with a readable time."""
        return [(e.time, e.id, e.is_commit) for e in self.ordered if e.time is not None]

    def failed_commits(self) -> set[str]:
        """Commits with an ingested CI run or test report that failed."""
        return {e.commit for e in self.ordered if e.failed and e.commit}

    def notes(self, prefixes: tuple[str, ...], families: dict[str, str],
              event_ids: frozenset[str] | None) -> list[dict]:
        """What the history events (files named with `prefixes`; `families`
        maps each prefix to its family) in the window record beside their
        counts: a commit that left files unreadable (`broken`), and one that
        changed what a count is read from (`measure_changed`), oldest first."""
        notes = []
        for e in self.ordered:
            prefix = next((p for p in prefixes if e.name.startswith(p)), None)
            if prefix is None or (event_ids is not None and e.id not in event_ids):
                continue
            base = {"family": families[prefix], "event_id": e.id, "commit": e.commit or None, "subject": e.subject,
                    "observed_at": e.observed_at or None}
            if e.broken:
                notes.append(dict(base, kind="broken", files=list(e.broken)))
            if e.measure_changed:
                notes.append(dict(base, kind="measure_changed", counted_from=list(e.counted_from)))
        return sorted(notes, key=lambda n: (str(n["observed_at"]), n["event_id"] or ""))
