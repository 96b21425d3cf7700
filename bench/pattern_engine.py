"""Speed of the pattern engine on the signals of a synthetic workspace.

Writes a workspace of 100,000 events (bench/make_workspace.py) and runs the
signal and explanation engines on it once (the result is kept for later
runs). Then reports the seconds of Phase4Engine.run with the interpretation
layer off, split into loading (the signal files, the check of
explanations.json, the event files), co-occurrence discovery, presence
discovery and the knowledge-base work, as the C++ core alone measures them,
and the whole run as a Python host calls it; each figure is the best of
--repeat tries, every run on a fresh knowledge base. The target for the
whole run is 2 s; the floor printed beside it is reading and parsing every
event file once.

    python bench/pattern_engine.py [--events 100000] [--repeat 3]
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

from bench_support import BUILD, ROOT, build, last_json_line
sys.path.insert(0, str(ROOT / "bench"))
from make_workspace import write_workspace  # noqa: E402

TARGET_SECONDS = 2.0

PREPARE = r"""
import sys
from varnel import explstage, sigstage
sigstage.Phase2Engine(sys.argv[1]).run_all()
explstage.Phase3Engine(sys.argv[1]).run()
"""

HOST = r"""
import json, shutil, sys, time
from pathlib import Path
from varnel.patstage import Phase4Engine
workspace, best = Path(sys.argv[1]), None
for _ in range(int(sys.argv[2])):
    shutil.rmtree(workspace / "phase4", ignore_errors=True)
    engine = Phase4Engine(workspace)
    start = time.perf_counter()
    result = engine.run()
    seconds = time.perf_counter() - start
    engine.close()
    best = seconds if best is None else min(best, seconds)
shutil.rmtree(workspace / "phase4", ignore_errors=True)
print(json.dumps({"seconds": best, "signals": result["total_signals"], "discovered": result["patterns_discovered"]}))
"""

STEPS = [("load_signals", "read signal files"), ("check_explanations", "check explanations.json"),
         ("read_events", "read event files"), ("cooccurrence", "co-occurrence"), ("presence", "presence"),
         ("knowledge_base", "knowledge base"), ("run", "run (core)")]






def prepared_workspace(events: int) -> Path:
    workspace = BUILD / f"patterns-{events}"
    marker = workspace / "prepared.json"
    if not marker.exists():
        write_workspace(workspace, events)
        subprocess.run([sys.executable, "-c", PREPARE, str(workspace)], check=True, capture_output=True)
        marker.write_text(json.dumps({"events": events}))
    return workspace


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    build("event_floor", "pattern_engine_core")
    workspace = prepared_workspace(args.events)
    # The interpretation layer stays off whatever this shell's environment says.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PHASE4B_", "PHASE31_"))}
    floor = min(float(subprocess.run([str(BUILD / "bench" / "event_floor"), str(workspace / "events")], check=True,
                                     capture_output=True, text=True).stdout.split()[1]) for _ in range(args.repeat))
    core = last_json_line(subprocess.run([str(BUILD / "bench" / "pattern_engine_core"), str(workspace),
                                          str(args.repeat)], check=True, capture_output=True, text=True,
                                         env=env).stdout)
    host = last_json_line(subprocess.run([sys.executable, "-c", HOST, str(workspace), str(args.repeat)], check=True,
                                         capture_output=True, text=True, env=env).stdout)
    print(f"{args.events} events, {core['signals']} signals, {core['candidates']} candidates, "
          f"{host['discovered']} patterns stored per run")
    print(f"{'step':<26} {'seconds':>8}")
    for key, label in STEPS:
        print(f"{label:<26} {core[key]:>8.3f}")
    print(f"{'run (host)':<26} {host['seconds']:>8.3f}   target {TARGET_SECONDS:.1f} s, "
          f"floor {floor:.3f} s (reading and parsing every event file once)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
