"""Collects one event per non-merge commit reachable from HEAD.

Each commit becomes ``events/git-<hash>.json`` in the workspace (commits of
the same second ``git-<place>-<hash>.json``, their place in the history
among them, since the engines order events of one time by file name). The set of
event files is the collector's whole state: a run asks git which non-merge
commits are reachable now, reads only those without an event file, and
removes the files of commits that are no longer reachable (a rewritten or
force-pushed history), so every run leaves exactly the current history.

git's output is read with NUL separators, so paths and messages with spaces,
quotes, newlines, non-ASCII or non-UTF-8 bytes survive; bytes that are not
UTF-8 are kept with ``surrogateescape`` and written as ``\\udcXX`` escapes.
A file moved and changed is listed under its new path; one moved unchanged
is named in `renamed` (from, to) instead of `files`.

A clone may lack the content of some files (a partial clone, objects removed
from it); git is never asked to fetch them. Only telling a moved and changed
file from a removal and an addition needs contents, so a commit whose added
or deleted files the clone lacks gets exact renames alone, its event names
the files in `not_in_clone`, and one warning names each file and its commits.

Commits of a history merged in without a common ancestor (a subtree merge,
an imported repository: commits that do not descend from the root of HEAD's
first-parent chain) are another project's and get no event, unless the
settings keep them. Paths the settings exclude (vendored, generated, lock
files) are left out of each commit's files, and commits by configured bot
authors get no event; the
settings used are kept in ``collect-state.json`` in the workspace together
with the bot commits passed over, and a change of settings collects the
history afresh. A commit whose event would be larger than the engines read
(a commit of millions of files) is left out and named in a warning on every
run, so nothing is lost silently.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterable, Iterator

from ..config import Config
from ..files import read_state, write_json_atomic
from ..git import (Change, CollectError, absent_objects, diffs, fetched_ahead, git as _git, has_commits,
                   log_raw_records, text as _text, unrelated_commits)
from .events import (EventTooLarge, epoch_utc_text, event_file, first_of, intact, place_files, same_second_places,
                     too_large_warning, valid_iso, write_event)

# Fields of one commit, each NUL-terminated; the leading NUL marks a record.
_FORMAT = "%x00%H%x00%an%x00%ae%x00%aI%x00%cI%x00%ct%x00%B"
PREFIX = "git-"
# Bump when events are read differently, so a workspace's older events are collected afresh.
VERSION = 2


@dataclass
class GitCollection:
    """What one collection run did."""

    commits: int = 0  # non-merge commits reachable from HEAD
    added: int = 0  # events written by this run
    removed: int = 0  # events of commits no longer reachable
    passed_over: int = 0  # commits by bot authors, which get no event
    unrelated: int = 0  # commits of histories merged in without a common ancestor, which get no event
    shallow: bool = False  # the repository's history is cut off
    warnings: list[str] = field(default_factory=list)


def _record(fields: list[str], changes: list[Change]) -> dict:
    """The commit record of one commit of ``git log -z --raw --format=_FORMAT``.
    A file moved with its content unchanged is a rename, not a change: it is
    listed in `renamed` and left out of `files`, so size metrics count content."""
    sha, name, email, authored, committed, epoch, message = fields
    files, renamed = [], []
    for change in changes:
        if change.status.startswith("R") and change.old == change.new:
            renamed.append({"from": change.paths[0], "to": change.paths[1]})
        else:
            files.append(change.paths[-1])
    return {
        "sha": sha,
        "author": f"{name} <{email}>",
        "authored_at": authored,
        "committed_at": committed,
        "epoch": epoch,
        "message": message.rstrip("\n"),
        "files": files,
        "renamed": renamed,
    }


# Commits git describes at a time: what a run holds of the history's changes at once.
_DESCRIBED_AT_ONCE = 5000


def describe(repo: Path, shas: list[str], warnings: list[str]) -> Iterator[dict]:
    """The records of the commits `shas`, in their order, read a few
    thousand at a time so that no more of the history is held at once; what
    reading them warned of is added to `warnings` (the files the clone lacks
    once every record is read). git lists every commit's changes without
    rename detection first, which needs no file contents; only the commits
    that add and delete files are listed again with it, and those whose
    added or deleted files the clone lacks with exact renames alone (found
    by object id): comparing contents would stop the run or, in a partial
    clone, ask its promisor for them."""
    lacking: dict[str, list[str]] = {}  # file -> commits of the new ones whose changes name content it lacks
    # git lists the next batch while this one's events are written.
    for batch, listed in fetched_ahead(shas, _DESCRIBED_AT_ONCE, lambda batch: _log(repo, batch, "--no-renames")):
        yield from _describe(repo, batch, listed, warnings, lacking)
    order = {sha: n for n, sha in enumerate(reversed(shas))}  # oldest first
    warnings += not_in_clone_warning({path: sorted(commits, key=order.__getitem__)
                                      for path, commits in lacking.items()})


def _log(repo: Path, shas: list[str], renames: str) -> tuple[bytes, str | None]:
    """git's changes of the commits `shas` with the rename option `renames`,
    and its refusal of the repository's .gitmodules, if any."""
    return diffs(repo, "log", "--no-walk=unsorted", "--stdin", "-z", "--raw", "--no-abbrev", renames,
                 f"--format={_FORMAT}", stdin="\n".join(shas).encode())


