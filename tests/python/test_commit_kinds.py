"""Commit kinds read from a real repository's diffs and messages."""

import subprocess

import pytest

from varnel.worth.diffs import read_diffs
from varnel.worth.kinds import DESCRIPTIONS, KINDS, MECHANICAL, kind_of
from helpers import ENV, commit, git

MODULES = [f"src/m{k}.py" for k in range(1, 7)]
OWNERS = ["Alpha", "Beta Ltd", "Gamma", "Delta and others", "Epsilon", "Zeta"]
HEADER = "# SPDX-License-Identifier: MIT\n# Part of the example project.\n"


def module(k, year="2023", name="old_name", header=""):
    return (f"{header}# Copyright {'(c) ' if k % 2 else ''}{year} {OWNERS[k - 1]}\n"
            f"import helpers\n\n\ndef step_{k}(x):\n    return helpers.{name}(x, {k})\n")


LIMITS = {m: f"\nLIMIT_{k} = {k * 7}\n" for k, m in enumerate(MODULES, 1)}
IO = "".join(f"Y{k} = {k}\n" for k in range(10))
APP = "def run(items):\n    total = compute(items, scale=2, offset=1)\n    return total\n"


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    """A repository with one commit of each kind: {case: (message, sha, kind)}, and the repository."""
    r = tmp_path_factory.mktemp("kinds")
    git(r, "init", "-q", "-b", "main")
    commit(r, {**{m: module(k) for k, m in enumerate(MODULES, 1)}, "src/app.py": APP,
               "src/style.py": "def a():\n    return 1\n", "src/paths.py": "ROOT = '/'  # file system root\n",
               "src/util.py": "X = 1\n", "src/io.py": IO,
               "src/q1.py": "A = 'a'\n", "src/q2.py": "B = 'b'\n", "src/q3.py": "C = 'c'\n",
               "README.md": "# Example\n", "tests/test_app.py": "def test_run():\n    pass\n",
               "pyproject.toml": '[project]\nversion = "1.1.0"\ndependencies = ["httpx>=0.27"]\n',
               "uv.lock": 'name = "httpx"\nversion = "0.27.0"\n', "CHANGES.rst": "1.1.0\n-----\n"}, "Start")
    cases = {}

    def plant(case, kind, files, message):
        cases[case] = (message, commit(r, files, message), kind)

    plant("code", "code", {"src/app.py": APP + "\n\ndef stop():\n    return None\n"}, "Add stop")
    plant("re-wrap", "formatting", {"src/app.py": APP.replace(
        "compute(items, scale=2, offset=1)", "compute(\n        items,\n        scale=2,\n        offset=1\n    )")
        + "\n\ndef stop():\n    return None\n"}, "Wrap long call")
    plant("re-indent", "formatting", {"src/style.py": "def a():\n\treturn 1\n"}, "Tabs")
    plant("words joined", "code", {"src/paths.py": "ROOT = '/'  # filesystem root\n"}, "Spelling")
    plant("formatter run", "formatting", {f"src/q{k}.py": f'{"ABC"[k - 1]} = "{"abc"[k - 1]}"\n' for k in (1, 2, 3)},
          "Apply black to src")
    plant("licence header", "sweep", {m: module(k, header=HEADER) for k, m in enumerate(MODULES, 1)},
          "Add licence headers")
    plant("year bump", "sweep", {m: module(k, "2024", header=HEADER) for k, m in enumerate(MODULES, 1)},
          "Happy new year")
    plant("identifier renamed", "sweep",
          {m: module(k, "2024", "new_name", header=HEADER) for k, m in enumerate(MODULES, 1)}, "Rename old_name")
    plant("different changes", "code",
          {m: module(k, "2024", "new_name", header=HEADER) + LIMITS[m] for k, m in enumerate(MODULES, 1)}, "Limits")
    feature = "".join(f"\ndef extra_{k}(x):\n    return x * {k}\n" for k in range(10))
    plant("a feature beside a sweep", "code", {
        **{m: module(k, "2025", "newer_name", header=HEADER) + LIMITS[m] for k, m in enumerate(MODULES, 1)},
        "src/app.py": APP + "\n\ndef stop():\n    return None\n" + feature}, "Add extras, bump year")
    plant("two sweeps at once", "sweep",
          {m: module(k, "2026", "newest_name", header=HEADER) + LIMITS[m] for k, m in enumerate(MODULES, 1)},
          "Bump year, rename helper")
    plant("notices reworded", "sweep",  # a different old notice in each file: only comments changed
          {m: module(k, "2026", "newest_name", header=HEADER).replace(
              f"# Copyright {'(c) ' if k % 2 else ''}2026 {OWNERS[k - 1]}\n", "# Copyright the example authors\n")
           + LIMITS[m] for k, m in enumerate(MODULES, 1)}, "Tidy notices")
    plant("new files alike", "code", {f"src/p{k}/__init__.py": "from .core import run\n" for k in range(1, 7)},
          "Add packages")
    plant("formatting words on new code", "code",
          {f"src/big{n}.py": "".join(f"def f{k}(x):\n    return x + {k}\n" for k in range(35)) for n in (1, 2, 3)},
          "Format output tables")
    (r / "src" / "lib").mkdir()
    git(r, "mv", "src/util.py", "src/lib/util.py")
    git(r, "mv", "src/io.py", "src/lib/io.py")
    plant("files moved", "move", {"src/lib/io.py": IO.replace("Y0 = 0", "Y0 = 100")}, "Move helpers to lib")
    git(r, "mv", "src/lib/io.py", "src/io2.py")
    plant("moved and edited", "code", {"src/io2.py": IO.replace("Y0 = 0", "Y0 = 100").replace("Y1 =", "Z1 =")
                                       .replace("Y2 =", "Z2 =").replace("Y3 =", "Z3 =")}, "Rework io")
    plant("docs", "documentation", {"README.md": "# Example\n\nUsage.\n", "docs/guide.rst": "Guide\n=====\n",
                                    "CONTRIBUTORS": "Zoe\n"}, "Document usage")
    plant("tests", "tests", {"tests/test_app.py": "def test_run():\n    assert True\n",
                             "ui/Button.snap": "exports[`Button 1`] = `<button/>`;\n"}, "Test run")
    plant("dependency bump", "dependencies",
          {"pyproject.toml": '[project]\nversion = "1.1.0"\ndependencies = ["httpx>=0.28"]\n',
           "uv.lock": 'name = "httpx"\nversion = "0.28.1"\n'}, "Bump httpx from 0.27.0 to 0.28.1")
    plant("release prep", "release",
          {"CHANGES.rst": "1.2.0\n-----\n\n1.1.0\n-----\n",
           "pyproject.toml": '[project]\nversion = "1.2.0"\ndependencies = ["httpx>=0.28"]\n'}, "Prepare 1.2.0")
    plant("version in the manifest alone", "release",
          {"pyproject.toml": '[project]\nversion = "1.2.1"\ndependencies = ["httpx>=0.28"]\n'}, "Bump version to 1.2.1")
    plant("vendored", "generated", {"vendor/lib/left.js": "module.exports = 1;\n",
                                    "static/app.min.js": "var a=1;\n", "static/app.min.js.map": "{}\n"},
          "Vendor left")
    git(r, "revert", "--no-edit", cases["formatting words on new code"][1])
    revert = git(r, "rev-parse", "HEAD").decode().strip()
    cases["revert"] = (git(r, "log", "-1", "--format=%B", revert).decode(), revert, "revert")
    git(r, "revert", "--no-commit", cases["re-indent"][1])
    plant("revert under another subject", "revert", {},
          f"Back to spaces\n\nThis reverts commit {cases['re-indent'][1]}.")
    return r, cases


