"""JUnit XML test reports: the counts of a run and the tests that did not pass.

Counts come from the <testcase> elements themselves, not from the suites'
attributes, which tools fill in differently. Passing cases are only counted:
listing every one would make a large suite's events megabytes each."""

from __future__ import annotations

from pathlib import Path
from xml.etree.ElementTree import Element

from ..friendly import plural
from .reading import Batch, Report, ReportError, each_file, read_xml, seconds

FAMILY, SOURCE_TYPE = "testing", "junit_xml"

# A case's outcome from its children, the most serious first.
_OUTCOMES = (("error", "errored"), ("failure", "failed"), ("skipped", "skipped"))


def _duration(element: Element, what: str) -> float | None:
    value = element.get("time")
    return None if value is None else seconds(value, what)


def _case_name(case: Element) -> str:
    name, classname = case.get("name", ""), case.get("classname", "")
    return f"{classname}.{name}" if classname and name else name or classname or "unknown"


def _read_one(path: Path) -> tuple[dict, list[dict], float]:
    root = read_xml(path)
    if root.tag not in ("testsuites", "testsuite"):
        raise ReportError(f"the root element is <{root.tag}>, not <testsuites> or <testsuite>")
    counts = {"total": 0, "failed": 0, "skipped": 0, "errored": 0}
    cases, case_time = [], 0.0
    for case in root.iter("testcase"):
        name = _case_name(case)
        duration = _duration(case, f"the time of test {name!r}")
        case_time += duration or 0.0
        counts["total"] += 1
        children = {child.tag for child in case}
        status = next((status for tag, status in _OUTCOMES if tag in children), "passed")
        if status == "passed":
            continue
        counts["skipped" if status == "skipped" else "failed"] += 1
        counts["errored"] += status == "errored"
        cases.append({"name": name, "status": status, "duration_seconds": duration})
    suites = [root] if root.tag == "testsuite" or root.get("time") is not None else root.findall("testsuite")
    times = [_duration(suite, f"the time of suite {suite.get('name', '')!r}") for suite in suites]
    total_time = sum(times) if suites and None not in times else case_time
    return counts, cases, total_time


def parse(paths: list[Path]) -> Batch:
    """One event for all files together: a run's reports are often split by module."""
    counts = {"total": 0, "failed": 0, "skipped": 0, "errored": 0}
    cases: list[dict] = []
    duration = 0.0
    for file_counts, file_cases, file_time in each_file(paths, _read_one):
        for key, value in file_counts.items():
            counts[key] += value
        cases += file_cases
        duration += file_time
    duration = round(duration, 6)  # sums of decimal times, without the binary noise
    summary = {"total": counts["total"], "passed": counts["total"] - counts["failed"] - counts["skipped"],
               "failed": counts["failed"], "skipped": counts["skipped"], "errored": counts["errored"]}
    payload = {"summary": summary, "execution": {"duration_seconds": duration}, "cases": cases}
    line = (f"junit: {plural(summary['total'], 'test', 'tests')}, {summary['failed']:,} failed, "
            f"{summary['skipped']:,} skipped in {duration:.1f} s")
    return Batch([Report(payload, line)])
