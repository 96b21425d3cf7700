"""The knowledge base's operations through varnel.lorekeep, as the engines and a host use them."""

import datetime
import json
import multiprocessing
import os
import re
import sqlite3
import threading
import time

import pytest

from lorekeep_helpers import KNOWLEDGE_COLUMNS, PATTERN_COLUMNS, TIMESTAMP, canonical_id, knowledge, pattern, raw_rows
from varnel.lorekeep import SQLiteKnowledgeStore


def actions(store, pattern_id):
    return [entry["action"] for entry in store.get_pattern_history(pattern_id)]


def row_counts(db_path):
    return {t: raw_rows(db_path, f"SELECT COUNT(*) FROM {t}")[0][0]
            for t in ("patterns", "knowledge", "pattern_signals", "pattern_history")}


# --- opening -----------------------------------------------------------------


def test_opening_creates_the_directory_and_a_prepared_database(tmp_path):
    target = tmp_path / "a" / "b" / "knowledge.db"
    s = SQLiteKnowledgeStore(str(target))
    assert s.db_path == target and type(s.db_path).__name__ == "PosixPath"
    assert s.list_patterns() == [] and s.list_knowledge() == []
    assert raw_rows(target, "PRAGMA journal_mode") == [("wal",)]
    names = {r[0] for r in raw_rows(target, "SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'")}
    assert names == {"patterns", "knowledge", "pattern_signals", "pattern_history", "counted_events",
                     "idx_patterns_fingerprint",
                     "idx_patterns_scope", "idx_patterns_expired", "idx_knowledge_fingerprint",
                     "idx_knowledge_scope", "idx_pattern_history_pattern"}
    s.close()
    # Any os.PathLike is accepted.
    SQLiteKnowledgeStore(target).close()


def test_foreign_keys_are_enforced_and_the_connection_waits_for_locks(store):
    with pytest.raises(sqlite3.IntegrityError, match="FOREIGN KEY constraint failed"):
        store.increment_pattern("no-such-pattern", ["ref-1"], "2026-01-01T00:00:00Z")


# --- the pattern lifecycle ---------------------------------------------------


def test_pattern_lifecycle(store, db_path):
    pid = store.create_pattern(pattern(signal_refs=["ci-1", "git-1"]))
    assert re.fullmatch(r"[0-9a-f]{16}", pid)
    created = store.get_pattern(pid)
    assert list(created) == PATTERN_COLUMNS
    assert created["occurrence_count"] == 1 and created["repo_count"] == 0 and created["expired"] == 0
    assert created["scope"] == "local"
    assert (created["confidence_tier"], created["confidence_status"]) == ("statistical", "emerging")
    assert created["first_seen"] == created["last_seen"] == created["created_at"] == created["updated_at"]
    assert TIMESTAMP.match(created["created_at"])
    assert created["correlation_strength"] == 0.82 and created["description_semantic"] is None

    # The same content again: the same id, nothing written.
    assert store.create_pattern(pattern(occurrence_count=7, pattern_type="other")) == pid
    assert store.get_pattern(pid) == created
    assert actions(store, pid) == ["created"]

    # An occurrence observed earlier than the stored last sighting still moves it.
    store.increment_pattern(pid, ["ci-2", "ci-2"], "2020-05-05T00:00:00Z")
    incremented = store.get_pattern(pid)
    assert incremented["occurrence_count"] == 2 and incremented["last_seen"] == "2020-05-05T00:00:00Z"
    assert incremented["updated_at"] >= created["updated_at"]
    assert [s["signal_ref"] for s in store.get_pattern_signals(pid)] == ["ci-2", "ci-1", "git-1"]

    store.update_pattern(pid, {"confidence_tier": "speculative"})
    assert store.get_pattern(pid)["confidence_tier"] == "speculative"

    store.expire_pattern(pid)
    expired = store.get_pattern(pid)
    assert expired["expired"] == 1
    assert store.get_pattern_by_fingerprint("fp-ci-git") is None
    assert store.list_patterns() == [] and store.get_decayed_patterns(0) == []

    # Expired patterns still count occurrences and stay expired.
    store.increment_pattern(pid, [], "2020-06-06T00:00:00Z")
    assert store.get_pattern(pid)["expired"] == 1 and store.get_pattern(pid)["occurrence_count"] == 3

    # Rediscovery revives it with a fresh last sighting and nothing else.
    assert store.create_pattern(pattern(description_statistical="new words")) == pid
    revived = store.get_pattern(pid)
    assert revived["expired"] == 0 and revived["occurrence_count"] == 3
    assert revived["last_seen"] == revived["updated_at"] > expired["updated_at"]
    assert revived["description_statistical"] == "build duration rises with files touched"
    assert store.get_pattern_by_fingerprint("fp-ci-git")["pattern_id"] == pid

    history = store.get_pattern_history(pid)
    assert [e["action"] for e in history] == ["created", "incremented", "updated", "expired", "incremented",
                                              "un-expired"]
    assert [e["details"] for e in history] == [
        {"fingerprint": "fp-ci-git", "discovery_method": "cooccurrence"},
        {"signal_refs": ["ci-2", "ci-2"], "observed_at": "2020-05-05T00:00:00Z"},
        {"confidence_tier": "speculative", "updated_at": history[2]["details"]["updated_at"]},
        {"reason": "decay_window_exceeded"},
        {"signal_refs": [], "observed_at": "2020-06-06T00:00:00Z"},
        {"reason": "rediscovered"},
    ]
    assert all(TIMESTAMP.match(e["timestamp"]) for e in history)
    ids = [e["id"] for e in history]
    assert ids == sorted(ids) and len(set(ids)) == len(ids)
    assert row_counts(db_path)["patterns"] == 1


