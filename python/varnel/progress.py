"""Progress on standard error: a bar that redraws in a terminal, plain lines
otherwise, nothing when quiet."""

from __future__ import annotations

import os
import sys
from typing import TextIO

from ._common import one_line


def clean(text: object) -> str:
    """Repository text as one line of terminal text: control and format
    characters (escape sequences, bidirectional overrides, line breaks)
    become spaces, so nothing reaches a terminal's control and no line a CI
    runner reads can start a workflow command. The engines' texts follow the
    same rule (`varnel._common.one_line`)."""
    return one_line(str(text or ""))


class Progress:
    def __init__(self, quiet: bool = False, stream: TextIO | None = None):
        self.stream = stream if stream is not None else sys.stderr
        self.quiet = quiet
        self.live = not quiet and self.stream.isatty() and os.environ.get("TERM") != "dumb"
        self._open = False
        self.warned: list[str] = []  # every warning given, in order

    def step(self, text: str) -> None:
        """A stage begins."""
        if self.quiet:
            return
        self._end_line()
        if self.live:
            self.stream.write(text)
            self._open = True
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def count(self, label: str, done: int, total: int) -> None:
        """Work within a stage; only a terminal shows every count."""
        if not self.live or total <= 0:
            return
        width = 24
        filled = width * done // total
        self.stream.write(f"\r{label} [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
        self.stream.flush()
        self._open = True

    def warn(self, text: str) -> None:
        """Shown even when quiet: something the user should know about the result."""
        self._end_line()
        self.warned.append(text)
        self.stream.write(f"warning: {clean(text)}\n")
        self.stream.flush()

    def done(self) -> None:
        self._end_line()

    def _end_line(self) -> None:
        if self._open:
            self.stream.write("\n")
            self._open = False
