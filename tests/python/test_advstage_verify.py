"""Fix verification: the report text, the record, the files and the failures."""

import json
import shutil

import pytest

import phase5_reference as reference
from advstage_helpers import read_outputs, rich_workspace, signal, write_workspace
from varnel import history
from varnel.advstage import Phase5Engine
from helpers import same


def shrink(ws):
    """Drops the test signals and adds a critical one: two resolved, one new."""
    path = ws / "phase2" / "testing_signals.json"
    path.unlink()
    records = json.loads((ws / "phase2" / "security_signals.json").read_text(encoding="utf-8"))
    records.append(signal("security", "critical_count", 6.0, "s1", observed=3, mean=0, median=0, mad=0.5))
    (ws / "phase2" / "security_signals.json").write_text(json.dumps(records), encoding="utf-8")


class TestVerify:
    def test_against_a_kept_advisory(self, tmp_path):
        ws = rich_workspace(tmp_path / "ws")
        first = Phase5Engine(ws).run("shop-api")["advisory"]
        kept = tmp_path / "kept.json"
        shutil.copy(ws / "phase5" / "advisory.json", kept)
        shrink(ws)
        result = Phase5Engine(ws).verify("shop-api", str(kept))
        current = result["advisory"]
        difference = history.diff_advisories(first, current)
        record = reference.verification_record(first, current, difference, "shop-api",
                                               result["verification"]["generated_at"])
        text = reference.verification_summary(first, current, difference)
        assert same(result["verification"], record) and result["verification_text"] == text
        assert (ws / "phase5" / "verification.json").read_text(encoding="utf-8") == reference.dumps(record)
        assert (ws / "phase5" / "verification.txt").read_text(encoding="utf-8") == text
        assert list(result) == ["status", "advisory", "verification", "verification_text", "formats"]
        assert list(result["formats"]) == ["json", "human", "chat", "investigation", "verification_json",
                                           "verification_text"]
        assert result["verification"]["summary"] == {"total_before": 8, "resolved": 2, "persisting": 6, "new": 1,
                                                     "regressions": 0, "resolution_rate": 0.25}
        assert "2 of 8 flagged changes resolved." in text and text.endswith("Resolution rate: 25% (2/8)")

    def test_the_workspace_own_advisory_is_read_before_it_is_rewritten(self, tmp_path):
        ws = rich_workspace(tmp_path)
        first = Phase5Engine(ws).run("shop-api")["advisory"]
        shrink(ws)
        result = Phase5Engine(ws).verify("shop-api", str(ws / "phase5" / "advisory.json"))
        assert result["verification"]["before_advisory_id"] == first["advisory_id"]
        assert result["verification"]["after_advisory_id"] == result["advisory"]["advisory_id"] != first["advisory_id"]
        assert result["verification"]["summary"]["resolved"] == 2

    def test_own_advisory_that_did_not_exist_yet(self, tmp_path):
        ws = rich_workspace(tmp_path)
        path = str(ws / "phase5" / "advisory.json")
        result = Phase5Engine(ws).verify("shop-api", path)
        assert result["status"] == "no_previous_advisory"
        assert result["message"] == "Previous advisory not found: " + path
        assert result["advisory"]["advisory_id"] == json.loads(open(path, encoding="utf-8").read())["advisory_id"]
        assert not (ws / "phase5" / "verification.json").exists()

    def test_no_current_data_even_with_a_previous_advisory(self, tmp_path):
        ws = write_workspace(tmp_path / "ws", signals=[signal("ci", "run_duration", 0.2, "e1")])
        kept = tmp_path / "kept.json"
        kept.write_text('{"advisory_id": "x"}', encoding="utf-8")
        assert Phase5Engine(ws).verify("shop-api", str(kept)) == {
            "status": "no_current_data", "message": "Current pipeline produced no significant changes.",
            "verification": {"resolved": [], "persisting": [], "new": [], "regressions": []}}
        assert read_outputs(ws) == {}

    def test_a_change_that_came_back_is_judged_by_the_threshold_given(self, tmp_path):
        ws = rich_workspace(tmp_path / "ws")
        earlier = Phase5Engine(ws).run("shop-api")["advisory"]
        # Back below 3 (though not below the default 1.5) before it moved again at another event.
        earlier["changes"][0].update(latest_deviation=2.0, event_ref="an-earlier-event")
        kept = tmp_path / "kept.json"
        kept.write_text(json.dumps(earlier), encoding="utf-8")

        def counts(**threshold):
            summary = Phase5Engine(ws).verify("shop-api", str(kept), **threshold)["verification"]["summary"]
            return summary["persisting"], summary["regressions"]

        assert counts() == counts(threshold=None) == (8, 0)
        assert counts(threshold=3.0) == (7, 1)

    def test_previous_without_id(self, tmp_path):
        ws = rich_workspace(tmp_path / "ws")
        kept = tmp_path / "kept.json"
        kept.write_text('{"changes": []}', encoding="utf-8")
        result = Phase5Engine(ws).verify("shop-api", str(kept))
        assert result["verification"]["before_advisory_id"] is None
        assert result["verification_text"].splitlines()[1].startswith("Comparing: ? \u2192 ")
        assert result["verification"]["summary"]["resolution_rate"] == 0
        assert type(result["verification"]["summary"]["resolution_rate"]) is int


class TestVerifyFailures:
    @pytest.mark.parametrize("text, error", [("{oops", json.JSONDecodeError), ("[1, 2]", TypeError),
                                             ("null", TypeError)])
    def test_a_bad_previous_advisory_fails_after_the_run(self, tmp_path, text, error):
        ws = rich_workspace(tmp_path / "ws")
        kept = tmp_path / "kept.json"
        kept.write_text(text, encoding="utf-8")
        with pytest.raises(error):
            Phase5Engine(ws).verify("shop-api", str(kept))
        assert "advisory.json" in read_outputs(ws) and "verification.json" not in read_outputs(ws)

    def test_a_directory_as_previous_advisory(self, tmp_path):
        ws = rich_workspace(tmp_path / "ws")
        with pytest.raises(IsADirectoryError):
            Phase5Engine(ws).verify("shop-api", str(tmp_path))

    @pytest.mark.parametrize("scope, path", [(None, "x.json"), ("s", 3), ("s", None)])
    def test_arguments_must_be_text(self, tmp_path, scope, path):
        ws = rich_workspace(tmp_path)
        with pytest.raises(TypeError):
            Phase5Engine(ws).verify(scope, path)
        assert read_outputs(ws) == {}

    def test_history_errors_and_wrong_results(self, tmp_path, monkeypatch):
        ws = rich_workspace(tmp_path / "ws")
        kept = tmp_path / "kept.json"
        kept.write_text('{"advisory_id": "x", "changes": []}', encoding="utf-8")

        def broken(before, after):
            raise LookupError("history unavailable")

        monkeypatch.setattr(history, "diff_advisories", broken)
        with pytest.raises(LookupError, match="history unavailable"):
            Phase5Engine(ws).verify("shop-api", str(kept))
        monkeypatch.setattr(history, "diff_advisories", lambda before, after: ["not", "a", "record"])
        with pytest.raises(TypeError):
            Phase5Engine(ws).verify("shop-api", str(kept))
        assert not (ws / "phase5" / "verification.json").exists()