def test_pattern_records_keep_given_values_and_defaults(store):
    pid = store.create_pattern(pattern(
        scope="community", occurrence_count=4, repo_count=3, first_seen="2025-01-01T00:00:00Z",
        last_seen="2025-02-01T00:00:00Z", confidence_tier="speculative", confidence_status="sufficient",
        description_semantic="files and builds move together", expired=1, created_at="x", updated_at="y"))
    got = store.get_pattern(pid)
    assert (got["scope"], got["occurrence_count"], got["repo_count"]) == ("community", 4, 3)
    assert (got["first_seen"], got["last_seen"]) == ("2025-01-01T00:00:00Z", "2025-02-01T00:00:00Z")
    assert (got["confidence_tier"], got["confidence_status"]) == ("speculative", "sufficient")
    assert got["description_semantic"] == "files and builds move together"
    # expired, created_at and updated_at never come from the record.
    assert got["expired"] == 0 and TIMESTAMP.match(got["created_at"]) and got["updated_at"] == got["created_at"]
    assert store.get_pattern("no-such-id") is None
    assert store.get_pattern_signals(pid) == [] and store.get_pattern_history("no-such-id") == []


# --- identifiers -------------------------------------------------------------


def test_pattern_ids_depend_on_identity_fields_only(store):
    base = pattern()
    pid = store.create_pattern(base)
    assert pid == canonical_id({k: base[k] for k in ("fingerprint", "discovery_method", "sources", "metrics")}
                               | {"scope": "local"})
    reordered = dict(reversed(list(pattern(description_statistical="other", correlation_strength=0.1).items())))
    assert store.create_pattern(reordered) == pid
    assert store.create_pattern(pattern(scope="local")) == pid
    assert store.create_pattern(pattern(scope="community")) != pid
    assert store.create_pattern(pattern(metrics=["git.files_touched", "ci.duration"])) != pid
    assert store.create_pattern(pattern(pattern_id="")) == pid
    assert store.create_pattern(pattern(pattern_id=None)) == pid
    assert store.create_pattern(pattern(pattern_id="chosen-id")) == "chosen-id"
    # A given id that exists needs nothing else from the record.
    assert store.create_pattern({"pattern_id": "chosen-id"}) == "chosen-id"
    with pytest.raises(TypeError, match="pattern_id"):
        store.create_pattern(pattern(pattern_id=42))
    with pytest.raises(TypeError, match="knowledge_id"):
        store.create_knowledge(knowledge(pid, knowledge_id=["x"]))


# --- stored JSON text --------------------------------------------------------


