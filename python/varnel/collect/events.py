"""What every collector shares: the time form of `observed_at` and writing
an event file whole."""

from __future__ import annotations

import os
from datetime import datetime, timezone
from pathlib import Path

from .._common import dumps_pretty


def utc_text(moment: datetime) -> str:
    """A moment as UTC text that sorts in time order (YYYY-MM-DDTHH:MM:SSZ);
    every collector writes `observed_at` in this one form, since events are
    ordered by comparing it as text."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def iso_utc_text(iso: str) -> str:
    """An ISO 8601 time with offset (as git writes it) in the `utc_text` form."""
    return utc_text(datetime.fromisoformat(iso.replace("Z", "+00:00")))


def write_json_atomic(path: Path, record: dict) -> None:
    """Writes a JSON file whole: a temporary file beside it (named for this
    process, so concurrent collectors never share one), then a rename."""
    temp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        temp.write_text(dumps_pretty(record), encoding="utf-8")
        os.replace(temp, path)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise


def write_json_if_changed(path: Path, record: dict) -> bool:
    """Writes a JSON file whole unless it already holds exactly `record`; whether it wrote."""
    try:
        if path.read_text(encoding="utf-8") == dumps_pretty(record):
            return False
    except (FileNotFoundError, UnicodeDecodeError):
        pass
    write_json_atomic(path, record)
    return True
