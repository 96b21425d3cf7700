"""varnel ingest: CI reports written here by the tests become events that the engines read."""

import json
import subprocess
import sys

import pytest

from varnel.ingest import ReportError, ingest
from helpers import commit, git


def write(path, content):
    path.write_text(content, encoding="utf-8") if isinstance(content, str) else path.write_bytes(content)
    return path


def events_of(ws):
    return [json.loads(p.read_text(encoding="utf-8")) for p in sorted((ws / "events").glob("ingest-*.json"))]


def only_event(ws):
    (event,) = events_of(ws)
    return event


JUNIT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuites>
  <testsuite name="unit" time="12.5">
    <testcase classname="pkg.test_a" name="test_ok" time="0.25"/>
    <testcase classname="pkg.test_a" name="test_broken" time="1.5"><failure message="assert 1 == 2"/></testcase>
    <testsuite name="nested">
      <testcase classname="pkg.test_b" name="test_crash" time="0.5"><error message="boom"/></testcase>
      <testcase name="test_later"><skipped/></testcase>
    </testsuite>
  </testsuite>
  <testsuite name="api" time="3.25">
    <testcase classname="api" name="test_get" time="3.0"/>
  </testsuite>
</testsuites>
"""

COBERTURA = ('<?xml version="1.0" ?>\n<coverage version="7.4" timestamp="1714557600000" line-rate="0.8342" '
             'branch-rate="{branch}" lines-covered="{covered}" lines-valid="{valid}" branches-covered="{bcov}" '
             'branches-valid="{bvalid}"><packages/></coverage>\n')

GH_RUNS = [
    {"databaseId": 9001, "attempt": 2, "conclusion": "failure", "status": "completed",
     "createdAt": "2024-05-01T10:00:00Z", "startedAt": "2024-05-01T10:00:05Z", "updatedAt": "2024-05-01T10:05:17Z",
     "headSha": "ABCDEF0123456789abcdef0123456789abcdef01", "headBranch": "main", "event": "push",
     "workflowName": "tests", "displayTitle": "Fix the parser", "url": "https://example.invalid/runs/9001"},
    {"databaseId": 9002, "attempt": 1, "conclusion": "", "status": "in_progress", "createdAt": "2024-05-01T11:00:00Z",
     "startedAt": "2024-05-01T11:00:04Z", "updatedAt": "2024-05-01T11:01:00Z", "headSha": "1" * 40},
]

TRIVY = {"SchemaVersion": 2, "ArtifactName": "app:1", "Results": [
    {"Target": "requirements.txt", "Class": "lang-pkgs", "Vulnerabilities": [
        {"VulnerabilityID": "CVE-2024-0001", "PkgName": "requests", "InstalledVersion": "2.0.0",
         "FixedVersion": "2.31.0", "Severity": "HIGH", "Title": "Leaks headers"},
        {"VulnerabilityID": "CVE-2024-0002", "PkgName": "zlib", "InstalledVersion": "1.2", "Severity": "CRITICAL",
         "Title": "Overflow"}]},
    {"Target": "app:1 (debian 12)", "Class": "os-pkgs", "Vulnerabilities": None},
    {"Target": "Dockerfile", "Class": "config"},
]}

SENTRY = [
    {"id": "101", "shortId": "APP-1", "title": "KeyError: 'user'", "level": "error", "count": "40", "userCount": 7,
     "isUnhandled": False, "firstSeen": "2024-04-01T00:00:00Z", "lastSeen": "2024-05-01T09:00:00Z"},
    {"id": "102", "shortId": "APP-2", "title": "Timeout", "level": "warning", "count": 125, "userCount": 30,
     "isUnhandled": True, "firstSeen": "2024-04-20T00:00:00Z", "lastSeen": "2024-05-01T09:30:00Z"},
]


class TestPayloads:
    def test_junit_counts_every_case_and_lists_only_those_that_did_not_pass(self, tmp_path):
        ingest("junit", [write(tmp_path / "a.xml", JUNIT)], tmp_path / "ws", at="2024-05-01T10:00:00Z")
        event = only_event(tmp_path / "ws")
        assert list(event) == ["event_id", "source_type", "source_family", "observed_at", "payload"]
        assert (event["source_family"], event["source_type"]) == ("testing", "junit_xml")
        assert event["event_id"].startswith("testing-") and len(event["event_id"]) == len("testing-") + 16
        assert event["observed_at"] == "2024-05-01T10:00:00Z"
        payload = event["payload"]
        assert payload["summary"] == {"total": 5, "passed": 2, "failed": 2, "skipped": 1, "errored": 1}
        assert payload["execution"] == {"duration_seconds": 15.75}  # the top-level suites' times
        assert payload["cases"] == [
            {"name": "pkg.test_a.test_broken", "status": "failed", "duration_seconds": 1.5},
            {"name": "pkg.test_b.test_crash", "status": "errored", "duration_seconds": 0.5},
            {"name": "test_later", "status": "skipped", "duration_seconds": None},
        ]
        assert "trigger" not in payload  # no repository, no --commit

    def test_junit_files_are_merged_and_case_times_stand_in_for_missing_suite_times(self, tmp_path):
        single = write(tmp_path / "b.xml", '<testsuite name="s"><testcase name="x" time="0.1"/>'
                                           '<testcase name="y" time="0.2"><failure/></testcase></testsuite>')
        ingest("junit", [write(tmp_path / "a.xml", JUNIT), single], tmp_path / "ws")
        payload = only_event(tmp_path / "ws")["payload"]
        assert payload["summary"] == {"total": 7, "passed": 3, "failed": 3, "skipped": 1, "errored": 1}
        assert payload["execution"]["duration_seconds"] == 16.05  # 15.75 + 0.1 + 0.2, without float noise
        assert [c["name"] for c in payload["cases"]][-1] == "y"

    def test_cobertura_keeps_its_rates_and_unmeasured_branches_are_null(self, tmp_path):
        report = write(tmp_path / "coverage.xml", COBERTURA.format(branch="0.5", covered=834, valid=1000, bcov=50,
                                                                   bvalid=100))
        ingest("coverage", [report], tmp_path / "ws")
        assert only_event(tmp_path / "ws")["payload"] == {
            "line_rate": 0.8342, "branch_rate": 0.5, "lines_covered": 834, "lines_valid": 1000,
            "branches_covered": 50, "branches_valid": 100, "format": "cobertura"}
        write(report, COBERTURA.format(branch="0", covered=834, valid=1000, bcov=0, bvalid=0))
        ingest("coverage", [report], tmp_path / "ws2")
        assert only_event(tmp_path / "ws2")["payload"]["branch_rate"] is None

    def test_cobertura_naming_its_published_dtd_is_read_without_fetching_it(self, tmp_path):
        # JavaScript coverage tools and the Java original write this line; the DTD is never fetched.
        report = write(tmp_path / "cobertura-coverage.xml", COBERTURA.format(
            branch="0.5", covered=834, valid=1000, bcov=50, bvalid=100).replace(
            "?>\n", '?>\n<!DOCTYPE coverage SYSTEM "http://cobertura.sourceforge.net/xml/coverage-04.dtd">\n', 1))
        ingest("coverage", [report], tmp_path / "ws")
        assert only_event(tmp_path / "ws")["payload"]["line_rate"] == 0.8342
        shouted = write(tmp_path / "shouted.xml", report.read_text().replace("http://", "HTTP://"))
        ingest("coverage", [shouted], tmp_path / "ws2")  # a URL's scheme has no case
        assert only_event(tmp_path / "ws2")["payload"]["line_rate"] == 0.8342

    def test_several_coverage_files_combine_from_their_counts(self, tmp_path):
        xml = write(tmp_path / "coverage.xml", COBERTURA.format(branch="0.5", covered=300, valid=400, bcov=10,
                                                                bvalid=20))
        py = write(tmp_path / "coverage.json", json.dumps(
            {"meta": {"branch_coverage": False}, "totals": {"covered_lines": 500, "num_statements": 600}}))
        ingest("coverage", [py], tmp_path / "alone")
        alone = only_event(tmp_path / "alone")["payload"]
        assert alone["line_rate"] == 500 / 600 and alone["branch_rate"] is None and alone["format"] == "coverage_json"
        ingest("coverage", [xml, py], tmp_path / "ws")
        payload = only_event(tmp_path / "ws")["payload"]
        assert payload == {"line_rate": 0.8, "branch_rate": 0.5, "lines_covered": 800, "lines_valid": 1000,
                           "branches_covered": 10, "branches_valid": 20, "format": "mixed"}
        bare = write(tmp_path / "bare.xml", '<coverage line-rate="0.9" branch-rate="0.1"/>')
        ingest("coverage", [bare], tmp_path / "bare")  # alone, its rates are enough
        assert only_event(tmp_path / "bare")["payload"]["line_rate"] == 0.9
        with pytest.raises(ReportError, match="bare.xml: has no line counts"):
            ingest("coverage", [xml, bare], tmp_path / "ws3")

    def test_ci_runs_from_the_command_line_export(self, tmp_path):
        ingest("ci", [write(tmp_path / "runs.json", json.dumps(GH_RUNS))], tmp_path / "ws")
        event = only_event(tmp_path / "ws")  # the run in progress is passed over
        assert (event["event_id"], event["source_type"]) == ("ci-9001-2", "github_actions")
        assert event["observed_at"] == "2024-05-01T10:00:00Z"
        assert event["payload"] == {
            "conclusion": "failure", "status": "completed", "workflow": "tests", "run_id": 9001, "attempt": 2,
            "timing": {"created_at": "2024-05-01T10:00:00Z", "started_at": "2024-05-01T10:00:05Z",
                       "completed_at": "2024-05-01T10:05:17Z", "duration_seconds": 312.0},
            "trigger": {"commit_sha": "abcdef0123456789abcdef0123456789abcdef01", "commit_message": "",
                        "branch": "main", "event": "push"}}
        assert (tmp_path / "ws" / "events" / "ingest-ci-9001-2.json").exists()

    def test_a_simple_ci_run(self, tmp_path):
        run = {"duration_seconds": 95.5, "conclusion": "success", "commit": "abc1234",
               "started_at": "2024-05-01T12:00:00+02:00", "name": "build"}
        ingest("ci", [write(tmp_path / "run.json", json.dumps(run))], tmp_path / "ws")
        event = only_event(tmp_path / "ws")
        assert event["observed_at"] == "2024-05-01T10:00:00Z"
        assert event["payload"]["timing"] == {"created_at": "2024-05-01T10:00:00Z",
                                              "started_at": "2024-05-01T10:00:00Z",
                                              "completed_at": "2024-05-01T10:01:35Z", "duration_seconds": 95.5}
        assert event["payload"]["trigger"]["commit_sha"] == "abc1234"
        assert event["payload"]["workflow"] == "build" and event["payload"]["run_id"] is None

    def test_trivy_findings_and_summary(self, tmp_path):
        other = {"Results": [{"Target": "go.sum", "Vulnerabilities": [
            {"VulnerabilityID": "GHSA-x", "PkgName": "yaml", "InstalledVersion": "1", "FixedVersion": "",
             "Severity": "Moderate"}]}]}
        ingest("trivy", [write(tmp_path / "a.json", json.dumps(TRIVY)), write(tmp_path / "b.json", json.dumps(other)),
                         write(tmp_path / "clean.json", json.dumps({"SchemaVersion": 2}))], tmp_path / "ws")
        event = only_event(tmp_path / "ws")
        assert (event["source_family"], event["source_type"]) == ("security", "trivy")
        payload = event["payload"]
        assert payload["summary"] == {"total": 3, "critical": 1, "high": 1, "medium": 0, "low": 0, "unknown": 1}
        assert payload["findings"][0] == {"id": "CVE-2024-0001", "severity": "high", "package": "requests",
                                          "installed_version": "2.0.0", "fixed_version": "2.31.0",
                                          "title": "Leaks headers", "target": "requirements.txt"}
        assert [f["fixed_version"] for f in payload["findings"]] == ["2.31.0", "", ""]
        assert payload["findings"][2]["severity"] == "moderate"

    def test_sentry_issues(self, tmp_path):
        many = [{"id": str(i), "title": f"E{i}", "level": "error", "count": i, "userCount": 1} for i in range(1, 61)]
        ingest("sentry", [write(tmp_path / "a.json", json.dumps(SENTRY)), write(tmp_path / "b.json", json.dumps(many))],
               tmp_path / "ws")
        event = only_event(tmp_path / "ws")
        assert (event["source_family"], event["source_type"]) == ("error_tracking", "sentry")
        payload = event["payload"]
        assert payload["stats"] == {"event_count": 165 + 1830, "user_count": 37 + 60, "issue_count": 62}
        assert payload["is_unhandled"] is True
        assert len(payload["issues"]) == 50
        assert payload["issues"][0] == {"id": "102", "title": "Timeout", "level": "warning", "count": 125,
                                        "user_count": 30, "is_unhandled": True}
        assert [i["count"] for i in payload["issues"][:3]] == [125, 60, 59]


MALFORMED = [
    ("junit", "<testsuite><testcase name='a'>", "not XML"),
    ("junit", '<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">]><testsuite>&lol;</testsuite>', "DOCTYPE"),
    ("junit", '<!DOCTYPE x SYSTEM "file:///etc/passwd"><testsuite/>', "DOCTYPE"),
    ("junit", "<report/>", "not <testsuites> or <testsuite>"),
    ("junit", '<testsuite><testcase name="a" time="soon"/></testsuite>', "time of test 'a' is not a number"),
    ("junit", '<testsuite time="-3"><testcase name="a"/></testsuite>', "negative"),
    ("junit", '<testsuite><testcase name="a" time="1e308"/></testsuite>', "more than a year"),
    ("coverage", '<coverage line-rate="1.3"/>', "not between 0 and 1"),
    ("coverage", '<coverage line-rate="0.5" lines-covered="-1" lines-valid="10"/>', "not a count"),
    ("coverage", '<coverage line-rate="0.5" lines-covered="11" lines-valid="10"/>', "11 lines covered of only 10"),
    ("coverage", '<coverage branch-rate="0.5"/>', "no line-rate"),
    ("coverage", '<coverage line-rate="nan"/>', "not a finite number"),
    ("ci", b'{"duration_seconds": 5, "conclusion": "success", "name": "\xff"}', "not UTF-8"),
    ("ci", '{"duration_seconds": "fast", "conclusion": "success"}', "duration_seconds is not a number"),
    ("ci", '{"duration_seconds": NaN, "conclusion": "success"}', "NaN is not a JSON number"),
    ("ci", '{"duration_seconds": 5, "conclusion": "success", "commit": "main"}', "not a commit id"),
    ("ci", '{"hello": 1}', "neither a run"),
    ("ci", "[1, 2]", "a run must be a JSON object (run 1)"),
    ("ci", '[{"status": "completed", "conclusion": "success", "startedAt": "2024-05-01T10:00:00Z"}]', "no updatedAt"),
    ("ci", '{"status": "completed", "conclusion": "success", "startedAt": "yesterday", "updatedAt": "today"}',
     "startedAt is not an ISO 8601 time"),
    ("trivy", "[]", "must be a JSON object"),
    ("trivy", '{"Results": {"Target": "x"}}', "Results must be a list of objects"),
    ("trivy", '{"Results": [{"Vulnerabilities": [{"Severity": 3}]}]}', "Severity is not text"),
    ("sentry", '{"issues": []}', "must be a JSON list"),
    ("sentry", '[{"id": "1", "count": "-4"}]', "count is not a count"),
    ("sentry", '[{"id": "1", "count": "12", "userCount": 1.5}]', "userCount is not a count"),
    ("sentry", '[{"title": "no id"}]', "has no id"),
    ("sentry", "[{", "not JSON"),
    ("sentry", '[{"id": "1", "count": "' + "9" * 5000 + '"}]', "count is not a count: '99999"),
    ("sentry", '[{"id": "1", "count": 10000000000000000}]', "count is not a count"),
    ("sentry", '[{"id": "1", "count": "\u00b2"}]', "count is not a count"),
    ("coverage", '<coverage line-rate="0.5" lines-covered="1" lines-valid="' + "9" * 5000 + '"/>', "not a count"),
]

GOOD = {"junit": JUNIT, "coverage": COBERTURA.format(branch="0.5", covered=1, valid=2, bcov=1, bvalid=2),
        "ci": json.dumps(GH_RUNS[0]), "trivy": json.dumps(TRIVY), "sentry": json.dumps(SENTRY)}


@pytest.mark.parametrize("kind, content, problem", MALFORMED)
def test_malformed_reports_are_refused_and_nothing_is_written(tmp_path, kind, content, problem):
    suffix = ".xml" if kind in ("junit", "coverage") else ".json"
    good = write(tmp_path / f"good{suffix}", GOOD[kind])
    bad = write(tmp_path / f"bad{suffix}", content)
    with pytest.raises(ReportError) as refused:
        ingest(kind, [good, bad], tmp_path / "ws")
    assert str(refused.value).startswith(f"{bad}: ") and problem in str(refused.value)
    assert not (tmp_path / "ws").exists()


def test_only_a_regular_file_of_bounded_size_is_read(tmp_path, monkeypatch):
    import os

    from varnel.ingest import reading

    fifo = tmp_path / "runs.json"
    os.mkfifo(fifo)  # no writer: reading it would wait forever
    for path, problem in ((fifo, "a pipe, not a regular file"), ("/dev/zero", "a device, not a regular file"),
                          (tmp_path, "a directory, not a regular file")):
        with pytest.raises(ReportError, match=problem):
            ingest("ci", [path], tmp_path / "ws")
    monkeypatch.setattr(reading, "REPORT_SIZE_LIMIT", 100)
    with pytest.raises(ReportError, match="over the 100 bytes"):
        ingest("junit", [write(tmp_path / "a.xml", JUNIT)], tmp_path / "ws")
    assert not (tmp_path / "ws").exists()


def test_a_report_whose_event_the_engines_would_refuse_is_refused(tmp_path, monkeypatch):
    from varnel.collect import events as writer

    monkeypatch.setattr(writer, "EVENT_SIZE_LIMIT", 200)
    with pytest.raises(ReportError, match="over the 200 bytes an event file may have"):
        ingest("junit", [write(tmp_path / "a.xml", JUNIT)], tmp_path / "ws")
    assert not (tmp_path / "ws").exists()


def test_the_same_report_again_replaces_its_event(tmp_path, repo):
    first = commit(repo, {"a.py": "1"}, "first")
    report = write(tmp_path / "a.xml", JUNIT)
    ingest("junit", [report], tmp_path / "ws", repo=repo, at="2024-05-01T10:00:00Z")
    ingest("junit", [report], tmp_path / "ws", repo=repo, at="2024-05-02T10:00:00Z")
    (event,) = events_of(tmp_path / "ws")
    assert event["observed_at"] == "2024-05-02T10:00:00Z"
    commit(repo, {"a.py": "2"}, "second")
    ingest("junit", [report], tmp_path / "ws", repo=repo)  # the same report for another commit is another run
    assert sorted(e["payload"]["trigger"]["commit_sha"] for e in events_of(tmp_path / "ws")) == sorted(
        [first, git(repo, "rev-parse", "HEAD").decode().strip()])
    runs = write(tmp_path / "runs.json", json.dumps(GH_RUNS))
    ingest("ci", [runs], tmp_path / "ws")
    ingest("ci", [runs], tmp_path / "ws")
    assert len(events_of(tmp_path / "ws")) == 3


class TestCommitAndTime:
    def test_the_commit_comes_from_commit_option_else_head(self, tmp_path, repo):
        first = commit(repo, {"a.py": "1"}, "Add a\n\nWith a body.")
        second = commit(repo, {"a.py": "2"}, "Change a")
        report = write(tmp_path / "a.json", json.dumps(SENTRY))
        ingest("sentry", [report], tmp_path / "head", repo=repo)
        assert only_event(tmp_path / "head")["payload"]["trigger"] == {"commit_sha": second,
                                                                       "commit_message": "Change a"}
        for name in (first[:7], "HEAD~1"):
            ingest("sentry", [report], tmp_path / name, repo=repo, commit=name)
            assert only_event(tmp_path / name)["payload"]["trigger"] == {"commit_sha": first,
                                                                         "commit_message": "Add a\n\nWith a body."}
        for unknown in ("0" * 40, "no-such-branch", "--all"):
            with pytest.raises(ReportError, match="is not a commit of"):
                ingest("sentry", [report], tmp_path / "ws", repo=repo, commit=unknown)
        assert not (tmp_path / "ws").exists()

    def test_a_runs_own_commit_is_completed_from_the_repository(self, tmp_path, repo):
        sha = commit(repo, {"a.py": "1"}, "Speed up the build")
        run = {"duration_seconds": 10, "conclusion": "success", "commit": sha[:8]}
        ingest("ci", [write(tmp_path / "run.json", json.dumps(run))], tmp_path / "ws", repo=repo)
        trigger = only_event(tmp_path / "ws")["payload"]["trigger"]
        assert (trigger["commit_sha"], trigger["commit_message"]) == (sha, "Speed up the build")

    def test_outside_a_repository(self, tmp_path):
        report = write(tmp_path / "a.json", json.dumps(SENTRY))
        ingest("sentry", [report], tmp_path / "ws", repo=tmp_path, commit="ABC1234")
        assert only_event(tmp_path / "ws")["payload"]["trigger"] == {"commit_sha": "abc1234", "commit_message": ""}
        for bad in ("abc", "HEAD", "g" * 40, "a" * 41):
            with pytest.raises(ReportError, match="is not a commit id"):
                ingest("sentry", [report], tmp_path / "other", repo=tmp_path, commit=bad)

    def test_at(self, tmp_path):
        report = write(tmp_path / "a.json", json.dumps(SENTRY))
        for given, stored in (("2024-05-01T12:30:00+02:00", "2024-05-01T10:30:00Z"),
                              ("2024-05-01T12:30:00", "2024-05-01T12:30:00Z"), ("2024-05-01", "2024-05-01T00:00:00Z"),
                              ("2024-05-01T12:30:00.75Z", "2024-05-01T12:30:00Z")):
            ingest("sentry", [report], tmp_path / "ws", at=given)
            assert only_event(tmp_path / "ws")["observed_at"] == stored
        for bad in ("yesterday", "2024-13-01", "1714557600"):
            with pytest.raises(ReportError, match="--at: not an ISO 8601 time"):
                ingest("sentry", [report], tmp_path / "ws", at=bad)

    def test_commit_and_at_are_refused_for_several_runs(self, tmp_path):
        runs = [dict(GH_RUNS[0]), dict(GH_RUNS[0], databaseId=9003)]
        report = write(tmp_path / "runs.json", json.dumps(runs))
        for option in ({"commit": "abcd"}, {"at": "2024-05-01"}):
            with pytest.raises(ReportError, match="each run carries its own"):
                ingest("ci", [report], tmp_path / "ws", **option)
        ingest("ci", [write(tmp_path / "one.json", json.dumps(runs[:1]))], tmp_path / "ws", at="2024-06-01")
        event = only_event(tmp_path / "ws")
        assert event["observed_at"] == "2024-06-01T00:00:00Z"
        assert event["payload"]["timing"]["created_at"] == "2024-05-01T10:00:00Z"  # the run's own time is kept


def varnel(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "varnel", *args], capture_output=True, text=True, cwd=cwd)


def test_command_line(tmp_path, repo):
    commit(repo, {"a.py": "1"}, "first")
    report = write(tmp_path / "a.xml", JUNIT)
    done = varnel("ingest", "junit", str(report), "--path", str(repo))
    assert done.returncode == 0, done.stderr
    (path,) = (repo / ".varnel" / "events").glob("ingest-testing-*.json")
    assert done.stdout == f"junit: 5 tests, 2 failed, 1 skipped in 15.8 s \u2192 {path}\n"
    assert git(repo, "status", "--porcelain") == b""  # the workspace keeps itself out of git's view
    runs = write(tmp_path / "runs.json", json.dumps(GH_RUNS))
    done = varnel("ingest", "ci", str(runs), "--workspace", str(tmp_path / "ws"))
    assert done.stdout.splitlines() == [
        f"ci: tests run 9001 attempt 2: failure in 312.0 s \u2192 {tmp_path / 'ws' / 'events' / 'ingest-ci-9001-2.json'}",
        "ci: 1 run not completed yet, passed over"]
    quiet = varnel("ingest", "trivy", write(tmp_path / "t.json", json.dumps(TRIVY)), "--path", str(repo), "--quiet")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    bad = varnel("ingest", "sentry", str(tmp_path / "missing.json"), "--path", str(repo))
    assert (bad.returncode, bad.stderr) == (2, f"varnel: {tmp_path / 'missing.json'}: no such file\n")
    assert varnel("ingest", "nunit", str(report)).returncode == 2
    assert varnel("ingest", "junit", str(report), "--path", str(tmp_path / "nowhere")).returncode == 2
    assert varnel("ingest", "junit", str(report), "--at", "soon", "--path", str(repo)).returncode == 2
    assert len(list((repo / ".varnel" / "events").glob("*.json"))) == 2


def test_the_signal_engine_reads_ingested_events(tmp_path):
    from varnel.sigstage import Phase2Engine

    ws = tmp_path / "ws"
    for day in range(1, 8):
        at, sha = f"2024-05-{day:02d}T10:00:00Z", f"{day:040x}"
        failing = "".join(f'<testcase name="f{k}"><failure/></testcase>' for k in range(1 + day // 7 * 39))
        passing = "".join(f'<testcase name="p{k}" time="0.5"/>' for k in range(100 + day))
        junit = write(tmp_path / f"junit{day}.xml", f'<testsuite time="{60 + day + day // 7 * 200}">{passing}{failing}</testsuite>')
        cover = write(tmp_path / f"cov{day}.xml", COBERTURA.format(branch="0.5", covered=800 - day // 7 * 300,
                                                                   valid=1000, bcov=50, bvalid=100))
        scan = dict(TRIVY, Results=TRIVY["Results"] * (day % 3 + 1 + day // 7 * 5))
        trivy = write(tmp_path / f"trivy{day}.json", json.dumps(scan))
        issues = [dict(SENTRY[0], count=str(40 + day * (1 + day // 7 * 50)))]
        sentry = write(tmp_path / f"sentry{day}.json", json.dumps(issues))
        run = write(tmp_path / f"run{day}.json", json.dumps(
            {"duration_seconds": 300 + day + day // 7 * 900, "conclusion": "success", "commit": sha}))
        for kind, report in (("junit", junit), ("coverage", cover), ("trivy", trivy), ("sentry", sentry),
                             ("ci", run)):
            ingest(kind, [report], ws, commit=sha, at=at)
    signals = Phase2Engine(ws).run_all()
    moved = {(s["engine_id"], s["metric"]): s for family in signals.values() for s in family}
    assert {key for key in moved if key[0] != "git"} == {
        ("testing", "total_tests"), ("testing", "failure_rate"), ("testing", "skip_rate"), ("testing", "suite_duration"),
        ("coverage", "line_rate"), ("coverage", "branch_rate"), ("security", "vulnerability_count"),
        ("security", "critical_count"), ("security", "fixable_ratio"), ("error_tracking", "event_count"),
        ("error_tracking", "user_count"), ("error_tracking", "is_unhandled"), ("ci", "run_duration"),
        ("ci", "run_failed")}
    for key in (("testing", "total_tests"), ("testing", "failure_rate"), ("testing", "suite_duration"),
                ("security", "vulnerability_count"), ("error_tracking", "event_count"), ("ci", "run_duration")):
        assert abs(moved[key]["deviation"]["measure"]) > 3, key
    assert moved[("coverage", "line_rate")]["deviation"]["degenerate"]  # 0.8 every day before, then 0.5
    assert moved[("testing", "failure_rate")]["observed"] == 40 / 147
    assert moved[("security", "vulnerability_count")]["observed"] == 14
    assert moved[("security", "fixable_ratio")]["observed"] == 0.5


def test_the_advisory_cites_failing_tests_and_critical_findings_of_their_commit(repo, capsys):
    from varnel.cli import main

    for day in range(1, 9):
        sha = commit(repo, {"a.py": str(day)}, f"change {day}", date=f"2024-05-{day:02d}T10:00:00+00:00")
        broken = day == 8
        cases = "".join(f'<testcase classname="t" name="f{k}"><failure/></testcase>' for k in range(1 + broken * 30))
        cases += "".join(f'<testcase name="p{k}"/>' for k in range(100 + day))
        vulns = [{"VulnerabilityID": f"CVE-{k}", "PkgName": "zlib", "Severity": "CRITICAL", "FixedVersion": "2"}
                 for k in range(day % 3 + 1 + broken * 10)]
        at = f"2024-05-{day:02d}T10:05:00Z"
        ingest("junit", [write(repo.parent / f"j{day}.xml", f'<testsuite time="{60 + day}">{cases}</testsuite>')],
               repo / ".varnel", repo=repo, at=at)
        ingest("trivy", [write(repo.parent / f"t{day}.json", json.dumps({"Results": [{"Vulnerabilities": vulns}]}))],
               repo / ".varnel", repo=repo, at=at)
    assert main(["analyze", "--quiet", "--all", str(repo)]) == 0
    evidence = json.loads((repo / ".varnel" / "phase5" / "evidence.json").read_text(encoding="utf-8"))
    assert {"name": "t.f20", "status_before": "passed", "status_now": "failed", "since_commit": sha} in evidence[
        "tests_impacted"]
    assert "Vulnerability CVE-12: critical in zlib" in [entry["event"] for entry in evidence["timeline"]]
    assert "failing tests" in capsys.readouterr().out
