"""The fleet report: one row per repository, the repositories that need
attention first, the community patterns and the pooled track record; kept
in the fleet directory as report.json, report.md and report.html."""

from __future__ import annotations

import html
import json
from datetime import datetime, timezone
from pathlib import Path

from .. import __version__
from ..config import Config
from ..files import read_state, write_text_atomic
from ..progress import clean
from ..report.attention import telling
from ..report.levels import LEVELS
from ..report.render import markdown as inert
from ..run.stage import REPORT_RECORD
from ..workspace import is_workspace
from ..worth.ranking import TOP_SHARE, measured
from .members import REPORT_FILES, Fleet, Member, redacted

SCHEMA_VERSION = 1
TOP_FINDINGS = 3
# Members whose run did not complete come first: nothing is known of them this time.
_UNFINISHED = ("failed", "timeout", "lost")
# The threshold the report's pooled rules are quoted at: the settings' default.
_THRESHOLD = Config().significance_threshold


def row(member: Member, outcome: dict, workspace: Path) -> dict:
    """A member's row: how its job ended and what its last completed run found."""
    last = read_state(workspace / REPORT_RECORD) if is_workspace(workspace) else {}
    findings = [f for f in last.get("findings") or [] if isinstance(f, dict)]
    level = last.get("level") if last.get("level") in LEVELS else None
    commits = last.get("commits") if isinstance(last.get("commits"), int) else None
    page = workspace / "report.html"
    return {
        "name": member.name,
        "source": redacted(member.url) if member.url else str(member.path),
        "status": outcome["status"],
        "cause": outcome.get("cause") or None,
        "seconds": outcome.get("seconds"),
        "attempts": outcome.get("attempts"),
        # A member that failed this time keeps the level of its last completed run, said as such.
        "level": level,
        "level_from_earlier_run": outcome["status"] in _UNFINISHED and level is not None,
        "commits": commits,
        "concerns": sum(1 for f in findings if f.get("concern")),
        "findings": [clean(f.get("text")) for f in findings[:TOP_FINDINGS]],
        # What the run warned of (a shallow or partial clone, files it could not read), its first few.
        "warnings": [clean(w) for w in last.get("warnings") or [] if isinstance(w, str)][:TOP_FINDINGS],
        "page": f"{member.name}/report.html" if page.is_file() else None,
    }


def _attention(r: dict) -> tuple:
    unfinished = r["status"] in _UNFINISHED
    rank = LEVELS.index(r["level"]) if r["level"] in LEVELS else -1
    return (not unfinished, -rank, -r["concerns"], r["name"])


def record(fleet: Fleet, rows: list[dict], community: list[dict], pooled: dict, executor: str,
           seconds: tuple[float, float], warnings: list[str]) -> dict:
    """The report's record; `seconds` is (until every job ended, in all)."""
    rows = sorted(rows, key=_attention)
    counts = {status: sum(1 for r in rows if r["status"] == status)
              for status in ("analysed", "incomplete", *_UNFINISHED)}
    return {
        "schema_version": SCHEMA_VERSION,
        "varnel_version": __version__,
        "fleet": str(fleet.source),
        "finished_at": datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "executor": executor,
        "jobs_seconds": round(seconds[0], 1),
        "seconds": round(seconds[1], 1),
        "repositories": len(rows),
        "counts": counts,
        "levels": {level: sum(1 for r in rows if r["level"] == level) for level in LEVELS},
        "rows": rows,
        "community_patterns": [{key: p[key] for key in ("fingerprint", "sources", "metrics", "description_statistical",
                                                        "repo_count", "occurrence_count")} for p in community],
        "min_repos": fleet.min_repos,
        "track_record": pooled,
        "warnings": warnings,
    }


def _level_text(r: dict) -> str:
    if r["level"] is None:
        return "-"
    return r["level"] + (" (earlier run)" if r["level_from_earlier_run"] else "")


def _pattern_words(pattern: dict) -> str:
    """A community pattern in words: its description (as one repository stated it), else its metrics."""
    return (pattern["description_statistical"] or ", ".join(pattern["metrics"])).rstrip(".")


def _commits(r: dict) -> str:
    return "-" if r["commits"] is None else f"{r['commits']:,}"


def _pooled_lines(pooled: dict) -> list[str]:
    """The pooled track record in words, by the rules a member's report uses."""
    ranking = pooled.get("ranking") or {}
    lines = []
    if measured(ranking):
        lines.append(f"Across {ranking['repositories']:,} repositories of this fleet, commits in the risk ranking's "
                     f"top {TOP_SHARE:.0%} were later blamed for bugs {ranking['lift']:.1f} times as often as the "
                     f"average commit ({ranking['hits']:,} of {ranking['top']:,}, against {ranking['base_rate']:.1%}).")
    strong = sorted((r for r in pooled.get("rules", []) if telling(r) and r["threshold"] == _THRESHOLD
                     and r["metric"] != "any"), key=lambda r: -r["lift"])[:5]
    lines += [f"Commits flagged for {r['metric']} {r['direction']} at {_THRESHOLD:g}: later blamed for bugs "
              f"{r['lift']:.1f} times as often as the average commit ({r['hits']:,} of {r['flagged']:,}, "
              f"{r['repositories']:,} repositories)." for r in strong]
    return lines or [f"Too little measured history yet to pool a track record ({pooled.get('repositories', 0)} "
                     "repositories read)."]


