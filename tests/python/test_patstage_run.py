"""Phase4Engine as a host drives it: construction, parameters, the knowledge
base it owns, run() through its fast path and discovery, promotion, decay,
the summary file and failures."""

import json
import logging
import sqlite3

import pytest

import varnel.patstage as patstage
from lorekeep_helpers import KNOWLEDGE_COLUMNS
from patstage_helpers import co_moving_workspace, git_event, signal, triggered_event, write_workspace
from varnel.lorekeep import KnowledgeStoreBase, SQLiteKnowledgeStore
from varnel.patstage import DEFAULT_PARAMS, SIGNAL_FILES, Phase4Engine, compute_fingerprint, signals_to_components

OPERATIONS = ["create_pattern", "get_pattern", "get_pattern_by_fingerprint", "update_pattern", "increment_pattern",
              "list_patterns", "create_knowledge", "get_knowledge", "get_knowledge_by_fingerprint", "list_knowledge",
              "get_pattern_signals", "get_pattern_history", "get_decayed_patterns", "expire_pattern"]
COUNTERS = ["patterns_recognized", "patterns_incremented", "patterns_discovered", "patterns_enriched",
            "patterns_promoted", "patterns_expired", "knowledge_artifacts"]


@pytest.fixture
def engine_for():
    made = []

    def make(root, params=None):
        engine = Phase4Engine(root, params)
        made.append(engine)
        return engine

    yield make
    for engine in made:
        engine.close()
    made.clear()


def batch_fingerprint(engine):
    return compute_fingerprint(signals_to_components(engine._load_all_signals(), 1.5))


def stored_pattern(engine, **fields):
    record = {"fingerprint": "fp", "discovery_method": "statistical", "pattern_type": "co_occurrence",
              "sources": ["ci", "git"], "metrics": ["files_touched", "run_duration"],
              "description_statistical": "stored", **fields}
    return engine.kb.get_pattern(engine.kb.create_pattern(record))


class TestConstruction:
    def test_tables_and_attributes(self, tmp_path, engine_for):
        assert list(DEFAULT_PARAMS.items()) == [
            ("min_support", 5), ("min_correlation", 0.4), ("min_lift", 2.0), ("min_effect_size", 0.35),
            ("promotion_threshold", 10), ("decay_window", 90), ("semantic_multiplier", 3),
            ("direction_threshold", 1.5), ("confidence_full_at", 30), ("temporal_window_hours", 24)]
        assert list(SIGNAL_FILES) == ["git", "ci", "testing", "dependency", "schema", "deployment", "config",
                                      "security"]
        engine = engine_for(str(tmp_path / "ws"))
        assert engine.varnel_dir == tmp_path / "ws"
        assert (engine.phase2_path, engine.phase3_path, engine.output_path) == (
            tmp_path / "ws" / "phase2", tmp_path / "ws" / "phase3", tmp_path / "ws" / "phase4")
        assert engine.output_path.is_dir()
        assert isinstance(engine.kb, SQLiteKnowledgeStore)
        assert engine.kb.db_path == tmp_path / "ws" / "phase4" / "knowledge.db"
        assert isinstance(engine.gate, patstage.ValidationGate)
        assert engine._llm is None

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

    def test_environment_switches(self, tmp_path, monkeypatch, engine_for):
        for name in ("PHASE4B_ENABLED", "PHASE31_ENABLED", "PHASE4B_MODEL"):
            monkeypatch.delenv(name, raising=False)
        engine = engine_for(tmp_path)
        assert (engine._llm_enabled, engine._llm_model) == (False, "anthropic/claude-sonnet-4.5")
        monkeypatch.setenv("PHASE4B_ENABLED", "TRUE")
        monkeypatch.setenv("PHASE4B_MODEL", "")
        engine = engine_for(tmp_path)
        assert (engine._llm_enabled, engine._llm_model) == (True, "")
        monkeypatch.delenv("PHASE4B_ENABLED")
        monkeypatch.setenv("PHASE31_ENABLED", "true")
        assert engine_for(tmp_path)._llm_enabled is True
        monkeypatch.setenv("PHASE4B_ENABLED", "")  # set but empty: off, whatever PHASE31_ENABLED says
        assert engine_for(tmp_path)._llm_enabled is False
        monkeypatch.setenv("PHASE4B_ENABLED", "yes")
        assert engine_for(tmp_path)._llm_enabled is False


