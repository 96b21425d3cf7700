"""Dependency snapshots: the repository's dependencies at each commit that
changes a manifest or lock file.

The snapshot is the whole repository's, one series, so that a small
docs/package.json changing after the application's lock file never reads as
the dependencies shrinking by nine tenths. It is made of the snapshots of
each directory's files of one ecosystem (the package `manifests` reads the
formats), and these are counted once:

- Where an ecosystem declares a workspace (Cargo's `[workspace]` members,
  npm and yarn `workspaces`, `pnpm-workspace.yaml`, uv's
  `[tool.uv.workspace]`), its members (and its own directory) define the
  project: other directories of that ecosystem below it are not read.
- Of an ecosystem, the directories with a complete record (a lock file, or
  go.mod, which lists every module a build needs) are counted; directories
  with manifests alone count only when no directory of that ecosystem has a
  complete record, since in a workspace the members' manifests repeat what
  the top lock file already holds. The top directory's manifests always
  count.
- Packages are counted once by ecosystem, name and version across
  directories (a crate and an npm package may share a name); a package is
  direct when any directory depends on it directly.
- `ecosystem` is the ecosystem with most packages (the signal engine judges
  the depth only for some ecosystems, and asks this one), `ecosystems` lists
  all of them, `max_depth` is the deepest tree any lock file shows, and
  `manifests` says what each directory held.
- `counted_from` lists the files the counts come from; when the lock files
  among them change (one appears, replaces another or disappears) the event
  says `measure_changed`: the count moved because what is counted did.
- `dependencies` lists the packages, at most `DEPENDENCY_LIST_LIMIT` of
  them (the direct ones first, then the others, each by name): past it,
  `dependencies_listed` says how many are listed; the counts are of all.
- `unread` lists dependency files of formats varnel does not read (bun.lockb,
  composer.lock, setup.py, ...): a lock always, a manifest when nothing else
  of its directory was read.

The diff against the commit's parent counts packages added, removed and moved
to another version, by ecosystem and name; a package held in several versions
has moved when the set of its versions changed. A directory whose files
cannot be read is named in `unreadable` and the counts are unknown (null).
"""

from __future__ import annotations

import fnmatch
from typing import Any, Hashable

from .history import Entry, Files, SourceError, Tree
from .manifests import ManifestError, ecosystem_of, snapshot
from .manifests.reading import load_json, load_toml, load_yaml

UNIT = "dependencies"  # one snapshot of the whole repository
# Files that record all of an ecosystem's packages, not only the declared ones.
_COMPLETE = frozenset({"uv.lock", "poetry.lock", "Pipfile.lock", "package-lock.json", "npm-shrinkwrap.json",
                       "pnpm-lock.yaml", "yarn.lock", "bun.lock", "Cargo.lock", "Gemfile.lock", "go.mod"})
# Dependency files of formats varnel does not read: a lock leaves packages
# uncounted wherever it is; a manifest only where nothing else was read.
UNREAD_LOCKS = frozenset({"bun.lockb", "pdm.lock", "composer.lock", "gradle.lockfile", "mix.lock",
                          "Package.resolved", "pubspec.lock", "deno.lock", "packages.lock.json", "Podfile.lock",
                          "conda-lock.yml"})
UNREAD_MANIFESTS = frozenset({"setup.py", "Gemfile", "composer.json", "pom.xml", "build.gradle", "build.gradle.kts",
                              "pubspec.yaml", "mix.exs", "Package.swift", "Podfile", "environment.yml"})
_PNPM_WORKSPACE = "pnpm-workspace.yaml"
# An event lists at most this many packages (direct ones first); `snapshot` counts them all.
DEPENDENCY_LIST_LIMIT = 10_000
_NOT_READ = UNREAD_LOCKS | UNREAD_MANIFESTS


def _is_manifest(name: str) -> bool:
    return ecosystem_of(name) is not None


def _is_dependency_file(name: str) -> bool:
    return _is_manifest(name) or name in _NOT_READ or name == _PNPM_WORKSPACE


def _directory_snapshot(directory: str, ecosystem: str, paths: tuple[str, ...], files: Files) -> dict | None:
    try:
        return snapshot(ecosystem, {path.rpartition("/")[2]: files[path] for path in paths})
    except ManifestError as e:
        named = f"{directory}/{e}" if directory else str(e)
        culprit = named.partition(": ")[0]  # the error starts with the file's name
        raise SourceError(named, culprit if culprit in paths else None) from None


