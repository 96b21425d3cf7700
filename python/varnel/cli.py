"""The `varnel` command: it parses arguments, runs the analysis and prints.

Exit statuses are those of `varnel.errors`, for every command; where two
apply the higher wins, except 130.
"""

from __future__ import annotations

import argparse
import difflib
import getpass
import json
import os
import signal
import sqlite3
import sys
import traceback
from contextlib import contextmanager
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import TYPE_CHECKING

from . import __version__
from .config import Config, load_config, settings_at, settings_file
from .errors import (EXIT_ATTENTION, EXIT_FAILED, EXIT_INCOMPLETE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, Failure,
                     Refused)
from .files import write_text_atomic
from .git import CollectError, top_level
from .ingest import KINDS
from .progress import Progress
from .report.levels import FORMATS, LEVELS
from .run import memo
from .run.commit_range import CommitRange, commit_range, split_range
from .run.stage import Interrupted
from .run.window import Window
from .workspace import locked, workspace_for

if TYPE_CHECKING:
    from .run.analysis import Analysis

# The engines and the report's renderers are loaded by the commands that use
# them: a run with nothing new prints its recorded report without them.


def _repository(args: argparse.Namespace) -> Path:
    """The top level of the repository the command is about; nothing is created."""
    path = Path(args.path_option or args.path or ".")
    if not path.exists():
        raise Refused(f"no such directory: {path}", EXIT_USAGE)
    try:
        return top_level(path.resolve())
    except CollectError as e:
        raise Refused(f"{path}: not a git repository ({e})", EXIT_FAILED) from None


def _workspace(args: argparse.Namespace, repo: Path, create: bool) -> Path:
    return workspace_for(repo, args.workspace, create)


@contextmanager
def _hold(args: argparse.Namespace, workspace: Path):
    """The workspace to this command alone while it writes there."""
    if not workspace.is_dir():
        yield  # nothing there yet for another command to be writing
        return
    with locked(workspace, wait=not args.no_wait, waiting=lambda m: print(f"varnel: {m}", file=sys.stderr)):
        yield


def _settings(args: argparse.Namespace, repo: Path) -> Config:
    """The settings of this run: --settings FILE, --settings-from REV, else the repository's own."""
    if getattr(args, "settings", None):
        return settings_file(Path(args.settings))
    if getattr(args, "settings_from", None):
        return settings_at(repo, args.settings_from)
    return load_config(repo)


def _window(args: argparse.Namespace, config: Config, repo: Path) -> Window:
    return Window(days=config.scope_days, since=args.since, last_commits=args.last, everything=args.all,
                  range=_range(args, repo))


def _range(args: argparse.Namespace, repo: Path) -> CommitRange | None:
    """The commits of --range BASE..HEAD or --since-commit REV, when asked for."""
    if args.range is not None:
        return commit_range(repo, "--range", *split_range("--range", args.range))
    if args.since_commit is not None:
        return commit_range(repo, "--since-commit", args.since_commit, "HEAD", since=args.since_commit)
    return None


def _analysis(args: argparse.Namespace, repo: Path, config: Config, workspace: Path, window: Window,
              progress: Progress, verifying: bool = False) -> Analysis:
    """The analysis the command asks for; when `verifying`, compared with
    --against FILE or the latest kept advisory, if there is one."""
    from .run.analysis import analyze, kept_advisories, verify

    against = None
    if verifying and args.against:
        against = Path(args.against)
        if not against.is_file():
            raise Refused(f"--against: no such file: {against}", EXIT_USAGE)
        problem = _advisory_problem(against)
        if problem:
            raise Refused(f"--against: {against}: not an advisory file ({problem})", EXIT_USAGE)
    elif verifying:
        for kept in kept_advisories(workspace):
            problem = _advisory_problem(kept)
            if not problem:
                against = kept
                break
            print(f"varnel: warning: the kept advisory {kept} is damaged ({problem}); compared with an earlier one",
                  file=sys.stderr)
    try:
        if against is None:
            return analyze(repo, workspace, progress, config, window)
        return verify(repo, workspace, progress, config, against, window)
    except CollectError as e:
        raise Refused(f"cannot read the history of {repo}: {e}", EXIT_FAILED) from None


