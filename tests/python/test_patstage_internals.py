"""These tests pin the pattern engine's internal operations: event times
and the event indexes, directions and the correlation, co-occurrence and
presence discovery, the interpretation layer, the batch lookup, promotion and
decay, which varnel.patstage keeps bound for callers of the engines'
internals. The other test files use only the public interface."""

import json
import logging
import math
import random
import re
from datetime import timedelta, timezone

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import phase4_reference as ref
import varnel.patstage as patstage
from lorekeep_helpers import KNOWLEDGE_COLUMNS
from patstage_helpers import (COUNTERS, co_moving_workspace, finite, git_event, import_in, presence_workspace,
                              random_workspace, signal, stored_pattern, triggered_event, write_workspace)
from varnel.lorekeep import SQLiteKnowledgeStore
from varnel.patstage import DEFAULT_PARAMS, SIGNAL_FILES, Phase4Engine, compute_fingerprint, signals_to_components
from helpers import same


# ---- event times, time windows and the two event indexes --------------------

bucket = Phase4Engine._time_bucket
timestamp = Phase4Engine.event_time

windows = st.sampled_from([24, 1, 0.5, 168, 36.6, 1e-3, 10**6])
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


# ---- directions and the correlation -----------------------------------------

# Measures as the signal engine writes them: rounded to 6 decimals.
measures = finite.map(lambda x: round(x, 6))


class TestDirections:
    def test_predominant_direction(self):
        entries = [{"deviation": d} for d in (2.0, -2.0, 0.1)]
        assert Phase4Engine._predominant_direction(entries, 1.5) == "unchanged"
        assert Phase4Engine._predominant_direction(entries[:1] + entries, 1.5) == "increased"
        assert Phase4Engine._predominant_direction([], 1.5) == "unchanged"
        with pytest.raises(KeyError):
            Phase4Engine._predominant_direction([{"measure": 1}], 1.5)

    @given(st.lists(finite, max_size=8), finite)
    def test_predominant_direction_matches_the_reference(self, deviations, threshold):
        entries = [{"deviation": d} for d in deviations]
        assert Phase4Engine._predominant_direction(entries, threshold) == ref.predominant_direction(entries, threshold)


class TestPearson:
    def test_worked_examples(self, caplog):
        caplog.set_level(logging.DEBUG, logger="varnel.phase4")
        assert Phase4Engine._pearson([1, 2, 3], [2, 4, 6]) == 1.0
        assert caplog.records == []
        assert Phase4Engine._pearson([1, 1, 1], [3, 1, 2]) == 0.0
        assert [r.getMessage() for r in caplog.records] == [
            "Pearson returned 0.0: constant series (sx=0.0000, sy=0.8165, n=3)"]
        assert caplog.records[0].levelno == logging.DEBUG
        caplog.clear()
        assert Phase4Engine._pearson([5], [7]) == 0.0
        assert caplog.records == []

    def test_covariance_stops_at_the_shorter_series(self):
        xs, ys = [1.0, 2.0, 4.0], [1.0, 3.0]
        assert same(Phase4Engine._pearson(xs, ys), ref.pearson(xs, ys))

    @given(st.lists(st.tuples(measures, measures), max_size=12))
    def test_matches_the_reference(self, pairs):
        xs, ys = [p[0] for p in pairs], [p[1] for p in pairs]
        got = Phase4Engine._pearson(xs, ys)
        assert same(got, ref.pearson(xs, ys))
        assert isinstance(got, float)

    @given(st.lists(st.integers(-10**6, 10**6), min_size=2, max_size=10))
    def test_integer_series_are_exact(self, xs):
        ys = [x * 3 - 7 for x in xs]
        expected = ref.pearson(xs, ys)
        assert same(Phase4Engine._pearson(xs, ys), expected)
        assert expected == 0.0 or math.isclose(expected, 1.0)


# ---- co-occurrence and presence discovery -----------------------------------

TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z$")


def without_times(candidates):
    for c in candidates:
        assert TIME.match(c["first_seen"]) and TIME.match(c["last_seen"]) and c["first_seen"] <= c["last_seen"]
    return [{k: v for k, v in c.items() if k not in ("first_seen", "last_seen")} for c in candidates]


def paired_workspace(root, series_a, series_b, family_b="ci", timed=False):
    """Commit i carries git.files_touched = series_a[i] and <family_b>.run_duration = series_b[i]."""
    events, signals = [], []
    for i, (a, b) in enumerate(zip(series_a, series_b)):
        when = f"2024-05-{1 + i:02d}T10:00:00Z" if timed else ""
        events += [git_event(f"g{i:02d}", f"{i:040x}", observed_at=when),
                   triggered_event(f"c{i:02d}", family_b, f"{i:040x}", observed_at=when)]
        signals += [signal("git", "files_touched", f"g{i:02d}", a), signal(family_b, "run_duration", f"c{i:02d}", b)]
    return write_workspace(root, events, signals)


def discover(root, params=None):
    engine = Phase4Engine(root, params)
    try:
        signals = engine._load_all_signals()
        return engine._discover_cooccurrences(signals), engine._discover_presence_patterns(signals)
    finally:
        engine.close()


class TestCooccurrence:
    def test_lift_example(self, tmp_path):
        moved = [3.0] * 10 + [0.0] * 10
        alternating = [3.0, -3.0] * 5 + [0.0] * 10  # moves with the first, yet uncorrelated
        pairs, _ = discover(paired_workspace(tmp_path, moved, alternating))
        assert len(pairs) == 1
        c = pairs[0]
        assert (c["accepted_via"], c["lift"], c["occurrence_count"], c["alignment"]) == ("lift", 2.0, 10, "commit_sha")
        assert c["raw_correlation"] == 0.0 and c["correlation_strength"] == 0.0
        assert c["description_statistical"] == (
            "Signals git.files_touched and ci.run_duration co-deviate 2.0x more than expected by chance across 10 "
            "commit-aligned observations (of 20 shared commits, lift=2.00).")
        assert c["sources"] == ["ci", "git"] and c["metrics"] == ["files_touched", "run_duration"]
        assert c["fingerprint"] == ref.compute_fingerprint(
            [("git", "files_touched", "increased"), ("ci", "run_duration", "unchanged")])
        assert c["signal_refs"] == [f"g{i:02d}" for i in range(10)] + [f"c{i:02d}" for i in range(10)]

    def test_too_few_co_deviations_are_rejected(self, tmp_path):
        moved = [3.0] * 4 + [0.0] * 16
        pairs, _ = discover(paired_workspace(tmp_path, moved, moved))
        assert pairs == []

    def test_few_observations_weigh_little(self, tmp_path):
        series = [2.0, 3.0, 4.0, 5.0, 6.0]
        root = paired_workspace(tmp_path, series, [x * 2 for x in series])
        # A perfect correlation of 5 observations weighs 5/30: below 0.4, so only lift can accept it.
        assert discover(root)[0] == []
        pairs, _ = discover(root, {"min_lift": 1.0})
        c = pairs[0]
        assert (c["raw_correlation"], c["confidence_weight"], c["correlation_strength"]) == (1.0, 0.1667, 0.1667)
        assert (c["accepted_via"], c["lift"]) == ("lift", 1.0)

    def test_correlation_leaves_lift_null(self, tmp_path):
        series = [2.0 + i % 7 for i in range(30)]
        pairs, _ = discover(paired_workspace(tmp_path, series, [x * 2 for x in series]))
        c = pairs[0]
        assert (c["accepted_via"], c["lift"], c["confidence_weight"], c["correlation_strength"]) == (
            "correlation", None, 1.0, 1.0)
        assert c["description_statistical"] == (
            "Signals git.files_touched and ci.run_duration co-occur with correlation 1.00 across 30 commit-aligned "
            "observations (of 30 shared commits).")
        assert len(c["signal_refs"]) == 20

    def test_one_family_is_never_paired_with_itself(self, tmp_path):
        series = [2.0 + i % 7 for i in range(30)]
        pairs, _ = discover(paired_workspace(tmp_path, series, series, family_b="git"))
        assert pairs == []

    def test_accepted_pairs_are_not_judged_again_by_window(self, tmp_path):
        series = [2.0 + i % 7 for i in range(30)]
        pairs, _ = discover(paired_workspace(tmp_path, series, series, timed=True))
        assert [c["alignment"] for c in pairs] == ["commit_sha"]

    def test_rejected_pairs_are_judged_again_by_window(self, tmp_path):
        # Each day, git moves on one commit and ci on another: never together on a commit
        # (rejected), together in eight of twelve days.
        events, signals = [], []
        for i in range(12):
            day = f"2024-05-{1 + i:02d}T"
            moved = i < 8
            events += [git_event(f"a{i}", f"a{i:039x}", observed_at=day + "09:00:00Z"),
                       git_event(f"b{i}", f"b{i:039x}", observed_at=day + "10:00:00Z"),
                       triggered_event(f"ca{i}", "ci", f"a{i:039x}", observed_at=day + "09:30:00Z"),
                       triggered_event(f"cb{i}", "ci", f"b{i:039x}", observed_at=day + "10:30:00Z")]
            signals += [signal("git", "files_touched", f"a{i}", 3.0 if moved else 0.0),
                        signal("git", "files_touched", f"b{i}", 0.0),
                        signal("ci", "run_duration", f"ca{i}", 0.0),
                        signal("ci", "run_duration", f"cb{i}", (3.0, -3.0)[i % 2] if moved else 0.0)]
        pairs, _ = discover(write_workspace(tmp_path, events, signals), {"min_lift": 1.5})
        assert [(c["alignment"], c["accepted_via"]) for c in pairs] == [("temporal", "lift")]
        assert pairs[0]["description_statistical"] == (
            "Signals git.files_touched and ci.run_duration co-deviate 1.5x more than expected by chance across 8 "
            "temporally-aligned observations (of 12 shared 24h windows, lift=1.50).")
        assert pairs[0]["signal_refs"][:3] == ["a0", "a1", "a2"]  # windows in order, the strongest of each

    def test_a_window_keeps_the_strongest_deviation(self, tmp_path):
        events, signals = [], []
        for i in range(6):
            day = f"2024-05-{1 + i:02d}T"
            events += [git_event(f"g{i}", "", observed_at=day + "09:00:00Z"),
                       git_event(f"h{i}", "", observed_at=day + "10:00:00Z"),
                       triggered_event(f"c{i}", "ci", "", observed_at=day + "11:00:00Z")]
            second = -3.0 if i % 2 else -2.0
            signals += [signal("git", "files_touched", f"g{i}", 2.0), signal("git", "files_touched", f"h{i}", second),
                        signal("ci", "run_duration", f"c{i}", 2.0)]
        pairs, _ = discover(write_workspace(tmp_path, events, signals), {"min_lift": 0})
        assert pairs[0]["signal_refs"][:6] == ["g0", "h1", "g2", "h3", "g4", "h5"]

    def test_logs_what_it_skips_and_finds(self, tmp_path, caplog):
        caplog.set_level(logging.INFO, logger="varnel.phase4")
        moved = [3.0] * 10 + [0.0] * 10
        root = paired_workspace(tmp_path, moved, [3.0, -3.0] * 5 + [0.0] * 10)
        extra = signal("git", "files_touched", "g00", 0.0, unit="degenerate", degenerate=True)
        signals = ref_signals(root) + [extra]
        engine = Phase4Engine(root)
        engine._discover_cooccurrences(signals)
        engine.close()
        assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
            ("INFO", "Co-occurrence: skipped 1 degenerate signals (of 41 total)")]


