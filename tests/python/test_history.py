"""diff_advisories: how two advisories' changes pair up."""

from varnel.history import diff_advisories


def change(family, metric, deviation, *, ref="e1", latest=None):
    record = {"family": family, "metric": metric, "deviation_stddev": deviation, "event_ref": ref}
    if latest is not None:
        record["latest_deviation"] = latest
    return record


def test_each_change_lands_in_exactly_one_list_with_the_fields_a_report_reads():
    before = {"changes": [
        change("ci", "run_duration", 4.0),
        change("git", "files_touched", -3.0),
        change("testing", "total_tests", 2.0, latest=0.4),
        change("coverage", "line_rate", -2.5, latest=-2.5),
    ]}
    after = {"changes": [
        change("coverage", "line_rate", -1.9),
        change("testing", "total_tests", 3.5, ref="e9"),
        change("ci", "run_duration", 5.0),
        change("security", "critical_count", 6.0),
    ]}
    assert diff_advisories(before, after) == {
        "resolved": [{"family": "git", "metric": "files_touched", "was_deviation": -3.0}],
        "persisting": [
            {"family": "coverage", "metric": "line_rate", "was_deviation": -2.5, "now_deviation": -1.9,
             "improved": True},
            {"family": "ci", "metric": "run_duration", "was_deviation": 4.0, "now_deviation": 5.0,
             "improved": False},
        ],
        "new": [{"family": "security", "metric": "critical_count", "deviation_stddev": 6.0}],
        "regressions": [{"family": "testing", "metric": "total_tests", "deviation_stddev": 3.5,
                         "was_deviation": 2.0, "was_latest_deviation": 0.4}],
    }


def test_a_metric_back_to_normal_but_flagged_for_the_same_event_is_still_persisting():
    before = {"changes": [change("testing", "total_tests", 2.0, ref="e1", latest=0.4)]}
    after = {"changes": [change("testing", "total_tests", 2.0, ref="e1", latest=0.4)]}
    diff = diff_advisories(before, after)
    assert diff["regressions"] == [] and diff["persisting"][0]["improved"] is False


def test_the_threshold_decides_what_counts_as_back_to_normal():
    before = {"changes": [change("ci", "run_duration", 3.0, latest=1.5)]}
    after = {"changes": [change("ci", "run_duration", 3.0, ref="e2")]}
    assert diff_advisories(before, after)["persisting"]
    assert diff_advisories(before, after, threshold=2.0)["regressions"]


def test_missing_changes_and_odd_entries_are_tolerated():
    assert diff_advisories({}, {"changes": None}) == {"resolved": [], "persisting": [], "new": [], "regressions": []}
    before = {"changes": [change("ci", "run_duration", "n/a"), "junk", change("ci", "run_duration", 9.0)]}
    after = {"changes": [change("ci", "run_duration", 1.0)]}
    (entry,) = diff_advisories(before, after)["persisting"]
    assert entry["was_deviation"] == "n/a" and entry["improved"] is False
