"""The knowledge base file: its schema as other SQLite clients see it, migration of older files, and
several processes sharing one file."""

import shutil
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

from lorekeep_helpers import PATTERN_COLUMNS, SCHEMA_SQL, pattern, raw_rows
from varnel.lorekeep import SQLiteKnowledgeStore

SCHEMA_QUERY = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name"
OLD_SCHEMA_SQL = SCHEMA_SQL.replace("    repo_count INTEGER DEFAULT 0,\n", "")


def python_made(path, script):
    conn = sqlite3.connect(path)
    conn.executescript(script)
    conn.close()


def test_the_file_holds_the_schema_script_exactly(tmp_path):
    SQLiteKnowledgeStore(tmp_path / "varnel.db").close()
    python_made(tmp_path / "python.db", SCHEMA_SQL)
    ours = raw_rows(tmp_path / "varnel.db", SCHEMA_QUERY)
    assert ours == raw_rows(tmp_path / "python.db", SCHEMA_QUERY)
    # Five tables (the fifth lists the events a run has seen), six indexes, four primary-key indexes and the
    # AUTOINCREMENT counter table.
    assert len(ours) == 16
    columns = [r[1] for r in raw_rows(tmp_path / "varnel.db", "PRAGMA table_info(patterns)")]
    assert columns == PATTERN_COLUMNS


@pytest.mark.skipif(shutil.which("sqlite3") is None, reason="no sqlite3 command line")
def test_the_command_line_reads_what_varnel_wrote(tmp_path):
    path = tmp_path / "knowledge.db"
    store = SQLiteKnowledgeStore(path)
    pid = store.create_pattern(pattern(sources=["ci", "g\u00e9t"]))
    store.close()

    def cli(*args):
        return subprocess.run(["sqlite3", str(path), *args], check=True, capture_output=True, text=True).stdout

    python_made(tmp_path / "python.db", SCHEMA_SQL)
    expected = subprocess.run(["sqlite3", str(tmp_path / "python.db"), ".schema"], check=True, capture_output=True,
                              text=True).stdout
    assert cli(".schema") == expected
    assert cli("PRAGMA integrity_check") == "ok\n"
    assert cli("PRAGMA journal_mode") == "wal\n"
    assert cli(f"SELECT sources FROM patterns WHERE pattern_id = '{pid}'") == '["ci", "g\\u00e9t"]\n'


def test_a_file_made_by_python_from_the_schema_opens_and_works(tmp_path):
    path = tmp_path / "knowledge.db"
    python_made(path, SCHEMA_SQL)
    before = raw_rows(path, SCHEMA_QUERY)
    store = SQLiteKnowledgeStore(path)
    pid = store.create_pattern(pattern())
    store.close()
    assert raw_rows(path, SCHEMA_QUERY) == before
    assert raw_rows(path, "SELECT pattern_id FROM patterns") == [(pid,)]


def test_an_older_file_gains_repo_count_as_its_last_column(tmp_path):
    path = tmp_path / "knowledge.db"
    python_made(path, OLD_SCHEMA_SQL)
    conn = sqlite3.connect(path)
    conn.execute(
        "INSERT INTO patterns (pattern_id, fingerprint, scope, discovery_method, pattern_type, sources, metrics, "
        "first_seen, last_seen, confidence_tier, confidence_status, created_at, updated_at) "
        "VALUES ('old', 'fp-old', 'local', 'cooccurrence', 'co_deviation', '[\"ci\"]', '[\"m\"]', "
        "'2025-01-01T00:00:00Z', '2025-01-01T00:00:00Z', 'statistical', 'emerging', "
        "'2025-01-01T00:00:00Z', '2025-01-01T00:00:00Z')")
    conn.commit()
    conn.close()

    store = SQLiteKnowledgeStore(path)
    old = store.get_pattern("old")
    assert list(old) == [c for c in PATTERN_COLUMNS if c != "repo_count"] + ["repo_count"]
    assert old["repo_count"] == 0 and old["occurrence_count"] == 1 and old["sources"] == ["ci"]
    new = store.create_pattern(pattern(repo_count=2))
    assert store.get_pattern(new)["repo_count"] == 2
    assert list(store.list_patterns()[0])[-1] == "repo_count"
    store.close()

    # Opening again changes nothing.
    migrated = raw_rows(path, SCHEMA_QUERY)
    SQLiteKnowledgeStore(path).close()
    assert raw_rows(path, SCHEMA_QUERY) == migrated
    assert [r[1] for r in raw_rows(path, "PRAGMA table_info(patterns)")].count("repo_count") == 1


