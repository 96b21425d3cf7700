"""What every collector shares: the time form of `observed_at`, the names of
event files, and writing an event file whole, never one larger than the
engines read."""

from __future__ import annotations

import json
import os
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Callable

from .._common import dumps_pretty
from ..files import write_text_atomic


def utc_text(moment: datetime) -> str:
    """A moment as UTC text that sorts in time order (YYYY-MM-DDTHH:MM:SSZ);
    every collector writes `observed_at` in this one form, since events are
    ordered by comparing it as text."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def epoch_utc_text(seconds: str) -> str:
    """A commit's epoch time (git's %ct) in the `utc_text` form. git keeps the
    epoch apart from the offset, so it stays readable when the offset is not
    (+051800 in some old histories); one beyond the calendar reads as its
    nearest end."""
    try:
        value = int(seconds)
    except ValueError:
        value = 0
    value = max(min(value, 253402300799), -62135596800)  # 9999-12-31T23:59:59Z .. 0001-01-01T00:00:00Z
    return utc_text(datetime(1970, 1, 1, tzinfo=timezone.utc) + timedelta(seconds=value))


# The engines order events by time and then by file name. Commits made in the
# same second get their place among them in the history in their file name
# (<prefix><place>-<rest>), so a step is read on the commit that made it, not
# on a neighbour whose hash sorts first; other commits keep <prefix><rest>.
_PLACE_DIGITS = 8


def same_second_places(ordered: list[tuple[str, str]]) -> dict[str, int]:
    """For (commit, epoch time) in history order, oldest first: the place of
    each commit among those of the same second, for commits that share one."""
    by_second: dict[str, list[str]] = {}
    for sha, seconds in ordered:
        by_second.setdefault(seconds, []).append(sha)
    return {sha: place for shas in by_second.values() if len(shas) > 1 for place, sha in enumerate(shas)}


def event_file(prefix: str, rest: str, place: int | None) -> str:
    """The file name of an event: `rest` after `prefix`, with a place among
    commits of the same second when it has one."""
    return f"{prefix}{rest}.json" if place is None else f"{prefix}{place:0{_PLACE_DIGITS}d}-{rest}.json"


def event_name(file_name: str, prefix: str) -> str:
    """What `event_file` was given as `rest`, the place taken off."""
    rest = file_name[len(prefix):].removesuffix(".json")
    head, dash, tail = rest.partition("-")
    return tail if dash and len(head) == _PLACE_DIGITS and head.isdigit() else rest


def place_files(events: Path, prefix: str, places: dict[str, int], rest_of: Callable[[str], str]) -> dict[str, str]:
    """The names of the event files of `prefix` by the name they were given,
    each renamed to carry its commit's place now (`rest_of` gives a name's
    commit): a commit merged in can take a place before others of its second."""
    found = {}
    with os.scandir(events) as entries:  # names first: a Path for each of many thousands of events costs seconds
        names = [e.name for e in entries if e.name.startswith(prefix) and e.name.endswith(".json")]
    for name in names:
        rest = event_name(name, prefix)
        wanted = event_file(prefix, rest, places.get(rest_of(rest)))
        if wanted != name:
            os.replace(events / name, events / wanted)
        found[rest] = wanted
    return found


def valid_iso(text: str) -> bool:
    """Whether an ISO 8601 time git wrote can be read as one."""
    try:
        datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return False
    return True


# The largest event file the engines are given; a run stops at a larger one.
EVENT_SIZE_LIMIT = 64 * 1024 * 1024


class EventTooLarge(ValueError):
    """An event larger than the engines read, which is not written; the
    message is one line naming it."""


def event_text(path: Path, record: dict) -> str:
    """The text of an event file; `EventTooLarge` past the limit."""
    text = dumps_pretty(record)  # ASCII only: its length is its size in bytes
    if len(text) > EVENT_SIZE_LIMIT:
        raise EventTooLarge(f"{path.name} would be {len(text)} bytes, over the {EVENT_SIZE_LIMIT} bytes an event "
                            "file may have")
    return text


def first_of(names: list[str], limit: int, between: str = ", ", more: str = "more") -> str:
    """The first `limit` names, and how many more there are: "a, b and 3 more"."""
    rest = len(names) - limit
    return between.join(names[:limit]) + (f" and {rest} {more}" if rest > 0 else "")


def too_large_warning(kind: str, names: list[str]) -> list[str]:
    """One warning naming what is left out for being larger than the engines
    read (`kind` is what each name names), or none."""
    if not names:
        return []
    shown = first_of(names, 5)
    return [f"{len(names)} {kind}{'s' * (len(names) != 1)} ({shown}) would make an event over the "
            f"{EVENT_SIZE_LIMIT} bytes the engines read, so {'they are' if len(names) != 1 else 'it is'} left out"]


def write_event(path: Path, record: dict) -> None:
    """Writes an event file whole; `EventTooLarge` (nothing written) past the limit."""
    write_text_atomic(path, event_text(path, record))


def write_event_if_changed(path: Path, record: dict) -> bool:
    """Writes an event file as `write_event` unless it already holds exactly `record`; whether it wrote."""
    text = event_text(path, record)
    try:
        if path.read_text(encoding="utf-8") == text:
            return False
    except (FileNotFoundError, UnicodeDecodeError):
        pass
    write_text_atomic(path, text)
    return True


def intact(path: Path) -> bool:
    """Whether an event file holds a JSON object with a payload object: a
    full disk, a copy cut short or a hand's edit can leave one that does not."""
    try:
        event = json.loads(path.read_bytes())
    except (OSError, ValueError, RecursionError):
        return False
    return isinstance(event, dict) and isinstance(event.get("payload"), dict)
