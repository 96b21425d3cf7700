"""Events derived from files in the repository's history.

Dependency manifests, API documents and infrastructure files are already in
git: every commit that changes one of them is a new observation. A
`TreeSource` says which paths it reads, the unit one event describes (all
of the repository's manifests, its API documents, its Terraform
configuration: one series each, since the signal engine judges a family as
one series), how to read a unit's files at one commit and what payload a
reading gives against the reading at the commit's parent.

These files describe the state of the mainline, so the walk follows HEAD's
first-parent chain: a branch's changes arrive with the merge commit that
brings them onto it (diffed against its first parent), and a side branch's
older state never reads as the project's, nor does a history merged in
without a common ancestor. git is asked once for those commits and the paths
they change (oldest first, renames listed as a deletion and an addition, so
a moved manifest also changes the directory it left), and those touching any
source's files are kept. Directories and files are read through one
`git cat-file --batch` process, and a unit's last reading is kept, so files
unchanged between commits are parsed once.

Files under vendored directories and under test-fixture, example and
snapshot directories (the `fixture_dirs` setting) are not the project's and
are not read.

It is incremental like the commit collector: commits already read are
listed in ``history-state.json`` and passed over, event files of commits no
longer in the history are removed, and a change of the sources' version or
of the settings reads the history afresh. The state also lists the event
files written, so a commit whose event has gone (removed by hand, say) is
read again, and the events left out for being larger than the engines read,
which every run names in a warning.

A file that cannot be read as what its name says (a malformed lock file,
say) is named in the event's `unreadable` and left out of the reading. When
the mainline could read it before, the counts it gave are not known: they
are null (no signal either way) while it stays unreadable, the commit that
broke it records it in `broken` (file, cause, line), and no diff is taken
against or across such a reading. A source whose counts cannot be null
writes no event for those commits. A file unreadable since it appeared (a
malformed fixture elsewhere) is only left out, so it never silences a family. Warnings are summarised by family,
cause and directory; the full list is kept in the workspace
(``collection-warnings.txt``).
"""

from __future__ import annotations

import hashlib
import json
import re
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Hashable, Iterator, Mapping, Protocol

from ..config import Config
from ..files import read_state, write_json_atomic, write_text_atomic
from ..git import CollectError, diffs, git, has_commits, log_records, start, text
from .events import (EventTooLarge, epoch_utc_text, event_file, event_name, first_of, intact, place_files,
                     same_second_places, too_large_warning, write_event)

# Bump when a source reads files differently, so older events are read afresh.
VERSION = 8
STATE_FILE = "history-state.json"
WARNINGS_FILE = "collection-warnings.txt"
# Directories whose files belong to other projects, whatever the settings say.
VENDORED = frozenset({"node_modules", "vendor", "third_party", "_vendor", "vendored", ".venv", "venv", ".terraform",
                      "site-packages"})
_FORMAT = "%x00%H%x00%P%x00%ct%x00%B"


_NOTHING = object()  # a parse that found nothing, kept as such


class SourceError(ValueError):
    """A file of a unit cannot be read as what its name says it is; `path`
    names it when it is one of several read together."""

    def __init__(self, message: str, path: str | None = None):
        super().__init__(message)
        self.path = path


@dataclass(frozen=True)
class Entry:
    path: str
    blob: str


class TreeSource(Protocol):
    prefix: str  # events are named <prefix><commit>-<unit hash> (files: see `event_file`)
    family: str
    source_type: str

    def unit_of(self, path: str) -> Hashable | None:
        """The unit a changed path belongs to, or None when the source does not read it."""

    def entries(self, tree: "Tree", unit: Hashable) -> list[Entry]:
        """The unit's files at one commit."""

    def read(self, unit: Hashable, files: "Files") -> Any:
        """The unit's state from its files, None when they describe nothing
        this source measures; files that cannot be read are left out through
        `files.parsed` or `files.refuse`."""

    def payload(self, unit: Hashable, state: Any, previous: Any) -> dict:
        """The event payload of a state, against the unit's previous state
        (None at first, or when it was not read completely)."""

    # Payload members (section, key) that stand unknown (null) when a file
    # of the unit cannot be read; None when the source's counts cannot be
    # null (the commit then gets no event).
    unknown: tuple[tuple[str, str], ...] | None


class MissingObject(CollectError):
    """An object the history names but this clone does not hold (a partial
    or damaged clone); git is never asked to fetch it."""