def ref_signals(root):
    engine = Phase4Engine(root)
    signals = engine._load_all_signals()
    engine.close()
    return signals


class TestPresence:
    def test_cohens_d_example(self, tmp_path):
        _, found = discover(presence_workspace(tmp_path, [10, 12, 14], [5, 5, 6, 4]), {"min_support": 3})
        assert len(found) == 1
        c = found[0]
        assert c["description_statistical"] == (
            "When dependency events occur, git.files_touched is systematically increased "
            "(effect size d=5.86, treated=3, control=4).")
        assert c["effect_size"] == c["correlation_strength"] == c["raw_correlation"] == 5.8566
        assert "lift" not in c and list(c)[11] == "effect_size"
        assert (c["alignment"], c["accepted_via"], c["occurrence_count"]) == ("presence", "presence", 3)
        assert c["metrics"] == ["dependency_presence", "files_touched"] and c["sources"] == ["dependency", "git"]
        assert c["fingerprint"] == ref.compute_fingerprint(
            [("git", "files_touched", "increased"), ("dependency", "_presence", "increased")])
        assert c["confidence_weight"] == 0.1
        assert c["signal_refs"] == ["g0", "g0", "d0", "g1", "g1", "d1", "g2", "g2", "d2"]

    def test_a_negative_effect_still_marks_presence_increased(self, tmp_path):
        _, found = discover(presence_workspace(tmp_path, [4, 5, 6, 5, 4], [5, 6, 7, 6, 5, 6]))
        c = found[0]
        assert "systematically decreased" in c["description_statistical"]
        assert c["fingerprint"] == ref.compute_fingerprint(
            [("git", "files_touched", "decreased"), ("dependency", "_presence", "increased")])

    def test_group_sizes(self, tmp_path):
        treated = [10 + i % 3 for i in range(12)]
        control = [5 + i % 2 for i in range(140)]
        _, found = discover(presence_workspace(tmp_path / "a", treated, control, filler=0))
        assert [c["confidence_weight"] for c in found] == [0.4]
        assert len(found[0]["signal_refs"]) == 20
        # 40 treated commits and 29 control ones: too few controls.
        _, found = discover(presence_workspace(tmp_path / "b", [10] * 39 + [11], [5] * 28 + [6], filler=0))
        assert found == []
        # min_support 50 asks for 50 controls as well.
        _, found = discover(presence_workspace(tmp_path / "c", [10] * 49 + [11], [5] * 48 + [6], filler=0),
                            {"min_support": 50})
        assert found == []

    def test_constant_groups_are_skipped(self, tmp_path):
        _, found = discover(presence_workspace(tmp_path, [9] * 5, [5] * 5))
        assert found == []


