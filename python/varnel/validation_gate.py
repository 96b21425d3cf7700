"""The validation gate for sentences a language model writes about a pattern.

The pattern engine asks a model for one plain-English sentence that a product
manager can read, and keeps the answer only when ``ValidationGate().
no_forbidden_language(text)`` is true. A text is refused when any rule below
applies; every word rule ignores case and matches whole words (so "must"
refuses "must" and "mustn't" but not "mustard").

1. Not text: anything that is not a ``str``.
2. Empty: nothing but white space.
3. Too long: more than ``MAX_LENGTH`` (400) characters once trimmed; one
   sentence for a busy reader is far shorter.
4. Statistics jargon, which the reader cannot act on: correlation (and
   correlate, correlated, ...), deviation (and deviate, co-deviate, ...),
   stddev / std dev, variance, z-score, sigma (or the sign), p-value,
   coefficient, Pearson, Cohen's d, effect size, statistically or statistical
   significance.
5. Recommendations, which the pattern engine never makes: should, must,
   ought to, need to / needs to, recommend (and recommended,
   recommendation, ...), advise (and advisable, ...), suggest (and suggests,
   suggestion, ...), make sure, be sure to.
6. Judgments, which are the reader's to make: bad, worse, worst, concerning,
   alarming, worrying, troubling, problematic, dangerous, unfortunately.
7. Speculation, which the pattern does not support: probably, perhaps,
   maybe, possibly, presumably.

``RULES`` lists rules 4 to 7 as (name, regular expression) pairs.
"""

import re

MAX_LENGTH = 400

RULES = (
    ("statistics jargon", r"correlat\w*|(?:co-?)?deviat\w*|std\.?\s?devs?|stddevs?|variances?|z[\s-]?scores?"
                          r"|sigmas?|p[\s-]?values?|coefficients?|pearson|cohen'?s\s+d|effect\s+sizes?"
                          r"|statistically|statistical\s+significance"),
    ("recommendation", r"should(?:n't)?|must(?:n't)?|ought\s+to|needs?\s+to|recommend\w*|advis\w*|suggest\w*"
                       r"|make\s+sure|be\s+sure\s+to"),
    ("judgment", r"bad|worse|worst|concerning|alarming|worrying|troubling|problematic|dangerous|unfortunately"),
    ("speculation", r"probably|perhaps|maybe|possibly|presumably"),
)

# A rule's words stand alone: no letter or digit right before or after them.
_FORBIDDEN = [(name, re.compile(rf"(?<!\w)(?:{pattern})(?!\w)", re.IGNORECASE)) for name, pattern in RULES]
_SIGMA_SIGN = re.compile("[\u03c3\u03a3]")


class ValidationGate:
    """Decides whether a model's sentence may describe a pattern."""

    def no_forbidden_language(self, text) -> bool:
        """True when `text` breaks none of the module's rules."""
        if not isinstance(text, str):
            return False
        trimmed = text.strip()
        if not trimmed or len(trimmed) > MAX_LENGTH:
            return False
        if _SIGMA_SIGN.search(trimmed):
            return False
        return not any(pattern.search(trimmed) for _, pattern in _FORBIDDEN)
