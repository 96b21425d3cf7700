"""The advisory run through varnel.advstage: files byte for byte against the
reference model, the run results and the failure cases."""

import json
import re
from pathlib import Path

import pytest

import phase5_reference as reference
from advstage_helpers import family_event, git_event, read_outputs, rich_workspace, signal, write_workspace
from varnel.accepted import AcceptedDeviations
from varnel.advstage import Phase5Engine
from helpers import same

TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z\Z")


def run_and_compare(ws: Path, scope="demo-repo", earlier=(), **engine_args):
    """Runs the engine and checks its files and result against the reference model;
    `earlier` names files of an earlier run that must be left as they were."""
    result = Phase5Engine(ws, **engine_args).run(scope)
    advisory = result["advisory"]
    generated_at = advisory["generated_at"] if advisory else ""
    files, expected = reference.run(ws, scope, generated_at, AcceptedDeviations(ws),
                                    engine_args.get("significance_threshold", 1.5))
    written = read_outputs(ws)
    assert {name: written[name] for name in files if name in written} == files
    assert set(written) == set(files) | set(earlier)
    assert same(result, expected)
    return result


class TestByteExactRuns:
    def test_normal_workspace(self, tmp_path):
        result = run_and_compare(rich_workspace(tmp_path))
        advisory = result["advisory"]
        assert TIMESTAMP.match(advisory["generated_at"])
        assert advisory["period"] == {"from": "2026-03-01T10:00:00Z", "to": "2026-03-03T12:00:00Z"}
        assert list(result) == ["status", "advisory", "formats", "human_summary", "chat_format",
                                "investigation_prompt"]
        assert result["formats"]["chat"] == str(tmp_path / "phase5" / "chat.txt")
        text = (tmp_path / "phase5" / "advisory.json").read_text(encoding="utf-8")
        assert "\\u2014" in text and "\u2014" not in text and not text.endswith("\n")

    def test_all_changes_accepted_writes_the_all_clear(self, tmp_path):
        ws = rich_workspace(tmp_path)
        (ws / "phase5").mkdir()
        (ws / "phase5" / "chat.txt").write_text("from an earlier run", encoding="utf-8")
        accepted = AcceptedDeviations(ws)
        for family, metric in [("git", "files_touched"), ("git", "dispersion"), ("git", "change_locality"),
                               ("ci", "run_duration"), ("testing", "total_tests"), ("testing", "skip_rate"),
                               ("dependency", "dependency_count"), ("security", "vulnerability_count")]:
            accepted.accept(family, metric, "intended", "ana")
        result = run_and_compare(ws, earlier=["chat.txt"])
        assert result["human_summary"] == "All clear \u2014 8 accepted deviation(s), no new issues detected."
        assert "evidence" not in result["advisory"] and result["advisory"]["status"] == "all_clear"
        assert list(result["formats"]) == ["json", "human"]
        assert (ws / "phase5" / "chat.txt").read_text(encoding="utf-8") == "from an earlier run"
        assert not (ws / "phase5" / "investigation_prompt.txt").exists()

    def test_one_accepted_change_drops_patterns_about_it_alone(self, tmp_path):
        ws = rich_workspace(tmp_path)
        AcceptedDeviations(ws).accept("testing", "total_tests", "suite split in two", "ana")
        result = run_and_compare(ws)
        summary = result["advisory"]["summary"]
        assert summary["accepted_changes"] == 1 and summary["accepted_metrics"] == ["testing/total_tests"]
        descriptions = [m["description"] for m in result["advisory"]["pattern_matches"]]
        assert "test count drops" not in descriptions and "Big commits make builds slow." in descriptions
        assert "(1 accepted \u2014 filtered: testing/total_tests)." in result["human_summary"]

    def test_unrelated_knowledge_stays_when_nothing_is_accepted(self, tmp_path):
        result = run_and_compare(rich_workspace(tmp_path))
        assert "test count drops" in [m["description"] for m in result["advisory"]["pattern_matches"]]

    def test_no_significant_changes_writes_nothing(self, tmp_path):
        ws = write_workspace(tmp_path, events=[git_event("g1", "c1", "2026-01-01T00:00:00Z", ["a"])],
                             signals=[signal("git", "files_touched", 1.49, "g1"),
                                      signal("git", "dispersion", 8.0, "g1", degenerate=True)])
        result = Phase5Engine(ws).run()
        assert result == {"status": "no_significant_changes", "advisory": None}
        assert read_outputs(ws) == {}

    def test_no_signals_at_all(self, tmp_path):
        (tmp_path / "phase2").mkdir()
        (tmp_path / "phase2" / "ci_signals.json").write_text("[]", encoding="utf-8")
        assert Phase5Engine(tmp_path).run() == {"status": "no_signals", "advisory": None}
        assert read_outputs(tmp_path) == {}

    def test_a_higher_threshold_and_an_unchanged_rerun(self, tmp_path):
        ws = rich_workspace(tmp_path)
        first = run_and_compare(ws, significance_threshold=3)
        assert [c["metric"] for c in first["advisory"]["changes"]] == ["run_duration", "files_touched"]
        evidence = json.loads((ws / "phase5" / "evidence.json").read_text(encoding="utf-8"))
        second = Phase5Engine(ws, 3).run("demo-repo")["advisory"]
        assert second["advisory_id"] == first["advisory"]["advisory_id"]
        assert second["evidence"]["evidence_id"] == evidence["evidence_id"]


