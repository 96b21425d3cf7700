"""Knowledge base throughput: varnel.lorekeep against Python's own sqlite3 module.

Both sides open a fresh file the same way (write-ahead log, foreign keys, 5 s
busy timeout) and run the same statements in the same transactions: each write
operation is one BEGIN IMMEDIATE ... COMMIT. The work, in order:

  10,000 create_pattern with 2 signal references each,
  100,000 increment_pattern with 5 signal references each,
  list_patterns (every pattern) and get_decayed_patterns(30) on the result.

Prints operations per second side by side, the times, and the file sizes.

    python bench/knowledge_store.py [--dir DIR] [--patterns N] [--increments N]

DIR defaults to a directory in /dev/shm (tmpfs) where there is one, else
bench/out: on a disk every commit waits for fsync, which is the same for both
sides and, on a shared machine, noisy enough to hide the implementations' own
cost. Pass --dir bench/out to see what a disk adds.
"""

import argparse
import datetime
import gc
import hashlib
import json
import os
import random
import sqlite3
import sys
import time
from pathlib import Path

from varnel.lorekeep import SQLiteKnowledgeStore

ROOT = Path(__file__).resolve().parent.parent
SCHEMA_SQL = (ROOT / "src" / "lorekeep" / "schema.sql").read_text(encoding="utf-8")
DECAY_DAYS = 30
READ_REPEATS = 5


class PythonStore:
    """The floor: the same statements and transactions through Python's sqlite3 module."""

    def __init__(self, path):
        self.conn = sqlite3.connect(path, timeout=5.0, isolation_level=None)
        self.conn.row_factory = sqlite3.Row
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute("PRAGMA foreign_keys=ON")
        self.conn.executescript(SCHEMA_SQL)

    @staticmethod
    def _now():
        return datetime.datetime.now(datetime.timezone.utc).isoformat().replace("+00:00", "Z")

    @staticmethod
    def _content_hash(data):
        text = json.dumps(data, sort_keys=True, separators=(",", ":"))
        return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]

    @staticmethod
    def _row_to_dict(row):
        d = dict(row)
        for key in ("sources", "metrics", "details"):
            if isinstance(d.get(key), str):
                d[key] = json.loads(d[key])
        return d

    def _log_history(self, pattern_id, action, details):
        self.conn.execute("INSERT INTO pattern_history (pattern_id, action, details, timestamp) VALUES (?, ?, ?, ?)",
                          (pattern_id, action, json.dumps(details) if details else None, self._now()))

    def create_pattern(self, p):
        now = self._now()
        pid = p.get("pattern_id") or self._content_hash({
            "fingerprint": p["fingerprint"], "scope": p.get("scope", "local"),
            "discovery_method": p["discovery_method"], "sources": p["sources"], "metrics": p["metrics"]})
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            row = self.conn.execute("SELECT pattern_id, expired FROM patterns WHERE pattern_id = ?",
                                    (pid,)).fetchone()
            if row is not None:
                self.conn.execute("ROLLBACK")
                return pid
            self.conn.execute(
                "INSERT INTO patterns (pattern_id, fingerprint, scope, discovery_method, pattern_type, sources, "
                "metrics, description_statistical, description_semantic, correlation_strength, occurrence_count, "
                "repo_count, first_seen, last_seen, confidence_tier, confidence_status, created_at, updated_at) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (pid, p["fingerprint"], p.get("scope", "local"), p["discovery_method"], p["pattern_type"],
                 json.dumps(p["sources"]), json.dumps(p["metrics"]), p.get("description_statistical"),
                 p.get("description_semantic"), p.get("correlation_strength"), p.get("occurrence_count", 1),
                 p.get("repo_count", 0), p.get("first_seen", now), p.get("last_seen", now),
                 p.get("confidence_tier", "statistical"), p.get("confidence_status", "emerging"), now, now))
            for ref in p.get("signal_refs", []):
                self.conn.execute(
                    "INSERT OR IGNORE INTO pattern_signals (pattern_id, signal_ref, observed_at) VALUES (?, ?, ?)",
                    (pid, ref, now))
            self._log_history(pid, "created", {"fingerprint": p["fingerprint"],
                                               "discovery_method": p["discovery_method"]})
            self.conn.execute("COMMIT")
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise
        return pid

    def increment_pattern(self, pattern_id, signal_refs, observed_at):
        now = self._now()
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            self.conn.execute("UPDATE patterns SET occurrence_count = occurrence_count + 1, last_seen = ?, "
                              "updated_at = ? WHERE pattern_id = ?", (observed_at, now, pattern_id))
            for ref in signal_refs:
                self.conn.execute(
                    "INSERT OR IGNORE INTO pattern_signals (pattern_id, signal_ref, observed_at) VALUES (?, ?, ?)",
                    (pattern_id, ref, observed_at))
            self._log_history(pattern_id, "incremented", {"signal_refs": signal_refs, "observed_at": observed_at})
            self.conn.execute("COMMIT")
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise

    def list_patterns(self):
        rows = self.conn.execute("SELECT * FROM patterns WHERE expired = 0 ORDER BY last_seen DESC").fetchall()
        return [self._row_to_dict(r) for r in rows]

    def get_decayed_patterns(self, days):
        cutoff = (datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=days)).isoformat()
        cutoff = cutoff.replace("+00:00", "") + "Z"
        rows = self.conn.execute("SELECT * FROM patterns WHERE expired = 0 AND last_seen < ? ORDER BY last_seen",
                                 (cutoff,)).fetchall()
        return [self._row_to_dict(r) for r in rows]

    def close(self):
        self.conn.close()


