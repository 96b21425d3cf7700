"""JavaScript dependencies: package.json (declared) and package-lock.json /
npm-shrinkwrap.json (locked, in both the nested v1 form and the flat
node_modules-path form of v2 and v3)."""

from __future__ import annotations

from .graph import Dep, LockGraph
from .reading import ManifestError, expect, load_json, member, string_map

# What a package.json declares, all direct; devDependencies of an installed
# package are never installed, so locks follow only the other three below it.
MANIFEST_FIELDS = ("dependencies", "devDependencies", "optionalDependencies", "peerDependencies")
INSTALLED_FIELDS = ("dependencies", "optionalDependencies", "peerDependencies")
_MODULES = "node_modules/"


def split_spec(spec: str) -> tuple[str, str]:
    """"name@range" into name and range; a scope's leading "@" is part of the name."""
    at = spec.find("@", 1)
    if at < 0:
        raise ManifestError(f"{spec!r} is not name@range")
    return spec[:at], spec[at + 1:]


def read_package_json(text: str) -> list[Dep]:
    """The four dependency fields, each range as written."""
    data = load_json(text)
    return [Dep(name, spec) for field in MANIFEST_FIELDS for name, spec in string_map(data, field).items()]


def read_package_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """v2/v3 locks carry `packages` (v2 also the v1 tree, for older npm);
    v1 locks only the nested `dependencies` tree."""
    data = load_json(text)
    if "packages" in data:
        return _flat(expect(data["packages"], dict, "'packages'"))
    return _nested(member(data, "dependencies", dict, {}), declared)


def _flat(packages: dict[str, dict]) -> LockGraph:
    """v2/v3: paths without a node_modules part are the project and its
    workspace members; a link entry stands for the path it points to. A
    dependency resolves as node does, from the dependent's own node_modules
    up through each enclosing one to the top."""
    entries = {path: expect(entry, dict, f"package {path!r}") for path, entry in packages.items()}
    graph = LockGraph()

    def target(path: str) -> str:
        entry = entries[path]
        return member(entry, "resolved", str, path, f"link {path!r} ") if entry.get("link") else path

    def resolve(path: str, name: str) -> str | None:
        base = path
        while True:
            candidate = f"{base}/{_MODULES}{name}" if base else _MODULES + name
            if candidate in entries:
                return target(candidate)
            if not base:
                return None
            cut = base.rfind(_MODULES)
            base = base[:cut].rstrip("/") if cut >= 0 else ""

    projects = [p for p in entries if not (p.startswith(_MODULES) or f"/{_MODULES}" in p)]
    for path, entry in entries.items():
        if path in projects or entry.get("link"):
            continue
        name = member(entry, "name", str, path[path.rfind(_MODULES) + len(_MODULES):], f"package {path!r} ")
        graph.packages[path] = (name, member(entry, "version", str, "", f"package {path!r} "))
        graph.add_edges(path, _resolved(entry, INSTALLED_FIELDS, path, resolve))
    if projects:
        graph.direct = {t for p in projects for t in _resolved(entries[p], MANIFEST_FIELDS, p, resolve)}
    return graph


def _resolved(entry: dict, fields: tuple[str, ...], path, resolve) -> list:
    """What the entry's dependency fields resolve to (None where nothing is
    installed, as for an optional dependency of another platform)."""
    return [resolve(path, name) for field in fields for name in string_map(entry, field, f"package {path!r} ")]


def _nested(tree: dict, declared: list[Dep] | None) -> LockGraph:
    """v1: each entry sits at a path of names, with its own nested
    `dependencies` and the `requires` it resolves from the nearest enclosing
    level. The lock does not record the project's own dependencies: those
    the manifest declares resolve at the top level."""
    graph = LockGraph()
    requires: dict[tuple, dict] = {}
    pending = [((name,), entry) for name, entry in tree.items()]
    while pending:
        path, entry = pending.pop()
        expect(entry, dict, f"dependency {'/'.join(path)!r}")
        where = f"dependency {'/'.join(path)!r} "
        graph.packages[path] = (path[-1], member(entry, "version", str, "", where))
        requires[path] = string_map(entry, "requires", where)
        pending += [(path + (name,), e) for name, e in member(entry, "dependencies", dict, {}, where).items()]

    def resolve(path: tuple, name: str) -> tuple | None:
        return next((path[:i] + (name,) for i in range(len(path), -1, -1) if path[:i] + (name,) in graph.packages), None)

    for path, names in requires.items():
        graph.add_edges(path, [resolve(path, name) for name in names])
    if declared is not None:
        graph.direct = {resolve((), dep.name) for dep in declared} - {None}
    return graph
