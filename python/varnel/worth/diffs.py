"""Commits' diffs, read from git in one streaming call and summarised per
commit: each file's added and deleted lines, whether the commit changes
whitespace alone, and whether it is one small change repeated across many
files (a sweep).

Text is compared as tokens: words, and symbols one by one. A hunk changes
whitespace alone when its removed and added lines hold the same tokens, so
re-indented and re-wrapped lines count but "file system" made "filesystem"
does not.

A sweep is judged from hunk signatures. A hunk's signature is the set of
(removed tokens, added tokens) pairs a token diff of its removed text
against its added text finds, so the same edit in different surroundings
("Copyright 2023 A" and "(c) 2023 B" both bumped to 2024, one identifier
renamed wherever it appears) has one signature. A commit is a sweep when at
most `SWEEP_KINDS` signatures, each seen in at least `SWEEP_FILES` files of
edited (not new or deleted) files, make up at least `SWEEP_SHARE` of its
hunks and of its changed lines, each such hunk changing at most
`SWEEP_LINES` lines. So is a commit that changes comments alone in at
least `SWEEP_FILES` files (a licence header added everywhere, copyright
notices reworded).
"""

from __future__ import annotations

import difflib
import functools
import re
from collections import defaultdict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator

from ..git import CollectError, diffs, fetched_ahead, log_raw_records, text

SWEEP_FILES = 5
SWEEP_KINDS = 2
SWEEP_SHARE = 0.9
SWEEP_LINES = 20
_HUNK = re.compile(r"@@ -(\d+)(?:,(\d+))? \+\d+(?:,(\d+))? @@")
_TOKEN = re.compile(r"\w+|[^\w\s]")
_ESCAPES = {"a": 7, "b": 8, "t": 9, "n": 10, "v": 11, "f": 12, "r": 13, '"': 34, "\\": 92}


@dataclass(frozen=True)
class FileDiff:
    path: str  # the new path; the old one for a deletion
    added: int  # lines added (0 for a binary file)
    deleted: int
    binary: bool
    renamed_from: str | None  # set when git found a rename or move


@dataclass(frozen=True)
class CommitDiff:
    sha: str
    files: tuple[FileDiff, ...]
    whitespace_only: bool  # text hunks, each changing whitespace alone (see the module's description)
    sweep: bool  # the same small change across many files (see the module's description)
    readable: bool = True  # False when the clone could not give the diff


def unquote(name: str) -> str:
    """A path as git writes it, C-quoted when unusual, back as text."""
    if not (len(name) >= 2 and name[0] == name[-1] == '"'):
        return name

    def byte(match: re.Match) -> bytes:
        code = match.group(1)
        return bytes([int(code, 8) & 0xFF if len(code) == 3 else _ESCAPES.get(code.decode("latin-1"), code[0])])

    raw = name[1:-1].encode("utf-8", "surrogateescape")
    return re.sub(rb"\\([0-7]{3}|.)", byte, raw, flags=re.DOTALL).decode("utf-8", "surrogateescape")


