"""The top-level blocks of a Terraform (HCL) file.

Counting resources needs the block structure only, but that structure is
only found reliably by reading everything that can hide a brace: quoted
strings with their ${...} and %{...} templates (which nest strings and
braces of their own), heredocs, and the three comment forms. This reader
walks all of them and refuses what it cannot close, rather than guessing.
"""

from __future__ import annotations

import hashlib
import re
from dataclasses import dataclass

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_-]*")
_HEREDOC = re.compile(r"<<(-?)([A-Za-z_][A-Za-z0-9_-]*)[ \t]*\r?\n")
_CLOSING = {"{": "}", "[": "]", "(": ")"}
# Tokens of their own when comparing bodies, so "x=1" and "x = 1" read the same.
_PUNCTUATION = "=,:?{}[]()"


class HCLError(ValueError):
    """Text that is not well-formed HCL."""


@dataclass(frozen=True)
class Block:
    kind: str  # resource, data, module, variable, ...
    labels: tuple[str, ...]
    digest: str  # of the body with comments and layout left out, to see modifications


class _Reader:
    def __init__(self, source: str):
        self.s = source
        self.i = 0

    def error(self, what: str) -> HCLError:
        line = self.s.count("\n", 0, self.i) + 1
        return HCLError(f"line {line}: {what}")

    def skip_space(self) -> None:
        """Skips white space and comments."""
        s = self.s
        while self.i < len(s):
            c = s[self.i]
            if c in " \t\r\n":
                self.i += 1
            elif c == "#" or s.startswith("//", self.i):
                end = s.find("\n", self.i)
                self.i = len(s) if end < 0 else end + 1
            elif s.startswith("/*", self.i):
                end = s.find("*/", self.i + 2)
                if end < 0:
                    raise self.error("a /* comment is never closed")
                self.i = end + 2
            else:
                return

    def string(self) -> str:
        """A quoted string from its opening quote; templates inside are skipped whole."""
        start = self.i
        self.i += 1
        s = self.s
        while self.i < len(s):
            c = s[self.i]
            if c == "\\":
                self.i += 2
            elif c == '"':
                self.i += 1
                return s[start + 1 : self.i - 1]
            elif c == "\n":
                break
            elif c in "$%" and s.startswith("{", self.i + 1) and not s.startswith(c, self.i - 1):
                self.i += 1
                self.group()
            else:
                self.i += 1
        raise self.error("a string is never closed")

    def heredoc(self, match: re.Match) -> None:
        """Skips a heredoc whose opening line `match` matched."""
        marker = match.group(2)
        self.i = match.end()
        for line in re.finditer(r"[^\n]*(?:\n|$)", self.s[self.i :]):
            if line.group().strip() == marker:
                self.i += line.end()
                return
            if not line.group():
                break
        raise self.error(f"the heredoc {marker} is never closed")

    def group(self) -> None:
        """Skips a bracketed expression or body from its opening bracket."""
        stack = [_CLOSING[self.s[self.i]]]
        self.i += 1
        while stack:
            self.skip_space()
            if self.i >= len(self.s):
                raise self.error(f"a block or expression is never closed (missing '{stack[-1]}')")
            c = self.s[self.i]
            if c == '"':
                self.string()
            elif c in _CLOSING:
                stack.append(_CLOSING[c])
                self.i += 1
            elif c in "}])":
                if c != stack[-1]:
                    raise self.error(f"'{c}' where '{stack[-1]}' closes")
                stack.pop()
                self.i += 1
            elif c == "<" and (heredoc := _HEREDOC.match(self.s, self.i)):
                self.heredoc(heredoc)
            else:
                self.i += 1


def _normalised(body: str) -> str:
    """A body without comments and layout, for comparing versions."""
    reader = _Reader(body)
    pieces = []
    while True:
        reader.skip_space()
        if reader.i >= len(body):
            return " ".join(pieces)
        start = reader.i
        if body[start] == '"':
            reader.string()
        elif body[start] == "<" and (heredoc := _HEREDOC.match(body, start)):
            reader.heredoc(heredoc)  # its text is data, kept whole: "/*" or "#" there is no comment
        elif body[start] in _PUNCTUATION:
            reader.i += 1
        else:
            while reader.i < len(body) and body[reader.i] not in " \t\r\n\"#" + _PUNCTUATION and not body.startswith(
                    ("//", "/*"), reader.i):
                reader.i += 1
        pieces.append(body[start : reader.i])


def blocks(source: str) -> list[Block]:
    """The top-level blocks of a file, in order; top-level attributes are skipped."""
    reader = _Reader(source)
    found = []
    while True:
        reader.skip_space()
        if reader.i >= len(source):
            return found
        name = _IDENT.match(source, reader.i)
        if name is None:
            raise reader.error(f"unexpected '{source[reader.i]}' at the top level")
        reader.i = name.end()
        labels = []
        while True:
            before = reader.i
            reader.skip_space()
            # A block's header, or an attribute up to its value, is one line.
            if reader.i >= len(source) or "\n" in source[before : reader.i]:
                reader.i = before
                raise reader.error(f"'{name.group()}' has no body")
            c = source[reader.i]
            if c == '"':
                labels.append(reader.string())
            elif c == "{":
                start = reader.i
                reader.group()
                digest = hashlib.sha256(_normalised(source[start + 1 : reader.i - 1]).encode()).hexdigest()
                found.append(Block(name.group(), tuple(labels), digest))
                break
            elif c == "=" and not labels:
                reader.i += 1
                _skip_expression(reader)
                break
            elif label := _IDENT.match(source, reader.i):
                labels.append(label.group())
                reader.i = label.end()
            else:
                raise reader.error(f"unexpected '{c}' after '{name.group()}'")


def _skip_expression(reader: _Reader) -> None:
    """Skips a top-level attribute's value, to the end of its line."""
    s = reader.s
    while reader.i < len(s):
        c = s[reader.i]
        if c == "\n":
            return
        if c == '"':
            reader.string()
        elif c in _CLOSING:
            reader.group()
        elif c == "<" and (heredoc := _HEREDOC.match(s, reader.i)):
            reader.heredoc(heredoc)
            return
        elif c == "#" or s.startswith(("//", "/*"), reader.i):
            reader.skip_space()
            return
        else:
            reader.i += 1
