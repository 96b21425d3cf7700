"""The `varnel` command.

Exit codes: 0 the run finished and nothing needs attention, 1 a `--fail-on`
level was met, 2 the command line or settings file was wrong, 3 the analysis
failed.
"""

from __future__ import annotations

import argparse
import getpass
import importlib
import json
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

from . import ENGINES, __version__
from .collect.gitrun import CollectError
from .config import Config, ConfigError, load_config, settings_at, settings_file
from .ingest import KINDS, ReportError, ingest
from .pipeline import AnalysisResult, Window, analyze, engine, previous_advisory
from .progress import Progress
from .workspace import WorkspaceError, workspace_for

EXIT_OK, EXIT_ATTENTION, EXIT_USAGE, EXIT_FAILED = 0, 1, 2, 3

# Advisory statuses of varnel.friendly.advisory_status, least urgent first.
LEVELS = ("all_clear", "watch", "review", "action_needed")


def _engines_text() -> str:
    lines = [f"varnel {__version__}", "engines:"]
    for name in ENGINES:
        lines.append(f"  {name:<10} {'available' if engine(name) else 'not built yet'}")
    return "\n".join(lines)


def _strongest(result: AnalysisResult, limit: int = 5) -> list[dict]:
    """The explanations of the furthest deviations among the newest events."""
    ranked = sorted(result.explanations, key=lambda e: abs(e["details"]["deviation"].get("measure") or 0.0),
                    reverse=True)
    return [e for e in ranked if abs(e["details"]["deviation"].get("measure") or 0.0) >= 1.5][:limit]


def _report_text(result: AnalysisResult) -> str:
    summary = result.workspace / "phase5" / "summary.txt"
    if result.advisory is not None and summary.exists():
        return summary.read_text(encoding="utf-8").rstrip("\n") + "\n"
    counts = {family: len(s) for family, s in result.signals.items() if s}
    lines = [f"{result.collection.commits} commits analysed; "
             + (", ".join(f"{n} {family} signals" for family, n in counts.items()) or "no signals yet")]
    strongest = _strongest(result)
    if strongest:
        lines.append("Furthest from normal:")
        lines += [f"- {e['summary']}" for e in strongest]
    elif counts:
        lines.append("Nothing is far from its normal.")
    else:
        lines.append("Too little history to judge yet: each metric needs 6 observations.")
    return "\n".join(lines) + "\n"


def _advisory_record(result: AnalysisResult) -> dict | None:
    """The advisory the run wrote, as stored in phase5/advisory.json."""
    path = result.workspace / "phase5" / "advisory.json"
    if result.advisory is None or not path.exists():
        return None
    return json.loads(path.read_text(encoding="utf-8"))


def _report_markdown(result: AnalysisResult) -> str:
    advisory = _advisory_record(result)
    if advisory is None:
        return "# varnel\n\n" + "\n".join(f"    {line}" for line in _report_text(result).splitlines()) + "\n"
    advstage = engine("advstage")
    from .friendly import advisory_status

    period = advisory.get("period") or {}
    lines = [f"# varnel advisory: {advisory_status(advisory).replace('_', ' ')}", "",
             f"Period: {period.get('from', '?')} to {period.get('to', '?')}", ""]
    changes = advisory.get("changes") or []
    if not changes:
        lines.append("Nothing is far from its normal.")
    for change in changes:
        family = advstage.FAMILY_LABELS.get(change.get("family"), change.get("family"))
        metric = advstage.METRIC_LABELS.get(change.get("metric"), change.get("metric"))
        lines.append(f"- **{family} / {metric}**: {change.get('description', '')}")
        commit = change.get("trigger_commit")
        if commit:
            subject = (change.get("commit_message") or "").splitlines()[0:1]
            lines.append(f"  - commit `{commit[:12]}`" + (f": {subject[0]}" if subject else ""))
    return "\n".join(lines) + "\n"


