"""What the engines may be given to read: the workspace's event files,
checked by `stat` before any phase opens them.

An entry of ``events/`` that is not a regular file (a link, a pipe, a
device) or a file over `EVENT_SIZE_LIMIT` bytes would make the engines
hang or exhaust memory: it stops the run with one line naming it. An
ingested event that is no JSON object cannot be collected again from the
history, so it is moved to ``events-damaged/`` with a warning saying how to
ingest its report again; the collectors' own events are collected again by
the collectors themselves. A damaged file of a name no collector writes is
moved aside too, with a warning, rather than stop every later run.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Callable

from ..collect.events import EVENT_SIZE_LIMIT
from ..errors import UsageError
from ..files import kind_of
from ..ingest import KINDS, PREFIX

DAMAGED = "events-damaged"
_KIND_OF_FAMILY = {module.FAMILY: kind for kind, module in KINDS.items()}


class EventFileError(UsageError, ValueError):
    """An event file the engines must not be given; the message is one line."""


def refuse_unreadable(events: Path, name: str, info: os.stat_result) -> None:
    """Stops the run at the entry `name` of the folder `events` (`info`: its
    own stat, links not followed) when the engines must not be given it."""
    if not stat.S_ISREG(info.st_mode):
        raise EventFileError(f"{events / name}: a {kind_of(info.st_mode)}, not an event file; varnel writes only "
                             "regular files there, so remove it")
    if info.st_size > EVENT_SIZE_LIMIT:
        raise EventFileError(f"{events / name}: {info.st_size} bytes, over the {EVENT_SIZE_LIMIT} bytes an event "
                             "file may have; remove it")


def move_damaged(workspace: Path, collected: tuple[str, ...], is_intact: Callable[[str], bool]) -> list[str]:
    """Moves aside the damaged event files no collector writes again; the
    warnings saying so. Damaged files whose names start with one of
    `collected` are left for their collectors to write again; `is_intact`
    tells a damaged file by its name."""
    events, warnings = Path(workspace) / "events", []
    if not events.is_dir():
        return warnings
    for name in sorted(e.name for e in os.scandir(events)):
        if not name.endswith(".json") or name.startswith(".") or name.startswith(collected):
            continue
        if is_intact(name):
            continue
        path = events / name
        aside = Path(workspace) / DAMAGED
        aside.mkdir(exist_ok=True)
        os.replace(path, aside / name)
        if name.startswith(PREFIX):
            kind = _KIND_OF_FAMILY.get(name[len(PREFIX):].split("-", 1)[0], "KIND")
            warnings.append(f"{path} was damaged and is moved to {aside / name}; "
                            f"ingest its report again with 'varnel ingest {kind} FILE'")
        else:
            warnings.append(f"{path} is no event varnel can read (not a JSON object with a payload) and is moved "
                            f"to {aside / name}")
    return warnings
