"""What the `varnel` command prints: one renderer for each of its formats
(text, Markdown, JSON), all built from an analysis result.

Repository text (commit subjects, file names) is escaped for the format it
lands in: in terminal text control characters are replaced, so no escape
sequence reaches a terminal and no line can start a CI workflow command
(``::error::``); in Markdown nothing from the repository becomes a live
@-mention, raw HTML, an image or a link.

``--format json`` writes one object (`SCHEMA_VERSION` 1):

- ``schema_version``, ``varnel_version``, ``scope`` (the repository's name);
- ``level``: the host's level ("all_clear", "watch", "review",
  "action_needed", see `varnel.report.attention`) of what ``findings`` and
  ``second_look`` list, what ``--fail-on`` compares with;
- ``departures``: signals in the window whose earlier values (the ones each
  was judged against) had no spread and whose value lies outside all of them
  (see `varnel.report.findings`), each with ``family``, ``metric``, ``observed``,
  ``baseline_length``, ``event_ref``, ``commit`` and either ``constant`` (every
  earlier value was this one) or ``range`` (their lowest and highest);
- ``findings``: every finding the text report shows, of concern first, each with
  ``family``, ``metric``, ``event_ref``, ``commit``, ``kind`` ("departure";
  "step": a level of the repository's state, pinned on the commit that
  changed it; "change": any other change of the advisory; "mechanical": a
  finding of the dependency, schema or config family on a mechanical
  commit, set apart), ``concern`` (whether it is one to act on) and
  ``commit_kind`` (the kind of its commit, see `varnel.worth.kinds`, for
  those families; else null) and ``text`` (its sentence, as the text report
  words it);
- ``withheld``: the advisory's changes the report does not show, each with
  ``family``, ``metric``, ``event_ref`` and ``reason``: "lagging_level" (the
  largest step to the level came before the window, or no commit moved it
  that way: the commit the engine names did not make it; the text report
  gives a level that stands one line, not a finding),
  "change_of_measure" (what is counted changed in that commit),
  "counted_otherwise" (earlier values were counted from other files) or
  "a reason in the ranking" (the size or spread of a commit, a git
  deviation: the risk ranking weighs it);
- ``second_look``: the window's commits in the risk ranking's top 5% (see
  `varnel.worth.ranking`), riskiest first, each ``{"commit", "risk",
  "reasons"}``: its id, the model's chance (0 to 1) that it is later blamed
  for a bug, and its strongest reasons in words;
- ``status``: the advisory engine's outcome ("complete", "no_signals",
  "no_significant_changes");
- ``complete``: false when a family or phase is missing from the analysis;
- ``window``: ``description``, ``from`` and ``to`` (UTC times of its first
  and last event, or null), ``events`` (how many, null for the whole
  history) and ``range`` (``--range`` or ``--since-commit``: ``{"base",
  "head", "commits"}``, the full ids of BASE and HEAD and how many commits
  the range adds; else null);
- ``settings``: the ``window``, ``min_baseline`` and
  ``significance_threshold`` the metrics were judged with;
- ``commits``, ``history_events`` (events per family read from the
  history), ``signals`` (signals per family);
- ``failures``: ``{"family", "cause"}`` of each family that could not be
  judged; ``warnings``: what collection and the engines warned of;
- ``notes``: what the history read in the window records beside its counts,
  oldest first, each with ``family``, ``event_id``, ``commit``, ``subject``,
  ``observed_at`` and ``kind``: "broken" (the commit left files unreadable
  that its parent could read; ``files``: ``{"file", "cause", "line"}``, line
  null when unknown; the counts are unknown there, not 0) or
  "measure_changed" (the files a count is read from changed: a lock file,
  or a manifest of another format; ``counted_from``: the files it is read
  from now);
- ``advisory``: the advisory engine's record as in ``phase5/advisory.json``,
  or null: what it found, before the host set aside what ``withheld`` lists
  and pinned steps on their commits;
- ``verification`` (``varnel verify`` only): ``resolved``, ``persisting``,
  ``new``, ``regressions`` and ``left_window`` (changes of the earlier
  advisory whose event is no longer in the window: not resolved, only not
  looked at), each a list of ``{"family", "metric"}`` records as the
  comparison gave them, and ``against`` (the earlier advisory's file).
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Callable

from .. import __version__
from .._vocabulary import FAMILY_LABELS, METRIC_LABELS
from ..run.analysis import Analysis
from ..collect.events import utc_text
from ..progress import clean
from ..worth.kinds import DESCRIPTIONS
from ..worth.ranking import TOP_SHARE, measured
from . import attention, findings
from .fit import fit
from .levels import FORMATS
from .series import Judged, sparkline

SCHEMA_VERSION = 1
COMMIT_ID_LENGTH = 12


_MARKDOWN_SPECIAL = re.compile(r"([\\`*_\[\]!|~])")


def markdown(text: object) -> str:
    """Repository text as inert Markdown: HTML characters as entities,
    Markdown punctuation escaped, @-mentions and addresses broken with a
    zero-width space so nothing links, pings or loads."""
    out = clean(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    out = _MARKDOWN_SPECIAL.sub(r"\\\1", out)
    out = out.replace("@", "@\u200b").replace("://", ":\u200b//").replace("www.", "www\u200b.")
    out = re.sub(r"(#|\bGH-)(?=\d)", "\\1\u200b", out)  # no live issue or pull-request references
    return out


def _view(result: Analysis) -> findings.Shown:
    if result.view is None:
        result.view = findings.shown(result)
    return result.view


def _changes(result: Analysis) -> list[dict]:
    """The advisory's changes the report shows, steps pinned on their commit."""
    return _view(result).changes