def _advisory_problem(path: Path) -> str | None:
    """Why a file holds no advisory record, checked before any work; None when it does."""
    try:
        record = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, ValueError, RecursionError) as e:
        return str(e) or type(e).__name__
    if not isinstance(record, dict):
        return f"a JSON {type(record).__name__}, not an object"
    return None


def _write(option: str, target: Path, content: str) -> None:
    """The file an option names, written whole."""
    if not target.parent.is_dir():
        raise Refused(f"{option}: no such directory: {target.parent}", EXIT_USAGE)
    try:
        if target.is_symlink() or (target.exists() and not target.is_file()):
            # A device, a pipe or a link is written through: replacing it would put a file in its place.
            with open(target, "w", encoding="utf-8") as out:
                out.write(content)
        else:
            write_text_atomic(target, content)
    except OSError as e:
        raise Refused(f"{option}: cannot write {target}: {e.strerror}", EXIT_USAGE) from None


def _emit(args: argparse.Namespace, report: str) -> None:
    if not args.output:
        sys.stdout.write(report)
        return
    _write("--output", Path(args.output), report)


def _summary_file(args: argparse.Namespace) -> Path | None:
    """The job summary `--github` appends to; refused before any work outside a GitHub Actions step."""
    if not args.github:
        return None
    named = os.environ.get("GITHUB_STEP_SUMMARY")
    if not named:
        raise Refused("--github: GITHUB_STEP_SUMMARY is not set (it is, in a step of a GitHub Actions job)",
                      EXIT_USAGE)
    return Path(named)


def _channels(args: argparse.Namespace, result: Analysis) -> None:
    """The CI channels asked for (--sarif, --codequality, --github), each from this run's report record."""
    if not (args.sarif or args.codequality or args.github):
        return
    from .report.codequality import codequality
    from .report.github import annotations, append_summary
    from .report.locations import files_of
    from .report.render import markdown_report, report_record
    from .report.sarif import sarif

    record = report_record(result)
    paths = files_of(record["findings"], result.repo, result.events, result.config)
    if args.sarif:
        _write("--sarif", Path(args.sarif), sarif(record, paths, result.quiet))
    if args.codequality:
        _write("--codequality", Path(args.codequality), codequality(record, paths, result.quiet))
    if args.github:
        summary = _summary_file(args)
        try:
            append_summary(summary, markdown_report(result, limit=None))
        except OSError as e:
            raise Refused(f"--github: cannot write the job summary {summary}: {e.strerror}", EXIT_USAGE) from None
        # Standard output of --format json stays one document; the runner reads both streams.
        stream = sys.stderr if args.format == "json" and not args.output else sys.stdout
        for line in annotations(record, paths, result.quiet):
            print(line, file=stream)


def _status(complete: bool, attention: bool) -> int:
    return EXIT_INCOMPLETE if not complete else EXIT_ATTENTION if attention else EXIT_OK


def _met(args: argparse.Namespace, found: str) -> bool:
    """Whether the level `found` meets --fail-on."""
    return bool(args.fail_on) and LEVELS.index(found) >= LEVELS.index(args.fail_on)


@contextmanager
def _published():
    """After the run has put its results in place, an interrupt says so."""
    try:
        yield
    except KeyboardInterrupt:
        raise Interrupted("this run's results") from None


def _page(option: str, workspace: Path, target: Path, record: dict | None = None) -> None:
    """The HTML page of the workspace's last analysis (whose report record is `record`, when this
    run made it), written to `target`."""
    try:
        from .report.page import page
    except ImportError as e:  # the charts' library is an optional extra
        raise Refused(f"{option}: the HTML page needs the report extra: pip install 'varnel[report]' ({e})",
                      EXIT_USAGE) from None
    _write(option, target, page(workspace, record))


