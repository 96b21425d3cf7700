"""The CI channels of one analysis: SARIF for code scanning, GitLab's code
quality, GitHub's job summary and annotations, each within its channel's
limits, on the file that best explains each finding; the Markdown report
within a pull-request comment; the composite action and its example."""

import base64
import gzip
import json
import os
import re
from pathlib import Path
from urllib.parse import unquote, urlparse

import pytest
import yaml
from helpers import build_history, commit, git, package_files, sensitive, varnel

from varnel.collect.git import GitCollection
from varnel.config import Config, load_config
from varnel.report.codequality import codequality
from varnel.report.github import annotations, append_summary
from varnel.report.locations import files_of
from varnel.report.render import markdown_report
from varnel.report.sarif import sarif
from varnel.run.analysis import Analysis
from varnel.run.events import EventIndex

ROOT = Path(__file__).resolve().parents[2]
KINDS = ("error", "warning", "notice")


def finding(n, family="git", metric="change_locality", concern=False, kind="change", text=None):
    return {"family": family, "metric": metric, "event_ref": f"event-{n}", "commit": f"{n:040x}", "kind": kind,
            "concern": concern, "commit_kind": None, "text": text or f"{family} / {metric}: finding {n}"}


def change(family, metric, current, median):
    return {"family": family, "metric": metric, "current": current, "normal": {"median": median, "mad": 1.0}}


def report(findings, changes=(), departures=()):
    return {"varnel_version": "9.9.9", "level": "action_needed", "findings": list(findings),
            "departures": list(departures), "advisory": {"changes": list(changes)}}


def mixed():
    """A finding of every grade, one without a file, and two of one metric and commit (two CI runs)."""
    found = [finding(1, "testing", "failure_rate", True), finding(2, "security", "critical_count", True, "departure"),
             finding(3, "dependency", "dependency_count", True), finding(4, "schema", "endpoint_count"),
             finding(5), finding(6, "dependency", "max_depth", kind="mechanical"), finding(7, "ci", "run_duration"),
             finding(8, "ci", "run_failed", True), dict(finding(8, "ci", "run_failed", True), event_ref="event-9")]
    changes = [change("testing", "failure_rate", 0.4, 0.0), change("schema", "endpoint_count", 3, 9),
               change("dependency", "dependency_count", 90, 20), change("ci", "run_failed", 1, 0)]
    departures = [{"family": "security", "metric": "critical_count", "observed": 2, "constant": 0,
                   "baseline_length": 50, "event_ref": "event-2"}]
    paths = ["tests/test_app.py", "requirements.txt", "requirements.txt", "api/open api:v1%.yaml", "src/app.py",
             "package-lock.json", None, ".github/workflows/ci.yml", ".github/workflows/ci.yml"]
    return report(found, changes, departures), paths


def sarif_run(record, paths):
    document = json.loads(sarif(record, paths))
    assert len(document["runs"]) == 1
    return document, document["runs"][0]


# ---------------------------------------------------------------- SARIF