def _header_path(rest: str) -> str:
    """The path of a `diff --git a/X b/X` line: both sides name it alike
    unless a rename, whose own lines name it then."""
    if not rest.startswith('"'):
        return rest[2 : 2 + (len(rest) - 5) // 2]
    end = 1
    while end < len(rest) and rest[end] != '"':
        end += 2 if rest[end] == "\\" else 1
    return unquote(rest[: end + 1])[2:]


@dataclass
class _File:
    path: str
    renamed_from: str | None = None
    binary: bool = False
    whole: bool = False  # a new or deleted file
    hunks: list[tuple[list[str], list[str]]] = field(default_factory=list)  # (removed lines, added lines)
    removed_at: list[int] = field(default_factory=list)  # where each removed line was in the old file


@functools.lru_cache(maxsize=4096)  # a sweep's hunks are often identical text
def _signature(minus: tuple[str, ...], plus: tuple[str, ...]) -> frozenset:
    old, new = _TOKEN.findall("\n".join(minus)), _TOKEN.findall("\n".join(plus))
    matcher = difflib.SequenceMatcher(None, old, new, autojunk=False)
    return frozenset((tuple(old[a:b]), tuple(new[c:d])) for op, a, b, c, d in matcher.get_opcodes() if op != "equal")


# How a line that is only a comment starts, in the languages commonly met.
COMMENT_MARKERS = ("#", "//", "/*", "*", "--", ";", "<!--", '"""', "'''")


def is_comment_or_blank(line: str) -> bool:
    stripped = line.strip()
    return not stripped or stripped.startswith(COMMENT_MARKERS)


def _notices(files: list[_File]) -> bool:
    """Comments alone changed in at least `SWEEP_FILES` edited files: a
    licence header or copyright notice added or reworded everywhere."""
    edited = [f for f in files if f.hunks and not f.whole]
    return len(edited) >= SWEEP_FILES and all(
        is_comment_or_blank(line) for f in files for minus, plus in f.hunks for line in minus + plus)


def _is_sweep(files: list[_File]) -> bool:
    total = sum(len(f.hunks) for f in files)
    # Only small hunks of edited files can be instances: count them before diffing any tokens.
    small = [(f.path, minus, plus) for f in files if not f.whole for minus, plus in f.hunks
             if len(minus) + len(plus) <= SWEEP_LINES]
    if len(small) < max(SWEEP_FILES, SWEEP_SHARE * total) or len({path for path, _, _ in small}) < SWEEP_FILES:
        return False
    seen: dict[frozenset, set[str]] = defaultdict(set)
    hunks: dict[frozenset, list[int]] = defaultdict(list)  # each instance's changed lines
    for path, minus, plus in small:
        signature = _signature(tuple(minus), tuple(plus))
        if signature:
            seen[signature].add(path)
            hunks[signature].append(len(minus) + len(plus))
    common = sorted((sizes for s, sizes in hunks.items() if len(seen[s]) >= SWEEP_FILES), key=len)[-SWEEP_KINDS:]
    lines = sum(len(minus) + len(plus) for f in files for minus, plus in f.hunks)
    return (sum(map(len, common)) >= SWEEP_SHARE * total
            and sum(map(sum, common)) >= SWEEP_SHARE * lines)


def _summary(sha: str, files: list[_File]) -> CommitDiff:
    hunks = [hunk for f in files for hunk in f.hunks]
    blank = (_TOKEN.findall("\n".join(minus)) == _TOKEN.findall("\n".join(plus)) for minus, plus in hunks)
    summaries = tuple(FileDiff(f.path, sum(len(plus) for _, plus in f.hunks), sum(len(minus) for minus, _ in f.hunks),
                               f.binary, f.renamed_from) for f in files)
    return CommitDiff(sha, summaries, bool(hunks) and all(blank), _notices(files) or _is_sweep(files))


def parse_files(lines: list[str]) -> list[_File]:
    """The files of one commit's `-U0` patch, with their hunks."""
    files: list[_File] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("diff --git "):
            files.append(_File(_header_path(line[11:])))
        elif not files:
            continue
        elif line.startswith("rename from "):
            files[-1].renamed_from = unquote(line[12:])
        elif line.startswith("rename to "):
            files[-1].path = unquote(line[10:])
        elif line.startswith(("new file mode", "deleted file mode")):
            files[-1].whole = True
        elif line.startswith("Binary files "):
            files[-1].binary = True
        elif (match := _HUNK.match(line)) is not None:
            # The counts say how many lines follow: a removed line may itself start with "--- ".
            old_start = int(match.group(1))
            want_minus, want_plus = (1 if n is None else int(n) for n in match.groups()[1:])
            minus, plus = [], []
            while i < len(lines) and len(minus) + len(plus) < want_minus + want_plus:
                row = lines[i]
                if row.startswith("-"):
                    minus.append(row[1:])
                elif row.startswith("+"):
                    plus.append(row[1:])
                elif not row.startswith("\\"):  # "\ No newline at end of file"
                    break
                i += 1
            files[-1].hunks.append((minus, plus))
            files[-1].removed_at.extend(range(old_start, old_start + len(minus)))
    return files


def _names_only(repo: Path, shas: list[str]) -> dict[str, CommitDiff]:
    """Each commit's files without their contents, for a clone that lacks them."""
    try:
        raw, _ = diffs(repo, "log", "--no-walk=unsorted", "--stdin", "-z", "--raw", "--no-abbrev", "--no-renames",
                       "--format=%x00%H", stdin="\n".join(shas).encode())
        records = list(log_raw_records(raw, 1))
    except CollectError:
        records = []
    found = {values[0]: tuple(FileDiff(c.paths[-1], 0, 0, False, None) for c in changes) for values, changes in records}
    return {sha: CommitDiff(sha, found.get(sha, ()), False, False, readable=False) for sha in shas}


def _patches(repo: Path, shas: list[str]) -> bytes | None:
    """git's patches of the commits `shas`; None when it cannot give them."""
    try:
        return diffs(repo, "log", "--no-walk=unsorted", "--stdin", "-p", "-U0", "-M", "--no-color", "--no-ext-diff",
                     "--no-textconv", "--src-prefix=a/", "--dst-prefix=b/", "--format=%x00%H",
                     stdin="\n".join(shas).encode())[0]
    except CollectError:
        return None


def read_diffs(repo: Path, shas: list[str]) -> dict[str, CommitDiff]:
    """{sha: its diff summarised} for non-merge commits `shas`."""
    return _summaries(repo, shas, _patches(repo, shas)) if shas else {}


def read_diffs_in_batches(repo: Path, shas: list[str], size: int) -> Iterator[tuple[list[str], dict[str, CommitDiff]]]:
    """(batch, `read_diffs` of it) for `shas` in batches of `size`: git
    writes the next batch's patches while this one is read, and no more than
    two batches are held."""
    for batch, raw in fetched_ahead(shas, size, lambda batch: _patches(repo, batch)):
        yield batch, _summaries(repo, batch, raw)


def _summaries(repo: Path, shas: list[str], raw: bytes | None) -> dict[str, CommitDiff]:
    if raw is None:
        return _names_only(repo, shas)
    out: dict[str, CommitDiff] = {}
    for chunk in text(raw).split("\0")[1:]:
        lines = chunk.split("\n")
        out[lines[0]] = _summary(lines[0], parse_files(lines[1:]))
    return {sha: out.get(sha) or CommitDiff(sha, (), False, False) for sha in shas}