@settings(max_examples=60)  # each example writes a workspace and opens a database
@given(st.randoms(use_true_random=False), st.fixed_dictionaries({
    "min_support": st.sampled_from([2, 3, 5]), "min_correlation": st.sampled_from([0.1, 0.4, 0.9]),
    "min_lift": st.sampled_from([1.0, 1.5, 2.0]), "min_effect_size": st.sampled_from([0.1, 0.35, 1.0]),
    "direction_threshold": st.sampled_from([1.0, 1.5]), "confidence_full_at": st.sampled_from([4, 30]),
    "temporal_window_hours": st.sampled_from([24, 6, 168])}))
def test_generated_workspaces_match_the_reference(tmp_path_factory, rng: random.Random, overrides):
    root = random_workspace(tmp_path_factory.mktemp("ws"), rng)
    engine = Phase4Engine(root, overrides)
    signals = engine._load_all_signals()
    params = engine.params
    commits, times = ref.build_indexes(root / "events")
    messages = []
    expected_pairs = ref.discover_cooccurrences(signals, commits, times, params, messages)
    expected_presence = ref.discover_presence_patterns(signals, commits, params, messages)

    handler = Recorder()
    logger = logging.getLogger("varnel.phase4")
    logger.addHandler(handler)
    old_level = logger.level
    logger.setLevel(logging.INFO)
    try:
        pairs = engine._discover_cooccurrences(signals)
        presence = engine._discover_presence_patterns(signals)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
        engine.close()
    assert without_times(pairs) == expected_pairs
    assert without_times(presence) == expected_presence
    assert handler.messages == messages


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__()
        self.messages = []

    def emit(self, record):
        self.messages.append((record.levelname.lower(), record.getMessage()))


