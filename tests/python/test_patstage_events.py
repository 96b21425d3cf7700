"""Event times, time windows and the two event indexes of varnel.patstage."""

import json
from datetime import timedelta, timezone

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import phase4_reference as ref
from patstage_helpers import git_event, triggered_event, write_workspace
from varnel.patstage import Phase4Engine

bucket = Phase4Engine._time_bucket
timestamp = Phase4Engine.event_time

windows = st.sampled_from([24, 1, 0.5, 168, 36.6, 1e-3, 10**6])
# Pieces of timestamps, well and badly formed, joined at random: the host's
# parser decides which texts are times.
pieces = st.sampled_from([
    "2024", "0001", "9999", "0000", "1970", "-", "05", "01", "12", "13", "29", "02", "30", "31", "W", "53", "52",
    "1", "7", "8", "T", " ", "t", ":", "10", "00", "23", "24", "59", "60", ".", ",", "5", "123456", "1234567",
    "+", "Z", "z", "+00:00", "-05:30", "+23:59", "+24:00", "+01:00:00.5", "\x00", "\u00e9", "\u2003", "\U0001f600",
    "\ud800", "\u0663", "_",
]) | st.text("0123456789", min_size=1, max_size=4)
near_times = st.lists(pieces, max_size=10).map("".join)


@st.composite
def written_times(draw):
    """Times as writers write them, and with a few slips: a date in any of its forms, any
    separator, a time with or without colons, fraction and offset."""
    offsets = st.timedeltas(min_value=timedelta(hours=-23, minutes=-59), max_value=timedelta(hours=23, minutes=59))
    when = draw(st.datetimes(timezones=st.none() | st.just(timezone.utc) | st.builds(timezone, offsets)))
    text = when.isoformat(sep=draw(st.sampled_from(["T", " ", "x", "\u00e9"])),
                          timespec=draw(st.sampled_from(["auto", "hours", "minutes", "seconds", "milliseconds"])))
    form = draw(st.sampled_from(["as is", "basic date", "week date", "date only", "Z"]))
    if form == "basic date":
        text = text[:10].replace("-", "") + text[10:]
    elif form == "week date":
        year, week, day = when.isocalendar()
        text = f"{year:04d}-W{week:02d}-{day}" + text[10:]
    elif form == "date only":
        text = text[:10]
    elif form == "Z" and text.endswith("+00:00"):
        text = text[:-6] + "Z"
    if draw(st.booleans()):
        text = text.replace(":", "")
    # A few slips: a character dropped, added or replaced.
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        slip = draw(st.sampled_from(["drop", "add", "replace"]))
        piece = draw(pieces)
        if slip == "add":
            text = text[:at] + piece + text[at:]
        elif text:
            at = min(at, len(text) - 1)
            text = text[:at] + (piece if slip == "replace" else "") + text[at + 1:]
    return text


class TestTimeBucket:
    def test_worked_examples(self):
        assert bucket("2024-05-01T10:00:00Z", 24) == bucket("2024-05-01T23:59:59+00:00", 24)
        assert bucket("2024-05-02T00:00:00Z", 24) == bucket("2024-05-01T10:00:00Z", 24) + 1
        assert bucket("2024-05-01T10:00:00Z", 24) == 19844
        assert bucket("not a date", 24) is None
        assert bucket(None, 24) is None
        assert bucket(20240501, 24) is None

    def test_a_time_without_offset_is_utc(self):
        assert bucket("2024-05-01T23:30:00", 24) == bucket("2024-05-01T23:30:00Z", 24)
        assert bucket("2024-05-01", 1) == bucket("2024-05-01T00:00:00+00:00", 1)
        # The offset moves the instant: 23:30 at UTC-2 is the next UTC day.
        assert bucket("2024-05-01T23:30:00-02:00", 24) == bucket("2024-05-02T01:30:00Z", 24)

    def test_the_window_must_be_positive(self):
        for width in (0, -24, float("nan")):
            with pytest.raises(ValueError):
                bucket("2024-05-01T10:00:00Z", width)

    @given(near_times, windows)
    def test_accepts_exactly_what_the_host_accepts(self, text, width):
        assert bucket(text, width) == ref.time_bucket(text, width)

    @given(written_times(), windows)
    @example("2000-01-01T00:000Z.000001", 24)  # an offset of no whole second is UTC, its fraction dropped
    def test_written_and_mistyped_times_agree_with_the_host(self, text, width):
        expected = ref.time_bucket(text, width)
        assert bucket(text, width) == expected