class TestRunRules:
    def test_strongest_change_per_metric_and_latest_deviation(self, tmp_path):
        ws = write_workspace(tmp_path, events=[
            git_event("g1", "c1", "2026-01-01T00:00:00Z", ["a"]),
            git_event("g2", "c2", "2026-01-02T00:00:00Z", ["a", "b"]),
            git_event("g3", "c3", "2026-01-03T00:00:00Z", ["c"]),
        ], signals=[signal("git", "files_touched", 2.5, "g1"), signal("git", "files_touched", -3.1, "g2"),
                    signal("git", "files_touched", 0.404, "g3", observed=2)])
        (change,) = run_and_compare(ws)["advisory"]["changes"]
        assert change["deviation_stddev"] == -3.1 and change["event_ref"] == "g2"
        assert list(change)[-4:] == ["latest_deviation", "latest_value", "latest_event_ref", "is_latest_event"]
        assert (change["latest_deviation"], change["latest_value"], change["latest_event_ref"],
                change["is_latest_event"]) == (0.4, 2, "g3", False)

    def test_change_without_event_and_grouping(self, tmp_path):
        ws = write_workspace(tmp_path, events=[git_event("g1", "c1", "2026-01-01T00:00:00Z", ["a"])],
                             signals=[signal("git", "files_touched", 2.0, "g1"),
                                      signal("ci", "run_duration", 9.0, "missing"),
                                      signal("coverage", "line_rate", -12.0, "")])
        advisory = run_and_compare(ws)["advisory"]
        missing = next(c for c in advisory["changes"] if c["metric"] == "run_duration")
        assert (missing["trigger_commit"], missing["observed_at"], missing["trigger_files"]) == ("", "", [])
        assert [g["event_ref"] for g in advisory["event_groups"]] == ["missing", "g1", None]
        assert advisory["period"] == {"from": "2026-01-01T00:00:00Z", "to": "2026-01-01T00:00:00Z"}

    def test_period_falls_back_to_the_run_time(self, tmp_path):
        ws = write_workspace(tmp_path, signals=[signal("ci", "run_duration", 9.0, "nowhere")])
        advisory = run_and_compare(ws)["advisory"]
        assert advisory["period"] == {"from": advisory["generated_at"], "to": advisory["generated_at"]}

    def test_null_trigger_and_null_times_read_as_empty(self, tmp_path):
        events = [family_event("ci1", "ci", "github_actions", None, None, timing={"created_at": None}),
                  family_event("t1", "testing", "junit_xml", "2026-01-02T00:00:00Z", None,
                               cases=[{"name": "t", "status": "failed"}]),
                  {"event_id": "e1", "source_type": "sentry", "source_family": "error_tracking", "observed_at": None,
                   "payload": None}]
        for ev in events[:2]:
            ev["payload"]["trigger"] = None
        ws = write_workspace(tmp_path, events=events,
                             signals=[signal("ci", "run_duration", 5.0, "ci1"),
                                      signal("testing", "total_tests", -4.0, "t1"),
                                      signal("ci", "run_failed", 3.0, "e1")])
        advisory = run_and_compare(ws)["advisory"]
        assert [t["timestamp"] for t in advisory["evidence"]["timeline"]] == ["", "", "2026-01-02T00:00:00Z"]
        assert advisory["evidence"]["tests_impacted"][0]["since_commit"] == ""
        assert all(c["trigger_commit"] == "" and c["observed_at"] in ("", "2026-01-02T00:00:00Z")
                   for c in advisory["changes"])

    def test_the_accepted_store_is_asked_in_context(self, tmp_path):
        ws = rich_workspace(tmp_path)
        calls = []

        class Recorder:
            def cleanup_expired(self, current_advisory_id=None):
                calls.append(("cleanup", current_advisory_id))

            def is_accepted_in_context(self, family, metric, commit_sha=None, event_date=None, commit_list=None):
                calls.append((family, metric, commit_sha, event_date, commit_list))
                return metric == "run_duration"

        result = Phase5Engine(ws, accepted=Recorder()).run("demo-repo")
        assert calls[0] == ("cleanup", "")
        assert calls[1][:4] == ("ci", "run_duration", "c2bbbbbbbbbbbbbbbb", "2026-03-02T09:05:00Z")
        assert calls[1][4] == ["c1aaaaaaaaaaaaaaaa", "c2bbbbbbbbbbbbbbbb", "c2bbbbbbbbbbbbbbbb", "c2bbbbbbbbbbbbbbbb",
                               "c3cccccccccccccccc", "c3cccccccccccccccc"]
        assert len(calls) == 1 + 8 and all(c[4] is calls[1][4] for c in calls[1:])
        assert result["advisory"]["summary"]["accepted_metrics"] == ["ci/run_duration"]