def markdown(report: dict) -> str:
    counts = report["counts"]
    unfinished = sum(counts[s] for s in _UNFINISHED)
    lines = ["# varnel fleet report", "",
             f"{report['repositories']:,} repositories, {report['executor']}, {report['seconds']:,.1f} s, finished "
             f"{report['finished_at']}: {counts['analysed'] + counts['incomplete']:,} analysed"
             + (f" ({counts['incomplete']:,} without a family)" if counts["incomplete"] else "")
             + (f", {unfinished:,} not" if unfinished else "") + ".", "",
             "| repository | status | level | commits | top findings | page |",
             "|---|---|---|---:|---|---|"]
    for r in report["rows"]:
        status = r["status"] + (f": {r['cause']}" if r["cause"] else "") \
            + (f" (warned: {'; '.join(r['warnings'])})" if r["warnings"] else "")
        # One finding a line within the cell.
        found = "<br>".join(map(inert, r["findings"])) or ("-" if r["level"] is None else "nothing far from normal")
        page = f"[page]({r['page']})" if r["page"] else "-"
        lines.append(f"| {inert(r['name'])} | {inert(status)} | {_level_text(r)} | {_commits(r)} | {found} "
                     f"| {page} |")
    lines += ["", f"## Community patterns (shown by at least {report['min_repos']} repositories)", ""]
    if report["community_patterns"]:
        for p in report["community_patterns"]:
            lines.append(f"- {inert(_pattern_words(p))}: {p['repo_count']} repositories, "
                         f"{p['occurrence_count']:,} occurrences (`{p['fingerprint']}`)")
    else:
        lines.append("None yet.")
    lines += ["", "## Pooled track record", "", *_pooled_lines(report["track_record"])]
    if report["warnings"]:
        lines += ["", "## Warnings", "", *[f"- {inert(w)}" for w in report["warnings"]]]
    return "\n".join(lines) + "\n"


def page(report: dict) -> str:
    """The report as one self-contained HTML page."""
    h = html.escape
    rows = []
    for r in report["rows"]:
        name = h(r["name"])
        link = f'<a href="{h(r["page"])}">{name}</a>' if r["page"] else name
        found = "".join(f"<li>{h(f)}</li>" for f in r["findings"])
        rows.append(f'<tr class="{h(r["status"])}"><td>{link}</td><td>{h(r["status"])}'
                    + (f'<div class="cause">{h(r["cause"])}</div>' if r["cause"] else "")
                    + "".join(f'<div class="warned">warned: {h(w)}</div>' for w in r["warnings"])
                    + f"</td><td>{h(_level_text(r))}</td><td>{_commits(r)}</td><td><ul>{found}</ul></td></tr>")
    patterns = "".join(f"<li>{h(_pattern_words(p))}: {p['repo_count']} "
                       f"repositories, {p['occurrence_count']:,} occurrences</li>"
                       for p in report["community_patterns"]) or "<li>None yet.</li>"
    pooled = "".join(f"<p>{h(line)}</p>" for line in _pooled_lines(report["track_record"]))
    warnings = "".join(f"<li>{h(w)}</li>" for w in report["warnings"])
    warnings = f"<h2>Warnings</h2><ul>{warnings}</ul>" if warnings else ""
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>varnel fleet report</title>
<style>body{{font-family:system-ui,sans-serif;margin:2rem;max-width:80rem}}table{{border-collapse:collapse;width:100%}}
td,th{{border-bottom:1px solid #ddd;padding:.4rem;text-align:left;vertical-align:top}}
tr.failed,tr.timeout,tr.lost{{background:#fdecea}}ul{{margin:0;padding-left:1.2rem}}
.cause{{color:#8a1c1c;font-size:.9em}}.warned{{color:#7a5b00;font-size:.9em}}</style>
</head><body><h1>varnel fleet report</h1>
<p>{report['repositories']:,} repositories, {h(report['executor'])}, {report['seconds']:,.1f} s,
finished {h(report['finished_at'])}.</p>
<table><thead><tr><th>repository</th><th>status</th><th>level</th><th>commits</th><th>top findings</th></tr></thead>
<tbody>{''.join(rows)}</tbody></table>
<h2>Community patterns (shown by at least {report['min_repos']} repositories)</h2><ul>{patterns}</ul>
<h2>Pooled track record</h2>{pooled}{warnings}
</body></html>
"""


def write(directory: Path, report: dict) -> None:
    for name, text in zip(REPORT_FILES, (json.dumps(report, indent=2) + "\n", markdown(report), page(report))):
        write_text_atomic(directory / name, text)


def read(directory: Path) -> dict | None:
    found = read_state(directory / REPORT_FILES[0])
    return found if found.get("schema_version") == SCHEMA_VERSION else None