def test_json_columns_hold_the_default_json_text(store, db_path):
    sources = ["ci", "git—é", "\U0001f600"]
    metrics = [{"b": 1, "a": [1.5, 1e-05, 1e16, 2.0, None, True]}]
    pid = store.create_pattern(pattern(sources=sources, metrics=metrics, fingerprint="fp-\u00e9"))
    store.increment_pattern(pid, ["r\u00e9f"], "2026-01-01T00:00:00Z")
    stored = raw_rows(db_path, "SELECT sources, metrics FROM patterns WHERE pattern_id = ?", (pid,))[0]
    assert stored == (json.dumps(sources), json.dumps(metrics))
    details = [r[0] for r in raw_rows(db_path, "SELECT details FROM pattern_history ORDER BY id")]
    assert details == [json.dumps({"fingerprint": "fp-\u00e9", "discovery_method": "cooccurrence"}),
                       json.dumps({"signal_refs": ["r\u00e9f"], "observed_at": "2026-01-01T00:00:00Z"})]
    got = store.get_pattern(pid)
    assert got["sources"] == sources and got["metrics"] == metrics and got["fingerprint"] == "fp-\u00e9"


# --- updates, increments, listings -------------------------------------------


def test_update_pattern_changes_only_the_updatable_fields(store):
    pid = store.create_pattern(pattern())
    before = store.get_pattern(pid)
    store.update_pattern(pid, {"occurrence_count": 99, "scope": "community", "expired": 1})
    assert store.get_pattern(pid) == before and actions(store, pid) == ["created"]

    store.update_pattern(pid, {"confidence_status": "sufficient", "occurrence_count": 5,
                               "description_semantic": "meaning", "correlation_strength": None})
    after = store.get_pattern(pid)
    assert after["confidence_status"] == "sufficient" and after["occurrence_count"] == 1
    assert after["description_semantic"] == "meaning" and after["correlation_strength"] is None
    assert after["updated_at"] > before["updated_at"]
    details = store.get_pattern_history(pid)[-1]["details"]
    assert list(details) == ["confidence_status", "description_semantic", "correlation_strength", "updated_at"]
    assert details["updated_at"] == after["updated_at"]


def test_update_pattern_keeps_a_community_patterns_repository_count_current(store):
    pid = store.create_pattern(pattern(scope="community", repo_count=3))
    assert store.create_pattern(pattern(scope="community", repo_count=4)) == pid  # returned as stored
    store.update_pattern(pid, {"repo_count": 4})
    assert store.get_pattern(pid)["repo_count"] == 4
    assert list(store.get_pattern_history(pid)[-1]["details"]) == ["repo_count", "updated_at"]

    # An id without a row changes nothing but is still logged.
    store.update_pattern("ghost", {"confidence_tier": "confirmed"})
    assert actions(store, "ghost") == ["updated"]


def test_list_patterns_filters_and_orders(store):
    a = store.create_pattern(pattern(fingerprint="a", last_seen="2026-01-03T00:00:00Z", occurrence_count=5))
    b = store.create_pattern(pattern(fingerprint="b", last_seen="2026-01-01T00:00:00Z", scope="community"))
    c = store.create_pattern(pattern(fingerprint="c", last_seen="2026-01-02T00:00:00Z",
                                     confidence_tier="speculative", occurrence_count=0))
    d = store.create_pattern(pattern(fingerprint="d", last_seen="2026-01-04T00:00:00Z"))
    store.expire_pattern(d)

    def ids(**filters):
        return [p["pattern_id"] for p in store.list_patterns(**filters)]

    assert ids() == [a, c, b]
    assert ids(scope="") == ids(scope=None) == [a, c, b]
    assert ids(scope="local") == [a, c] and ids(scope="community") == [b]
    assert ids(confidence_tier="speculative") == [c] and ids(confidence_tier="") == [a, c, b]
    assert ids(min_occurrences=2) == [a] and ids(min_occurrences=0) == [a, c, b]
    assert ids(min_occurrences=-1) == [a, c, b]
    assert ids(scope="local", confidence_tier="statistical", min_occurrences=1) == [a]
    assert store.list_patterns("local", None, 5) == store.list_patterns(scope="local", min_occurrences=5)


