"""bun.lock, the text lock of bun (JSON that allows trailing commas).

`workspaces` maps each workspace's directory ("" for the project) to its
manifest fields; `packages` maps an install path to an array whose first
element is "name@version" and whose third, when present, holds the
package's own dependency fields. A package installed below another is keyed
"<parent key>/<name>", and a dependency resolves as node does: from the
dependent's own place up through each enclosing package to the top.
Workspace members are listed as "name@workspace:<dir>" and are the project,
not dependencies.
"""

from __future__ import annotations

import re

from .graph import Dep, LockGraph
from .npm import INSTALLED_FIELDS, MANIFEST_FIELDS, split_spec
from .reading import ManifestError, expect, load_json, member, string_map

# A string, kept as it is, or a comma before a closing bracket, dropped.
_TRAILING_COMMA = re.compile(r'("(?:[^"\\]|\\.)*")|,(\s*[}\]])')


def read_bun_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    data = load_json(_TRAILING_COMMA.sub(lambda m: m.group(1) or m.group(2), text))
    entries = member(data, "packages", dict, {})
    graph = LockGraph()
    names: dict[str, str] = {}  # key -> package name, to find the enclosing package of a key
    members: dict[str, str] = {}  # workspace member name -> its key
    for key, value in entries.items():
        where = f"package {key!r}"
        value = expect(value, list, where)
        if not value:
            raise ManifestError(f"{where} is empty")
        name, version = split_spec(expect(value[0], str, f"{where} spec"))
        names[key] = name
        if version.startswith(("workspace:", "link:")):
            members[name] = key
            continue
        graph.packages[key] = (name, version)

    def parent(key: str) -> str:
        return key[: -len(names[key]) - 1] if key != names[key] else ""

    def resolve(base: str, name: str) -> str | None:
        while True:
            candidate = f"{base}/{name}" if base else name
            if candidate in graph.packages:
                return candidate
            if not base:
                return None  # a workspace member, or not installed on this platform
            base = parent(base)

    for key in graph.packages:
        value = entries[key]
        info = expect(value[2], dict, f"package {key!r} details") if len(value) > 2 else {}
        graph.add_edges(key, [resolve(key, dep) for field in INSTALLED_FIELDS
                              for dep in string_map(info, field, f"package {key!r} ")])
    direct = set()
    for directory, workspace in member(data, "workspaces", dict, {}).items():
        workspace = expect(workspace, dict, f"workspace {directory!r}")
        base = members.get(member(workspace, "name", str, "", f"workspace {directory!r} "), "") if directory else ""
        direct |= {resolve(base, dep) for field in MANIFEST_FIELDS
                   for dep in string_map(workspace, field, f"workspace {directory!r} ")}
    graph.direct = direct - {None}
    return graph
