"""Builders of signal-engine workspaces: event files as the collectors write
them, and the git metrics a run gives each commit."""

import json
from pathlib import Path

from varnel import sigstage

# The git family's metrics as its signals name them: files touched, dispersion, change locality and
# co-change novelty.
GIT_METRICS = sigstage.FAMILY_METRICS["git"]


def write_events(root, events):
    d = Path(root) / "events"
    d.mkdir(parents=True, exist_ok=True)
    for name, event in events.items():
        text = event if isinstance(event, (str, bytes)) else json.dumps(event)
        (d / name).write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return d


def git_event(i, files):
    return {"source_type": "git", "event_id": f"g{i}", "observed_at": f"2026-01-{i + 1:02d}", "payload": {"files": files}}


def git_metrics(tmp_path, file_lists):
    """A commit a day touching each list of files; the engine and each commit's metrics by name."""
    write_events(tmp_path, {f"{i:02d}.json": git_event(i, f) for i, f in enumerate(file_lists)})
    engine = sigstage.Phase2Engine(tmp_path, min_baseline=1)
    return engine, [{s["metric"]: s["observed"] for s in engine.run_git() if s["event_ref"] == f"g{i}"}
                    for i in range(len(file_lists))]
