"""The explanation engine through its Python module: files, records, failures."""

import hashlib
import json
import math
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from varnel import explstage, friendly

TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z\Z")
CAUTION = " (based on limited history \u2014 may change as more data arrives)"
NO_SIGNALS = "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family."
FAMILY_FILES = list(explstage.SIGNAL_FILES.items())


def signal(metric, observed, baseline, *, engine="ci", status="sufficient", degenerate=False, size=50, **extra):
    record = {
        "engine_id": engine,
        "source_type": "label-" + engine,
        "metric": metric,
        "window": {"type": "rolling", "size": size},
        "baseline": baseline,
        "observed": observed,
        "deviation": {"measure": 2.0, "unit": "modified_zscore", "degenerate": degenerate},
        "confidence": {"sample_count": 50, "status": status},
        "event_ref": f"evt-{metric}",
    }
    record.update(extra)
    return record


def spread(center):
    """A baseline whose center is its median."""
    return {"mean": center + 1, "stddev": 2.0, "median": center, "mad": 1.5}


def write_signals(workspace: Path, family: str, signals) -> None:
    phase2 = workspace / "phase2"
    phase2.mkdir(parents=True, exist_ok=True)
    (phase2 / explstage.SIGNAL_FILES[family]).write_text(json.dumps(signals, indent=2), encoding="utf-8")


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


@pytest.fixture
def workspace(tmp_path):
    return tmp_path / "ws"


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

    def test_values_are_copied_as_read(self, workspace):
        baseline = {"median": 5, "extra": [1, 2.0, None], "mean": 4, "mad": 0}
        sig = signal("files_touched", 7, baseline, engine="git", confidence={"status": "sufficient", "z": 1})
        del sig["event_ref"]
        write_signals(workspace, "git", [sig])
        explstage.Phase3Engine(workspace).run()
        text = (workspace / "phase3" / "explanations.json").read_text()
        record = json.loads(text)[0]
        assert record["signal_ref"] is None
        assert list(record["details"]["baseline"]) == ["median", "extra", "mean", "mad"]
        assert '"mean": 4,' in text and '"extra": [\n' in text and "2.0" in text
        assert record["confidence"] == {"status": "sufficient", "z": 1}
        assert not text.endswith("\n")

    def test_families_are_read_in_table_order(self, workspace):
        for family, _ in reversed(FAMILY_FILES):
            write_signals(workspace, family, [signal("m1", 1, {"mean": 1}, engine=family),
                                               signal("m2", 2, {"mean": 1}, engine=family)])
        engine = explstage.Phase3Engine(workspace)
        order = [(s["engine_id"], s["metric"]) for s in engine._load_signals()]
        assert order == [(family, m) for family, _ in FAMILY_FILES for m in ("m1", "m2")]
        assert [(r["engine_id"], r["details"]["metric"]) for r in engine.run()] == order

    def test_only_existing_files_are_read(self, workspace):
        write_signals(workspace, "ci", [signal("run_duration", 1.0, {"mean": 1.0})])
        (workspace / "phase2" / "notes.json").write_text("not json")
        records = explstage.Phase3Engine(workspace).run()
        assert [r["engine_id"] for r in records] == ["ci"]

    def test_two_runs_differ_only_in_time_and_identifier(self, workspace):
        write_signals(workspace, "ci", [signal("run_duration", 1.0, {"mean": 2.0})])
        engine = explstage.Phase3Engine(workspace)
        first, second = engine.run()[0], engine.run()[0]
        same = ("engine_id", "source_type", "signal_ref", "summary", "details", "confidence")
        assert {k: first[k] for k in same} == {k: second[k] for k in same}
        assert (first["generated_at"] == second["generated_at"]) == (first["explanation_id"] == second["explanation_id"])


class TestEngine:
    def test_constructor_creates_phase3_and_exposes_paths(self, workspace):
        engine = explstage.Phase3Engine(str(workspace))
        assert (workspace / "phase3").is_dir()
        assert engine.varnel_dir == workspace and isinstance(engine.varnel_dir, Path)
        assert engine.phase2_path == workspace / "phase2" and isinstance(engine.phase2_path, Path)
        assert engine.output_path == workspace / "phase3" and isinstance(engine.output_path, Path)
        explstage.Phase3Engine(workspace)  # an existing directory is fine

    def test_constructor_fails_when_phase3_cannot_be_made(self, tmp_path):
        (tmp_path / "file").write_text("")
        with pytest.raises(OSError):
            explstage.Phase3Engine(tmp_path / "file")

    def test_signal_files_table(self):
        assert FAMILY_FILES == [
            ("git", "git_signals.json"), ("ci", "ci_signals.json"), ("testing", "testing_signals.json"),
            ("coverage", "coverage_signals.json"), ("dependency", "dependency_signals.json"),
            ("schema", "schema_signals.json"), ("deployment", "deployment_signals.json"),
            ("config", "config_signals.json"), ("security", "security_signals.json"),
            ("error_tracking", "error_tracking_signals.json"),
        ]

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


