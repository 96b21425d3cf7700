"""The part of the history an advisory speaks about."""

import json
from datetime import datetime, timezone

from varnel.run.events import EventIndex
from varnel.run.window import Window, apply_window

NOW = datetime(2026, 6, 30, tzinfo=timezone.utc)


def timed(tmp_path):
    events = tmp_path / "events"
    events.mkdir()
    stamps = {"g-old": ("git", "2014-05-01T00:00:00Z"), "g-1": ("git", "2026-06-10T00:00:00Z"),
              "g-2": ("git", "2026-06-20T00:00:00+02:00"), "ci-1": ("ci", "2026-06-21T00:00:00"),
              "ci-old": ("ci", "2020-01-01T00:00:00Z"), "bad": ("ci", "yesterday")}
    for eid, (kind, at) in stamps.items():
        event = {"event_id": eid, "observed_at": at, "payload": {}}
        event.update({"source_type": "git"} if kind == "git" else {"source_family": kind})
        (events / f"{eid}.json").write_text(json.dumps(event))
    (events / "broken.json").write_text("{")
    return EventIndex.read(tmp_path).timed()


def test_windows(tmp_path):
    events = timed(tmp_path)
    assert {e for _, e, _ in events} == {"g-old", "g-1", "g-2", "ci-1", "ci-old"}
    recent = apply_window(Window(days=30), events, now=NOW)
    assert recent.event_ids == {"g-1", "g-2", "ci-1"}
    assert (recent.start.isoformat(), recent.end.isoformat()) == ("2026-06-10T00:00:00+00:00",
                                                                  "2026-06-21T00:00:00+00:00")
    assert apply_window(Window(30, last_commits=1), events).event_ids == {"g-2", "ci-1"}
    assert apply_window(Window(30, since=datetime(2000, 1, 1)), events).event_ids == {"g-old", "g-1", "g-2", "ci-1",
                                                                                 "ci-old"}
    assert apply_window(Window(30, everything=True), events).event_ids is None
    late = datetime.fromisoformat("2026-06-09T23:00:00-05:00")  # 2026-06-10T04:00Z
    assert apply_window(Window(30, since=late), events).description == "since 2026-06-10T04:00Z"


def test_an_idle_repository_gets_its_latest_work(tmp_path):
    events = timed(tmp_path)
    # Years later the default window still ends at the newest commit (2026-06-19T22:00Z).
    later = apply_window(Window(days=5), events, now=datetime(2030, 1, 1, tzinfo=timezone.utc))
    assert later.event_ids == {"g-2", "ci-1"} and later.description == "the latest 5 days of activity"
    # A commit dated in the future never moves the window past now.
    assert apply_window(Window(days=5), events, now=datetime(2026, 6, 12, tzinfo=timezone.utc)).event_ids == {
        "g-1", "g-2", "ci-1"}
    assert apply_window(Window(days=30), [], now=NOW).event_ids == frozenset()
