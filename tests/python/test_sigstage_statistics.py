"""The signal engine's robust deviation through sigstage.compute_robust_deviation:
the documented cases."""

import pytest

from varnel import sigstage
from helpers import same


class TestRobustDeviation:
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


