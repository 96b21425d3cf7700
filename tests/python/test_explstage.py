"""The explanation engine through its Python module: files, records, failures."""

import json
import math
import os
import random
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import phase3_reference as reference
from explstage_helpers import FAMILY_FILES, signal, write_signals
from varnel import _vocabulary, explstage

NO_SIGNALS = "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family."


class TestExplanationsFile:
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


def random_signal(rng: random.Random, family: str, i: int) -> dict:
    """A signal of any metric the family has, or one no table knows, with
    values of every kind a signal file may hold."""
    metric = rng.choice([*_vocabulary.FAMILY_METRICS[family], "unlisted_metric", "gr\u00f6\u00dfe \U0001f680"])

    def number():
        return rng.choice([rng.randint(-5, 500), round(rng.uniform(-2, 300), rng.randint(0, 6)),
                           rng.choice([0, 0.0, 1, 1.0, 2.5, 1e-7, 10**20, math.nan, math.inf])])

    baseline = {"mean": number(), "stddev": abs(number())}
    if rng.random() < 0.7:
        baseline.update(median=number(), mad=rng.choice([0, 0.0, 1.5, None, number()]))
    record = signal(metric, number(), baseline, engine=family, degenerate=rng.random() < 0.1,
                    status=rng.choice(["sufficient", "sufficient", "accumulating", ""]), size=rng.randint(5, 50),
                    event_ref=rng.choice([f"{family}-{i:05d}", "\u00e9v\u00e9nement", None]))
    if rng.random() < 0.05:
        del record["event_ref"]
    return record


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_reference_writes_the_same_bytes(workspace, seed):
    rng = random.Random(seed)
    families = rng.sample([family for family, _ in FAMILY_FILES], 6)
    for family in families:
        write_signals(workspace, family, [random_signal(rng, family, i) for i in range(rng.randint(0, 120))])
    returned = explstage.Phase3Engine(workspace).run()
    path = workspace / "phase3" / "explanations.json"
    written = path.read_bytes()
    path.unlink()
    times = iter(record["generated_at"] for record in returned)
    expected = reference.run(workspace, clock=lambda: next(times))
    # Line by line, so that a failure shows the first line that differs.
    assert path.read_bytes().splitlines() == written.splitlines()
    assert path.read_bytes() == written
    assert json.dumps(expected) == json.dumps(returned)


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

    def test_write_asks_once_per_distinct_question_and_writes_what_run_writes(self, tmp_path):
        write_signals(tmp_path, "ci", [
            signal("run_duration", 3, {"mean": 2.0}),
            signal("run_duration", 3, {"mean": 2.0}),
            signal("run_duration", 3.0, {"mean": 2.0}),  # 3.0 is not 3 to the helper
            signal("run_duration", 3, {"mean": 2}),
            signal("run_duration", 1, {"mean": 2.0}),
        ])
        helper = """
            CALLS = []
            def relative_change(current, baseline):
                CALLS.append(["relative_change", repr(current), repr(baseline)])
                return f"{current!r} against {baseline!r}"
            def metric_insight(metric, direction):
                CALLS.append(["metric_insight", metric, direction])
                return direction
        """
        script = """
            import re
            from varnel import explstage
            returned = [r["summary"] for r in explstage.Phase3Engine(WS).run()]
            del helper.CALLS[:]
            count = explstage.Phase3Engine(WS).write()
            written = json.loads((WS / "phase3" / "explanations.json").read_text())
            print(json.dumps([count, returned, [r["summary"] for r in written], helper.CALLS]))
        """
        done = run_with_helper(helper, script, tmp_path)
        assert done.returncode == 0, done.stderr
        count, returned, written, calls = json.loads(done.stdout.splitlines()[-1])
        assert count == 5 and written == returned
        assert returned[2] == "This CI build took 3.0 seconds \u2014 3.0 against 2.0. up"
        assert calls == [
            ["relative_change", "3", "2.0"], ["metric_insight", "run_duration", "up"],
            ["relative_change", "3.0", "2.0"], ["relative_change", "3", "2"],
            ["relative_change", "1", "2.0"], ["metric_insight", "run_duration", "down"],
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