def test_fingerprint_lookup_searches_every_scope_unless_given_one(store):
    pid = store.create_pattern(pattern(scope="community"))
    assert store.get_pattern_by_fingerprint("fp-ci-git")["pattern_id"] == pid
    assert store.get_pattern_by_fingerprint("fp-ci-git", "")["pattern_id"] == pid
    assert store.get_pattern_by_fingerprint("fp-ci-git", None)["pattern_id"] == pid
    assert store.get_pattern_by_fingerprint("fp-ci-git", scope="community")["pattern_id"] == pid
    assert store.get_pattern_by_fingerprint("fp-ci-git", "local") is None
    assert store.get_pattern_by_fingerprint("other") is None


def test_decay_selects_active_patterns_last_seen_before_the_cutoff(store):
    now = datetime.datetime.now(datetime.timezone.utc)

    def ago(days, **delta):
        return (now - datetime.timedelta(days=days, **delta)).isoformat().replace("+00:00", "Z")

    old = store.create_pattern(pattern(fingerprint="old", last_seen=ago(40)))
    older = store.create_pattern(pattern(fingerprint="older", last_seen=ago(50), confidence_tier="confirmed"))
    just_stale = store.create_pattern(pattern(fingerprint="stale", last_seen=ago(30, minutes=5)))
    store.create_pattern(pattern(fingerprint="fresh", last_seen=ago(30, minutes=-5)))
    gone = store.create_pattern(pattern(fingerprint="gone", last_seen=ago(60)))
    store.expire_pattern(gone)
    # Compared as text: "+00:00" sorts after "Z"'s digits only where the texts differ.
    offset_form = store.create_pattern(pattern(fingerprint="offset", last_seen="2001-01-01T00:00:00+00:00"))
    future_text = store.create_pattern(pattern(fingerprint="future", last_seen="9999-12-31T00:00:00+00:00"))

    decayed = store.get_decayed_patterns(30)
    assert [p["pattern_id"] for p in decayed] == [offset_form, older, old, just_stale]
    assert decayed[1]["confidence_tier"] == "confirmed"  # the store leaves the choice to the caller
    assert future_text not in [p["pattern_id"] for p in store.get_decayed_patterns(-365)]
    assert len(store.get_decayed_patterns(0)) == 5
    with pytest.raises(OverflowError):
        store.get_decayed_patterns(10**9)
    with pytest.raises(TypeError):
        store.get_decayed_patterns(30.5)


# --- knowledge ---------------------------------------------------------------


def test_promotion_to_knowledge(store, db_path):
    pid = store.create_pattern(pattern())
    kid = store.create_knowledge(knowledge(pid))
    assert kid == canonical_id({"derived_from": pid, "fingerprint": "fp-ci-git"})
    got = store.get_knowledge(kid)
    assert list(got) == KNOWLEDGE_COLUMNS
    assert got["scope"] == "local" and got["approval_method"] == "automatic"
    assert got["approval_timestamp"] == got["created_at"] and TIMESTAMP.match(got["created_at"])
    assert got["sources"] == ["ci", "git"] and got["description_semantic"] is None
    history = store.get_pattern_history(pid)
    assert [e["action"] for e in history] == ["created", "promoted"]
    assert history[1]["details"] == {"knowledge_id": kid, "approval_method": "automatic"}

    manual = store.create_knowledge(knowledge(pid, knowledge_id="k-manual", scope="community",
                                              approval_method="manual", approval_timestamp="2026-03-01T00:00:00Z",
                                              last_seen="2026-03-01T00:00:00Z"))
    assert manual == "k-manual"
    assert store.get_pattern_history(pid)[-1]["details"] == {"knowledge_id": "k-manual", "approval_method": "manual"}
    assert store.get_knowledge_by_fingerprint("fp-ci-git")["knowledge_id"] == kid
    assert store.get_knowledge_by_fingerprint("fp-ci-git", "community")["knowledge_id"] == "k-manual"
    assert store.get_knowledge_by_fingerprint("fp-other") is None and store.get_knowledge("none") is None
    assert [k["knowledge_id"] for k in store.list_knowledge()] == ["k-manual", kid]
    assert [k["knowledge_id"] for k in store.list_knowledge("")] == ["k-manual", kid]
    assert [k["knowledge_id"] for k in store.list_knowledge(scope="local")] == [kid]