def _run_subject(args: argparse.Namespace) -> tuple[Path, Config, Path]:
    """The repository, settings and workspace (created when missing) of an analysis."""
    repo = _repository(args)
    return repo, _settings(args, repo), _workspace(args, repo, create=True)


def _cmd_analyze(args: argparse.Namespace) -> int:
    _summary_file(args)
    repo, config, workspace = _run_subject(args)
    with _hold(args, workspace):
        window = _window(args, config, repo)
        # The CI channels are made from the run itself, so they run it and it keeps no record.
        recordable = not (args.sarif or args.codequality or args.github)
        progress = Progress(quiet=args.quiet)
        recalled = None
        if recordable and not args.fresh:
            recalled = memo.recall(workspace, memo.seen(repo, workspace, config, window, args.format))
        if recalled is not None:
            return _recall(args, workspace, recalled, progress)
        memo.forget(workspace)
        from .report.render import RENDERERS, level, report_record

        result = _analysis(args, repo, config, workspace, window, progress)
        report, found = RENDERERS[args.format](result), level(result)
        with _published():
            _emit(args, report)
            _channels(args, result)
            if args.html:
                _page("--html", result.workspace, Path(args.html), report_record(result))
        if recordable:
            memo.record(workspace, memo.seen(repo, workspace, config, window, args.format), report, found,
                        result.complete, progress.warned, result.events.timed())
    return _status(result.complete, _met(args, found))


def _recall(args: argparse.Namespace, workspace: Path, recalled: memo.Recalled, progress: Progress) -> int:
    """The report of the last run, which saw everything as it is now, with its warnings."""
    if not args.quiet:
        print(f"varnel: nothing new since the run of {recalled.at}: its report follows "
              "(--fresh runs every phase again)", file=sys.stderr)
    for warning in recalled.warnings:
        progress.warn(warning)
    _emit(args, recalled.report)
    if args.html:
        _page("--html", workspace, Path(args.html))
    return _status(recalled.complete, _met(args, recalled.level))


def _cmd_report(args: argparse.Namespace) -> int:
    """The last analysis as an HTML page, drawn from the workspace without running anything again."""
    workspace = _workspace(args, _repository(args), create=False)
    target = Path(args.output) if args.output else workspace / "report.html"
    _page("--output", workspace, target)
    print(f"varnel: the page of the last analysis is {target}", file=sys.stderr)
    if args.open:
        import webbrowser

        webbrowser.open(target.resolve().as_uri())
    return EXIT_OK


def _cmd_verify(args: argparse.Namespace) -> int:
    """A fresh analysis compared with the latest kept advisory (or --against FILE)."""
    _summary_file(args)
    from .report.render import RENDERERS, level, report_record

    repo, config, workspace = _run_subject(args)
    with _hold(args, workspace):
        memo.forget(workspace)
        result = _analysis(args, repo, config, workspace, _window(args, config, repo), Progress(quiet=args.quiet),
                           verifying=True)
    with _published():
        _emit(args, RENDERERS[args.format](result))
        if result.previous is None:  # standard output of --format json stays one document
            print("Nothing to verify against yet: this was the first analysis. Run 'varnel verify' again after a fix.",
                  file=sys.stderr if args.format == "json" else sys.stdout)
        _channels(args, result)
        if args.html:
            _page("--html", result.workspace, Path(args.html), report_record(result))
    verification = (result.verification or {}).get("verification") or {}
    worse = bool(verification.get("new") or verification.get("regressions"))
    return _status(result.complete, worse and _met(args, level(result)))


