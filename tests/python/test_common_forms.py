"""The shared JSON, number and identifier forms held against Python itself."""

import hashlib
import json
import math
import re
import sys
import unicodedata

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from varnel import _common
from helpers import same

INT64 = 2**63

# Reals that stress the shortest form and its exponent switches.
edge_reals = st.sampled_from(
    [0.0, -0.0, 1e-4, 9.999999999999999e-05, 1e-05, 1e16, 9999999999999998.0, 1e15, 1.5e16,
     sys.float_info.max, -sys.float_info.max, sys.float_info.min, 5e-324, -5e-324,
     float("nan"), float("inf"), float("-inf"), 0.1, 2.675, 0.125, 2.5, 1e22, 1e-7]
)
reals = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    edge_reals,
    st.floats(min_value=1e-5, max_value=1e-3),
    st.floats(min_value=1e15, max_value=1e17),
)
ints = st.one_of(
    st.integers(),
    st.integers(min_value=-INT64 - 4, max_value=-INT64 + 4),
    st.integers(min_value=INT64 - 4, max_value=INT64 + 4),
    st.integers(min_value=-(10**40), max_value=10**40),
)
texts = st.text(
    alphabet=st.one_of(
        st.characters(codec="utf-8"),
        st.characters(min_codepoint=0, max_codepoint=0x1F),
        st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF),
        st.sampled_from(['"', "\\", "\x7f", "\u2014", "\ud800", "\udfff"]),
    )
)
scalars = st.one_of(st.none(), st.booleans(), ints, reals, texts)
values = st.recursive(
    scalars,
    lambda children: st.one_of(st.lists(children, max_size=6), st.dictionaries(texts, children, max_size=6)),
    max_leaves=30,
)


class TestWriters:
    @given(values)
    def test_pretty_matches_json_indent_2(self, x):
        assert _common.dumps_pretty(x) == json.dumps(x, indent=2)

    @given(values)
    def test_canonical_matches_sorted_compact_json(self, x):
        assert _common.dumps_canonical(x) == json.dumps(x, sort_keys=True, separators=(",", ":"))

    @given(values)
    def test_stored_form_matches_json_defaults(self, x):
        assert _common.dumps_stored(x) == json.dumps(x)

    def test_layout_details(self):
        assert _common.dumps_pretty([]) == "[]"
        assert _common.dumps_pretty({"a": {}, "b": []}) == '{\n  "a": {},\n  "b": []\n}'
        assert _common.dumps_pretty("\u2014\U0001f600") == '"\\u2014\\ud83d\\ude00"'
        assert _common.dumps_pretty([1.0, 1e-05, 1e16, float("-inf")]) == "[\n  1.0,\n  1e-05,\n  1e+16,\n  -Infinity\n]"
        # Tuples are lists; dict keys that are not text become text as json writes them.
        assert _common.dumps_canonical((1, 2)) == "[1,2]"
        assert _common.dumps_stored({1: "a", None: "b", True: "c", 1.5: "d"}) == json.dumps(
            {1: "a", None: "b", True: "c", 1.5: "d"}
        )

    def test_values_without_json_form_are_refused(self):
        with pytest.raises(TypeError, match="not JSON serializable"):
            _common.dumps_pretty({"a": object()})
        with pytest.raises(TypeError, match="keys must be"):
            _common.dumps_pretty({(1, 2): 1})
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="Circular reference"):
            _common.dumps_canonical(loop)


class TestReader:
    @given(values)
    def test_reads_back_what_json_writes(self, x):
        # json itself joins an escaped surrogate pair into one character, so
        # the reference is what json reads back, not x.
        for text in (json.dumps(x), json.dumps(x, indent=2)):
            assert same(_common.loads(text), json.loads(text))

    @given(st.text(max_size=30))
    @example("[1,]")
    @example('{"a":1,}')
    @example('"\\ud800\\u12"')
    @example("\ufeff[]")
    def test_accepts_and_refuses_what_json_does(self, text):
        try:
            expected = json.loads(text)
        except json.JSONDecodeError as e:
            with pytest.raises(json.JSONDecodeError) as caught:
                _common.loads(text)
            assert (caught.value.msg, caught.value.doc, caught.value.pos, caught.value.lineno,
                    caught.value.colno) == (e.msg, e.doc, e.pos, e.lineno, e.colno)
        except RecursionError:
            return
        else:
            assert same(_common.loads(text), expected)

    def test_duplicate_key_keeps_first_position_and_last_value(self):
        assert list(_common.loads('{"b": 1, "a": 2, "b": 3}').items()) == [("b", 3), ("a", 2)]
        many = ", ".join(f'"k{i}": {i}' for i in range(100)) + ', "k5": "last"'
        assert _common.loads("{" + many + "}") == json.loads("{" + many + "}")

    def test_numbers_keep_their_kind_and_value(self):
        assert same(_common.loads("[1, 1.0, -0.0, 1e400, -1e400, 1e-400, 123456789012345678901234567890]"),
                    [1, 1.0, -0.0, float("inf"), float("-inf"), 0.0, 123456789012345678901234567890])
        assert same(_common.loads("[NaN, Infinity, -Infinity]")[1:], [float("inf"), float("-inf")])

    def test_exponents_beyond_any_double(self):
        text = "[1e9223372036854775807, 12e9223372036854775807, 0.0001e-9223372036854775808, -1e99999999999999999999]"
        assert same(_common.loads(text), json.loads(text))

    def test_lone_surrogate_escape_survives_a_round_trip(self):
        text = '"\\ud800x\\udfff"'
        assert _common.loads(text) == json.loads(text) == "\ud800x\udfff"
        assert _common.dumps_pretty(_common.loads(text)) == text

    def test_deep_nesting_is_refused_not_crashed(self):
        with pytest.raises(json.JSONDecodeError, match="Nesting too deep"):
            _common.loads("[" * 100_000)


