"""Directions, components, fingerprints and the correlation of varnel.patstage."""

import hashlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import phase4_reference as ref
from patstage_helpers import finite
from varnel.patstage import classify_direction, compute_fingerprint, signals_to_components

texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=8) | st.sampled_from(
    ["git", "ci", "files_touched", "run_duration", "increased", "decreased", "unchanged"])
components = st.lists(st.tuples(texts, texts, texts), max_size=6)


class TestFingerprint:
    def test_worked_example_in_either_order(self):
        pair = [("git", "files_touched", "increased"), ("ci", "run_duration", "increased")]
        assert compute_fingerprint(pair) == "fff7fdc968c86d3c"
        assert compute_fingerprint(list(reversed(pair))) == "fff7fdc968c86d3c"
        assert compute_fingerprint([list(c) for c in pair]) == "fff7fdc968c86d3c"

    def test_empty_list_and_duplicates(self):
        assert compute_fingerprint([]) == hashlib.sha256(b"[]").hexdigest()[:16]
        one = [("git", "m", "increased")]
        assert compute_fingerprint(one * 2) != compute_fingerprint(one)

    def test_refuses_what_is_not_a_triple_of_text(self):
        for bad in ([("git", "m")], [("git", "m", 3)], [None]):
            with pytest.raises(TypeError):
                compute_fingerprint(bad)

    @given(components)
    def test_matches_the_reference(self, comps):
        assert compute_fingerprint(comps) == ref.compute_fingerprint(comps)


class TestDirections:
    def test_thresholds_are_strict(self):
        assert classify_direction(1.5, 1.5) == "unchanged"
        assert classify_direction(1.5000001, 1.5) == "increased"
        assert classify_direction(-2.0, 1.5) == "decreased"
        assert classify_direction(-1.5, 1.5) == "unchanged"
        assert classify_direction(9.0, 1.5, "degenerate") == "unchanged"
        assert classify_direction(1.2) == "increased"
        assert classify_direction(1.2, 1.5) == "unchanged"
        assert classify_direction(3, 2) == "increased"
        assert classify_direction(float("nan"), 1.0) == "unchanged"
        assert classify_direction(True, 0.5) == "increased"
        with pytest.raises(TypeError):
            classify_direction("high", 1.0)


class TestComponents:
    def test_what_gives_no_component(self):
        signals = [
            {"engine_id": "git", "metric": "a", "deviation": {"measure": None, "unit": "modified_zscore"}},
            {"engine_id": "git", "metric": "b", "deviation": {"measure": 9.0, "degenerate": True}},
            {"engine_id": "git", "metric": "c"},
            {"engine_id": "git", "metric": "d", "deviation": {"measure": 9.0, "unit": "degenerate"}},
            {"engine_id": "ci", "metric": "e", "deviation": {"measure": -1.2}},
            {"engine_id": "ci", "metric": "e", "deviation": {"measure": -1.2}},
        ]
        assert signals_to_components(signals) == [("ci", "e", "decreased"), ("ci", "e", "decreased")]
        assert signals_to_components(signals, 1.5) == []
        # A missing measure counts as 0, which a negative threshold takes as a move.
        assert signals_to_components(signals[2:3], -1) == [("git", "c", "increased")]

    def test_a_moving_signal_needs_its_family_and_metric(self):
        with pytest.raises(KeyError, match="metric"):
            signals_to_components([{"engine_id": "git", "deviation": {"measure": 5.0}}])
        with pytest.raises(TypeError):
            signals_to_components([{"engine_id": "git", "metric": "m", "deviation": {"measure": "high"}}])

    @given(st.lists(st.fixed_dictionaries(
        {"engine_id": st.sampled_from(["git", "ci"]), "metric": st.sampled_from(["a", "b"])},
        optional={"deviation": st.fixed_dictionaries({}, optional={
            "measure": st.none() | finite, "unit": st.sampled_from(["modified_zscore", "degenerate"]),
            "degenerate": st.booleans()})}), max_size=8), st.sampled_from([1.0, 1.5, 0.0, -0.5]))
    def test_matches_the_reference(self, signals, threshold):
        assert signals_to_components(signals, threshold) == ref.signals_to_components(signals, threshold)


