"""A repository whose history holds lock files, tags, an API document and
Terraform files, plus ingested CI reports: every family is collected and the
advisory learns that dependency changes go with larger commits."""

import json
from pathlib import Path

import pytest
import yaml

from varnel.cli import main
from helpers import DAYS, build_history

pytest.importorskip("varnel.advstage")

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
