"""The defect label, the risk ranking and the gate on histories with planted bugs."""

import json
import random
import subprocess

import pytest

from varnel.collect.git import collect_git
from varnel.config import Config
from varnel.run.events import EventIndex
from varnel.worth import facts, szz
from varnel.worth.facts import read_commits
from varnel.worth.track_record import closed
from varnel.workspace import claim
from helpers import ENV, commit, git, varnel

DAY = 86400


def test_a_fix_blames_the_commits_that_last_changed_its_code_lines(repo, monkeypatch):
    body = "".join(f"x{i} = {i}\n" for i in range(10))
    first = commit(repo, {"app.py": body, "README.md": "words\n"}, "start", date="2025-01-01T00:00:00Z")
    buggy = commit(repo, {"app.py": body.replace("x3 = 3", "x3 = 33")}, "tune x3", date="2025-01-02T00:00:00Z")
    noted = commit(repo, {"app.py": body.replace("x3 = 3", "x3 = 33") + "# a note\n\n",
                          "README.md": "other words\n"}, "note", date="2025-01-03T00:00:00Z")
    fix = commit(repo, {"app.py": body, "README.md": "fixed words\n"}, "fix crash in x3 (#12)",
                 date="2025-01-04T00:00:00Z")
    ws = claim(repo / ".varnel")
    collect_git(repo, ws)
    commits = read_commits(repo, ws, Config(), EventIndex.read(ws))
    # The fix restores x3 and drops the comment and the blank line: only the code line is blamed,
    # and the documentation it also rewrote is not code.
    assert szz.label(repo, ws, commits) == {fix: [buggy]}
    assert {first, noted}.isdisjoint(szz.label(repo, ws, commits)[fix])
    assert [(c.kind, c.added, c.deleted) for c in commits] == [("code", 11, 0), ("code", 1, 1), ("code", 3, 1),
                                                              ("code", 2, 4)]
    # Blame and diffs are kept: a later run blames and reads nothing again.
    monkeypatch.setattr(szz, "blamed_by", lambda *a: pytest.fail("blamed again"))
    monkeypatch.setattr("varnel.worth.diffs._patches", lambda *a: pytest.fail("read again"))
    assert szz.label(repo, ws, commits) == {fix: [buggy]}
    again = read_commits(repo, ws, Config(), EventIndex.read(ws))
    assert [(c.kind, c.added, c.deleted) for c in again] == [(c.kind, c.added, c.deleted) for c in commits]


def test_diffs_read_a_few_at_a_time_give_the_same_facts(repo, tmp_path, monkeypatch):
    for day in range(1, 6):
        commit(repo, {"app.py": "".join(f"x{i} = {i * day}\n" for i in range(day * 3)), f"doc{day}.md": "text\n"},
               f"change {day}", date=f"2025-01-0{day}T00:00:00Z")
    git(repo, "mv", "doc1.md", "moved.md")
    commit(repo, {}, "move", date="2025-01-07T00:00:00Z")
    facts_of = {}
    for name, at_once in (("whole", 1000), ("one-by-one", 1)):
        monkeypatch.setattr(facts, "_DIFFS_AT_ONCE", at_once)
        ws = claim(tmp_path / name)
        collect_git(repo, ws)
        facts_of[name] = [(c.sha, c.kind, c.added, c.deleted, c.entropy, c.files)
                          for c in read_commits(repo, ws, Config(), EventIndex.read(ws))]
    assert facts_of["one-by-one"] == facts_of["whole"] and len(facts_of["whole"]) == 6


