"""A repository whose history holds lock files, tags, an API document and
Terraform files, plus ingested CI reports: every family is collected and the
advisory learns that dependency changes go with larger commits."""

import json
from pathlib import Path

import pytest
import yaml

from test_collect_git import commit, git, repo  # noqa: F401  (repo is a fixture)
from varnel.cli import main

pytest.importorskip("varnel.advstage")

DAYS = 90


def package_files(extra: int, bump: int) -> dict[str, str]:
    """package.json and its lock: ten libraries (one bumped), plus `extra` more
    pulled in by a feature; each library depends on the next, so depth grows."""
    names = [f"lib{i}" for i in range(10)] + [f"feature-lib{i}" for i in range(extra)]
    manifest = {"name": "app", "version": "1.0.0", "dependencies": {n: "^1.0.0" for n in names[:3]}}
    packages = {"": {"name": "app", "version": "1.0.0", "dependencies": manifest["dependencies"]}}
    for i, name in enumerate(names):
        entry = {"version": f"1.{bump if i == 0 else 0}.0"}
        if i + 1 < len(names) and i >= 2:
            entry["dependencies"] = {names[i + 1]: "^1.0.0"}
        packages[f"node_modules/{name}"] = entry
    lock = {"name": "app", "version": "1.0.0", "lockfileVersion": 3, "requires": True, "packages": packages}
    return {"package.json": json.dumps(manifest, indent=2), "package-lock.json": json.dumps(lock, indent=2)}


def openapi(endpoints: int) -> str:
    paths = "".join(f"  /r{i}: {{get: {{}}}}\n" for i in range(endpoints))
    return f"openapi: 3.0.0\ninfo: {{title: App, version: '{endpoints}'}}\npaths:\n{paths}"


def build_history(repo):
    """Ninety days, a commit a day: small commits of one to three files; every
    third day a dependency change (a bump, or a library more or less), and
    every third of those a feature that brings twenty libraries and touches
    fifteen files."""
    dependency_changes = 0
    for day in range(DAYS):
        date = f"2026-{1 + day // 28:02d}-{1 + day % 28:02d}T12:00:00Z"
        files = {f"src/mod{(day + k) % 7}.py": f"# day {day} {k}\n" for k in range(1 + day % 3)}
        message = f"Work of day {day}"
        if day % 3 == 0:
            dependency_changes += 1
            feature = dependency_changes % 3 == 0
            files.update(package_files(extra=20 if feature else dependency_changes % 2, bump=dependency_changes))
            if feature:
                files.update({f"features/f{day}/part{k}.py": "x\n" for k in range(15)})
                message = f"Add feature {day} with its libraries"
        if day % 11 == 5:
            files["api/openapi.yaml"] = openapi(2 + day // 11)
        if day % 13 == 7:
            files["infra/main.tf"] = "".join(f'resource "aws_s3_bucket" "b{i}" {{}}\n' for i in range(1 + day // 13))
        sha = commit(repo, files, message, date=date)
        if day % 10 == 9:
            git(repo, "tag", f"v1.{day // 10}.0" + ("-rc.1" if day == 49 else ""))
    return sha


def test_every_family_is_collected_and_a_cross_family_pattern_is_learned(repo, tmp_path, capsys):
    head = build_history(repo)
    ws = tmp_path / "ws"
    for run in range(6):
        report = tmp_path / f"junit{run}.xml"
        report.write_text(f'<testsuite name="s" time="{10 + run}"><testcase name="t1"/>'
                          f'<testcase name="t{run}x"><failure message="boom"/></testcase></testsuite>')
        assert main(["ingest", "junit", str(report), "--path", str(repo), "--workspace", str(ws), "--quiet",
                     "--commit", head, "--at", f"2026-03-0{1 + run}T00:00:00Z"]) == 0
    assert main(["analyze", str(repo), "--workspace", str(ws), "--all", "--quiet", "--format", "json"]) == 0
    report = json.loads(capsys.readouterr().out)

    counts = {}
    for path in (ws / "events").glob("*.json"):
        family = json.loads(path.read_text())["source_family"]
        counts[family] = counts.get(family, 0) + 1
    assert counts == {"version_control": DAYS, "dependency": 30, "schema": 8, "config": 7, "deployment": 9,
                      "testing": 6}
    assert report["history_events"] == {"dependency": 30, "schema": 8, "config": 7, "deployment": 9}
    assert {"git", "dependency", "schema", "deployment", "testing"} <= {f for f, n in report["signals"].items() if n}

    advisory = report["advisory"]
    together = [m for m in advisory["pattern_matches"] if {"dependency", "git"} <= set(m.get("families", []))]
    assert together, advisory["pattern_matches"]
    assert any("files_touched" in m["metrics"] for m in together), together


def test_the_ci_recipe_uploads_the_workspace_files_it_names():
    """upload-artifact leaves out files under a directory whose name starts
    with a dot unless told otherwise, and says so only as a warning."""
    recipe = yaml.safe_load((Path(__file__).parents[2] / "examples" / "github-actions.yml").read_text())
    uploads = [step for job in recipe["jobs"].values() for step in job["steps"]
               if step.get("uses", "").startswith("actions/upload-artifact")]
    for step in uploads:
        paths = step["with"]["path"].split()
        if any(part.startswith(".") for p in paths for part in Path(p).parts):
            assert step["with"].get("include-hidden-files") is True, step