@pytest.fixture(scope="module")
def read(planted):
    r, cases = planted
    return read_diffs(r, [sha for _, sha, _ in cases.values()])


CASES = ["code", "re-wrap", "re-indent", "words joined", "formatter run", "licence header", "year bump",
         "identifier renamed", "different changes", "a feature beside a sweep", "two sweeps at once", "notices reworded", "new files alike",
         "formatting words on new code", "files moved", "moved and edited", "docs", "tests", "dependency bump",
         "release prep", "version in the manifest alone", "vendored", "revert", "revert under another subject"]


@pytest.mark.parametrize("case", CASES)
def test_each_planted_commit_has_its_kind(planted, read, case):
    message, sha, kind = planted[1][case]
    assert kind_of(message, read[sha]) == kind


def test_every_kind_is_planted_and_described(planted):
    assert set(planted[1]) == set(CASES)
    assert {kind for _, _, kind in planted[1].values()} == set(KINDS) == set(DESCRIPTIONS)
    assert MECHANICAL == set(KINDS) - {"code"}


def test_line_counts_renames_and_sweeps(planted, read):
    cases = planted[1]
    moved = read[cases["files moved"][1]]
    assert sorted((f.path, f.renamed_from, f.added, f.deleted) for f in moved.files) == [
        ("src/lib/io.py", "src/io.py", 1, 1), ("src/lib/util.py", "src/util.py", 0, 0)]
    header = read[cases["licence header"][1]]
    assert [(f.added, f.deleted) for f in header.files] == [(2, 0)] * 6 and header.sweep
    assert read[cases["re-wrap"][1]].whitespace_only and not read[cases["code"][1]].whitespace_only
    assert not read[cases["different changes"][1]].sweep


def test_odd_paths_and_binary_files(repo):
    name = "caf\u00e9 notes/my \"file\".txt"
    commit(repo, {name: "one\ntwo\nthree\n", "q.sql": "-- old\nSELECT 1;\n"}, "add")
    (repo / "logo.png").write_bytes(b"\x89PNG\r\n\x1a\n\0\0\1\2")
    sha = commit(repo, {name: "one\n2\nthree\nfour\n", "tab\there.txt": "x\n", "q.sql": "++ new\nSELECT 1;\n"},
                 "change")
    files = {f.path: f for f in read_diffs(repo, [sha])[sha].files}
    assert (files[name].added, files[name].deleted, files[name].binary) == (2, 1, False)
    assert files["logo.png"].binary and files["logo.png"].added == 0
    assert files["tab\there.txt"].added == 1
    assert (files["q.sql"].added, files["q.sql"].deleted) == (1, 1)  # lines that look like a diff's own


def test_a_partial_clone_gives_file_names_without_contents(repo, tmp_path):
    git(repo, "config", "uploadpack.allowFilter", "true")
    commit(repo, {"README.md": "a\n"}, "one")
    sha = commit(repo, {"README.md": "b\n", "docs/x.rst": "x\n"}, "two")
    clone = tmp_path / "clone"
    subprocess.run(["git", "clone", "-q", "--filter=blob:none", "--no-checkout", f"file://{repo}", str(clone)],
                   env=ENV, check=True)
    diff = read_diffs(clone, [sha])[sha]
    assert not diff.readable and sorted(f.path for f in diff.files) == ["README.md", "docs/x.rst"]
    assert kind_of("two", diff) == "documentation"
