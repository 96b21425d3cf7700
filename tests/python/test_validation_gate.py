"""varnel.validation_gate: each documented rule refuses what it names and
nothing more."""

import pytest

from varnel.validation_gate import MAX_LENGTH, RULES, ValidationGate

gate = ValidationGate()

PLAIN = [
    "Builds take longer on the days when many files change.",
    "When a lockfile changes, commits touch about twice as many files.",
    "Releases come out faster in weeks with fewer test failures.",
    "The API gains endpoints in the same weeks as new infrastructure resources.",
]

REFUSED = {
    "statistics jargon": ["These builds correlate with large commits.", "The correlation is strong.",
                          "Duration deviates from normal.", "The metrics co-deviate often.",
                          "A high z-score appears.", "Zscores rise.", "The stddev grows.", "Its std dev grows.",
                          "The variance grows.", "Three sigma away.", "The p-value is low.",
                          "The Pearson coefficient is high.", "Cohen's d is large.", "The effect size is large.",
                          "It is statistically clear."],
    "recommendation": ["Teams should split commits.", "You must review this.", "Builds mustn't grow.",
                       "Someone ought to look.", "The team needs to act.", "We recommend smaller commits.",
                       "It is advisable to wait.", "This suggests a problem.", "Make sure tests pass.",
                       "Be sure to check."],
    "judgment": ["This is bad for the team.", "Builds got worse.", "The worst week.", "A concerning trend.",
                 "An alarming rise.", "A worrying rise.", "A troubling rise.", "A problematic release.",
                 "A dangerous change.", "Unfortunately builds slowed."],
    "speculation": ["Builds probably slow down.", "Perhaps tests fail.", "Maybe releases slip.",
                    "Possibly the cache misses.", "Presumably the cache misses."],
}


def test_plain_sentences_pass():
    for text in PLAIN:
        assert gate.no_forbidden_language(text) is True


@pytest.mark.parametrize("rule", [name for name, _ in RULES])
def test_each_rule_refuses_its_words(rule):
    for text in REFUSED[rule]:
        assert gate.no_forbidden_language(text) is False, text
        assert gate.no_forbidden_language(text.upper()) is False, text


def test_words_count_only_whole():
    for text in ["Mustard supplies ran out.", "The shoulder season starts.", "Badges were added.",
                 "A maybelline import.", "Unsuggestible builds.", "Badminton at noon."]:
        assert gate.no_forbidden_language(text) is True, text


def test_the_sigma_sign_is_jargon():
    assert gate.no_forbidden_language("Builds sit 3\u03c3 above normal.") is False


def test_empty_long_and_non_text():
    assert gate.no_forbidden_language("") is False
    assert gate.no_forbidden_language(" \n\t ") is False
    assert gate.no_forbidden_language("a" * MAX_LENGTH) is True
    assert gate.no_forbidden_language("a" * (MAX_LENGTH + 1)) is False
    assert gate.no_forbidden_language("  " + "a" * MAX_LENGTH + "  ") is True
    for value in (None, 3, b"bytes", ["text"]):
        assert gate.no_forbidden_language(value) is False
