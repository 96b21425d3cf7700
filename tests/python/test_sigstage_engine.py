"""The signal engine through its host interface: signal files byte for byte,
the runners' rules, bad input, and the parallel run."""

import _thread
import contextlib
import errno
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import phase2_reference as ref
from sigstage_helpers import GIT_METRICS, git_event, git_metrics, write_events
from varnel import sigstage
from helpers import same

FAMILY_KEYS = [f for f, _, _ in ref.FAMILIES]


def signal_text(root, family):
    path = Path(root) / "phase2" / f"{family}_signals.json"
    return path.read_text(encoding="utf-8") if path.exists() else None


# ---- generated workspaces -------------------------------------------------

maybe_number = st.one_of(
    st.integers(min_value=-5, max_value=500),
    st.floats(min_value=0, max_value=1000, allow_nan=False).map(lambda x: round(x, 3)),
    st.none(),
    st.just(float("nan")),
)
count = st.one_of(st.integers(min_value=0, max_value=60), st.floats(min_value=0, max_value=60, allow_nan=False))


def optional_fields(**fields):
    """A dict holding any subset of the given fields."""
    return st.fixed_dictionaries({}, optional=fields)


payloads = {
    "ci": optional_fields(
        timing=optional_fields(duration_seconds=maybe_number),
        conclusion=st.sampled_from(["success", "failure", "cancelled"]),
        status=st.sampled_from(["completed", "failure"]),
    ),
    "testing": optional_fields(
        summary=optional_fields(total=count, failed=count, skipped=count),
        execution=optional_fields(duration_seconds=maybe_number),
    ),
    "coverage": optional_fields(line_rate=maybe_number, branch_rate=maybe_number),
    "dependency": optional_fields(
        ecosystem=st.sampled_from(["npm", "pip", "go", "cargo", "bundler", "NPM"]),
        snapshot=optional_fields(total_count=maybe_number, max_depth=maybe_number),
    ),
    "schema": optional_fields(
        structure=optional_fields(endpoint_count=count, type_count=maybe_number, field_count=maybe_number),
        diff=optional_fields(endpoints_added=count, endpoints_removed=count, fields_added=count,
                             fields_removed=count, types_added=count, types_removed=count),
    ),
    "deployment": optional_fields(
        is_prerelease=st.sampled_from([True, False, None, 0, 1, "", "yes"]),
        asset_count=maybe_number,
        timing=optional_fields(since_previous_seconds=st.one_of(st.none(), count)),
    ),
    "config": optional_fields(
        structure=optional_fields(resource_count=maybe_number, resource_types=maybe_number),
        diff=optional_fields(resources_added=count, resources_removed=count, resources_modified=count),
    ),
    "security": optional_fields(
        summary=optional_fields(total=count, critical=maybe_number),
        findings=st.lists(optional_fields(fixed_version=st.sampled_from(["1.2", "", None, 0])), max_size=5),
    ),
    "error_tracking": optional_fields(
        stats=optional_fields(event_count=maybe_number, user_count=maybe_number),
        is_unhandled=st.sampled_from([True, False, None, 1]),
    ),
}
paths = st.sampled_from(["src/a.py", "src/b.py", "docs/x.md", "README.md", "/abs/p", "./lib/c.c", "", ".",
                         "tests/t\u00e9st.py", "src/\U0001f600.rs"])
stamps = st.sampled_from(["2026-01-01T00:00:00Z", "2026-01-02T00:00:00Z", "2026-01-03T00:00:00Z",
                          "2026-01-03T12:00:00Z", "2026-02-01T00:00:00Z"])


@st.composite
def workspaces(draw):
    events = {}
    for i in range(draw(st.integers(min_value=0, max_value=40))):
        family = draw(st.sampled_from(FAMILY_KEYS))
        event = {"event_id": f"ev-{i}-\u00e9"}
        if draw(st.booleans()) or family != "git":
            event["observed_at"] = draw(stamps)
        if family == "git":
            event["source_type"] = "git"
            event["payload"] = {"files": draw(st.lists(paths, max_size=8))}
        else:
            event["source_family"] = family
            event["payload"] = draw(payloads[family])
        events[f"{draw(st.integers(min_value=0, max_value=99)):02d}-{i}.json"] = event
    return events