def _describe(repo: Path, shas: list[str], first: tuple[bytes, str | None], warnings: list[str],
              lacking: dict[str, list[str]]) -> Iterable[dict]:
    """The records of some of the commits `describe` reads; `first` is git's
    listing of their changes without renames."""

    def records_of(raw: bytes, refused: str | None) -> Iterator[tuple[list[str], list[Change]]]:
        if refused and refused not in warnings:
            warnings.append(refused)
        return log_raw_records(raw, 7)

    listed = list(records_of(*first))
    absent = absent_objects(repo, {blob for _, changes in listed for change in changes for blob in change.blobs})
    records: dict[str, dict] = {}
    moves, exact_moves = [], []
    for fields, changes in listed:
        sha = fields[0]
        records[sha] = _record(fields, changes)
        missing = sorted({c.paths[-1] for c in changes if absent.intersection(c.blobs)})
        if missing:
            records[sha]["not_in_clone"] = missing
            for path in missing:
                lacking.setdefault(path, []).append(sha)
        added_deleted = [c for c in changes if c.status in ("A", "D")]
        if {c.status for c in added_deleted} == {"A", "D"}:
            moved_lacking = any(absent.intersection(c.blobs) for c in added_deleted)
            (exact_moves if moved_lacking else moves).append(sha)
    for subset, renames in ((moves, "-M"), (exact_moves, "-M100%")):  # at 100% git compares ids, not contents
        for fields, changes in records_of(*_log(repo, subset, renames)) if subset else ():
            moved = _record(fields, changes)
            records[fields[0]].update(files=moved["files"], renamed=moved["renamed"])
    return records.values()


def not_in_clone_warning(lacking: dict[str, list[str]]) -> list[str]:
    """One warning naming each file whose content the clone lacks and the
    commits that changed it, oldest first; a long list is cut short, and
    each commit's event names them all."""
    if not lacking:
        return []

    def commits(shas: list[str]) -> str:
        return f"commit{'s' * (len(shas) != 1)} {first_of([sha[:12] for sha in shas], 5)}"

    paths = sorted(lacking)
    named = first_of([f"{path} ({commits(lacking[path])})" for path in paths], 20, "; ", "more files")
    return [f"the content of {len(paths)} file{'s' * (len(paths) != 1)} at some commits is not in this clone (a "
            f"partial clone, or objects removed from it), and varnel never fetches it: {named}. A file moved and "
            "changed in those commits counts as removed and added; each commit's event names them in not_in_clone"]


def commit_event(commit: dict) -> dict:
    """The event record of one commit. `observed_at` comes from the commit's
    epoch time, which git always gives; a time git writes in a form that is
    not ISO 8601 (an out-of-range offset) is left out of the payload."""
    payload = {
        "commit_hash": commit["sha"],
        "message": commit["message"],
        "author": commit["author"],
        "files": commit["files"],
        **({"renamed": commit["renamed"]} if commit["renamed"] else {}),
        **({"not_in_clone": commit["not_in_clone"]} if commit.get("not_in_clone") else {}),
        "committed_at": commit["committed_at"],
        "authored_at": commit["authored_at"],
        "attestation": {"commit_hash": commit["sha"], "message": commit["message"], "author": commit["author"]},
    }
    for key in ("committed_at", "authored_at"):
        if not valid_iso(payload[key]):
            del payload[key]
    return {
        "event_id": commit["sha"],
        "source_type": "git",
        "source_family": "version_control",
        "observed_at": epoch_utc_text(commit["epoch"]),
        "payload": payload,
    }


def odd_times(odd: list[str]) -> list[str]:
    """One warning naming the commits whose times git writes unreadably, if any."""
    if not odd:
        return []
    shown = first_of(odd, 10)
    return [f"time zone offsets git cannot write as ISO 8601 in {len(odd)} commit{'s' * (len(odd) != 1)} "
            f"({shown}): their times are read from the epoch time and the unreadable fields left out"]