def test_sarif_holds_what_the_standard_and_code_scanning_require():
    record, paths = mixed()
    document, run = sarif_run(record, paths)
    assert document["version"] == "2.1.0" and document["$schema"] == "https://json.schemastore.org/sarif-2.1.0.json"
    driver = run["tool"]["driver"]
    assert driver["name"] == "varnel" and driver["version"] == "9.9.9"
    ids = [rule["id"] for rule in driver["rules"]]
    assert len(ids) == len(set(ids)) and all(r["name"] and r["shortDescription"]["text"] and r["help"]["text"]
                                             for r in driver["rules"])
    results = run["results"]
    assert len(results) == 8  # the finding without a file is no result
    for result in results:
        assert driver["rules"][result["ruleIndex"]]["id"] == result["ruleId"]
        assert result["message"]["text"]
        location = result["locations"][0]["physicalLocation"]
        uri = location["artifactLocation"]["uri"]
        assert not uri.startswith("/") and not urlparse(uri).scheme and not urlparse(uri).netloc and "\\" not in uri
        assert location["region"]["startLine"] >= 1
    # What calls for action is an error, another concern a warning, the rest notes.
    levels = {r["ruleId"]: r["level"] for r in results}
    assert levels == {"testing/failure_rate": "error", "security/critical_count": "error",
                      "schema/endpoint_count": "error", "ci/run_failed": "error",
                      "dependency/dependency_count": "warning", "git/change_locality": "note",
                      "dependency/max_depth": "note"}
    assert unquote(results[3]["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]) == "api/open api:v1%.yaml"
    assert results[0]["message"]["text"] == f"testing / failure_rate: finding 1 (commit {'0' * 12})"
    # The same finding has the same fingerprint on every run; no two findings share one.
    prints = [r["partialFingerprints"]["varnelFinding/v1"] for r in results]
    assert len(set(prints)) == len(prints)
    again = [r["partialFingerprints"]["varnelFinding/v1"] for r in sarif_run(*mixed())[1]["results"]]
    assert again == prints
    # The finding without a file is counted, in numbers and in words.
    assert run["properties"]["varnel"]["left_out"] == {"over_limits": 0, "without_file": 1}
    notes = run["invocations"][0]["toolExecutionNotifications"]
    assert [n["message"]["text"].split(":")[0] for n in notes] == ["1 of 9 findings left out"]


def test_sarif_keeps_the_strongest_25000_of_30000_findings():
    found = [finding(n, concern=n < 12_000) for n in range(30_000)]
    _, run = sarif_run(report(found), ["src/app.py"] * 30_000)
    results = run["results"]
    assert len(results) == 25_000
    assert results[0]["message"]["text"].startswith("git / change_locality: finding 0 ")
    assert results[-1]["message"]["text"].startswith("git / change_locality: finding 24999 ")
    assert run["properties"]["varnel"] == {"level": "action_needed", "findings": 30_000, "results": 25_000,
                                           "left_out": {"over_limits": 5_000, "without_file": 0}}
    assert run["invocations"][0]["toolExecutionNotifications"][0]["message"]["text"].startswith(
        "5,000 of 30,000 findings left out: code scanning takes at most 25,000 results")


def test_sarif_stays_within_10_mb_gzipped():
    # Sentences of random text barely compress: 2,500 of them hold about 15 MB gzipped.
    found = [finding(n, text=base64.b64encode(os.urandom(6_000)).decode()) for n in range(2_500)]
    text = sarif(report(found), ["src/app.py"] * 2_500)
    size = len(gzip.compress(text.encode(), 6))
    run = json.loads(text)["runs"][0]
    kept = len(run["results"])
    assert 9_900_000 < size <= 10_000_000 and 1_000 < kept < 2_500
    assert run["properties"]["varnel"]["left_out"]["over_limits"] == 2_500 - kept


# ---------------------------------------------------------------- code quality


def test_code_quality_issues_carry_their_severity_fingerprint_and_place():
    record, paths = mixed()
    issues = json.loads(codequality(record, paths))
    assert len(issues) == 8
    for issue in issues:
        assert set(issue) == {"description", "check_name", "fingerprint", "severity", "location"}
        assert issue["location"]["lines"] == {"begin": 1}
    assert [(i["check_name"], i["severity"], i["location"]["path"]) for i in issues[:6]] == [
        ("testing/failure_rate", "critical", "tests/test_app.py"),
        ("security/critical_count", "critical", "requirements.txt"),
        ("dependency/dependency_count", "major", "requirements.txt"),
        ("schema/endpoint_count", "critical", "api/open api:v1%.yaml"),
        ("git/change_locality", "minor", "src/app.py"),
        ("dependency/max_depth", "info", "package-lock.json")]
    prints = [i["fingerprint"] for i in issues]
    assert len(set(prints)) == len(prints)
    # One finding, one fingerprint, whichever channel shows it.
    assert prints == [r["partialFingerprints"]["varnelFinding/v1"] for r in sarif_run(record, paths)[1]["results"]]


# ---------------------------------------------------------------- GitHub


def _unescape(text):
    for code, char in (("%0D", "\r"), ("%0A", "\n"), ("%3A", ":"), ("%2C", ","), ("%25", "%")):
        text = text.replace(code, char)
    return text


def parse(line):
    """(kind, properties, message) of a workflow command."""
    head, message = line[2:].split("::", 1)
    kind, _, props = head.partition(" ")
    properties = {name: _unescape(value) for name, value in (p.split("=", 1) for p in props.split(",") if p)}
    return kind, properties, _unescape(message)


def test_annotations_keep_to_ten_of_each_kind_and_count_the_rest():
    found = [finding(n, "testing", "failure_rate", True) for n in range(25)]
    found += [finding(100 + n, "dependency", "dependency_count", True) for n in range(25)]
    found += [finding(200 + n) for n in range(25)]
    record = report(found, [change("testing", "failure_rate", 0.4, 0.0)])
    lines = annotations(record, ["src/app.py"] * 73 + [None, None])
    kinds = [parse(line)[0] for line in lines]
    assert kinds == ["error"] * 10 + ["warning"] * 10 + ["notice"] * 10
    # 15 errors, 15 warnings, 14 notices and the 2 findings without a file.
    assert parse(lines[-1]) == ("notice", {"title": "varnel"}, "and 46 more findings: see the job summary")
    assert parse(lines[0])[1] == {"file": "src/app.py", "line": "1", "title": "varnel: Testing / Failure Rate"}
    # Few findings: each one, and no count.
    few = annotations(report(found[:2] + found[50:52]), ["src/app.py"] * 4)
    assert [parse(line)[0] for line in few] == ["warning", "warning", "notice", "notice"]


def test_annotation_data_is_escaped_and_repository_text_stays_inert():
    path = "src/a,b:c%d\n::error::owned\r,x.py"
    text = "Testing / Failure Rate: fix: 100% done\n::warning file=x::forged, a, b: c"
    lines = annotations(report([finding(1, text=text)]), [path])
    assert len(lines) == 1 and "\n" not in lines[0] and "\r" not in lines[0]
    kind, props, message = parse(lines[0])
    assert kind == "notice" and props["file"] == path
    # The sentence is one line (`clean`): its line break is a space; its percent sign is data.
    assert message.startswith("Testing / Failure Rate: fix: 100% done ::warning file=x::forged, a, b: c")
    assert "%25" in lines[0] and "%3A" in lines[0].split("::")[1]


def items(markdown):
    return re.findall(r"^(?:- |\d+\. )", markdown, re.MULTILINE)


def test_the_job_summary_is_appended_within_1_mib_cut_between_items(tmp_path):
    summary = tmp_path / "summary.md"
    summary.write_text("## Build\n\nAll green \u2713\n", encoding="utf-8")
    # Over 2 MiB of items, each with a line under it, in characters of several bytes.
    accents = "\u00e9" * 60
    big = "# varnel advisory\n\n" + "".join(f"{n}. **Zo\u00eb \u2713** change {n} {accents}\n   - commit of {n}\n"
                                            for n in range(1, 15_001))
    append_summary(summary, big)
    written = summary.read_bytes()
    assert written.startswith("## Build\n\nAll green \u2713\n\n".encode()) and len(written) <= 1024 * 1024
    text = written.decode("utf-8")
    kept = len(items(text))
    assert text.endswith(f"\u2026 and {15_000 - kept:,} more items left out to fit the size limit here: the JSON "
                         "report (`--format json`) lists every finding.*\n")
    assert f"   - commit of {kept}\n" in text  # the last item kept is whole
    assert len(written) > 1024 * 1024 - 300  # and the cut is at the limit, not short of it
    # A second step's report is appended to what the first wrote; the summary stays within the limit.
    append_summary(summary, big)
    assert summary.read_bytes().startswith(written) and summary.stat().st_size <= 1024 * 1024


def test_the_markdown_report_fits_a_pull_request_comment(tmp_path):
    def advisory(count):
        changes = [{"family": "testing", "metric": "failure_rate", "current": 0.5, "deviation_stddev": 9.0,
                    "normal": {"median": 0.0, "mad": 0.1}, "description": f"failures up {n} " + "x" * 80,
                    "event_ref": f"ingest-testing-{n}", "trigger_commit": f"{n:040x}",
                    "observed_at": "2026-01-01T00:00:00Z", "commit_message": "@everyone <b>#12</b>"}
                   for n in range(count)]
        return Analysis(repo=tmp_path, workspace=tmp_path, scope="demo", config=Config(quiet_metrics=()),
                        collection=GitCollection(), advisory={"changes": changes})

    large = markdown_report(advisory(1_500))
    assert 59_500 < len(large) <= 60_000
    shown = len(re.findall(r"^\d+\. ", large, re.MULTILINE))
    assert large.endswith(f"\u2026 and {1_500 - shown:,} more items left out to fit the size limit here: the JSON "
                          "report (`--format json`) lists every finding.*\n")
    assert "intended? `varnel accept testing/failure_rate`\n\n*\u2026" in large  # the last item is whole
    small = advisory(3)
    assert markdown_report(small) == markdown_report(small, limit=None)


# ---------------------------------------------------------------- files and the command


def test_each_finding_is_shown_on_the_file_that_best_explains_it(repo):
    commit(repo, {**package_files(extra=0, bump=0), "src/app.py": "a = 1\n"}, "Start")
    # A dependency change is shown on the lock file counted from, though another file changed more.
    grown = commit(repo, {**package_files(extra=20, bump=1), "src/big.py": "x = 1\n" * 300}, "Add a feature")
    # A git metric on the file changed most, a generated file only when nothing else changed.
    small = commit(repo, {"static/app.min.js": "x\n" * 1_000, "src/small.py": "b = 2\n" * 3}, "Tweak")
    git(repo, "checkout", "-q", "-b", "infra")
    commit(repo, {"infra/main.tf": 'resource "aws_s3_bucket" "b" {}\n', "docs/guide.md": "word\n" * 200}, "Infra")
    git(repo, "checkout", "-q", "main")
    git(repo, "merge", "-q", "--no-ff", "-m", "Merge infra", "infra")
    merge = git(repo, "rev-parse", "HEAD").decode().strip()
    assert varnel("analyze", "--quiet", "--all", str(repo)).returncode == 0
    events = EventIndex.read(repo / ".varnel")
    ref = {e.name.split("-")[0] + e.commit: e.id for e in events.ordered}
    findings = [{"family": "dependency", "metric": "dependency_count", "event_ref": ref["dependency" + grown],
                 "commit": grown},
                {"family": "git", "metric": "change_locality", "event_ref": small, "commit": small},
                {"family": "config", "metric": "resource_count", "event_ref": ref["config" + merge], "commit": merge},
                {"family": "testing", "metric": "failure_rate", "event_ref": "ingest-testing-1", "commit": merge},
                {"family": "ci", "metric": "run_failed", "event_ref": "ingest-ci-1", "commit": None},
                {"family": "ci", "metric": "run_failed", "event_ref": "ingest-ci-2", "commit": "f" * 40}]
    assert files_of(findings, repo, events, load_config(repo)) == [
        "package-lock.json", "src/small.py", "infra/main.tf", "docs/guide.md", None, None]


@pytest.fixture
def project(tmp_path):
    """A history of every family, with settings that flag its movements."""
    repo = tmp_path / "project"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    build_history(repo)
    return sensitive(repo)


def test_one_run_writes_every_channel(project, tmp_path):
    summary = tmp_path / "summary.md"
    summary.write_text("Earlier step\n")
    out = {name: tmp_path / name for name in ("a.sarif", "b.sarif", "cq.json")}
    github = {"GITHUB_STEP_SUMMARY": str(summary), "GITHUB_ACTIONS": "true"}
    done = varnel("analyze", "--quiet", "--all", "--sarif", str(out["a.sarif"]), "--codequality", str(out["cq.json"]),
                  "--github", str(project), env=github)
    assert done.returncode == 0, done.stderr
    # The report first, then the annotations, at most ten of each kind.
    lines = done.stdout.splitlines()
    first = next(n for n, line in enumerate(lines) if line.startswith("::"))
    assert lines[0].startswith("varnel advisory for ") and all(line.startswith("::") for line in lines[first:])
    assert all(sum(parse(line)[0] == kind for line in lines[first:]) <= 10 for kind in KINDS)
    recorded = json.loads((project / ".varnel" / "phase5" / "report.json").read_text())
    run = json.loads(out["a.sarif"].read_text())["runs"][0]
    assert run["properties"]["varnel"]["results"] == len(recorded["findings"]) == len(run["results"])
    ever = set(git(project, "log", "--format=", "--name-only").decode().split())
    shown = {r["ruleId"].split("/")[0]: unquote(r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"])
             for r in run["results"]}
    assert set(shown.values()) <= ever
    assert shown["dependency"] == "package-lock.json" and shown["schema"] == "api/openapi.yaml" \
        and shown["config"] == "infra/main.tf"
    assert len(json.loads(out["cq.json"].read_text())) == len(run["results"])
    text = summary.read_text()
    assert text.startswith("Earlier step\n\n# varnel advisory for ") and text.count("# varnel advisory") == 1
    # Again, as JSON: standard output stays one document, the annotations go to standard error;
    # the same findings keep their fingerprints.
    again = varnel("analyze", "--quiet", "--all", "--format", "json", "--sarif", str(out["b.sarif"]), "--github",
                   str(project), env=github)
    assert json.loads(again.stdout)["findings"] and again.stderr.startswith("::")

    def prints(path):
        return sorted(r["partialFingerprints"]["varnelFinding/v1"]
                      for r in json.loads(path.read_text())["runs"][0]["results"])
    assert prints(out["a.sarif"]) == prints(out["b.sarif"])


def test_nothing_is_written_for_github_unless_asked(project, tmp_path):
    summary = tmp_path / "summary.md"
    summary.write_text("")
    plain = varnel("analyze", "--quiet", "--all", str(project),
                   env={"GITHUB_ACTIONS": "true", "GITHUB_STEP_SUMMARY": str(summary)})
    assert plain.returncode == 0 and summary.read_text() == "" and "::" not in plain.stdout + plain.stderr
    # Asked outside a step: one line, before any work.
    fresh = tmp_path / "fresh"
    fresh.mkdir()
    git(fresh, "init", "-q", "-b", "main")
    commit(fresh, {"a.py": "a = 1\n"}, "Start")
    refused = varnel("analyze", "--github", str(fresh), env={"GITHUB_STEP_SUMMARY": None})
    assert refused.returncode == 2 and refused.stderr.startswith("varnel: --github: GITHUB_STEP_SUMMARY is not set")
    assert not (fresh / ".varnel").exists()
    missing = varnel("analyze", "--quiet", "--sarif", str(tmp_path / "no" / "x.sarif"), str(project))
    assert missing.returncode == 2 and missing.stderr == f"varnel: --sarif: no such directory: {tmp_path / 'no'}\n"


# ---------------------------------------------------------------- the action


def test_the_example_workflow_uses_what_the_action_offers():
    action = yaml.safe_load((ROOT / "action.yml").read_text())
    workflow = yaml.safe_load((ROOT / "examples" / "github-actions.yml").read_text())
    assert action["runs"]["using"] == "composite"
    assert {"path", "window", "range", "fail-on", "formats", "settings-from", "python-version", "varnel-spec"} \
        <= set(action["inputs"])
    assert {"level", "markdown", "json", "html", "sarif", "codequality"} <= set(action["outputs"])
    script = next(step["run"] for step in action["runs"]["steps"] if step.get("id") == "analyze")
    handled = {label for arm in re.findall(r"^\s+([a-z|]+)\)", script, re.MULTILINE) for label in arm.split("|")}
    steps = [step for job in workflow["jobs"].values() for step in job["steps"]]
    used = [step for step in steps if "/varnel@" in step.get("uses", "")]
    assert used
    for step in used:
        assert set(step["with"]) <= set(action["inputs"])
        formats = step["with"].get("formats", action["inputs"]["formats"]["default"])
        assert set(re.split(r"[,\s]+", formats.strip())) <= handled
        read = set(re.findall(rf"steps\.{step['id']}\.outputs\.([a-z-]+)", json.dumps(steps)))
        assert read and read <= set(action["outputs"])