def test_blame_reads_odd_paths_large_fixes_and_never_runs_the_repositorys_commands(repo, tmp_path):
    marker = tmp_path / "ran"
    git(repo, "config", "diff.evil.textconv", f"touch {marker}; cat")
    many = "".join(f"k{i} = {i}\n" for i in range(3000))
    sql = "select 1;\n-- the old way\nselect 2;\n"
    base = commit(repo, {".gitattributes": "*.py diff=evil\n", "my file.py": "a = 1\nb = 2\n", "caf\u00e9.py": many,
                         "q.sql": sql}, "start", date="2025-01-01T00:00:00Z")
    # The fix rewrites a line of a path with a space, every other line of a large file (1,500 blame
    # ranges) and SQL lines that begin with dashes, which a patch writes like a file header.
    fix = commit(repo, {"my file.py": "a = 1\nb = 3\n",
                        "caf\u00e9.py": "".join(f"k{i} = {i}\n" if i % 2 else f"k{i} = -{i}\n" for i in range(3000)),
                        "q.sql": "select 1;\nselect 3;\n"}, "fix the sums", date="2025-01-02T00:00:00Z")
    ws = claim(repo / ".varnel")
    collect_git(repo, ws)
    deleted = szz.deleted_lines(repo, fix)
    assert deleted["my file.py"] == [2] and len(deleted["caf\u00e9.py"]) == 1500
    assert deleted["q.sql"] == [3]  # the comment, written "--- the old way" in the patch, is no file header
    assert szz.label(repo, ws, read_commits(repo, ws, Config(), EventIndex.read(ws))) == {fix: [base]}
    assert not marker.exists()


def fast_history(repo, n, seed=7):
    """`n` commits a day apart written with git fast-import: most small, one in
    eight large and risky, its middle line later changed by a fix commit."""
    rng = random.Random(seed)
    files = {f"src/m{i}.py": [f"v{i}_{j} = {j}\n" for j in range(20)] for i in range(30)}
    stream, mark, risky = [], 0, []
    start = 1_600_000_000

    def emit(message, changed, when):
        nonlocal mark
        mark += 1
        stream.append(f"commit refs/heads/main\nmark :{mark}\n"
                      f"author Dev{rng.randint(0, 4)} <d@example.com> {when} +0000\n"
                      f"committer Dev <d@example.com> {when} +0000\n"
                      f"data {len(message.encode())}\n{message}\n")
        if mark > 1:
            stream.append(f"from :{mark - 1}\n")
        for path in changed:
            data = "".join(files[path])
            stream.append(f"M 100644 inline {path}\ndata {len(data.encode())}\n{data}\n")

    for k in range(n):
        when = start + k * DAY
        if k % 8 == 4:
            chosen = rng.sample(sorted(files), 12)
            for path in chosen:
                files[path] = files[path] + [f"extra_{k}_{j} = {j}\n" for j in range(40)]
            emit(f"rework {k}", chosen, when)
            risky.append((k, chosen))
        elif risky and risky[0][0] + 2 <= k and k % 8 in (6, 7):
            _, chosen = risky.pop(0)
            path = chosen[0]
            files[path][-20] = files[path][-20].replace("=", "= 1 +")
            emit(f"fix crash in {path}", [path], when)
        else:
            path = rng.choice(sorted(files))
            files[path][rng.randrange(20)] = f"w_{k} = {k}\n"
            emit(f"tweak {k}", [path], when)
    subprocess.run(["git", "-C", str(repo), "fast-import", "--quiet"], input="".join(stream).encode(), check=True,
                   env=ENV)
    subprocess.run(["git", "-C", str(repo), "reset", "-q", "--hard", "main"], check=True, env=ENV)