def workload(n_patterns, n_increments):
    """Pattern records and increments shaped like the pattern engine's, the same for both sides."""
    rng = random.Random(5)
    families = ["ci", "git", "testing", "coverage", "dependency", "schema", "deployment", "security"]
    now = datetime.datetime.now(datetime.timezone.utc)
    patterns = []
    for i in range(n_patterns):
        a, b = rng.sample(families, 2)
        patterns.append({
            "fingerprint": f"{i:06x}" + hashlib.sha256(str(i).encode()).hexdigest()[:10],
            "discovery_method": rng.choice(["cooccurrence", "presence"]),
            "pattern_type": "co_deviation",
            "sources": sorted([a, b]),
            "metrics": [f"{a}.metric_{rng.randrange(12)}", f"{b}.metric_{rng.randrange(12)}"],
            "description_statistical": f"{a} and {b} deviate together in {rng.randrange(3, 40)} commits",
            "correlation_strength": round(rng.uniform(0.5, 1.0), 4),
            "signal_refs": [f"{a}-evt-{rng.randrange(10**6)}", f"{b}-evt-{rng.randrange(10**6)}"],
        })
    increments = []
    for _ in range(n_increments):
        observed = now - datetime.timedelta(days=rng.uniform(0, 90))
        refs = [f"{rng.choice(families)}-evt-{rng.randrange(10**6)}" for _ in range(5)]
        increments.append((rng.randrange(n_patterns), refs, observed.isoformat().replace("+00:00", "Z")))
    return patterns, increments


def fresh(path):
    for suffix in ("", "-wal", "-shm"):
        Path(f"{path}{suffix}").unlink(missing_ok=True)
    return path


def timed(call, *args):
    """Seconds taken by the call, with the cyclic garbage collector off as timeit does: otherwise whichever
    side happens to cross a collection threshold pays for scanning the whole workload."""
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        result = call(*args)
        return time.perf_counter() - t, result
    finally:
        gc.enable()


def run(stores, patterns, increments):
    """Seconds per phase and side. The sides take turns phase by phase, the first place alternating, so
    that neither always meets the disk after the other's writes."""
    ids = {}
    times = {name: {} for name in stores}
    results = {}

    def create(store, name):
        ids[name] = [store.create_pattern(p) for p in patterns]

    def increment(store, name):
        for index, refs, observed_at in increments:
            store.increment_pattern(ids[name][index], refs, observed_at)

    def listing(store, name):
        for _ in range(READ_REPEATS):
            results[name, "list"] = len(store.list_patterns())

    def decay(store, name):
        for _ in range(READ_REPEATS):
            results[name, "decayed"] = len(store.get_decayed_patterns(DECAY_DAYS))

    phases = [("create_pattern", create), ("increment_pattern", increment), ("list_patterns", listing),
              ("get_decayed_patterns", decay)]
    names = list(stores)
    for turn, (phase, body) in enumerate(phases):
        for name in names[turn % 2:] + names[:turn % 2]:
            times[name][phase], _ = timed(body, stores[name], name)
    for store in stores.values():
        store.close()
    return times, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_dir = Path("/dev/shm/varnel-bench") if Path("/dev/shm").is_dir() else ROOT / "bench" / "out"
    parser.add_argument("--dir", type=Path, default=default_dir, help="where the two database files go")
    parser.add_argument("--patterns", type=int, default=10_000)
    parser.add_argument("--increments", type=int, default=100_000)
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)

    patterns, increments = workload(args.patterns, args.increments)
    ours_path, floor_path = fresh(args.dir / "varnel.db"), fresh(args.dir / "sqlite3.db")
    os.sync()  # let the removal of earlier files settle before timing commits
    times, results = run({"varnel": SQLiteKnowledgeStore(ours_path), "sqlite3": PythonStore(floor_path)},
                         patterns, increments)
    ours, floor = times["varnel"], times["sqlite3"]
    listed, decayed = results["varnel", "list"], results["varnel", "decayed"]
    assert (listed, decayed) == (results["sqlite3", "list"], results["sqlite3", "decayed"]), "the stores disagree"

    counts = {"create_pattern": len(patterns), "increment_pattern": len(increments),
              "list_patterns": READ_REPEATS, "get_decayed_patterns": READ_REPEATS}
    print(f"work: {len(patterns):,} create_pattern (2 refs), {len(increments):,} increment_pattern (5 refs), "
          f"{READ_REPEATS} x list_patterns ({listed:,} rows), {READ_REPEATS} x get_decayed_patterns({DECAY_DAYS}) "
          f"({decayed:,} rows)")
    print(f"files in {args.dir}; each write operation is one BEGIN IMMEDIATE transaction")
    print(f"{'operation':<22}{'varnel ops/s':>14}{'sqlite3 ops/s':>15}{'varnel s':>10}{'sqlite3 s':>11}{'speed-up':>10}")
    for op, n in counts.items():
        print(f"{op:<22}{n / ours[op]:>14,.1f}{n / floor[op]:>15,.1f}{ours[op]:>10.2f}{floor[op]:>11.2f}"
              f"{floor[op] / ours[op]:>9.2f}x")
    total_ours, total_floor = sum(ours.values()), sum(floor.values())
    print(f"{'total':<22}{'':>14}{'':>15}{total_ours:>10.2f}{total_floor:>11.2f}{total_floor / total_ours:>9.2f}x")
    print(f"file size: varnel {ours_path.stat().st_size / 1e6:,.1f} MB, sqlite3 {floor_path.stat().st_size / 1e6:,.1f} MB")
    for path in (ours_path, floor_path):  # on tmpfs they would hold memory
        fresh(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
