"""Every statement of the report is true of the repository's own data:
departures said as their earlier values are, levels pinned on the commit
that changed them, commits of one second in the history's order, and
changes of measure never read as growth."""

import json
import subprocess
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from varnel.report import render as report
from varnel.collect.git import GitCollection
from varnel.run.analysis import Analysis
from varnel.run.window import WindowUsed
from helpers import commit, git, varnel

pytest.importorskip("varnel.advstage")
sigstage = pytest.importorskip("varnel.sigstage")


# --- departures against generated baselines --------------------------------

def _baselines():
    value = st.integers(0, 200)
    constant = st.tuples(value, st.integers(5, 49)).map(lambda t: [t[0]] * t[1])
    # More than half on one value and the middle half too: no MAD, no IQR, yet not constant.
    middle_half = st.tuples(value, st.integers(8, 40), st.lists(st.integers(0, 200), min_size=1, max_size=3)).map(
        lambda t: [t[0]] * t[1] + t[2])
    varied = st.lists(value, min_size=5, max_size=49)
    return st.one_of(constant, middle_half, varied)


def _testing_workspace(root: Path, totals: list[int]) -> Analysis:
    events = root / "events"
    events.mkdir(parents=True)
    for n, total in enumerate(totals):
        (events / f"ingest-testing-{n:04d}.json").write_text(json.dumps({
            "event_id": f"t{n}", "source_family": "testing", "source_type": "junit_xml",
            "observed_at": f"2026-01-01T00:{n // 60:02d}:{n % 60:02d}Z",
            "payload": {"summary": {"total": total, "failed": 0, "skipped": 0},
                        "execution": {"duration_seconds": 1.0}}}))
    signals = {"testing": sigstage.Phase2Engine(root).run_testing()}
    return Analysis(repo=root, workspace=root, scope="t", collection=GitCollection(), signals=signals,
                    window=WindowUsed("the whole history"))


@given(earlier=_baselines(), shuffle=st.randoms(use_true_random=False), observed=st.integers(0, 220))
def test_a_departure_says_what_its_earlier_values_were(tmp_path_factory, earlier, shuffle, observed):
    shuffle.shuffle(earlier)
    result = _testing_workspace(tmp_path_factory.mktemp("ws"), earlier + [observed])
    signal = next(s for s in result.signals["testing"]
                  if s["metric"] == "total_tests" and s["event_ref"] == f"t{len(earlier)}")
    series = earlier + [observed]
    every = json.loads(report.json_report(result))["departures"]
    for d in every:  # whichever event it names, what it says is true of that event's earlier values
        before = series[:int(d["event_ref"][1:])]
        assert not min(before) <= d["observed"] <= max(before)
        assert d.get("constant", "-") in (before[0] if len(set(before)) == 1 else "-",)
        assert d.get("range") in ([min(before), max(before)] if len(set(before)) > 1 else None,)
    departures = [d for d in every if d["metric"] == "total_tests" and d["event_ref"] == f"t{len(earlier)}"]
    outside = not min(earlier) <= observed <= max(earlier)
    assert bool(departures) == (signal["deviation"]["degenerate"] and outside)
    for d in departures:
        assert d["baseline_length"] == len(earlier)
        if len(set(earlier)) == 1:
            assert d["constant"] == earlier[0] and "range" not in d
            assert signal["baseline"]["stddev"] == 0
        else:
            assert d["range"] == [min(earlier), max(earlier)] and "constant" not in d
    text = report.text(result)
    assert ("Nothing else in this window" in text) == bool(every)
    if departures and len(set(earlier)) == 1:
        assert f"after {len(earlier)} observations all at {earlier[0]:,}" in text
    if departures and len(set(earlier)) > 1:
        side = "above" if observed > max(earlier) else "below"
        assert f"{side} every one of the last {len(earlier)} ({min(earlier):,} to {max(earlier):,})" in text


# --- levels of the repository's state -------------------------------------

def _tf(resources: int, note: str = "") -> str:
    return "".join(f'resource "aws_s3_bucket" "b{k}" {{\n  tags = {{ note = "{note}" }}\n}}\n'
                   for k in range(resources))


def _report(repo, *window):
    done = varnel("analyze", str(repo), "--format", "json", "--quiet", *window)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def _values_by_commit(repo):
    """resource_count of each config event, by its commit, in the mainline's order."""
    ws = Path(repo) / ".varnel"
    by_ref = {}
    for path in (ws / "events").glob("config-*.json"):
        event = json.loads(path.read_text())
        by_ref[event["event_id"]] = (event["payload"]["trigger"]["commit_sha"],
                                     event["payload"]["structure"]["resource_count"])
    order = subprocess.run(["git", "-C", str(repo), "rev-list", "--first-parent", "--reverse", "HEAD"],
                           capture_output=True, text=True, check=True).stdout.split()
    return by_ref, order