def _departures(result: Analysis) -> list[findings.Departure]:
    """Departures, of concern first."""
    return sorted(_view(result).departures, key=lambda d: (not attention.departure_concern(d, result.quiet), d.metric))


def _proven(result: Analysis) -> bool:
    return result.worth is not None and result.worth.proven


def level(result: Analysis) -> str:
    """The host's level (see `varnel.report.attention.level`)."""
    view = _view(result)
    return attention.level(_changes(result), _departures(result), view.second_look, _proven(result),
                           view.mechanical, result.quiet)


def _day(text: object) -> str:
    return str(text or "")[:10] or "date unknown"


def _window_line(result: Analysis, escape: Callable[[object], str]) -> str:
    """The window's line; `escape` is for its description, which for
    --since-commit holds the revision as written (a tag's name, say)."""
    window = result.window
    bounds = []
    if window.range is not None:
        bounds.append(f"{window.range.base[:COMMIT_ID_LENGTH]}..{window.range.head[:COMMIT_ID_LENGTH]}")
    if window.start is not None and window.end is not None:
        bounds.append(f"{window.start.date().isoformat()} to {window.end.date().isoformat()}")
    span = f" ({', '.join(bounds)})" if bounds else ""
    count = "" if window.event_ids is None else f", {len(window.event_ids)} event{'s' * (len(window.event_ids) != 1)}"
    if window.event_ids is not None and not window.event_ids:
        return f"Window: {escape(window.description)}{span}: no activity in it."
    return f"Window: {escape(window.description)}{span}{count}"


def labels(change: dict) -> tuple[str, str]:
    """The display labels of a change's family and metric; a name without one is shown as it is."""
    family, metric = change.get("family", ""), change.get("metric", "")
    return FAMILY_LABELS.get(family, family), METRIC_LABELS.get(metric, metric)


def _key(change: dict) -> str:
    """FAMILY/METRIC, as `varnel accept` takes it."""
    return f"{change.get('family')}/{change.get('metric')}"


def _subject(change: dict) -> str:
    return (change.get("commit_message") or "").split("\n", 1)[0]


