"""Dependency snapshots from the manifest and lock files of one directory.

`ecosystem_of(name)` tells which ecosystem a file belongs to by its base
name; `snapshot(ecosystem, files)` reads every file of that ecosystem in one
directory at one commit and returns the dependency part of an event payload:
the ecosystem, the counts and the sorted (name, version, direct) entries.

How a snapshot is made:

- The full set comes from the lock file when there is one; without a lock,
  the snapshot is what the manifests declare, all of it direct (go.mod
  marks its own indirect requirements).
- Direct flags come from the lock's own record of the project where it keeps
  one (uv.lock's editable or virtual packages, package-lock's root and
  workspace entries, pnpm's importers, yarn's workspace entries, Gemfile.lock's
  DEPENDENCIES and its PATH "." gems, Cargo.lock's packages without a
  source), else from the names (or, for npm, the ranges) the manifests
  declare. Without either, nothing is marked direct and there is no depth.
- The project itself and its workspace members are never dependencies.
- Several locks of one ecosystem in a directory: the first of uv.lock,
  poetry.lock, Pipfile.lock; of npm-shrinkwrap.json, package-lock.json,
  pnpm-lock.yaml, yarn.lock, bun.lock (npm itself prefers a shrinkwrap to
  its lock). The other locks are not read. `from` names the files counted:
  the lock, or the manifests that declare dependencies.
- `version` is the locked version; without a lock, the version of a pip pin
  ("==x" or "===x"), else the constraint as written ("" for none).
- Names are as written; pip names are compared canonicalised, so "Foo_Bar"
  and "foo-bar" are one package (spelt as first met).
- `total_count` is the number of distinct (name, version) entries,
  `direct_count` how many of them are direct. A Python lock resolves a
  package separately for different interpreters or platforms (uv's forks,
  poetry's markers); those alternatives are one package, counted once at
  its highest version.
- `max_depth`: direct dependencies are at depth 1, every other package one
  below the nearest package that depends on it; the largest depth reached
  (0 when the project depends on nothing). It is left out where the files do
  not show the graph: manifests alone, Pipfile.lock, go.mod/go.sum.
- None when no file declares dependencies at all (a pyproject.toml that only
  configures tools, a virtual Cargo workspace manifest, a lone go.sum).
- Content that cannot be read as what it claims to be raises ManifestError
  naming the file; nothing unreadable is skipped.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Callable, NamedTuple

from packaging.utils import canonicalize_name

from . import bun, bundler, cargo, go, npm, pip, pnpm, yarn
from .graph import from_lock, from_manifests
from .reading import ManifestError, decode, reading

__all__ = ["ManifestError", "ecosystem_of", "snapshot"]


class _Ecosystem(NamedTuple):
    manifests: dict[str, Callable]  # base name -> reader of declared dependencies (None: declares none)
    locks: tuple[tuple[str, Callable], ...]  # in order of precedence
    canonical: Callable[[str], str]  # the form in which two names are the same package


def _same(name: str) -> str:
    return name


_ECOSYSTEMS = {
    "pip": _Ecosystem(
        {"pyproject.toml": pip.read_pyproject, "setup.cfg": pip.read_setup_cfg, "Pipfile": pip.read_pipfile},
        (("uv.lock", pip.read_uv_lock), ("poetry.lock", pip.read_poetry_lock),
         ("Pipfile.lock", pip.read_pipfile_lock)),
        canonicalize_name),
    "npm": _Ecosystem(
        {"package.json": npm.read_package_json},
        (("npm-shrinkwrap.json", npm.read_package_lock), ("package-lock.json", npm.read_package_lock),
         ("pnpm-lock.yaml", pnpm.read_pnpm_lock), ("yarn.lock", yarn.read_yarn_lock), ("bun.lock", bun.read_bun_lock)),
        _same),
    "cargo": _Ecosystem({"Cargo.toml": cargo.read_cargo_toml}, (("Cargo.lock", cargo.read_cargo_lock),), _same),
    "go": _Ecosystem({"go.mod": go.read_go_mod, "go.sum": go.read_go_sum}, (), _same),
    "bundler": _Ecosystem({}, (("Gemfile.lock", bundler.read_gemfile_lock),), _same),
}


def _is_requirements(name: str) -> bool:
    return name.startswith("requirements") and name.endswith(".txt")


def _manifest_reader(ecosystem: str, name: str) -> Callable | None:
    if ecosystem == "pip" and _is_requirements(name):
        return pip.read_requirements
    return _ECOSYSTEMS[ecosystem].manifests.get(name)


@lru_cache(maxsize=65536)  # asked for every file name of every commit; names repeat
def ecosystem_of(name: str) -> str | None:
    """The ecosystem of a manifest or lock file's base name, or None."""
    for ecosystem, known in _ECOSYSTEMS.items():
        if _manifest_reader(ecosystem, name) or any(name == lock for lock, _ in known.locks):
            return ecosystem
    return None


def snapshot(ecosystem: str, files: dict[str, bytes]) -> dict | None:
    """The dependency snapshot of one directory's files of `ecosystem` (base
    name -> content), or None when none of them declares dependencies."""
    known = _ECOSYSTEMS.get(ecosystem)
    if known is None:
        raise ValueError(f"unknown ecosystem {ecosystem!r}")
    strangers = sorted(name for name in files if ecosystem_of(name) != ecosystem)
    if strangers:
        raise ValueError(f"not {ecosystem} manifest or lock files: {', '.join(strangers)}")
    declared, declaring = None, []
    for name in sorted(files):
        read = _manifest_reader(ecosystem, name)
        if read is not None:
            with reading(name):
                deps = read(decode(files[name]))
            if deps is not None:
                declared = (declared or []) + deps
                declaring.append(name)
    lock = next(((name, read) for name, read in known.locks if name in files), None)
    if lock is not None:
        name, read = lock
        with reading(name):
            graph = read(decode(files[name]), declared)
        return dict(from_lock(ecosystem, graph, declared, known.canonical), **{"from": [name]})
    if declared is None:
        return None
    return dict(from_manifests(ecosystem, declared, known.canonical), **{"from": declaring})
