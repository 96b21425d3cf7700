"""These tests pin the signal engine's internal operations: the event
loader, the git metrics of one commit, the signal emitter and the robust
statistics, which varnel.sigstage keeps bound for callers of the engines'
internals. The other test files use only the public interface."""

import math
import statistics
import sys

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import phase2_reference as ref
from sigstage_helpers import GIT_METRICS, git_event, git_metrics, write_events
from varnel import sigstage
from helpers import same

NOVELTY = GIT_METRICS[-1]  # co-change novelty


# ---- events, git metrics and the signal emitter -----------------------------

class TestWindowRules:
    def test_order_by_observed_at_then_file_name(self, tmp_path):
        events = {f"{name}.json": {"source_family": "ci", "event_id": name, "payload": {}, "observed_at": at}
                  for name, at in [("b", "2026-01-02"), ("a", "2026-01-02"), ("c", "2026-01-01")]}
        events["z.json"] = {"source_family": "ci", "event_id": "z", "payload": {}}
        write_events(tmp_path, events)
        loaded = sigstage.Phase2Engine(tmp_path)._load_events(source_family="ci")
        assert [e["event_id"] for e in loaded] == ["z", "c", "a", "b"]


class TestGitMetrics:
    def test_dispersion_over_top_level_directories(self):
        files = {"src/a.py", "src/b.py", "docs/x.md", "README.md"}
        assert sigstage.Phase2Engine._dispersion(files) == 1.5
        assert sigstage.Phase2Engine._dispersion({"a"}) == 0.0
        assert sigstage.Phase2Engine._dispersion(set()) == 0.0

    def test_pair_limit_of_thirty_files(self, tmp_path):
        thirty = [f"d{i}/f" for i in range(30)]
        assert len(sigstage.Phase2Engine._cochange_pairs(set(thirty))) == 435
        engine, per_event = git_metrics(tmp_path, [thirty + ["extra"], thirty[:2], thirty[:2]])
        assert NOVELTY not in per_event[0]
        [novelty] = [s for s in engine.run_git() if s["metric"] == NOVELTY]
        # The 31-file commit left no pairs behind, so the second commit's pair was new.
        assert novelty["event_ref"] == "g2" and novelty["baseline"]["mean"] == 1.0 and novelty["observed"] == 0.0

    def test_per_event_helpers(self, tmp_path):
        engine = sigstage.Phase2Engine(tmp_path)
        event = git_event(0, ["a/x", "b/y", "a/x"])
        metrics = engine._git_metrics(event)
        assert metrics == dict(zip(GIT_METRICS[:2], (2, 1.0)))
        window = [{"files": {"a/x"}, "pairs": {("a/x", "b/y")}}]
        assert engine._git_extended_metrics(event, metrics, window) is metrics
        assert metrics == dict(zip(GIT_METRICS, (2, 1.0, 0.5, 0.0)))


class TestBadInput:
    def test_large_integer_times_order_exactly(self, tmp_path):
        events = {f"{name}.json": {"source_family": "ci", "event_id": name, "payload": {}, "observed_at": at}
                  for name, at in [("a", 2**70 + 1), ("b", 2**70), ("c", float(2**70))]}
        write_events(tmp_path, events)
        loaded = sigstage.Phase2Engine(tmp_path)._load_events(source_family="ci")
        assert [e["event_id"] for e in loaded] == ["b", "c", "a"]


class TestEngineSurface:
    def test_emit_signals_with_host_callables(self, tmp_path):
        engine = sigstage.Phase2Engine(tmp_path, min_baseline=2)
        seen = []
        events = [{"event_id": f"e{i}", "n": i} for i in range(4)]
        signals = engine._emit_signals(events, "mine", "label", lambda e: {"n": e["n"], "gone": None},
                                       lambda e, m: seen.append(m) or {"extra": 1})
        assert [s["event_ref"] for s in signals] == ["e2", "e3"]
        assert signals[0]["engine_id"] == "mine" and signals[0]["source_type"] == "label"
        assert len(seen) == 4
        with pytest.raises(ZeroDivisionError):
            engine._emit_signals(events, "m", "l", lambda e: 1 / 0, lambda e, m: None)