class TestGeneratedWorkspaces:
    @settings(max_examples=300)
    @given(workspaces(), st.integers(min_value=1, max_value=6), st.integers(min_value=1, max_value=6))
    def test_signal_files_match_reference(self, events, window, minimum):
        with tempfile.TemporaryDirectory() as root:
            write_events(root, events)
            expected = ref.run_all(root, window, minimum)
            engine = sigstage.Phase2Engine(root, window_size=window, min_baseline=minimum)
            result = engine.run_all()
            assert list(result) == FAMILY_KEYS
            for family, (signals, text) in expected.items():
                assert same(result[family], signals), family
                assert signal_text(root, family) == text, family
            parallel = engine.run_all_parallel(3)
            assert sorted(parallel) == sorted(FAMILY_KEYS)
            for family in FAMILY_KEYS:
                assert same(parallel[family], result[family])
                assert same(getattr(engine, f"run_{family}")(), result[family])


# ---- documented behaviour ---------------------------------------------------

def ci_event(i, duration, **extra):
    return {"source_family": "ci", "event_id": f"c{i}", "observed_at": f"2026-01-{i + 1:02d}",
            "payload": {"timing": {"duration_seconds": duration}, **extra}}


class TestWindowRules:
    def test_gate_opens_after_min_baseline_events(self, tmp_path):
        write_events(tmp_path, {f"{i}.json": ci_event(i, 100 + i) for i in range(5)})
        engine = sigstage.Phase2Engine(tmp_path)
        assert engine.run_ci() == []
        write_events(tmp_path, {"5.json": ci_event(5, 400)})
        signals = engine.run_ci()
        assert [s["metric"] for s in signals] == ["run_duration", "run_failed"]
        assert signals[0]["confidence"] == {"sample_count": 5, "status": "accumulating"}
        assert signals[0]["event_ref"] == "c5"

    def test_sufficient_only_with_a_full_window(self, tmp_path):
        write_events(tmp_path, {f"{i:03d}.json": ci_event(i, 100 + i % 7) for i in range(52)})
        signals = sigstage.Phase2Engine(tmp_path).run_ci()
        durations = [s for s in signals if s["metric"] == "run_duration"]
        statuses = [s["confidence"]["status"] for s in durations]
        assert statuses.count("sufficient") == 2 and statuses[-1] == "sufficient"
        assert durations[-1]["confidence"]["sample_count"] == 50

    def test_null_metrics_count_for_the_gate_not_the_history(self, tmp_path):
        events = {f"{i}.json": ci_event(i, None if i < 3 else 10 + i) for i in range(9)}
        write_events(tmp_path, events)
        durations = [s for s in sigstage.Phase2Engine(tmp_path).run_ci() if s["metric"] == "run_duration"]
        assert [s["event_ref"] for s in durations] == ["c8"]

    def test_zero_is_a_value_and_degenerate_measure_is_written_as_zero(self, tmp_path):
        events = {f"{i}.json": ci_event(i, 7) for i in range(5)}
        events["5.json"] = ci_event(5, 0)
        write_events(tmp_path, events)
        [duration, failed] = sigstage.Phase2Engine(tmp_path).run_ci()
        assert same(duration["deviation"], {"measure": 0.0, "unit": "degenerate", "degenerate": True})
        assert duration["observed"] == 0

    def test_min_baseline_above_window_never_signals(self, tmp_path):
        write_events(tmp_path, {f"{i}.json": ci_event(i, i) for i in range(20)})
        assert sigstage.Phase2Engine(tmp_path, window_size=3, min_baseline=4).run_ci() == []

    def test_event_without_id_and_non_ascii_text(self, tmp_path):
        events = {f"{i}.json": ci_event(i, 10 + i) for i in range(6)}
        del events["5.json"]["event_id"]
        events["4.json"]["event_id"] = "caf\u00e9 \U0001f600"
        write_events(tmp_path, events)
        engine = sigstage.Phase2Engine(tmp_path, min_baseline=4)
        assert [s["event_ref"] for s in engine.run_ci()][-1] == ""
        text = signal_text(tmp_path, "ci")
        assert text.isascii() and "caf\\u00e9 \\ud83d\\ude00" in text

    def test_missing_events_directory(self, tmp_path):
        result = sigstage.Phase2Engine(tmp_path / "ws").run_all()
        assert result == {key: [] for key in FAMILY_KEYS}
        assert sorted(os.listdir(tmp_path / "ws" / "phase2")) == ["git_signals.json"]
        assert signal_text(tmp_path / "ws", "git") == "[]"


