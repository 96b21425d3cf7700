"""A pull request's window: `--range BASE..HEAD` and `--since-commit REV`
hold the commits the range adds and the events that came with them."""

import json

import pytest
from helpers import commit, git, one_line, sensitive, varnel
from varnel.cli import main

pytest.importorskip("varnel.advstage")


def requirements(count: int) -> dict[str, str]:
    return {"requirements.txt": "".join(f"pkg{i}==1.{i}\n" for i in range(count))}


def mainline(repo) -> list[str]:
    """Sixteen days of three or four requirements, thirty on the eleventh day."""
    return [commit(repo, {f"src/m{i % 3}.py": str(i), **requirements(30 if i == 10 else 3 + i % 2)}, f"change {i}",
                   date=f"2026-03-{i + 1:02d}T10:00:00+00:00") for i in range(16)]


@pytest.fixture
def pull(repo, tmp_path):
    """The mainline, then three commits of a pull request (the second brings
    forty requirements), a CI run ingested for the second and one for the
    base; returns (the mainline's commits, the pull request's)."""
    old = mainline(sensitive(repo))
    added = [commit(repo, {f"src/pr{i}.py": "x", **(requirements(40) if i == 1 else {})}, f"pr {i}",
                    date=f"2026-03-{20 + i:02d}T10:00:00+00:00") for i in range(3)]
    for sha, day in ((added[1], 21), (old[-1], 16)):
        run = tmp_path / f"run-{day}.json"
        run.write_text('{"duration_seconds": 60, "conclusion": "success"}')
        assert varnel("ingest", "ci", str(run), "--path", str(repo), "--commit", sha, "--quiet",
                      "--at", f"2026-03-{day}T11:00:00Z").returncode == 0
    return old, added


def report(capsys, repo, *options) -> tuple[int, str]:
    status = main(["analyze", str(repo), "--quiet", *options])
    return status, capsys.readouterr().out


def test_a_range_holds_the_commits_it_adds_and_what_came_with_them(pull, repo, capsys):
    old, added = pull
    base, head = old[-1], added[-1]
    status, out = report(capsys, repo, "--range", f"{base}..HEAD", "--format", "json")
    window = json.loads(out)["window"]
    assert status == 0 and window["range"] == {"base": base, "head": head, "commits": 3}
    assert window["description"] == "this pull request adds 3 commits"
    assert window["events"] == 5  # three commits, the dependency change of the second and its CI run
    found = json.loads(out)["findings"]
    assert found and {f["commit"] for f in found} <= set(added)
    assert any(f["family"] == "dependency" and f["commit"] == added[1] for f in found)

    _, out = report(capsys, repo, "--range", f"{base}..HEAD")
    assert out.splitlines()[1] == (f"Window: this pull request adds 3 commits ({base[:12]}..{head[:12]}, "
                                   "2026-03-20 to 2026-03-22), 5 events")

    # An older range reports its own dependency jump, never the pull request's.
    _, out = report(capsys, repo, "--range", f"{old[9]}..{old[11]}", "--format", "json")
    record = json.loads(out)
    assert record["window"]["range"]["commits"] == 2
    assert {f["commit"] for f in record["findings"]} == {old[10]}

    git(repo, "tag", "v1.4", base)
    _, out = report(capsys, repo, "--since-commit", "v1.4", "--format", "markdown")
    assert f"Window: the 3 commits since v1.4 ({base[:12]}..{head[:12]}, " in out

    _, out = report(capsys, repo, "--range", "HEAD..HEAD", "--format", "json")
    window = json.loads(out)["window"]
    assert (window["description"], window["events"], window["range"]["commits"]) == (
        "this pull request adds no commits", 0, 0)
    _, out = report(capsys, repo, "--range", "HEAD..HEAD")
    assert "this pull request adds no commits" in out.splitlines()[1]
    assert json.loads(report(capsys, repo, "--last", "2", "--format", "json")[1])["window"]["range"] is None


def test_with_a_merge_ref_the_merge_commit_brings_the_branch_changes(repo, capsys):
    """As GitHub checks a pull request out: a merge commit whose first parent is the base."""
    mainline(sensitive(repo))
    git(repo, "checkout", "-q", "-b", "feature")
    branch = [commit(repo, {"src/feature.py": "x", **requirements(40)}, "feature: forty requirements",
                     date="2026-03-20T10:00:00+00:00"),
              commit(repo, {"src/feature.py": "y"}, "feature: more", date="2026-03-21T10:00:00+00:00")]
    git(repo, "checkout", "-q", "main")
    base = commit(repo, {"src/main.py": "z"}, "main moves on", date="2026-03-21T12:00:00+00:00")
    git(repo, "merge", "-q", "--no-ff", "-m", "Merge feature", "feature", date="2026-03-22T10:00:00+00:00")
    merge = git(repo, "rev-parse", "HEAD").decode().strip()

    status, out = report(capsys, repo, "--range", f"{base}..{merge}", "--format", "json")
    record = json.loads(out)
    assert status == 0 and record["window"]["range"]["commits"] == 3  # the branch's two and the merge
    assert record["window"]["events"] == 3  # the branch's commits, and the dependency change of the merge
    dependency = [f for f in record["findings"] if f["family"] == "dependency"]
    assert dependency and {f["commit"] for f in dependency} == {merge}
    assert {f["commit"] for f in record["findings"]} <= {*branch, merge}


def test_a_range_varnel_cannot_hold_is_one_line(pull, repo):
    old, _ = pull
    git(repo, "branch", "elsewhere", old[5])
    git(repo, "checkout", "-q", "elsewhere")
    outside = commit(repo, {"side.py": "x"}, "not on main")
    git(repo, "checkout", "-q", "main")
    cases = {("--range", "nope..HEAD"): "'nope' names no commit",
             ("--since-commit", "nope"): "'nope' names no commit",
             ("--range", "HEAD~2...HEAD"): "is not a range BASE..HEAD",
             ("--range", "HEAD.."): "is not a range BASE..HEAD",
             ("--range", f"{old[5]}..{outside}"): "fetch-depth: 0"}
    for options, said in cases.items():
        done = varnel("analyze", "--quiet", str(repo), *options)
        assert done.returncode == 2 and one_line(done) and said in done.stderr, (options, done.stderr)
    both = varnel("analyze", "--quiet", str(repo), "--last", "3", "--range", "HEAD~1..HEAD")
    assert both.returncode == 2 and "not allowed with argument --last" in both.stderr


def test_verify_compares_over_the_range(pull, repo, capsys):
    old, added = pull
    assert report(capsys, repo, "--range", f"{old[-1]}..HEAD")[0] == 0
    assert main(["verify", str(repo), "--quiet", "--range", f"{old[-1]}..HEAD", "--format", "json"]) == 0
    record = json.loads(capsys.readouterr().out)
    assert record["window"]["range"]["commits"] == 3
    persisting = {(c["family"], c["metric"]) for c in record["verification"]["persisting"]}
    assert ("dependency", "dependency_count") in persisting