def _verdict(result: Analysis) -> str:
    nothing = "Nothing else in this window is far from its normal." if _departures(result) else \
        "Nothing in this window is far from its normal."
    if result.advisory is None:
        if result.failures and not any(result.signals.values()):
            return "Nothing could be judged: see the families that failed above."
        if result.status == "no_signals" and not any(result.signals.values()):
            needed = result.config.min_baseline + 1
            return f"Too little history to judge yet: each metric needs {needed} observations."
        return nothing
    changes = _changes(result)
    if not changes and _view(result).withheld:
        return nothing
    if not changes:
        return "All clear: every change in this window was accepted as intended."
    concerns = sum(attention.change_concern(c, result.quiet) for c in changes)
    if not concerns:
        return f"{len(changes)} change{'s' * (len(changes) != 1)} far from normal, none of concern:"
    return f"{concerns} change{'s' * (concerns != 1)} of concern far from normal, strongest first:"


def _evidence(result: Analysis) -> list[str]:
    """One line counting the advisory's evidence, when the report shows one
    of its changes: evidence of changes all withheld backs nothing shown."""
    if not _changes(result):
        return []
    evidence = (result.advisory or {}).get("evidence") or {}
    kinds = (("commits", "commit", "commits"), ("files_affected", "file", "files"),
             ("tests_impacted", "failing test", "failing tests"),
             ("dependencies_changed", "dependency change", "dependency changes"))
    parts = [f"{len(evidence[key])} {one if len(evidence[key]) == 1 else many}" for key, one, many in kinds
             if evidence.get(key)]
    return ["", "Evidence: " + ", ".join(parts) + " (phase5/evidence.json)"] if parts else []


def _problems(result: Analysis) -> list[str]:
    lines = [f"INCOMPLETE: the {f.family} family could not be judged ({f.cause}); "
             "the advisory leaves it out." for f in result.failures]
    return lines


def _comparison(result: Analysis) -> dict | None:
    """The engine's comparison, with the changes that only left the window
    taken out of `resolved`: their events were not looked at, so nothing
    says they were fixed."""
    verification = (result.verification or {}).get("verification")
    if verification is None:
        return None
    before = result.previous_advisory or {}
    ids = result.window.event_ids
    withheld = {(w["family"], w["metric"]) for w in _view(result).withheld}
    # What this run withholds (a change of measure, a lagging level) is no finding of this run.
    out = {name: [c for c in verification.get(name) or [] if name == "resolved"
                  or (c.get("family"), c.get("metric")) not in withheld]
           for name in ("resolved", "persisting", "new", "regressions")}
    out["left_window"] = []
    if ids is not None:
        key = lambda c: (c.get("family"), c.get("metric"))  # noqa: E731
        seen = {key(c) for name in ("persisting", "new", "regressions") for c in out[name]}
        resolved = {key(c): c for c in out["resolved"]}
        # An earlier change whose event this window does not hold was not looked at, whatever the engine says.
        for change in before.get("changes") or []:
            if isinstance(change, dict) and change.get("event_ref") not in ids and key(change) not in seen:
                out["left_window"].append(resolved.pop(key(change), {"family": change.get("family"),
                                                                     "metric": change.get("metric")}))
                seen.add(key(change))
        out["resolved"] = list(resolved.values())
    out["against"] = str(result.previous) if result.previous else None
    return out


VERIFICATION_TITLES = {"resolved": "Resolved", "persisting": "Still there", "new": "New", "regressions": "Came back",
                       "left_window": "Left the window (not resolved, only no longer in the window)"}


def _verification_lines(result: Analysis, quote, code) -> list[str]:
    comparison = _comparison(result)
    if comparison is None:
        return []
    lines = ["", f"Compared with {quote(comparison['against'] or 'the earlier advisory')}:"]
    for name, title in VERIFICATION_TITLES.items():
        entries = comparison[name]
        lines.append(f"- {title}: {len(entries)}")
        lines += [f"  - {' / '.join(labels(c))} ({code(_key(c))})" for c in entries]
    return lines


