"""The advisory's view of recent work."""

import json
from datetime import datetime, timezone

from varnel.scope import build_view, close_view, events_in_scope

NOW = datetime(2026, 6, 30, tzinfo=timezone.utc)


def workspace(tmp_path):
    events = tmp_path / "events"
    events.mkdir()
    stamps = {"g-old": ("git", "2014-05-01T00:00:00Z"), "g-1": ("git", "2026-06-10T00:00:00Z"),
              "g-2": ("git", "2026-06-20T00:00:00+02:00"), "ci-1": ("ci", "2026-06-21T00:00:00"),
              "ci-old": ("ci", "2020-01-01T00:00:00Z"), "bad": ("ci", "yesterday")}
    for eid, (kind, at) in stamps.items():
        event = {"event_id": eid, "observed_at": at, "payload": {}}
        event.update({"source_type": "git"} if kind == "git" else {"source_family": kind})
        (events / f"{eid}.json").write_text(json.dumps(event))
    (tmp_path / "phase2").mkdir()
    (tmp_path / "phase2" / "git_signals.json").write_text(json.dumps(
        [{"event_ref": "g-old", "metric": "files_touched"}, {"event_ref": "g-2", "metric": "files_touched"}]))
    return tmp_path


def test_scopes(tmp_path):
    ws = workspace(tmp_path)
    assert events_in_scope(ws, days=30, now=NOW) == {"g-1", "g-2", "ci-1"}
    assert events_in_scope(ws, last_commits=1) == {"g-2", "ci-1"}
    assert events_in_scope(ws, since=datetime(2000, 1, 1)) == {"g-old", "g-1", "g-2", "ci-1", "ci-old"}


def test_view_filters_signals_and_links_the_rest(tmp_path):
    ws = workspace(tmp_path)
    (ws / "accepted_deviations.json").write_text('{"entries": []}')
    view = build_view(ws, {"g-2"})
    assert json.loads((view / "phase2" / "git_signals.json").read_text()) == [
        {"event_ref": "g-2", "metric": "files_touched"}]
    assert (view / "events" / "g-old.json").exists()
    (view / "phase5" / "advisory.json").write_text("{}")  # the engine writes through the link
    (view / "accepted_deviations.json").write_text('{"entries": [1]}')
    close_view(view, ws)
    assert not view.exists()
    assert (ws / "phase5" / "advisory.json").read_text() == "{}"
    assert (ws / "accepted_deviations.json").read_text() == '{"entries": [1]}'