# ---- the interpretation layer with stand-in clients -------------------------

PROMPT_OPENING = ("You are explaining a recurring code change pattern to a product manager.\n\n"
                  "Statistical finding: ")
PROMPT_TASK = ("\n\nDescribe what this pattern means in ONE plain-English sentence.\n"
               "Write for a non-technical audience \u2014 avoid jargon like 'correlation', 'deviation', 'stddev'.\n"
               "Do not add judgment, recommendations, or speculation.\n"
               "Describe only what is happening in practical terms.")
PATTERN = {"pattern_id": "p1", "description_statistical": "Signals move together.", "signal_refs": ["e1", "e2"]}
EXPLAINED = {"e1": {"signal_ref": "e1", "summary": "Builds took longer."},
             "e2": {"signal_ref": "e2", "summary": "More files changed."}}


class Client:
    """Answers every prompt with `answer` (or raises it), noting the prompts."""

    def __init__(self, answer="Builds slow down when many files change."):
        self.answer = answer
        self.prompts = []

    def generate(self, prompt):
        self.prompts.append(prompt)
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.fixture
def engine(tmp_path):
    engine = Phase4Engine(tmp_path)
    yield engine
    engine.close()


def interpret(engine, answer, pattern=PATTERN, explanations=EXPLAINED):
    client = Client(answer)
    engine._llm = client
    return engine._interpret_pattern(pattern, explanations), client


class TestInterpretation:
    def test_prompt(self, engine):
        text, client = interpret(engine, "Fine.")
        assert text == "Fine."
        assert client.prompts == [PROMPT_OPENING + "Signals move together.\n\nSignal explanations:\n"
                                  "- Builds took longer.\n- More files changed." + PROMPT_TASK]
        assert engine._llm is client

    def test_preambles_are_stripped_at_the_start_only(self, engine):
        assert interpret(engine, "Here is the description:\nBuilds slow down.")[0] == "Builds slow down."
        assert interpret(engine, "HERE'S A SENTENCE for you:  Builds slow down.  ")[0] == "Builds slow down."
        indented = " Here's a sentence: Builds slow down."
        assert interpret(engine, indented)[0] == indented.strip()
        assert interpret(engine, "Description: Builds slow down.")[0] == "Builds slow down."
        assert interpret(engine, "Here is the descr\u0130ption: Builds slow down.")[0] == "Builds slow down."
        kept = "Builds slow down. Here is the description: more."
        assert interpret(engine, kept)[0] == kept

    def test_at_most_four_sentences(self, engine):
        assert interpret(engine, "One. Two. Three. Four.")[0] == "One. Two. Three. Four."
        assert interpret(engine, "One. Two. Three. Four. Five.")[0] is None
        # Every "." cuts, so a decimal number counts as two pieces.
        assert interpret(engine, "Builds took 2.5 times longer on 3.4 days. Often.")[0] is not None
        assert interpret(engine, "Builds took 2.5 times longer on 3.4 days. Often. Still.")[0] is None

    def test_the_gate_decides(self, engine):
        assert interpret(engine, "This correlation should be fixed.")[0] is None
        assert interpret(engine, "   ")[0] is None

        class Broken:
            def no_forbidden_language(self, text):
                raise RuntimeError("gate down")

        engine.gate = Broken()
        with pytest.raises(RuntimeError, match="gate down"):
            interpret(engine, "Fine.")

    def test_failures_give_none(self, engine):
        assert interpret(engine, ValueError("service down"))[0] is None
        assert interpret(engine, 42)[0] is None
        assert interpret(engine, None)[0] is None

        class Interrupt(BaseException):
            pass

        with pytest.raises(Interrupt):
            interpret(engine, Interrupt())

    def test_only_the_first_five_references_are_explained(self, engine):
        pattern = {**PATTERN, "signal_refs": [f"e{i}" for i in range(10)]}
        text, client = interpret(engine, "Fine.", pattern, {"e5": {"summary": "Sixth."}, "e3": {}})
        assert text is None and client.prompts == []
        text, client = interpret(engine, "Fine.", {"signal_refs": ["e3", "e4"]}, {"e4": {"other": 1}})
        assert text == "Fine."
        assert client.prompts[0] == PROMPT_OPENING + "\n\nSignal explanations:\n- " + PROMPT_TASK

    @given(st.lists(st.sampled_from(["Here is ", "Here's ", "here is the ", "a ", "description", "Description",
                                     "sentence", "s\u017fentence", ":", " ", "\n", "\u2003", ".", "Fine", "x",
                                     "DESCRIPTION:"]), max_size=8).map("".join))
    def test_cleaning_matches_the_reference(self, shared_engine, answer):
        expected = ref.cleaned_answer(answer)
        if expected is not None and not shared_engine.gate.no_forbidden_language(expected):
            expected = None
        assert interpret(shared_engine, answer)[0] == expected


