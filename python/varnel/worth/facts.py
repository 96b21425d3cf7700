"""What the host reads of each collected commit's diff: its lines added and
deleted, how they spread over its files, and its kind (see `kinds`).

Kept in the workspace (`FACTS`) beside the collected events, so a run reads
only the diffs of new commits. Bump `VERSION` when kinds or counts are read
differently. Lines of the settings' excluded paths (lock
files, vendored and generated files) are not counted, as the git metrics do
not count them; the kind is read from every file. A change of settings or of
how diffs are read reads them afresh.
"""

from __future__ import annotations

from datetime import datetime
from pathlib import Path

from .._common import loads
from ..collect.events import read_state, write_json_atomic
from ..config import Config
from .diffs import read_diffs
from .features import Commit, entropy
from .kinds import KINDS, kind_of

FACTS = "commit-facts.json"
VERSION = 1


def _time(text_value: str) -> float:
    return datetime.fromisoformat(text_value.replace("Z", "+00:00")).timestamp()


def collected_commits(workspace: Path) -> list[Commit]:
    """The workspace's commits, in history order (by time; commits of one
    second in the order their event files say)."""
    commits = []
    for path in sorted((workspace / "events").glob("git-*.json")):
        event = loads(path.read_text(encoding="utf-8"))
        payload = event["payload"]
        commits.append(Commit(payload["commit_hash"], _time(event["observed_at"]), payload.get("author", ""),
                              payload.get("message", ""), list(payload.get("files", []))))
    return sorted(commits, key=lambda c: c.time)  # stable: same-second commits keep their files' order


def _facts(message: str, diff, config: Config) -> list:
    counted = [f for f in diff.files if not config.excluded(f.path)]
    lines = [f.added + f.deleted for f in counted]
    return [kind_of(message, diff), sum(f.added for f in counted), sum(f.deleted for f in counted),
            round(entropy(lines), 6)]


def read_facts(repo: Path, workspace: Path, commits: list[Commit], config: Config) -> list[str]:
    """Fills each commit's lines, entropy and kind, reading only the diffs
    the workspace does not hold yet; returns the commits whose diff the clone
    could not give (their kind comes from their files and message alone, and
    they are read again on the next run, once the clone may have them)."""
    path = workspace / FACTS
    settings = {"version": VERSION, "exclude_paths": list(config.exclude_paths)}
    state = read_state(path)
    known = state.get("commits") if state.get("settings") == settings and isinstance(state.get("commits"), dict) \
        else {}
    wanted = {c.sha for c in commits}
    facts = {sha: f for sha, f in known.items() if sha in wanted and isinstance(f, list) and len(f) == 4
             and f[0] in KINDS}
    new = [c for c in commits if c.sha not in facts]
    unreadable: dict[str, list] = {}
    if new:
        diffs = read_diffs(repo, [c.sha for c in new])
        for c in new:
            diff = diffs[c.sha]
            (facts if diff.readable else unreadable)[c.sha] = _facts(c.message, diff, config)
    if new or len(facts) != len(known):
        write_json_atomic(path, {"settings": settings, "commits": facts})
    for c in commits:
        c.kind, c.added, c.deleted, c.entropy = facts.get(c.sha) or unreadable[c.sha]
    return sorted(unreadable)
