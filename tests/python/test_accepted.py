"""Accepted deviations: storage, expiry and the commit-order rule."""

import json
import os
from datetime import datetime, timedelta, timezone

import pytest

from varnel.accepted import FILE_NAME, AcceptedDeviations

COMMITS = ["c1", "c2", "c3", "c2", "c4"]


def future(days=30):
    return (datetime.now(timezone.utc) + timedelta(days=days)).replace(tzinfo=None).isoformat() + "Z"


class TestStorage:
    def test_missing_file_means_nothing_accepted_and_nothing_is_created(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        assert store.entries() == []
        assert store.cleanup_expired() == []
        assert not store.is_accepted_in_context("ci", "run_duration", commit_sha="c1", event_date="", commit_list=[])
        assert list(tmp_path.iterdir()) == []

    def test_accept_writes_a_whole_file_that_another_instance_reads(self, tmp_path):
        entry = AcceptedDeviations(tmp_path).accept("ci", "run_duration", "new integration stage", "ana",
                                                    expires_at=datetime(2030, 1, 2, 3, 4, 5), from_commit="c2")
        assert entry["accepted_at"].endswith("Z") and entry["expires_at"] == "2030-01-02T03:04:05Z"
        stored = json.loads((tmp_path / FILE_NAME).read_text(encoding="utf-8"))
        assert stored == {"entries": [entry]}
        assert list(entry) == ["family", "metric", "reason", "accepted_by", "accepted_at", "expires_at", "from_commit"]
        assert AcceptedDeviations(str(tmp_path)).entries() == [entry]
        assert [p.name for p in tmp_path.iterdir()] == [FILE_NAME]

    def test_accepting_again_replaces_and_revoke_removes(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        store.accept("ci", "run_duration", "first", "ana")
        store.accept("git", "files_touched", "refactor", "bo")
        store.accept("ci", "run_duration", "second", "cy")
        assert [(e["metric"], e["reason"]) for e in store.entries()] == [("files_touched", "refactor"),
                                                                        ("run_duration", "second")]
        assert store.revoke("ci", "run_duration") is True
        assert store.revoke("ci", "run_duration") is False
        assert [e["metric"] for e in store.entries()] == ["files_touched"]

    def test_rewrite_keeps_the_file_mode(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        store.accept("ci", "run_failed", "flaky runner", "ana")
        os.chmod(tmp_path / FILE_NAME, 0o640)
        store.accept("ci", "run_duration", "slower machines", "ana")
        assert (tmp_path / FILE_NAME).stat().st_mode & 0o777 == 0o640

    @pytest.mark.parametrize("text", ["{not json", "[]", '{"entries": {}}', '{"entries": [1]}'])
    def test_a_damaged_file_is_an_error_not_an_empty_list(self, tmp_path, text):
        (tmp_path / FILE_NAME).write_text(text, encoding="utf-8")
        with pytest.raises(ValueError):
            AcceptedDeviations(tmp_path).is_accepted_in_context("ci", "run_duration")

    @pytest.mark.parametrize("family, metric, options", [("", "m", {}), ("ci", None, {}),
                                                         ("ci", "m", {"expires_at": ""}),
                                                         ("ci", "m", {"from_commit": 7})])
    def test_bad_arguments_are_refused(self, tmp_path, family, metric, options):
        with pytest.raises(ValueError):
            AcceptedDeviations(tmp_path).accept(family, metric, "why", "who", **options)


class TestExpiry:
    def test_cleanup_removes_only_expired_entries_and_returns_them(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        store.accept("ci", "run_duration", "old", "ana", expires_at="2000-01-01")
        store.accept("git", "files_touched", "live", "ana", expires_at=future())
        store.accept("testing", "total_tests", "forever", "ana")
        removed = store.cleanup_expired(current_advisory_id="abc")
        assert [e["reason"] for e in removed] == ["old"]
        assert [e["reason"] for e in store.entries()] == ["live", "forever"]
        mtime = (tmp_path / FILE_NAME).stat().st_mtime_ns
        assert store.cleanup_expired() == []
        assert (tmp_path / FILE_NAME).stat().st_mtime_ns == mtime

    def test_an_expired_entry_no_longer_accepts_even_before_cleanup(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        store.accept("ci", "run_duration", "old", "ana", expires_at="2000-01-01T00:00:00Z")
        assert not store.is_accepted_in_context("ci", "run_duration", commit_sha="", event_date="", commit_list=[])


class TestContext:
    def test_without_commit_every_change_of_that_metric_is_accepted(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        store.accept("ci", "run_duration", "slower", "ana")
        assert store.is_accepted_in_context("ci", "run_duration", commit_sha="", event_date="", commit_list=[])
        assert not store.is_accepted_in_context("ci", "run_failed", commit_sha="", event_date="", commit_list=[])
        assert not store.is_accepted_in_context("git", "run_duration", commit_sha="", event_date="", commit_list=[])

    @pytest.mark.parametrize("commit, accepted", [("c1", False), ("c2", True), ("c3", True), ("c4", True)])
    def test_commit_order_decides_by_first_appearance(self, tmp_path, commit, accepted):
        store = AcceptedDeviations(tmp_path)
        store.accept("ci", "run_duration", "from c2 on", "ana", from_commit="c2")
        assert store.is_accepted_in_context("ci", "run_duration", commit_sha=commit, event_date="1999-01-01",
                                            commit_list=COMMITS) is accepted

    def test_unplaceable_commits_fall_back_to_the_event_date(self, tmp_path):
        store = AcceptedDeviations(tmp_path)
        entry = store.accept("ci", "run_duration", "from c9 on", "ana", from_commit="c9")
        after, before = future(1), "2000-01-01T00:00:00Z"
        for commit in ("", "c1", "unknown"):
            assert store.is_accepted_in_context("ci", "run_duration", commit_sha=commit, event_date=after,
                                                commit_list=COMMITS)
            assert not store.is_accepted_in_context("ci", "run_duration", commit_sha=commit, event_date=before,
                                                    commit_list=COMMITS)
        assert not store.is_accepted_in_context("ci", "run_duration", commit_sha="c1", event_date="",
                                                commit_list=None)
        assert entry["accepted_at"] < after
