"""Phases 2 to 5, each against its floor and its plain-Python reference.

Builds once (cached under build/bench) a synthetic workspace of --events
events (bench/make_workspace.py) and every phase's outputs on it. Then, for
each phase, in a fresh process on a fresh copy of the workspace files the
phase reads, times the engine (its constructor and entry operation) and the
reference the tests compare it with (tests/python/phaseN_reference.py), and
prints the peak memory of the engine's process. The floor is reading and
parsing the phase's inputs once and writing its outputs once, in their JSON
forms, with the engines' own C++ reader and writer as varnel._common binds
them (loads, dumps_pretty); the knowledge base, which is not JSON, is read
and written as bytes. Phase 4's reference models discovery only: the
candidates, not the knowledge base. The references may be measured on a
smaller workspace (--reference-events), the engine then again beside them.

    python bench/phase_floors.py [--events 100000] [--reference-events 100000]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

from bench_support import BUILD, ROOT, last_json_line, run_measured
from make_workspace import write_workspace

# (phase, entry operation, what it reads, what it writes), in run order.
PHASES = [("2", "run_all", ["events"], ["phase2"]),
          ("2", "run_all_parallel", ["events"], ["phase2"]),
          ("3", "run", ["phase2"], ["phase3"]),
          ("4", "run", ["events", "phase2", "phase3"], ["phase4"]),
          ("5", "run", ["events", "phase2", "phase3", "phase4"], ["phase5"])]

ENGINE = r"""
import json, sys, time
from varnel import advstage, explstage, patstage, sigstage
ws, phase, entry = sys.argv[1:]
start = time.perf_counter()
if phase == "2":
    getattr(sigstage.Phase2Engine(ws), entry)()
elif phase == "3":
    explstage.Phase3Engine(ws).run()
elif phase == "4":
    engine = patstage.Phase4Engine(ws)
    engine.run()
    engine.close()
else:
    advstage.Phase5Engine(ws).run("bench")
print(json.dumps({"seconds": time.perf_counter() - start}))
"""

REFERENCE = r"""
import json, sys, time
from pathlib import Path
ws, phase, tests = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
sys.path.insert(0, tests)
start = time.perf_counter()
if phase == "2":
    import phase2_reference as reference
    names = {family: name for family, _, name in reference.FAMILIES}
    (ws / "phase2").mkdir()
    for family, (_, text) in reference.run_all(ws).items():
        if text is not None:
            (ws / "phase2" / names[family]).write_text(text, encoding="utf-8")
elif phase == "3":
    import phase3_reference as reference
    reference.run(ws)
elif phase == "4":
    import phase4_reference as reference
    from varnel.patstage import DEFAULT_PARAMS, SIGNAL_FILES
    signals = []
    for name in SIGNAL_FILES.values():
        if (ws / "phase2" / name).is_file():
            signals += json.loads((ws / "phase2" / name).read_text(encoding="utf-8"))
    commits, times = reference.build_indexes(ws / "events")
    log = []
    reference.discover_cooccurrences(signals, commits, times, DEFAULT_PARAMS, log)
    reference.discover_presence_patterns(signals, commits, DEFAULT_PARAMS, log)
else:
    import phase5_reference as reference
    from varnel._common import utc_timestamp
    from varnel.accepted import AcceptedDeviations
    files, _ = reference.run(ws, "bench", utc_timestamp(), AcceptedDeviations(ws))
    (ws / "phase5").mkdir()
    for name, text in files.items():
        (ws / "phase5" / name).write_text(text, encoding="utf-8")
print(json.dumps({"seconds": time.perf_counter() - start}))
"""

FLOOR = r"""
import json, sys, time
from pathlib import Path
from varnel._common import dumps_pretty, loads
base, scratch = Path(sys.argv[1]), Path(sys.argv[2])
reads, writes = sys.argv[3].split(","), sys.argv[4].split(",")
inputs = [p for folder in reads for p in sorted((base / folder).iterdir()) if p.is_file()]
# The outputs' values are ready before the clock starts, as an engine's are when it writes.
outputs = [(scratch / p.name, loads(p.read_text(encoding="utf-8")) if p.suffix == ".json" else p.read_bytes())
           for folder in writes for p in sorted((base / folder).iterdir()) if p.is_file()]
start = time.perf_counter()
for path in inputs:
    if path.suffix == ".json":
        loads(path.read_text(encoding="utf-8"))
    else:
        path.read_bytes()
for path, value in outputs:
    if isinstance(value, bytes):
        path.write_bytes(value)
    else:
        path.write_text(dumps_pretty(value), encoding="utf-8")
print(json.dumps({"seconds": time.perf_counter() - start}))
"""

PREPARE = r"""
import sys
from varnel import advstage, explstage, patstage, sigstage
sigstage.Phase2Engine(sys.argv[1]).run_all()
explstage.Phase3Engine(sys.argv[1]).run()
engine = patstage.Phase4Engine(sys.argv[1])
engine.run()
engine.close()
advstage.Phase5Engine(sys.argv[1]).run("bench")
"""

# The interpretation layer stays off whatever this shell's environment says.
ENV = {k: v for k, v in os.environ.items() if not k.startswith(("PHASE4B_", "PHASE31_"))}


def prepared(events: int) -> Path:
    """The workspace of `events` events with every phase's outputs, built once."""
    base = BUILD / f"floors-{events}"
    if not (base / "prepared.json").exists():
        shutil.rmtree(base, ignore_errors=True)
        write_workspace(base, events)
        subprocess.run([sys.executable, "-c", PREPARE, str(base)], check=True, env=ENV)
        (base / "prepared.json").write_text(json.dumps({"events": events}))
    return base


def fresh(base: Path, reads: list[str]) -> Path:
    """A copy of the folders a phase reads, and nothing else."""
    ws = BUILD / "floors-run"
    shutil.rmtree(ws, ignore_errors=True)
    for folder in reads:
        shutil.copytree(base / folder, ws / folder)
    return ws


def timed(script: str, *args: str):
    run = run_measured([sys.executable, "-c", script, *args], check=True, env=ENV)
    return last_json_line(run.stdout)["seconds"], run.peak_mib


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--reference-events", type=int, help="the references' workspace (default: --events)")
    args = parser.parse_args()
    base = prepared(args.events)
    small = prepared(args.reference_events) if args.reference_events else base
    small_events = args.reference_events or args.events
    tests = str(ROOT / "tests" / "python")
    scratch = BUILD / "floors-scratch"

    print(f"engines at {args.events:,} events, references at {small_events:,}; floor: varnel._common loads and "
          f"dumps_pretty")
    print(f"{'phase':<22} {'seconds':>8} {'floor s':>8} {'x floor':>8} {'peak MiB':>9}   {'reference s':>11} "
          f"{'engine s':>9} {'ref/engine':>10}")
    for phase, entry, reads, writes in PHASES:
        engine_s, peak = timed(ENGINE, str(fresh(base, reads)), phase, entry)
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir(parents=True)
        floor_s, _ = timed(FLOOR, str(base), str(scratch), ",".join(reads), ",".join(writes))
        beside = engine_s if small is base else timed(ENGINE, str(fresh(small, reads)), phase, entry)[0]
        reference_s, _ = timed(REFERENCE, str(fresh(small, reads)), phase, tests)
        print(f"{phase + ' ' + entry:<22} {engine_s:>8.2f} {floor_s:>8.2f} {engine_s / floor_s:>8.2f} {peak:>9.0f}   "
              f"{reference_s:>11.2f} {beside:>9.2f} {reference_s / beside:>10.1f}", flush=True)
    shutil.rmtree(BUILD / "floors-run", ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
