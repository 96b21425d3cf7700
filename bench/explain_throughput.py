"""Explanation throughput: Phase3Engine.run over 100,000 signals.

Writes a workspace of signal files shaped like the signal engine's, then
reports signals/s of run() and how its time splits between the two
varnel.friendly calls each signal makes and the engine's own work (reading,
sentence, record, identifier, writing). The floor is the Python calls: the
engine's own share of a signal must cost less than the two calls it makes.

The calls' cost is measured by making the same 100,000 pairs of calls from
Python, minus the cost of an empty loop over the same arguments. A second
figure runs run() in a fresh interpreter whose helper functions return at
once, which bounds the engine's own cost from above (it still pays for
crossing into Python twice per signal).

    python bench/explain_throughput.py [--signals 100000] [--repeat 5]
"""

import argparse
import json
import os
import random
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORKSPACE = ROOT / "build" / "bench" / "explain"

# Families with their metrics and a typical center for each.
FAMILIES = {
    "git": {"files_touched": 6, "dispersion": 1.2, "change_locality": 0.6, "cochange_novelty_ratio": 0.3},
    "ci": {"run_duration": 240.0, "run_failed": 0.0},
    "testing": {"total_tests": 1200, "failure_rate": 0.01, "skip_rate": 0.02, "suite_duration": 95.0},
    "coverage": {"line_rate": 0.82, "branch_rate": 0.71},
    "dependency": {"dependency_count": 180, "max_depth": 6},
    "schema": {"endpoint_count": 44, "type_count": 60, "field_count": 410, "schema_churn": 0.05},
    "deployment": {"is_prerelease": 0.0, "asset_count": 4, "release_cadence_hours": 72.0},
    "config": {"resource_count": 120, "resource_type_count": 14, "config_churn": 3},
    "security": {"vulnerability_count": 5, "critical_count": 0, "fixable_ratio": 0.6},
    "error_tracking": {"event_count": 30, "user_count": 8, "is_unhandled": 0.0},
}
SIGNAL_FILES = {family: f"{family}_signals.json" for family in FAMILIES}


def make_signal(rng: random.Random, family: str, metric: str, center, i: int) -> dict:
    integral = isinstance(center, int)
    spread = max(abs(center) * 0.15, 1 if integral else 0.01)
    observed = center + rng.gauss(0, 3) * spread
    observed = max(0, round(observed)) if integral else max(0.0, observed)
    degenerate = rng.random() < 0.05
    mad = 0.0 if degenerate else round(spread * 0.6745, 4)
    history = rng.randint(5, 50)
    return {
        "engine_id": family,
        "source_type": family,
        "metric": metric,
        "window": {"type": "rolling", "size": 50},
        "baseline": {"mean": float(center) + spread * 0.1, "stddev": spread, "median": center, "mad": mad},
        "observed": observed,
        "deviation": {"measure": round(rng.gauss(0, 2.5), 6), "unit": "degenerate" if degenerate else
                      "modified_zscore", "degenerate": degenerate},
        "confidence": {"sample_count": history, "status": "sufficient" if history == 50 else "accumulating"},
        "event_ref": f"{family}-{i:06d}",
    }


def write_workspace(count: int) -> list:
    rng = random.Random(11)
    pairs = [(family, metric, center) for family, metrics in FAMILIES.items() for metric, center in metrics.items()]
    by_family = {family: [] for family in FAMILIES}
    for i in range(count):
        family, metric, center = pairs[i % len(pairs)]
        by_family[family].append(make_signal(rng, family, metric, center, i))
    phase2 = WORKSPACE / "phase2"
    phase2.mkdir(parents=True, exist_ok=True)
    for family, signals in by_family.items():
        (phase2 / SIGNAL_FILES[family]).write_text(json.dumps(signals, indent=2), encoding="utf-8")
    return [s for family in FAMILIES for s in by_family[family]]


def call_arguments(signals: list) -> list:
    """The (observed, center, metric, direction) of each signal, as the engine passes them."""
    out = []
    for s in signals:
        b = s["baseline"]
        median, mad = b.get("median"), b.get("mad")
        center = median if median is not None and mad is not None and mad > 0 else b["mean"]
        observed = s["observed"]
        if center is None or center == 0:
            direction = "up" if observed > 0 else "down"
        else:
            direction = "up" if observed >= center else "down"
        out.append((observed, center, s["metric"], direction))
    return out


# Each figure is measured in a fresh interpreter, so that none pays for the
# heap that generating the workspace leaves behind.
MEASURE = """
import gc, json, sys, time, types
workspace, mode, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])
import varnel
if mode == "noop":
    helper = types.ModuleType("varnel.friendly")
    helper.relative_change = lambda current, baseline: ""
    helper.metric_insight = lambda metric, direction: ""
    sys.modules["varnel.friendly"] = varnel.friendly = helper


def best_of(fn):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


if mode == "calls":
    from varnel.friendly import metric_insight, relative_change
    with open(workspace + "/call_arguments.json") as f:
        arguments = [tuple(a) for a in json.load(f)]

    def calls():
        for observed, center, metric, direction in arguments:
            str(relative_change(observed, center))
            metric_insight(metric, direction)

    def empty():
        for observed, center, metric, direction in arguments:
            pass

    print(best_of(calls) - best_of(empty))
else:
    from varnel import explstage
    print(best_of(explstage.Phase3Engine(workspace).run))
"""


def measure(mode: str, repeat: int) -> float:
    done = subprocess.run([sys.executable, "-c", MEASURE, str(WORKSPACE), mode, str(repeat)], check=True,
                          capture_output=True, text=True)
    return float(done.stdout.split()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signals", type=int, default=100_000, help="number of signals")
    parser.add_argument("--repeat", type=int, default=5, help="runs per figure; the best is kept")
    args = parser.parse_args()

    arguments = call_arguments(write_workspace(args.signals))
    (WORKSPACE / "call_arguments.json").write_text(json.dumps(arguments))
    os.sync()  # the freshly written files must not compete with run()'s own writing
    total = measure("real", args.repeat)
    python_calls = measure("calls", args.repeat)
    trivial = measure("noop", args.repeat)
    engine_side = total - python_calls
    size = (WORKSPACE / "phase3" / "explanations.json").stat().st_size

    n = args.signals
    print(f"signals:                         {n:,} (explanations.json {size / 1e6:.1f} MB)")
    print(f"run():                           {total:.3f} s, {n / total:,.0f} signals/s")
    print(f"the two friendly calls (floor):  {python_calls:.3f} s, {python_calls / n * 1e6:.2f} us/signal, "
          f"{python_calls / total:.0%} of run()")
    print(f"engine's own work:               {engine_side:.3f} s, {engine_side / n * 1e6:.2f} us/signal")
    print(f"run() with no-op helpers:        {trivial:.3f} s, {trivial / n * 1e6:.2f} us/signal "
          f"(engine work + two crossings into Python)")
    ok = engine_side < python_calls
    print("engine's own work per signal is " + ("below" if ok else "ABOVE") + " the cost of its two calls")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