def _report_json(result: AnalysisResult) -> str:
    return json.dumps({
        "commits": result.collection.commits,
        "history_events": {**result.history.events, "deployment": result.releases.releases},
        "signals": {family: len(s) for family, s in result.signals.items()},
        "advisory": _advisory_record(result),
        "strongest": [e["summary"] for e in _strongest(result)],
    }, indent=2)


def _settings(args: argparse.Namespace, repo: Path) -> Config:
    """The settings of this run: --settings FILE, --settings-from REV, else the repository's own."""
    if args.settings:
        return settings_file(Path(args.settings))
    if args.settings_from:
        return settings_at(repo, args.settings_from)
    return load_config(repo)


def _cmd_analyze(args: argparse.Namespace, report: bool = True) -> int:
    repo = Path(args.path).resolve()
    progress = Progress(quiet=args.quiet)
    try:
        config = _settings(args, repo)
        workspace = _workspace_of(args)
    except (ConfigError, WorkspaceError) as e:
        print(f"varnel: {e}", file=sys.stderr)
        return EXIT_USAGE
    window = Window(days=config.scope_days, since=args.since, last_commits=args.last, everything=args.all)
    try:
        result = analyze(repo, workspace, progress, config, window)
    except CollectError as e:
        progress.done()
        print(f"varnel: cannot read the history of {repo}: {e}", file=sys.stderr)
        return EXIT_FAILED
    except (OSError, ValueError, KeyError, TypeError) as e:
        progress.done()
        print(f"varnel: analysis failed: {e}", file=sys.stderr)
        return EXIT_FAILED
    if not report:
        return EXIT_OK
    render = {"json": _report_json, "markdown": _report_markdown}.get(args.format, _report_text)
    text = render(result)
    if args.output:
        Path(args.output).write_text(text, encoding="utf-8")
    else:
        sys.stdout.write(text)
    advisory = _advisory_record(result)
    if args.fail_on and advisory is not None:
        from .friendly import advisory_status

        if LEVELS.index(advisory_status(advisory)) >= LEVELS.index(args.fail_on):
            return EXIT_ATTENTION
    return EXIT_OK


def _date(text: str) -> datetime:
    try:
        return datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date: {text!r} (expected YYYY-MM-DD)") from None


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return int(text)


def _workspace_of(args: argparse.Namespace, create: bool = True) -> Path:
    """The command's workspace, checked so that the repository cannot provide
    it (WorkspaceError otherwise); created only when `create`."""
    return workspace_for(Path(args.path).resolve(), args.workspace, create)


def _cmd_verify(args: argparse.Namespace) -> int:
    """A fresh analysis compared with the previous advisory (or --against FILE)."""
    args.format, args.output = "text", None
    status = _cmd_analyze(args, report=False)
    if status != EXIT_OK:
        return status
    workspace = _workspace_of(args)
    before = Path(args.against) if args.against else previous_advisory(workspace)
    if before is None:
        print("Nothing to verify against yet: this was the first analysis. Run 'varnel verify' again after a fix.")
        return EXIT_OK
    advstage = engine("advstage")
    advstage.Phase5Engine(workspace).verify("varnel-engine", before)
    print((workspace / "phase5" / "verification.txt").read_text(encoding="utf-8").rstrip("\n"))
    return EXIT_OK


def _split_metric(text: str) -> tuple[str, str]:
    family, _, metric = text.partition("/")
    if not family or not metric:
        raise argparse.ArgumentTypeError(f"expected FAMILY/METRIC, for example ci/run_duration, not {text!r}")
    return family, metric


def _accepted(args: argparse.Namespace, create: bool):
    return importlib.import_module("varnel.accepted").AcceptedDeviations(_workspace_of(args, create))


def _cmd_accept(args: argparse.Namespace) -> int:
    family, metric = args.metric
    expires = datetime.now(timezone.utc) + timedelta(days=args.days) if args.days else None
    entry = _accepted(args, create=True).accept(family, metric, args.reason, args.by or getpass.getuser(), expires_at=expires,
                                   from_commit=args.from_commit)
    until = f" until {entry['expires_at']}" if entry.get("expires_at") else ""
    print(f"Accepted {family}/{metric}{until}: it will no longer be reported.")
    return EXIT_OK