def _declaration(name: str, content: bytes) -> tuple[str, list[str], list[str]] | None:
    """(ecosystem, member patterns, excluded patterns) of a workspace a file
    declares; None when it declares none or cannot be read (the manifest's
    own reading says so)."""
    try:
        text = content.decode("utf-8-sig")
        if name == "Cargo.toml":
            table, ecosystem = load_toml(text).get("workspace"), "cargo"
        elif name == "pyproject.toml":
            table, ecosystem = load_toml(text).get("tool", {}).get("uv", {}).get("workspace"), "pip"
        elif name == "package.json":
            workspaces, ecosystem = load_json(text).get("workspaces"), "npm"
            table = {"members": workspaces.get("packages") if isinstance(workspaces, dict) else workspaces}
        else:  # pnpm-workspace.yaml
            packages, ecosystem = load_yaml(text).get("packages"), "npm"
            packages = packages if isinstance(packages, list) else []
            table = {"members": [p for p in packages if isinstance(p, str) and not p.startswith("!")],
                     "exclude": [p[1:] for p in packages if isinstance(p, str) and p.startswith("!")]}
    except (UnicodeDecodeError, ManifestError, AttributeError):
        return None
    if not isinstance(table, dict):
        return None
    members, exclude = table.get("members"), table.get("exclude", [])
    if not isinstance(members, list) or not isinstance(exclude, list):
        return None
    return ecosystem, _relative(members), _relative(exclude)


def _relative(patterns: list) -> list[str]:
    """Workspace globs as directory paths without "./" or a trailing "/"."""
    out = []
    for pattern in patterns:
        if isinstance(pattern, str):
            while pattern.startswith("./"):
                pattern = pattern[2:]
            out.append("" if pattern == "." else pattern.rstrip("/"))
    return out


def _matches(pattern: str, path: str) -> bool:
    """A workspace glob against a directory, part by part; "**" spans any number of parts."""
    def match(pattern_parts: list[str], parts: list[str]) -> bool:
        if not pattern_parts:
            return not parts
        if pattern_parts[0] == "**":
            return any(match(pattern_parts[1:], parts[i:]) for i in range(len(parts) + 1))
        return bool(parts) and fnmatch.fnmatchcase(parts[0], pattern_parts[0]) and match(pattern_parts[1:], parts[1:])
    return match([p for p in pattern.split("/") if p], [p for p in path.split("/") if p])


def _in_project(directory: str, ecosystem: str, workspaces: dict[tuple[str, str], tuple[list, list]]) -> bool:
    """Whether a directory belongs to the project: a workspace's own
    directory or member, or below no workspace of its ecosystem."""
    if (directory, ecosystem) in workspaces:
        return True
    around = [root for root, eco in workspaces if eco == ecosystem
              and (root == "" or directory.startswith(root + "/"))]
    if not around:
        return True
    root = max(around, key=len)
    members, exclude = workspaces[(root, ecosystem)]
    relative = directory[len(root) + 1 :] if root else directory
    return any(_matches(p, relative) for p in members) and not any(_matches(p, relative) for p in exclude)


def _combined(parts: list[tuple[str, dict, bool]]) -> dict:
    """One snapshot from (directory, directory snapshot, complete) parts."""
    complete = {part["ecosystem"] for _, part, whole in parts if whole}
    counted = sorted(((d, part) for d, part, whole in parts
                      if whole or part["ecosystem"] not in complete or d == ""),
                     key=lambda c: (c[0], c[1]["ecosystem"]))
    packages: dict[tuple[str, str, str], dict] = {}
    depths = []
    for _, part in counted:
        ecosystem = part["ecosystem"]
        if "max_depth" in part["snapshot"]:
            depths.append(part["snapshot"]["max_depth"])
        for dep in part["dependencies"]:
            entry = packages.setdefault((ecosystem, dep["name"], dep["version"]), dict(dep, ecosystem=ecosystem))
            entry["direct"] = entry["direct"] or dep["direct"]
    sizes = dict.fromkeys((part["ecosystem"] for _, part in counted), 0)
    for ecosystem, _, _ in packages:
        sizes[ecosystem] += 1
    dependencies = sorted(packages.values(), key=lambda d: (d["name"], d["version"], d["ecosystem"]))
    counts = {"total_count": len(dependencies), "direct_count": sum(d["direct"] for d in dependencies)}
    if depths:
        counts["max_depth"] = max(depths)
    return {
        "ecosystem": min(sizes, key=lambda e: (-sizes[e], e)) if sizes else "",
        "ecosystems": sorted(sizes),
        "snapshot": counts,
        "manifests": [{"directory": d or ".", "ecosystem": part["ecosystem"], **part["snapshot"]}
                      for d, part in counted],
        "counted_from": sorted(f"{d}/{name}" if d else name for d, part in counted for name in part["from"]),
        "dependencies": dependencies,
    }


