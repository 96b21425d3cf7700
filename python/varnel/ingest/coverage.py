"""Coverage reports: Cobertura XML and the JSON report of Python's coverage tool.

Rates are fractions from 0 to 1. A branch rate is null when no branches were
measured, so that a run without branch coverage never reads as 0% covered.
One Cobertura file keeps the rates it reports; several files are combined
from their line and branch counts, so each must carry them."""

from __future__ import annotations

from pathlib import Path

from .reading import Batch, Report, ReportError, count, each_file, rate, read_json, read_xml

FAMILY, SOURCE_TYPE = "coverage", "coverage_xml"


def _checked(covered: int | None, valid: int | None, what: str) -> None:
    if covered is not None and valid is not None and covered > valid:
        raise ReportError(f"{covered} {what} covered of only {valid}")


def _cobertura(path: Path) -> dict:
    root = read_xml(path)
    if root.tag != "coverage":
        raise ReportError(f"the root element is <{root.tag}>, not <coverage>")

    def attribute(name: str, read):
        value = root.get(name)
        return None if value is None else read(value, f"{name} of <coverage>")

    if root.get("line-rate") is None:
        raise ReportError("<coverage> has no line-rate")
    found = {"line_rate": attribute("line-rate", rate), "branch_rate": attribute("branch-rate", rate),
             "lines_covered": attribute("lines-covered", count), "lines_valid": attribute("lines-valid", count),
             "branches_covered": attribute("branches-covered", count),
             "branches_valid": attribute("branches-valid", count), "format": "cobertura"}
    _checked(found["lines_covered"], found["lines_valid"], "lines")
    _checked(found["branches_covered"], found["branches_valid"], "branches")
    if found["branches_valid"] == 0:
        found["branch_rate"] = None  # no branch was measured
    return found


def _coverage_json(path: Path) -> dict:
    report = read_json(path)
    totals = report.get("totals") if isinstance(report, dict) else None
    if not isinstance(totals, dict):
        raise ReportError("not a coverage JSON report: no `totals` object")
    for key in ("covered_lines", "num_statements"):
        if key not in totals:
            raise ReportError(f"`totals` has no {key}")
    lines_covered = count(totals["covered_lines"], "totals.covered_lines")
    lines_valid = count(totals["num_statements"], "totals.num_statements")
    branches_covered = branches_valid = None
    if "num_branches" in totals:
        branches_covered = count(totals.get("covered_branches", 0), "totals.covered_branches")
        branches_valid = count(totals["num_branches"], "totals.num_branches")
    _checked(lines_covered, lines_valid, "lines")
    _checked(branches_covered, branches_valid, "branches")
    return {"line_rate": _ratio(lines_covered, lines_valid), "branch_rate": _ratio(branches_covered, branches_valid),
            "lines_covered": lines_covered, "lines_valid": lines_valid, "branches_covered": branches_covered,
            "branches_valid": branches_valid, "format": "coverage_json"}


def _ratio(covered: int | None, valid: int | None) -> float | None:
    return covered / valid if covered is not None and valid else None


def _read_one(path: Path) -> dict:
    return _coverage_json(path) if Path(path).suffix.lower() == ".json" else _cobertura(path)


def _combined(paths: list[Path], reports: list[dict]) -> dict:
    for path, report in zip(paths, reports):
        if report["lines_covered"] is None or report["lines_valid"] is None:
            raise ReportError("has no line counts (lines-covered, lines-valid) to combine with other files", path)
    measured = [r for r in reports if r["branches_valid"]]
    lines_covered = sum(r["lines_covered"] for r in reports)
    lines_valid = sum(r["lines_valid"] for r in reports)
    branches_covered = sum(r["branches_covered"] or 0 for r in measured) if measured else None
    branches_valid = sum(r["branches_valid"] for r in measured) if measured else None
    formats = {r["format"] for r in reports}
    return {"line_rate": _ratio(lines_covered, lines_valid), "branch_rate": _ratio(branches_covered, branches_valid),
            "lines_covered": lines_covered, "lines_valid": lines_valid, "branches_covered": branches_covered,
            "branches_valid": branches_valid, "format": formats.pop() if len(formats) == 1 else "mixed"}


def _percent(value: float | None) -> str:
    return "not measured" if value is None else f"{value:.1%}"


def parse(paths: list[Path]) -> Batch:
    reports = each_file(paths, _read_one)
    payload = reports[0] if len(reports) == 1 else _combined(paths, reports)
    line = f"coverage: lines {_percent(payload['line_rate'])}"
    if payload["lines_valid"] is not None:
        line += f" of {payload['lines_valid']:,}"
    line += f", branches {_percent(payload['branch_rate'])}"
    return Batch([Report(payload, line)])
