"""Events derived from files in the repository's history.

Dependency manifests, API documents and infrastructure files are already in
git: every commit that changes one of them is a new observation. A
`TreeSource` says which paths it reads, the unit one event describes (all
of the repository's manifests, its API documents, its Terraform
configuration: one series each, since the signal engine judges a family as
one series), how to read a unit's files at one commit and what payload a
reading gives against the reading at the commit's parent.

The walk asks git once for the non-merge commits and the paths they change
(oldest first, renames listed as a deletion and an addition, so a moved
manifest also changes the directory it left) and keeps those touching any
source's files. Directories and files are read through one
`git cat-file --batch` process, and a unit's last reading is kept, so files
unchanged between commits are parsed once. A commit's diff is against the
unit at the commit's first parent, not at the commit read before it: in a
history with merged branches that commit may lie on another branch.

It is incremental like the commit collector: commits already read are
listed in ``history-state.json`` and passed over, event files of commits no
longer in the history are removed, and a change of the sources' version or
of the settings reads the history afresh.

A file that cannot be read as what its name says (a malformed lock file,
say) is left out of the unit's reading with a warning and named in the
event's `unreadable`, so a count that drops for that reason says why, and a
malformed test fixture does not silence a whole family.
"""

from __future__ import annotations

import hashlib
import json
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Hashable, Iterator, Mapping, Protocol

from ..config import Config
from .events import epoch_utc_text, write_json_atomic
from .gitrun import CollectError, git, has_commits, log_records, start, text

# Bump when a source reads files differently, so older events are read afresh.
VERSION = 6
STATE_FILE = "history-state.json"
# Directories whose files belong to other projects, whatever the settings say.
VENDORED = frozenset({"node_modules", "vendor", "third_party", "_vendor", "vendored", ".venv", "venv", ".terraform",
                      "site-packages"})
_FORMAT = "%x00%H%x00%P%x00%ct%x00%B"


_NOTHING = object()  # a parse that found nothing, kept as such


class SourceError(ValueError):
    """A file of a unit cannot be read as what its name says it is."""


@dataclass(frozen=True)
class Entry:
    path: str
    blob: str


class TreeSource(Protocol):
    prefix: str  # event files are named <prefix><commit>-<unit hash>.json
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
        """The event payload of a state, against the unit's previous state (None at first)."""


class MissingObject(CollectError):
    """An object the history names but this clone does not hold (a partial
    or damaged clone); git is never asked to fetch it."""


NOT_IN_CLONE = "not in this clone"


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

    def _read(self, name: str, kind: bytes) -> tuple[str, bytes]:
        """(object id, content) of an object of `kind`."""
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
        # Read the content even when refusing it, so the next answer starts in step.
        content = self._process.stdout.read(int(header[2]) + 1)
        if header[1] != kind:
            raise CollectError(f"git cannot read {name}: it is a {header[1].decode()}, not a {kind.decode()}")
        return header[0].decode(), content[:-1]

    def blob(self, blob: str) -> bytes:
        return self._read(blob, b"blob")[1]

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
    unit's reading (so one malformed test fixture does not silence a whole
    family) and said in `problems`; its path is in `unreadable`, which sources
    put in their events, so a count that drops for that reason says why."""

    def __init__(self, entries: tuple[Entry, ...], objects: Objects):
        self._blobs = {e.path: e.blob for e in entries}
        self._objects = objects
        self.problems: list[str] = []
        self.unreadable: list[str] = []
        self.not_in_clone: list[str] = []  # files whose content this clone lacks

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
                self.problems.append(f"{', '.join(paths)}: {NOT_IN_CLONE} (a partial clone), so not read")
                self.not_in_clone.extend(paths)
                return None
            self._objects.parsed.keep(key, _NOTHING if value is None else value)
        if value is _NOTHING:
            return None
        if isinstance(value, SourceError):
            self.refuse(paths, str(value))
            return None
        return value

    def refuse(self, paths: tuple[str, ...], problem: str) -> None:
        """Leaves `paths` out of the reading, for `problem`."""
        self.problems.append(problem)
        self.unreadable.extend(paths)

    def __getitem__(self, path: str) -> bytes:
        return self._objects.blob(self._blobs[path])

    def __iter__(self) -> Iterator[str]:
        return iter(self._blobs)

    def __len__(self) -> int:
        return len(self._blobs)


@dataclass
class HistoryCollection:
    """What one run of the history sources did, per event family."""

    events: dict[str, int] = field(default_factory=dict)  # family -> events on disk after the run
    added: int = 0
    removed: int = 0
    warnings: list[str] = field(default_factory=list)


def vendoring(config: Config) -> Callable[[str], bool]:
    """Whether a path lies in a directory of other projects' files: a
    well-known one, or a directory the settings exclude ("vendor/**"); the
    settings' file patterns ("*.lock") are for the commit metrics only."""
    directories = Config(exclude_paths=tuple(p for p in config.exclude_paths if p.endswith("/**")))
    return lambda path: any(part in VENDORED for part in path.split("/")[:-1]) or directories.excluded(path)