class TestFamilyFormulas:
    def metrics(self, tmp_path, family, payloads, minimum=1):
        events = {f"{i}.json": {"source_family": family, "event_id": str(i), "observed_at": str(i), "payload": p}
                  for i, p in enumerate(payloads)}
        write_events(tmp_path, events)
        engine = sigstage.Phase2Engine(tmp_path, min_baseline=minimum)
        return {s["metric"]: s["observed"] for s in getattr(engine, f"run_{family}")()}

    def test_ci_conclusion_then_status(self, tmp_path):
        base = {"conclusion": "success"}
        assert self.metrics(tmp_path, "ci", [base, {"conclusion": "failure", "status": "completed"}])["run_failed"] == 1.0
        assert self.metrics(tmp_path, "ci", [base, {"status": "failure"}])["run_failed"] == 1.0
        assert self.metrics(tmp_path, "ci", [base, {}])["run_failed"] == 0.0

    def test_testing_rates_divide_by_at_least_one(self, tmp_path):
        got = self.metrics(tmp_path, "testing", [{}, {"summary": {"total": 0, "failed": 3}}])
        assert same(got["failure_rate"], 3.0) and same(got["total_tests"], 0)

    def test_dependency_depth_only_for_tree_ecosystems(self, tmp_path):
        assert self.metrics(tmp_path, "dependency", [{"ecosystem": "npm"}] * 2)["max_depth"] == 1
        assert "max_depth" not in self.metrics(tmp_path / "b", "dependency", [{}, {"ecosystem": "pip"}])

    def test_release_cadence_in_hours(self, tmp_path):
        got = self.metrics(tmp_path, "deployment", [{"timing": {"since_previous_seconds": 3600}},
                                                   {"timing": {"since_previous_seconds": 7200}}])
        assert same(got["release_cadence_hours"], 2.0)
        got = self.metrics(tmp_path / "b", "deployment", [{"timing": {"since_previous_seconds": None}}] * 2)
        assert "release_cadence_hours" not in got

    def test_fixable_ratio(self, tmp_path):
        findings = [{"fixed_version": "1.0"}, {"fixed_version": "2"}, {"fixed_version": "3"}, {"fixed_version": ""}]
        got = self.metrics(tmp_path, "security", [{}, {"summary": {"total": 4}, "findings": findings}])
        assert same(got["fixable_ratio"], 0.75)
        got = self.metrics(tmp_path / "b", "security", [{}, {"findings": findings[:1]}])
        assert same(got["fixable_ratio"], 1.0)

    def test_family_without_events_keeps_its_old_file(self, tmp_path):
        (tmp_path / "phase2").mkdir()
        (tmp_path / "phase2" / "ci_signals.json").write_text("old")
        assert sigstage.Phase2Engine(tmp_path).run_ci() == []
        assert signal_text(tmp_path, "ci") == "old"


class TestGitMetrics:
    def test_repeated_commit_is_local_and_not_novel(self, tmp_path):
        _, per_event = git_metrics(tmp_path, [["a/x", "b/y"], ["b/y", "a/x", "a/x"]])
        assert per_event[1] == dict(zip(GIT_METRICS, (2, 1.0, 1.0, 0.0)))

    def test_no_git_events_writes_an_empty_list(self, tmp_path):
        assert sigstage.Phase2Engine(tmp_path).run_git() == []
        assert signal_text(tmp_path, "git") == "[]"

    def test_git_signal_needs_an_event_id(self, tmp_path):
        events = {f"{i}.json": git_event(i, ["a"]) for i in range(3)}
        del events["2.json"]["event_id"]
        write_events(tmp_path, events)
        with pytest.raises(KeyError, match="event_id"):
            sigstage.Phase2Engine(tmp_path, min_baseline=1).run_git()