def _changed_its_level(repo, ref):
    by_ref, order = _values_by_commit(repo)
    values = [value for sha in order for r, (c, value) in by_ref.items() if c == sha]
    place = [c for sha in order for r, (c, _) in by_ref.items() if c == sha].index(by_ref[ref][0])
    return place == 0 or values[place] != values[place - 1]


class TestLevels:
    def test_a_step_is_pinned_on_the_commit_that_made_it(self, repo):
        (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
        for day in range(1, 9):
            commit(repo, {"main.tf": _tf(3 + day % 2, f"v{day}")}, f"tune {day}", date=f"2026-03-{day:02d}T10:00:00Z")
        step = commit(repo, {"main.tf": _tf(9, "v9")}, "add six buckets", date="2026-03-09T10:00:00Z")
        for day in range(10, 14):
            commit(repo, {"main.tf": _tf(9, f"v{day}")}, f"retag {day}", date=f"2026-03-{day:02d}T10:00:00Z")
        done = _report(repo, "--all")
        flagged = [c["event_ref"] for c in done["advisory"]["changes"] if c["metric"] == "resource_count"]
        shown = [f for f in done["findings"] if f["metric"] == "resource_count"]
        assert flagged and [(f["commit"], f["kind"]) for f in shown] == [(step, "step")]
        assert all(_changed_its_level(repo, f["event_ref"]) for f in done["findings"]
                   if f["family"] == "config" and f["metric"] in ("resource_count", "resource_type_count"))
        text = varnel("analyze", str(repo), "--all", "--quiet").stdout
        assert "From 3 to 9 in this commit (6 resources added" in text and step[:12] in text

    def test_a_small_bump_after_a_large_step_is_not_the_step(self, repo):
        (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
        for day in range(1, 9):
            commit(repo, {"main.tf": _tf(3 + day % 2, f"v{day}")}, f"tune {day}", date=f"2026-03-{day:02d}T10:00:00Z")
        migration = commit(repo, {"main.tf": _tf(9, "m")}, "migrate the buckets", date="2026-03-09T10:00:00Z")
        bump = commit(repo, {"main.tf": _tf(10, "m")}, "one more bucket", date="2026-03-10T10:00:00Z")
        for day in range(11, 15):
            commit(repo, {"main.tf": _tf(10, f"v{day}")}, f"retag {day}", date=f"2026-03-{day:02d}T10:00:00Z")
        for window in (["--all"], ["--since", "2026-03-10"]):
            done = _report(repo, *window)
            named = [f["commit"] for f in done["findings"] if f["metric"] == "resource_count"]
            assert bump not in named and named in ([migration], [])

    def test_a_level_reached_before_the_window_is_one_line(self, repo):
        (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
        for day in range(1, 9):
            commit(repo, {"main.tf": _tf(3 + day % 2, f"v{day}")}, f"tune {day}", date=f"2026-01-{day:02d}T10:00:00Z")
        step = commit(repo, {"main.tf": _tf(9, "v9")}, "add six buckets", date="2026-01-09T10:00:00Z")
        for day in range(1, 5):  # months later, only retagging
            commit(repo, {"main.tf": _tf(9, f"w{day}")}, f"retag {day}", date=f"2026-04-{day:02d}T10:00:00Z")
        done = _report(repo)
        assert not [f for f in done["findings"] if f["metric"] == "resource_count"]
        withheld = [w for w in done["withheld"] if w["metric"] == "resource_count"]
        assert withheld and {w["reason"] for w in withheld} == {"lagging_level"}
        text = varnel("analyze", str(repo), "--quiet").stdout
        assert f"still 9 resources since commit {step[:12]} of 2026-01-09" in text

    def test_commits_of_one_second_are_read_in_the_history_order(self, repo):
        (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
        for day in range(1, 9):
            commit(repo, {"main.tf": _tf(2, f"v{day}")}, f"tune {day}", date=f"2026-03-{day:02d}T10:00:00Z")
        made = []
        for n in range(6):  # one second: the step in the middle
            made.append(commit(repo, {"main.tf": _tf(2 if n < 3 else 5, f"s{n}")}, f"same second {n}",
                               date="2026-03-09T10:00:00Z"))
        done = _report(repo, "--all")
        names = sorted(p.name for p in (repo / ".varnel" / "events").glob("config-*.json"))
        in_order = [name for name in names if any(sha in name for sha in made)]
        assert [next(sha for sha in made if sha in name) for name in in_order] == made
        steps = [f["commit"] for f in done["findings"] if f["metric"] == "resource_count"]
        assert steps == [made[3]]
        # A second run keeps the names, and so the order.
        assert sorted(p.name for p in (repo / ".varnel" / "events").glob("*.json")) == \
            sorted(p.name for p in (repo / ".varnel" / "events").glob("*.json"))
        _report(repo, "--all")
        assert sorted(p.name for p in (repo / ".varnel" / "events").glob("config-*.json")) == names


# --- changes of measure ----------------------------------------------------

def _requirements(n: int) -> str:
    return "".join(f"pkg{k}==1.{k}\n" for k in range(n))


def _uv_lock(n: int) -> str:
    return "version = 1\n" + "".join(f'[[package]]\nname = "pkg{k}"\nversion = "1.{k}"\n\n' for k in range(n))


class TestChangesOfMeasure:
    def test_counts_after_a_new_lock_are_compared_only_with_counts_made_the_same_way(self, repo):
        (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
        for day in range(1, 9):
            commit(repo, {"requirements.txt": _requirements(2 + day % 2)}, f"deps {day}",
                   date=f"2026-03-{day:02d}T10:00:00Z")
        switch = commit(repo, {"uv.lock": _uv_lock(60)}, "switch to uv", date="2026-03-09T10:00:00Z")
        for day in range(10, 14):
            commit(repo, {"uv.lock": _uv_lock(60 + day % 2)}, f"bump {day}", date=f"2026-03-{day:02d}T10:00:00Z")
        done = _report(repo, "--all")
        assert not [f for f in done["findings"] if f["family"] == "dependency"]
        reasons = {w["reason"] for w in done["withheld"] if w["family"] == "dependency"}
        assert reasons and reasons <= {"change_of_measure", "counted_otherwise"}
        text = varnel("analyze", str(repo), "--all", "--quiet").stdout
        assert f"counted from uv.lock since commit {switch[:12]}" in text
        verified = json.loads(varnel("verify", str(repo), "--all", "--format", "json", "--quiet").stdout)
        comparison = verified["verification"]
        assert not [c for name in ("persisting", "new", "regressions") for c in comparison[name]
                    if c["family"] == "dependency"]

    def test_a_manifest_of_another_format_is_a_change_of_measure(self, repo, tmp_path):
        from varnel.collect.dependencies import DependencySource
        from varnel.collect.history import collect_history

        commit(repo, {"requirements.txt": "a>=1\nb\n"}, "requirements", date="2026-03-01T10:00:00Z")
        commit(repo, {"requirements-dev.txt": "pytest==8.0\n"}, "more of the same", date="2026-03-02T10:00:00Z")
        git(repo, "rm", "-q", "requirements.txt")
        moved = commit(repo, {"pyproject.toml": '[project]\nname = "x"\ndependencies = ["a>=1", "b", "c"]\n'},
                       "to pyproject", date="2026-03-03T10:00:00Z")
        collect_history(repo, tmp_path / "ws", [DependencySource()])
        changed = {}
        for path in (tmp_path / "ws" / "events").glob("dependency-*.json"):
            event = json.loads(path.read_text())
            changed[event["payload"]["trigger"]["commit_sha"]] = bool(event["payload"].get("measure_changed"))
        assert [sha for sha, flag in changed.items() if flag] == [moved]


def test_verify_after_the_whole_history_lists_what_left_the_window(repo):
    (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
    for day in range(1, 12):
        files = {f"src/m{day % 3}.py": str(day)}
        if day == 6:
            files.update({f"docs/p{k}.md": "x" for k in range(30)})
        commit(repo, files, f"change {day}", date=f"2026-01-{day:02d}T10:00:00Z")
    earlier = _report(repo, "--all")
    assert earlier["advisory"]["changes"]
    for day in range(1, 4):
        commit(repo, {"src/late.py": str(day)}, f"late {day}", date=f"2026-06-{day:02d}T10:00:00Z")
    done = varnel("verify", str(repo), "--format", "json", "--quiet")
    comparison = json.loads(done.stdout)["verification"]
    gone = {(c["family"], c["metric"]) for c in comparison["left_window"]}
    assert gone >= {(c["family"], c["metric"]) for c in earlier["advisory"]["changes"]
                    if c["observed_at"] < "2026-06"}
    assert not comparison["resolved"]
