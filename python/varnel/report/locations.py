"""The file of the repository that best explains each finding, for the CI
channels that show a finding on a file (code scanning, code quality,
workflow annotations), by its path in the repository:

- a dependency, schema or config finding: a file its family reads that the
  finding's commit changed (the manifest or lock file its count is read
  from first, then any other manifest, API document or .tf file); else the
  first file its count is read from;
- any other finding (git metrics, ingested reports, releases) and a
  history finding whose commit changed none of its files: the file the
  commit changed most (lines added and deleted, against the first parent
  for a merge), files the settings leave out of the git metrics (lock
  files, generated and vendored files) only when it changed nothing else.

A finding without a commit, or whose commit this clone cannot list, has no
file. Each commit's changes come from one git call for all of them.
"""

from __future__ import annotations

import re
from pathlib import Path

from ..collect.history import left_out
from ..config import Config
from ..git import absent_objects, diffs, log_numstat_records
from ..run.analysis import HISTORY_SOURCES
from ..run.events import EventIndex

_COMMIT = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")


def changed_lines(repo: Path, commits: list[str]) -> dict[str, list[tuple[str, int]]]:
    """{commit: [(path, lines added and deleted)]} of the commits this clone holds."""
    asked = [c for c in commits if _COMMIT.fullmatch(c)]  # git reads its standard input as revisions
    absent = absent_objects(repo, asked)  # a commit rewritten away since it was recorded, say
    asked = [c for c in asked if c not in absent]
    if not asked:
        return {}
    raw, _ = diffs(repo, "log", "--no-walk=unsorted", "--stdin", "-z", "--numstat", "--no-renames",
                   "--diff-merges=first-parent", "--format=%x00%H", stdin="\n".join(asked).encode())
    return {fields[0]: lines for fields, lines in log_numstat_records(raw, 1)}


def _most_changed(lines: list[tuple[str, int]], config: Config) -> str | None:
    own = [entry for entry in lines if not config.excluded(entry[0])] or lines
    return max(own, key=lambda entry: entry[1], default=(None, 0))[0]  # the first of equals: git's order


def files_of(findings: list[dict], repo: Path, events: EventIndex, config: Config) -> list[str | None]:
    """The file of each finding (see above), None where there is none."""
    sources = {source.family: source for source in HISTORY_SOURCES}
    is_left_out = left_out(config)
    changed = changed_lines(repo, sorted({f["commit"] for f in findings if isinstance(f.get("commit"), str)}))
    out = []
    for finding in findings:
        lines = changed.get(finding.get("commit") or "", [])
        source = sources.get(finding.get("family"))
        read: list[str] = []
        if source is not None:
            event = events.by_id.get(finding.get("event_ref") or "")
            counted = [str(p) for p in event.counted_from] if event is not None else []
            touched = [path for path, _ in lines if source.unit_of(path) is not None and not is_left_out(path)]
            ours, theirs = set(touched), set(counted)
            read = [p for p in counted if p in ours] + [p for p in touched if p not in theirs] + counted[:1]
        out.append(read[0] if read else _most_changed(lines, config))
    return out