def _metric(text: str) -> tuple[str, str]:
    """FAMILY/METRIC as varnel knows them; a wrong one is refused with the closest known."""
    from . import advstage, sigstage

    known = sigstage.FAMILY_METRICS
    keys = [f"{family}/{metric}" for family, metrics in known.items() for metric in metrics]
    family, _, metric = text.partition("/")
    if text in keys:
        return family, metric
    by_label = {f"{advstage.FAMILY_LABELS.get(f, f)}/{advstage.METRIC_LABELS.get(m, m)}".lower(): f"{f}/{m}"
                for f, m in (k.split("/") for k in keys)}
    suggestion = by_label.get(text.lower()) or next(iter(difflib.get_close_matches(text, keys, n=1)), None)
    hint = f"; did you mean {suggestion}?" if suggestion else f"; known: {', '.join(keys)}"
    raise argparse.ArgumentTypeError(f"not a metric varnel knows: {text!r}{hint}")


def _accepted(args: argparse.Namespace, create: bool):
    from .accepted import AcceptedDeviations

    workspace = _workspace(args, _repository(args), create)
    return AcceptedDeviations(workspace)


def _cmd_accept(args: argparse.Namespace) -> int:
    family, metric = args.metric
    expires = datetime.now(timezone.utc) + timedelta(days=args.days) if args.days else None
    store = _accepted(args, create=True)
    with _hold(args, store.varnel_dir):
        entry = store.accept(family, metric, args.reason, args.by or getpass.getuser(), expires_at=expires,
                             from_commit=args.from_commit)
    until = f" until {entry['expires_at']}" if entry.get("expires_at") else ""
    print(f"Accepted {family}/{metric}{until}: it will no longer be reported.")
    return EXIT_OK


def _cmd_accepted(args: argparse.Namespace) -> int:
    store = _accepted(args, create=False)
    if args.revoke:
        family, metric = args.revoke
        with _hold(args, store.varnel_dir):
            revoked = store.revoke(family, metric)
        if not revoked:
            raise Refused(f"{family}/{metric} was not accepted", EXIT_USAGE)
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


def _cmd_patterns(args: argparse.Namespace) -> int:
    from . import lorekeep
    from .run.stage import knowledge_failure

    workspace = _workspace(args, _repository(args), create=False)
    database = workspace / "phase4" / "knowledge.db"
    if not database.exists():
        print("No patterns learned yet: run 'varnel analyze' first, with some history.")
        return EXIT_OK
    with _hold(args, workspace):  # opening the knowledge base may write to it
        try:
            store = lorekeep.SQLiteKnowledgeStore(database)
            try:
                knowledge = store.list_knowledge()
                patterns = store.list_patterns()
            finally:
                store.close()
        except sqlite3.Error as e:
            raise knowledge_failure(database, e) from None
    from .report.patterns import record, view

    print(json.dumps(record(knowledge, patterns), indent=2) if args.format == "json" else view(knowledge, patterns))
    return EXIT_OK


def _cmd_eval(args: argparse.Namespace) -> int:
    """The repository's own track record of what varnel flags, kept as eval.json."""
    from .worth.assess import assess
    from .report.track_record import table
    from .run.events import EventIndex
    from .worth.track_record import signal_files

    repo = _repository(args)
    workspace = _workspace(args, repo, create=False)
    if not (workspace / "phase2" / "git_signals.json").is_file():
        raise Refused(f"no judged commits in {workspace} yet: run 'varnel analyze' first", EXIT_USAGE)
    config = _settings(args, repo)
    with _hold(args, workspace):
        record = assess(repo, workspace, config, signal_files(workspace / "phase2"), EventIndex.read(workspace),
                        args.days).record
    print(json.dumps(record, indent=2) if args.format == "json" else table(record, config.significance_threshold),
          end="\n" * (args.format == "json"))
    return EXIT_OK


