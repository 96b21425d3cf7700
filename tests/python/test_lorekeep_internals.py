"""These tests pin the knowledge base's internal operations: the content
hash, the history log, the row conversion and the clock, which
varnel.lorekeep keeps bound for callers of the engines' internals. The other
test files use only the public interface."""

import datetime
import json
import sqlite3

import pytest
from hypothesis import given
from hypothesis import strategies as st

from lorekeep_helpers import PATTERN_COLUMNS, TIMESTAMP, canonical_id, pattern, raw_rows
from varnel.lorekeep import SQLiteKnowledgeStore


# --- identifiers -------------------------------------------------------------


json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
              st.floats(allow_nan=False), st.text()),
    lambda children: st.one_of(st.lists(children, max_size=4), st.dictionaries(st.text(), children, max_size=4)),
    max_leaves=12,
)


@given(st.dictionaries(st.text(), json_values, min_size=1, max_size=6), st.randoms(use_true_random=False))
def test_content_hash_ignores_key_order_and_matches_the_canonical_digest(data, rng):
    items = list(data.items())
    rng.shuffle(items)
    assert SQLiteKnowledgeStore._content_hash(dict(items)) == SQLiteKnowledgeStore._content_hash(data)
    assert SQLiteKnowledgeStore._content_hash(data) == canonical_id(data)


def test_content_hash_refuses_values_without_a_json_form():
    with pytest.raises(TypeError):
        SQLiteKnowledgeStore._content_hash({"when": datetime.date(2026, 1, 1)})


# --- stored JSON text --------------------------------------------------------


def test_log_history_stores_empty_details_as_null(store, db_path):
    store._log_history("p", "note", {})
    store._log_history("p", "note")
    store._log_history("p", "note", {"b": 1, "a": 2})
    assert [r[0] for r in raw_rows(db_path, "SELECT details FROM pattern_history ORDER BY id")] == [
        None, None, '{"b": 1, "a": 2}']
    assert [e["details"] for e in store.get_pattern_history("p")] == [None, None, {"b": 1, "a": 2}]
    with pytest.raises(TypeError):
        store._log_history("p", "note", ["not", "a", "map"])


def test_row_to_dict_decodes_json_columns_only(db_path, store):
    pid = store.create_pattern(pattern())
    store._log_history(pid, "note")
    conn = sqlite3.connect(db_path)
    conn.row_factory = sqlite3.Row
    row = conn.execute("SELECT * FROM patterns").fetchone()
    history = conn.execute("SELECT * FROM pattern_history WHERE details IS NULL").fetchone()
    conn.close()
    converted = SQLiteKnowledgeStore._row_to_dict(row)
    assert list(converted) == PATTERN_COLUMNS and converted == store.get_pattern(pid)
    assert converted["sources"] == ["ci", "git"]
    assert store._row_to_dict(history)["details"] is None
    assert SQLiteKnowledgeStore._row_to_dict({"metrics": 3, "details": '{"a": [1]}', "x": "[1]"}) == {
        "metrics": 3, "details": {"a": [1]}, "x": "[1]"}
    with pytest.raises(json.JSONDecodeError):
        SQLiteKnowledgeStore._row_to_dict({"sources": "[1, "})


def test_now_is_a_utc_timestamp_callable_on_the_class():
    before = datetime.datetime.now(datetime.timezone.utc)
    text = SQLiteKnowledgeStore._now()
    after = datetime.datetime.now(datetime.timezone.utc)
    assert TIMESTAMP.match(text)
    assert before <= datetime.datetime.fromisoformat(text.replace("Z", "+00:00")) <= after
