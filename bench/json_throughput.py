"""JSON throughput of the shared core on ~100 MB of signal records.

Builds the C++ benchmark, writes a JSON array of signal-shaped records with
Python's own json (indent=2, the signal file form), then reports MB/s for
reading, the indented writer and the canonical writer.

    python bench/json_throughput.py [--mb 100]
"""

import argparse
import json
import random
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


def signal(rng: random.Random, i: int) -> dict:
    observed = rng.choice([rng.randint(0, 5000), round(rng.uniform(0, 900), 3)])
    return {
        "engine_id": rng.choice(["git", "ci", "testing", "coverage"]),
        "source_type": "github_actions",
        "metric": rng.choice(["files_touched", "run_duration", "skip_rate", "dispersion"]),
        "window": {"type": "rolling", "size": 50},
        "baseline": {
            "mean": rng.uniform(0, 1000),
            "stddev": rng.uniform(0, 100),
            "median": rng.choice([rng.randint(0, 1000), rng.uniform(0, 1000)]),
            "mad": rng.uniform(0, 50),
        },
        "observed": observed,
        "deviation": {"measure": round(rng.gauss(0, 3), 6), "unit": "modified_zscore", "degenerate": False},
        "confidence": {"sample_count": rng.randint(5, 50), "status": "accumulating"},
        "event_ref": f"evt-{i:08d}-\u00e9",
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=100.0, help="size of the JSON file in MB")
    args = parser.parse_args()

    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DVARNEL_PYTHON=OFF",
                    "-DVARNEL_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "json_throughput"], check=True,
                   stdout=subprocess.DEVNULL)

    data = BUILD / f"signals_{int(args.mb)}mb.json"
    if not data.exists():
        rng = random.Random(7)
        one = len(json.dumps(signal(rng, 0), indent=2)) + 4
        records = [signal(rng, i) for i in range(int(args.mb * 1e6 / one))]
        data.write_text(json.dumps(records, indent=2), encoding="utf-8")
    return subprocess.run([str(BUILD / "bench" / "json_throughput"), str(data)]).returncode


if __name__ == "__main__":
    sys.exit(main())