def reachable_commits(repo: Path) -> list[tuple[str, str]]:
    """(commit, epoch time) of the non-merge commits reachable from HEAD, in
    the history's order, newest first; none in a repository without commits."""
    if not has_commits(repo):
        return []
    fields = _text(_git(repo, "log", "--no-merges", "--topo-order", "--format=%H %ct", "HEAD")).split()
    return list(zip(fields[::2], fields[1::2]))


def own_commits(repo: Path, config: Config) -> tuple[list[tuple[str, str]], int]:
    """(commit, epoch time) of the reachable non-merge commits of the
    repository's own history, newest first, and how many commits of unrelated
    histories were left out."""
    reachable = reachable_commits(repo)
    unrelated = set() if config.keep_unrelated_histories else unrelated_commits(repo)
    return [c for c in reachable if c[0] not in unrelated], len(unrelated & {sha for sha, _ in reachable})


def collect_git(repo: Path, workspace: Path, progress: Callable[[int, int], None] | None = None,
                config: Config | None = None, is_intact: Callable[[str], bool] | None = None) -> GitCollection:
    """Brings ``workspace/events`` in line with the commits reachable from HEAD;
    `is_intact` tells a damaged event file by its name (a run's index of the
    files already knows)."""
    repo = Path(repo)
    config = config if config is not None else Config()
    events = Path(workspace) / "events"
    is_intact = is_intact or (lambda name: intact(events / name))
    events.mkdir(parents=True, exist_ok=True)
    state_path = Path(workspace) / "collect-state.json"
    settings = {"version": VERSION, "exclude_paths": list(config.exclude_paths),
                "bot_authors": list(config.bot_authors)}
    state = read_state(state_path, passed_over=str, too_large=str)
    if state.get("settings") != settings:
        for old in events.glob(f"{PREFIX}*.json"):  # collected under other (or unknown) settings
            old.unlink()
        state = {}
    passed_over = set(state.get("passed_over", []))
    too_large = set(state.get("too_large", []))
    result = GitCollection()
    result.shallow = _text(_git(repo, "rev-parse", "--is-shallow-repository")).strip() == "true"
    timed, result.unrelated = own_commits(repo, config)
    reachable = [sha for sha, _ in timed]
    result.commits = len(reachable)
    if result.shallow:
        result.warnings.append(
            f"this is a shallow clone: only {len(reachable)} commits of history are available, so baselines "
            "are short; run 'git fetch --unshallow' for the whole history"
        )
    if result.unrelated:
        result.warnings.append(
            f"{result.unrelated} commits of histories merged in without a common ancestor (a subtree merge or an "
            "imported repository) are another project's and were left out; keep_unrelated_histories = true "
            "keeps them")
    places = same_second_places(timed[::-1])
    have = place_files(events, PREFIX, places, lambda sha: sha)
    for sha, name in list(have.items()):
        if not is_intact(name):  # collected again below
            (events / name).unlink()
            del have[sha]
            result.warnings.append(f"{events / name} was damaged; its commit is collected again")
    wanted = set(reachable)
    for sha in have.keys() - wanted:
        (events / have.pop(sha)).unlink()
        result.removed += 1
    passed_over &= wanted
    too_large &= wanted
    missing = [sha for sha in reachable if sha not in have and sha not in passed_over and sha not in too_large]
    if missing:
        notes: list[str] = []
        records = describe(repo, missing, notes)
        described = 0
        odd = []
        for commit in records:
            described += 1
            if not (valid_iso(commit["committed_at"]) and valid_iso(commit["authored_at"])):
                odd.append(commit["sha"][:12])
            if config.is_bot(commit["author"]):
                passed_over.add(commit["sha"])
            else:
                commit["files"] = [f for f in commit["files"] if not config.excluded(f)]
                commit["renamed"] = [r for r in commit["renamed"] if not config.excluded(r["to"])]
                try:
                    write_event(events / event_file(PREFIX, commit["sha"], places.get(commit["sha"])),
                                commit_event(commit))
                    result.added += 1
                except EventTooLarge:
                    too_large.add(commit["sha"])
            if progress is not None:
                progress(described, len(missing))
        if described != len(missing):
            raise CollectError(f"git listed {len(missing)} new commits but described {described}")
        result.warnings += notes + odd_times(odd)
    result.passed_over = len(passed_over)
    result.warnings += too_large_warning("commit", sorted(sha[:12] for sha in too_large))
    write_json_atomic(state_path, {"settings": settings, "passed_over": sorted(passed_over),
                                   "too_large": sorted(too_large)})
    return result