NOT_IN_CLONE = "not in this clone"
# Manifests, lock files, API documents and .tf files past this size are not
# read: a 50 MB package.json would become an event the engines cannot hold.
FILE_SIZE_LIMIT = 16 * 1024 * 1024


class TooLarge(ValueError):
    def __init__(self, size: int, limit: int):
        super().__init__(f"{size} bytes, over the {limit} bytes varnel reads of one file")


class _Recent(dict):
    """A dict that keeps its `limit` most recently used entries."""

    def __init__(self, limit: int):
        super().__init__()
        self.limit = limit

    def recall(self, key: Hashable) -> Any:
        """The value of `key`, now the most recently used; None when absent."""
        value = self.pop(key, None)
        if value is not None:
            self[key] = value
        return value

    def keep(self, key: Hashable, value: Any) -> Any:
        self[key] = value
        if len(self) > self.limit:
            del self[next(iter(self))]
        return value


class Objects:
    """Reads git objects through one `git cat-file --batch` process: file
    contents, and directory listings parsed from tree objects. Directory
    listings, what Tree.find found in a directory and what Files.parsed made
    of files are kept by object id, the most recently used of them only, so
    a long history reads what changed and memory stays bounded."""

    def __init__(self, repo: Path):
        self._repo = repo
        self._start()
        self._trees = _Recent(50_000)
        self.findings = _Recent(50_000)  # Tree.find's results by directory
        self.parsed = _Recent(512)  # Files.parsed's results by blob ids

    def _start(self) -> None:
        # git's messages go to a file, read only when the process has died.
        self._errors = tempfile.TemporaryFile()
        self._process = start(self._repo, "cat-file", "--batch", stderr=self._errors)

    def _died(self, name: str) -> CollectError:
        """Why the process ended on `name`; a new process takes its place."""
        self._process.wait()
        self._errors.seek(0)
        message = self._errors.read().decode("utf-8", "replace").strip()
        self._errors.close()
        self._start()
        # git asks a partial clone's promisor for an object it lacks, and dies when fetching is refused.
        if "promisor remote" in message:
            return MissingObject(f"{name}: {NOT_IN_CLONE}")
        return CollectError(f"git cannot read {name}: {message.splitlines()[-1] if message else 'git ended'}")

    def _read(self, name: str, kind: bytes, limit: int | None = None) -> tuple[str, bytes]:
        """(object id, content) of an object of `kind`; TooLarge past `limit` bytes."""
        assert self._process.stdin is not None and self._process.stdout is not None
        try:
            self._process.stdin.write(name.encode() + b"\n")
            self._process.stdin.flush()
        except BrokenPipeError:
            raise self._died(name) from None
        line = self._process.stdout.readline()
        if not line:
            raise self._died(name)
        header = line.split()
        if len(header) == 2 and header[1] == b"missing":
            raise MissingObject(f"{name}: {NOT_IN_CLONE}")
        if len(header) != 3:
            raise CollectError(f"git cannot read {name}")
        size = int(header[2])
        if limit is not None and size > limit:
            left = size + 1
            while left:  # passed over in pieces, never held whole
                left -= len(self._process.stdout.read(min(1 << 20, left))) or left
            raise TooLarge(size, limit)
        # Read the content even when refusing it, so the next answer starts in step.
        content = self._process.stdout.read(size + 1)
        if header[1] != kind:
            raise CollectError(f"git cannot read {name}: it is a {header[1].decode()}, not a {kind.decode()}")
        return header[0].decode(), content[:-1]

    def blob(self, blob: str, limit: int | None = None) -> bytes:
        return self._read(blob, b"blob", limit)[1]

    def root(self, commit: str) -> str:
        """The id of a commit's top directory."""
        return self._read(f"{commit}^{{tree}}", b"tree")[0]

    def tree(self, tree: str) -> list[tuple[bool, str, str]]:
        """(is a directory, name, object id) of each file and directory of a
        tree; submodules are not the repository's files and symlinks hold a
        path, not the file they point to, so both are left out."""
        entries = self._trees.recall(tree)
        if entries is None:
            oid, content = self._read(tree, b"tree")
            size = len(oid) // 2  # 20 bytes, or 32 in a SHA-256 repository
            entries, i = [], 0
            while i < len(content):
                space = content.index(b" ", i)
                nul = content.index(b"\0", space)
                mode = content[i:space]
                if mode not in (b"160000", b"120000"):
                    # Some old tools wrote a directory's mode zero-padded.
                    entries.append((mode in (b"40000", b"040000"), text(content[space + 1 : nul]),
                                    content[nul + 1 : nul + 1 + size].hex()))
                i = nul + 1 + size
            self._trees.keep(tree, entries)
        return entries

    def close(self) -> None:
        if self._process.stdin is not None:
            self._process.stdin.close()
        self._process.wait()
        self._errors.close()


