"""A plain, literal Python model of the signal engine, used as the oracle that
the C++ engine's signal files and results are compared with byte for byte.

It follows the engine's documented rules with Python's own statistics and
json, favouring clarity over speed.
"""

import json
import math
import statistics
from collections import deque
from pathlib import Path, PurePosixPath

from helpers import read_vocabulary

VOCABULARY = read_vocabulary()["family"]
# (family, source type, signal file) of each family the engine judges, in run order.
FAMILIES = [(f["family"], f["source_type"], f["signal_file"]) for f in VOCABULARY if "sigstage" in f["engines"]]
# The git family's metrics: files touched, dispersion, change locality, co-change novelty.
FILES_TOUCHED, DISPERSION, LOCALITY, NOVELTY = (m["metric"] for m in VOCABULARY[0]["metric"])


def measured(v):
    """Metric values: NaN and infinities are not measurements."""
    if isinstance(v, bool):
        raise TypeError("bool is not a number")
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v


def operand(v):
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise TypeError("not a number")
    return v


def median(values):
    return statistics.median(values)


def mad(values):
    m = median(values)
    return median([abs(v - m) for v in values])


def iqr(values):
    s = sorted(values)
    n = len(s)
    return s[3 * n // 4] - s[n // 4]


def robust(observed, values):
    x = float(observed)
    med = median(values)
    m = mad(values)
    if m > 0:
        return {"measure": round((0.6745 * (x - med)) / m, 6), "unit": "modified_zscore", "median": med,
                "mad": m, "degenerate": False}
    q = iqr(values)
    if q > 0:
        return {"measure": round((x - med) / (q / 1.35), 6), "unit": "iqr_normalized", "median": med,
                "mad": 0.0, "degenerate": False}
    measure = 0.0 if x == med else None
    return {"measure": measure, "unit": "degenerate", "median": med, "mad": 0.0, "degenerate": True}


def signal(engine_id, source_type, name, observed, hist, window_size, ref):
    r = robust(observed, hist)
    return {
        "engine_id": engine_id,
        "source_type": source_type,
        "metric": name,
        "window": {"type": "rolling", "size": window_size},
        "baseline": {
            "mean": statistics.mean(hist),
            "stddev": statistics.pstdev(hist) if len(hist) > 1 else 0.0,
            "median": r["median"],
            "mad": r["mad"],
        },
        "observed": observed,
        "deviation": {"measure": 0.0 if r["measure"] is None else r["measure"], "unit": r["unit"],
                      "degenerate": r["degenerate"]},
        "confidence": {"sample_count": len(hist),
                       "status": "sufficient" if len(hist) >= window_size else "accumulating"},
        "event_ref": ref,
    }


def judge(window, metrics, engine_id, source_type, window_size, min_baseline, ref, signals):
    if len(window) < min_baseline:
        return
    for name, observed in metrics.items():
        if observed is None:
            continue
        hist = [entry[name] for entry in window if entry.get(name) is not None]
        if len(hist) < min_baseline:
            continue
        signals.append(signal(engine_id, source_type, name, observed, hist, window_size, ref()))


def emit(events, engine_id, source_type, metric_fn, window_size, min_baseline):
    window = deque(maxlen=window_size)
    signals = []
    for e in events:
        metrics = metric_fn(e)
        judge(window, metrics, engine_id, source_type, window_size, min_baseline,
              lambda: e.get("event_id", ""), signals)
        window.append(metrics)
    return signals


def get(x, key, default):
    return x.get(key, default)


def at_least_one(t):
    return max(t, 1)


def truth(v):
    return bool(v)


def ci(p):
    conclusion = get(p, "conclusion", get(p, "status", ""))
    return {"run_duration": measured(get(get(p, "timing", {}), "duration_seconds", 0.0)),
            "run_failed": 1.0 if conclusion == "failure" else 0.0}


def testing(p):
    s = get(p, "summary", {})
    total = at_least_one(operand(get(s, "total", 0)))
    return {"total_tests": measured(get(s, "total", 0)),
            "failure_rate": measured(operand(get(s, "failed", 0)) / total),
            "skip_rate": measured(operand(get(s, "skipped", 0)) / total),
            "suite_duration": measured(get(get(p, "execution", {}), "duration_seconds", 0.0))}


def coverage(p):
    return {"line_rate": measured(get(p, "line_rate", 0.0)), "branch_rate": measured(get(p, "branch_rate", 0.0))}


def dependency(p):
    snap = get(p, "snapshot", {})
    out = {"dependency_count": measured(get(snap, "total_count", 0))}
    if get(p, "ecosystem", "") in ("npm", "go", "cargo", "bundler"):
        out["max_depth"] = measured(get(snap, "max_depth", 1))
    return out


def schema(p):
    st = get(p, "structure", {})
    d = get(p, "diff", {})
    churn = 0
    first = True
    for k in ("endpoints_added", "endpoints_removed", "fields_added", "fields_removed", "types_added",
              "types_removed"):
        churn = operand(get(d, k, 0)) if first else churn + operand(get(d, k, 0))
        first = False
    return {"endpoint_count": measured(get(st, "endpoint_count", 0)), "type_count": measured(get(st, "type_count", 0)),
            "field_count": measured(get(st, "field_count", 0)),
            "schema_churn": measured(churn / at_least_one(operand(get(st, "endpoint_count", 0))))}


def deployment(p):
    out = {"is_prerelease": 1.0 if truth(get(p, "is_prerelease", False)) else 0.0,
           "asset_count": measured(get(p, "asset_count", 0))}
    cadence = get(get(p, "timing", {}), "since_previous_seconds", None)
    if cadence is not None:
        out["release_cadence_hours"] = measured(operand(cadence) / 3600.0)
    return out


def config(p):
    st = get(p, "structure", {})
    d = get(p, "diff", {})
    churn = operand(get(d, "resources_added", 0)) + operand(get(d, "resources_removed", 0))
    churn = churn + operand(get(d, "resources_modified", 0))
    return {"resource_count": measured(get(st, "resource_count", 0)),
            "resource_type_count": measured(get(st, "resource_types", 0)), "config_churn": measured(churn)}


def security(p):
    s = get(p, "summary", {})
    fixable = len([f for f in get(p, "findings", []) if truth(f.get("fixed_version"))])
    return {"vulnerability_count": measured(get(s, "total", 0)), "critical_count": measured(get(s, "critical", 0)),
            "fixable_ratio": measured(fixable / at_least_one(operand(get(s, "total", 0))))}


def error_tracking(p):
    st = get(p, "stats", {})
    return {"event_count": measured(get(st, "event_count", 0)), "user_count": measured(get(st, "user_count", 0)),
            "is_unhandled": 1.0 if truth(get(p, "is_unhandled", False)) else 0.0}


FORMULAS = {"ci": ci, "testing": testing, "coverage": coverage, "dependency": dependency, "schema": schema,
            "deployment": deployment, "config": config, "security": security, "error_tracking": error_tracking}


def load_events(events_dir, source_family=None, source_type=None):
    events = []
    d = Path(events_dir)
    if not d.exists():
        return events
    for path in sorted(d.glob("*.json")):
        with open(path, encoding="utf-8") as f:
            e = json.load(f)
        if source_family and e.get("source_family") != source_family:
            continue
        if source_type and e.get("source_type") != source_type:
            continue
        events.append(e)
    return sorted(events, key=lambda e: e.get("observed_at", ""))


def bucket(path):
    parts = PurePosixPath(path).parts
    return parts[0] if parts else "_root"


def dispersion(files):
    if not files:
        return 0.0
    counts = {}
    for f in files:
        counts[bucket(f)] = counts.get(bucket(f), 0) + 1
    total = len(files)
    entropy = 0.0
    for name in sorted(counts):
        p = counts[name] / total
        entropy = entropy - p * math.log2(p)
    return entropy


def pairs_of(files):
    s = sorted(files)
    return {(s[i], s[j]) for i in range(len(s)) for j in range(i + 1, len(s))}


def run_git(events, window_size, min_baseline):
    window = deque(maxlen=window_size)
    signals = []
    for e in events:
        files = set(e["payload"].get("files", []))
        metrics = {FILES_TOUCHED: len(files), DISPERSION: dispersion(files)}
        current = set() if len(files) > 30 else pairs_of(files)
        recent = set().union(*(w["files"] for w in window)) if window else set()
        metrics[LOCALITY] = len([f for f in files if f in recent]) / len(files) if files else 0.0
        if current and window:
            seen = set().union(*(w["pairs"] for w in window))
            metrics[NOVELTY] = len(current - seen) / len(current)
        elif current:
            metrics[NOVELTY] = 1.0
        judge([w["metrics"] for w in window], metrics, "git", "git", window_size, min_baseline,
              lambda: e["event_id"], signals)
        window.append({"files": files, "pairs": current, "metrics": metrics})
    return signals


def run_all(varnel_dir, window_size=50, min_baseline=5):
    """Every family's signals and file texts: {family: (signals, text or None)}."""
    out = {}
    events_dir = Path(varnel_dir) / "events"
    for family, label, _ in FAMILIES:
        if family == "git":
            signals = run_git(load_events(events_dir, source_type="git"), window_size, min_baseline)
            out[family] = (signals, json.dumps(signals, indent=2))
            continue
        events = load_events(events_dir, source_family=family)
        if not events:
            out[family] = ([], None)
            continue
        signals = emit(events, family, label, lambda e, fn=FORMULAS[family]: fn(e["payload"]), window_size,
                       min_baseline)
        out[family] = (signals, json.dumps(signals, indent=2))
    return out