@dataclass(frozen=True)
class _Style:
    """How one format writes repository text, code, emphasis and sub-items."""

    escape: Callable[[object], str]
    code: Callable[[str], str]
    strong: Callable[[str], str]
    item: str
    list_apart: bool  # Markdown needs an empty line before a list
    charts: bool = False  # each finding with a sparkline of its recent values against their band


_TEXT = _Style(clean, str, str, "   ", False)
_MARKDOWN = _Style(markdown, lambda s: f"`{s}`", lambda s: f"**{s}**", "   - ", True, True)


def _judged(result: Analysis) -> Judged:
    if result.series is None:
        config = result.config
        result.series = Judged(result.workspace, result.events, {
            "window": config.window, "min_baseline": config.min_baseline,
            "significance_threshold": config.significance_threshold}, result.phase2, result.signals)
    return result.series


def _chart_lines(result: Analysis, family: str, metric: str, ref: str, style: _Style) -> list[str]:
    """A finding's recent values as a sparkline, and under each where it lay against its band."""
    if not style.charts:
        return []
    drawn = sparkline(_judged(result).series(family, metric), ref)
    if drawn is None:
        return []
    line, marks = drawn
    indent = " " * len(style.item)
    return [f"{style.item}its last {len(line)} values against their band (\u25b2 above, \u25bc below, \u00b7 inside):",
            f"{indent}```", f"{indent}{line}", f"{indent}{marks}", f"{indent}```"]


def _note_lines(result: Analysis, style: _Style) -> list[str]:
    """A line for each commit that broke a file or changed what is counted."""
    lines = []
    for note in result.notes:
        commit = f"commit {style.code(clean(note['commit'])[:COMMIT_ID_LENGTH])} ({_day(note['observed_at'])})"
        if note["kind"] == "broken":
            for broken in note["files"]:
                lines.append(f"- {commit} left {style.escape(broken['file'])} unreadable: "
                             f"{style.escape(broken['cause'])} (its {note['family']} counts are unknown there, "
                             "not a drop)")
        else:
            lines.append(f"- the {note['family']} count is counted from "
                         f"{style.escape(', '.join(note['counted_from']) or 'nothing')} since {commit}: "
                         "what is counted changed there, so its move is a change of measure, not of the project, "
                         "and later counts are compared only with counts made the same way")
    return ["", "Read from the history:"] + ([""] if style.list_apart else []) + lines if lines else []


_number = findings.number_text


def _departure_line(d: findings.Departure, style: _Style, strong: bool) -> str:
    family, metric = labels({"family": d.family, "metric": d.metric})
    name = style.strong(f"{family} / {metric}") if strong else f"{family} / {metric}"
    where = f" (commit {style.code(clean(d.commit)[:COMMIT_ID_LENGTH])} of {_day(d.observed_at)})" if d.commit else ""
    unit = attention.UNITS.get(d.metric, "")
    if d.constant is not None:
        earlier = f"after {d.length} observations all at {_number(d.constant)}"
    else:
        side = "above" if d.direction == "up" else "below"
        earlier = f"{side} every one of the last {d.length} ({_number(d.low)} to {_number(d.high)})"
    return f"- {name}: {_number(d.observed)} {unit}, {earlier}{where}"


def _departure_lines(result: Analysis, style: _Style) -> list[str]:
    found = [d for d in _departures(result) if attention.departure_concern(d, result.quiet)]
    if not found:
        return []
    lines = ["", "Outside every earlier value (first, because no spread can size them):"]
    return lines + ([""] if style.list_apart else []) + [
        line for d in found
        for line in [_departure_line(d, style, True)] + _chart_lines(result, d.family, d.metric, d.event_ref, style)]


