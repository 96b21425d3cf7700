"""The everyday words of varnel.friendly: what a reader would notice if wrong."""

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

from varnel import friendly, sigstage
from varnel.friendly import (
    advisory_status,
    friendly_pattern,
    metric_insight,
    pattern_risk_assessment,
    relative_change,
    risk_level,
)

# Every metric the signal engine emits.
SIGNAL_METRICS = [metric for metrics in sigstage.FAMILY_METRICS.values() for metric in metrics]

numbers = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(10**400), max_value=10**400),
    st.floats(allow_nan=True, allow_infinity=True),
)


class TestRelativeChange:
    @pytest.mark.parametrize(
        "current, usual, phrase",
        [
            (312.4, 104.1, "about 3x the usual 104"),
            (42, 5, "about 8.4x the usual 5"),
            (310, 12, "about 26x the usual 12"),
            (80, 120, "down 33% from the usual 120"),
            (212, 200, "up 6% from the usual 200"),
            (1_204, 1_000, "up 20% from the usual 1,000"),
            (0.05, 0.0167, "about 3x the usual 0.017"),
            (120, 120.0, "the same as usual"),
        ],
    )
    def test_everyday_phrases(self, current, usual, phrase):
        assert relative_change(current, usual) == phrase

    @pytest.mark.parametrize(
        "current, usual, phrase",
        [
            (1.0625, 1, "up 6.2% from the usual 1"),  # 6.25 exactly: half to even
            (1.125, 1, "up 12% from the usual 1"),  # 12.5 exactly: half to even
            (1.375, 1, "up 38% from the usual 1"),
            (0.9375, 1, "down 6.2% from the usual 1"),
            (1.095, 1, "up 9.5% from the usual 1"),
            (1.0996, 1, "up 10% from the usual 1"),  # 9.96 rounds to 10.0, shown whole
            (1.0004, 1, "about the same as the usual 1"),
            (1.95, 1, "up 95% from the usual 1"),
            (2, 1, "about 2x the usual 1"),
            (0.005, 1, "down more than 99% from the usual 1"),
        ],
    )
    def test_rounding_of_percentages_and_multiples(self, current, usual, phrase):
        assert relative_change(current, usual) == phrase

    @pytest.mark.parametrize(
        "current, usual, phrase",
        [
            (0, 0, "the same as usual"),
            (0.0, 0, "the same as usual"),
            (3, 0, "up from 0 to 3"),
            (-2, 0.0, "down from 0 to -2"),
            (0, 5, "down to 0 from the usual 5"),
            (-5, -2, "down from -2 to -5"),
            (4, -3, "up from -3 to 4"),
            (3, None, "no usual value to compare with"),
            (None, 3, "not a number, so there is nothing to compare"),
            (math.nan, 3, "not a number, so there is nothing to compare"),
            (3, math.nan, "no usual value to compare with"),
            (math.inf, 5, "up from 5 to infinity"),
            (5, math.inf, "down from infinity to 5"),
            (-math.inf, 5, "down from 5 to minus infinity"),
            (10**400, 3, "over 1,000x the usual 3"),
            (1.0, 10**400, "down more than 99% from the usual 1.00e+400"),
            (10**400, 10**399, "about 10x the usual 1.00e+399"),
            (5, 1e-300, "over 1,000x the usual 1.00e-300"),
            (3e15, 1e15, "about 3x the usual 1.00e+15"),
        ],
    )
    def test_zero_missing_and_extreme_values(self, current, usual, phrase):
        assert relative_change(current, usual) == phrase

    @given(numbers, numbers)
    def test_always_a_phrase_with_the_right_direction(self, current, usual):
        phrase = relative_change(current, usual)
        assert isinstance(phrase, str) and phrase and phrase == phrase.strip()
        comparable = all(
            isinstance(x, (int, float)) and not (isinstance(x, float) and math.isnan(x)) for x in (current, usual)
        )
        if not comparable:
            return
        if current == usual:
            assert phrase == "the same as usual"
        elif phrase.startswith("about the same"):
            assert usual > 0 and abs(current / usual - 1) < 0.0005
        elif current > usual:
            assert phrase.split()[0] in ("up", "about", "over")
        else:
            assert phrase.split()[0] == "down"


class TestMetricInsight:
    def test_every_metric_has_something_to_say(self):
        for metric in SIGNAL_METRICS:
            said = [metric_insight(metric, d) for d in ("up", "down")]
            assert any(said), metric
            for sentence in filter(None, said):
                assert sentence[0].isupper() and sentence.endswith(".") and len(sentence) <= 100

    @pytest.mark.parametrize(
        "metric, direction",
        [("files_touched", "down"), ("run_failed", "down"), ("total_tests", "up"), ("line_rate", "up"),
         ("unknown_metric", "up"), ("run_duration", "sideways"), ("run_duration", "UP"), (None, "up"),
         (["run_duration"], "up"), ("run_duration", None)],
    )
    def test_nothing_to_say(self, metric, direction):
        assert metric_insight(metric, direction) == ""

    def test_direction_words_match_the_move(self):
        assert "fail" in metric_insight("run_failed", "up").lower()
        assert "fewer tests" in metric_insight("total_tests", "down").lower()
        assert "less of the code" in metric_insight("line_rate", "down").lower()
        assert metric_insight("run_duration", "up") != metric_insight("run_duration", "down")