# --- failures ----------------------------------------------------------------


def test_missing_required_keys_name_the_key_and_write_nothing(store, db_path):
    for key in ("fingerprint", "discovery_method", "sources", "metrics"):
        with pytest.raises(KeyError) as err:
            store.create_pattern({k: v for k, v in pattern().items() if k != key})
        assert err.value.args == (key,)
    with pytest.raises(KeyError, match="pattern_type"):
        store.create_pattern({k: v for k, v in pattern().items() if k != "pattern_type"})
    with pytest.raises(KeyError, match="fingerprint"):
        store.create_pattern({"pattern_id": "new-id"})
    pid = store.create_pattern(pattern())
    for key in ("derived_from", "fingerprint", "pattern_type", "sources", "metrics", "description_statistical",
                "support_count", "first_seen", "last_seen"):
        with pytest.raises(KeyError) as err:
            store.create_knowledge({k: v for k, v in knowledge(pid).items() if k != key})
        assert err.value.args == (key,)
    assert row_counts(db_path) == {"patterns": 1, "knowledge": 0, "pattern_signals": 0, "pattern_history": 1}


def test_values_that_cannot_be_bound_are_refused_and_write_nothing(store, db_path):
    with pytest.raises(sqlite3.ProgrammingError, match="parameter 8: type 'dict' is not supported"):
        store.create_pattern(pattern(description_statistical={"not": "a scalar"}))
    with pytest.raises(sqlite3.ProgrammingError, match="type 'list'"):
        store.create_pattern(pattern(signal_refs=[["nested"]]))
    with pytest.raises(OverflowError):
        store.create_pattern(pattern(occurrence_count=2**64))
    with pytest.raises(ValueError, match="surrogate"):
        store.create_pattern(pattern(description_semantic="\ud800"))
    with pytest.raises(TypeError):
        store.create_pattern(pattern(sources={1, 2}))
    with pytest.raises(TypeError):
        store.create_pattern(pattern(signal_refs="ci-1"))
    with pytest.raises(TypeError):
        store.get_pattern(7)
    pid = store.create_pattern(pattern(correlation_strength=True))
    with pytest.raises(sqlite3.ProgrammingError):
        store.update_pattern(pid, {"description_semantic": ["a", "list"]})
    assert store.get_pattern(pid)["correlation_strength"] == 1
    assert row_counts(db_path) == {"patterns": 1, "knowledge": 0, "pattern_signals": 0, "pattern_history": 1}


def test_a_failed_write_leaves_nothing_behind(store, db_path):
    pid = store.create_pattern(pattern())
    with pytest.raises(sqlite3.IntegrityError, match="FOREIGN KEY"):
        store.create_knowledge(knowledge("no-such-pattern"))
    with pytest.raises(sqlite3.IntegrityError, match="NOT NULL constraint failed: pattern_history.pattern_id"):
        store.create_knowledge(knowledge(None))
    with pytest.raises(sqlite3.IntegrityError, match="FOREIGN KEY"):
        store.increment_pattern("ghost", ["ref-1"], "2026-01-01T00:00:00Z")
    kid = store.create_knowledge(knowledge(pid))
    with pytest.raises(sqlite3.IntegrityError, match="UNIQUE constraint failed: knowledge.knowledge_id"):
        store.create_knowledge(knowledge(pid, description_statistical="again"))
    with pytest.raises(sqlite3.IntegrityError, match="NOT NULL"):
        store.create_pattern(pattern(fingerprint="f2", scope=None))
    # Later successful writes commit nothing of the failed calls.
    store.increment_pattern(pid, ["ref-2"], "2026-01-02T00:00:00Z")
    store.expire_pattern(pid)
    store.close()
    assert raw_rows(db_path, "SELECT pattern_id, action FROM pattern_history ORDER BY id") == [
        (pid, "created"), (pid, "promoted"), (pid, "incremented"), (pid, "expired")]
    assert raw_rows(db_path, "SELECT knowledge_id, derived_from, description_statistical FROM knowledge") == [
        (kid, pid, "build duration rises with files touched")]
    assert raw_rows(db_path, "SELECT pattern_id, signal_ref FROM pattern_signals") == [(pid, "ref-2")]
    assert raw_rows(db_path, "SELECT COUNT(*) FROM patterns") == [(1,)]


