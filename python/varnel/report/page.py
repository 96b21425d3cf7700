"""The report as one self-contained HTML page: every finding charted
against the robust band it was judged by, one timeline of the findings of
every family, the repository's vital signs week by week, the track record,
the verification and the accepted deviations.

The page is drawn from the workspace alone (the run's report record,
``phase5/report.json``, its signals and events, the kept advisories,
``eval.json`` and the accepted deviations), so `varnel report` draws the
last analysis again without running anything. It opens from ``file://`` and
asks for nothing over the network: the charts' JavaScript is inlined once,
and its content security policy forbids every request.
"""

from __future__ import annotations

import json
from datetime import datetime, timezone
from html import escape
from pathlib import Path

from bokeh.core.json_encoder import serialize_json
from bokeh.document import Document
from bokeh.layouts import gridplot
from bokeh.resources import Resources

from .. import __version__
from .._vocabulary import FAMILY_LABELS, METRIC_LABELS
from ..accepted import AcceptedDeviations
from ..errors import EXIT_USAGE, Refused
from ..progress import clean
from ..run.events import EventIndex, instant
from ..run.stage import REPORT_RECORD
from ..worth import pooled, track_record
from . import attention, charts
from .findings import number_text
from .render import SECOND_LOOK_SHOWN, VERIFICATION_TITLES, labels
from .series import Judged
from .track_record import words
from .vitals import vitals

REASONS = {
    "lagging_level": "a level whose step came before this window, or that no commit moved",
    "change_of_measure": "what is counted changed in this commit: a change of measure, not of the project",
    "counted_otherwise": "the earlier values were counted from other files",
    "a reason in the ranking": "the size or spread of a commit: the risk ranking weighs it",
}
_POLICY = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; font-src data:"
_STYLE = """
body{font-family:system-ui,-apple-system,"Segoe UI",sans-serif;margin:0 auto;max-width:1000px;padding:0 16px 48px;
color:#1b1b1b;line-height:1.45}
h1{font-size:1.5em;margin-top:24px}h2{font-size:1.2em;margin-top:32px;border-bottom:1px solid #ddd}
.level{display:inline-block;padding:2px 10px;border-radius:12px;color:#fff;font-size:.8em;vertical-align:middle}
.level-all_clear{background:#2ca02c}.level-watch{background:#1f77b4}.level-review{background:#ff7f0e}
.level-action_needed{background:#d62728}
figure.varnel-chart{margin:16px 0;padding:8px;border:1px solid #e3e3e3;border-radius:6px}
figcaption p{margin:4px 0}.sentence{font-weight:600}.muted{color:#666;font-size:.9em}
code{background:#f4f4f4;padding:0 3px;border-radius:3px}
.vitals{overflow-x:auto}details summary{cursor:pointer;font-weight:600;margin:12px 0}
"""


def _h(text: object) -> str:
    """Repository text as inert HTML, on one line."""
    return escape(clean(text), quote=True).replace("{", "&#123;")  # never a chart's placeholder


def _labels(family: str, metric: str) -> str:
    return " / ".join(labels({"family": family, "metric": metric}))


def read_record(workspace: Path) -> dict:
    """The last analysis's report record; refused with one line when there is none."""
    path = Path(workspace) / REPORT_RECORD
    try:
        record = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise Refused(f"no analysis in {workspace} yet: run 'varnel analyze' first", EXIT_USAGE) from None
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise Refused(f"{path} is damaged ({e}): run 'varnel analyze' again", EXIT_USAGE) from None
    if not isinstance(record, dict) or not isinstance(record.get("findings"), list):
        raise Refused(f"{path} holds no report record: run 'varnel analyze' again", EXIT_USAGE)
    return record


