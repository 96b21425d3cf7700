"""Evidence, matching, commits and change records through the engine's helpers."""

import pytest

import phase5_reference as reference
from advstage_helpers import explanation, family_event, git_event, signal
from varnel.advstage import Phase5Engine


@pytest.fixture
def engine(tmp_path):
    return Phase5Engine(tmp_path)


def events_by_id(*events):
    return {ev["event_id"]: ev for ev in events}


class TestEvidence:
    def test_a_commit_and_its_files_count_once(self, engine):
        events = events_by_id(git_event("g1", "c1", "2026-01-01T00:00:00Z", ["a", "b"]),
                              git_event("g2", "c1", "2026-01-02T00:00:00Z", ["b", "c"]),
                              git_event("g3", "c2", "2026-01-03T00:00:00Z", ["c", "d"]))
        significant = [signal("git", "files_touched", 3.0, ref) for ref in ("g1", "g2", "g3")]
        evidence = engine._collect_evidence(significant, events)
        assert evidence == reference.collect_evidence(significant, events)
        assert [c["sha"] for c in evidence["commits"]] == ["c1", "c2"]
        assert [(f["path"], f["first_seen_in"]) for f in evidence["files_affected"]] == [
            ("a", "c1"), ("b", "c1"), ("c", "c2"), ("d", "c2")]

    def test_a_commit_of_a_hundred_thousand_files_lists_a_hundred_and_counts_the_rest(self, engine):
        files = [f"src/file{i}.py" for i in range(100_000)]
        events = events_by_id(git_event("g1", "c1", "2026-01-01T00:00:00Z", files))
        significant = [signal("git", "files_touched", 3.0, "g1"), signal("git", "dispersion", 4.0, "g1")]
        evidence = engine._collect_evidence(significant, events)
        assert evidence == reference.collect_evidence(significant, events)
        commit, = evidence["commits"]
        assert commit["files_changed"] == files[:100] and commit["files_changed_not_listed"] == 99_900
        assert len(evidence["files_affected"]) == 50
        change = engine._format_change(significant[0], {}, events)
        assert change == reference.format_change(significant[0], {}, events)
        assert change["trigger_files"] == files[:100] and change["trigger_files_not_listed"] == 99_900

    def test_the_timeline_keeps_the_fifty_earliest_distinct_entries(self, engine):
        events = events_by_id(*[family_event(f"e{i}", "ci", "custom", f"2026-01-01T00:{59 - i:02d}:00Z")
                                for i in range(60)])
        significant = [signal("ci", "run_duration", 2.0 + i / 10, f"e{i}") for i in range(60)]
        significant.append(signal("ci", "run_duration", 2.0, "e0"))
        timeline = engine._collect_evidence(significant, events)["timeline"]
        assert len(timeline) == 50
        assert [t["timestamp"][14:16] for t in timeline] == [f"{m:02d}" for m in range(50)]

    def test_findings_tests_and_dependencies(self, engine):
        events = events_by_id(
            family_event("s1", "security", "trivy", "2026-01-01T00:00:00Z", None,
                         findings=[{"id": "CVE-9", "severity": "critical", "package": "openssl"},
                                   {"severity": "high"}, {"id": "CVE-2", "severity": "medium"}]),
            family_event("t1", "testing", "junit_xml", "2026-01-02T00:00:00Z", {"commit_sha": "c7"},
                         cases=[{"name": "a", "status": "errored"}, {"name": "b", "status": "skipped"}]),
            family_event("d1", "dependency", "pip", "2026-01-03T00:00:00Z", None,
                         dependencies=[{"name": "x", "version": "1", "direct": True}, {"name": "y"}]))
        significant = [signal("security", "vulnerability_count", 2.0, "s1"), signal("testing", "total_tests", -2, "t1"),
                       signal("dependency", "dependency_count", 2, "d1"), signal("ci", "run_duration", 9.0, "gone")]
        evidence = engine._collect_evidence(significant, events)
        assert evidence == reference.collect_evidence(significant, events)
        assert [t["event"] for t in evidence["timeline"] if t["family"] == "security"] == [
            "Vulnerabilities: 10 (2.0 stddev above normal)", "Vulnerability CVE-9: critical in openssl",
            "Vulnerability unknown: high in "]
        assert evidence["tests_impacted"] == [{"name": "a", "status_before": "passed", "status_now": "errored",
                                               "since_commit": "c7"}]
        assert evidence["dependencies_changed"] == [{"name": "x", "change": "present", "version": "1"}]

    def test_a_timeline_line_needs_the_signal_fields(self, engine):
        broken = signal("ci", "run_duration", 2.0, "e1")
        del broken["observed"]
        with pytest.raises(KeyError, match="observed"):
            engine._collect_evidence([broken], events_by_id(family_event("e1", "ci", "x", "2026-01-01")))


