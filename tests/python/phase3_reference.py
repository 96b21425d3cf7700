"""A plain, literal Python model of the explanation engine, used as the
oracle that the C++ engine's explanations.json is compared with byte for
byte, and as the benchmarks' plain-Python measure of the phase.

It follows the engine's documented rules with Python's own json, hashlib
and format(), favouring clarity over speed. The time each record is built at
comes from `clock`, so that a test can replay the engine's.
"""

import hashlib
import json
import os
from datetime import datetime, timezone
from pathlib import Path

from helpers import read_vocabulary
from varnel import friendly

VOCABULARY = [f for f in read_vocabulary()["family"] if "explstage" in f["engines"]]
# The signal files, in reading order.
SIGNAL_FILES = [f["signal_file"] for f in VOCABULARY]
SAID = [m for f in VOCABULARY for m in f["metric"] if "explstage" not in m.get("engine_tables_lack", [])]
# A flag's sentences: (when set, when clear).
FLAGS = {m["metric"]: (m["when_set"], m["when_clear"]) for m in SAID if "when_set" in m}
# A measured value's sentence, "{value}" in it standing for the value in `form`.
MEASURED = {m["metric"]: (m["sentence"], m.get("format", "")) for m in SAID if "sentence" in m}
DASH = " \u2014 "
CAUTION = " (based on limited history \u2014 may change as more data arrives)"
NO_SIGNALS = "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family."


def utc_timestamp():
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def format_number(x, form):
    if form == "plain":
        return str(x)
    if not isinstance(x, (int, float)):
        raise TypeError(f"not a number: {x!r}")
    return format(x, form)


def center(baseline):
    median, mad = baseline.get("median"), baseline.get("mad")
    if median is not None and mad is not None and mad > 0:
        return median
    return baseline["mean"]


def direction(observed, middle):
    if middle is None or middle == 0:
        return "up" if observed > 0 else "down"
    return "up" if observed >= middle else "down"


def degenerate(signal):
    deviation = signal.get("deviation")
    if deviation is None:
        return False
    if not isinstance(deviation, dict):
        raise TypeError("deviation must be an object")
    return bool(deviation.get("degenerate"))


def summary(signal):
    metric, observed, baseline = signal["metric"], signal["observed"], signal["baseline"]
    baseline["mean"]  # required even when the median is the center
    size, status = signal["window"]["size"], signal["confidence"]["status"]
    middle = center(baseline)
    moved = direction(observed, middle)
    # Both are asked, once each, even where the sentence uses neither.
    change = str(friendly.relative_change(observed, middle))
    insight = friendly.metric_insight(metric, moved)
    if degenerate(signal):
        constant = baseline["median"] if "median" in baseline else baseline["mean"]
        return (f"Metric '{metric}' was {observed}. Baseline was constant at {format_number(constant, '.4g')} "
                f"across {size} observations. No meaningful deviation.")
    if isinstance(metric, str) and metric in FLAGS:
        out = FLAGS[metric][0 if observed > 0 else 1]
    else:
        if isinstance(metric, str) and metric in MEASURED:
            sentence, form = MEASURED[metric]
            before, _, after = sentence.partition("{value}")
            out = before + (format_number(observed, form) if form else "") + after
        else:
            out = f"Metric '{metric}' was {observed}"
        out += f"{DASH}{change}."
    if insight:
        out += f" {insight}"
    if status != "sufficient":
        out += CAUTION
    return out


def content_id(record):
    text = json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def explain(signal, clock):
    record = {
        "engine_id": signal["engine_id"],
        "source_type": signal["source_type"],
        "signal_ref": signal.get("event_ref"),
        "summary": summary(signal),
        "details": {key: signal[key] for key in ("metric", "observed", "baseline", "deviation")},
        "confidence": signal["confidence"],
        "generated_at": clock(),
    }
    record["explanation_id"] = content_id(record)
    return record


def run(varnel_dir, clock=utc_timestamp):
    """Explains every signal of the workspace, writes phase3/explanations.json
    and returns the records."""
    ws = Path(varnel_dir)
    signals = []
    for name in SIGNAL_FILES:
        path = ws / "phase2" / name
        if path.is_file():
            signals += json.loads(path.read_text(encoding="utf-8"))
    if not signals:
        raise FileNotFoundError(NO_SIGNALS)
    records = [explain(s, clock) for s in signals]
    out = ws / "phase3" / "explanations.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    temporary = out.with_name(out.name + ".tmp")
    temporary.write_text(json.dumps(records, indent=2), encoding="ascii")
    os.replace(temporary, out)
    return records
