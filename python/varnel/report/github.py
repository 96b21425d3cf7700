"""The report in a GitHub Actions step (`--github`): the Markdown report
appended to the job summary, and workflow annotations on the findings' files.

- **The job summary** (the file `$GITHUB_STEP_SUMMARY` names) holds at most
  `SUMMARY_LIMIT` bytes a step: the report is appended, cut at item
  boundaries to the room left (`varnel.report.fit`), saying how many items
  were left out.
- **Annotations**: one `::error`, `::warning` or `::notice` command per
  finding with a file (see `varnel.report.placed` for the grades), at most
  `PER_KIND` of each kind, strongest first; when more findings exist (or
  some have no file), the last notice counts them instead, pointing to the
  job summary. Data is escaped as the runner reads it (`%`, CR and LF in a
  message; `:` and `,` too in a property), so no text of the repository can
  end a command or start another.
- **Where they go**: the runner reads workflow commands from the step's
  output. They are printed after the report: on standard output, unless the
  report itself is a JSON document there, which stays one document (they go
  to standard error then, which the runner reads as well).
"""

from __future__ import annotations

from pathlib import Path

from .fit import fit, utf8_size
from .placed import place

SUMMARY_LIMIT = 1024 * 1024
PER_KIND = 10
COMMANDS = {"action": "error", "concern": "warning", "movement": "notice", "mechanical": "notice"}


def _data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _property(text: str) -> str:
    return _data(text).replace(":", "%3A").replace(",", "%2C")


def _printable(path: str) -> str:
    """A path as text: bytes that are not UTF-8 (kept as surrogate escapes) cannot be named."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def annotations(record: dict, paths: list[str | None], quiet: frozenset[str] = frozenset()) -> list[str]:
    """The workflow commands of a report record's findings, `paths` the file of each."""
    placed, unplaced = place(record, paths, quiet)
    chosen = {kind: [p for p in placed if COMMANDS[p.grade] == kind] for kind in ("error", "warning", "notice")}
    shown = {kind: found[:PER_KIND] for kind, found in chosen.items()}
    rest = unplaced + sum(len(found) - len(shown[kind]) for kind, found in chosen.items())
    if rest:  # the last notice counts the findings left unannotated instead
        rest += len(shown["notice"][PER_KIND - 1:])
        shown["notice"] = shown["notice"][:PER_KIND - 1]
    lines = [f"::{kind} file={_property(_printable(p.path))},line=1,title={_property('varnel: ' + p.title)}"
             f"::{_data(p.message)}" for kind in ("error", "warning", "notice") for p in shown[kind]]
    if rest:
        lines.append(f"::notice title=varnel::and {rest:,} more finding{'s' * (rest != 1)}: see the job summary")
    return lines


def append_summary(path: Path, markdown: str) -> None:
    """Appends the Markdown report to the job summary at `path`, cut to the room the step has left."""
    held = path.stat().st_size if path.exists() else 0
    apart = "\n" if held else ""
    addition = fit(markdown, SUMMARY_LIMIT - held - len(apart), utf8_size)
    if addition:
        with open(path, "a", encoding="utf-8", errors="surrogateescape") as out:
            out.write(apart + addition)
