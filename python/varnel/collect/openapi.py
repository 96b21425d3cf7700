"""API schemas: OpenAPI 3 and Swagger 2 documents kept in the repository.

A document is found by its file name: one whose name holds "openapi" or
"swagger" and ends in .json, .yaml or .yml (openapi.yaml, api/petstore.openapi.json,
swagger.json). Its content decides the rest: a file without a top-level
"openapi" (3.x) or "swagger" (2.0) member is not an API document and gives
no event; one that is not valid JSON or YAML is refused.

What is counted:
- endpoints: the operations, one per path and HTTP method;
- types: the named schemas (components.schemas, or definitions in 2.0);
- fields: the properties of the named schemas, including those of the
  inline parts of allOf, anyOf and oneOf (a property reached through $ref is
  counted where it is defined, once).

The diff against the document's previous version counts operations, types
and fields (schema.property) added and removed.
"""

from __future__ import annotations

import json
import re
from typing import Any, Hashable

import yaml

from .history import Entry, SourceError, Tree
from .yaml_loader import load_yaml

_NAME = re.compile(r"(?:^|/)[^/]*(?:openapi|swagger)[^/]*\.(?:json|ya?ml)$", re.IGNORECASE)
_METHODS = ("get", "put", "post", "delete", "options", "head", "patch", "trace")


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


class OpenAPISource:
    prefix = "schema-"
    family = "schema"
    source_type = "openapi"

    def unit_of(self, path: str) -> Hashable | None:
        return path if _NAME.search(path) else None

    def entries(self, tree: Tree, unit: Hashable) -> list[Entry]:
        directory = unit.rpartition("/")[0]
        return [e for e in tree.listing(directory) if e.path == unit]

    def read(self, unit: Hashable, files: dict[str, bytes]) -> Any:
        return read_document(unit, files[unit])

    def payload(self, unit: Hashable, state: Any, previous: Any) -> dict:
        payload = {
            "document": unit,
            "title": state["title"],
            "api_version": state["api_version"],
            "openapi_version": state["version"],
            "structure": {
                "endpoint_count": len(state["operations"]),
                "type_count": len(state["types"]),
                "field_count": len(state["fields"]),
            },
        }
        if previous is not None:
            payload["diff"] = {}
            for kind, key in (("endpoints", "operations"), ("types", "types"), ("fields", "fields")):
                payload["diff"][f"{kind}_added"] = len(state[key] - previous[key])
                payload["diff"][f"{kind}_removed"] = len(previous[key] - state[key])
            payload["endpoints_added"] = sorted(state["operations"] - previous["operations"])[:20]
            payload["endpoints_removed"] = sorted(previous["operations"] - state["operations"])[:20]
        return payload