class Tree:
    """The files of one commit, listed on demand."""

    def __init__(self, objects: Objects, commit: str, vendored: Callable[[str], bool]):
        self.objects = objects
        self.commit = commit
        self.vendored = vendored

    def find(self, wanted: Callable[[str], bool]) -> list[Entry]:
        """Every file of the commit whose name `wanted` accepts, outside
        vendored directories. A directory's findings are kept by its tree id,
        so each commit walks only the directories that changed."""
        return self._find(self.objects.root(self.commit), "", wanted)

    def _find(self, tree: str, prefix: str, wanted: Callable[[str], bool]) -> list[Entry]:
        key = (tree, prefix, wanted)
        found = self.objects.findings.recall(key)
        if found is None:
            found = []
            for is_dir, name, oid in self.objects.tree(tree):
                path = prefix + name
                if is_dir:
                    if not self.vendored(path + "/-"):  # nothing below a vendored directory is read
                        found += self._find(oid, path + "/", wanted)
                elif wanted(name) and not self.vendored(path):
                    found.append(Entry(path, oid))
            self.objects.findings.keep(key, found)
        return found


class Files(Mapping[str, bytes]):
    """A unit's files by path, read from git when first looked at.

    A file that cannot be read as what its name says is left out of the
    unit's reading, with the reason in `unreadable`; sources put its path in
    their events."""

    def __init__(self, entries: tuple[Entry, ...], objects: Objects):
        self._blobs = {e.path: e.blob for e in entries}
        self._objects = objects
        self.unreadable: dict[str, str] = {}  # path -> why it cannot be read
        self.not_in_clone: set[str] = set()  # files whose content this clone lacks
        self.unread: list[str] = []  # files of formats the source does not read, as it says
        # Unreadable files the mainline could read before: their counts are unknown, not gone.
        self.lost: set[str] = set()
        self.read_ok: set[str] = set()  # files a parse found something in

    def parsed(self, kind: str, paths: tuple[str, ...], parse: Callable[[], Any]) -> Any:
        """What `parse` makes of the files `paths`, kept by their blob ids
        under `kind` (files unchanged since an earlier commit are not read or
        parsed again); None when `parse` refuses them with SourceError."""
        key = (kind, tuple((p, self._blobs[p]) for p in paths))
        value = self._objects.parsed.recall(key)
        if value is None:
            try:
                value = parse()
            except SourceError as e:
                value = e
            except MissingObject:
                self.not_in_clone.update(paths)
                return None
            self._objects.parsed.keep(key, _NOTHING if value is None else value)
        if value is _NOTHING:
            return None
        if isinstance(value, SourceError):
            self.refuse((value.path,) if value.path else paths, str(value))
            return None
        self.read_ok.update(paths)
        return value

    def refuse(self, paths: tuple[str, ...], problem: str) -> None:
        """Leaves `paths` out of the reading, for `problem` (which may name the file)."""
        for path in paths:
            self.unreadable[path] = problem

    def __getitem__(self, path: str) -> bytes:
        try:
            return self._objects.blob(self._blobs[path], FILE_SIZE_LIMIT)
        except TooLarge as e:
            raise SourceError(f"{path}: {e}", path) from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._blobs)

    def __len__(self) -> int:
        return len(self._blobs)


@dataclass(frozen=True)
class Problem:
    """One file a commit's reading could not use."""

    family: str
    commit: str
    path: str
    kind: str  # "unreadable", "unread" (a format varnel does not read) or "not_in_clone"
    cause: str = ""
    day: str = ""  # the commit's date (UTC), for the warning

    def line(self) -> str:
        return f"{self.family}\t{self.commit}\t{self.kind}\t{self.path}\t{self.cause}"


_KINDS = {"unread": "in a format varnel does not read",
          "not_in_clone": "not in this clone (a partial clone, or objects removed from it)"}


