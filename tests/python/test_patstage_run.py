"""Phase4Engine as a host drives it: construction, parameters, the knowledge
base it owns, run() through its fast path and discovery, promotion, decay,
the summary file and failures."""

import json
import sqlite3

import pytest

import varnel.patstage as patstage
from patstage_helpers import (COUNTERS, co_moving_workspace, git_event, presence_workspace, signal, stored_pattern,
                              triggered_event, write_workspace)
from varnel.lorekeep import KnowledgeStoreBase, SQLiteKnowledgeStore
from varnel.patstage import DEFAULT_PARAMS, Phase4Engine

OPERATIONS = ["create_pattern", "get_pattern", "get_pattern_by_fingerprint", "update_pattern", "increment_pattern",
              "list_patterns", "create_knowledge", "get_knowledge", "get_knowledge_by_fingerprint", "list_knowledge",
              "get_pattern_signals", "get_pattern_history", "get_decayed_patterns", "expire_pattern"]


class TestConstruction:
    def test_parameters_overlay_the_defaults(self, tmp_path, engine_for):
        assert engine_for(tmp_path).params == DEFAULT_PARAMS
        assert engine_for(tmp_path, {}).params == DEFAULT_PARAMS
        params = engine_for(tmp_path, {"min_support": 3, "extra": "kept"}).params
        assert params == {**DEFAULT_PARAMS, "min_support": 3, "extra": "kept"} and list(params)[-1] == "extra"
        params["min_support"] = 99  # a copy
        assert engine_for(tmp_path, {"min_support": 3}).params["min_support"] == 3

    @pytest.mark.parametrize("bad", [{"min_support": 0}, {"min_support": 0.5}, {"confidence_full_at": 0},
                                     {"temporal_window_hours": -1}, {"temporal_window_hours": float("nan")},
                                     {"decay_window": 1.5}])
    def test_parameters_that_cannot_work_are_refused(self, tmp_path, bad):
        with pytest.raises(ValueError):
            Phase4Engine(tmp_path / "ws", bad)
        assert not (tmp_path / "ws").exists()

    def test_parameters_must_be_numbers(self, tmp_path):
        with pytest.raises(TypeError):
            Phase4Engine(tmp_path, {"min_lift": "2"})
        with pytest.raises(TypeError):
            Phase4Engine(tmp_path, ["not", "a", "map"])


class TestKnowledgeBase:
    def test_close_closes_the_store(self, tmp_path):
        engine = Phase4Engine(tmp_path)
        engine.close()
        with pytest.raises(sqlite3.ProgrammingError):
            engine.kb.list_patterns()

    def test_a_python_backend_is_driven_through_the_interface(self, tmp_path, monkeypatch):
        calls = []

        class Recording(KnowledgeStoreBase):
            """Forwards every operation to a SQLite store, noting its name."""

            def __init__(self, db_path):
                super().__init__()
                self.inner = SQLiteKnowledgeStore(db_path)

        def forward(name):
            def call(self, *args):
                calls.append(name)
                return getattr(self.inner, name)(*args)
            return call

        for name in OPERATIONS:
            setattr(Recording, name, forward(name))
        monkeypatch.setattr(patstage, "SQLiteKnowledgeStore", Recording)
        engine = Phase4Engine(co_moving_workspace(tmp_path))
        assert engine.run()["patterns_discovered"] == 1
        assert calls[:2] == ["get_knowledge_by_fingerprint", "get_pattern_by_fingerprint"]  # the batch lookup
        assert {"create_pattern", "get_decayed_patterns", "list_knowledge"} <= set(calls)
        engine.kb.inner.close()

    def test_a_store_class_that_is_no_knowledge_base_is_refused(self, tmp_path, monkeypatch):
        monkeypatch.setattr(patstage, "SQLiteKnowledgeStore", lambda path: object())
        with pytest.raises(TypeError):
            Phase4Engine(tmp_path)


