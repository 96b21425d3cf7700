"""Go dependencies: the require directives of go.mod, with "// indirect"
marking those the module does not import itself. go.sum lists checksums,
not requirements: it is checked for form and never counted."""

from __future__ import annotations

import re

from .graph import Dep
from .reading import ManifestError

# A go.mod word: a quoted or back-quoted string or a run of non-blank characters.
_WORD = re.compile(r'"(?:[^"\\]|\\.)*"|`[^`]*`|[^\s"`]+')
_DIRECTIVES = {"module", "go", "toolchain", "godebug", "require", "replace", "exclude", "retract", "tool", "ignore"}


def read_go_mod(text: str) -> list[Dep]:
    """Each required module with its version, in single-line or block form."""
    deps, block = [], None
    for number, line in enumerate(text.splitlines(), 1):
        code, _, comment = line.partition("//")
        words = _WORD.findall(code)
        if not words:
            continue
        if block is not None:
            if words == [")"]:
                block = None
            elif block == "require":
                deps.append(_require(words, comment, number))
            continue
        if words[0] not in _DIRECTIVES:
            raise ManifestError(f"line {number}: unknown directive {words[0]!r}")
        if words[1:] == ["("]:
            block = words[0]
        elif words[0] == "require":
            deps.append(_require(words[1:], comment, number))
    if block is not None:
        raise ManifestError(f"the {block} block is not closed")
    return deps


def _require(words: list[str], comment: str, number: int) -> Dep:
    """One "path version" requirement."""
    if len(words) != 2 or not words[1].startswith("v"):
        raise ManifestError(f"line {number}: a requirement is a module path and a version")
    indirect = comment.strip() == "indirect" or comment.strip().startswith("indirect;")
    return Dep(words[0].strip('"`'), words[1], direct=not indirect)


def read_go_sum(text: str) -> None:
    """Checks each line is "module version hash"; declares nothing."""
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split()
        if words and (len(words) != 3 or not words[1].startswith("v")):
            raise ManifestError(f"line {number}: not a module, version and hash")
    return None
