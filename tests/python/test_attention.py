"""What the report puts first: departures from a constant baseline, then
concerns with their unit and track record, then the other movements; and a
level that movements without concern cannot raise."""

import json

from varnel.collect.git import GitCollection
from varnel.config import Config
from varnel.run.analysis import Analysis
from varnel.report.render import json_report, level, text


def change(metric, family="git", current=40, median=4.0, deviation=12.0, ref="e1"):
    return {"family": family, "metric": metric, "current": current, "deviation_stddev": deviation,
            "normal": {"mean": median, "median": median, "mad": 1.0}, "description": f"{metric} moved",
            "event_ref": ref, "trigger_commit": "a" * 40, "observed_at": "2026-01-01T00:00:00Z"}


def record(flagged, hits, lift=1.7):
    return {"latest_commit": "c" * 40, "rules": [
        {"metric": "dependency/dependency_count", "direction": "up", "threshold": 1.5,
         "labels": {"szz": {"flagged": flagged, "hits": hits, "lift": lift}}}]}


class Ranked:
    """What a run's ranking gives the report: its record, its second-look commits, whether it is proven."""

    def __init__(self, record=None, looks=(), proven=False):
        self.record, self.looks, self.commits = record or {}, list(looks), {}
        self.ranking = type("R", (), {"proven": proven})()
        self.proven, self.pooled = proven, None

    def second_look(self, shas, quiet, threshold):
        return self.looks


def result(tmp_path, changes=(), signals=None, worth=None):
    # No metric is quiet here, so every rule of the gate shows.
    return Analysis(repo=tmp_path, workspace=tmp_path, scope="demo", config=Config(quiet_metrics=()),
                    collection=GitCollection(), signals=signals or {},
                    advisory={"changes": list(changes)} if changes else None, worth=worth)


def test_the_gate_rates_what_the_report_shows(tmp_path):
    deps = change("dependency_count", family="dependency", deviation=5.0)
    cadence = change("release_cadence_hours", family="deployment", current=5000, median=500)
    big = change("files_touched", deviation=40.0)
    report = text(result(tmp_path, [cadence, deps]))
    assert report.index("1. Dependencies / Total Dependencies") < report.index("Other movements")
    assert "now 40 packages" in report
    # The size and spread of a commit are reasons in the risk ranking, never findings of their own.
    alone = result(tmp_path, [big])
    alone.advisory["evidence"] = {"commits": ["a" * 40], "files_affected": ["x.py"]}
    # Nothing shown: no finding, no evidence line backing it.
    assert "Files Changed" not in text(alone) and "Evidence" not in text(alone) and level(alone) == "all_clear"
    assert json.loads(json_report(alone))["withheld"] == [
        {"family": "git", "metric": "files_touched", "event_ref": "e1", "reason": "a reason in the ranking"}]
    # A concern of another family is a review; a movement without concern a watch; failing
    # tests and removed endpoints call for action.
    assert level(result(tmp_path, [deps])) == "review"
    assert level(result(tmp_path, [change("endpoint_count", family="schema", current=3, deviation=-5)])) == \
        "action_needed"
    assert level(result(tmp_path, [change("failure_rate", family="testing")])) == "action_needed"
    assert level(result(tmp_path, [cadence])) == "watch"
    quiet = result(tmp_path, [cadence])  # release cadence is quiet by default: shown apart, raising nothing
    quiet.config = Config(quiet_metrics=("deployment/release_cadence_hours",))
    assert "none of concern" in text(quiet) and level(quiet) == "all_clear"
    # A commit in the ranking's top share raises a review only where the ranking proved itself here.
    look = [{"commit": "a" * 40, "risk": 0.5, "reasons": ["touches 14 files in 5 directories"]}]
    assert level(result(tmp_path, worth=Ranked(looks=look, proven=True))) == "review"
    assert level(result(tmp_path, worth=Ranked(looks=look))) == "all_clear"
    assert json.loads(json_report(result(tmp_path, worth=Ranked(looks=look))))["second_look"] == look


def test_a_track_record_is_told_only_with_enough_history(tmp_path):
    deps = change("dependency_count", family="dependency", deviation=5.0)
    told = text(result(tmp_path, [deps], worth=Ranked(record(1198, 781))))
    assert "later blamed for bugs 1.7x as often as commits on average (781 of 1,198)" in told
    assert "too little history to tell" in text(result(tmp_path, [deps], worth=Ranked(record(29, 20))))


def ingested(root, family, n, payload, commit="b" * 40):
    (root / "events").mkdir(exist_ok=True)
    (root / "events" / f"ingest-{family}-{n}.json").write_text(json.dumps(
        {"event_id": f"{family}{n}", "source_family": family, "observed_at": f"2026-02-{n + 1:02d}T04:05:06Z",
         "payload": {**payload, "trigger": {"commit_sha": commit}}}))


def judged(root):
    from varnel.sigstage import Phase2Engine

    engine = Phase2Engine(root)
    return {"testing": engine.run_testing(), "coverage": engine.run_coverage()}


def test_failures_after_clean_runs_are_a_finding_even_without_an_advisory(tmp_path):
    for n in range(9):
        failed = 12 if n == 8 else 0
        ingested(tmp_path, "testing", n, {"summary": {"total": 110, "failed": failed}})
        ingested(tmp_path, "coverage", n, {"line_rate": 0.9 if n == 8 else 0.8, "branch_rate": 0.5})
    done = result(tmp_path, signals=judged(tmp_path))
    report = text(done)
    assert report.index("Testing / Failure Rate") < report.index("Code Coverage / Line Coverage")
    assert "Failure Rate: 0.1091 share of tests, after 8 observations all at 0 (commit bbbbbbbbbbbb of 2026-02-09)" \
        in report
    assert level(done) == "action_needed"
    assert [d["metric"] for d in json.loads(json_report(done))["departures"]] == ["failure_rate", "line_rate"]
    # Coverage rising from a constant is no concern.
    only_coverage = result(tmp_path, signals={"coverage": judged(tmp_path)["coverage"]})
    assert level(only_coverage) == "watch"


def pattern(pid, metrics, sources, count, way="increased", fingerprint=None):
    return {"pattern_id": pid, "fingerprint": fingerprint or pid, "metrics": metrics, "sources": sources,
            "occurrence_count": count, "correlation_strength": 0.5 if way == "increased" else -0.5,
            "description_statistical": f"x is systematically {way}"}


def test_patterns_are_shown_once_each_and_restatements_apart():
    from varnel.report.patterns import view

    known = [{"knowledge_id": "k1", "derived_from": "p1", "fingerprint": "f1", "metrics": ["ci_presence",
              "files_touched"], "sources": ["ci", "git"], "support_count": 12, "correlation_strength": 0.5}]
    pending = [pattern("p1", ["ci_presence", "files_touched"], ["ci", "git"], 15, fingerprint="f1"),
               pattern("p2", ["dependency_presence", "dispersion"], ["dependency", "git"], 9),
               pattern("p3", ["run_duration", "suite_duration"], ["ci", "testing"], 7),
               pattern("p4", ["run_duration", "suite_duration"], ["ci", "testing"], 3, way="decreased")]
    shown = view(known, pending)
    assert "Known patterns (1):" in shown and "Patterns still being confirmed (2):" in shown
    assert shown.count("\n- ") == 3  # the known one once, the two ways of one pair as one line, the restatement
    assert "the other way 3 times" in shown
    assert "Restating how events are collected (1" in shown.split("confirmed (2):")[1]