def _still_lines(result: Analysis, style: _Style) -> list[str]:
    """One line for each level the window's commits only kept."""
    lines = []
    for still in _view(result).still:
        family, metric = labels(still)
        unit, step = attention.UNITS.get(still["metric"], ""), still["step"]
        commit = f"commit {style.code(clean(still['commit'])[:COMMIT_ID_LENGTH])} of {_day(still['observed_at'])}"
        if still["steady"]:
            lines.append(f"- {family} / {metric}: still {_number(still['value'])} {unit} since {commit}")
        else:
            moved = f", {_number(step['from'])} to {_number(step['to'])}" if step["from"] is not None else ""
            lines.append(f"- {family} / {metric}: {_number(still['value'])} {unit} now; the largest step "
                         f"to it was {commit}{moved}")
    if not lines:
        return []
    return ["", "Levels whose step came before this window:"] + ([""] if style.list_apart else []) + lines


def _mechanical_lines(result: Analysis, style: _Style) -> list[str]:
    """One line for the findings on mechanical commits."""
    found = _view(result).mechanical
    if not found:
        return []
    parts = [f"{' / '.join(labels(m))} (commit {style.code(clean(m['commit'])[:COMMIT_ID_LENGTH])}, "
             f"{DESCRIPTIONS[m['commit_kind']]})" for m in found]
    return ["", "Set apart as mechanical work, never a concern: " + "; ".join(parts) + "."]


SECOND_LOOK_SHOWN = 10


def _ranking_record(result: Analysis) -> str:
    """What the ranking did here, in words."""
    ranking = result.worth.ranking
    held = ranking.held_out
    share = f"{TOP_SHARE:.0%}"
    pooled = (result.worth.pooled or {}).get("ranking")
    if not result.worth.measured_here and measured(pooled):
        line = (f"This history is too short to measure a ranking on; across {pooled['repositories']:,} repositories "
                f"of this fleet, commits ranked like this were later blamed for bugs {pooled['lift']:.1f} times as "
                f"often as the average commit ({pooled['precision']:.0%} of the {pooled['top']:,} commits in their "
                f"top {share}, against {pooled['base_rate']:.0%}).")
        return line if result.worth.proven else line + " That is less than twice the average, so these commits " \
            "raise no level."
    if held is None:
        return ("There is too little labelled history here to fit or measure a ranking: this one was fitted on "
                "public histories and is not yet measured here, so these commits raise no level.")
    told = (f"{held['precision']:.0%} were later blamed for a bug, {held['lift']:.1f} times the average "
            f"({held['base_rate']:.0%})")
    if ranking.source == "prior":
        line = (f"There is too little labelled history here to fit a ranking of its own: this one was fitted on "
                f"public histories. Of this history's commits in its top {share}, {told}.")
    else:
        line = (f"Of the commits this ranking put in its top {share} among the newest {held['commits']:,} it was "
                f"not fitted on, {told}.")
    return line if ranking.proven else line + " That is less than twice the average, so these commits raise no level."


def _second_look_lines(result: Analysis, style: _Style) -> list[str]:
    """The window's riskiest commits by the ranking learned from this history."""
    looks = _view(result).second_look
    if not looks:
        return []
    commits = result.worth.commits
    fitted = "its own history" if result.worth.ranking.source == "here" else "public histories"
    lines = ["", f"Worth a second look (this repository's riskiest {TOP_SHARE:.0%} of commits by a model fitted on "
                 f"{fitted}, mechanical work left out):"] + ([""] if style.list_apart else [])
    for look in looks[:SECOND_LOOK_SHOWN]:
        c = commits[look["commit"]]
        day = _day(utc_text(datetime.fromtimestamp(c.time, timezone.utc)))
        lines.append(f"- commit {style.code(clean(c.sha)[:COMMIT_ID_LENGTH])} of {day}: {style.escape(c.subject)}")
        lines.append(f"{style.item}{style.escape('; '.join(look['reasons']) or 'its features together')}")
    if len(looks) > SECOND_LOOK_SHOWN:
        lines.append(f"- and {len(looks) - SECOND_LOOK_SHOWN:,} more (--format json lists every one)")
    return lines + ["", _ranking_record(result)]