def unit_key(unit: Hashable) -> str:
    """A short stable name of a unit for file names and event ids."""
    return hashlib.sha256(json.dumps(unit).encode()).hexdigest()[:12]


def _commits(repo: Path) -> Iterator[tuple[str, str | None, str, str, list[str]]]:
    """(sha, first parent, commit epoch time, message, changed paths) of every non-merge commit
    reachable from HEAD, parents first. The paths are filtered here rather
    than by git: a few dozen glob pathspecs make git log twenty times slower."""
    # Without rename detection a moved file also changes the directory it left.
    raw = git(repo, "log", "--topo-order", "--reverse", "--no-merges", "--no-renames", "-z", "--name-only",
              f"--format={_FORMAT}", "HEAD", "--")
    for (sha, parents, committed, message), paths in log_records(raw, 4):
        yield sha, (parents.split() or [None])[0], committed, message.rstrip("\n"), paths


def _read(tree: Tree, source: TreeSource, unit: Hashable,
          known: dict[tuple[str, Hashable], tuple[tuple[Entry, ...], Any, Files | None]]) -> tuple[Any, Files | None]:
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


def collect_history(repo: Path, workspace: Path, sources: list[TreeSource], config: Config | None = None,
                    progress: Callable[[int, int], None] | None = None) -> HistoryCollection:
    """Brings the events of `sources` in line with the commits reachable from HEAD."""
    repo, config = Path(repo), config if config is not None else Config()
    events = Path(workspace) / "events"
    events.mkdir(parents=True, exist_ok=True)
    state_path = Path(workspace) / STATE_FILE
    settings = {"version": VERSION, "exclude_paths": list(config.exclude_paths),
                "sources": [s.prefix for s in sources]}
    try:
        state = json.loads(state_path.read_text(encoding="utf-8"))
    except (FileNotFoundError, ValueError):
        state = None
    if not isinstance(state, dict) or state.get("settings") != settings:
        for source in sources:
            for old in events.glob(f"{source.prefix}*.json"):
                old.unlink()
        state = {}
    done = set(state.get("done", []))
    result = HistoryCollection()
    is_vendored = vendoring(config)
    commits = []  # (sha, first parent, committed_at, message, {source prefix: units it changes})
    for sha, parent, committed, message, paths in (_commits(repo) if has_commits(repo) else ()):
        touched = {}
        for source in sources:
            units = dict.fromkeys(u for p in paths for u in [source.unit_of(p)] if u is not None and not is_vendored(p))
            if units:
                touched[source.prefix] = units
        if touched:
            commits.append((sha, parent, committed, message, touched))
    wanted_commits = {sha for sha, *_ in commits}

    for source in sources:
        for old in events.glob(f"{source.prefix}*.json"):
            if old.name[len(source.prefix) :].split("-", 1)[0] not in wanted_commits:
                old.unlink()
                result.removed += 1
    done &= wanted_commits

    objects = Objects(repo)
    try:
        known: dict[tuple[str, Hashable], tuple[tuple[Entry, ...], Any, Files | None]] = {}
        for n, (sha, parent, committed, message, touched) in enumerate(commits, 1):
            for source in sources if sha not in done else ():
                for unit in touched.get(source.prefix, ()):
                    previous = None
                    if parent is not None:
                        previous = _read(Tree(objects, parent, is_vendored), source, unit, known)[0]
                    current, files = _read(Tree(objects, sha, is_vendored), source, unit, known)
                    if files is not None:
                        result.warnings += [f"{sha[:12]}: {p}; left out of this commit's {source.family} event"
                                            for p in files.problems]
                    if current is None:
                        continue
                    payload = source.payload(unit, current, previous)
                    if files.not_in_clone:
                        payload["not_in_clone"] = sorted(files.not_in_clone)
                    payload["trigger"] = {"commit_sha": sha, "commit_message": message}
                    name = f"{source.prefix}{sha}-{unit_key(unit)}"
                    write_json_atomic(events / f"{name}.json", {
                        "event_id": name,
                        "source_type": source.source_type,
                        "source_family": source.family,
                        "observed_at": epoch_utc_text(committed),
                        "payload": payload,
                    })
                    result.added += 1
            done.add(sha)
            if progress is not None:
                progress(n, len(commits))
    finally:
        objects.close()
    for source in sources:
        result.events[source.family] = sum(1 for _ in events.glob(f"{source.prefix}*.json"))
    write_json_atomic(state_path, {"settings": settings, "done": sorted(done)})
    return result

