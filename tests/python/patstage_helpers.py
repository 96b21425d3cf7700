"""Builders of pattern-engine workspaces: event files, signal files and
explanations written the way the earlier phases write them."""

import json
import os
import random
import subprocess
import sys
import textwrap

from hypothesis import strategies as st

FAMILY_TYPES = {"git": "git", "ci": "github_actions", "testing": "junit_xml", "dependency": "pip",
                "schema": "openapi", "deployment": "github_releases", "config": "terraform", "security": "trivy"}


def signal(family, metric, ref, measure, unit="modified_zscore", degenerate=False):
    """A signal record as the signal engine writes it."""
    return {
        "engine_id": family,
        "source_type": FAMILY_TYPES.get(family, family),
        "metric": metric,
        "window": {"type": "rolling", "size": 50},
        "baseline": {"mean": 1.0, "stddev": 0.5, "median": 1, "mad": 0.5},
        "observed": 2,
        "deviation": {"measure": measure, "unit": unit, "degenerate": degenerate},
        "confidence": {"sample_count": 10, "status": "accumulating"},
        "event_ref": ref,
    }


# Counters of a run's result, in the order the result lists them.
COUNTERS = ["patterns_recognized", "patterns_incremented", "patterns_discovered", "patterns_enriched",
            "patterns_promoted", "patterns_expired", "knowledge_artifacts"]
finite = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6)


def git_event(event_id, sha, observed_at="2024-05-01T10:00:00Z", **payload):
    """A commit; an empty observed_at gives it no time."""
    return {"event_id": event_id, "source_type": "git", "source_family": "version_control",
            "observed_at": observed_at, "payload": {"commit_hash": sha, **payload}}


def triggered_event(event_id, family, sha, observed_at="2024-05-01T10:00:00Z", **payload):
    return {"event_id": event_id, "source_type": FAMILY_TYPES.get(family, family), "source_family": family,
            "observed_at": observed_at, "payload": {"trigger": {"commit_sha": sha}, **payload}}


def write_workspace(root, events=(), signals=(), explanations=None):
    """Writes event files, one signal file per family present, and explanations.json when given."""
    events_dir = root / "events"
    events_dir.mkdir(parents=True, exist_ok=True)
    for i, ev in enumerate(events):
        (events_dir / f"{i:06d}.json").write_text(json.dumps(ev, indent=2), encoding="utf-8")
    by_family = {}
    for s in signals:
        by_family.setdefault(s["engine_id"], []).append(s)
    phase2 = root / "phase2"
    phase2.mkdir(parents=True, exist_ok=True)
    for family, records in by_family.items():
        (phase2 / f"{family}_signals.json").write_text(json.dumps(records, indent=2), encoding="utf-8")
    if explanations is not None:
        (root / "phase3").mkdir(parents=True, exist_ok=True)
        (root / "phase3" / "explanations.json").write_text(json.dumps(explanations, indent=2), encoding="utf-8")
    return root


def explanation(ref, summary, family="git"):
    return {"engine_id": family, "source_type": family, "signal_ref": ref, "summary": summary,
            "details": {}, "confidence": {}, "generated_at": "2024-05-01T10:00:00Z", "explanation_id": "0" * 64}


def co_moving_workspace(root, commits=20, moved=10, explain=True):
    """git.files_touched and ci.run_duration deviate together on the first `moved` of `commits`
    commits, one a day: ci in alternating directions, so the pair is not correlated and the commit
    pass accepts it by lift (2.0 with the defaults). With explanations of every signal."""
    events, signals, notes = [], [], []
    for i in range(commits):
        sha = f"{i:040x}"
        day = f"2024-05-{1 + i:02d}T10:00:00Z"
        events.append(git_event(f"g{i}", sha, observed_at=day))
        events.append(triggered_event(f"c{i}", "ci", sha, observed_at=day))
        signals.append(signal("git", "files_touched", f"g{i}", 3.0 if i < moved else 0.0))
        signals.append(signal("ci", "run_duration", f"c{i}", (3.0, -3.0)[i % 2] if i < moved else 0.0))
        notes.append(explanation(f"g{i}", f"Commit {i} touched many files."))
        notes.append(explanation(f"c{i}", f"Build {i} took long.", "ci"))
    return write_workspace(root, events, signals, notes if explain else None)