def _cmd_ingest(args: argparse.Namespace) -> int:
    """Reports of CI tools become events beside the repository's own."""
    from .ingest import ingest

    repo = _repository(args)
    workspace = _workspace(args, repo, create=True)
    try:
        with _hold(args, workspace):
            result = ingest(args.kind, args.files, workspace, repo=repo, commit=args.commit, at=args.at)
    except (CollectError, OSError) as e:
        raise Refused(f"ingesting failed: {e}", EXIT_FAILED) from None
    if not args.quiet:
        for item in result.written:
            print(f"{item.line} \u2192 {item.path}")
        if result.skipped:
            print(f"{args.kind}: {result.skipped} run{'s' * (result.skipped != 1)} not completed yet, passed over")
    return EXIT_OK


def _fleet_directory(args: argparse.Namespace) -> Path:
    """--dir, else the directory beside the fleet file named after it (fleet.toml: fleet.varnel)."""
    fleet = Path(args.fleet)
    return Path(args.dir) if args.dir else fleet.resolve().parent / f"{fleet.stem}.varnel"


def _cmd_fleet_run(args: argparse.Namespace) -> int:
    """Every repository of a fleet file analysed, then what they share, then the fleet report."""
    from .fleet.members import read_fleet
    from .fleet.report import markdown
    from .fleet.run import run_fleet

    fleet = read_fleet(Path(args.fleet))
    directory = _fleet_directory(args)
    try:
        fleet_report = run_fleet(fleet, directory, args.scheduler, args.quiet)
    except OSError as e:
        raise Refused(f"the fleet directory {directory} cannot be written: {e.strerror or e}", EXIT_FAILED) from None
    print(json.dumps(fleet_report, indent=2) if args.format == "json" else markdown(fleet_report), end="")
    if not args.quiet:
        print(f"varnel: the fleet report is in {directory} (report.md, report.json, report.html)", file=sys.stderr)
    # The level each row shows: a member that failed this time keeps its last completed run's.
    met = args.fail_on and any(r["level"] and LEVELS.index(r["level"]) >= LEVELS.index(args.fail_on)
                               for r in fleet_report["rows"])
    return EXIT_ATTENTION if met else EXIT_OK


def _cmd_fleet_status(args: argparse.Namespace) -> int:
    """The last fleet run's report, as it was written."""
    from .fleet.report import markdown, read

    directory = _fleet_directory(args)
    fleet_report = read(directory)
    if fleet_report is None:
        raise Refused(f"no fleet report in {directory} yet: run 'varnel fleet run {args.fleet}' first", EXIT_USAGE)
    print(json.dumps(fleet_report, indent=2) if args.format == "json" else markdown(fleet_report), end="")
    return EXIT_OK


def _date(text: str) -> datetime:
    try:
        return datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date: {text!r} (expected YYYY-MM-DD)") from None


