"""Comparisons and the vocabulary's data, shared by the tests."""

import math
import tomllib
from pathlib import Path

VOCABULARY_FILE = Path(__file__).resolve().parents[2] / "vocabulary" / "vocabulary.toml"


def read_vocabulary() -> dict:
    """The vocabulary of families and metrics as its data file holds it, for
    the reference models, which restate the engines' rules on their own."""
    with VOCABULARY_FILE.open("rb") as f:
        return tomllib.load(f)


def same(a, b):
    """Equality that holds NaN equal to itself and tells 1 from 1.0, True from 1 and 0.0 from -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b
