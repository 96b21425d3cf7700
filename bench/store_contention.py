"""Knowledge base under contention: several processes writing one store file at once.

Each writer process opens the store (the same file), runs a mix of the calls
the engines make -- creating, incrementing, updating, expiring and reviving
patterns, promoting knowledge, logging history, and reading -- and closes and
reopens its store every few calls, since opening prepares the schema and the
last connection to close checkpoints the log. Every call is counted, and every
failure by the call that failed and its message. A lock held by another writer
is waited for (5 s busy timeout), so with writes this short no call should fail.

At the end the file is read through Python's own sqlite3 module and checked
against what the writers were told succeeded: every pattern, knowledge row,
history entry and signal link is there, and every occurrence was counted.

    python bench/store_contention.py [--writers N] [--seconds S] [--reopen N] [--rounds R] [--dir DIR]

--reopen is the mean number of calls a writer makes on one open store (1 opens
a store for every call). The run is --rounds rounds of equal length, each on a
new file that starts absent and that every writer, released at once, races to
create. DIR defaults to a directory in /dev/shm where there is one, else
bench/out.
"""

import argparse
import collections
import multiprocessing
import os
import random
import sqlite3
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Relative weights of the calls a writer makes on an open store.
MIX = {
    "create_pattern": 12, "increment_pattern": 25, "increment_shared": 8, "update_pattern": 8,
    "expire_pattern": 3, "revive_pattern": 3, "create_knowledge": 4, "log_history": 10,
    "get_pattern": 8, "list_patterns": 3, "get_pattern_history": 5, "get_pattern_signals": 4,
    "get_decayed_patterns": 2, "list_knowledge": 2,
}
SHARED = {"fingerprint": "fp-shared", "discovery_method": "cooccurrence", "pattern_type": "co_deviation",
          "sources": ["ci", "git"], "metrics": ["ci.duration", "git.files_touched"],
          "description_statistical": "a pattern every writer sees"}


def new_pattern(writer, n):
    return {"fingerprint": f"fp-{writer}-{n}", "discovery_method": "cooccurrence", "pattern_type": "co_deviation",
            "sources": ["ci", "git"], "metrics": ["ci.duration", f"git.metric_{n % 7}"],
            "description_statistical": f"writer {writer} pattern {n}", "correlation_strength": 0.5,
            "signal_refs": [f"w{writer}-sig-{n}-a", f"w{writer}-sig-{n}-b"]}


def knowledge_of(pattern_id, writer, n):
    return {"derived_from": pattern_id, "fingerprint": f"kfp-{writer}-{n}", "pattern_type": "co_deviation",
            "sources": ["ci", "git"], "metrics": ["ci.duration"], "description_statistical": "promoted",
            "support_count": 5, "first_seen": "2026-01-01T00:00:00Z", "last_seen": "2026-02-01T00:00:00Z"}


def writer_main(writer, db_paths, seconds, reopen, seed, start, results):
    from varnel.lorekeep import SQLiteKnowledgeStore

    rng = random.Random(seed * 1000 + writer)
    calls = collections.Counter()
    errors = collections.Counter()
    outcomes = []
    for db_path in db_paths:
        start.wait()  # every writer meets the new, absent file at the same moment
        outcomes.append(one_round(SQLiteKnowledgeStore, writer, db_path, seconds, reopen, rng, calls, errors))
    results.put((writer, calls, errors, outcomes))


def one_round(SQLiteKnowledgeStore, writer, db_path, seconds, reopen, rng, calls, errors):
    # What the store said succeeded, for the check at the end.
    done = {"patterns": {}, "knowledge": [], "logged": [], "links": [], "shared_increments": 0}
    ops, weights = list(MIX), list(MIX.values())
    store = None
    serial = 0
    serial_of = {}  # pattern id -> the serial its record was made from
    deadline = time.monotonic() + seconds

    def call(op, fn, *args):
        calls[op] += 1
        try:
            return True, fn(*args)
        except Exception as e:  # noqa: BLE001 - every failure is counted, by call and message
            code = getattr(e, "sqlite_errorcode", None)
            errors[op, type(e).__name__, str(e), code] += 1
            return False, None

    while time.monotonic() < deadline:
        if store is None:
            ok, store = call("open", SQLiteKnowledgeStore, db_path)
            if not ok:
                continue
        op = rng.choices(ops, weights)[0]
        mine = list(done["patterns"])
        if op in ("increment_pattern", "update_pattern", "expire_pattern", "revive_pattern", "create_knowledge",
                  "get_pattern", "get_pattern_history", "get_pattern_signals") and not mine:
            op = "create_pattern"
        serial += 1
        if op == "create_pattern":
            ok, pid = call(op, store.create_pattern, new_pattern(writer, serial))
            if ok:
                done["patterns"][pid] = 1
                serial_of[pid] = serial
                done["links"] += [(pid, f"w{writer}-sig-{serial}-a"), (pid, f"w{writer}-sig-{serial}-b")]
        elif op == "increment_pattern":
            pid = rng.choice(mine)
            ref = f"w{writer}-inc-{serial}"
            ok, _ = call(op, store.increment_pattern, pid, [ref], "2026-03-01T00:00:00Z")
            if ok:
                done["patterns"][pid] += 1
                done["links"].append((pid, ref))
        elif op == "increment_shared":
            ok, pid = call(op, store.create_pattern, dict(SHARED))
            if ok:
                ok, _ = call(op, store.increment_pattern, pid, [f"w{writer}-shared-{serial}"], "2026-03-01T00:00:00Z")
                done["shared_increments"] += ok
        elif op == "update_pattern":
            call(op, store.update_pattern, rng.choice(mine), {"confidence_status": rng.choice(["emerging", "stable"])})
        elif op == "expire_pattern":
            call(op, store.expire_pattern, rng.choice(mine))
        elif op == "revive_pattern":
            # Storing the same record again revives the pattern when it has expired.
            call(op, store.create_pattern, new_pattern(writer, serial_of[rng.choice(mine)]))
        elif op == "create_knowledge":
            pid = rng.choice(mine)
            ok, kid = call(op, store.create_knowledge, knowledge_of(pid, writer, serial))
            if ok:
                done["knowledge"].append(kid)
        elif op == "log_history":
            tag = f"w{writer}-log-{serial}"
            ok, _ = call(op, store._log_history, tag, "noted", {"serial": serial})
            if ok:
                done["logged"].append(tag)
        elif op == "get_pattern":
            call(op, store.get_pattern, rng.choice(mine))
        elif op == "list_patterns":
            call(op, store.list_patterns, None, None, 2)
        elif op == "get_pattern_history":
            call(op, store.get_pattern_history, rng.choice(mine))
        elif op == "get_pattern_signals":
            call(op, store.get_pattern_signals, rng.choice(mine))
        elif op == "get_decayed_patterns":
            call(op, store.get_decayed_patterns, 30)
        elif op == "list_knowledge":
            call(op, store.list_knowledge)
        if rng.random() < 1.0 / reopen:
            call("close", store.close)
            store = None
    if store is not None:
        call("close", store.close)
    return done