# ---- statistics, held against Python's statistics module --------------------

ints = st.one_of(
    st.integers(min_value=-1000, max_value=1000),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.integers(min_value=-(2**90), max_value=2**90),
)
reals = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6),
    st.floats(allow_nan=False, allow_infinity=False, width=64),
    st.sampled_from([0.1, 0.2, 0.3, 5e-324, 1e-310, 2.2250738585072014e-308, 1e300, -1e300, sys.float_info.max]),
)
numbers = st.one_of(ints, reals)
histories = st.one_of(
    st.lists(ints, min_size=1, max_size=50),
    st.lists(reals, min_size=1, max_size=50),
    st.lists(numbers, min_size=1, max_size=50),
    st.lists(st.sampled_from([1, 1.0, 2, 2.0, 3, 0.5]), min_size=1, max_size=50),
)


@pytest.fixture(scope="module")
def judge(tmp_path_factory):
    """Signals of successive values of one metric, every earlier value in the window."""
    engine = sigstage.Phase2Engine(tmp_path_factory.mktemp("stats"), window_size=50, min_baseline=1)

    def run(values):
        events = [{"v": v, "event_id": f"e{i}"} for i, v in enumerate(values)]
        got = engine._emit_signals(events, "x", "y", lambda e: {"m": e["v"]}, lambda e, m: None)
        return got, ref.emit(events, "x", "y", lambda e: {"m": e["v"]}, 50, 1)

    return run


class TestExactBaselines:
    """mean, pstdev and median of every window, kinds included, as Python computes them."""

    @given(histories, numbers)
    @example([1, 2], 0)
    @example([2**62 + 1, 2**62 + 2], 0)
    @example([1e308, -1e308, 1e308], 0.0)
    @example([5e-324, 1e-323, 0.0], 1.0)
    def test_every_window_matches_python(self, judge, values, probe):
        got, want = judge(values + [probe])
        assert same(got, want)

    def test_whole_integer_mean_stays_integer(self, tmp_path):
        engine = sigstage.Phase2Engine(tmp_path, min_baseline=3)
        events = [{"v": v} for v in (2, 4, 6, 100)]
        [signal] = engine._emit_signals(events, "x", "y", lambda e: {"m": e["v"]}, lambda e, m: None)
        assert same(signal["baseline"], {"mean": 4, "stddev": 1.632993161855452, "median": 4, "mad": 2})
        events = [{"v": v} for v in (1, 2, 4, 100)]
        [signal] = engine._emit_signals(events, "x", "y", lambda e: {"m": e["v"]}, lambda e, m: None)
        assert same(signal["baseline"]["mean"], statistics.mean([1, 2, 4]))


class TestRobustDeviation:
    @given(histories, numbers)
    def test_matches_reference(self, values, observed):
        assert same(sigstage.compute_robust_deviation(observed, values), ref.robust(observed, values))
        assert same(sigstage._median_absolute_deviation(values), ref.mad(values))
        assert same(sigstage._iqr(values), ref.iqr(values))

    def test_interquartile_indices(self):
        assert sigstage._iqr([1, 2, 3, 4, 5]) == 2
        assert sigstage._iqr([1, 2]) == 1
        assert sigstage._iqr([3]) == 0

    def test_bad_arguments(self):
        with pytest.raises(ValueError):
            sigstage.compute_robust_deviation(1, [])
        with pytest.raises(TypeError):
            sigstage.compute_robust_deviation("1", [1, 2])
        with pytest.raises(TypeError):
            sigstage.compute_robust_deviation(1, [1, "2"])
        with pytest.raises(TypeError):
            sigstage._iqr([True, 2])
        with pytest.raises(ValueError):
            sigstage._median_absolute_deviation([1.0, math.nan])
