"""Error tracking: an export of the issues list as the error tracker's issues API
returns it (a JSON list of issue objects). Several files, for example
pages of one export, are merged; an issue listed twice would be counted
twice, so it is refused."""

from __future__ import annotations

from pathlib import Path

from ..friendly import plural
from .reading import Batch, Report, ReportError, count, each_file, read_json, records, text

FAMILY, SOURCE_TYPE = "error_tracking", "sentry"

MAX_ISSUES = 50  # kept in the event, the most frequent first


def _issue(raw: dict, where: str) -> dict:
    unhandled = raw.get("isUnhandled", False)
    if not isinstance(unhandled, bool) and unhandled is not None:
        raise ReportError(f"{where}.isUnhandled is not true or false: {unhandled!r}")
    issue_id = raw.get("id")
    if not isinstance(issue_id, (str, int)) or isinstance(issue_id, bool) or issue_id == "":
        raise ReportError(f"{where} has no id")
    return {"id": str(issue_id), "title": text(raw.get("title"), f"{where}.title"),
            "level": text(raw.get("level"), f"{where}.level"), "count": count(raw.get("count", 0), f"{where}.count"),
            "user_count": count(raw.get("userCount", 0), f"{where}.userCount"), "is_unhandled": bool(unhandled)}


def _read_one(path: Path) -> list[dict]:
    document = read_json(path)
    if not isinstance(document, list):
        raise ReportError("not an issues export: the document must be a JSON list of issues")
    return [_issue(raw, f"issue {i + 1}") for i, raw in enumerate(records(document, "the issues list"))]


def parse(paths: list[Path]) -> Batch:
    issues, seen = [], set()
    for path, found in zip(paths, each_file(paths, _read_one)):
        for issue in found:
            if issue["id"] in seen:
                raise ReportError(f"issue {issue['id']} is listed twice", path)
            seen.add(issue["id"])
            issues.append(issue)
    stats = {"event_count": sum(i["count"] for i in issues), "user_count": sum(i["user_count"] for i in issues),
             "issue_count": len(issues)}
    unhandled = any(i["is_unhandled"] for i in issues)
    top = sorted(issues, key=lambda i: i["count"], reverse=True)[:MAX_ISSUES]
    line = (f"sentry: {plural(stats['issue_count'], 'issue', 'issues')}, "
            f"{plural(stats['event_count'], 'event', 'events')}, {plural(stats['user_count'], 'user', 'users')}"
            + (", some unhandled" if unhandled else ""))
    return Batch([Report({"stats": stats, "is_unhandled": unhandled, "issues": top}, line)])