def check(db_path, outcomes):
    """What the writers were told succeeded and the file lacks, one line each."""
    conn = sqlite3.connect(db_path)
    try:
        counts = dict(conn.execute("SELECT pattern_id, occurrence_count FROM patterns"))
        knowledge = {r[0] for r in conn.execute("SELECT knowledge_id FROM knowledge")}
        logged = {r[0] for r in conn.execute("SELECT pattern_id FROM pattern_history WHERE action = 'noted'")}
        links = set(conn.execute("SELECT pattern_id, signal_ref FROM pattern_signals"))
        shared = conn.execute("SELECT occurrence_count FROM patterns WHERE fingerprint = 'fp-shared'").fetchone()
        integrity = conn.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        conn.close()
    faults = []
    for writer, done in outcomes:
        for pid, n in done["patterns"].items():
            if counts.get(pid) != n:
                faults.append(f"writer {writer}: pattern {pid} counted {counts.get(pid)}, expected {n}")
        faults += [f"writer {writer}: knowledge {k} missing" for k in done["knowledge"] if k not in knowledge]
        faults += [f"writer {writer}: history entry {t} missing" for t in done["logged"] if t not in logged]
        faults += [f"writer {writer}: signal link {link} missing" for link in done["links"] if link not in links]
    increments = sum(done["shared_increments"] for _, done in outcomes)
    if increments and (shared is None or shared[0] != 1 + increments):
        faults.append(f"shared pattern counted {shared and shared[0]}, expected {1 + increments}")
    if integrity != "ok":
        faults.append(f"integrity check: {integrity}")
    return faults


def remove(db_paths):
    for db_path in db_paths:
        for suffix in ("", "-wal", "-shm"):
            Path(f"{db_path}{suffix}").unlink(missing_ok=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_dir = Path("/dev/shm/varnel-bench") if Path("/dev/shm").is_dir() else ROOT / "bench" / "out"
    parser.add_argument("--writers", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--reopen", type=float, default=8.0, help="mean calls per open store")
    parser.add_argument("--rounds", type=int, default=1, help="fresh files the run is split over")
    parser.add_argument("--dir", type=Path, default=default_dir)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    db_paths = [args.dir / f"contention-{os.getpid()}-{r}.db" for r in range(max(args.rounds, 1))]
    remove(db_paths)

    import varnel.lorekeep  # noqa: F401 - an editable install rebuilds here, once, not in every writer

    ctx = multiprocessing.get_context("spawn")
    start, results = ctx.Barrier(args.writers), ctx.Queue()
    procs = [ctx.Process(target=writer_main, args=(w, [str(p) for p in db_paths], args.seconds / len(db_paths),
                                                   max(args.reopen, 1.0), args.seed, start, results))
             for w in range(args.writers)]
    for p in procs:
        p.start()
    outcomes = [results.get() for _ in procs]
    for p in procs:
        p.join()

    calls, errors = collections.Counter(), collections.Counter()
    for _, c, e, _ in outcomes:
        calls.update(c)
        errors.update(e)
    print(f"{args.writers} writers, {args.seconds:g} s, about {args.reopen:g} calls per open store, "
          f"{len(db_paths)} fresh file(s) in {args.dir}")
    print(f"calls: {sum(calls.values()):,}  errors: {sum(errors.values()):,}")
    for op, n in sorted(calls.items(), key=lambda kv: -kv[1]):
        print(f"  {op:<22}{n:>9,}")
    if errors:
        print("errors by call:")
        for (op, kind, message, code), n in sorted(errors.items(), key=lambda kv: -kv[1]):
            print(f"  {op:<22}{n:>6,}  {kind}: {message} (extended code {code})")
    faults = []
    for r, db_path in enumerate(db_paths):
        faults += check(db_path, [(w, rounds[r]) for w, _, _, rounds in outcomes])
    print(f"lost or miscounted writes: {len(faults)}")
    for line in faults[:20]:
        print(f"  {line}")
    remove(db_paths)
    return 1 if errors or faults else 0


if __name__ == "__main__":
    sys.exit(main())