def _other_line(change: dict, style: _Style) -> str:
    family, metric = labels(change)
    commit = change.get("trigger_commit")
    subject = f": {style.escape(_subject(change))}" if _subject(change) else ""
    where = f"commit {style.code(clean(commit)[:COMMIT_ID_LENGTH])} of {_day(change.get('observed_at'))}{subject}; " \
        if commit else ""
    return f"- {family} / {metric}: {style.escape(change.get('description'))} ({where}{style.code(_key(change))})"


def _body(result: Analysis, style: _Style) -> list[str]:
    """The changes, the evidence and the comparison, in `style`."""
    lines = _departure_lines(result, style) + ["", _verdict(result)] + ([""] if style.list_apart else [])
    record = result.worth.record if result.worth is not None else None
    changes = _changes(result)
    concerns = [c for c in changes if attention.change_concern(c, result.quiet)]
    others = [c for c in changes if c not in concerns]
    for n, change in enumerate(concerns, 1):
        family, metric = labels(change)
        description = change.get("description")
        lines.append(f"{n}. {style.strong(f'{family} / {metric}')}: {style.escape(description)}")
        commit = change.get("trigger_commit")
        if commit:
            lines.append(f"{style.item}commit {style.code(clean(commit)[:COMMIT_ID_LENGTH])}, "
                         f"{_day(change.get('observed_at'))}: {style.escape(_subject(change))}")
        unit = attention.UNITS.get(change.get("metric", ""), "")
        history = attention.track_record(record, change.get("family", ""), change.get("metric", ""),
                                         attention.direction(change), result.config.significance_threshold,
                                         result.worth.pooled if result.worth is not None else None)
        now = change["step"]["now"] if "step" in change else change.get("current")
        lines.append(f"{style.item}now {_number(now)} {unit}"
                     + (f"; {style.escape(history)}" if history else ""))
        lines.append(f"{style.item}intended? {style.code(f'varnel accept {_key(change)}')}")
        lines += _chart_lines(result, change.get("family", ""), change.get("metric", ""), change.get("event_ref", ""),
                              style)
    calm = [d for d in _departures(result) if not attention.departure_concern(d, result.quiet)]
    if others or calm:
        if concerns or not changes:
            lines += ["", "Other movements, in which nothing to act on was found:"]
            lines += [""] if style.list_apart else []
        for change in others:
            lines.append(_other_line(change, style))
            lines += _chart_lines(result, change.get("family", ""), change.get("metric", ""),
                                  change.get("event_ref", ""), style)
        for d in calm:
            lines += [_departure_line(d, style, False)] + _chart_lines(result, d.family, d.metric, d.event_ref, style)
    return (lines + _mechanical_lines(result, style) + _second_look_lines(result, style)
            + _still_lines(result, style) + _note_lines(result, style) + _evidence(result)
            + _verification_lines(result, style.escape, style.code))


def text(result: Analysis) -> str:
    """The report for a terminal or a log."""
    lines = [f"varnel advisory for {result.scope}: {level(result).replace('_', ' ')}", _window_line(result, clean)]
    lines += [clean(line) for line in _problems(result)]
    return "\n".join(lines + _body(result, _TEXT)) + "\n"


# Characters: a pull-request comment holds 65,536, with room left for what a workflow adds.
MARKDOWN_LIMIT = 60_000


