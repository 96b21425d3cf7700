"""Ruby dependencies: Gemfile.lock. Source sections (GEM, GIT, PATH, PLUGIN
SOURCE) list each gem at four spaces as "name (version)" with its own
dependencies at six spaces; DEPENDENCIES lists what the Gemfile asks for."""

from __future__ import annotations

import re
from collections import defaultdict

from .graph import Dep, LockGraph
from .reading import ManifestError

_SOURCES = {"GEM", "GIT", "PATH", "PLUGIN SOURCE"}
_SPEC = re.compile(r" {4}(\S+) \(([^)]+)\)")
_SPEC_DEP = re.compile(r" {6}(\S+)(?: \([^)]*\))?")
_OPTION = re.compile(r" {2}[a-z_]+:( .*)?")
_DEPENDENCY = re.compile(r" {2}([^\s!]+)!?(?: \([^)]*\))?")


def read_gemfile_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """Every gem of every source; the gems of a PATH source at "." are the
    project (from its gemspec), so they and their dependencies are direct."""
    graph, by_name, needs = LockGraph(), defaultdict(list), {}
    direct_names: set[str] | None = None  # None until a DEPENDENCIES section is met
    projects, section, remote, key = [], None, None, None
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        if not line.startswith(" "):
            section, remote, key = line.strip(), None, None
            if section == "DEPENDENCIES":
                direct_names = set()
            continue
        if section in _SOURCES:
            if (option := _OPTION.fullmatch(line)) is not None:
                remote = option.group(1).strip() if line.strip().startswith("remote:") else remote
            elif (spec := _SPEC.fullmatch(line)) is not None:
                key = spec.groups()
                by_name[key[0]].append(key)
                needs[key] = []
                if section == "PATH" and remote == ".":
                    projects.append(key)
                else:
                    # A gem locked for several platforms is listed once each, as "1.16.0-x86_64-linux":
                    # the text after the first "-" names the platform, not another version.
                    graph.packages[key] = (key[0], key[1].split("-", 1)[0])
            elif (dep := _SPEC_DEP.fullmatch(line)) is not None and key is not None:
                needs[key].append(dep.group(1))
            else:
                raise ManifestError(f"line {number}: not a source option, gem or gem dependency")
        elif section == "DEPENDENCIES":
            dep = _DEPENDENCY.fullmatch(line)
            if dep is None:
                raise ManifestError(f"line {number}: not a dependency")
            direct_names.add(dep.group(1))
    for key, names in needs.items():
        graph.add_edges(key, [k for name in names for k in by_name[name]])
    if direct_names is not None or projects:
        names = (direct_names or set()) | {name for key in projects for name in needs[key]}
        graph.direct = {k for name in names for k in by_name[name]}
    return graph