class TestEventTimestamp:
    def test_by_source_type(self):
        actions = {"source_type": "github_actions", "observed_at": "o",
                   "payload": {"timing": {"created_at": "", "started_at": "2024-05-01T10:00:00Z"}}}
        assert timestamp(actions) == "2024-05-01T10:00:00Z"
        assert timestamp({"source_type": "git", "observed_at": "o",
                          "payload": {"committed_at": None, "authored_at": "a"}}) == "a"
        assert timestamp({"source_type": "github_releases", "observed_at": "o",
                          "payload": {"timing": {"completed_at": "c"}}}) == "c"
        assert timestamp({"source_type": "terraform", "observed_at": "o", "payload": {"committed_at": "x"}}) == "o"

    def test_falls_back_to_observed_at(self):
        assert timestamp({"source_type": "git", "payload": {}, "observed_at": None}) is None
        assert timestamp({"source_type": "git"}) == ""
        assert timestamp({"source_type": "github_actions", "observed_at": "o", "payload": {"timing": None}}) == "o"
        with pytest.raises(TypeError):
            timestamp(["not", "an", "event"])

    def test_the_internal_name_gives_the_same_time(self):
        event = {"source_type": "git", "observed_at": "o", "payload": {"committed_at": "", "authored_at": "a"}}
        assert Phase4Engine._extract_event_timestamp(event) == timestamp(event) == "a"


class TestIndexes:
    def test_commit_and_time_indexes(self, tmp_path):
        events = [
            git_event("g1", "abc", observed_at="2024-05-01T10:00:00Z", committed_at="2024-04-30T09:00:00Z"),
            triggered_event("c1", "ci", "abc", timing={"created_at": "2024-05-01T11:00:00Z"}),
            {"event_id": "c2", "source_type": "github_actions", "observed_at": "", "payload": {"trigger": None}},
            {"source_type": "git", "payload": {"commit_hash": "def"}, "observed_at": "2024-05-02T00:00:00Z"},
            {"event_id": "d1", "source_type": "pip", "observed_at": 5, "payload": {"trigger": {"commit_sha": ""}}},
        ]
        write_workspace(tmp_path, events)
        (tmp_path / "events" / "broken.json").write_text("{not json", encoding="utf-8")
        (tmp_path / "events" / "list.json").write_text("[1, 2]", encoding="utf-8")
        (tmp_path / "events" / "bytes.json").write_bytes(b'{"event_id": "\xff"}')
        (tmp_path / "events" / "ignored.txt").write_text(json.dumps(git_event("t", "t")), encoding="utf-8")
        engine = Phase4Engine(tmp_path)
        assert not hasattr(engine, "_commit_index") and not hasattr(engine, "_temporal_index")
        commits = engine._build_commit_index()
        assert commits == {"g1": "abc", "c1": "abc"}
        assert engine._commit_index == commits and not hasattr(engine, "_temporal_index")
        assert engine._build_temporal_index() == {"g1": "2024-04-30T09:00:00Z", "c1": "2024-05-01T11:00:00Z"}
        engine.close()

    def test_indexes_are_read_once_per_engine(self, tmp_path):
        write_workspace(tmp_path, [git_event("g1", "abc")])
        engine = Phase4Engine(tmp_path)
        first = engine._build_commit_index()
        (tmp_path / "events" / "later.json").write_text(json.dumps(git_event("g2", "def")), encoding="utf-8")
        assert engine._build_commit_index() == first == {"g1": "abc"}
        assert engine._build_temporal_index() == {"g1": "2024-05-01T10:00:00Z"}
        engine.close()
        fresh = Phase4Engine(tmp_path)
        assert fresh._build_commit_index() == {"g1": "abc", "g2": "def"}
        fresh.close()

    def test_the_later_file_of_an_event_id_wins_and_no_events_is_empty(self, tmp_path):
        write_workspace(tmp_path, [git_event("g1", "first"), git_event("g1", "second")])
        engine = Phase4Engine(tmp_path)
        assert engine._build_commit_index() == {"g1": "second"}
        engine.close()
        empty = Phase4Engine(tmp_path / "elsewhere")
        assert empty._build_commit_index() == {} and empty._build_temporal_index() == {}
        empty.close()

    @settings(max_examples=100)  # each example writes a workspace and opens a database
    @given(st.lists(st.tuples(st.sampled_from(["g1", "g2", "c1", ""]), st.sampled_from(["git", "github_actions",
                                                                                           "pip"]),
                              st.sampled_from(["a", "b", "", None]),
                              st.sampled_from(["2024-05-01T10:00:00Z", "", None, "x"])), max_size=6))
    def test_indexes_match_the_reference(self, tmp_path_factory, rows):
        root = tmp_path_factory.mktemp("ws")
        events = []
        for eid, kind, sha, when in rows:
            payload = {"commit_hash": sha, "committed_at": when} if kind == "git" else \
                {"trigger": {"commit_sha": sha}, "timing": {"created_at": when}}
            events.append({"event_id": eid, "source_type": kind, "observed_at": "2024-01-01", "payload": payload})
        write_workspace(root, events)
        engine = Phase4Engine(root)
        commits, times = ref.build_indexes(root / "events")
        assert engine._build_commit_index() == commits
        assert engine._build_temporal_index() == times
        engine.close()


def test_week_dates_and_offsets_reach_the_same_instant():
    day = bucket("2024-W01-1T00:00:00", 24)
    assert day == bucket("2024-01-01", 24) == bucket("2024W011", 24)
    assert bucket("2024-01-01T00:00:00+00:30", 1) == bucket("2023-12-31T23:30:00", 1)
    assert timedelta(hours=bucket("2024-01-01", 1) - bucket("2023-12-31", 1)) == timedelta(hours=24)