def _versions(state: dict) -> dict[tuple[str, str], set[str]]:
    """The versions of each package, by (ecosystem, name)."""
    versions: dict[tuple[str, str], set[str]] = {}
    for d in state["dependencies"]:
        versions.setdefault((d["ecosystem"], d["name"]), set()).add(d["version"])
    return versions


def _measure_changed(state: dict, previous: dict) -> bool:
    """Whether the count is read from other kinds of files than before: a lock
    file came or went, or a directory counted in both readings is read from
    other files, not only more or fewer (setup.py replaced by pyproject.toml)."""
    def kinds(reading: dict) -> tuple[set[str], dict[str, set[str]]]:
        locks, by_directory = set(), {}
        for path in reading.get("counted_from", ()):
            directory, _, name = path.rpartition("/")
            by_directory.setdefault(directory, set()).add(name)
            if name in _COMPLETE:
                locks.add(path)
        return locks, by_directory

    (locks, now), (locks_before, before) = kinds(state), kinds(previous)
    return locks != locks_before or any(not (now[d] <= before[d] or before[d] <= now[d])
                                        for d in now.keys() & before.keys())


class DependencySource:
    prefix = "dependency-"
    family = "dependency"
    source_type = "dependency_snapshot"

    unknown = (("snapshot", "total_count"), ("snapshot", "direct_count"), ("snapshot", "max_depth"))

    def unit_of(self, path: str) -> Hashable | None:
        name = path.rpartition("/")[2]
        # A lock varnel cannot read still changes what is installed: the event says it is unread.
        return UNIT if _is_manifest(name) or name == _PNPM_WORKSPACE or name in UNREAD_LOCKS else None

    def entries(self, tree: Tree, unit: Hashable) -> list[Entry]:
        return tree.find(_is_dependency_file)

    def read(self, unit: Hashable, files: Files) -> Any:
        workspaces: dict[tuple[str, str], tuple[list, list]] = {}
        groups: dict[tuple[str, str], list[str]] = {}
        for path in sorted(files):
            directory, _, name = path.rpartition("/")
            if name in ("Cargo.toml", "pyproject.toml", "package.json", _PNPM_WORKSPACE):
                declared = files.parsed("workspace", (path,), lambda: _declaration(name, files[path]))
                if declared is not None:
                    ecosystem, members, exclude = declared
                    known = workspaces.setdefault((directory, ecosystem), ([], []))
                    known[0].extend(members)
                    known[1].extend(exclude)
            if _is_manifest(name):
                groups.setdefault((directory, ecosystem_of(name)), []).append(path)
        parts = []
        for (directory, ecosystem), paths in groups.items():
            if not _in_project(directory, ecosystem, workspaces):
                continue
            key = tuple(paths)
            part = files.parsed(f"dependencies:{ecosystem}", key,
                                lambda: _directory_snapshot(directory, ecosystem, key, files))
            if part is not None:
                whole = any(path.rpartition("/")[2] in _COMPLETE for path in paths)
                parts.append((directory, part, whole))
        if not parts and not files.unreadable:
            return None
        state = _combined(parts)
        read_in = {directory for directory, _, _ in parts}
        files.unread = [path for path in sorted(files) if path.rpartition("/")[2] in UNREAD_LOCKS
                        or (path.rpartition("/")[2] in UNREAD_MANIFESTS and path.rpartition("/")[0] not in read_in)]
        if files.unread:
            state["unread"] = files.unread
        if files.unreadable:
            state["unreadable"] = sorted(files.unreadable)
        return state

    def payload(self, unit: Hashable, state: Any, previous: Any) -> dict:
        payload = dict(state)
        if len(state["dependencies"]) > DEPENDENCY_LIST_LIMIT:
            # Direct dependencies first, then the others in order; the counts stay exact.
            direct = [d for d in state["dependencies"] if d["direct"]]
            others = [d for d in state["dependencies"] if not d["direct"]]
            kept = (direct + others)[:DEPENDENCY_LIST_LIMIT]
            payload["dependencies"] = sorted(kept, key=lambda d: (d["name"], d["version"], d["ecosystem"]))
            payload["dependencies_listed"] = len(kept)
        if previous is not None:
            now, before = _versions(state), _versions(previous)
            payload["diff"] = {
                "added": len(now.keys() - before.keys()),
                "removed": len(before.keys() - now.keys()),
                "updated": sum(1 for name in now.keys() & before.keys() if now[name] != before[name]),
            }
            if _measure_changed(state, previous):
                payload["measure_changed"] = True
        return payload