class _Page:
    def __init__(self, workspace: Path, record: dict):
        self.workspace = Path(workspace)
        self.record = record
        self.settings = record.get("settings") or {}
        self.threshold = float(self.settings.get("significance_threshold", 3.0))
        self.events = EventIndex.read(self.workspace)
        self.judged = Judged(self.workspace, self.events, self.settings)
        window = record.get("window") or {}
        self.window = (instant(window.get("from") or ""), instant(window.get("to") or ""))
        self.releases = sorted(e.time for e in self.events.ordered if e.family == "deployment" and e.time)
        self.tables: dict[str, charts.FamilyTable] = {}
        self.models: dict[str, object] = {}
        advisory = record.get("advisory") or {}
        # A fleet's community pattern comes first and names how many repositories showed it; the
        # repository's own record of the same pattern would only say it again.
        matches = {}
        for m in advisory.get("pattern_matches") or []:
            if isinstance(m, dict):
                matches.setdefault((str(m.get("description")), str(m.get("families")), str(m.get("metrics"))), m)
        self.matches = list(matches.values())
        self.eval = track_record.read(self.workspace)
        self.pooled = pooled.read(self.workspace)

    def _table(self, family: str) -> charts.FamilyTable:
        if family not in self.tables:
            rows = sorted(((self.events.by_id[ref].time, ref, self.events.by_id[ref].commit,
                            clean(self.events.by_id[ref].subject))
                           for ref, _ in self.judged.values(family)
                           if ref in self.events.by_id and self.events.by_id[ref].time is not None),
                          key=lambda row: row[0])
            self.tables[family] = charts.FamilyTable(rows)
        return self.tables[family]

    def figure(self, item: dict, n: int, shown: bool) -> str:
        """One finding: its chart and, beside it, its sentence, evidence and pattern matches."""
        family, metric, ref = str(item.get("family")), str(item.get("metric")), str(item.get("event_ref"))
        points = self.judged.series(family, metric)
        measure = [e.time for e in self.events.ordered if e.family == family and e.measure_changed and e.time]
        chart = charts.metric_chart(self._table(family), metric, METRIC_LABELS.get(metric, metric), points,
                                    self.threshold, finding_ref=ref, step=item.get("kind") == "step",
                                    window=self.window, measure_changes=measure, releases=self.releases)
        key = f"chart{n}"
        self.models[key] = chart
        own = next((p for p in points if p.ref == ref), None)
        lines = [f'<p class="sentence">{_h(item.get("text") or _labels(family, metric))}</p>']
        event = self.events.by_id.get(ref)
        if event is not None and event.commit:
            when = event.time.strftime("%Y-%m-%d") if event.time else "date unknown"
            lines.append(f"<p>commit <code>{_h(event.commit[:charts.COMMIT_SHOWN])}</code> of {when}: "
                         f"{_h(event.subject)}</p>")
        lines += self._evidence(own, event)
        if shown:
            history = attention.track_record(self.eval, family, metric, "up" if (own and (own.deviation or 0) >= 0)
                                             else "down", self.threshold, self.pooled)
            if history:
                lines.append(f"<p>Track record: {_h(history)}</p>")
        else:
            lines.append(f"<p class=\"muted\">Withheld: {_h(REASONS.get(item.get('reason'), item.get('reason')))}</p>")
        lines += [f"<p class=\"muted\">Pattern: {_h(m.get('description'))}"
                  + (f" (seen in {m['repo_count']} repositories)" if m.get("repo_count") else "") + "</p>"
                  for m in self.matches if family in (m.get("families") or []) and
                  (metric in (m.get("metrics") or []) or not m.get("metrics"))]
        if shown:
            lines.append(f"<p class=\"muted\">Intended? <code>varnel accept {_h(family)}/{_h(metric)}</code></p>")
        return (f'<figure class="varnel-chart" id="finding-{n}" data-family="{_h(family)}" data-metric="{_h(metric)}">'
                f"{{{{{key}}}}}<figcaption>{''.join(lines)}</figcaption></figure>")

    def _evidence(self, own, event) -> list[str]:
        parts = []
        if own is not None and own.centre is not None and own.low != own.high:
            parts.append(f"value {number_text(own.value)} against a median of {number_text(own.centre)} "
                         f"(band {number_text(own.low)} to {number_text(own.high)}), {own.deviation:.2f} deviations")
        elif own is not None and own.centre is not None:
            parts.append(f"value {number_text(own.value)}; the earlier values had no spread to size a deviation")
        if event is not None and event.files:
            shown = ", ".join(_h(f) for f in event.files[:5])
            more = f" and {len(event.files) - 5:,} more" if len(event.files) > 5 else ""
            parts.append(f"{len(event.files):,} file{'s' * (len(event.files) != 1)} changed: {shown}{more}")
        if event is not None and event.counted_from:
            parts.append("counted from " + ", ".join(_h(f) for f in event.counted_from))
        return [f"<p class=\"muted\">Evidence: {'; '.join(p for p in parts if p)}</p>"] if any(parts) else []

    def timeline(self) -> str:
        rows = []
        for item, shown in [(f, True) for f in self.record.get("findings") or []] + \
                           [(w, False) for w in self.record.get("withheld") or []]:
            event = self.events.by_id.get(str(item.get("event_ref")))
            if event is None or event.time is None:
                continue
            family = str(item.get("family"))
            rows.append({"time": event.time, "family": FAMILY_LABELS.get(family, family), "shown": shown,
                         "text": clean(item.get("text") or _labels(family, str(item.get("metric")))),
                         "commit": event.commit[:charts.COMMIT_SHOWN]})
        if not rows:
            return "<p>No findings to place on a timeline.</p>"
        families = sorted({r["family"] for r in rows})
        self.models["timeline"] = charts.timeline(rows, families, self.releases)
        return '<div class="varnel-timeline">{{timeline}}</div>'

    def vitals(self) -> str:
        weeks, signs = vitals(self.workspace, self.events, self.judged)
        if not signs:
            return "<p>No history yet.</p>"
        small = []
        for sign in signs:
            small.append(charts.weekly(sign.title, weeks, sign.values, sign.bars,
                                       x_range=small[0].x_range if small else None))
        self.models["vitals"] = gridplot(small, ncols=3, toolbar_location=None)
        return '<div class="vitals">{{vitals}}</div>'