def test_a_lock_held_past_the_timeout_fails_and_the_store_stays_usable(store, db_path):
    holder = sqlite3.connect(db_path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        with pytest.raises(sqlite3.OperationalError, match="database is locked"):
            store.create_pattern(pattern())
        assert store.list_patterns() == []  # readers proceed beside the writer
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    pid = store.create_pattern(pattern())
    assert actions(store, pid) == ["created"]


# --- ownership and closing ---------------------------------------------------


def test_a_store_belongs_to_the_thread_that_made_it(store):
    errors = []

    def use():
        for call in (store.list_patterns, lambda: store.create_pattern(pattern()), store.close):
            try:
                call()
            except sqlite3.ProgrammingError as e:
                errors.append(str(e))

    worker = threading.Thread(target=use)
    worker.start()
    worker.join()
    assert len(errors) == 3
    assert errors[0] == ("SQLite objects created in a thread can only be used in that same thread. The object was "
                         f"created in thread id {threading.get_ident()} and this is thread id {worker.ident}.")
    assert store.list_patterns() == []


def test_closing_keeps_what_was_written_and_refuses_later_use(db_path):
    s = SQLiteKnowledgeStore(db_path)
    pid = s.create_pattern(pattern())
    s.close()
    s.close()
    with pytest.raises(sqlite3.ProgrammingError, match="Cannot operate on a closed database."):
        s.get_pattern(pid)
    with pytest.raises(sqlite3.ProgrammingError, match="closed"):
        s.create_pattern(pattern())
    assert s.db_path == db_path
    reopened = SQLiteKnowledgeStore(db_path)
    assert reopened.get_pattern(pid)["occurrence_count"] == 1
    reopened.close()


# --- several processes at once -----------------------------------------------


def _write_from_a_process(directory, rounds, start, results):
    """One writer process: each round, meets a new file together with the other writers and stores patterns
    on it, opening and closing its store for every one. Reports its failures and the ids it stored."""
    failures, stored = [], []
    for r in range(rounds):
        start.wait()
        deadline, n = time.monotonic() + 0.1, 0
        while n == 0 or time.monotonic() < deadline:
            ref = f"{os.getpid()}-{n}"
            try:
                s = SQLiteKnowledgeStore(directory / f"round-{r}.db")
                try:
                    pid = s.create_pattern(pattern(fingerprint=ref, signal_refs=[ref]))
                    s.increment_pattern(pid, [ref + "-again"], "2026-01-01T00:00:00Z")
                    stored.append((r, pid))
                finally:
                    s.close()
            except Exception as e:  # noqa: BLE001 - any failure is the finding
                failures.append(f"round {r}: {type(e).__name__}: {e}")
            n += 1
    results.put((failures, stored))


def test_writers_in_several_processes_neither_fail_nor_lose_writes(tmp_path):
    # Every round's file starts absent, so the writers also race to create it and switch it to WAL mode.
    writers, rounds = 3, 20
    ctx = multiprocessing.get_context("fork")
    start, results = ctx.Barrier(writers, timeout=60), ctx.Queue()
    procs = [ctx.Process(target=_write_from_a_process, args=(tmp_path, rounds, start, results))
             for _ in range(writers)]
    for p in procs:
        p.start()
    outcomes = [results.get(timeout=120) for _ in procs]
    for p in procs:
        p.join()
    assert [f for failures, _ in outcomes for f in failures] == []
    for r in range(rounds):
        db_path = tmp_path / f"round-{r}.db"
        ids = sorted(pid for _, stored in outcomes for rr, pid in stored if rr == r)
        assert ids and raw_rows(db_path, "SELECT pattern_id, occurrence_count FROM patterns ORDER BY 1") == [
            (pid, 2) for pid in ids]
        assert row_counts(db_path) == {"patterns": len(ids), "knowledge": 0, "pattern_signals": 2 * len(ids),
                                       "pattern_history": 2 * len(ids)}
