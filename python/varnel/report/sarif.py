"""The report's findings as SARIF 2.1.0, for code scanning: one run of the
tool "varnel", one rule per FAMILY/METRIC, one result per finding that has
a file (see `varnel.report.placed` for the levels and fingerprints), on the
file's first line.

Code scanning takes at most `MAX_RESULTS` results in a run and a file of at
most `MAX_GZIPPED` bytes gzipped. Past either, the first findings in the
report's order (concerns first) are kept, and the run says what was left
out, for a limit or for want of a file: in numbers in its `properties`
("varnel": findings, results, left out), and in words in a notification of
its invocation. A result's location is the file's path relative to the
repository's top level as a URI reference (percent-encoded, forward
slashes), so it can never name a place outside the repository.
"""

from __future__ import annotations

import json
import zlib
from urllib.parse import quote

from ..friendly import INSIGHTS
from .placed import Placed, place, title

VERSION = "2.1.0"
SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
MAX_RESULTS = 25_000
MAX_GZIPPED = 10_000_000
FINGERPRINT = "varnelFinding/v1"
LEVELS = {"action": "error", "concern": "warning", "movement": "note", "mechanical": "note"}
_COMPACT = (",", ":")
_RESULTS = "\0results"  # where the results go in the document's text
_CHECKED_EVERY = 256  # results between two measurements of the gzipped size
_SPARE = 1024  # bytes: the written end may compress a little differently from the one measured


def _rule(key: str) -> dict:
    family, metric = key.split("/", 1)
    words = [f"{title(family, metric)}: varnel judges each value against this repository's own recent history "
             "and reports one far from its normal."]
    words += [f"{'Up' if way == 'up' else 'Down'}: {INSIGHTS[(metric, way)]}" for way in ("up", "down")
              if (metric, way) in INSIGHTS]
    words.append(f"A change that is intended: varnel accept {key}")
    return {"id": key, "name": "".join(part.title() for part in f"{family}_{metric}".split("_")),
            "shortDescription": {"text": title(family, metric)}, "help": {"text": " ".join(words)}}


def _result(found: Placed, index: int) -> dict:
    uri = quote(found.path, safe="/", errors="surrogateescape")
    return {"ruleId": found.rule, "ruleIndex": index, "level": LEVELS[found.grade], "message": {"text": found.message},
            "locations": [{"physicalLocation": {"artifactLocation": {"uri": uri}, "region": {"startLine": 1}}}],
            "partialFingerprints": {FINGERPRINT: found.fingerprint}}


def _document(record: dict, rules: list[dict], findings: int, results: int, over: int, unplaced: int) -> str:
    """The document's text with `_RESULTS` standing for its results."""
    notes = []
    if over:
        notes.append((f"{over:,} of {findings:,} findings left out: code scanning takes at most "
                      f"{MAX_RESULTS:,} results and {MAX_GZIPPED:,} bytes gzipped in a run; the strongest were "
                      "kept, concerns first", "varnel/over-limit"))
    if unplaced:
        notes.append((f"{unplaced:,} of {findings:,} findings left out: no file of the repository explains them "
                      "(no commit, or one this clone cannot list)", "varnel/no-file"))
    run = {"tool": {"driver": {"name": "varnel", "version": str(record.get("varnel_version", "")), "rules": rules}},
           "invocations": [{"executionSuccessful": True, "toolExecutionNotifications": [
               {"level": "warning", "message": {"text": text}, "descriptor": {"id": ident}} for text, ident in notes]}],
           "properties": {"varnel": {"level": record.get("level"), "findings": findings, "results": results,
                                     "left_out": {"over_limits": over, "without_file": unplaced}}},
           "results": [_RESULTS]}
    return json.dumps({"version": VERSION, "$schema": SCHEMA, "runs": [run]}, separators=_COMPACT)


def _gzipped(compressor, tail: bytes) -> int:
    """The size the gzipped text would have if `tail` ended it."""
    finish = compressor.copy()
    return len(finish.compress(tail)) + len(finish.flush())


def _fitting(head: bytes, chunks: list[bytes], tail: bytes) -> int:
    """How many of `chunks` (joined by commas between `head` and `tail`)
    fit in `MAX_GZIPPED` bytes gzipped (less `_SPARE`), at the uploader's level: measured
    every `_CHECKED_EVERY` results, then one by one past the last that fit."""
    compressor = zlib.compressobj(6, zlib.DEFLATED, 31)
    written = len(compressor.compress(head))
    good = (0, compressor.copy(), written)
    for n, chunk in enumerate(chunks, 1):
        written += len(compressor.compress(b"," + chunk if n > 1 else chunk))
        if n % _CHECKED_EVERY and n < len(chunks):
            continue
        if written + _gzipped(compressor, tail) > MAX_GZIPPED - _SPARE:
            break
        good = (n, compressor.copy(), written)
    else:
        return len(chunks)
    kept, compressor, written = good
    for chunk in chunks[kept:]:
        written += len(compressor.compress(b"," + chunk if kept else chunk))
        if written + _gzipped(compressor, tail) > MAX_GZIPPED - _SPARE:
            break
        kept += 1
    return kept


def sarif(record: dict, paths: list[str | None], quiet: frozenset[str] = frozenset()) -> str:
    """The SARIF document of a report record (`varnel.report.render.report_record`),
    `paths` the file of each of its findings (see `varnel.report.locations`)."""
    placed, unplaced = place(record, paths, quiet)
    index = {key: n for n, key in enumerate(dict.fromkeys(found.rule for found in placed))}
    rules = [_rule(key) for key in index]
    chunks = [json.dumps(_result(found, index[found.rule]), separators=_COMPACT).encode()
              for found in placed[:MAX_RESULTS]]
    findings = len(placed) + unplaced
    # The numbers at their longest, so the measured end is never shorter than the written one.
    head, tail = _document(record, rules, findings, findings, findings, unplaced).encode().split(
        json.dumps(_RESULTS).encode())
    kept = _fitting(head, chunks, tail)
    head, tail = _document(record, rules, findings, kept, len(placed) - kept, unplaced).split(json.dumps(_RESULTS))
    return head + ",".join(chunk.decode() for chunk in chunks[:kept]) + tail + "\n"
