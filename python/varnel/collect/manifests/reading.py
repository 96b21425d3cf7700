"""Reading a manifest or lock file's text as what it claims to be, and the
checks that its parts have the shape the format gives them. Every failure is
a ManifestError saying what is wrong; the caller adds the file's name."""

from __future__ import annotations

import json
import tomllib
from contextlib import contextmanager
from typing import Any, Iterator

import yaml

from .. import yaml_loader


# Builds nothing but strings, lists and mappings; C implementation when there is one.
_TEXT_LOADER = getattr(yaml, "CBaseLoader", yaml.BaseLoader)


class ManifestError(ValueError):
    """A manifest or lock file that cannot be read as what it claims to be."""


@contextmanager
def reading(name: str) -> Iterator[None]:
    """Prefixes any ManifestError raised while reading one file with its name."""
    try:
        yield
    except ManifestError as exc:
        raise ManifestError(f"{name}: {exc}") from exc


def decode(data: bytes) -> str:
    """The file's text; a leading byte order mark is dropped, as the tools do."""
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise ManifestError(f"not UTF-8 text (byte {exc.start})") from exc


def load_json(text: str) -> dict:
    """A JSON document whose top level is an object."""
    try:
        value = json.loads(text)
    except (json.JSONDecodeError, RecursionError) as exc:  # nesting too deep for the parser
        raise ManifestError(f"invalid JSON: {exc}") from exc
    return expect(value, dict, "the document")


def load_toml(text: str) -> dict:
    """A TOML document."""
    try:
        return tomllib.loads(text)
    except (tomllib.TOMLDecodeError, RecursionError) as exc:
        raise ManifestError(f"invalid TOML: {exc}") from exc


def load_yaml(text: str, strings: bool = False) -> dict:
    """A YAML document whose top level is a mapping (safe loader only). With
    `strings` every value stays the text it is written as, for formats that
    leave versions unquoted ("debug: 4", "version: 1.10")."""
    try:
        value = yaml.load(text, Loader=_TEXT_LOADER) if strings else yaml_loader.load_yaml(text)
    except (yaml.YAMLError, RecursionError) as exc:
        raise ManifestError(f"invalid YAML: {exc}") from exc
    return expect(value, dict, "the document")


_KINDS = {dict: "a table", list: "a list", str: "a string", int: "an integer", bool: "a boolean"}


def expect(value: Any, kind: type, what: str) -> Any:
    """`value` when it is of `kind`, else a ManifestError naming `what`."""
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ManifestError(f"{what} is not {_KINDS[kind]}")
    return value


def member(table: dict, key: str, kind: type, default: Any, where: str = "") -> Any:
    """`table[key]` checked to be of `kind`, or `default` when absent."""
    if key not in table:
        return default
    return expect(table[key], kind, f"{where}{key!r}")


def string_map(table: dict, key: str, where: str = "") -> dict[str, str]:
    """A member mapping names to text (a dependency list of npm and its locks)."""
    mapping = member(table, key, dict, {}, where)
    for name, value in mapping.items():
        expect(name, str, f"{where}{key!r} entry name {name!r}")
        expect(value, str, f"{where}{key!r} entry {name!r}")
    return mapping