@pytest.fixture(scope="module")
def shared_engine(tmp_path_factory):
    engine = Phase4Engine(tmp_path_factory.mktemp("ws"))
    yield engine
    engine.close()


class TestClientChoice:
    class Made:
        def __init__(self, model):
            self.model = model

        def generate(self, prompt):
            return "Fine."

    class Failing:
        def __init__(self, model):
            raise RuntimeError("no key")

    @pytest.fixture
    def layer(self, tmp_path, monkeypatch, engine_for):
        def make(anthropic, openrouter, key):
            monkeypatch.setattr(patstage, "AnthropicClient", anthropic)
            monkeypatch.setattr(patstage, "OpenRouterClient", openrouter)
            if key:
                monkeypatch.setenv("ANTHROPIC_API_KEY", key)
            else:
                monkeypatch.delenv("ANTHROPIC_API_KEY", raising=False)
            monkeypatch.setenv("PHASE4B_ENABLED", "true")
            monkeypatch.setenv("PHASE4B_MODEL", "some/model")
            return engine_for(tmp_path)

        return make

    def test_anthropic_with_a_key(self, layer):
        client = layer(self.Made, self.Failing, "k")._get_llm()
        assert isinstance(client, self.Made) and client.model == "some/model"

    def test_openrouter_without_a_key_or_when_anthropic_fails(self, layer):
        for anthropic, key in ((self.Made, ""), (self.Failing, "k"), (None, "k")):
            engine = layer(anthropic, self.Made, key)
            client = engine._get_llm()
            assert isinstance(client, self.Made)
            assert engine._get_llm() is client  # made once

    def test_a_failed_openrouter_client_turns_the_layer_off(self, layer):
        engine = layer(None, self.Failing, "")
        assert engine._get_llm() is None and engine._llm_enabled is False

    def test_without_clients_nothing_is_interpreted(self, layer):
        engine = layer(None, None, "k")
        assert engine._get_llm() is None and engine._llm_enabled is True
        assert engine._interpret_pattern(PATTERN, EXPLAINED) is None

    def test_the_layer_off(self, tmp_path, monkeypatch):
        monkeypatch.setenv("PHASE4B_ENABLED", "false")
        engine = Phase4Engine(tmp_path)
        assert engine._get_llm() is None
        engine.close()