def summary(problems: list[Problem], full_list: Path | None) -> list[str]:
    """A few lines for `problems`: one per family, kind and directory, with
    an example, the commits it spans and where the full list is."""
    groups: dict[tuple[str, str, str], list[Problem]] = {}
    for problem in problems:
        groups.setdefault((problem.family, problem.kind, problem.path.rpartition("/")[0]), []).append(problem)
    lines = []
    for (family, kind, directory), found in groups.items():
        days = {p.commit: p.day for p in found}  # by commit, in the order they were read
        commits = [f"{sha[:12]} of {day}" if day else sha[:12] for sha, day in days.items()]
        names = sorted({p.path.rpartition("/")[2] for p in found})
        where = f"{directory}/" if directory else "the top directory"
        shown = first_of(names, 3)
        span = f"commit {commits[0]}" if len(commits) == 1 else f"{len(commits)} commits, {commits[0]} to {commits[-1]}"
        verb = "could not be read" if kind == "unreadable" else ("is " if len(names) == 1 else "are ") + _KINDS[kind]
        line = f"{family}: {shown} in {where} {verb} ({span})"
        if kind == "unreadable":
            line += f"; for example {found[0].cause}"
        lines.append(line)
    if lines and full_list is not None:
        lines.append(f"every file and commit concerned: {full_list}")
    return lines


@dataclass
class HistoryCollection:
    """What one run of the history sources did, per event family."""

    events: dict[str, int] = field(default_factory=dict)  # family -> events on disk after the run
    added: int = 0
    removed: int = 0
    problems: list[Problem] = field(default_factory=list)  # of the commits read in this run
    healed: list[str] = field(default_factory=list)  # damaged event files, read again
    warnings: list[str] = field(default_factory=list)  # `healed`, and `problems` summarised


def left_out(config: Config) -> Callable[[str], bool]:
    """Whether a path is none of the project's own files: it lies in a
    directory of other projects' files (a well-known one, or one the settings
    exclude, "vendor/**") or of test fixtures, examples or snapshots. The
    settings' file patterns ("*.lock") are for the commit metrics only."""
    directories = Config(exclude_paths=tuple(p for p in config.exclude_paths if p.endswith("/**")))
    return lambda path: (any(part in VENDORED for part in path.split("/")[:-1]) or directories.excluded(path)
                         or config.in_fixtures(path))


def unit_key(unit: Hashable) -> str:
    """A short stable name of a unit for file names and event ids."""
    return hashlib.sha256(json.dumps(unit).encode()).hexdigest()[:12]


def _commits(repo: Path, warnings: list[str], after: str | None = None,
             ) -> Iterator[tuple[str, str | None, str, str, list[str]]]:
    """(sha, first parent, commit epoch time, message, changed paths) of each
    commit of HEAD's first-parent chain (after the commit `after`, when
    given), merges diffed against their first parent, oldest first. The paths
    are filtered here rather than by git: a few dozen glob pathspecs make git
    log twenty times slower."""
    # Without rename detection a moved file also changes the directory it left.
    raw, refused = diffs(repo, "log", "--first-parent", "--diff-merges=first-parent", "--reverse", "--no-renames",
                         "-z", "--name-only", f"--format={_FORMAT}", f"{after}..HEAD" if after else "HEAD", "--")
    warnings += [refused] if refused else []
    for (sha, parents, committed, message), paths in log_records(raw, 4):
        yield sha, (parents.split() or [None])[0], committed, message.rstrip("\n"), paths


Reading = tuple[Any, "Files | None"]


def _read(tree: Tree, source: TreeSource, unit: Hashable,
          known: dict[tuple[str, Hashable], tuple[tuple[Entry, ...], Any, Files | None]]) -> Reading:
    """A unit's state at one commit (None when none of its files is there)
    and the files read, which say what was left out. `known` keeps each
    unit's last reading by its files' blob ids, so files unchanged since are
    not parsed again."""
    try:
        entries = tuple(source.entries(tree, unit))
    except MissingObject:  # a directory this clone lacks: nothing to read
        return None, None
    if not entries:
        return None, None
    slot = (source.prefix, unit)
    if slot not in known or known[slot][0] != entries:
        files = Files(entries, tree.objects)
        known[slot] = (entries, source.read(unit, files), files)
    return known[slot][1], known[slot][2]


_LINE = re.compile(r"\bline (\d+)")