def _cmd_accepted(args: argparse.Namespace) -> int:
    store = _accepted(args, create=False)
    if args.revoke:
        family, metric = args.revoke
        if not store.revoke(family, metric):
            print(f"varnel: {family}/{metric} was not accepted", file=sys.stderr)
            return EXIT_USAGE
        print(f"Revoked {family}/{metric}: it will be reported again.")
        return EXIT_OK
    entries = store.entries()
    if not entries:
        print("No accepted deviations.")
    for e in entries:
        until = f", until {e['expires_at']}" if e.get("expires_at") else ""
        print(f"- {e['family']}/{e['metric']}: {e.get('reason') or 'no reason given'} "
              f"(by {e.get('accepted_by')}, {e.get('accepted_at')}{until})")
    return EXIT_OK


def _pattern_lines(entries: list[dict]) -> list[str]:
    from .friendly import friendly_pattern, pattern_risk_assessment

    lines = []
    for entry in entries:
        severity = pattern_risk_assessment(entry)["severity"]
        seen = entry.get("occurrence_count") or entry.get("support_count")
        suffix = f" [{severity}; seen {seen} times]" if seen else f" [{severity}]"
        lines.append(f"- {friendly_pattern(entry)}{suffix}")
    return lines


def _cmd_patterns(args: argparse.Namespace) -> int:
    database = _workspace_of(args, create=False) / "phase4" / "knowledge.db"
    if not database.exists():
        print("No patterns learned yet: run 'varnel analyze' first, with some history.")
        return EXIT_OK
    store = engine("lorekeep").SQLiteKnowledgeStore(database)
    try:
        knowledge = store.list_knowledge()
        patterns = store.list_patterns()
    finally:
        store.close()
    if args.format == "json":
        print(json.dumps({"knowledge": knowledge, "patterns": patterns}, indent=2))
        return EXIT_OK
    lines = [f"Known patterns ({len(knowledge)}):"] + (_pattern_lines(knowledge) or ["- none yet"])
    lines += ["", f"Patterns still being confirmed ({len(patterns)}):"] + (_pattern_lines(patterns) or ["- none"])
    print("\n".join(lines))
    return EXIT_OK


