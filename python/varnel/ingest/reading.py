"""Reading report files for the importers: strict JSON and XML, and the
checks every kind applies to the numbers and times it copies into events.

A report that fails any check raises `ReportError`; the importer adds the
file's name, so every refusal says which file and what is wrong with it."""

from __future__ import annotations

import json
import sys
import math
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable, TypeVar
from xml.etree.ElementTree import Element, TreeBuilder
from xml.parsers import expat

from ..errors import UsageError
from ..files import Refused, read_regular


class ReportError(UsageError, ValueError):
    """A report file that cannot be imported as it is; `path` names the
    file once it is known."""

    def __init__(self, problem: str, path: Path | None = None):
        super().__init__(problem)
        self.problem = problem
        self.path = path

    def __str__(self) -> str:
        return f"{self.path}: {self.problem}" if self.path is not None else self.problem


@dataclass
class Report:
    """One event's worth of a report, before the commit and time are settled."""

    payload: dict  # the kind's measurements; a CI run's `trigger` without its commit filled in
    line: str  # what the event holds, in a few words, for the command's output
    commit: str = ""  # the commit the report names itself (a CI run's head), else ""
    at: datetime | None = None  # the report's own time (a CI run's creation), else None
    key: str = ""  # a CI run's "<id>-<attempt>", which identifies its event


@dataclass
class Batch:
    """What a kind read from its files: the events to write, and how many
    entries it passed over (CI runs not completed yet)."""

    reports: list[Report] = field(default_factory=list)
    skipped: int = 0


T = TypeVar("T")


def each_file(paths: list[Path], read_one: Callable[[Path], T]) -> list[T]:
    """`read_one` of every file, in order; a refusal names its file."""
    results = []
    for path in paths:
        try:
            results.append(read_one(path))
        except ReportError as e:
            e.path = e.path or path
            raise
    return results


def read_json(path: Path):
    """The JSON document in `path`: UTF-8 (a byte-order mark is allowed),
    without NaN or Infinity, which no report needs and no count can be."""
    raw = _read_bytes(path)
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise ReportError(f"not UTF-8 text (byte {e.start})") from None

    def refuse_constant(name: str):
        raise ReportError(f"{name} is not a JSON number")

    try:
        return json.loads(text, parse_constant=refuse_constant)
    except json.JSONDecodeError as e:
        raise ReportError(f"not JSON: {e.msg} at line {e.lineno} column {e.colno}") from None
    except ReportError:
        raise
    except RecursionError:
        raise ReportError("nested too deeply to be a report") from None
    except ValueError:  # Python's own limit on the digits of an integer
        raise ReportError(f"holds a number of more than {sys.get_int_max_str_digits()} digits, "
                          "which no report needs") from None


def read_xml(path: Path) -> Element:
    """The root element of the XML document in `path`. A document type
    declaration with its own declarations or a local DTD is refused before
    anything in it is used: these reports never need one, and entity
    declarations are how XML parsers are made to read local files or to
    expand text without bound. One that only names a published DTD by URL,
    as Cobertura writers add, is accepted; that DTD is never fetched."""
    raw = _read_bytes(path)
    builder = TreeBuilder()
    parser = expat.ParserCreate()

    def refuse(*_args):
        raise ReportError("XML with a DOCTYPE that declares entities or names a local DTD is refused")

    def doctype(_name, system_id, _public_id, has_internal_subset):
        # URL schemes are case-insensitive: HTTP:// names a published DTD as well.
        if has_internal_subset or (system_id and not system_id.lower().startswith(("http://", "https://"))):
            refuse()

    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = refuse
    parser.StartElementHandler = builder.start
    parser.EndElementHandler = builder.end
    parser.CharacterDataHandler = builder.data
    try:
        parser.Parse(raw, True)
    except expat.ExpatError as e:
        raise ReportError(f"not XML: {expat.errors.messages[e.code]} at line {e.lineno}") from None
    return builder.close()


# The largest report file read: a JUnit report of a hundred thousand tests is a few tens of megabytes.
REPORT_SIZE_LIMIT = 128 * 1024 * 1024


def _read_bytes(path: Path) -> bytes:
    try:
        return read_regular(path, REPORT_SIZE_LIMIT)
    except Refused as e:
        raise ReportError(f"{e}, not a report") from None
    except FileNotFoundError:
        raise ReportError("no such file") from None
    except OSError as e:
        raise ReportError(f"cannot be read: {e.strerror}") from None


# No tool counts this many of anything; a larger "count" is a writer's fault.
LARGEST_COUNT = 10**15


def count(value, what: str) -> int:
    """A non-negative whole number up to `LARGEST_COUNT`, given as an integer or as decimal digits."""
    digits = value.strip() if isinstance(value, str) else ""
    if digits.isascii() and digits.isdigit() and len(digits) <= 16:  # "²" is a digit to isdigit, not to int
        value = int(digits)
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= LARGEST_COUNT:
        return value
    raise ReportError(f"{what} is not a count: {shown(value)}")


def shown(value) -> str:
    """A value as a refusal quotes it: its repr, cut to a few words."""
    try:
        text = repr(value)
    except ValueError:  # an integer past Python's digit limit
        return "a number of too many digits"
    return text if len(text) <= 60 else text[:57] + "..."


def number(value, what: str) -> float:
    """A finite number, given as a JSON number or as decimal text."""
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ReportError(f"{what} is not a number: {shown(value)}")
    try:
        result = float(value)
    except OverflowError:  # an integer past the largest real
        result = math.inf
    except ValueError:
        raise ReportError(f"{what} is not a number: {shown(value)}") from None
    if not math.isfinite(result):
        raise ReportError(f"{what} is not a finite number: {shown(value)}")
    return result


# A year of seconds: no test run or CI job lasts longer, and a "1e308" is a writer's fault.
LONGEST_SECONDS = 366 * 24 * 3600


def seconds(value, what: str) -> float:
    """A duration in seconds: a finite number from 0 to `LONGEST_SECONDS`."""
    result = number(value, what)
    if result < 0:
        raise ReportError(f"{what} is negative: {shown(value)}")
    if result > LONGEST_SECONDS:
        raise ReportError(f"{what} is more than a year: {shown(value)} seconds")
    return result


def rate(value, what: str) -> float:
    """A fraction between 0 and 1, as reported."""
    result = number(value, what)
    if not 0.0 <= result <= 1.0:
        raise ReportError(f"{what} is not between 0 and 1: {shown(value)}")
    return result


def moment(value, what: str) -> datetime:
    """An ISO 8601 time; one without an offset is taken as UTC."""
    if not isinstance(value, str):
        raise ReportError(f"{what} is not a time: {shown(value)}")
    try:
        parsed = datetime.fromisoformat(value)
    except ValueError:
        raise ReportError(f"{what} is not an ISO 8601 time: {shown(value)}") from None
    return parsed if parsed.tzinfo is not None else parsed.replace(tzinfo=timezone.utc)


def text(value, what: str) -> str:
    """A text field; absent or null reads as the empty text."""
    if value is None:
        return ""
    if not isinstance(value, str):
        raise ReportError(f"{what} is not text: {shown(value)}")
    return value


def records(value, what: str) -> list[dict]:
    """A list of JSON objects; absent or null reads as an empty list."""
    if value is None:
        return []
    if not isinstance(value, list) or not all(isinstance(item, dict) for item in value):
        raise ReportError(f"{what} must be a list of objects")
    return value