class TestRiskLevel:
    @pytest.mark.parametrize(
        "deviation, label",
        [(0, "Normal"), (1.4999, "Normal"), (1.5, "Unusual"), (-1.5, "Unusual"), (2.99, "Unusual"), (3, "High"),
         (-4.99, "High"), (5.0, "Very high"), (9.99, "Very high"), (10, "Extreme"), (-math.inf, "Extreme"),
         (10**400, "Extreme"), (math.nan, "Unknown"), (None, "Unknown"), ("3", "Unknown")],
    )
    def test_bands(self, deviation, label):
        level = risk_level(deviation)
        assert level["label"] == label
        assert isinstance(level["description"], str) and level["description"]

    def test_descriptions_read_after_still(self):
        assert risk_level(6)["description"].lower() == "far outside the usual range"
        assert risk_level(0.2)["description"].lower() == "within the usual range"


KNOWLEDGE = {
    "knowledge_id": "k-1", "pattern_type": "co_occurrence", "confidence": "approved", "support_count": 12,
    "sources": ["ci", "git"], "metrics": ["files_touched", "run_duration"], "description": "Signals ...",
}
PATTERN = {
    "pattern_id": "p-1", "correlation": 0.82, "families": ["ci", "git"], "metrics": ["files_touched", "run_duration"],
    "description": "Signals ...", "repo_count": 3,
}


class TestFriendlyPattern:
    def test_known_and_possible_patterns(self):
        assert friendly_pattern(KNOWLEDGE) == (
            "Known pattern: files changed per commit and build time tend to rise and fall together "
            "(confirmed, seen 12 times).")
        assert friendly_pattern(PATTERN) == (
            "Possible pattern: files changed per commit and build time tend to rise and fall together "
            "(a close link, seen in 3 repositories).")

    def test_plural_forms(self):
        assert "(confirmed, seen 1 time)." in friendly_pattern(dict(KNOWLEDGE, support_count=1))
        assert "(confirmed)." in friendly_pattern(dict(KNOWLEDGE, support_count=0))
        assert "seen in 1 repository)." in friendly_pattern(dict(PATTERN, repo_count=1))
        assert "seen in 1,200 repositories)." in friendly_pattern(dict(PATTERN, repo_count=1200))
        assert friendly_pattern(dict(PATTERN, repo_count=0)).endswith("(a close link).")

    def test_links_and_presence(self):
        assert "tend to move in opposite directions (a clear link" in friendly_pattern(
            dict(PATTERN, correlation=-0.5, metrics=["files_touched", "line_rate"]))
        assert "(a loose link" in friendly_pattern(dict(PATTERN, correlation=0.1))
        assert friendly_pattern({"pattern_id": "p", "correlation": 0.9,
                                 "metrics": ["dependency_presence", "files_touched"]}) == (
            "Possible pattern: files changed per commit is usually higher on commits that come with "
            "a dependency change (a close link).")
        assert "API endpoints has moved like this before" in friendly_pattern(dict(KNOWLEDGE, metrics=["endpoint_count"]))

    @given(st.dictionaries(st.sampled_from(list(KNOWLEDGE) + list(PATTERN)),
                           st.one_of(numbers, st.text(), st.lists(st.one_of(st.text(), numbers)))))
    def test_any_match_gives_one_sentence(self, match):
        sentence = friendly_pattern(match)
        assert isinstance(sentence, str) and sentence.endswith(".") and "\n" not in sentence
        assert pattern_risk_assessment(match)["severity"] in ("positive", "info", "watch", "concern", "critical")


class TestPatternRiskAssessment:
    @pytest.mark.parametrize(
        "match, severity",
        [
            (KNOWLEDGE, "watch"),
            (dict(KNOWLEDGE, metrics=["critical_count", "files_touched"]), "critical"),
            (dict(PATTERN, metrics=["event_count", "run_duration"]), "concern"),
            (dict(PATTERN, metrics=["event_count", "run_duration"], correlation=0.2), "watch"),  # weak, unconfirmed
            (dict(KNOWLEDGE, metrics=["event_count"]), "concern"),  # confirmed: never lowered
            (dict(PATTERN, metrics=["line_rate", "total_tests"]), "positive"),
            (dict(PATTERN, metrics=["line_rate", "run_duration"]), "watch"),
            (dict(PATTERN, metrics=["asset_count"], correlation=0.1), "info"),
            ({}, "info"),
            (None, "info"),
        ],
    )
    def test_rules(self, match, severity):
        assessment = pattern_risk_assessment(match)
        assert assessment["severity"] == severity
        assert assessment["reason"]


class TestAdvisoryStatus:
    @pytest.mark.parametrize(
        "changes, status",
        [
            ([], "all_clear"),
            (None, "all_clear"),
            ([{"metric": "line_rate", "deviation_stddev": -1.6}], "watch"),
            ([{"metric": "line_rate", "deviation_stddev": -1.6}, {"metric": "run_duration", "deviation_stddev": 3.2}],
             "review"),
            ([{"metric": "run_duration", "deviation_stddev": -12.0}], "action_needed"),
            ([{"metric": "run_failed", "deviation_stddev": 1.5}], "action_needed"),
            ([{"metric": "critical_count", "deviation_stddev": -4.0}], "review"),  # fewer critical findings
            ([{"metric": "run_duration", "deviation_stddev": math.nan}, {"metric": "x"}], "watch"),
        ],
    )
    def test_rules(self, changes, status):
        assert advisory_status({"scope": "s", "changes": changes}) == status

    def test_module_is_deterministic_data(self):
        assert set(friendly.CONCERN.values()) <= {"positive", "info", "watch", "concern", "critical"}
        assert {metric for metric, _ in friendly.INSIGHTS} <= set(SIGNAL_METRICS)
