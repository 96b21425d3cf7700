"""Advisory engine: Phase5Engine.run and verify on a synthetic workspace.

Builds (once, cached under build/bench) a workspace of 100,000 events with
make_workspace.py and runs Phases 2, 3 and 4 on it, then times run() and
verify() each in a fresh interpreter and reports seconds and the process's
peak memory. A second figure runs the C++ core alone with outside modules
that answer at once, the engine's own share. The floors are reading every
input file's bytes once (event files, signal files, explanations), which any
run must do at least, and reading and parsing the event files once.

    python bench/advisory_engine.py [--events 100000] [--repeat 3]
"""

import argparse
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

from bench_support import BUILD, ROOT, build
sys.path.insert(0, str(ROOT / "bench"))

from make_workspace import write_workspace  # noqa: E402

MEASURE = """
import json, resource, sys, time
from varnel.advstage import Phase5Engine
engine = Phase5Engine(sys.argv[1])
start = time.perf_counter()
result = engine.run("bench") if sys.argv[2] == "run" else engine.verify("bench", sys.argv[3])
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "status": result["status"]}))
"""

FLOOR = """
import json, resource, sys, time
from pathlib import Path
ws = Path(sys.argv[1])
start = time.perf_counter()
total = 0
for path in list((ws / "events").glob("*.json")) + list((ws / "phase2").glob("*.json")) + [
        ws / "phase3" / "explanations.json"]:
    with open(path, "rb") as f:
        total += len(f.read())
print(json.dumps({"seconds": time.perf_counter() - start, "bytes": total,
                  "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""




def prepare(events: int) -> Path:
    ws = BUILD / f"advisory-{events}"
    if (ws / "phase3" / "explanations.json").exists():
        return ws
    shutil.rmtree(ws, ignore_errors=True)
    from varnel import explstage, patstage, sigstage

    start = time.perf_counter()
    write_workspace(ws, events)
    sigstage.Phase2Engine(ws).run_all()
    explstage.Phase3Engine(ws).run()
    phase4 = patstage.Phase4Engine(ws)
    try:
        phase4.run()
    finally:
        phase4.close()
    print(f"workspace built in {time.perf_counter() - start:.1f} s: {ws}")
    return ws


def measure(command: list) -> dict:
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])  # an editable install may print its rebuild first


def best(command: list, repeat: int) -> dict:
    runs = [measure(command) for _ in range(repeat)]
    return {**runs[-1], "seconds": min(r["seconds"] for r in runs), "peak_mb": max(r["peak_mb"] for r in runs)}


def python(script: str, *args: str) -> list:
    return [sys.executable, "-c", script, *args]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    build("event_floor", "advisory_engine_core")
    ws = prepare(args.events)
    signals = sum(len(json.loads(p.read_text(encoding="utf-8"))) for p in (ws / "phase2").glob("*.json"))
    print(f"work: {args.events:,} events, {signals:,} signals, best of {args.repeat}")

    floor = best(python(FLOOR, str(ws)), args.repeat)
    print(f"floor: reading {floor['bytes'] / 1e6:.0f} MB of inputs once          {floor['seconds']:6.2f} s")
    events = min(float(subprocess.run([str(BUILD / "bench" / "event_floor"), str(ws / "events")], check=True,
                                      capture_output=True, text=True).stdout.split()[1]) for _ in range(args.repeat))
    print(f"floor: reading and parsing the event files once  {events:6.2f} s")
    run = best(python(MEASURE, str(ws), "run"), args.repeat)
    print(f"run()      {run['status']:<30}  {run['seconds']:6.2f} s   peak {run['peak_mb']:6.0f} MB")
    core = best([str(BUILD / "bench" / "advisory_engine_core"), str(ws)], args.repeat)
    print(f"run(), C++ core without Python modules         {core['seconds']:6.2f} s   peak {core['peak_mb']:6.0f} MB")
    previous = ws / "previous_advisory.json"
    shutil.copy(ws / "phase5" / "advisory.json", previous)
    verify = best(python(MEASURE, str(ws), "verify", str(previous)), args.repeat)
    print(f"verify()   {verify['status']:<30}  {verify['seconds']:6.2f} s   peak {verify['peak_mb']:6.0f} MB")


if __name__ == "__main__":
    main()
