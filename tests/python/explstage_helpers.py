"""Signal records and signal files for the explanation engine's tests."""

import json
from pathlib import Path

from varnel import explstage

# (family, signal file) in the order the engine reads them.
FAMILY_FILES = list(explstage.SIGNAL_FILES.items())


def signal(metric, observed, baseline, *, engine="ci", status="sufficient", degenerate=False, size=50, **extra):
    record = {
        "engine_id": engine,
        "source_type": "label-" + engine,
        "metric": metric,
        "window": {"type": "rolling", "size": size},
        "baseline": baseline,
        "observed": observed,
        "deviation": {"measure": 2.0, "unit": "modified_zscore", "degenerate": degenerate},
        "confidence": {"sample_count": 50, "status": status},
        "event_ref": f"evt-{metric}",
    }
    record.update(extra)
    return record


def write_signals(workspace: Path, family: str, signals) -> None:
    phase2 = workspace / "phase2"
    phase2.mkdir(parents=True, exist_ok=True)
    (phase2 / explstage.SIGNAL_FILES[family]).write_text(json.dumps(signals, indent=2), encoding="utf-8")