def test_a_migration_that_cannot_take_the_lock_fails_instead_of_leaving_the_file_old(tmp_path):
    path = tmp_path / "knowledge.db"
    python_made(path, OLD_SCHEMA_SQL + "PRAGMA journal_mode=WAL;")
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        with pytest.raises(sqlite3.OperationalError, match="database is locked"):
            SQLiteKnowledgeStore(path)
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    store = SQLiteKnowledgeStore(path)
    assert store.get_pattern(store.create_pattern(pattern()))["repo_count"] == 0
    store.close()


def test_readers_see_committed_writes_while_the_store_is_open(tmp_path):
    path = tmp_path / "knowledge.db"
    store = SQLiteKnowledgeStore(path)
    pid = store.create_pattern(pattern())
    reader = sqlite3.connect(path)
    assert reader.execute("SELECT occurrence_count FROM patterns").fetchall() == [(1,)]
    store.increment_pattern(pid, ["r"], "2026-01-01T00:00:00Z")
    assert reader.execute("SELECT occurrence_count FROM patterns").fetchall() == [(2,)]
    reader.close()
    store.close()


SHARED_LIBRARY = textwrap.dedent("""
    import sys
    from varnel.lorekeep import SQLiteKnowledgeStore

    before_engine = "_sqlite3" in sys.modules
    store = SQLiteKnowledgeStore(sys.argv[1])
    import sqlite3
    reader = sqlite3.connect(sys.argv[1])
    reader.execute("SELECT count(*) FROM patterns").fetchall()
    mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libsqlite3" in line}
    print(before_engine, len(mapped))
""")


@pytest.mark.skipif(sys.platform != "linux", reason="reads the process's map of loaded files")
def test_a_host_that_imports_the_store_first_shares_one_sqlite_with_its_sqlite3_module(tmp_path):
    # Python's SQLite is loaded before the engine, so the engine takes that library, not a second copy.
    done = subprocess.run([sys.executable, "-c", SHARED_LIBRARY, str(tmp_path / "knowledge.db")],
                          capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["True", "1"]


WRITER = textwrap.dedent("""
    import os, sys, time
    from varnel.lorekeep import SQLiteKnowledgeStore

    path, name, rounds, go = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    store = SQLiteKnowledgeStore(path)
    open(f"{go}.{name}", "w").close()
    while not os.path.exists(go):  # start together with the other writer
        time.sleep(0.005)
    shared = {"fingerprint": "shared", "discovery_method": "cooccurrence", "pattern_type": "co_deviation",
              "sources": ["ci", "git"], "metrics": ["a", "b"]}
    for i in range(rounds):
        store.create_pattern(dict(shared, fingerprint=f"{name}-{i}", signal_refs=[f"{name}-ref-{i}"]))
        shared_id = store.create_pattern(shared)
        store.increment_pattern(shared_id, [f"{name}-ref-{i}"], f"2026-01-01T00:00:{i % 60:02d}Z")
    store.close()
""")


def test_two_processes_writing_one_file_lose_nothing(tmp_path):
    path = tmp_path / "knowledge.db"
    SQLiteKnowledgeStore(path).close()
    rounds = 60
    go = tmp_path / "go"
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(path), name, str(rounds), str(go)],
                                stderr=subprocess.PIPE, text=True) for name in ("w1", "w2")]
    while not all((tmp_path / f"go.{name}").exists() for name in ("w1", "w2")):
        assert all(w.poll() is None for w in writers), "a writer ended before it was ready"
        time.sleep(0.005)
    go.touch()
    for w in writers:
        _, err = w.communicate(timeout=300)
        assert w.returncode == 0, err

    store = SQLiteKnowledgeStore(path)
    shared = store.get_pattern_by_fingerprint("shared")
    assert shared["occurrence_count"] == 1 + 2 * rounds
    assert len(store.get_pattern_signals(shared["pattern_id"])) == 2 * rounds
    assert len(store.list_patterns()) == 1 + 2 * rounds
    history = store.get_pattern_history(shared["pattern_id"])
    assert [e["action"] for e in history].count("created") == 1
    assert [e["action"] for e in history].count("incremented") == 2 * rounds
    store.close()
    assert raw_rows(path, "PRAGMA integrity_check") == [("ok",)]