class TestRunWithTheLayer:
    def test_new_patterns_are_described(self, tmp_path):
        engine = Phase4Engine(co_moving_workspace(tmp_path))
        client = Client("Here is the sentence: Builds and commits grow together.")
        engine._llm = client
        result = engine.run()
        [detail] = result["details"]
        assert detail["description_semantic"] == "Builds and commits grow together."
        assert result["patterns_enriched"] == 1
        assert engine.kb.get_pattern(detail["pattern_id"])["description_semantic"] == detail["description_semantic"]
        assert "- Commit 0 touched many files.\n- Commit 1 touched many files." in client.prompts[0]
        engine.close()

    def test_a_refused_answer_leaves_no_description(self, tmp_path):
        engine = Phase4Engine(co_moving_workspace(tmp_path))
        engine._llm = Client("You should look into this.")
        result = engine.run()
        assert (result["details"][0]["description_semantic"], result["patterns_enriched"]) == (None, 0)
        assert engine.kb.get_pattern(result["details"][0]["pattern_id"])["description_semantic"] is None
        engine.close()

    def test_without_explanations_the_model_is_not_asked(self, tmp_path):
        engine = Phase4Engine(co_moving_workspace(tmp_path, explain=False))
        client = Client()
        engine._llm = client
        assert engine.run()["patterns_enriched"] == 0 and client.prompts == []
        engine.close()


# ---- the engine as a host drives it: construction, the batch, promotion ------

def batch_fingerprint(engine):
    """The fingerprint of the whole batch of signals, which the run looks up first."""
    return compute_fingerprint(signals_to_components(engine._load_all_signals(), 1.5))


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


class TestRun:
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

    def test_a_fleets_community_patterns_are_never_decayed_by_a_members_run(self, tmp_path, engine_for):
        engine = engine_for(tmp_path)
        old = "2000-01-01T00:00:00Z"
        shared = stored_pattern(engine, fingerprint="a", last_seen=old, scope="community", repo_count=4)
        own = stored_pattern(engine, fingerprint="a", last_seen=old)
        assert engine._run_decay() == [own["pattern_id"]]
        assert engine.kb.get_pattern(shared["pattern_id"])["expired"] == 0


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


# ---- what the module binds at import ----------------------------------------

def test_only_the_users_env_file_is_loaded_and_only_varnels_variables(tmp_path):
    pytest.importorskip("dotenv", reason="the .env file is read only where python-dotenv is installed")
    # A .env in the analysed repository (the working directory) is never read.
    (tmp_path / ".env").write_text("PHASE4B_MODEL=from-repo\nANTHROPIC_API_KEY=from-repo\n")
    config = tmp_path / "config" / "varnel"
    config.mkdir(parents=True)
    (config / ".env").write_text("PHASE4B_MODEL=from-file\nVARNEL_TEST_SET=from-file\nPHASE4B_ENABLED=true\n"
                                 "ANTHROPIC_BASE_URL=http://127.0.0.1:9\nOPENROUTER_API_KEY=k\n")
    check = """
        engine = patstage.Phase4Engine("ws")
        print(json.dumps([engine._llm_model, engine._llm_enabled, os.environ.get("VARNEL_TEST_SET"),
                          os.environ.get("ANTHROPIC_BASE_URL"), os.environ.get("OPENROUTER_API_KEY")]))
        engine.close()
    """
    result = import_in(tmp_path, check=check, env={"XDG_CONFIG_HOME": str(tmp_path / "config"),
                                                   "OPENROUTER_API_KEY": "kept"})
    assert result == ["from-file", True, None, None, "kept"]
    chosen = tmp_path / "elsewhere.env"
    chosen.write_text("PHASE4B_MODEL=chosen\n")
    result = import_in(tmp_path, check=check, env={"XDG_CONFIG_HOME": str(tmp_path / "config"),
                                                   "VARNEL_ENV_FILE": str(chosen)})
    assert result[0] == "chosen" and result[1] is False
