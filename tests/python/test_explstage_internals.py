"""These tests pin the explanation engine's internal operations: the signal
loader, the median, direction and sentence of one signal, and the content
hash, which varnel.explstage keeps bound for callers of the engines'
internals. The other test files use only the public interface."""

import hashlib
import json
import math
import re

from explstage_helpers import FAMILY_FILES, signal, write_signals
from varnel import explstage, friendly

TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z\Z")
CAUTION = " (based on limited history \u2014 may change as more data arrives)"


def spread(center):
    """A baseline whose center is its median."""
    return {"mean": center + 1, "stddev": 2.0, "median": center, "mad": 1.5}


def canonical_id(record) -> str:
    text = json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def change_and_insight(observed, center, direction, metric):
    insight = friendly.metric_insight(metric, direction)
    return str(friendly.relative_change(observed, center)), (" " + str(insight) if insight else "")


# (signal, expected summary with {C} for the change phrase and {I} for the insight, center, direction)
SENTENCES = [
    (signal("files_touched", 42, spread(5), engine="git"), "This commit touched 42 files \u2014 {C}.{I}", 5, "up"),
    (signal("dispersion", 2.5, spread(1.0), engine="git"),
     "This change is spread across many parts of the codebase \u2014 {C}.{I}", 1.0, "up"),
    (signal("change_locality", 0.125, spread(0.5), engine="git"),
     "The change locality for this commit was 0.12 \u2014 {C}.{I}", 0.5, "down"),
    (signal("cochange_novelty_ratio", 0.875, spread(0.25), engine="git"),
     "The co-change novelty ratio was 0.88 \u2014 {C}.{I}", 0.25, "up"),
    (signal("run_duration", 12.345, spread(10.0)), "This CI build took 12.3 seconds \u2014 {C}.{I}", 10.0, "up"),
    (signal("run_failed", 1.0, {"mean": 0.0, "median": 0.0, "mad": 0.0}), "This CI build failed.{I}", 0.0, "up"),
    (signal("run_failed", 0.0, {"mean": 0.2}), "This CI build succeeded.{I}", 0.2, "down"),
    (signal("total_tests", 2.5, spread(3), engine="testing"), "This test run executed 2 tests \u2014 {C}.{I}", 3,
     "down"),
    (signal("total_tests", 3.5, spread(3), engine="testing"), "This test run executed 4 tests \u2014 {C}.{I}", 3, "up"),
    (signal("suite_duration", 61, spread(60), engine="testing"),
     "The test suite completed in 61.0 seconds \u2014 {C}.{I}", 60, "up"),
    (signal("skip_rate", 0.05, spread(0.01), engine="testing"), "The skip rate for this run was 5.00% \u2014 {C}.{I}",
     0.01, "up"),
    (signal("dependency_count", 212, spread(200), engine="dependency"),
     "This snapshot has 212 dependencies \u2014 {C}.{I}", 200, "up"),
    (signal("max_depth", 7, spread(4), engine="dependency"), "The maximum dependency depth is 7 \u2014 {C}.{I}", 4,
     "up"),
    (signal("endpoint_count", 40, spread(44), engine="schema"), "This schema version has 40 endpoints \u2014 {C}.{I}",
     44, "down"),
    (signal("type_count", 18, spread(20), engine="schema"), "This schema version defines 18 types \u2014 {C}.{I}", 20,
     "down"),
    (signal("field_count", 301, spread(300), engine="schema"),
     "This schema version contains 301 fields \u2014 {C}.{I}", 300, "up"),
    (signal("schema_churn", 0.5, spread(0.1), engine="schema"), "Schema churn was 0.50 \u2014 {C}.{I}", 0.1, "up"),
    (signal("release_cadence_hours", 2.25, spread(48.0), engine="deployment"),
     "This release came 2.2 hours after the previous one \u2014 {C}.{I}", 48.0, "down"),
    (signal("is_prerelease", 0.0, {"mean": 0.5}, engine="deployment"), "This was a stable release.{I}", 0.5, "down"),
    (signal("is_prerelease", 1.0, {"mean": 0.5}, engine="deployment"), "This was a pre-release.{I}", 0.5, "up"),
    (signal("asset_count", 3, spread(5), engine="deployment"), "This release included 3 assets \u2014 {C}.{I}", 5,
     "down"),
    (signal("resource_count", 120, spread(100), engine="config"),
     "This configuration manages 120 resources \u2014 {C}.{I}", 100, "up"),
    (signal("resource_type_count", 9, spread(8), engine="config"),
     "This configuration uses 9 distinct resource types \u2014 {C}.{I}", 8, "up"),
    (signal("config_churn", 12.5, spread(3), engine="config"), "Configuration churn was 12 \u2014 {C}.{I}", 3, "up"),
    (signal("vulnerability_count", 14, spread(4), engine="security"),
     "This scan found 14 vulnerabilities \u2014 {C}.{I}", 4, "up"),
    (signal("critical_count", 2, spread(0), engine="security"),
     "This scan found 2 critical vulnerabilities \u2014 {C}.{I}", 0, "up"),
    (signal("fixable_ratio", 0.75, spread(0.5), engine="security"), "The fixable ratio is 75.00% \u2014 {C}.{I}", 0.5,
     "up"),
    (signal("event_count", 310, spread(12), engine="error_tracking"), "This error has 310 occurrences \u2014 {C}.{I}",
     12, "up"),
    (signal("user_count", 25, spread(3), engine="error_tracking"), "This error affected 25 users \u2014 {C}.{I}", 3,
     "up"),
    (signal("is_unhandled", 1.0, {"mean": 0.0}, engine="error_tracking"), "This is an unhandled exception.{I}", 0.0,
     "up"),
    (signal("is_unhandled", 0.0, {"mean": 0.0}, engine="error_tracking"), "This error is handled.{I}", 0.0, "down"),
    (signal("line_rate", 0.82, spread(0.9), engine="coverage"), "Metric 'line_rate' was 0.82 \u2014 {C}.{I}", 0.9,
     "down"),
    (signal("Run_Duration", 7, spread(10)), "Metric 'Run_Duration' was 7 \u2014 {C}.{I}", 10, "down"),
    # Non-ASCII is escaped in the file, characters beyond the basic plane as surrogate pairs.
    (signal("gr\u00f6\u00dfe \U0001f680", 10**30, spread(5), engine="git", event_ref="\u00e9v\u00e9nement"),
     "Metric 'gr\u00f6\u00dfe \U0001f680' was 1000000000000000000000000000000 \u2014 {C}.{I}", 5, "up"),
    # NaN and infinities travel through unchanged.
    (signal("nan_metric", math.nan, {"mean": math.inf, "stddev": math.nan}, engine="coverage"),
     "Metric 'nan_metric' was nan \u2014 {C}.{I}", math.inf, "down"),
    # A short history ends with the caution, after the remark.
    (signal("run_duration", 300.0, spread(100.0), status="accumulating"),
     "This CI build took 300.0 seconds \u2014 {C}.{I}" + CAUTION, 100.0, "up"),
    (signal("total_tests", 80, spread(120), engine="testing", status=""),
     "This test run executed 80 tests \u2014 {C}.{I}" + CAUTION, 120, "down"),
    # A constant baseline says so instead, with neither remark nor caution.
    (signal("total_tests", 120, {"mean": 118.0, "median": 118.0, "mad": 0.0}, engine="testing", degenerate=True,
            size=30, status="accumulating"),
     "Metric 'total_tests' was 120. Baseline was constant at 118 across 30 observations. No meaningful deviation.",
     118.0, "up"),
    (signal("run_duration", 5, {"mean": 123456.0, "stddev": 0.0}, degenerate=True),
     "Metric 'run_duration' was 5. Baseline was constant at 1.235e+05 across 50 observations. "
     "No meaningful deviation.", 123456.0, "down"),
]


