"""Writes a synthetic workspace of event files for the benchmarks.

All ten families in realistic proportions: commits dominate, CI runs follow
them, test and coverage reports come with many runs, the rest are rarer. Git
events touch 1 to 40 files across a tree of top-level folders; some fields are
null or missing, as real collectors leave them. Events are spread over a year;
CI runs and the dependency, schema, configuration and security snapshots name
the latest commit as their trigger, as a collector would.

    python bench/make_workspace.py DIR --events 100000
"""

import argparse
import json
import random
from datetime import datetime, timedelta, timezone
from pathlib import Path

FOLDERS = ["src", "lib", "tests", "docs", "api", "web", "cli", "scripts", "infra", "tools", "pkg", "internal"]
START = datetime(2025, 1, 1, tzinfo=timezone.utc)
TRIGGERED = {"ci", "dependency", "schema", "config", "security"}
WEIGHTS = {"git": 40, "ci": 25, "testing": 12, "coverage": 8, "dependency": 4, "schema": 3, "deployment": 2,
           "config": 2, "security": 2, "error_tracking": 2}


def tree(rng, size=3000):
    paths = []
    for _ in range(size):
        depth = rng.randint(1, 4)
        parts = [rng.choice(FOLDERS)] + [f"m{rng.randint(0, 40)}" for _ in range(depth - 1)]
        paths.append("/".join(parts) + f"/file_{rng.randint(0, 500)}.py")
    return sorted(set(paths)) + ["README.md", "pyproject.toml", "Makefile"]


def maybe(rng, value, p_null=0.03, p_missing=0.03):
    r = rng.random()
    if r < p_null:
        return None
    if r < p_null + p_missing:
        return ...
    return value


def clean(d):
    return {k: v for k, v in d.items() if v is not ...}


def payload(rng, family, files, i):
    if family == "git":
        chosen = rng.sample(files, min(len(files), max(1, int(rng.paretovariate(1.3)) if rng.random() < 0.9 else rng.randint(1, 40))))[:40]
        sha = f"{rng.getrandbits(160):040x}"
        return {"commit_hash": sha, "message": f"Change {i}: adjust {chosen[0]}", "author": f"dev{rng.randint(1, 30)}",
                "files": chosen, "committed_at": "", "authored_at": "",
                "attestation": {"commit_hash": sha, "message": f"Change {i}", "author": "dev"}}
    if family == "ci":
        return clean({"timing": clean({"duration_seconds": maybe(rng, round(rng.lognormvariate(5, 0.3), 2)),
                                        "queued_seconds": rng.randint(0, 30)}),
                      "conclusion": rng.choices(["success", "failure", "cancelled"], [90, 8, 2])[0],
                      "workflow": "ci.yml", "run_number": i})
    if family == "testing":
        total = rng.randint(900, 1200)
        return {"summary": {"total": total, "failed": rng.choice([0, 0, 0, 1, 3]), "skipped": rng.randint(0, 20)},
                "execution": clean({"duration_seconds": maybe(rng, round(rng.uniform(50, 90), 3))})}
    if family == "coverage":
        return clean({"line_rate": maybe(rng, round(rng.uniform(0.78, 0.84), 4)),
                      "branch_rate": maybe(rng, round(rng.uniform(0.6, 0.7), 4))})
    if family == "dependency":
        return {"ecosystem": rng.choice(["npm", "pip", "cargo"]),
                "snapshot": clean({"total_count": rng.randint(180, 220), "max_depth": maybe(rng, rng.randint(4, 9))})}
    if family == "schema":
        return {"structure": {"endpoint_count": rng.randint(40, 45), "type_count": rng.randint(80, 90),
                              "field_count": rng.randint(600, 650)},
                "diff": {"endpoints_added": rng.randint(0, 2), "fields_added": rng.randint(0, 6)}}
    if family == "deployment":
        return clean({"is_prerelease": rng.random() < 0.2, "asset_count": rng.randint(2, 6),
                      "timing": clean({"since_previous_seconds": maybe(rng, rng.randint(3600, 900000))})})
    if family == "config":
        return {"structure": {"resource_count": rng.randint(100, 120), "resource_types": rng.randint(20, 25)},
                "diff": {"resources_added": rng.randint(0, 3), "resources_modified": rng.randint(0, 5)}}
    if family == "security":
        findings = [{"id": f"CVE-{rng.randint(1000, 9999)}", "fixed_version": rng.choice(["", "1.2.3"])}
                    for _ in range(rng.randint(0, 6))]
        return {"summary": {"total": len(findings), "critical": rng.randint(0, 1)}, "findings": findings}
    return {"stats": {"event_count": rng.randint(1, 500), "user_count": rng.randint(1, 80)},
            "is_unhandled": rng.random() < 0.3}


def write_workspace(root: Path, count: int, seed: int = 7) -> int:
    rng = random.Random(seed)
    files = tree(rng)
    events = root / "events"
    events.mkdir(parents=True, exist_ok=True)
    names = list(WEIGHTS)
    weights = [WEIGHTS[n] for n in names]
    total = 0
    latest_commit = f"{rng.getrandbits(160):040x}"
    for i in range(count):
        family = rng.choices(names, weights)[0]
        when = (START + timedelta(seconds=i * 365 * 86400 // count)).strftime("%Y-%m-%dT%H:%M:%SZ")
        event = {"event_id": f"{family}-{i:07d}", "observed_at": when, "payload": payload(rng, family, files, i)}
        if family == "git":
            event.update(source_type="git", source_family="version_control")
            latest_commit = event["payload"]["commit_hash"]
        else:
            event.update(source_family=family, source_type=family)
            if family in TRIGGERED:
                event["payload"]["trigger"] = {"commit_sha": latest_commit}
        text = json.dumps(event, indent=2)
        (events / f"{i:07d}-{family}.json").write_text(text, encoding="utf-8")
        total += len(text.encode("utf-8"))
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir", type=Path)
    parser.add_argument("--events", type=int, default=10000)
    args = parser.parse_args()
    size = write_workspace(args.dir, args.events)
    print(f"{args.events} events, {size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
