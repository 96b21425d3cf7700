"""pnpm-lock.yaml, lockfile versions 5.x, 6.x and 9.x. Each importer is the
project or a workspace member; packages are keyed "/name/1.0.0_peers" (5.x),
"/name@1.0.0(peers)" (6.x) or, with their dependencies under `snapshots`,
"name@1.0.0(peers)" (9.x)."""

from __future__ import annotations

from .graph import Dep, LockGraph
from .npm import INSTALLED_FIELDS, split_spec
from .reading import ManifestError, expect, load_yaml, member

_IMPORTER_FIELDS = ("dependencies", "devDependencies", "optionalDependencies")


def read_pnpm_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """Every package (with each peer variant merged into its name and
    version), edges from each package's dependencies, direct from the
    importers."""
    data = load_yaml(text)
    major = _major(data.get("lockfileVersion"))
    nodes = member(data, "snapshots" if major == 9 else "packages", dict, {})
    graph = LockGraph()
    for key, entry in nodes.items():
        entry = expect(entry or {}, dict, f"package {key!r}")
        where = f"package {key!r} "
        expect(key, str, "a package key")
        # Directory and git packages are keyed by where they come from, and name themselves.
        named = "name" in entry and "version" in entry
        name, version = ("", "") if named else _name_version(key, major)
        graph.packages[key] = (member(entry, "name", str, name, where), member(entry, "version", str, version, where))

    def resolve(name: str, version: str):
        for key in (version, _key(name, version, major)):
            if key in graph.packages:
                return key
        return None  # a "link:" to a workspace member, or a package not installed here

    for key, entry in nodes.items():
        graph.add_edges(key, [resolve(n, v) for n, v in _deps(entry or {}, INSTALLED_FIELDS, f"package {key!r} ")])
    # A lock without workspaces (5.x and 6.x) keeps the project's dependencies at its top level.
    importers = member(data, "importers", dict, {".": data})
    graph.direct = {resolve(n, v) for name, importer in importers.items()
                    for n, v in _deps(expect(importer, dict, f"importer {name!r}"), _IMPORTER_FIELDS,
                                      f"importer {name!r} ")} - {None}
    return graph


def _major(version) -> int:
    """The lockfile's major version (5.4 is a number, '6.0' and '9.0' text)."""
    try:
        major = int(float(str(version)))
    except ValueError:
        major = None
    if major not in (5, 6, 9):
        raise ManifestError(f"unsupported lockfileVersion {version!r}")
    return major


def _name_version(key: str, major: int) -> tuple[str, str]:
    """Name and version from a package key, the peer suffix dropped."""
    if major == 5:
        parts = key.lstrip("/").split("/")
        size = 2 if parts[0].startswith("@") else 1
        name, version = "/".join(parts[:size]), "/".join(parts[size:]).split("_")[0]
    else:
        name, version = split_spec(key.removeprefix("/").split("(")[0])
    if not name or not version:
        raise ManifestError(f"cannot read a name and version from the package key {key!r}")
    return name, version


def _key(name: str, version: str, major: int) -> str:
    """The package key a dependency's resolved version points to."""
    return {5: f"/{name}/{version}", 6: f"/{name}@{version}", 9: f"{name}@{version}"}[major]


def _deps(entry: dict, fields: tuple[str, ...], where: str) -> list[tuple[str, str]]:
    """(name, resolved version) of the entry's dependency fields; 6.x and 9.x
    importers write {specifier, version} where 5.x writes the version."""
    found = []
    for field in fields:
        for name, value in member(entry, field, dict, {}, where).items():
            if isinstance(value, dict):
                value = value.get("version")
            found.append((name, expect(value, str, f"{where}{field} {name!r}")))
    return found