def markdown_report(result: Analysis, limit: int | None = MARKDOWN_LIMIT) -> str:
    """The report for a pull-request comment or a chat tool that reads
    Markdown, cut at item boundaries to `limit` characters (None: whole)."""
    lines = [f"# varnel advisory for {markdown(result.scope)}: {level(result).replace('_', ' ')}", "",
             _window_line(result, markdown)]
    lines += [f"\n> **{markdown(line)}**" for line in _problems(result)]
    report = "\n".join(lines + _body(result, _MARKDOWN)) + "\n"
    return report if limit is None else fit(report, limit)


def _moment(moment: datetime | None) -> str | None:
    return None if moment is None else moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def _departure_record(d: findings.Departure) -> dict:
    earlier = {"constant": d.constant} if d.constant is not None else {"range": [d.low, d.high]}
    return {"family": d.family, "metric": d.metric, "observed": d.observed, **earlier, "baseline_length": d.length,
            "event_ref": d.event_ref, "commit": d.commit or None}


def _findings(result: Analysis) -> list[dict]:
    """Every finding the text report shows, concerns first, each with its sentence."""
    def kind(family: str, commit: str | None) -> str | None:
        return findings.commit_kind(result, family, commit)

    out = [{"family": d.family, "metric": d.metric, "event_ref": d.event_ref, "commit": d.commit or None,
            "kind": "departure", "concern": attention.departure_concern(d, result.quiet),
            "commit_kind": kind(d.family, d.commit), "text": _departure_line(d, _TEXT, False)[2:]}
           for d in _departures(result)]
    out += [{"family": c.get("family"), "metric": c.get("metric"), "event_ref": c.get("event_ref"),
             "commit": c.get("trigger_commit"), "kind": "step" if "step" in c else "change",
             "concern": attention.change_concern(c, result.quiet),
             "commit_kind": kind(c.get("family", ""), c.get("trigger_commit")),
             "text": f"{' / '.join(labels(c))}: {clean(c.get('description'))}"} for c in _changes(result)]
    out += [{"family": m["family"], "metric": m["metric"], "event_ref": m["event_ref"], "commit": m["commit"],
             "kind": "mechanical", "concern": False, "commit_kind": m["commit_kind"],
             "text": f"{' / '.join(labels(m))}: on {DESCRIPTIONS[m['commit_kind']]}, set apart"}
            for m in _view(result).mechanical]
    return sorted(out, key=lambda f: not f["concern"])


def report_record(result: Analysis) -> dict:
    """The report for programs, as one object (schema above), made once a
    run; the workspace keeps it as phase5/report.json, which `varnel report`
    renders."""
    if result.record is None:
        result.record = _record(result)
    return result.record


def _record(result: Analysis) -> dict:
    window = result.window
    config = result.config
    return {
        "schema_version": SCHEMA_VERSION,
        "varnel_version": __version__,
        "scope": result.scope,
        "level": level(result),
        "status": result.status,
        "complete": result.complete,
        "window": {"description": window.description, "from": _moment(window.start), "to": _moment(window.end),
                   "events": None if window.event_ids is None else len(window.event_ids),
                   "range": None if window.range is None else {"base": window.range.base, "head": window.range.head,
                                                               "commits": len(window.range.commits)}},
        "settings": {"window": config.window, "min_baseline": config.min_baseline,
                     "significance_threshold": config.significance_threshold},
        "commits": result.collection.commits,
        "history_events": {**result.history.events, "deployment": result.releases.releases},
        "signals": {family: len(s) for family, s in result.signals.items()},
        "failures": [{"family": f.family, "cause": f.cause} for f in result.failures],
        "warnings": result.warnings,
        "notes": result.notes,
        "departures": [_departure_record(d) for d in _departures(result)],
        "findings": _findings(result),
        "withheld": _view(result).withheld,
        "second_look": _view(result).second_look,
        "advisory": result.advisory,
        "verification": _comparison(result),
    }


def json_report(result: Analysis) -> str:
    """The report for programs: one JSON object (schema above)."""
    return json.dumps(report_record(result), indent=2) + "\n"


RENDERERS = dict(zip(FORMATS, (text, markdown_report, json_report)))