def _broken(files: Files, before: Files | None) -> list[dict]:
    """The files this commit made unreadable that its parent could read;
    sets `files.lost` to those and to the ones lost before and still unreadable.
    A file unreadable since it appeared is only left out: its counts were never known."""
    files.lost = set()
    if before is None:
        return []
    broken = []
    for path, cause in sorted(files.unreadable.items()):
        if path in before and path in before.lost:
            files.lost.add(path)
        elif path in before and path not in before.unreadable:
            files.lost.add(path)
            line = _LINE.search(cause)
            broken.append({"file": path, "cause": cause.removeprefix(f"{path}: "),
                           "line": int(line.group(1)) if line else None})
    return broken


def _payload(source: TreeSource, unit: Hashable, now: Reading, before: Reading) -> dict | None:
    """A reading's payload; None when it cannot be written (a file the
    source's counts need was lost and they cannot stand unknown)."""
    (current, files), (previous, earlier) = now, before
    broken = _broken(files, earlier)
    unknown = bool(files.lost or files.not_in_clone)  # the counts miss files that hold something
    if unknown and source.unknown is None:
        return None
    if not unknown and not files.read_ok:
        return None  # nothing could be read, and nothing was known before: no count to give
    comparable = not unknown and not (earlier is not None and (earlier.lost or earlier.not_in_clone))
    payload = source.payload(unit, current, previous if comparable else None)
    if unknown:
        for section, key in source.unknown:
            if key in payload.get(section, {}):
                payload[section][key] = None
        if broken:
            payload["broken"] = broken
    if files.not_in_clone:
        payload["not_in_clone"] = sorted(files.not_in_clone)
    return payload


def _problems(source: TreeSource, sha: str, day: str, files: Files) -> list[Problem]:
    found = [Problem(source.family, sha, path, "unreadable", cause, day) for path, cause in files.unreadable.items()]
    found += [Problem(source.family, sha, path, "unread", day=day) for path in files.unread]
    return found + [Problem(source.family, sha, path, "not_in_clone", day=day) for path in sorted(files.not_in_clone)]


def collect_history(repo: Path, workspace: Path, sources: list[TreeSource], config: Config | None = None,
                    progress: Callable[[int, int], None] | None = None,
                    is_intact: Callable[[str], bool] | None = None) -> HistoryCollection:
    """Brings the events of `sources` in line with HEAD's first-parent chain;
    `is_intact` tells a damaged event file by its name."""
    repo, config = Path(repo), config if config is not None else Config()
    events = Path(workspace) / "events"
    events.mkdir(parents=True, exist_ok=True)
    is_intact = is_intact or (lambda name: intact(events / name))
    state_path = Path(workspace) / STATE_FILE
    settings = {"version": VERSION, "exclude_paths": list(config.exclude_paths),
                "fixture_dirs": list(config.fixture_dirs), "sources": [s.prefix for s in sources]}
    state = read_state(state_path, done=str, written=str, too_large=str)
    if state.get("settings") != settings:
        for source in sources:
            for old in events.glob(f"{source.prefix}*.json"):
                old.unlink()
        state = {}
    done = set(state.get("done", []))
    too_large = set(state.get("too_large", []))
    result = HistoryCollection()
    is_left_out = left_out(config)
    refused: list[str] = []
    head = _head(repo)
    commits = _walk(repo, sources, is_left_out, refused, state.get("walked"), head)
    wanted_commits = {sha for sha, *_ in commits}
    places = same_second_places([(sha, committed) for sha, _, committed, _, _ in commits])
    files: dict[str, str] = {}  # event id -> its file's name
    for source in sources:
        for rest, name in place_files(events, source.prefix, places, _commit_of).items():
            if _commit_of(rest) not in wanted_commits:
                (events / name).unlink()
                result.removed += 1
            elif not is_intact(name):  # read again below
                (events / name).unlink()
                done.discard(_commit_of(rest))
                result.healed.append(f"{events / name} was damaged; its commit is read again")
            else:
                files[source.prefix + rest] = name
    for name in state.get("written", []):
        if name not in files:
            done.discard(_commit_of(name))  # gone since it was written: read again
    done &= wanted_commits
    if any(sha not in done and touched is None for sha, _, _, _, touched in commits):
        commits = _walk(repo, sources, is_left_out, refused, None, head)  # a commit walked before is read again
    too_large = {name for name in too_large if _commit_of(name) in done}

    objects = Objects(repo)
    try:
        known: dict[tuple[str, Hashable], tuple[tuple[Entry, ...], Any, Files | None]] = {}
        for n, (sha, parent, committed, message, touched) in enumerate(commits, 1):
            for source in sources if sha not in done else ():
                for unit in touched.get(source.prefix, ()):
                    before: Reading = (None, None)
                    if parent is not None:
                        before = _read(Tree(objects, parent, is_left_out), source, unit, known)
                    now = _read(Tree(objects, sha, is_left_out), source, unit, known)
                    if now[1] is not None:
                        result.problems += _problems(source, sha, epoch_utc_text(committed)[:10], now[1])
                    if now[0] is None:
                        continue
                    payload = _payload(source, unit, now, before)
                    if payload is None:
                        continue
                    payload["trigger"] = {"commit_sha": sha, "commit_message": message}
                    rest = f"{sha}-{unit_key(unit)}"
                    name = source.prefix + rest
                    try:
                        write_event(events / event_file(source.prefix, rest, places.get(sha)), {
                            "event_id": name,
                            "source_type": source.source_type,
                            "source_family": source.family,
                            "observed_at": epoch_utc_text(committed),
                            "payload": payload,
                        })
                        result.added += 1
                    except EventTooLarge:
                        too_large.add(name)
            done.add(sha)
            if progress is not None:
                progress(n, len(commits))
    finally:
        objects.close()
    written = []
    for source in sources:
        names = [source.prefix + event_name(path.name, source.prefix) for path in events.glob(f"{source.prefix}*.json")]
        result.events[source.family] = len(names)
        written += names
    write_json_atomic(state_path, {"settings": settings, "done": sorted(done), "written": sorted(written),
                                   "too_large": sorted(too_large),
                                   "walked": {"head": head, "touched": [[sha, t] for sha, _, t, _, _ in commits]}})
    full_list = None
    if result.problems:
        full_list = Path(workspace) / WARNINGS_FILE
        write_text_atomic(full_list, "family\tcommit\tkind\tfile\tcause\n"
                          + "".join(p.line() + "\n" for p in result.problems))
    result.warnings = (refused + result.healed + too_large_warning("history event", sorted(too_large))
                       + summary(result.problems, full_list))
    return result