def _header(record: dict) -> str:
    level = str(record.get("level") or "all_clear")
    window = record.get("window") or {}
    span = f" ({str(window.get('from'))[:10]} to {str(window.get('to'))[:10]})" if window.get("from") else ""
    events = f", {window['events']:,} events" if isinstance(window.get("events"), int) else ""
    lines = [f"<h1>varnel advisory for {_h(record.get('scope'))} "
             f"<span class=\"level level-{_h(level)}\">{_h(level.replace('_', ' '))}</span></h1>",
             f"<p>Window: {_h(window.get('description'))}{span}{events}.</p>"]
    for failure in record.get("failures") or []:
        lines.append(f"<p><strong>Incomplete: the {_h(failure.get('family'))} family could not be judged "
                     f"({_h(failure.get('cause'))}).</strong></p>")
    return "".join(lines)


def _list(items: list[str], empty: str) -> str:
    return "<ul>" + "".join(f"<li>{i}</li>" for i in items) + "</ul>" if items else f"<p>{empty}</p>"


def _second_look(record: dict, events: EventIndex) -> str:
    commits = {e.commit: e for e in events.ordered if e.is_commit}
    looks = record.get("second_look") or []
    items = []
    for look in looks[:SECOND_LOOK_SHOWN]:
        event = commits.get(look.get("commit"))
        said = f" of {event.time:%Y-%m-%d}: {_h(event.subject)}" if event is not None and event.time else ""
        items.append(f"commit <code>{_h(str(look.get('commit'))[:charts.COMMIT_SHOWN])}</code>{said} "
                     f"<span class=\"muted\">({_h('; '.join(look.get('reasons') or []))})</span>")
    if len(looks) > SECOND_LOOK_SHOWN:
        items.append(f"and {len(looks) - SECOND_LOOK_SHOWN:,} more (<code>--format json</code> lists every one)")
    return _list(items, "No commit of this window is among the riskiest of this history.")


def _track_record(page: _Page) -> str:
    if page.eval is None:
        return "<p>No track record yet: run <code>varnel analyze</code> with some history.</p>"
    return _list([_h(line) for line in words(page.eval, "szz", page.threshold)],
                 "Too little history to tell how often flagged commits were later blamed for bugs.")


def _verification(record: dict) -> str:
    comparison = record.get("verification")
    if not comparison:
        return "<p>Not a verification: run <code>varnel verify</code> after a fix to see what was resolved.</p>"
    return _list([f"{title}: {len(comparison.get(name) or [])}"
                  + "".join(f"<br><code>{_h(c.get('family'))}/{_h(c.get('metric'))}</code>"
                            for c in comparison.get(name) or []) for name, title in VERIFICATION_TITLES.items()], "")


