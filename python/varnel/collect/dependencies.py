"""Dependency snapshots: the manifest and lock files of each directory.

A directory's files of one ecosystem (pyproject.toml with uv.lock,
package.json with its lock file, ...) are read together at every commit
that changes one of them; the package `manifests` reads the formats. The
diff against the directory's previous snapshot counts packages added,
removed and moved to another version.
"""

from __future__ import annotations

from typing import Any, Hashable

from .history import Entry, SourceError, Tree
from .manifests import ManifestError, ecosystem_of, snapshot


class DependencySource:
    prefix = "dependency-"
    family = "dependency"
    source_type = "dependency_snapshot"

    def unit_of(self, path: str) -> Hashable | None:
        directory, _, name = path.rpartition("/")
        ecosystem = ecosystem_of(name)
        return (directory, ecosystem) if ecosystem else None

    def entries(self, tree: Tree, unit: Hashable) -> list[Entry]:
        directory, ecosystem = unit
        return [e for e in tree.listing(directory) if ecosystem_of(e.path.rpartition("/")[2]) == ecosystem]

    def read(self, unit: Hashable, files: dict[str, bytes]) -> Any:
        try:
            return snapshot(unit[1], {path.rpartition("/")[2]: content for path, content in files.items()})
        except ManifestError as e:
            raise SourceError(f"{unit[0] or '.'}/{e}" if unit[0] else str(e)) from None

    def payload(self, unit: Hashable, state: Any, previous: Any) -> dict:
        payload = {"directory": unit[0] or ".", **state}
        if previous is not None:
            now = {d["name"]: d["version"] for d in state["dependencies"]}
            before = {d["name"]: d["version"] for d in previous["dependencies"]}
            payload["diff"] = {
                "added": len(now.keys() - before.keys()),
                "removed": len(before.keys() - now.keys()),
                "updated": sum(1 for name in now.keys() & before.keys() if now[name] != before[name]),
            }
        return payload
