"""yarn.lock in both of its forms: the classic v1 text format (read by the
small strict parser below) and the YAML form of later yarn releases, which
carries a `__metadata` key."""

from __future__ import annotations

import json
import re
from typing import NamedTuple

from .graph import Dep, LockGraph
from .npm import split_spec
from .reading import ManifestError, expect, load_yaml, member, string_map

# A v1 token: a JSON-quoted string or a run of non-blank characters.
_TOKEN = r'"(?:[^"\\]|\\.)*"|[^\s"]+'
_PAIR = re.compile(rf"({_TOKEN}) +({_TOKEN})")
_KEYS = re.compile(r'\s*("(?:[^"\\]|\\.)*"|[^\s",]+)\s*(,|$)')
_BERRY = re.compile(r"^__metadata:", re.MULTILINE)


class _Entry(NamedTuple):
    specs: list[str]  # the "name@range" keys that resolve to this entry
    name: str
    version: str
    deps: dict[str, str]  # dependency name -> range
    is_project: bool  # a workspace of the project itself


def read_yarn_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """Either form; the project's direct dependencies come from the lock's
    workspace entries when it has them, else from package.json's ranges."""
    entries = _berry(text) if _BERRY.search(text) else _classic(text)
    graph, by_spec, roots = LockGraph(), {}, []
    for index, entry in enumerate(entries):
        by_spec.update((spec, index) for spec in entry.specs)
        if entry.is_project:
            roots.append(index)
        else:
            graph.packages[index] = (entry.name, entry.version)

    def resolve(name: str, spec: str):
        # The YAML form keys npm ranges with their protocol ("npm:^1"), while
        # dependencies may omit it.
        return by_spec.get(f"{name}@{spec}", by_spec.get(f"{name}@npm:{spec}"))

    for index, entry in enumerate(entries):
        graph.add_edges(index, [resolve(name, spec) for name, spec in entry.deps.items()])
    if roots:
        graph.direct = {t for root in roots for t in graph.edges.get(root, ())}
    elif declared is not None:
        graph.direct = {resolve(dep.name, dep.version) for dep in declared} - {None}
    return graph


def _unquote(token: str) -> str:
    """A token's text; quoted tokens use JSON's escapes."""
    return json.loads(token) if token.startswith('"') else token


def _classic(text: str) -> list[_Entry]:
    """v1 entries: an unindented line of "name@range" keys ending in ":",
    then two-space "field value" lines and two-space "dependencies:" or
    "optionalDependencies:" blocks of four-space "name range" lines."""
    raw: list[tuple[int, list[str], dict]] = []
    block = None
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        indent = len(line) - len(line.lstrip(" "))
        body = line.strip()
        try:
            if indent == 0 and body.endswith(":"):
                raw.append((number, _keys(body[:-1]), {}))
                block = None
            elif indent == 2 and raw and body.endswith(":"):
                block = raw[-1][2].setdefault(_unquote(body[:-1]), {})
            elif indent == 2 and raw:
                key, value = _pair(body)
                raw[-1][2][key] = value
                block = None
            elif indent == 4 and block is not None:
                key, value = _pair(body)
                block[key] = value
            else:
                raise ManifestError("not an entry, field or dependency line")
        except (ManifestError, json.JSONDecodeError) as exc:
            raise ManifestError(f"line {number}: {exc}") from exc
    entries = []
    for number, specs, fields in raw:
        version = fields.get("version")
        if not isinstance(version, str):
            raise ManifestError(f"line {number}: the entry has no version")
        deps = {}
        for block_name in ("dependencies", "optionalDependencies"):
            deps.update(expect(fields.get(block_name, {}), dict, f"line {number}: {block_name}"))
        entries.append(_Entry(specs, split_spec(specs[0])[0], version, deps, False))
    return entries


def _keys(text: str) -> list[str]:
    """The comma-separated, possibly quoted keys of an entry line."""
    keys, position = [], 0
    while position < len(text):
        match = _KEYS.match(text, position)
        if not match:
            raise ManifestError(f"cannot read the entry keys {text!r}")
        keys.append(_unquote(match.group(1)))
        position = match.end()
    if not keys:
        raise ManifestError("an entry without keys")
    return keys


def _pair(text: str) -> tuple[str, str]:
    """A "key value" line, either part possibly quoted."""
    match = _PAIR.fullmatch(text)
    if not match:
        raise ManifestError(f"expected a key and a value, got {text!r}")
    return _unquote(match.group(1)), _unquote(match.group(2))


def _berry(text: str) -> list[_Entry]:
    """YAML entries keyed by "name@protocol:range" lists; `resolution` names
    the package and `@workspace:` resolutions are the project's own. Values
    are read as text: yarn writes ranges and versions unquoted ("debug: 4")."""
    entries = []
    for key, entry in load_yaml(text, strings=True).items():
        if key == "__metadata":
            continue
        where = f"entry {key!r} "
        entry = expect(entry, dict, where.strip())
        resolution = member(entry, "resolution", str, None, where)
        version = member(entry, "version", str, None, where)
        if resolution is None or version is None:
            raise ManifestError(f"{where}has no resolution or version")
        deps = {**string_map(entry, "dependencies", where), **string_map(entry, "optionalDependencies", where)}
        specs = [s.strip() for s in expect(key, str, where).split(",")]
        entries.append(_Entry(specs, split_spec(resolution)[0], version, deps, "@workspace:" in resolution))
    return entries
