"""Co-occurrence and presence discovery of varnel.patstage, against worked
examples and against the Python reference model on generated workspaces."""

import logging
import random
import re

from hypothesis import given, settings
from hypothesis import strategies as st

import phase4_reference as ref
from patstage_helpers import git_event, random_workspace, signal, triggered_event, write_workspace
from varnel.patstage import Phase4Engine

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
    @staticmethod
    def workspace(root, treated_values, control_values, filler=30, family="dependency"):
        """git.files_touched takes `treated_values` on commits that also carry a `family` signal and
        `control_values` on others; `filler` more commits carry only a constant git metric."""
        events, signals = [], []
        values = [(v, True) for v in treated_values] + [(v, False) for v in control_values] + [(None, False)] * filler
        for i, (value, treated) in enumerate(values):
            sha = f"{i:040x}"
            events.append(git_event(f"g{i}", sha, observed_at=""))
            signals.append(signal("git", "lines", f"g{i}", 1.0))
            if value is not None:
                signals.append(signal("git", "files_touched", f"g{i}", value))
            if treated:
                events.append(triggered_event(f"d{i}", family, sha, observed_at=""))
                signals.append(signal(family, "dependency_count", f"d{i}", 0.5))
        return write_workspace(root, events, signals)

    def test_cohens_d_example(self, tmp_path):
        _, found = discover(self.workspace(tmp_path, [10, 12, 14], [5, 5, 6, 4]), {"min_support": 3})
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
        _, found = discover(self.workspace(tmp_path, [4, 5, 6, 5, 4], [5, 6, 7, 6, 5, 6]))
        c = found[0]
        assert "systematically decreased" in c["description_statistical"]
        assert c["fingerprint"] == ref.compute_fingerprint(
            [("git", "files_touched", "decreased"), ("dependency", "_presence", "increased")])

    def test_group_sizes(self, tmp_path):
        treated = [10 + i % 3 for i in range(12)]
        control = [5 + i % 2 for i in range(140)]
        _, found = discover(self.workspace(tmp_path / "a", treated, control, filler=0))
        assert [c["confidence_weight"] for c in found] == [0.4]
        assert len(found[0]["signal_refs"]) == 20
        # 40 treated commits and 29 control ones: too few controls.
        _, found = discover(self.workspace(tmp_path / "b", [10] * 39 + [11], [5] * 28 + [6], filler=0))
        assert found == []
        # min_support 50 asks for 50 controls as well.
        _, found = discover(self.workspace(tmp_path / "c", [10] * 49 + [11], [5] * 48 + [6], filler=0),
                            {"min_support": 50})
        assert found == []

    def test_constant_groups_are_skipped(self, tmp_path):
        _, found = discover(self.workspace(tmp_path, [9] * 5, [5] * 5))
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
