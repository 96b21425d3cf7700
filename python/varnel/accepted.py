"""Deviations the team has accepted as the new normal.

When a change is intended (a bigger test suite, a slower but safer build),
the advisory should stop reporting it. An acceptance names a source family
and a metric, says why and who accepted it, and may end: at an expiry time,
after which the deviation is reported again, and it may hold only from one
commit on, so that the same deviation on older commits still shows.

The acceptances of a workspace live in ``accepted_deviations.json`` at its
top level: a JSON object ``{"entries": [...]}``, each entry with the fields

    family        source family, for example "ci"
    metric        metric name, for example "run_duration"
    reason        why it was accepted
    accepted_by   who accepted it
    accepted_at   when, as a UTC timestamp YYYY-MM-DDTHH:MM:SS[.ffffff]Z
    expires_at    a timestamp (or date) from which it no longer holds, or null
    from_commit   the commit from which it holds, or null for every commit

The file is rewritten whole through a temporary file and a rename, so a
reader never sees half of it; a missing file means no acceptances, a damaged
one is an error rather than a silent loss of every acceptance. Every call
reads the file afresh, so changes made by another process are seen.

Rules:

* One acceptance per family and metric: accepting again replaces it.
* An acceptance is live until its ``expires_at``: it has expired once the
  current UTC time, as text, is at or past that value. Timestamps compare as
  text, so a bare date expires at the start of that day.
* ``cleanup_expired`` removes expired acceptances from the file and returns
  them; ``current_advisory_id`` names the advisory being prepared, for hosts
  that report the removal beside it (it does not change what expires).
* ``is_accepted_in_context(family, metric, commit_sha, event_date,
  commit_list)`` is true when a live acceptance of that family and metric
  holds for the change:
    - it names no commit: it holds for every change;
    - it names a commit and both commits appear in ``commit_list`` (the
      workspace's commits, oldest first): it holds when the change's commit
      first appears at or after the acceptance's commit first appears;
    - otherwise the order of the commits is unknown, and it holds when the
      change's ``event_date`` is at or after ``accepted_at``: the deviation
      happened after someone accepted it, hence after the commit they saw.
"""

from __future__ import annotations

import json
import os
import tempfile
from datetime import datetime, timezone
from pathlib import Path

from .errors import UsageError

__all__ = ["AcceptedDeviations", "FILE_NAME"]

FILE_NAME = "accepted_deviations.json"


def _utc_text(moment: datetime) -> str:
    """A moment in the system's timestamp form; naive values are taken as UTC."""
    if moment.tzinfo is not None:
        moment = moment.astimezone(timezone.utc).replace(tzinfo=None)
    return moment.isoformat() + "Z"


def _now() -> str:
    return _utc_text(datetime.now(timezone.utc))


def _text(value, what: str) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"{what} must be a non-empty string, not {value!r}")
    return value


def _first_positions(commit_list) -> dict:
    positions = {}
    for index, commit in enumerate(commit_list or ()):
        positions.setdefault(commit, index)
    return positions


class AcceptedFileError(UsageError, ValueError):
    """The file of accepted deviations cannot be used; the message is one line."""


class AcceptedDeviations:
    """The accepted deviations of one workspace, kept in its directory."""

    def __init__(self, varnel_dir):
        self.varnel_dir = Path(varnel_dir)
        self.path = self.varnel_dir / FILE_NAME

    def entries(self) -> list[dict]:
        """Every stored acceptance, expired ones included, in the order accepted."""
        try:
            data = json.loads(self.path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return []
        except (UnicodeDecodeError, ValueError, RecursionError) as e:
            raise AcceptedFileError(f"{self.path}: not a file of accepted deviations ({e}); mend or remove it") from None
        entries = data.get("entries") if isinstance(data, dict) else None
        if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
            raise AcceptedFileError(f"{self.path}: expected an object with a list of entries; mend or remove it")
        return entries

    def accept(self, family, metric, reason, who, *, expires_at=None, from_commit=None) -> dict:
        """Accepts a deviation of ``metric`` in ``family`` and returns the stored entry."""
        if isinstance(expires_at, datetime):
            expires_at = _utc_text(expires_at)
        if expires_at is not None:
            _text(expires_at, "expires_at")
        if from_commit is not None:
            _text(from_commit, "from_commit")
        entry = {
            "family": _text(family, "family"),
            "metric": _text(metric, "metric"),
            "reason": str(reason),
            "accepted_by": str(who),
            "accepted_at": _now(),
            "expires_at": expires_at,
            "from_commit": from_commit,
        }
        kept = [e for e in self.entries() if (e.get("family"), e.get("metric")) != (family, metric)]
        self._write(kept + [entry])
        return entry

    def revoke(self, family, metric) -> bool:
        """Withdraws the acceptance of ``metric`` in ``family``; whether there was one."""
        entries = self.entries()
        kept = [e for e in entries if (e.get("family"), e.get("metric")) != (family, metric)]
        if len(kept) == len(entries):
            return False
        self._write(kept)
        return True

    def cleanup_expired(self, current_advisory_id="") -> list[dict]:
        """Removes the acceptances that have expired and returns them."""
        now = _now()
        entries = self.entries()
        expired = [e for e in entries if self._expired(e, now)]
        if expired:
            self._write([e for e in entries if not self._expired(e, now)])
        return expired

    def is_accepted_in_context(self, family, metric, commit_sha="", event_date="", commit_list=None) -> bool:
        """Whether a deviation of ``metric`` in ``family`` is accepted for this change."""
        now = _now()
        positions = None
        for entry in self.entries():
            if entry.get("family") != family or entry.get("metric") != metric or self._expired(entry, now):
                continue
            since = entry.get("from_commit")
            if not since:
                return True
            if positions is None:
                positions = _first_positions(commit_list)
            if commit_sha and commit_sha in positions and since in positions:
                if positions[commit_sha] >= positions[since]:
                    return True
            elif isinstance(event_date, str) and event_date and event_date >= str(entry.get("accepted_at") or ""):
                return True
        return False

    @staticmethod
    def _expired(entry: dict, now: str) -> bool:
        expires = entry.get("expires_at")
        return isinstance(expires, str) and bool(expires) and now >= expires

    def _write(self, entries: list[dict]) -> None:
        self.varnel_dir.mkdir(parents=True, exist_ok=True)
        text = json.dumps({"entries": entries}, indent=2)
        try:
            mode = self.path.stat().st_mode & 0o777
        except FileNotFoundError:
            mode = 0o644
        fd, temp = tempfile.mkstemp(prefix=f".{FILE_NAME}.", dir=self.varnel_dir)
        try:
            os.chmod(temp, mode)
            with os.fdopen(fd, "w", encoding="utf-8") as out:
                out.write(text)
                out.flush()
                os.fsync(out.fileno())
            os.replace(temp, self.path)
        except BaseException:
            Path(temp).unlink(missing_ok=True)
            raise