class TestBadInput:
    """Each bad input fails with a clear exception that names the file or field."""

    def run_ci(self, tmp_path, bad, good=3):
        events = {f"{i}.json": ci_event(i, 10 + i) for i in range(good)}
        events["x.json"] = bad
        write_events(tmp_path, events)
        return sigstage.Phase2Engine(tmp_path, min_baseline=1).run_ci()

    def test_not_utf8(self, tmp_path):
        with pytest.raises(UnicodeDecodeError, match="x.json"):
            self.run_ci(tmp_path, b'{"a": "\xff"}')

    def test_not_json(self, tmp_path):
        with pytest.raises(json.JSONDecodeError, match=r"x\.json: Expecting value: line 1 column 7"):
            self.run_ci(tmp_path, '{"a": }')

    def test_not_an_object(self, tmp_path):
        with pytest.raises(TypeError, match="x.json"):
            self.run_ci(tmp_path, "[1, 2]")

    def test_missing_payload(self, tmp_path):
        with pytest.raises(KeyError) as caught:
            self.run_ci(tmp_path, {"source_family": "ci", "observed_at": "2027"})
        assert str(caught.value) == "'payload'"

    def test_null_where_an_object_is_needed(self, tmp_path):
        with pytest.raises(TypeError, match=r"x\.json: payload\.timing must be an object"):
            self.run_ci(tmp_path, {"source_family": "ci", "observed_at": "2027", "payload": {"timing": None}})

    def test_text_or_boolean_where_a_number_is_needed(self, tmp_path):
        bad = {"source_family": "testing", "observed_at": "1", "payload": {"summary": {"total": "12"}}}
        write_events(tmp_path, {"x.json": bad})
        with pytest.raises(TypeError, match=r"payload\.summary\.total"):
            sigstage.Phase2Engine(tmp_path).run_testing()
        with pytest.raises(TypeError, match="bool"):
            self.run_ci(tmp_path / "b", ci_event(9, True))

    def test_mixed_observed_at_kinds(self, tmp_path):
        with pytest.raises(TypeError, match="'<' not supported"):
            self.run_ci(tmp_path, {"source_family": "ci", "observed_at": 5, "payload": {}})

    def test_nan_is_not_a_measurement(self, tmp_path):
        signals = self.run_ci(tmp_path, ci_event(9, float("nan")))
        assert [s["event_ref"] for s in signals if s["metric"] == "run_duration"] == ["c1", "c2"]

    def test_failed_run_leaves_the_previous_file(self, tmp_path):
        write_events(tmp_path, {f"{i}.json": ci_event(i, i) for i in range(7)})
        engine = sigstage.Phase2Engine(tmp_path)
        engine.run_ci()
        before = signal_text(tmp_path, "ci")
        write_events(tmp_path, {"9.json": ci_event(9, True)})
        with pytest.raises(TypeError):
            engine.run_ci()
        assert signal_text(tmp_path, "ci") == before
        assert sorted(os.listdir(tmp_path / "phase2")) == ["ci_signals.json"]

    def test_configuration_is_checked(self, tmp_path):
        with pytest.raises(ValueError):
            sigstage.Phase2Engine(tmp_path, window_size=0)
        with pytest.raises(ValueError):
            sigstage.Phase2Engine(tmp_path, min_baseline=0)
        with pytest.raises(ValueError, match="embedded null byte"):
            sigstage.Phase2Engine(str(tmp_path) + "\0junk")
        engine = sigstage.Phase2Engine(tmp_path)
        for bad in (0, -1):
            with pytest.raises(ValueError):
                engine.run_all_parallel(bad)
        with pytest.raises(TypeError):
            engine.run_all_parallel("4")
        assert engine.run_all_parallel(None) == engine.run_all_parallel(200)

    def test_a_huge_window_is_only_a_capacity(self, tmp_path):
        write_events(tmp_path, {f"{i}.json": ci_event(i, i) for i in range(7)})
        assert len(sigstage.Phase2Engine(tmp_path, window_size=2**62).run_ci()) == 4

    def test_failure_while_writing_keeps_the_old_file(self, tmp_path):
        """The disk refuses the new file halfway: the old one stays whole, no temporary is left."""
        write_events(tmp_path, {f"{i:03d}.json": ci_event(i % 28, i) for i in range(8)})
        engine = sigstage.Phase2Engine(tmp_path)
        engine.run_ci()
        before = signal_text(tmp_path, "ci")
        write_events(tmp_path, {f"{i:03d}.json": ci_event(i % 28, i) for i in range(8, 200)})
        script = (
            "import resource, signal, sys\n"
            "from varnel import sigstage\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            f"resource.setrlimit(resource.RLIMIT_FSIZE, ({len(before) + 100}, resource.RLIM_INFINITY))\n"
            "try:\n"
            "    sigstage.Phase2Engine(sys.argv[1]).run_ci()\n"
            "except OSError as e:\n"
            "    print(e.errno)\n"
        )
        done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True)
        assert done.stdout.strip().splitlines()[-1] == str(errno.EFBIG)
        assert signal_text(tmp_path, "ci") == before
        assert sorted(os.listdir(tmp_path / "phase2")) == ["ci_signals.json"]


