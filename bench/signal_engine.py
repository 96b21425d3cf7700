"""Speed and memory of the signal engine on synthetic workspaces.

For 10,000 and 100,000 events: seconds and events/s of run_all and
run_all_parallel(4), the floor (listing, reading and parsing every event file
once in C++ on one thread), the ratio to the floor, and each run's peak
resident memory next to the events' size on disk. Each run is a fresh process,
once as the C++ core alone ("core") and once through the Python module as a
host calls it ("host"), whose results are Python lists of dicts.

    python bench/signal_engine.py [--sizes 10000 100000]
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

from bench_support import BUILD, ROOT, build, last_json_line
sys.path.insert(0, str(ROOT / "bench"))
from make_workspace import write_workspace  # noqa: E402

RUN = r"""
import json, resource, sys, time
from varnel import sigstage
engine = sigstage.Phase2Engine(sys.argv[1])
start = time.perf_counter()
result = engine.run_all() if sys.argv[2] == "run_all" else engine.run_all_parallel(4)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "signals": sum(map(len, result.values())),
                  "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""






def floor(events_dir: Path) -> float:
    best = min(float(subprocess.run([str(BUILD / "bench" / "event_floor"), str(events_dir)], check=True,
                                    capture_output=True, text=True).stdout.split()[1]) for _ in range(3))
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    args = parser.parse_args()
    build("event_floor", "signal_engine_core")
    print(f"{'events':>8} {'disk MB':>8} {'operation':<27} {'seconds':>8} {'events/s':>10} {'floor s':>8} "
          f"{'x floor':>8} {'peak MB':>8} {'x disk':>7}")
    for size in args.sizes:
        ws = BUILD / f"workspace-{size}"
        marker = ws / "size.json"
        if not marker.exists():
            disk = write_workspace(ws, size)
            marker.write_text(json.dumps({"bytes": disk}))
        disk_mb = json.loads(marker.read_text())["bytes"] / 1e6
        floor_s = floor(ws / "events")
        for op in ("run_all", "run_all_parallel(4)"):
            name = op.split("(")[0]
            core = [str(BUILD / "bench" / "signal_engine_core"), str(ws), name]
            host = [sys.executable, "-c", RUN, str(ws), name]
            for where, command in (("core", core), ("host", host)):
                r = last_json_line(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
                print(f"{size:>8} {disk_mb:>8.1f} {where + ' ' + op:<27} {r['seconds']:>8.2f} {size / r['seconds']:>10.0f} "
                  f"{floor_s:>8.2f} {r['seconds'] / floor_s:>8.2f} {r['peak_mb']:>8.0f} {r['peak_mb'] / disk_mb:>7.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
