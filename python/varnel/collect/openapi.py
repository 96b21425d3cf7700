"""API schemas: OpenAPI 3 and Swagger 2 documents kept in the repository.

A document is found by its file name: one whose name holds "openapi" or
"swagger" and ends in .json, .yaml or .yml (openapi.yaml, api/petstore.openapi.json,
swagger.json). Its content decides the rest: a file without a top-level
"openapi" (3.x) or "swagger" (2.0) member is not an API document; one that
is not valid JSON or YAML is refused.

What is counted:
- endpoints: the operations, one per path and HTTP method;
- types: the named schemas (components.schemas, or definitions in 2.0);
- fields: the properties of the named schemas, including those of the
  inline parts of allOf, anyOf and oneOf (a property reached through $ref is
  counted where it is defined, once).

The repository's documents are one API surface, one series: each commit
that changes one gives the sums over all of them, `documents` says what each
holds, and the diff against the commit's parent counts operations, types and
fields (schema.property) added and removed, each known by its document when
there are several (so moving an endpoint between documents is a change).

A document kept twice is counted once. A document is a copy of another when
both read the same (title, versions, operations, types and fields), or when
they share a title and version and it lies in a folder of rendered or
generated copies (`COPY_FOLDERS`: docs/, doc/, generated/, gen/, build/,
dist/, site/, public/ and the like, at any depth). The one counted is the
document outside such folders, else the one of the shortest path, then the
first by name, so copies kept in such folders can come, go or move without
changing a count or the diff; `copies` names each copy left out and the
document it repeats. One document before and after is compared by its
operations, types and fields alone, so moving it is no change either.
A commit that leaves unreadable a document the mainline could read before
gets no event (the endpoint count cannot stand unknown), only a warning; a
document unreadable since it appeared is left out and named in `unreadable`.
"""

from __future__ import annotations

import json
import re
from typing import Any, Hashable

import yaml

from .history import Entry, Files, SourceError, Tree
from .yaml_loader import load_yaml

_NAME = re.compile(r"(?:^|/)[^/]*(?:openapi|swagger)[^/]*\.(?:json|ya?ml)$", re.IGNORECASE)
UNIT = "api"  # every API document of the repository, one series
_METHODS = ("get", "put", "post", "delete", "options", "head", "patch", "trace")
# Folders where a project keeps rendered or generated copies of its API documents.
COPY_FOLDERS = frozenset({"doc", "docs", "documentation", "apidocs", "api-docs", "generated", "__generated__", "gen",
                          "build", "dist", "out", "target", "site", "_site", "public", "static"})


def _load(path: str, content: bytes) -> Any:
    try:
        source = content.decode("utf-8")
        if path.lower().endswith(".json"):
            return json.loads(source)
        return load_yaml(source)
    except (UnicodeDecodeError, ValueError, RecursionError, yaml.YAMLError) as e:
        raise SourceError(f"{path}: not valid {'JSON' if path.lower().endswith('.json') else 'YAML'}: "
                          f"{str(e).splitlines()[0]}") from None


def _properties(schema: Any, seen: set[int] | None = None) -> set[str]:
    # `seen`: YAML aliases can make a schema contain itself.
    seen = set() if seen is None else seen
    if not isinstance(schema, dict) or id(schema) in seen:
        return set()
    seen.add(id(schema))
    names = set(schema.get("properties") or {}) if isinstance(schema.get("properties"), dict) else set()
    for combinator in ("allOf", "anyOf", "oneOf"):
        for part in schema.get(combinator) or []:
            names |= _properties(part, seen)
    return names


def read_document(path: str, content: bytes) -> dict | None:
    """The operations, types and fields of one document, or None when it is not an API document."""
    document = _load(path, content)
    if not isinstance(document, dict) or not ("openapi" in document or "swagger" in document):
        return None
    paths = document.get("paths") or {}
    if not isinstance(paths, dict):
        raise SourceError(f"{path}: 'paths' is not a map")
    operations = {f"{method.upper()} {route}" for route, item in paths.items() if isinstance(item, dict)
                  for method in item if method in _METHODS}
    if "openapi" in document:
        components = document.get("components") or {}
        if not isinstance(components, dict):
            raise SourceError(f"{path}: 'components' is not a map")
        schemas = components.get("schemas") or {}
    else:
        schemas = document.get("definitions") or {}
    if not isinstance(schemas, dict):
        raise SourceError(f"{path}: the named schemas are not a map")
    fields = {f"{name}.{prop}" for name, schema in schemas.items() for prop in _properties(schema)}
    info = document.get("info") if isinstance(document.get("info"), dict) else {}
    return {
        "version": str(document.get("openapi", document.get("swagger"))),
        "title": str(info.get("title", "")),
        "api_version": str(info.get("version", "")),
        "operations": operations,
        "types": {str(name) for name in schemas},
        "fields": fields,
    }


