"""Dependency snapshots: the repository's dependencies at each commit that
changes a manifest or lock file.

The snapshot is the whole repository's, one series, so that a small
docs/package.json changing after the application's lock file never reads as
the dependencies shrinking by nine tenths. It is made of the snapshots of
each directory's files of one ecosystem (the package `manifests` reads the
formats), and these are counted once:

- Of an ecosystem, the directories with a complete record (a lock file, or
  go.mod, which lists every module a build needs) are counted; directories
  with manifests alone count only when no directory of that ecosystem has a
  complete record, since in a workspace the members' manifests repeat what
  the top lock file already holds.
- Packages are counted once by ecosystem, name and version across
  directories (a crate and an npm package may share a name); a package is
  direct when any directory depends on it directly.
- `ecosystem` is the ecosystem with most packages (the signal engine judges
  the depth only for some ecosystems, and asks this one), `ecosystems` lists
  all of them, `max_depth` is the deepest tree any lock file shows, and
  `manifests` says what each directory held.

The diff against the commit's parent counts packages added, removed and moved
to another version, by ecosystem and name; a package held in several versions
has moved when the set of its versions changed. A directory whose files
cannot be read is left out, with a warning, and named in `unreadable`.
"""

from __future__ import annotations

from typing import Any, Hashable

from .history import Entry, Files, SourceError, Tree
from .manifests import ManifestError, ecosystem_of, snapshot

UNIT = "dependencies"  # one snapshot of the whole repository
# Files that record all of an ecosystem's packages, not only the declared ones.
_COMPLETE = frozenset({"uv.lock", "poetry.lock", "Pipfile.lock", "package-lock.json", "npm-shrinkwrap.json",
                       "pnpm-lock.yaml", "yarn.lock", "Cargo.lock", "Gemfile.lock", "go.mod"})


def _is_manifest(name: str) -> bool:
    return ecosystem_of(name) is not None


def _directory_snapshot(directory: str, ecosystem: str, paths: tuple[str, ...], files: Files) -> dict | None:
    try:
        return snapshot(ecosystem, {path.rpartition("/")[2]: files[path] for path in paths})
    except ManifestError as e:
        raise SourceError(f"{directory}/{e}" if directory else str(e)) from None


def _combined(parts: list[tuple[str, dict, bool]]) -> dict | None:
    """One snapshot from (directory, directory snapshot, complete) parts."""
    complete = {part["ecosystem"] for _, part, whole in parts if whole}
    counted = sorted(((d, part) for d, part, whole in parts if whole or part["ecosystem"] not in complete),
                     key=lambda c: (c[0], c[1]["ecosystem"]))
    if not counted:
        return None
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
        "ecosystem": min(sizes, key=lambda e: (-sizes[e], e)),
        "ecosystems": sorted(sizes),
        "snapshot": counts,
        "manifests": [{"directory": d or ".", "ecosystem": part["ecosystem"], **part["snapshot"]}
                      for d, part in counted],
        "dependencies": dependencies,
    }


def _versions(state: dict) -> dict[tuple[str, str], set[str]]:
    """The versions of each package, by (ecosystem, name)."""
    versions: dict[tuple[str, str], set[str]] = {}
    for d in state["dependencies"]:
        versions.setdefault((d["ecosystem"], d["name"]), set()).add(d["version"])
    return versions


class DependencySource:
    prefix = "dependency-"
    family = "dependency"
    source_type = "dependency_snapshot"

    def unit_of(self, path: str) -> Hashable | None:
        return UNIT if _is_manifest(path.rpartition("/")[2]) else None

    def entries(self, tree: Tree, unit: Hashable) -> list[Entry]:
        return tree.find(_is_manifest)

    def read(self, unit: Hashable, files: Files) -> Any:
        groups: dict[tuple[str, str], list[str]] = {}
        for path in sorted(files):
            directory, _, name = path.rpartition("/")
            groups.setdefault((directory, ecosystem_of(name)), []).append(path)
        parts = []
        for (directory, ecosystem), paths in groups.items():
            key = tuple(paths)
            part = files.parsed(f"dependencies:{ecosystem}", key,
                                lambda: _directory_snapshot(directory, ecosystem, key, files))
            if part is not None:
                whole = any(path.rpartition("/")[2] in _COMPLETE for path in paths)
                parts.append((directory, part, whole))
        state = _combined(parts)
        if state is not None and files.unreadable:
            state["unreadable"] = sorted(files.unreadable)
        return state

    def payload(self, unit: Hashable, state: Any, previous: Any) -> dict:
        payload = dict(state)
        if previous is not None:
            now, before = _versions(state), _versions(previous)
            payload["diff"] = {
                "added": len(now.keys() - before.keys()),
                "removed": len(before.keys() - now.keys()),
                "updated": sum(1 for name in now.keys() & before.keys() if now[name] != before[name]),
            }
        return payload