class TestMatching:
    KNOWLEDGE = [{"knowledge_id": "k1", "pattern_type": "co_deviation", "sources": ["ci", "git"],
                  "metrics": ["run_duration"], "description_semantic": "", "description_statistical": "stat",
                  "support_count": 3},
                 {"knowledge_id": "k2", "sources": ["testing"], "metrics": ["run_duration"]}]
    PATTERNS = [{"fingerprint": "f1", "sources": ["git", "ci"], "metrics": ["files_touched", "run_duration", "x"],
                 "correlation_strength": -0.7},
                {"pattern_id": "p2", "sources": ["ci"], "metrics": ["run_failed"]}]

    def test_knowledge_and_patterns_share_a_family_and_a_metric(self, engine):
        significant = [signal("ci", "run_duration", 2.0, "e1"), signal("git", "files_touched", -1.5, "e2"),
                       signal("ci", "run_failed", 1.0, "e1")]
        knowledge = engine._match_patterns(significant, self.KNOWLEDGE)
        patterns = engine._match_candidate_patterns(significant, self.PATTERNS)
        assert knowledge == reference.match_patterns(significant, self.KNOWLEDGE)
        assert patterns == reference.match_candidate_patterns(significant, self.PATTERNS)
        assert knowledge == [{"knowledge_id": "k1", "pattern_type": "co_deviation", "confidence": "approved",
                              "support_count": 3, "sources": ["ci", "git"], "metrics": ["run_duration"],
                              "description": "stat"}]
        assert patterns == [{"pattern_id": "f1", "correlation": -0.7, "families": ["ci", "git"],
                             "metrics": ["files_touched", "run_duration"], "description": "", "repo_count": 0}]

    def test_nothing_moved_or_nothing_known(self, engine):
        quiet = [signal("ci", "run_duration", 0.5, "e1")]
        assert engine._match_patterns(quiet, self.KNOWLEDGE) == []
        assert engine._match_candidate_patterns([], self.PATTERNS) == []
        assert engine._match_patterns([signal("ci", "run_duration", 3.0, "e1")], []) == []


class TestChangeRecords:
    def test_format_change_reads_explanation_event_and_baseline(self, engine):
        s = signal("ci", "run_duration", 2.675, "ci1", observed=310, mean=200.123456, median=None, mad=None)
        explanations = {"ci1:ci:run_duration": explanation(s, "own"), "ci:run_duration": explanation(s, "shared")}
        events = events_by_id(family_event("ci1", "ci", "github_actions", "2026-01-02T00:00:00Z",
                                           {"commit_sha": "abc", "commit_message": "Speed up"},
                                           timing={"created_at": "", "started_at": "2026-01-01T23:59:00Z"}))
        record = engine._format_change(s, explanations, events)
        assert record == reference.format_change(s, explanations, events)
        assert record["normal"] == {"mean": 200.1235, "stddev": 2.5, "median": 200.1235, "mad": 0}
        assert (record["deviation_stddev"], record["description"], record["trigger_commit"],
                record["observed_at"]) == (2.67, "own", "abc", "2026-01-01T23:59:00Z")
        bare = engine._format_change(s, {"ci:run_duration": explanation(s, "shared")})
        assert (bare["description"], bare["observed_at"], bare["trigger_files"]) == ("shared", "", [])

    def test_commit_list_and_latest_deviation_in_place(self, engine):
        events = events_by_id(git_event("g1", "c1", "2026-01-03T00:00:00Z", ["a"]),
                              family_event("ci1", "ci", "github_actions", "2026-01-01T00:00:00Z", {"commit_sha": "c0"}),
                              family_event("ci2", "ci", "github_actions", "2026-01-02T00:00:00Z", None),
                              git_event("g0", "c9", "2026-01-01T00:00:00Z", ["b"]))
        assert engine._get_commit_list(events) == ["c0", "c9", "c1"] == reference.commit_list(events)
        signals = [signal("ci", "run_duration", 4.0, "ci1"), signal("ci", "run_duration", -0.456, "ci2"),
                   signal("ci", "run_duration", 1.0, "missing")]
        changes = [{"family": "ci", "metric": "run_duration", "event_ref": "ci1"}, {"family": "ci", "metric": "other"}]
        expected = [dict(c) for c in changes]
        reference.enrich(expected, signals, events)
        assert engine._enrich_with_latest_deviation(changes, signals, events) is None
        assert changes == expected
        assert changes[0] == {"family": "ci", "metric": "run_duration", "event_ref": "ci1", "latest_deviation": -0.46,
                              "latest_value": 10, "latest_event_ref": "ci2", "is_latest_event": False}