class TestEngineSurface:
    def test_paths_and_settings(self, tmp_path):
        engine = sigstage.Phase2Engine(str(tmp_path / "ws"), window_size=7, min_baseline=2)
        assert engine.varnel_dir == tmp_path / "ws" and isinstance(engine.varnel_dir, Path)
        assert engine.events_path == tmp_path / "ws" / "events"
        assert engine.output_path == tmp_path / "ws" / "phase2" and engine.output_path.is_dir()
        assert (engine.window_size, engine.min_baseline) == (7, 2)


class TestParallelRun:
    def test_every_family_failing_prints_ten_lines(self, tmp_path):
        write_events(tmp_path, {"bad.json": "{"})
        engine = sigstage.Phase2Engine(tmp_path)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            result = engine.run_all_parallel()
        assert result == {key: [] for key in FAMILY_KEYS}
        lines = out.getvalue().splitlines()
        assert len(lines) == 10
        assert all(line.startswith("  [Phase 2] ") and " failed: " in line for line in lines)
        assert "  [Phase 2] git failed: " + str(bad_json_error(tmp_path)) in lines
        with pytest.raises(json.JSONDecodeError):
            engine.run_all()

    def test_failure_message_is_the_exception_text(self, tmp_path):
        write_events(tmp_path, {"x.json": {"source_family": "ci", "observed_at": "1"}})
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            result = sigstage.Phase2Engine(tmp_path).run_all_parallel(max_workers=1)
        assert out.getvalue() == "  [Phase 2] ci failed: 'payload'\n"
        assert list(result) == FAMILY_KEYS  # one worker finishes the families in table order

    def test_the_failed_families_are_kept_as_data(self, tmp_path):
        write_events(tmp_path, {"x.json": {"source_family": "ci", "observed_at": "1"}})
        engine = sigstage.Phase2Engine(tmp_path)
        with contextlib.redirect_stdout(io.StringIO()) as out:
            engine.run_all_parallel(max_workers=1)
        assert engine.failures == {"ci": "'payload'"}
        assert out.getvalue() == "".join(f"  [Phase 2] {f} failed: {e}\n" for f, e in engine.failures.items())
        for run in (engine.run_all, engine.run_ci):
            with pytest.raises(KeyError):
                run()
            assert engine.failures == {"ci": "'payload'"}
        assert engine.run_git() == [] and engine.failures == {}

    def test_interrupt_stops_the_run(self, tmp_path):
        """An interrupt while a worker is still reading ends the run without running the families."""
        write_events(tmp_path, {f"{i:03d}.json": ci_event(i % 28, i) for i in range(10)})
        fifo = tmp_path / "events" / "999-blocked.json"
        os.mkfifo(fifo)  # a reader blocks on it until something writes

        def interrupt_then_release():
            _thread.interrupt_main()
            time.sleep(0.3)
            with open(fifo, "w") as f:
                f.write(json.dumps(ci_event(99, 1)))

        # A shell that starts the tests in the background has them ignore SIGINT: Ctrl-C is what is tested.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        releaser = threading.Timer(0.2, interrupt_then_release)
        releaser.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                sigstage.Phase2Engine(tmp_path).run_all_parallel(2)
        finally:
            releaser.join()
            signal.signal(signal.SIGINT, previous)
        assert os.listdir(tmp_path / "phase2") == []  # no family ran


def bad_json_error(root):
    try:
        json.loads("{")
    except json.JSONDecodeError as e:
        return f"{Path(root) / 'events' / 'bad.json'}: {e}"