Walked = list[tuple[str, "str | None", str, "str | None", "dict | None"]]


def _head(repo: Path) -> str | None:
    return text(git(repo, "rev-parse", "HEAD")).strip() if has_commits(repo) else None


def _walk(repo: Path, sources: list[TreeSource], is_left_out: Callable[[str], bool], refused: list[str],
          walked: dict | None, head: str | None) -> Walked:
    """(sha, first parent, committed_at, message, {source prefix: units it
    changes}) of the commits of HEAD's first-parent chain that touch a
    source's files, oldest first. When the chain only grew since the last
    walk (`walked`: its head and the commits it found), only the new commits
    are walked; the earlier ones come from the last walk, with neither parent,
    message nor units (None): they were read then."""
    if head is None:
        return []
    after, earlier = _last_walk(walked)
    if after == head:
        return earlier
    new = []
    try:
        for sha, parent, committed, message, paths in _commits(repo, refused, after):
            if after is not None and not new and parent != after:
                break  # the chain was rewritten
            touched = {}
            for source in sources:
                units = dict.fromkeys(u for p in paths for u in [source.unit_of(p)]
                                      if u is not None and not is_left_out(p))
                if units:
                    touched[source.prefix] = units
            new.append((sha, parent, committed, message, touched))
    except CollectError:
        if after is None:
            raise
        new = []  # the last walk's head is gone
    if after is not None and not new:
        return _walk(repo, sources, is_left_out, refused, None, head)  # not a chain that grew: walked whole
    return earlier + [c for c in new if c[4]]


def _last_walk(walked: object) -> tuple[str | None, Walked]:
    """The head of the last walk and the commits it found; (None, []) when
    there is none, or it is of another shape."""
    if not isinstance(walked, dict) or not isinstance(walked.get("head"), str):
        return None, []
    touched = walked.get("touched")
    if not isinstance(touched, list) or not all(
            isinstance(c, list) and len(c) == 2 and all(isinstance(v, str) for v in c) for c in touched):
        return None, []
    return walked["head"], [(sha, None, t, None, None) for sha, t in touched]


def _commit_of(name: str) -> str:
    """The commit of an event named <prefix><commit>-<unit key>, or of what follows its prefix."""
    return name.rsplit("-", 2)[-2] if "-" in name else ""