def _accepted(workspace: Path) -> str:
    try:
        entries = AcceptedDeviations(workspace).entries()
    except (OSError, ValueError, Refused):
        return "<p>The accepted deviations could not be read.</p>"
    return _list([f"<code>{_h(e.get('family'))}/{_h(e.get('metric'))}</code>: {_h(e.get('reason') or 'no reason given')} "
                  f"<span class=\"muted\">(by {_h(e.get('accepted_by'))}, {_h(e.get('accepted_at'))}"
                  + (f", until {_h(e['expires_at'])}" if e.get("expires_at") else "") + ")</span>"
                  for e in entries], "No deviation is accepted.")


# Charts are drawn as they come into view: a page of many charts over long
# histories would otherwise take seconds to lay every one of them out at once.
_DRAW = """(async () => {
  const json = JSON.parse(document.getElementById("varnel-charts").textContent);
  const doc = Bokeh.require("document").Document.from_json(json);
  const models = new Map(doc.roots().map(model => [model.id, model]));
  // Taken out at once: the document would otherwise recount its models after each.
  doc._push_all_models_freeze?.();
  for (const model of models.values()) doc.remove_root(model);
  doc._pop_all_models_freeze?.();
  const places = [];
  await Bokeh.embed.add_document_standalone(doc, document.body, places);
  const draw = place => {
    const model = models.get(place.dataset.root);
    if (model == null || place.dataset.drawn) return;
    place.dataset.drawn = "1";
    places[doc.roots().length] = place;
    doc.add_root(model);
  };
  const seen = new IntersectionObserver(entries => entries.forEach(entry => {
    if (entry.isIntersecting) { seen.unobserve(entry.target); draw(entry.target); }
  }), {rootMargin: "300px"});
  document.querySelectorAll("[data-root]").forEach(place => seen.observe(place));
  window.varnelDrawAll = () => document.querySelectorAll("[data-root]").forEach(draw);
  window.varnelDrawn = () => [...document.querySelectorAll("[data-drawn]")].every(place => {
    const view = Bokeh.index.get(models.get(place.dataset.root));
    return view != null && view.has_finished();
  });
})();"""


def _embedded(html: str, models: dict) -> tuple[str, str]:
    """The page with a place for each chart, and the script that draws them
    from one document: the charts of a family share its table of events."""
    document = Document()
    with document.models.freeze():  # every chart added at once: bokeh rescans the document for each root
        for model in models.values():
            document.add_root(model)
    for key, model in models.items():
        # Each place holds its chart's height before it is drawn, so only what is near the screen is drawn first.
        tall = f' style="min-height:{model.height + 40}px"' if getattr(model, "height", None) else ""
        html = html.replace("{{" + key + "}}", f'<div class="varnel-plot" data-root="{model.id}"{tall}></div>', 1)
    data = serialize_json(document.to_json(deferred=False)).replace("<", "\\u003c")  # nothing closes the script
    return html, (f'<script type="application/json" id="varnel-charts">{data}</script>'
                  f"<script>{_DRAW}</script>")


def page(workspace: Path, record: dict | None = None) -> str:
    """The page of the workspace's last analysis (or of `record`, its report record)."""
    record = record if record is not None else read_record(workspace)
    built = _Page(workspace, record)
    shown = [built.figure(f, n, True) for n, f in enumerate(record.get("findings") or [])]
    offset = len(shown)
    withheld = [built.figure(w, offset + n, False) for n, w in enumerate(record.get("withheld") or [])]
    body = [_header(record), "<h2>Findings</h2>",
            "".join(shown) or "<p>Nothing in this window is far from its normal.</p>"]
    if withheld:
        body.append(f"<details><summary>{len(withheld)} withheld (set aside by the report, with the reason)"
                    f"</summary>{''.join(withheld)}</details>")
    body += ["<h2>Timeline of findings</h2>", built.timeline(),
             "<h2>Vital signs, week by week</h2>", built.vitals(),
             "<h2>Worth a second look</h2>", _second_look(record, built.events),
             "<h2>Track record here</h2>", _track_record(built),
             "<h2>Verification</h2>", _verification(record),
             "<h2>Accepted deviations</h2>", _accepted(workspace)]
    html = "".join(body)
    script = ""
    if built.models:
        html, script = _embedded(html, built.models)
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<meta http-equiv=\"Content-Security-Policy\" content=\"{_POLICY}\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>varnel advisory for {_h(record.get('scope'))}</title><style>{_STYLE}</style>"
            f"{Resources(mode='inline', components=['bokeh']).render_js()}</head><body>{html}{script}"
            f"<p class=\"muted\">varnel {__version__}, drawn {made}.</p></body></html>\n")
