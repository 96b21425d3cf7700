"""The `varnel` command.

Exit codes: 0 the run finished and nothing needs attention, 1 a `--fail-on`
level was met, 2 the command line was wrong, 3 the analysis failed.
"""

from __future__ import annotations

import argparse
import json
import sys
from datetime import datetime
from pathlib import Path

from . import ENGINES, __version__
from .collect.git import CollectError
from .config import ConfigError, load_config
from .pipeline import AnalysisResult, Window, analyze, engine
from .progress import Progress

EXIT_OK, EXIT_ATTENTION, EXIT_USAGE, EXIT_FAILED = 0, 1, 2, 3


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
        return summary.read_text(encoding="utf-8")
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


def _report_json(result: AnalysisResult) -> str:
    return json.dumps({
        "commits": result.collection.commits,
        "signals": {family: len(s) for family, s in result.signals.items()},
        "advisory": result.advisory,
        "strongest": [e["summary"] for e in _strongest(result)],
    }, indent=2)


def _cmd_analyze(args: argparse.Namespace) -> int:
    repo = Path(args.path).resolve()
    workspace = _workspace_of(args)
    progress = Progress(quiet=args.quiet)
    try:
        config = load_config(repo)
    except ConfigError as e:
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
    text = _report_json(result) if args.format == "json" else _report_text(result)
    if args.output:
        Path(args.output).write_text(text, encoding="utf-8")
    else:
        sys.stdout.write(text)
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


def _workspace_of(args: argparse.Namespace) -> Path:
    return Path(args.workspace) if args.workspace else Path(args.path).resolve() / ".varnel"


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
    database = _workspace_of(args) / "phase4" / "knowledge.db"
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
    analyze_cmd.add_argument("--format", choices=["text", "json"], default="text")
    analyze_cmd.add_argument("--output", help="write the report to this file instead of standard output")
    analyze_cmd.add_argument("--quiet", action="store_true", help="no progress on standard error")
    recent = analyze_cmd.add_mutually_exclusive_group()
    recent.add_argument("--since", type=_date, help="the advisory covers events from this date on (YYYY-MM-DD)")
    recent.add_argument("--last", type=_positive, metavar="N", help="the advisory covers the last N commits")
    recent.add_argument("--all", action="store_true", help="the advisory covers the whole history")
    analyze_cmd.set_defaults(run=_cmd_analyze)

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
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
