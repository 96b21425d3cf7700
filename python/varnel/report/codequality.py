"""The report's findings as a GitLab code-quality report: a JSON array of
one issue per finding that has a file, in the report's order, on the file's
first line (see `varnel.report.placed` for the severities and fingerprints;
the format has no place for the findings without a file)."""

from __future__ import annotations

import json

from .placed import place

SEVERITIES = {"action": "critical", "concern": "major", "movement": "minor", "mechanical": "info"}


def codequality(record: dict, paths: list[str | None], quiet: frozenset[str] = frozenset()) -> str:
    """The code-quality report of a report record, `paths` the file of each of its findings."""
    placed, _ = place(record, paths, quiet)
    return json.dumps([{"description": found.message, "check_name": found.rule, "fingerprint": found.fingerprint,
                        "severity": SEVERITIES[found.grade],
                        "location": {"path": found.path, "lines": {"begin": 1}}} for found in placed], indent=2) + "\n"
