"""The signal engine's statistics held against Python's statistics module."""

import math
import statistics
import sys

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import phase2_reference as ref
from varnel import sigstage
from helpers import same

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

    @pytest.mark.parametrize(
        "values, observed, expected",
        [
            ([10, 12, 11, 13, 12], 20,
             {"measure": 5.396, "unit": "modified_zscore", "median": 12, "mad": 1, "degenerate": False}),
            ([5, 5, 5, 6, 9], 9, {"measure": 5.4, "unit": "iqr_normalized", "median": 5, "mad": 0.0, "degenerate": False}),
            ([7, 7, 7, 7], 7, {"measure": 0.0, "unit": "degenerate", "median": 7.0, "mad": 0.0, "degenerate": True}),
            ([7, 7, 7, 7], 8, {"measure": None, "unit": "degenerate", "median": 7.0, "mad": 0.0, "degenerate": True}),
            ([1, 2, 3, 4], 2.5,
             {"measure": 0.0, "unit": "modified_zscore", "median": 2.5, "mad": 1.0, "degenerate": False}),
        ],
    )
    def test_documented_cases(self, values, observed, expected):
        before = list(values)
        assert same(sigstage.compute_robust_deviation(observed, values), expected)
        assert values == before

    def test_below_the_median_is_negative(self):
        assert sigstage.compute_robust_deviation(8, [10, 12, 11, 13, 12])["measure"] < 0

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