def _cmd_ingest(args: argparse.Namespace) -> int:
    """Reports of CI tools become events beside the repository's own."""
    if not Path(args.path).is_dir():
        print(f"varnel: --path: no such directory: {args.path}", file=sys.stderr)
        return EXIT_USAGE
    try:
        result = ingest(args.kind, args.files, _workspace_of(args, create=False), repo=Path(args.path).resolve(),
                        commit=args.commit, at=args.at)
    except ReportError as e:
        print(f"varnel: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (CollectError, OSError) as e:
        print(f"varnel: ingesting failed: {e}", file=sys.stderr)
        return EXIT_FAILED
    if not args.quiet:
        for item in result.written:
            print(f"{item.line} \u2192 {item.path}")
        if result.skipped:
            print(f"{args.kind}: {result.skipped} run{'s' * (result.skipped != 1)} not completed yet, passed over")
    return EXIT_OK


def _settings_options(command: argparse.ArgumentParser) -> None:
    chosen = command.add_mutually_exclusive_group()
    chosen.add_argument("--settings", metavar="FILE",
                        help="read the settings from this file instead of the repository's own")
    chosen.add_argument("--settings-from", metavar="REV",
                        help="read the repository's settings as committed at REV (for a gate: the base branch)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="varnel",
        description="Learns each repository metric's own normal and reports drift in plain language.",
    )
    parser.add_argument("--version", action="version", version=f"varnel {__version__}")
    commands = parser.add_subparsers(dest="command")
    analyze_cmd = commands.add_parser("analyze", help="collect the history and write the advisory")
    analyze_cmd.add_argument("path", nargs="?", default=".", help="a git working tree or bare repository")
    analyze_cmd.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    analyze_cmd.add_argument("--format", choices=["text", "markdown", "json"], default="text")
    analyze_cmd.add_argument("--fail-on", choices=LEVELS[1:], metavar="LEVEL",
                             help="exit with 1 when the advisory is at this level or above: "
                                  "watch, review or action_needed")
    analyze_cmd.add_argument("--output", help="write the report to this file instead of standard output")
    analyze_cmd.add_argument("--quiet", action="store_true", help="no progress on standard error")
    recent = analyze_cmd.add_mutually_exclusive_group()
    recent.add_argument("--since", type=_date, help="the advisory covers events from this date on (YYYY-MM-DD)")
    recent.add_argument("--last", type=_positive, metavar="N", help="the advisory covers the last N commits")
    recent.add_argument("--all", action="store_true", help="the advisory covers the whole history")
    _settings_options(analyze_cmd)
    analyze_cmd.set_defaults(run=_cmd_analyze)

    verify_cmd = commands.add_parser("verify", help="analyse again and say what changed since the last advisory")
    verify_cmd.add_argument("path", nargs="?", default=".", help="the repository (default: here)")
    verify_cmd.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    verify_cmd.add_argument("--against", help="an earlier advisory.json to compare with")
    verify_cmd.add_argument("--quiet", action="store_true", help="no progress on standard error")
    _settings_options(verify_cmd)
    verify_cmd.set_defaults(run=_cmd_verify, since=None, last=None, all=False, fail_on=None)

    accept_cmd = commands.add_parser("accept", help="stop reporting a deviation that is intended")
    accept_cmd.add_argument("metric", type=_split_metric, metavar="FAMILY/METRIC")
    accept_cmd.add_argument("--days", type=_positive, help="accept for N days only")
    accept_cmd.add_argument("--reason", default="", help="why the deviation is fine")
    accept_cmd.add_argument("--by", help="who accepts it (default: the current user)")
    accept_cmd.add_argument("--from-commit", help="hold only from this commit on")
    accept_cmd.add_argument("--path", default=".", help="the repository (default: here)")
    accept_cmd.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    accept_cmd.set_defaults(run=_cmd_accept)

    accepted_cmd = commands.add_parser("accepted", help="list accepted deviations, or revoke one")
    accepted_cmd.add_argument("--revoke", type=_split_metric, metavar="FAMILY/METRIC")
    accepted_cmd.add_argument("--path", default=".", help="the repository (default: here)")
    accepted_cmd.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    accepted_cmd.set_defaults(run=_cmd_accepted)

    ingest_cmd = commands.add_parser("ingest", help="add events from CI reports: tests, coverage, runs, scans, errors")
    ingest_cmd.add_argument("kind", choices=list(KINDS), metavar="KIND", help=f"one of {', '.join(KINDS)}")
    ingest_cmd.add_argument("files", nargs="+", metavar="FILE", help="report files, read together")
    ingest_cmd.add_argument("--commit", help="the commit the reports belong to (default: a CI run's own, else HEAD)")
    ingest_cmd.add_argument("--at", metavar="TIME",
                            help="when the reports were made, ISO 8601, UTC without an offset (default: now)")
    ingest_cmd.add_argument("--path", default=".", help="the repository (default: here)")
    ingest_cmd.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    ingest_cmd.add_argument("--quiet", action="store_true", help="print nothing when all went well")
    ingest_cmd.set_defaults(run=_cmd_ingest)

    patterns_cmd = commands.add_parser("patterns", help="what varnel has learned about the repository")
    patterns_cmd.add_argument("path", nargs="?", default=".", help="the repository (default: here)")
    patterns_cmd.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    patterns_cmd.add_argument("--format", choices=["text", "json"], default="text")
    patterns_cmd.set_defaults(run=_cmd_patterns)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.command is None:
        print(_engines_text())
        return EXIT_OK
    try:
        return args.run(args)
    except WorkspaceError as e:
        print(f"varnel: {e}", file=sys.stderr)
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
