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

from varnel import _vocabulary, explstage

ROOT = Path(__file__).resolve().parent.parent
WORKSPACE = ROOT / "build" / "bench" / "explain"


def typical_center(metric: str):
    """A typical center for a metric, by the form its sentence shows it in:
    flags 0.0, counts 100, durations 100.0, shares and other ratios 0.3."""
    if metric in _vocabulary.FLAG_SENTENCES:
        return 0.0
    form = _vocabulary.FORMATS.get(metric)
    return 100 if form in ("plain", ".0f") else 100.0 if form == ".1f" else 0.3


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
    pairs = [(family, metric, typical_center(metric)) for family, metrics in _vocabulary.FAMILY_METRICS.items()
             for metric in metrics]
    by_family = {family: [] for family in _vocabulary.FAMILY_METRICS}
    for i in range(count):
        family, metric, center = pairs[i % len(pairs)]
        by_family[family].append(make_signal(rng, family, metric, center, i))
    phase2 = WORKSPACE / "phase2"
    phase2.mkdir(parents=True, exist_ok=True)
    for family, signals in by_family.items():
        (phase2 / _vocabulary.SIGNAL_FILES[family]).write_text(json.dumps(signals, indent=2), encoding="utf-8")
    return [s for family in _vocabulary.FAMILY_METRICS for s in by_family[family]]


def call_arguments(signals: list) -> list:
    """The (observed, center, metric, direction) of each signal, as the engine passes them."""
    engine = explstage.Phase3Engine(WORKSPACE)
    return [(s["observed"], engine._get_median(s), s["metric"], engine._direction(s)) for s in signals]


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