def expected_summary(case):
    sig, template, center, direction = case
    change, insight = change_and_insight(sig["observed"], center, direction, sig["metric"])
    return template.replace("{C}", change).replace("{I}", insight)


def expected_record(sig, summary, written):
    record = {
        "engine_id": sig["engine_id"],
        "source_type": sig["source_type"],
        "signal_ref": sig.get("event_ref"),
        "summary": summary,
        "details": {k: sig[k] for k in ("metric", "observed", "baseline", "deviation")},
        "confidence": sig["confidence"],
        "generated_at": written["generated_at"],
    }
    record["explanation_id"] = written["explanation_id"]
    return record


class TestExplanationsFile:
    def test_every_sentence_byte_for_byte(self, workspace):
        by_family = {}
        for case in SENTENCES:
            by_family.setdefault(case[0]["engine_id"], []).append(case)
        for family, cases in by_family.items():
            write_signals(workspace, family, [c[0] for c in cases])
        ordered = [c for family, _ in FAMILY_FILES for c in by_family.get(family, [])]

        engine = explstage.Phase3Engine(workspace)
        returned = engine.run()

        data = (workspace / "phase3" / "explanations.json").read_bytes()
        written = json.loads(data)
        assert len(written) == len(ordered)
        expected = [expected_record(c[0], expected_summary(c), w) for c, w in zip(ordered, written)]
        assert data == json.dumps(expected, indent=2).encode("ascii")
        assert json.dumps(returned) == json.dumps(expected)
        for record in written:
            assert TIMESTAMP.match(record["generated_at"])
            body = {k: v for k, v in record.items() if k != "explanation_id"}
            assert record["explanation_id"] == canonical_id(body) == engine._hash(body)
        assert b"\\u2014" in data and b"\\ud83d\\ude80" in data and b"NaN" in data and b"Infinity" in data

    def test_families_are_read_in_table_order(self, workspace):
        for family, _ in reversed(FAMILY_FILES):
            write_signals(workspace, family, [signal("m1", 1, {"mean": 1}, engine=family),
                                               signal("m2", 2, {"mean": 1}, engine=family)])
        engine = explstage.Phase3Engine(workspace)
        order = [(s["engine_id"], s["metric"]) for s in engine._load_signals()]
        assert order == [(family, m) for family, _ in FAMILY_FILES for m in ("m1", "m2")]
        assert [(r["engine_id"], r["details"]["metric"]) for r in engine.run()] == order


class TestEngine:
    def test_internal_operations_keep_kinds(self, workspace):
        engine = explstage.Phase3Engine(workspace)
        median = engine._get_median({"baseline": {"mean": 4.0, "median": 5, "mad": 1.5}})
        assert median == 5 and type(median) is int
        assert engine._get_median({"baseline": {"mean": None}}) is None
        assert engine._direction({"observed": 5, "baseline": {"mean": 5}}) == "up"
        assert engine._template(SENTENCES[0][0]) == expected_summary(SENTENCES[0])

    def test_hash_is_the_canonical_digest(self, workspace):
        engine = explstage.Phase3Engine(workspace)
        record = {"b": [1, 2.5, None], "a": "x \u2014 y", "c": {"z": True, "y": math.nan}}
        assert engine._hash(record) == canonical_id(record)
        assert engine._hash(dict(reversed(record.items()))) == engine._hash(record)
        assert len(engine._hash({})) == 64