def random_workspace(root, rng: random.Random):
    """A small random workspace: commits, triggered events of a few families, some sharing
    commits, some days, and signals with measures drawn from a short list so that ties and
    constant series happen."""
    families = rng.sample(["ci", "testing", "dependency", "schema", "security"], rng.randint(1, 3))
    metrics = {"git": ["files_touched", "dispersion"]}
    for f in families:
        metrics[f] = rng.sample(["a_metric", "b_metric", "files_touched"], rng.randint(1, 2))
    measures = [-3.0, -1.6, -0.5, 0.0, 0.4, 1.2, 1.6, 2.5, 4.0, 7.25]
    events, signals = [], []
    shas = [f"{rng.getrandbits(64):016x}" for _ in range(rng.randint(6, 60))]
    for i, sha in enumerate(shas):
        day = f"2024-{1 + rng.randint(0, 2):02d}-{1 + rng.randint(0, 27):02d}T{rng.randint(0, 23):02d}:00:00Z"
        events.append(git_event(f"g{i}", sha, observed_at=day))
        for m in metrics["git"]:
            if rng.random() < 0.9:
                signals.append(signal("git", m, f"g{i}", rng.choice(measures),
                                      degenerate=rng.random() < 0.05))
    n = 0
    for f in families:
        for _ in range(rng.randint(3, 40)):
            sha = rng.choice(shas)
            day = f"2024-{1 + rng.randint(0, 2):02d}-{1 + rng.randint(0, 27):02d}T{rng.randint(0, 23):02d}:00:00Z"
            events.append(triggered_event(f"{f}{n}", f, sha, observed_at=day))
            for m in metrics[f]:
                measure = rng.choice(measures + [None])
                signals.append(signal(f, m, f"{f}{n}", measure, degenerate=rng.random() < 0.05))
            n += 1
    rng.shuffle(events)
    return write_workspace(root, events, signals)


def presence_workspace(root, treated_values, control_values, filler=30, family="dependency"):
    """git.files_touched takes `treated_values` on commits that also carry a `family` signal and
    `control_values` on others; `filler` more commits carry only a constant git metric."""
    events, signals = [], []
    values = [(v, True) for v in treated_values] + [(v, False) for v in control_values] + [(None, False)] * filler
    for i, (value, treated) in enumerate(values):
        sha = f"{i:040x}"
        events.append(git_event(f"g{i}", sha, observed_at=""))
        signals.append(signal("git", "lines", f"g{i}", 1.0))
        if value is not None:
            signals.append(signal("git", "files_touched", f"g{i}", value))
        if treated:
            events.append(triggered_event(f"d{i}", family, sha, observed_at=""))
            signals.append(signal(family, "dependency_count", f"d{i}", 0.5))
    return write_workspace(root, events, signals)


def stored_pattern(engine, **fields):
    """A pattern the host stores in the engine's knowledge base, as stored."""
    record = {"fingerprint": "fp", "discovery_method": "statistical", "pattern_type": "co_occurrence",
              "sources": ["ci", "git"], "metrics": ["files_touched", "run_duration"],
              "description_statistical": "stored", **fields}
    return engine.kb.get_pattern(engine.kb.create_pattern(record))


def import_in(cwd, setup="", check="", env=None):
    """Runs `setup`, imports varnel.patstage and runs `check` in a new interpreter in `cwd`;
    returns the JSON object the check prints, or the failure's last line."""
    code = textwrap.dedent(setup) + "\nimport json, os\nimport varnel.patstage as patstage\n" + textwrap.dedent(check)
    environment = {k: v for k, v in os.environ.items() if not k.startswith(("PHASE4B_", "PHASE31_", "VARNEL_TEST_", "VARNEL_ENV_FILE"))
                   and k not in ("ANTHROPIC_API_KEY", "OPENROUTER_API_KEY", "ANTHROPIC_BASE_URL", "XDG_CONFIG_HOME")}
    environment.update(env or {})
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=environment, capture_output=True, text=True)
    if done.returncode != 0:
        return done.stderr.strip().splitlines()[-1]
    return json.loads(done.stdout.strip().splitlines()[-1])