class TestFailures:
    @pytest.fixture
    def earlier(self, workspace):
        """An explanations.json from an earlier run, which a failed run must leave alone."""
        (workspace / "phase3").mkdir(parents=True)
        path = workspace / "phase3" / "explanations.json"
        path.write_text("earlier")
        return path

    def test_no_signals(self, workspace, earlier):
        engine = explstage.Phase3Engine(workspace)
        with pytest.raises(FileNotFoundError) as missing_dir:
            engine.run()
        write_signals(workspace, "ci", [])
        write_signals(workspace, "git", [])
        with pytest.raises(FileNotFoundError) as empty_files:
            engine.run()
        assert str(missing_dir.value) == str(empty_files.value) == NO_SIGNALS
        assert earlier.read_text() == "earlier"

    @pytest.mark.parametrize(
        "path",
        [("engine_id",), ("source_type",), ("metric",), ("observed",), ("baseline",), ("baseline", "mean"),
         ("window",), ("window", "size"), ("confidence",), ("confidence", "status"), ("deviation",)],
    )
    def test_missing_field_names_it(self, workspace, earlier, path):
        bad = signal("run_duration", 3.0, {"mean": 2.0, "stddev": 0.5})
        holder = bad
        for key in path[:-1]:
            holder = holder[key]
        del holder[path[-1]]
        write_signals(workspace, "ci", [signal("run_duration", 1.0, {"mean": 2.0}), bad])
        with pytest.raises(KeyError) as error:
            explstage.Phase3Engine(workspace).run()
        assert error.value.args == (path[-1],)
        assert earlier.read_text() == "earlier"

    def test_unreadable_signal_files(self, workspace, earlier):
        engine = explstage.Phase3Engine(workspace)
        write_signals(workspace, "git", [signal("files_touched", 3, {"mean": 2}, engine="git")])
        ci = workspace / "phase2" / "ci_signals.json"
        ci.write_text('[{"engine_id": ')
        with pytest.raises(json.JSONDecodeError):
            engine.run()
        ci.write_bytes(b'["\xff"]')
        with pytest.raises(UnicodeDecodeError):
            engine.run()
        ci.write_text('{"engine_id": "ci"}')  # not a list of records
        with pytest.raises(TypeError):
            engine.run()
        ci.unlink()
        ci.mkdir()
        with pytest.raises(IsADirectoryError):
            engine.run()
        assert earlier.read_text() == "earlier"

    def test_values_that_cannot_be_formatted(self, workspace, earlier):
        engine = explstage.Phase3Engine(workspace)
        for bad in (signal("run_duration", "slow", {"mean": 2.0}),
                    signal("run_failed", None, {"mean": None}),
                    signal("total_tests", 3, {"mean": 2, "median": None}, degenerate=True),
                    signal("run_duration", 3.0, {"mean": 2.0}, deviation=[])):
            write_signals(workspace, "ci", [bad])
            with pytest.raises(TypeError):
                engine.run()
        assert earlier.read_text() == "earlier"

    def test_a_failed_write_leaves_no_partial_file(self, workspace):
        write_signals(workspace, "ci", [signal("run_duration", 1.0, {"mean": 2.0})])
        engine = explstage.Phase3Engine(workspace)
        (workspace / "phase3" / "explanations.json").mkdir()
        with pytest.raises(OSError):
            engine.run()
        assert [p.name for p in (workspace / "phase3").iterdir()] == ["explanations.json"]


def run_with_helper(helper_source: str, script: str, tmp_path: Path) -> subprocess.CompletedProcess:
    """Runs `script` in a fresh interpreter whose varnel.friendly is built from `helper_source`."""
    preamble = textwrap.dedent(
        """
        import json, sys, types
        from pathlib import Path
        import varnel
        helper = types.ModuleType("varnel.friendly")
        exec(compile(HELPER, "<helper>", "exec"), helper.__dict__)
        sys.modules["varnel.friendly"] = varnel.friendly = helper
        WS = Path(sys.argv[1])
        """
    )
    code = f"HELPER = {textwrap.dedent(helper_source)!r}\n" + preamble + textwrap.dedent(script)
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    return subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, env=env,
                          timeout=600)