class TestFailures:
    def test_a_damaged_input_fails_before_anything_is_written(self, tmp_path):
        ws = rich_workspace(tmp_path)
        (ws / "phase3" / "explanations.json").write_text("[{", encoding="utf-8")
        with pytest.raises(json.JSONDecodeError):
            Phase5Engine(ws).run()
        assert read_outputs(ws) == {}

    def test_a_significant_signal_without_baseline_fails(self, tmp_path):
        broken = signal("ci", "run_duration", 5.0, "e1")
        del broken["baseline"]
        ws = write_workspace(tmp_path, signals=[broken])
        with pytest.raises(KeyError, match="baseline"):
            Phase5Engine(ws).run()

    def test_scope_must_be_text(self, tmp_path):
        with pytest.raises(TypeError):
            Phase5Engine(tmp_path).run(7)

    def test_an_unwritable_output_keeps_earlier_files_whole(self, tmp_path):
        ws = rich_workspace(tmp_path)
        Phase5Engine(ws).run("first")
        before = read_outputs(ws)
        (ws / "phase5" / "chat.txt").unlink()
        (ws / "phase5" / "chat.txt").mkdir()
        with pytest.raises(OSError):
            Phase5Engine(ws).run("second")
        after = {p.name for p in (ws / "phase5").iterdir()}
        assert after == set(before)
        assert json.loads((ws / "phase5" / "advisory.json").read_text(encoding="utf-8"))["scope"] == "second"
        assert (ws / "phase5" / "investigation_prompt.txt").read_text(encoding="utf-8") == \
            before["investigation_prompt.txt"]


class TestEventRefs:
    @staticmethod
    def split(tmp_path):
        """A rich workspace, the events kept, and a copy whose signal files hold only their signals."""
        import shutil

        whole = rich_workspace(tmp_path / "whole")
        signals = [s for f in sorted((whole / "phase2").glob("*.json")) for s in json.loads(f.read_text())]
        refs = sorted({s["event_ref"] for s in signals})
        kept = frozenset(refs[: max(1, len(refs) // 2)])
        only = tmp_path / "only"
        shutil.copytree(whole, only)
        for f in (only / "phase2").glob("*.json"):
            f.write_text(json.dumps([s for s in json.loads(f.read_text()) if s["event_ref"] in kept], indent=2))
        return whole, kept, only

    @staticmethod
    def outputs(ws, result):
        stamp = result["advisory"]["generated_at"]
        return {name: text.replace(stamp, "<now>") for name, text in read_outputs(ws).items()}

    def test_a_run_over_some_events_equals_a_run_over_only_their_signals(self, tmp_path):
        whole, kept, only = self.split(tmp_path)
        full = Phase5Engine(whole).run("demo-repo")["advisory"]
        for refs in (kept, set(kept), sorted(kept)):
            windowed = Phase5Engine(whole).run("demo-repo", event_refs=refs)
            filtered = Phase5Engine(only).run("demo-repo")
            assert windowed["status"] == filtered["status"] == "complete"
            # The period comes from the kept events' times, not from the run's
            # clock, so the advisory ids must agree as well.
            assert windowed["advisory"]["period"]["from"] != windowed["advisory"]["generated_at"]
            assert windowed["advisory"]["advisory_id"] == filtered["advisory"]["advisory_id"]
            assert self.outputs(whole, windowed) == self.outputs(only, filtered)
        assert windowed["advisory"]["changes"] != full["changes"]

    def test_verify_runs_over_the_same_events(self, tmp_path):
        whole, kept, only = self.split(tmp_path)
        previous = tmp_path / "previous.json"
        previous.write_text(json.dumps(Phase5Engine(whole).run("demo-repo")["advisory"]), encoding="utf-8")
        verified = Phase5Engine(whole).verify("demo-repo", str(previous), event_refs=kept)
        filtered = Phase5Engine(only).run("demo-repo")
        assert verified["status"] == "verified"
        assert verified["verification"]["after_advisory_id"] == filtered["advisory"]["advisory_id"]
        assert self.outputs(only, filtered) == {name: text for name, text in self.outputs(whole, verified).items()
                                                if not name.startswith("verification")}
        assert Phase5Engine(whole).verify("demo-repo", str(previous), event_refs=set())["status"] == "no_current_data"

    def test_no_event_kept_is_no_signals(self, tmp_path):
        ws = rich_workspace(tmp_path)
        for refs in (set(), [], ["no-such-event"]):
            assert Phase5Engine(ws).run("demo-repo", event_refs=refs) == {"status": "no_signals", "advisory": None}
        assert read_outputs(ws) == {}

    def test_event_refs_are_checked(self, tmp_path):
        ws = rich_workspace(tmp_path)
        for wrong in (3, "g1", [1], ["g1", None]):
            with pytest.raises(TypeError):
                Phase5Engine(ws).run("demo-repo", event_refs=wrong)
            with pytest.raises(TypeError):
                Phase5Engine(ws).verify("demo-repo", str(tmp_path / "none.json"), event_refs=wrong)
        with pytest.raises(TypeError):
            Phase5Engine(ws).run("demo-repo", ["g1"])  # keyword only
        assert read_outputs(ws) == {}