class TestRun:
    def test_no_signals(self, tmp_path, engine_for):
        engine = engine_for(tmp_path)
        assert engine.run() == {"status": "no_signals", "patterns_discovered": 0, "patterns_recognized": 0}
        assert not (tmp_path / "phase4" / "phase4_summary.json").exists()
        assert engine.kb.get_pattern_history("anything") == []

    def test_signals_that_do_not_move_still_discover(self, tmp_path, engine_for):
        root = co_moving_workspace(tmp_path)
        engine = engine_for(root, {"direction_threshold": 100.0, "min_lift": 0.0})
        result = engine.run()
        assert (result["deviating_signals"], result["batch_fingerprint"]) == (0, None)

    def test_a_rerun_over_the_same_events_counts_nothing_again(self, tmp_path, engine_for):
        root = co_moving_workspace(tmp_path)
        first = engine_for(root).run()
        assert first["patterns_discovered"] == 1
        pattern_id = first["details"][0]["pattern_id"]
        before = engine_for(root).kb.get_pattern(pattern_id)
        for _ in range(3):  # a CI re-run, a verify, a scheduled job: no new commit
            again = engine_for(root).run()
            assert [again[c] for c in COUNTERS] == [0, 0, 0, 0, 0, 0, 0] and again["details"] == []
        engine = engine_for(root)
        assert engine.kb.get_pattern(pattern_id) == before and engine.kb.list_knowledge() == []
        assert [h["action"] for h in engine.kb.get_pattern_history(pattern_id)] == ["created"]

    def test_a_run_over_new_events_counts_only_what_rests_on_them(self, tmp_path, engine_for):
        root = co_moving_workspace(tmp_path)
        engine_for(root).run()
        quiet = co_moving_workspace(tmp_path, commits=24)  # four new commits, nothing moves on them
        assert engine_for(quiet).run()["patterns_incremented"] == 0
        events, signals = [], []
        for i in range(24, 27):  # three more, moving together again
            sha = f"{i:040x}"
            events += [git_event(f"g{i}", sha, observed_at=f"2024-06-{i - 20:02d}T10:00:00Z"),
                       triggered_event(f"c{i}", "ci", sha, observed_at=f"2024-06-{i - 20:02d}T10:00:00Z")]
        moved = json.loads((root / "phase2" / "git_signals.json").read_text())
        builds = json.loads((root / "phase2" / "ci_signals.json").read_text())
        moved += [signal("git", "files_touched", f"g{i}", 3.0) for i in range(24, 27)]
        builds += [signal("ci", "run_duration", f"c{i}", 3.0) for i in range(24, 27)]
        for offset, event in enumerate(events):
            (root / "events" / f"new-{offset}.json").write_text(json.dumps(event))
        (root / "phase2" / "git_signals.json").write_text(json.dumps(moved))
        (root / "phase2" / "ci_signals.json").write_text(json.dumps(builds))
        counted = engine_for(root).run()
        # Ten co-deviations were its first count; the occurrence on new events promotes it (no detail).
        assert (counted["patterns_incremented"], counted["patterns_promoted"], counted["knowledge_artifacts"]) == (
            1, 1, 1)
        assert engine_for(root).run()["patterns_incremented"] == 0

    def test_new_events_of_another_family_count_nothing_for_a_presence_pattern(self, tmp_path, engine_for):
        root = presence_workspace(tmp_path, [10, 12, 14, 11, 13], [5, 5, 6, 4, 5, 6])
        params = {"min_support": 3}
        found = engine_for(root, params).run()
        presence = [d["pattern_id"] for d in found["details"] if "dependency_presence" in d["metrics"]]
        assert presence
        tests = [signal("testing", "failed_count", f"t{i}", 0.1) for i in range(3)]  # reports of old commits
        for i in range(3):
            (root / "events" / f"test-report-{i}.json").write_text(json.dumps(
                triggered_event(f"t{i}", "testing", f"{i:040x}", observed_at="")))
        (root / "phase2" / "testing_signals.json").write_text(json.dumps(tests))
        before = engine_for(root, params).kb.get_pattern(presence[0])
        engine = engine_for(root, params)
        engine.run()
        assert engine.kb.get_pattern(presence[0]) == before

    def test_a_knowledge_base_from_before_the_counted_events_counts_nothing_again(self, tmp_path, engine_for):
        import sqlite3

        root = co_moving_workspace(tmp_path)
        pattern_id = engine_for(root).run()["details"][0]["pattern_id"]
        with sqlite3.connect(root / "phase4" / "knowledge.db") as db:  # as an earlier version left it
            db.execute("DROP TABLE counted_events")
        db.close()
        before = engine_for(root).kb.get_pattern(pattern_id)
        assert engine_for(root).run()["patterns_incremented"] == 0
        assert engine_for(root).kb.get_pattern(pattern_id) == before
        assert engine_for(root).run()["patterns_incremented"] == 0  # the list is complete now

    def test_same_metrics_other_directions_count_as_the_stored_pattern(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        kept = stored_pattern(engine, fingerprint="other-directions", occurrence_count=1)
        result = engine.run()
        assert (result["patterns_discovered"], result["patterns_incremented"]) == (0, 1)
        assert engine.kb.get_pattern(kept["pattern_id"])["occurrence_count"] == 2

    def test_a_community_record_of_the_same_fingerprint_leaves_local_learning_unchanged(self, tmp_path,
                                                                                        engine_for):
        by_itself = engine_for(co_moving_workspace(tmp_path / "alone"))
        alone = by_itself.run()
        fingerprint = alone["details"][0]["fingerprint"]
        own = by_itself.kb.get_pattern_by_fingerprint(fingerprint)
        engine = engine_for(co_moving_workspace(tmp_path / "member"))
        shared = stored_pattern(engine, fingerprint=fingerprint, scope="community", repo_count=5, occurrence_count=7)
        member = engine.run()
        # The member discovers and keeps its own pattern, as alone; the fleet's record is not counted against.
        assert [member[c] for c in COUNTERS] == [alone[c] for c in COUNTERS]
        assert [d["fingerprint"] for d in member["details"]] == [d["fingerprint"] for d in alone["details"]]
        assert engine.kb.get_pattern(shared["pattern_id"]) == shared
        local = engine.kb.get_pattern_by_fingerprint(fingerprint, scope="local")
        assert local["occurrence_count"] == own["occurrence_count"] and local["pattern_id"] == own["pattern_id"]

    def test_a_failed_run_leaves_the_earlier_summary(self, tmp_path, engine_for):
        root = co_moving_workspace(tmp_path)
        engine_for(root).run()
        summary = (root / "phase4" / "phase4_summary.json").read_text(encoding="utf-8")
        (root / "phase2" / "ci_signals.json").write_text("[{", encoding="utf-8")
        with pytest.raises(json.JSONDecodeError):
            engine_for(root).run()
        (root / "phase2" / "ci_signals.json").write_text("[]", encoding="utf-8")
        (root / "phase3" / "explanations.json").write_text('[{"signal_ref": "g1"', encoding="utf-8")
        with pytest.raises(json.JSONDecodeError):
            engine_for(root).run()
        (root / "phase3" / "explanations.json").write_text('{"not": "a list"}', encoding="utf-8")
        with pytest.raises(TypeError):
            engine_for(root).run()
        assert (root / "phase4" / "phase4_summary.json").read_text(encoding="utf-8") == summary

    def test_a_signal_with_a_measure_needs_its_key(self, tmp_path, engine_for):
        broken = signal("git", "files_touched", "g1", 3.0)
        del broken["metric"]
        root = write_workspace(tmp_path, signals=[signal("git", "lines", "g0", 0.1), broken])
        with pytest.raises(KeyError, match="metric"):
            engine_for(root).run()


class TestDecay:
    def test_run_reports_expiries(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        stored_pattern(engine, fingerprint="b", last_seen="2000-01-01T00:00:00Z", sources=["x"], metrics=["y"])
        assert engine.run()["patterns_expired"] == 1