def test_the_ranking_learns_which_commits_get_blamed_and_says_why(repo):
    fast_history(repo, 640)
    done = varnel("analyze", "--all", "--format", "json", "--quiet", str(repo))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    ranking = json.loads((repo / ".varnel" / "eval.json").read_text())["ranking"]
    assert ranking["source"] == "here" and ranking["held_out"]["auc"] > 0.8
    looks = report["second_look"]
    # The top 5% of 640 commits, the riskiest first, each a large rework with its reasons.
    assert 29 <= len(looks) <= 35
    assert [look["risk"] for look in looks] == sorted((look["risk"] for look in looks), reverse=True)
    subjects = dict(line.split(" ", 1) for line in subprocess.run(
        ["git", "-C", str(repo), "log", "--format=%H %s"], capture_output=True, text=True, env=ENV).stdout.splitlines())
    assert all(subjects[look["commit"]].startswith("rework") for look in looks)
    assert all(any("touches 12 files" in r or "adds 480 lines" in r for r in look["reasons"]) for look in looks)
    assert ranking["held_out"]["top"] >= 10
    assert report["level"] == "review"  # measured here at more than twice the average
    text = varnel("analyze", "--all", "--quiet", str(repo)).stdout
    assert "Worth a second look" in text and f"and {len(looks) - 10} more" in text and "times the average" in text


def test_a_young_history_uses_the_shipped_prior_and_says_so(repo):
    for k in range(12):
        commit(repo, {f"f{k % 3}.py": f"v = {k}\n" * (k + 1)}, f"change {k}", date=f"2026-01-{k + 1:02d}T00:00:00Z")
    done = varnel("analyze", "--all", "--quiet", str(repo))
    assert done.returncode == 0, done.stderr
    ranking = json.loads((repo / ".varnel" / "eval.json").read_text())["ranking"]
    assert ranking["source"] == "prior" and ranking["held_out"] is None
    assert "fitted on public histories and is not yet measured here" in done.stdout
    # Nothing is far from normal and an unmeasured ranking raises no level: a gate on "watch" passes.
    assert "Nothing in this window is far from its normal." in done.stdout
    gate = varnel("analyze", "--all", "--quiet", "--format", "json", "--fail-on", "watch", str(repo))
    assert json.loads(gate.stdout)["level"] == "all_clear" and gate.returncode == 0


def test_the_bug_label_leaves_out_the_newest_90_days():
    from varnel.worth.features import Commit
    commits = [Commit(str(k), k * DAY, "a", "m", ["f"]) for k in range(200)]
    assert [c.sha for c in closed(commits, "szz", 14)] == [str(k) for k in range(110)]
    assert len(closed(commits, "fix_touched", 14)) == 186
    assert Config().quiet_metrics == ("git/change_locality", "deployment/release_cadence_hours")


@pytest.mark.parametrize("also_code", [False, True])
def test_a_dependency_step_of_a_lock_only_commit_is_set_apart(repo, also_code):
    packages = [f"pkg{i}==1.0\n" for i in range(60)]
    for k in range(10):
        commit(repo, {"requirements.txt": "".join(packages[:k + 2]), "app.py": f"v = {k}\n"}, f"work {k}",
               date=f"2026-01-{k + 1:02d}T00:00:00Z")
    step = {"requirements.txt": "".join(packages)}
    if also_code:
        step["app.py"] = "v = 'new'\n"
    sha = commit(repo, step, "pull in the toolkit", date="2026-01-20T00:00:00Z")
    done = varnel("analyze", "--all", "--quiet", "--format", "json", "--fail-on", "review", str(repo))
    report = json.loads(done.stdout)
    found = [f for f in report["findings"] if f["metric"] == "dependency_count"]
    assert [(f["commit"], f["commit_kind"]) for f in found] == [(sha, "code" if also_code else "dependencies")]
    if also_code:  # a step of the project's own work is a concern of another family: a review
        assert found[0]["concern"] and report["level"] == "review" and done.returncode == 1
    else:  # mechanical work: one line, never a concern, and no more than a watch
        assert found[0]["kind"] == "mechanical" and not found[0]["concern"]
        assert report["level"] == "watch" and done.returncode == 0
        text = varnel("analyze", "--all", "--quiet", str(repo)).stdout
        assert f"Set apart as mechanical work, never a concern: Dependencies / Total Dependencies (commit {sha[:12]}, " \
               "dependency update only)." in text