def _positive(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return int(text)


def _parents() -> dict[str, argparse.ArgumentParser]:
    """Options shared by several commands, one parser each."""
    where = argparse.ArgumentParser(add_help=False)
    where.add_argument("--path", dest="path_option", metavar="PATH", help="the repository (as the PATH argument)")
    where.add_argument("--workspace", help="where varnel keeps its files (default PATH/.varnel)")
    where.add_argument("--no-wait", action="store_true",
                       help="fail at once, instead of waiting, while another varnel command uses the workspace")

    run = argparse.ArgumentParser(add_help=False)
    run.add_argument("--format", choices=FORMATS, default="text")
    run.add_argument("--output", help="write the report to this file instead of standard output")
    run.add_argument("--quiet", action="store_true", help="no progress on standard error")
    run.add_argument("--html", metavar="FILE", help="also write the report as one self-contained HTML page with charts")
    run.add_argument("--fail-on", choices=LEVELS[1:], metavar="LEVEL",
                     help="exit with 1 when the advisory is at this level or above: watch, review or action_needed")
    run.add_argument("--sarif", metavar="FILE", help="also write the findings as SARIF 2.1.0, for code scanning")
    run.add_argument("--codequality", metavar="FILE", help="also write the findings as a GitLab code-quality report")
    run.add_argument("--github", action="store_true",
                     help="in a GitHub Actions step: append the report to the job summary and annotate the "
                          "findings' files")
    recent = run.add_mutually_exclusive_group()
    recent.add_argument("--since", type=_date, help="the advisory covers events from this date on (YYYY-MM-DD)")
    recent.add_argument("--last", type=_positive, metavar="N", help="the advisory covers the last N commits")
    recent.add_argument("--all", action="store_true", help="the advisory covers the whole history")
    recent.add_argument("--range", metavar="BASE..HEAD",
                        help="the advisory covers the commits a pull request adds (git rev-list BASE..HEAD) "
                             "and the events that came with them")
    recent.add_argument("--since-commit", metavar="REV", help="the advisory covers the commits since REV (REV..HEAD)")
    chosen = run.add_mutually_exclusive_group()
    chosen.add_argument("--settings", metavar="FILE",
                        help="read the settings from this file instead of the repository's own")
    chosen.add_argument("--settings-from", metavar="REV",
                        help="read the repository's settings as committed at REV (for a gate: the base branch)")
    return {"where": where, "run": run}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="varnel",
        description="Learns each repository metric's own normal and reports drift in plain language.",
    )
    parser.add_argument("--version", action="version", version=f"varnel {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    shared = _parents()
    path_help = "a git repository or a directory inside one (default: here)"

    analyze_cmd = commands.add_parser("analyze", parents=[shared["where"], shared["run"]],
                                      help="collect the history and write the advisory")
    analyze_cmd.add_argument("path", nargs="?", help=path_help)
    analyze_cmd.add_argument("--fresh", action="store_true",
                             help="run every phase again even when nothing changed since the last run")
    analyze_cmd.set_defaults(run=_cmd_analyze)

    verify_cmd = commands.add_parser("verify", parents=[shared["where"], shared["run"]],
                                     help="analyse again and say what changed since the last advisory")
    verify_cmd.add_argument("path", nargs="?", help=path_help)
    verify_cmd.add_argument("--against", help="an earlier advisory.json to compare with")
    verify_cmd.set_defaults(run=_cmd_verify)

    accept_cmd = commands.add_parser("accept", parents=[shared["where"]], help="stop reporting a deviation that is intended")
    accept_cmd.add_argument("metric", type=_metric, metavar="FAMILY/METRIC")
    accept_cmd.add_argument("path", nargs="?", help=path_help)
    accept_cmd.add_argument("--days", type=_positive, help="accept for N days only")
    accept_cmd.add_argument("--reason", default="", help="why the deviation is fine")
    accept_cmd.add_argument("--by", help="who accepts it (default: the current user)")
    accept_cmd.add_argument("--from-commit", help="hold only from this commit on")
    accept_cmd.set_defaults(run=_cmd_accept)

    accepted_cmd = commands.add_parser("accepted", parents=[shared["where"]],
                                       help="list accepted deviations, or revoke one")
    accepted_cmd.add_argument("path", nargs="?", help=path_help)
    accepted_cmd.add_argument("--revoke", type=_metric, metavar="FAMILY/METRIC")
    accepted_cmd.set_defaults(run=_cmd_accepted)

    ingest_cmd = commands.add_parser("ingest", parents=[shared["where"]],
                                     help="add events from CI reports: tests, coverage, runs, scans, errors")
    ingest_cmd.add_argument("kind", choices=list(KINDS), metavar="KIND", help=f"one of {', '.join(KINDS)}")
    ingest_cmd.add_argument("files", nargs="+", metavar="FILE", help="report files, read together")
    ingest_cmd.add_argument("--commit", help="the commit the reports belong to (default: a CI run's own, else HEAD)")
    ingest_cmd.add_argument("--at", metavar="TIME",
                            help="when the reports were made, ISO 8601, UTC without an offset (default: now)")
    ingest_cmd.add_argument("--quiet", action="store_true", help="print nothing when all went well")
    ingest_cmd.set_defaults(run=_cmd_ingest, path=None)

    eval_cmd = commands.add_parser("eval", parents=[shared["where"]],
                                   help="how often commits flagged like each change were later blamed for bugs, reverted or fixed")
    eval_cmd.add_argument("path", nargs="?", help=path_help)
    eval_cmd.add_argument("--days", type=_positive,
                          help="how long after a commit a fix touching its files counts as its follow-up "
                               "(default: the last one chosen, else 14)")
    eval_cmd.add_argument("--format", choices=["text", "json"], default="text")
    eval_cmd.set_defaults(run=_cmd_eval)

    report_cmd = commands.add_parser("report", parents=[shared["where"]],
                                     help="draw the last analysis as one HTML page with charts (nothing is run again)")
    report_cmd.add_argument("path", nargs="?", help=path_help)
    report_cmd.add_argument("--output", metavar="FILE", help="where to write the page (default WORKSPACE/report.html)")
    report_cmd.add_argument("--open", action="store_true", help="open the page in a browser")
    report_cmd.set_defaults(run=_cmd_report)

    patterns_cmd = commands.add_parser("patterns", parents=[shared["where"]],
                                       help="what varnel has learned about the repository")
    patterns_cmd.add_argument("path", nargs="?", help=path_help)
    patterns_cmd.add_argument("--format", choices=["text", "json"], default="text")
    patterns_cmd.set_defaults(run=_cmd_patterns)

    fleet_cmd = commands.add_parser("fleet", help="analyse many repositories on this machine or a Dask cluster")
    fleet_commands = fleet_cmd.add_subparsers(dest="fleet_command", metavar="COMMAND", required=True)
    fleet_where = argparse.ArgumentParser(add_help=False)
    fleet_where.add_argument("fleet", metavar="FLEET.toml", help="the fleet file: one [[repo]] table per repository")
    fleet_where.add_argument("--dir", help="the fleet directory: a workspace per repository, the fleet's knowledge "
                                           "base and report (default: FLEET.varnel beside the fleet file)")
    fleet_where.add_argument("--format", choices=["markdown", "json"], default="markdown")
    fleet_run = fleet_commands.add_parser("run", parents=[fleet_where],
                                          help="analyse every repository of the fleet and write the fleet report")
    fleet_run.add_argument("--scheduler", metavar="ADDRESS",
                           help="run on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786); "
                                "needs pip install 'varnel[fleet]'")
    fleet_run.add_argument("--fail-on", choices=LEVELS[1:], metavar="LEVEL",
                           help="exit with 1 when a repository's level is at LEVEL or above (a repository that "
                                "failed this time counts with its last completed run's)")
    fleet_run.add_argument("--quiet", action="store_true", help="no progress on standard error")
    fleet_run.set_defaults(run=_cmd_fleet_run)
    fleet_status = fleet_commands.add_parser("status", parents=[fleet_where], help="print the last fleet report")
    fleet_status.set_defaults(run=_cmd_fleet_status)
    return parser


def _terminated(signum, frame):
    raise KeyboardInterrupt  # a CI runner's cancel: clean up as for Ctrl-C


def main(argv: list[str] | None = None) -> int:
    signal.signal(signal.SIGTERM, _terminated)
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_usage()
            return EXIT_OK
        return args.run(args)
    except Failure as e:
        print(f"varnel: {e}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt as e:
        held = f"; the workspace keeps {e.held}" if isinstance(e, Interrupted) else ""
        print(f"varnel: interrupted{held}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except OSError as e:  # the machine's, not a bug: a full disk, a read-only or vanished file
        where = f"{e.filename}: " if e.filename else ""
        print(f"varnel: {where}{e.strerror or e}", file=sys.stderr)
        return EXIT_FAILED
    except Exception:  # a bug: its traceback, and never a status that reads as a finding
        traceback.print_exc()
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
