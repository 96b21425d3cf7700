"""Advisory engine: Phase5Engine.run and verify on a synthetic workspace.

Builds (once, cached under build/bench) a workspace of 100,000 events with
make_workspace.py and runs Phases 2, 3 and 4 on it, then times run() and
verify() each in a fresh interpreter and reports seconds and the process's
peak memory. The floor is reading every input file's bytes once (event
files, signal files, explanations), which any run must do at least.

    python bench/advisory_engine.py [--events 100000] [--repeat 3]
"""

import argparse
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
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
    ws = ROOT / "build" / "bench" / f"advisory-{events}"
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


def measure(script: str, *args: str) -> dict:
    done = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def best(script: str, repeat: int, *args: str) -> dict:
    runs = [measure(script, *args) for _ in range(repeat)]
    return {"seconds": min(r["seconds"] for r in runs), "peak_mb": max(r["peak_mb"] for r in runs), **runs[-1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    ws = prepare(args.events)
    signals = sum(len(json.loads(p.read_text(encoding="utf-8"))) for p in (ws / "phase2").glob("*.json"))
    print(f"work: {args.events:,} events, {signals:,} signals, best of {args.repeat}")

    floor = best(FLOOR, args.repeat, str(ws))
    print(f"floor: reading {floor['bytes'] / 1e6:.0f} MB of inputs once     {floor['seconds']:6.2f} s")
    run = best(MEASURE, args.repeat, str(ws), "run")
    print(f"run()      {run['status']:<24} {run['seconds']:6.2f} s   peak {run['peak_mb']:6.0f} MB")
    previous = ws / "previous_advisory.json"
    shutil.copy(ws / "phase5" / "advisory.json", previous)
    verify = best(MEASURE, args.repeat, str(ws), "verify", str(previous))
    print(f"verify()   {verify['status']:<24} {verify['seconds']:6.2f} s   peak {verify['peak_mb']:6.0f} MB")


if __name__ == "__main__":
    main()