class TestKnowledgeBase:
    def test_the_store_is_shared_with_the_host(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        assert engine.kb is engine.kb
        result = engine.run()
        stored = engine.kb.list_patterns(scope="local")
        assert {p["pattern_id"] for p in stored} == {d["pattern_id"] for d in result["details"]}
        assert engine.kb.get_pattern_history(stored[0]["pattern_id"])[0]["action"] == "created"
        # ... and what the host writes, the engine sees.
        pattern = stored_pattern(engine, fingerprint="host-made")
        assert engine._lookup_fingerprint("host-made") == {"match": "pattern", "artifact": pattern}

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

    def test_discovery_and_its_summary_file(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        result = engine.run()
        assert list(result) == ["status", "total_signals", "deviating_signals", "batch_fingerprint", *COUNTERS,
                                "details"]
        assert (result["status"], result["total_signals"], result["deviating_signals"]) == ("complete", 40, 20)
        assert result["batch_fingerprint"] == batch_fingerprint(engine)
        assert [result[c] for c in COUNTERS] == [0, 0, 1, 0, 0, 0, 0]
        [detail] = result["details"]
        assert list(detail) == ["action", "pattern_id", "fingerprint", "sources", "metrics", "correlation",
                                "description_statistical", "description_semantic"]
        assert detail["action"] == "discovered" and detail["description_semantic"] is None
        stored = engine.kb.get_pattern(detail["pattern_id"])
        assert stored["fingerprint"] == detail["fingerprint"] and stored["occurrence_count"] == 10
        assert {s["signal_ref"] for s in engine.kb.get_pattern_signals(detail["pattern_id"])} == \
            {f"g{i}" for i in range(10)} | {f"c{i}" for i in range(10)}
        text = (tmp_path / "phase4" / "phase4_summary.json").read_text(encoding="utf-8")
        assert text == json.dumps(result, indent=2)

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
        from test_patstage_discovery import TestPresence

        root = TestPresence.workspace(tmp_path, [10, 12, 14, 11, 13], [5, 5, 6, 4, 5, 6])
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

    def test_a_batch_that_is_knowledge_is_recognized(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        source = stored_pattern(engine, fingerprint=batch_fingerprint(engine))
        kid = engine.kb.create_knowledge({
            "derived_from": source["pattern_id"], "fingerprint": source["fingerprint"], "pattern_type": "p",
            "sources": ["x"], "metrics": ["y"], "description_statistical": "statistical",
            "description_semantic": "", "support_count": 10, "first_seen": "a", "last_seen": "b"})
        result = engine.run()
        assert result["details"] == [{"action": "recognized", "fingerprint": source["fingerprint"],
                                      "knowledge_id": kid, "description": "statistical"}]
        counts = [result[c] for c in ("patterns_recognized", "patterns_discovered", "knowledge_artifacts")]
        assert counts == [1, 0, 1]
        assert (tmp_path / "phase4" / "phase4_summary.json").exists()

    def test_a_batch_that_is_a_pattern_is_counted_and_promoted_at_its_tenth_occurrence(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        pattern = stored_pattern(engine, fingerprint=batch_fingerprint(engine), occurrence_count=9,
                                 sources=["a"], metrics=["b"])
        result = engine.run()
        [detail] = result["details"]
        assert detail == {"action": "promoted", "pattern_id": pattern["pattern_id"],
                          "knowledge_id": detail["knowledge_id"]}
        assert [result[c] for c in COUNTERS] == [0, 1, 0, 0, 1, 0, 1]
        stored = engine.kb.get_pattern(pattern["pattern_id"])
        assert (stored["occurrence_count"], stored["confidence_tier"], stored["confidence_status"]) == (
            10, "confirmed", "sufficient")
        # The batch's first twenty references, in signal order, link the occurrence.
        linked = {s["signal_ref"] for s in engine.kb.get_pattern_signals(pattern["pattern_id"])}
        assert linked == {f"g{i}" for i in range(20)}
        knowledge = engine.kb.get_knowledge(detail["knowledge_id"])
        assert list(knowledge) == KNOWLEDGE_COLUMNS
        assert (knowledge["derived_from"], knowledge["support_count"], knowledge["approval_method"]) == (
            pattern["pattern_id"], 10, "automatic")

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


class TestPromotion:
    def test_thresholds(self, tmp_path, engine_for):
        engine = engine_for(tmp_path)
        base = {"pattern_id": "p", "fingerprint": "f", "sources": ["a"], "metrics": ["b"]}
        assert engine._check_promotion({**base, "occurrence_count": 10}) is True
        assert engine._check_promotion({**base, "occurrence_count": 9}) is False
        assert engine._check_promotion({**base, "occurrence_count": 29, "confidence_tier": "speculative"}) is False
        assert engine._check_promotion({**base, "occurrence_count": 30, "confidence_tier": "speculative"}) is True
        assert engine._check_promotion({**base, "occurrence_count": 99, "confidence_tier": "confirmed"}) is False
        with pytest.raises(KeyError):
            engine._check_promotion({"fingerprint": "f"})
        assert engine_for(tmp_path, {"promotion_threshold": 2.5})._check_promotion({**base, "occurrence_count": 3})

    def test_existing_knowledge_blocks_promotion(self, tmp_path, engine_for):
        engine = engine_for(tmp_path)
        source = stored_pattern(engine, fingerprint="f1", sources=["git", "ci"], metrics=["b", "a"],
                                occurrence_count=50)
        assert engine._check_promotion(source) is True
        kid = engine._promote_pattern(source)
        assert engine._check_promotion(engine.kb.get_pattern(source["pattern_id"])) is False  # confirmed
        # Knowledge with the same families and metrics, in another order and other directions.
        twin = stored_pattern(engine, fingerprint="f2", sources=["ci", "git"], metrics=["a", "b"],
                              occurrence_count=50)
        assert engine._check_promotion(twin) is False
        other = stored_pattern(engine, fingerprint="f1", scope="community", sources=["x"], metrics=["y"],
                               occurrence_count=50)
        assert engine._check_promotion(other) is True  # the knowledge is local, this pattern is not
        assert engine.kb.get_knowledge(kid)["scope"] == "local"

    def test_a_pattern_without_statistical_description_is_promoted_with_empty_text(self, tmp_path, engine_for):
        engine = engine_for(tmp_path)
        pattern = stored_pattern(engine, description_statistical=None, description_semantic="why", occurrence_count=12)
        knowledge = engine.kb.get_knowledge(engine._promote_pattern(pattern))
        assert (knowledge["description_statistical"], knowledge["description_semantic"]) == ("", "why")
        assert [knowledge[k] for k in ("fingerprint", "sources", "metrics", "support_count")] == [
            "fp", ["ci", "git"], ["files_touched", "run_duration"], 12]
        assert engine.kb.get_pattern(pattern["pattern_id"])["confidence_tier"] == "confirmed"


class TestDecay:
    def test_confirmed_patterns_never_decay(self, tmp_path, engine_for):
        engine = engine_for(tmp_path)
        old = "2000-01-01T00:00:00Z"
        confirmed = stored_pattern(engine, fingerprint="a", last_seen=old, confidence_tier="confirmed")
        stale = stored_pattern(engine, fingerprint="b", last_seen=old, sources=["x"], metrics=["y"])
        fresh = stored_pattern(engine, fingerprint="c", sources=["z"], metrics=["w"])
        assert engine._run_decay() == [stale["pattern_id"]]
        assert engine.kb.get_pattern(stale["pattern_id"])["expired"] == 1
        assert engine.kb.get_pattern(confirmed["pattern_id"])["expired"] == 0
        assert engine.kb.get_pattern(fresh["pattern_id"])["expired"] == 0
        assert engine._run_decay() == []

    def test_run_reports_expiries(self, tmp_path, engine_for):
        engine = engine_for(co_moving_workspace(tmp_path))
        stored_pattern(engine, fingerprint="b", last_seen="2000-01-01T00:00:00Z", sources=["x"], metrics=["y"])
        assert engine.run()["patterns_expired"] == 1


class TestLogging:
    def test_the_logger_is_asked_once_per_discovery(self, tmp_path, engine_for, monkeypatch):
        logger = logging.getLogger("varnel.phase4")
        asked = []
        monkeypatch.setattr(logger, "isEnabledFor", lambda level: asked.append(level) or False)
        # Many constant series: each pair would log at debug level.
        signals = [signal(f, f"m{j}", f"{f}{i}", 2.0) for f in ("git", "ci") for j in range(4) for i in range(6)]
        engine = engine_for(tmp_path)
        engine._discover_cooccurrences(signals)
        assert asked == [logging.DEBUG]
