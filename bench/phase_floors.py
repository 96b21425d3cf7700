"""Phases 2 to 5, each against its floor and its plain-Python reference.

Builds once (cached under build/bench) a synthetic workspace of --events
events (bench/make_workspace.py) and every phase's outputs on it. Then, for
each phase, in a fresh process on a fresh copy of the workspace files the
phase reads, times the engine (its constructor and entry operation) and the
reference the tests compare it with (tests/python/phaseN_reference.py), and
prints the peak memory of the engine's process; engine and floor are the
best of --repeat tries, a reference is run once. The floor is reading and
parsing the phase's inputs once and writing its outputs once, in their JSON
forms, with the engines' own C++ reader and writer (bench/event_floor.cpp,
on one thread); the knowledge base, which is not JSON, is read and written
as bytes. Phase 4's reference models discovery only: the candidates, not the
knowledge base. The references may be measured on a smaller workspace
(--reference-events), the engine then again beside them.

    python bench/phase_floors.py [--events 100000] [--reference-events N] [--repeat 3]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

from bench_support import BUILD, ROOT, build, last_json_line, run_measured
from make_workspace import write_workspace

# (phase, entry operation, what it reads, what it writes), in run order.
PHASES = [("2", "run_all", ["events"], ["phase2"]),
          ("2", "run_all_parallel", ["events"], ["phase2"]),
          ("3", "run", ["phase2"], ["phase3"]),
          ("3", "write", ["phase2"], ["phase3"]),  # what a run calls: no records returned, the helper asked once
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
    getattr(explstage.Phase3Engine(ws), entry)()
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
    """A copy of the folders a phase reads, and nothing else. The event
    files, which every engine only reads, are linked: copying 100,000 files
    takes longer than a phase."""
    ws = BUILD / "floors-run"
    shutil.rmtree(ws, ignore_errors=True)
    for folder in reads:
        shutil.copytree(base / folder, ws / folder, copy_function=os.link if folder == "events" else shutil.copy2)
    return ws


def timed(script: str, *args: str) -> tuple[float, float]:
    """The seconds the script prints and the peak memory of its process."""
    run = run_measured([sys.executable, "-c", script, *args], check=True, env=ENV)
    return last_json_line(run.stdout)["seconds"], run.peak_mib


def engine(base: Path, phase: str, entry: str, reads: list[str], repeat: int) -> tuple[float, float]:
    """Best seconds and largest peak of `repeat` runs, each on a fresh copy."""
    runs = [timed(ENGINE, str(fresh(base, reads)), phase, entry) for _ in range(repeat)]
    return min(seconds for seconds, _ in runs), max(peak for _, peak in runs)


def floor(base: Path, reads: list[str], writes: list[str], repeat: int) -> float:
    """Best seconds of `repeat` tries of bench/event_floor on the phase's inputs and outputs."""
    scratch = BUILD / "floors-scratch"
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    command = [str(BUILD / "bench" / "event_floor"), *(str(base / r) for r in reads), "--write", str(scratch),
               *(str(base / w) for w in writes)]
    return min(float(subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()[1])
               for _ in range(repeat))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--reference-events", type=int, help="the references' workspace (default: --events)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    build("event_floor")
    base = prepared(args.events)
    small = prepared(args.reference_events) if args.reference_events else base
    tests = str(ROOT / "tests" / "python")

    print(f"engines at {args.events:,} events, references at {args.reference_events or args.events:,}; floor: "
          f"bench/event_floor (C++ reader and writer)")
    print(f"{'phase':<22} {'seconds':>8} {'floor s':>8} {'x floor':>8} {'peak MiB':>9}   {'reference s':>11} "
          f"{'engine s':>9} {'ref/engine':>10}")
    references = {}  # phase 2's two entries share one reference run
    for phase, entry, reads, writes in PHASES:
        engine_s, peak = engine(base, phase, entry, reads, args.repeat)
        floor_s = floor(base, reads, writes, args.repeat)
        beside = engine_s if small is base else engine(small, phase, entry, reads, args.repeat)[0]
        if phase not in references:
            references[phase] = timed(REFERENCE, str(fresh(small, reads)), phase, tests)[0]
        print(f"{phase + ' ' + entry:<22} {engine_s:>8.2f} {floor_s:>8.2f} {engine_s / floor_s:>8.2f} {peak:>9.0f}   "
              f"{references[phase]:>11.2f} {beside:>9.2f} {references[phase] / beside:>10.1f}", flush=True)
    for scratch in ("floors-run", "floors-scratch"):
        shutil.rmtree(BUILD / scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