def _is_document(name: str) -> bool:
    return _NAME.search(name) is not None


def _in_copy_folder(path: str) -> bool:
    return any(part.lower() in COPY_FOLDERS for part in path.split("/")[:-1])


def _without_copies(documents: dict[str, dict]) -> tuple[dict[str, dict], dict[str, str]]:
    """The documents counted, by path, and each copy left out with the
    document it repeats. Documents are taken in order of preference, so a
    copy always meets its original first."""
    kept: dict[str, dict] = {}
    copies = {}
    for path in sorted(documents, key=lambda p: (_in_copy_folder(p), len(p), p)):
        doc = documents[path]
        original = next((other for other, known in kept.items() if known == doc or (
            doc["title"] and _in_copy_folder(path)
            and (known["title"], known["api_version"]) == (doc["title"], doc["api_version"]))), None)
        if original is None:
            kept[path] = doc
        else:
            copies[path] = original
    return dict(sorted(kept.items())), copies


def _items(documents: dict[str, dict], key: str, plain: bool) -> set[str]:
    """The operations, types or fields of all documents, each named with its
    document unless there is only the one."""
    return {item if plain else f"{path}: {item}" for path, state in documents.items() for item in state[key]}


class OpenAPISource:
    prefix = "schema-"
    family = "schema"
    source_type = "openapi"
    unknown = None  # the endpoint count divides the churn, so it cannot stand unknown

    def unit_of(self, path: str) -> Hashable | None:
        return UNIT if _is_document(path) else None

    def entries(self, tree: Tree, unit: Hashable) -> list[Entry]:
        return tree.find(_is_document)

    def read(self, unit: Hashable, files: Files) -> Any:
        documents = {}
        for path in sorted(files):
            document = files.parsed("openapi", (path,), lambda: read_document(path, files[path]))
            if document is not None:
                documents[path] = document
        if not documents:
            return None
        documents, copies = _without_copies(documents)
        return {"documents": documents, "copies": copies, "unreadable": sorted(files.unreadable)}

    def payload(self, unit: Hashable, reading: Any, earlier: Any) -> dict:
        state = reading["documents"]
        previous = earlier["documents"] if earlier is not None else None
        payload = {
            "documents": [{"document": path, "title": doc["title"], "api_version": doc["api_version"],
                           "openapi_version": doc["version"], "endpoint_count": len(doc["operations"]),
                           "type_count": len(doc["types"]), "field_count": len(doc["fields"])}
                          for path, doc in state.items()],
            "structure": {
                "endpoint_count": sum(len(doc["operations"]) for doc in state.values()),
                "type_count": sum(len(doc["types"]) for doc in state.values()),
                "field_count": sum(len(doc["fields"]) for doc in state.values()),
            },
        }
        if previous is not None:
            # One document before and after is the same surface, whatever its path.
            plain = len(state) == 1 and len(previous) == 1
            payload["diff"] = {}
            for kind, key in (("endpoints", "operations"), ("types", "types"), ("fields", "fields")):
                now, before = _items(state, key, plain), _items(previous, key, plain)
                payload["diff"][f"{kind}_added"] = len(now - before)
                payload["diff"][f"{kind}_removed"] = len(before - now)
                if kind == "endpoints":
                    payload["endpoints_added"] = sorted(now - before)[:20]
                    payload["endpoints_removed"] = sorted(before - now)[:20]
        if reading["copies"]:
            payload["copies"] = [{"document": copy, "copy_of": original}
                                 for copy, original in sorted(reading["copies"].items())]
        if reading["unreadable"]:
            payload["unreadable"] = reading["unreadable"]
        return payload