class TestHelperPort:
    def test_results_are_used_by_text_form_and_truth_value(self, tmp_path):
        write_signals(tmp_path, "ci", [
            signal("run_duration", 3, {"mean": 2.0}),       # insight 0: none
            signal("run_duration", 3, {"mean": 2.0}),       # insight []: none
            signal("run_duration", 3, {"mean": 2.0}),       # insight None: none
            signal("run_duration", 3, {"mean": 2.0}),       # insight "": none
            signal("run_duration", 3, {"mean": 2.0}),       # insight 7: " 7"
        ])
        helper = """
            class Phrase:
                def __str__(self):
                    return "a phrase \u00e9"
            INSIGHTS = iter([0, [], None, "", 7])
            def relative_change(current, baseline):
                return Phrase()
            def metric_insight(metric, direction):
                return next(INSIGHTS)
        """
        script = """
            from varnel import explstage
            print(json.dumps([r["summary"] for r in explstage.Phase3Engine(WS).run()]))
        """
        done = run_with_helper(helper, script, tmp_path)
        assert done.returncode == 0, done.stderr
        base = "This CI build took 3.0 seconds \u2014 a phrase \u00e9."
        assert json.loads(done.stdout.splitlines()[-1]) == [base] * 4 + [base + " 7"]

    def test_each_signal_asks_once_each_with_values_as_read(self, tmp_path):
        write_signals(tmp_path, "ci", [
            signal("run_failed", 1.0, {"mean": 0, "median": 0.0, "mad": 0.0}),
            signal("total_tests", 120, {"mean": 118, "median": 118.0, "mad": 0.0}, degenerate=True),
            signal(["odd", "metric"], 5, {"mean": None}),
        ])
        helper = """
            CALLS = []
            def relative_change(current, baseline):
                CALLS.append(["relative_change", repr(current), repr(baseline)])
                return "c"
            def metric_insight(metric, direction):
                CALLS.append(["metric_insight", repr(metric), direction])
                return "i"
        """
        script = """
            from varnel import explstage
            summaries = [r["summary"] for r in explstage.Phase3Engine(WS).run()]
            print(json.dumps([summaries, helper.CALLS]))
        """
        done = run_with_helper(helper, script, tmp_path)
        assert done.returncode == 0, done.stderr
        summaries, calls = json.loads(done.stdout.splitlines()[-1])
        assert summaries == [
            "This CI build failed. i",
            "Metric 'total_tests' was 120. Baseline was constant at 118 across 50 observations. "
            "No meaningful deviation.",
            "Metric '['odd', 'metric']' was 5 \u2014 c. i",
        ]
        assert calls == [
            ["relative_change", "1.0", "0"], ["metric_insight", "'run_failed'", "up"],
            ["relative_change", "120", "118"], ["metric_insight", "'total_tests'", "up"],
            ["relative_change", "5", "None"], ["metric_insight", "['odd', 'metric']", "up"],
        ]

    def test_helper_errors_propagate_and_nothing_is_written(self, tmp_path):
        write_signals(tmp_path, "ci", [signal("run_duration", 3, {"mean": 2.0})])
        helper = """
            def relative_change(current, baseline):
                return "c"
            def metric_insight(metric, direction):
                raise LookupError("no words today")
        """
        script = """
            from varnel import explstage
            try:
                explstage.Phase3Engine(WS).run()
            except LookupError as e:
                print("raised", e, (WS / "phase3" / "explanations.json").exists())
        """
        done = run_with_helper(helper, script, tmp_path)
        assert done.stdout.splitlines()[-1] == "raised no words today False", done.stderr

    def test_functions_are_bound_at_import(self, tmp_path):
        write_signals(tmp_path, "ci", [signal("run_duration", 3, {"mean": 2.0})])
        helper = """
            def relative_change(current, baseline):
                return "bound"
            def metric_insight(metric, direction):
                return ""
        """
        script = """
            from varnel import explstage
            helper.relative_change = lambda current, baseline: "replaced"
            print(explstage.Phase3Engine(WS).run()[0]["summary"])
        """
        done = run_with_helper(helper, script, tmp_path)
        assert done.stdout.splitlines()[-1] == "This CI build took 3.0 seconds \u2014 bound.", done.stderr

    @pytest.mark.parametrize(
        "helper",
        ["def relative_change(current, baseline):\n    return ''\n",  # no metric_insight
         "relative_change = metric_insight = 'not callable'\n"],
    )
    def test_import_fails_when_the_functions_cannot_be_bound(self, tmp_path, helper):
        done = run_with_helper(helper, IMPORT_EXPLSTAGE, tmp_path)
        assert done.stdout.splitlines()[-1:] == ["ImportError"], done.stderr

    def test_import_fails_when_the_helper_cannot_load(self, tmp_path):
        done = run_with_helper("", 'sys.modules["varnel.friendly"] = None\n' + IMPORT_EXPLSTAGE, tmp_path)
        assert done.stdout.splitlines()[-1:] == ["ImportError"], done.stderr


IMPORT_EXPLSTAGE = """
try:
    from varnel import explstage
except ImportError as e:
    print(type(e).__name__)
"""
