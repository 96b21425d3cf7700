"""Turning what the files say into the snapshot: a lock's package graph (or
a manifest's declared list) becomes the sorted dependency entries, their
counts and the depth of the deepest package."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Callable, Hashable, Iterable

from packaging.version import InvalidVersion, Version

Key = Hashable


@dataclass(frozen=True)
class Dep:
    """One dependency a manifest declares; `version` is the pin or the
    constraint as written ("" when none)."""

    name: str
    version: str
    direct: bool = True


@dataclass
class LockGraph:
    """The packages a lock records, without the project's own packages.

    `direct` is the set of keys the project itself depends on, or None when
    the lock does not record it (the manifest then says which are direct).
    `has_graph` is False for locks that list packages without their
    dependencies, which leaves the depth unknown. `alternatives` is True for
    locks whose several versions of one name are resolutions for different
    interpreters or platforms, of which one is installed."""

    packages: dict[Key, tuple[str, str]] = field(default_factory=dict)
    edges: dict[Key, set[Key]] = field(default_factory=dict)
    direct: set[Key] | None = None
    has_graph: bool = True
    alternatives: bool = False

    def add_edges(self, key: Key, targets: Iterable[Key | None]) -> None:
        """Records that `key` depends on each target (None: not in the lock)."""
        self.edges.setdefault(key, set()).update(t for t in targets if t is not None)


def _depths(graph: LockGraph, direct: set[Key]) -> int:
    """The largest shortest-path depth from the project: direct packages are
    at depth 1, each other package one below its nearest dependent."""
    depth = {key: 1 for key in direct}
    queue = deque(direct)
    while queue:
        key = queue.popleft()
        for target in graph.edges.get(key, ()):
            if target in graph.packages and target not in depth:
                depth[target] = depth[key] + 1
                queue.append(target)
    return max(depth.values(), default=0)


def from_lock(ecosystem: str, graph: LockGraph, declared: list[Dep] | None,
              canonical: Callable[[str], str]) -> dict:
    """The snapshot of a lock; direct flags from the lock's own record of the
    project, else from the names the manifests declare."""
    direct = graph.direct
    if direct is None and declared is not None:
        names = {canonical(dep.name) for dep in declared if dep.direct}
        direct = {key for key, (name, _) in graph.packages.items() if canonical(name) in names}
    direct = {key for key in direct or () if key in graph.packages}
    entries = ((name, version, key in direct) for key, (name, version) in graph.packages.items())
    known = graph.has_graph and (graph.direct is not None or declared is not None)
    return _payload(ecosystem, entries, _depths(graph, direct) if known else None, canonical, graph.alternatives)


def from_manifests(ecosystem: str, declared: list[Dep], canonical: Callable[[str], str]) -> dict:
    """The snapshot of manifests alone: what they declare, without a depth."""
    return _payload(ecosystem, ((d.name, d.version, d.direct) for d in declared), None, canonical)


def _newest(a: str, b: str) -> str:
    try:
        return max(a, b, key=Version)
    except InvalidVersion:
        return max(a, b)


def _payload(ecosystem: str, entries: Iterable[tuple[str, str, bool]], max_depth: int | None,
             canonical: Callable[[str], str], per_name: bool = False) -> dict:
    """Distinct (name, version) entries, sorted, or with `per_name` one entry
    per name at its highest version; one spelling of a name (the first met)
    and direct when any of its mentions is direct."""
    merged: dict[tuple[str, str], dict] = {}
    for name, version, direct in entries:
        entry = merged.setdefault((canonical(name), "" if per_name else version),
                                  {"name": name, "version": version, "direct": False})
        entry["direct"] = entry["direct"] or direct
        if per_name:
            entry["version"] = _newest(entry["version"], version)
    dependencies = sorted(merged.values(), key=lambda e: (e["name"], e["version"]))
    counts = {"total_count": len(dependencies), "direct_count": sum(e["direct"] for e in dependencies)}
    if max_depth is not None:
        counts["max_depth"] = max_depth
    return {"ecosystem": ecosystem, "snapshot": counts, "dependencies": dependencies}
