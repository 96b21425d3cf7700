"""A Markdown report cut to a size limit at item boundaries: a pull-request
comment and a job summary hold only so much, and a report cut in the middle
of an item (or of a code span) would say something it does not mean.

An item is a line that starts a list ("- ", "1. ") with the indented lines
under it; every other line stands alone. The report keeps its lines in
order up to the last that fits, and one closing line says how many items
were left out.
"""

from __future__ import annotations

import re
from typing import Callable

_ITEM = re.compile(r"(?:- |\d+\. )")


def utf8_size(text: str) -> int:
    return len(text.encode("utf-8", "surrogateescape"))


def _note(count: int) -> str:
    return (f"\n*\u2026 and {count:,} more item{'s' * (count != 1)} left out to fit the size limit here: "
            "the JSON report (`--format json`) lists every finding.*\n")


def _blocks(markdown: str) -> list[tuple[str, bool]]:
    """(text, whether it is an item) of each item and each other line, newlines kept."""
    pieces = markdown.split("\n")
    lines = [piece + "\n" for piece in pieces[:-1]] + ([pieces[-1]] if pieces[-1] else [])
    blocks: list[tuple[str, bool]] = []
    for line in lines:
        if line.startswith(" ") and blocks and blocks[-1][1]:
            blocks[-1] = (blocks[-1][0] + line, True)  # a line under an item belongs to it
        else:
            blocks.append((line, bool(_ITEM.match(line))))
    return blocks


def fit(markdown: str, limit: int, size: Callable[[str], int] = len) -> str:
    """`markdown` whole when its `size` is within `limit`; else its lines up
    to the last item that fits, and a line saying how many items were left
    out ("" when not even that line fits)."""
    if size(markdown) <= limit:
        return markdown
    blocks = _blocks(markdown)
    items = sum(is_item for _, is_item in blocks)
    room = limit - size(_note(items))  # the note never grows: fewer items are left out than there are
    if room < 0:
        return ""
    kept, used, shown = [], 0, 0
    for text, is_item in blocks:
        used += size(text)
        if used > room:
            break
        kept.append(text)
        shown += is_item
    return "".join(kept) + _note(items - shown)
