"""Security scan reports in the scanner's JSON form: every
vulnerability found, with its severity in lower case and its fixed version
("" when no fix exists). Several reports (one per image or directory) are
merged into one event."""

from __future__ import annotations

from pathlib import Path

from ..friendly import plural
from .reading import Batch, Report, ReportError, each_file, read_json, records, text

FAMILY, SOURCE_TYPE = "security", "trivy"

SEVERITIES = ("critical", "high", "medium", "low", "unknown")


def _read_one(path: Path) -> list[dict]:
    report = read_json(path)
    if not isinstance(report, dict):
        raise ReportError("not a scan report: the document must be a JSON object with `Results`")
    findings = []
    for i, result in enumerate(records(report.get("Results"), "Results")):
        target = text(result.get("Target"), f"Results[{i}].Target")
        for j, vuln in enumerate(records(result.get("Vulnerabilities"), f"Results[{i}].Vulnerabilities")):
            where = f"Results[{i}].Vulnerabilities[{j}]"
            findings.append({
                "id": text(vuln.get("VulnerabilityID"), f"{where}.VulnerabilityID") or "unknown",
                "severity": text(vuln.get("Severity"), f"{where}.Severity").lower() or "unknown",
                "package": text(vuln.get("PkgName"), f"{where}.PkgName"),
                "installed_version": text(vuln.get("InstalledVersion"), f"{where}.InstalledVersion"),
                "fixed_version": text(vuln.get("FixedVersion"), f"{where}.FixedVersion"),
                "title": text(vuln.get("Title"), f"{where}.Title"),
                "target": target,
            })
    return findings


def parse(paths: list[Path]) -> Batch:
    findings = [finding for found in each_file(paths, _read_one) for finding in found]
    summary = {"total": len(findings), **{severity: 0 for severity in SEVERITIES}}
    for finding in findings:
        # A severity the scanner may add later still counts, as unknown.
        summary[finding["severity"] if finding["severity"] in SEVERITIES else "unknown"] += 1
    by_severity = ", ".join(f"{summary[s]:,} {s}" for s in SEVERITIES if summary[s])
    line = f"trivy: {plural(summary['total'], 'vulnerability', 'vulnerabilities')}" + (f" ({by_severity})" if by_severity else "")
    return Batch([Report({"summary": summary, "findings": findings}, line)])
