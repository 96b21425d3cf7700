"""Rust dependencies: Cargo.toml (declared) and Cargo.lock (locked)."""

from __future__ import annotations

import re
from collections import defaultdict

from .graph import Dep, LockGraph
from .reading import ManifestError, expect, load_toml, member

_TABLES = ("dependencies", "dev-dependencies", "build-dependencies")
# A Cargo.lock dependency: "name", "name version" or "name version (source)".
_LOCK_DEP = re.compile(r"(\S+)(?: (\S+))?(?: \((.+)\))?")


def read_cargo_toml(text: str) -> list[Dep] | None:
    """The dependency tables of [package], also per [target.*]; None for a
    virtual workspace manifest, which has no package and so no dependencies
    of its own. A `workspace = true` entry takes its requirement from
    [workspace.dependencies] when this file has it."""
    data = load_toml(text)
    if "package" not in data:
        return None
    shared = member(member(data, "workspace", dict, {}), "dependencies", dict, {}, "[workspace] ")
    tables = [(t, data.get(t)) for t in _TABLES]
    for target, table in member(data, "target", dict, {}).items():
        tables += [(f"target {target!r} {t}", expect(table, dict, f"target {target!r}").get(t)) for t in _TABLES]
    deps = []
    for where, table in tables:
        for name, spec in expect(table, dict, where).items() if table is not None else ():
            if isinstance(spec, dict) and spec.get("workspace") is True:
                spec = shared.get(name, {})
            deps.append(Dep(name, _requirement(spec, f"{where} {name!r}")))
    return deps


def _requirement(spec, where: str) -> str:
    """A version requirement as written; "" for a path or git source without one."""
    if isinstance(spec, dict):
        return member(spec, "version", str, "", f"{where} ")
    return expect(spec, str, where)


def read_cargo_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """Packages without a `source` are the workspace's own members; the
    rest are locked, and the members' dependencies are the direct ones."""
    graph, by_name, keyed, members = LockGraph(), defaultdict(list), [], []
    for package in member(load_toml(text), "package", list, []):
        package = expect(package, dict, "a [[package]] entry")
        name = expect(package.get("name"), str, "a [[package]] entry's name")
        where = f"package {name!r} "
        key = (name, expect(package.get("version"), str, f"{where}version"), member(package, "source", str, None, where))
        by_name[name].append(key)
        keyed.append((key, member(package, "dependencies", list, [], where)))
        if key[2] is None:
            members.append(key)
        else:
            graph.packages[key] = key[:2]
    for key, deps in keyed:
        graph.add_edges(key, [t for dep in deps for t in _resolve(expect(dep, str, f"a dependency of {key[0]!r}"), by_name)])
    if members:
        graph.direct = {t for key in members for t in graph.edges.get(key, ())}
    return graph


def _resolve(dep: str, by_name: dict) -> list:
    """The locked packages a dependency string names; version and source are
    given only where the name alone would be ambiguous."""
    match = _LOCK_DEP.fullmatch(dep)
    if not match:
        raise ManifestError(f"cannot read the dependency {dep!r}")
    name, version, source = match.groups()
    return [k for k in by_name[name] if version in (None, k[1]) and source in (None, k[2])]