class TestRounding:
    @given(reals, st.integers(min_value=0, max_value=20))
    @example(2.675, 2)
    @example(0.125, 2)
    @example(0.1234565, 6)
    @example(2.5, 0)
    def test_reals_round_as_python_round(self, x, n):
        assert same(_common.round_half_even(x, n), round(x, n))

    @given(ints, st.integers(min_value=0, max_value=10))
    def test_integers_stay_integers(self, x, n):
        assert same(_common.round_half_even(x, n), round(x, n))

    def test_refuses_what_cannot_be_rounded(self):
        with pytest.raises(TypeError):
            _common.round_half_even("1.5", 1)
        with pytest.raises(TypeError):
            _common.round_half_even(None, 1)


FORMS = [".0f", ".1f", ".2f", ".2%", ".1%", ".4g"]


class TestNumberForms:
    @given(st.one_of(reals, st.integers(min_value=-(2**70), max_value=2**70), st.booleans()), st.sampled_from(FORMS))
    @example(2.5, ".0f")
    @example(0.125, ".2f")
    @example(12345, ".4g")
    @example(0.000012345, ".4g")
    @example(-0.0, ".4g")
    def test_format_specs_match_format(self, x, form):
        assert _common.format_number(x, form) == format(x, form)

    @given(st.one_of(reals, st.integers(min_value=-(2**70), max_value=2**70)))
    def test_printf_general_matches_percent_operator(self, x):
        assert _common.format_number(x, "%.4g") == "%.4g" % x

    @given(scalars)
    def test_plain_matches_str(self, x):
        if isinstance(x, str) and not x.isprintable():
            return
        assert _common.format_number(x, "plain") == str(x)

    @pytest.mark.parametrize("x, form", [(1e-300, ".60g"), (5e-324, ".70g"), (1 / 3, ".100g"), (2.5e-310, ".80f")])
    def test_long_forms(self, x, form):
        assert _common.format_number(x, form) == format(x, form)
        assert _common.format_number(x, "%.80g") == "%.80g" % x

    def test_plain_text_keeps_lone_surrogates(self):
        assert _common.format_number("\ud800", "plain") == "\ud800"

    def test_plain_of_containers(self):
        x = {"a": [1, 2.5, None, True, "it's"]}
        assert _common.format_number(x, "plain") == str(x)

    def test_errors(self):
        with pytest.raises(TypeError):
            _common.format_number("12", ".2f")
        with pytest.raises(ValueError):
            _common.format_number(1, ".2x")
        with pytest.raises(OverflowError):
            _common.format_number(10**400, ".2f")


class TestIdentifiers:
    @given(values, st.integers(min_value=1, max_value=64))
    def test_content_id_is_sha256_of_canonical_text(self, x, digits):
        canonical = json.dumps(x, sort_keys=True, separators=(",", ":"))
        expected = hashlib.sha256(canonical.encode("utf-8", "surrogatepass")).hexdigest()[:digits]
        assert _common.content_id(x, digits) == expected

    def test_key_order_does_not_matter(self):
        assert _common.content_id({"a": 1, "b": [2]}, 16) == _common.content_id({"b": [2], "a": 1}, 16)
        assert _common.content_id("abc", 16) != _common.content_id(["abc"], 16)

    def test_utc_timestamp_form(self):
        stamp = _common.utc_timestamp()
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z", stamp)
        assert not stamp.endswith(".000000Z")


class TestOneLine:
    """Repository text shown in reports and briefs: one line, no control or format characters."""

    @staticmethod
    def python_one_line(text):
        out = "".join(" " if unicodedata.category(c) in ("Cc", "Cf", "Zl", "Zp") else c for c in text)
        return " ".join(out.split())

    def test_every_code_point_as_python_classifies_it(self):
        every = "".join(chr(cp) + "x" for cp in range(0x110000))
        assert _common.one_line(every) == self.python_one_line(every)

    @given(texts)
    def test_any_text(self, text):
        assert _common.one_line(text) == self.python_one_line(text)
