"""What of a repository's history is its own, and how the history events
say so: unrelated histories, fixtures and workspaces, files varnel cannot
read, changes of measure and breakage, as the collectors and the report give them."""

import json

import pytest

from varnel.collect.dependencies import DependencySource
from varnel.collect.git import collect_git
from varnel.collect.history import collect_history
from varnel.collect.terraform import TerraformSource
from varnel.config import Config
from helpers import by_family, commit, events, git, varnel


def cargo_lock(packages, member="app"):
    """A Cargo.lock of one workspace member depending on each (name, version) crate."""
    out = f'version = 3\n\n[[package]]\nname = "{member}"\nversion = "0.1.0"\ndependencies = [\n'
    out += "".join(f' "{name}",\n' for name, _ in packages) + "]\n"
    for name, version in packages:
        out += (f'\n[[package]]\nname = "{name}"\nversion = "{version}"\n'
                'source = "registry+https://github.com/rust-lang/crates.io-index"\n')
    return out


def crates(prefix, n, version="1.0.0"):
    return [(f"{prefix}{k}", version) for k in range(n)]


def uv_lock(packages, extra=""):
    """A uv.lock of the editable project "app" depending on each (name, version)."""
    out = ('version = 1\nrequires-python = ">=3.9"\n\n[[package]]\nname = "app"\nversion = "0.1.0"\n'
           'source = { editable = "." }\ndependencies = [\n')
    out += "".join(f'    {{ name = "{name}" }},\n' for name, _ in packages) + "]\n"
    for name, version in packages:
        out += (f'\n[[package]]\nname = "{name}"\nversion = "{version}"\n'
                'source = { registry = "https://pypi.org/simple" }\n')
    return out + extra


def dependencies(repo, ws, config=None):
    return collect_history(repo, ws, [DependencySource()], config)


def only_snapshot(repo, ws):
    result = dependencies(repo, ws)
    event, = by_family(ws, "dependency")
    return result, event["payload"]


class TestUnrelatedHistories:
    @pytest.fixture
    def merged(self, repo):
        """main with a library's own history merged in below parser/, as a subtree."""
        ours = [commit(repo, {"requirements.txt": "a==1\n"}, "start", date="2026-01-01T00:00:00Z"),
                commit(repo, {"src/a.py": "1"}, "code", date="2026-01-02T00:00:00Z")]
        git(repo, "checkout", "-q", "--orphan", "other")
        git(repo, "rm", "-rfq", ".")
        theirs = [commit(repo, {"Cargo.toml": '[package]\nname = "app"\nversion = "0.1.0"\n',
                                "Cargo.lock": cargo_lock(crates("c", 40))}, "lib start", date="2025-06-01T00:00:00Z"),
                  commit(repo, {"Cargo.lock": cargo_lock(crates("c", 45))}, "lib grows", date="2025-07-01T00:00:00Z")]
        git(repo, "checkout", "-q", "main")
        git(repo, "merge", "-q", "-s", "ours", "--no-commit", "--allow-unrelated-histories", "other")
        git(repo, "read-tree", "--prefix=parser/", "-u", "other")
        git(repo, "commit", "-q", "-m", "Merge the parser as a subtree", date="2026-01-03T00:00:00Z")
        merge = git(repo, "rev-parse", "HEAD").decode().strip()
        ours.append(commit(repo, {"src/b.py": "1"}, "after", date="2026-01-04T00:00:00Z"))
        return ours, theirs, merge

    def test_commits_are_left_out_unless_the_settings_keep_them(self, repo, tmp_path, merged):
        ours, theirs, _ = merged
        ws = tmp_path / "ws"
        result = collect_git(repo, ws)
        assert (result.commits, result.unrelated) == (3, 2)
        assert set(events(ws)) == set(ours)
        assert any("keep_unrelated_histories" in w for w in result.warnings)
        kept = collect_git(repo, ws, config=Config(keep_unrelated_histories=True))
        assert (kept.added, kept.unrelated) == (2, 0)
        assert set(events(ws)) == set(ours + theirs)
        # The same workspace follows the setting back: the other project's events go.
        again = collect_git(repo, ws)
        assert again.removed == 2 and set(events(ws)) == set(ours)

    def test_the_other_tree_is_never_a_dependency_snapshot(self, repo, tmp_path, merged):
        ours, theirs, merge = merged
        dependencies(repo, tmp_path / "ws")
        found = by_family(tmp_path / "ws", "dependency")
        assert [e["payload"]["trigger"]["commit_sha"] for e in found] == [ours[0], merge]
        # Merged in, the library is a directory of the project from then on.
        assert [m["directory"] for m in found[-1]["payload"]["manifests"]] == [".", "parser"]


class TestWhatBelongsToTheProject:
    def test_fixtures_and_directories_outside_a_cargo_workspace(self, repo, tmp_path):
        commit(repo, {"Cargo.toml": '[workspace]\nmembers = ["crates/*"]\n',
                      "Cargo.lock": cargo_lock(crates("dep", 3), member="a"),
                      "crates/a/Cargo.toml": '[package]\nname = "a"\nversion = "0.1.0"\n\n[dependencies]\ndep0 = "1"\n',
                      # Deliberately broken test data and examples: never read, never warned of.
                      "tests/testsuite/foo/in/Cargo.toml": "[package\n",
                      "tests/testsuite/foo/in/Cargo.lock": "[[package]\n",
                      "examples/demo/package.json": "{not json",
                      "tools/other/Cargo.toml": '[package]\nname = "other"\nversion = "0.1.0"\n',
                      "tools/other/Cargo.lock": cargo_lock(crates("tool", 5), member="other")}, "c")
        result, payload = only_snapshot(repo, tmp_path / "ws")
        assert result.warnings == [] and "unreadable" not in payload
        assert payload["manifests"] == [{"directory": ".", "ecosystem": "cargo", "total_count": 3,
                                         "direct_count": 3, "max_depth": 1}]
        assert payload["counted_from"] == ["Cargo.lock"]
        assert [d["name"] for d in payload["dependencies"]] == ["dep0", "dep1", "dep2"]

    def test_the_top_manifest_counts_beside_a_lock_elsewhere(self, repo, tmp_path):
        commit(repo, {"Cargo.toml": '[package]\nname = "cargo"\nversion = "0.1.0"\n\n'
                                    '[dependencies]\nserde = "1"\nanyhow = "1"\n',
                      "crates/mdman/Cargo.toml": '[package]\nname = "mdman"\nversion = "0.1.0"\n',
                      "crates/mdman/Cargo.lock": cargo_lock(crates("md", 4), member="mdman")}, "c")
        _, payload = only_snapshot(repo, tmp_path / "ws")
        assert [(m["directory"], m["total_count"]) for m in payload["manifests"]] == [(".", 2), ("crates/mdman", 4)]
        assert payload["counted_from"] == ["Cargo.toml", "crates/mdman/Cargo.lock"]
        assert payload["snapshot"]["total_count"] == 6

    @pytest.mark.parametrize("files, counted", [
        pytest.param({"package.json": '{"workspaces": ["packages/*"], "dependencies": {"a": "^1"}}',
                      "packages/ui/package.json": '{"dependencies": {"b": "^1"}}',
                      "tools/script/package.json": '{"dependencies": {"c": "^1"}}'},
                     [".", "packages/ui"], id="npm"),
        pytest.param({"pnpm-workspace.yaml": 'packages: ["apps/*", "!apps/legacy"]\n',
                      "package.json": '{"dependencies": {"a": "^1"}}',
                      "apps/web/package.json": '{"dependencies": {"b": "^1"}}',
                      "apps/legacy/package.json": '{"dependencies": {"c": "^1"}}',
                      "tools/x/package.json": '{"dependencies": {"d": "^1"}}'},
                     [".", "apps/web"], id="pnpm"),
        pytest.param({"pyproject.toml": '[project]\nname = "app"\ndependencies = ["a"]\n\n'
                                        '[tool.uv.workspace]\nmembers = ["libs/*"]\n',
                      "libs/core/pyproject.toml": '[project]\nname = "core"\ndependencies = ["b"]\n',
                      "scripts/pyproject.toml": '[project]\nname = "scripts"\ndependencies = ["c"]\n',
                      "tools/x/requirements.txt": "d==1\n"},
                     [".", "libs/core"], id="uv"),
    ])
    def test_a_declared_workspace_defines_the_project(self, repo, tmp_path, files, counted):
        commit(repo, files, "c")
        _, payload = only_snapshot(repo, tmp_path / "ws")
        assert [m["directory"] for m in payload["manifests"]] == counted
        assert [d["name"] for d in payload["dependencies"]] == ["a", "b"]


NUMPY_EDGES = """\
    { name = "numpy", version = "1.9.3", marker = "python_full_version < '3.10'" },
    { name = "numpy", version = "1.26.4", marker = "python_full_version >= '3.10'" },
"""
FORKS = """
[[package]]
name = "numpy"
version = "1.9.3"
source = { registry = "https://pypi.org/simple" }
resolution-markers = ["python_full_version < '3.10'"]

[[package]]
name = "numpy"
version = "1.26.4"
source = { registry = "https://pypi.org/simple" }
resolution-markers = ["python_full_version >= '3.10'"]
"""


class TestLockFormats:
    def test_uv_forks_are_one_package_and_npm_nested_versions_two(self, repo, tmp_path):
        # uv resolves numpy apart for old and new interpreters; one of them is installed.
        forks = uv_lock([("requests", "2.32.3")], extra=FORKS).replace(
            '    { name = "requests" },\n', '    { name = "requests" },\n' + NUMPY_EDGES)
        nested = {"": {"name": "web", "dependencies": {"a": "^1", "b": "^1"}},
                  "node_modules/a": {"version": "1.0.0", "dependencies": {"c": "^2"}},
                  "node_modules/c": {"version": "2.0.0"},
                  "node_modules/b": {"version": "1.0.0", "dependencies": {"c": "^1"}},
                  "node_modules/b/node_modules/c": {"version": "1.0.0"}}
        commit(repo, {"pyproject.toml": '[project]\nname = "app"\ndependencies = ["numpy", "requests"]\n',
                      "uv.lock": forks,
                      "web/package-lock.json": json.dumps({"lockfileVersion": 3, "packages": nested})}, "c")
        _, payload = only_snapshot(repo, tmp_path / "ws")
        assert {m["directory"]: m["total_count"] for m in payload["manifests"]} == {".": 2, "web": 4}
        found = sorted((d["ecosystem"], d["name"], d["version"]) for d in payload["dependencies"])
        assert found == [("npm", "a", "1.0.0"), ("npm", "b", "1.0.0"), ("npm", "c", "1.0.0"), ("npm", "c", "2.0.0"),
                         ("pip", "numpy", "1.26.4"), ("pip", "requests", "2.32.3")]

    def test_bun_lock_with_workspaces_and_nested_packages(self, repo, tmp_path):
        bun = """{
  "lockfileVersion": 1,
  "workspaces": {
    "": {
      "name": "app",
      "dependencies": {"react": "^18.3.0", "x": "workspace:*",},
      "devDependencies": {"typescript": "^5.4.0",},
    },
    "packages/x": {
      "name": "x",
      "dependencies": {"lodash": "^4.17.0", "js-tokens": "^4.0.0",},
    },
  },
  "packages": {
    "react": ["react@18.3.1", "", {"dependencies": {"loose-envify": "^1.1.0",},}, "sha512-aa=="],
    "loose-envify": ["loose-envify@1.4.0", "", {"dependencies": {"js-tokens": "^3.0.0",},}, "sha512-bb=="],
    "loose-envify/js-tokens": ["js-tokens@3.0.2", "", {}, "sha512-cc=="],
    "js-tokens": ["js-tokens@4.0.0", "", {}, "sha512-dd=="],
    "typescript": ["typescript@5.4.5", "", {}, "sha512-ee=="],
    "lodash": ["lodash@4.17.21", "", {}, "sha512-ff=="],
    "x": ["x@workspace:packages/x"],
  },
}
"""
        commit(repo, {"package.json": '{"workspaces": ["packages/*"], "dependencies": {"react": "^18.3.0"}}',
                      "packages/x/package.json": '{"name": "x", "dependencies": {"lodash": "^4.17.0"}}',
                      "bun.lock": bun}, "c")
        _, payload = only_snapshot(repo, tmp_path / "ws")
        assert payload["counted_from"] == ["bun.lock"]
        # react -> loose-envify -> its own js-tokens 3, not the hoisted 4.
        assert payload["snapshot"] == {"total_count": 6, "direct_count": 4, "max_depth": 3}
        assert [(d["name"], d["version"], d["direct"]) for d in payload["dependencies"]] == [
            ("js-tokens", "3.0.2", False), ("js-tokens", "4.0.0", True), ("lodash", "4.17.21", True),
            ("loose-envify", "1.4.0", False), ("react", "18.3.1", True), ("typescript", "5.4.5", True)]


class TestUnread:
    def test_a_lock_varnel_does_not_read_is_named(self, repo, tmp_path):
        (repo / "bun.lockb").write_bytes(b"\x00\xffbun-lockfile-format-v0\x00" * 8)
        commit(repo, {"package.json": '{"dependencies": {"a": "^1"}}'}, "c")
        result, payload = only_snapshot(repo, tmp_path / "ws")
        assert payload["unread"] == ["bun.lockb"]
        assert any("bun.lockb" in w and "in a format varnel does not read" in w for w in result.warnings)

    def test_a_commit_adding_only_such_a_lock_is_an_observation(self, repo, tmp_path):
        commit(repo, {"package.json": '{"dependencies": {"a": "^1"}}'}, "c", date="2026-01-01T00:00:00Z")
        commit(repo, {"bun.lockb": "\x00binary"}, "switch to bun", date="2026-01-02T00:00:00Z")
        dependencies(repo, tmp_path / "ws")
        before, after = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        assert "unread" not in before and after["unread"] == ["bun.lockb"]

    def test_setup_py_is_named_only_where_nothing_else_was_read(self, repo, tmp_path):
        commit(repo, {"setup.py": "from setuptools import setup\nsetup(install_requires=['a'])\n",
                      "docs/requirements.txt": "mkdocs==1.6\n"}, "c", date="2026-01-01T00:00:00Z")
        commit(repo, {"pyproject.toml": '[project]\nname = "app"\ndependencies = ["a"]\n'}, "declare",
               date="2026-01-02T00:00:00Z")
        dependencies(repo, tmp_path / "ws")
        alone, beside = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        assert alone["unread"] == ["setup.py"]
        assert "unread" not in beside


class TestMeasureChanged:
    def test_a_lock_replacing_the_requirements(self, repo, tmp_path):
        locked = [(f"p{k}", "1.0.0") for k in range(10)]
        commit(repo, {"requirements.txt": "p0==1.0.0\np1==1.0.0\np2==1.0.0\n"}, "pins", date="2026-01-01T00:00:00Z")
        git(repo, "rm", "-q", "requirements.txt")
        switched = commit(repo, {"pyproject.toml": '[project]\nname = "app"\ndependencies = ["p0"]\n',
                                 "uv.lock": uv_lock(locked)}, "Move to uv", date="2026-01-02T00:00:00Z")
        commit(repo, {"uv.lock": uv_lock([("p0", "1.1.0")] + locked[1:])}, "Bump p0", date="2026-01-03T00:00:00Z")
        dependencies(repo, tmp_path / "ws")
        pins, lock, bump = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        assert pins["snapshot"]["total_count"] == 3 and "measure_changed" not in pins
        assert lock["measure_changed"] is True and lock["counted_from"] == ["uv.lock"]
        assert lock["snapshot"]["total_count"] == 10
        assert "measure_changed" not in bump and bump["diff"] == {"added": 0, "removed": 0, "updated": 1}

        done = varnel("analyze", "--quiet", "--all", "--format", "json", str(repo))
        assert done.returncode == 0, done.stderr
        notes = [n for n in json.loads(done.stdout)["notes"] if n["kind"] == "measure_changed"]
        assert [(n["family"], n["commit"], n["counted_from"]) for n in notes] == [
            ("dependency", switched, ["uv.lock"])]


def terraform(buckets):
    return "".join(f'resource "aws_s3_bucket" "b{k}" {{\n  bucket = "b{k}"\n}}\n' for k in range(buckets)) + \
        'resource "aws_iam_role" "r" {\n  name = "r"\n}\n'


class TestBreakage:
    @pytest.fixture
    def conflicted(self, repo):
        # Counts that vary, so that a true fall to 0 would stand out in the advisory.
        for i in range(8):
            commit(repo, {"main.tf": terraform(4 + [0, 1, 2, 1][i % 4])}, f"tune {i}",
                   date=f"2026-03-{i + 1:02d}T10:00:00Z")
        broken = commit(repo, {"main.tf": terraform(4) + '<<<<<<< HEAD\nresource "aws_sqs_queue" "q" {}\n'
                               '=======\nresource "aws_sqs_queue" "q" {\n  name = "b"\n}\n>>>>>>> branch\n'},
                        "Merge branch", date="2026-03-09T10:00:00Z")
        fixed = commit(repo, {"main.tf": terraform(4) + 'resource "aws_sqs_queue" "q" {\n  name = "b"\n}\n'},
                       "Resolve the conflict", date="2026-03-10T10:00:00Z")
        return broken, fixed

    def test_the_counts_are_unknown_not_zero(self, repo, tmp_path, conflicted):
        broken, fixed = conflicted
        collect_history(repo, tmp_path / "ws", [TerraformSource()])
        found = {e["payload"]["trigger"]["commit_sha"]: e["payload"] for e in by_family(tmp_path / "ws", "config")}
        assert found[broken]["structure"] == {"resource_count": None, "resource_types": None}
        assert "diff" not in found[broken]
        (entry,) = found[broken]["broken"]
        assert entry == {"file": "main.tf", "cause": entry["cause"], "line": 16}  # the first marker
        assert "line 16" in entry["cause"]
        assert found[fixed]["structure"] == {"resource_count": 6, "resource_types": 3}
        assert "diff" not in found[fixed]  # nothing complete to compare with

    def test_the_report_says_what_broke(self, repo, conflicted):
        broken, _ = conflicted
        text = varnel("analyze", "--quiet", "--all", str(repo))
        assert text.returncode == 0, text.stderr
        assert any("left main.tf unreadable" in line and broken[:12] in line for line in text.stdout.splitlines())
        report = json.loads(varnel("analyze", "--quiet", "--all", "--format", "json", str(repo)).stdout)
        notes = [n for n in report["notes"] if n["kind"] == "broken"]
        assert [(n["family"], n["commit"], [f["file"] for f in n["files"]]) for n in notes] == [
            ("config", broken, ["main.tf"])]
        changes = (report["advisory"] or {}).get("changes") or []
        assert not [c for c in changes if c.get("family") == "config" and c.get("current") == 0]


def test_a_file_unreadable_since_it_appeared_is_one_warning(repo, tmp_path):
    shas = [commit(repo, {"requirements.txt": "a==1\n", "tools/bad/package.json": "{not json"}, "c0",
                   date="2026-01-01T00:00:00Z")]
    shas += [commit(repo, {"requirements.txt": f"a==1\nb=={i}\n"}, f"c{i}", date=f"2026-01-{i + 1:02d}T00:00:00Z")
             for i in range(1, 12)]
    result = dependencies(repo, tmp_path / "ws")
    summary, full_list = result.warnings
    assert "tools/bad/" in summary and "12 commits" in summary
    assert full_list.endswith("collection-warnings.txt")
    listed = (tmp_path / "ws" / "collection-warnings.txt").read_text(encoding="utf-8")
    assert {line.split("\t")[1] for line in listed.splitlines()[1:] if "tools/bad/package.json" in line} == set(shas)


class TestBoundedReading:
    def test_a_manifest_past_the_size_limit_is_left_out_not_held(self, repo, tmp_path):
        from varnel.collect.history import FILE_SIZE_LIMIT

        huge = '{"dependencies": {"a": "1.0.0"}, "description": "' + "x" * FILE_SIZE_LIMIT + '"}'
        commit(repo, {"package.json": huge, "requirements.txt": "b==1\n"}, "c")
        result = dependencies(repo, tmp_path / "ws")
        payload, = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        assert payload["unreadable"] == ["package.json"] and payload["snapshot"]["total_count"] == 1
        assert "over the" in result.warnings[0]

    def test_a_long_dependency_list_keeps_every_direct_one_and_exact_counts(self, repo, tmp_path, monkeypatch):
        from varnel.collect import dependencies as source

        monkeypatch.setattr(source, "DEPENDENCY_LIST_LIMIT", 3)
        lock = {"lockfileVersion": 3, "packages": {
            "": {"dependencies": {"z": "1.0.0", "y": "1.0.0"}},
            **{f"node_modules/{n}": {"version": "1.0.0"} for n in "abcyz"}}}
        commit(repo, {"package-lock.json": json.dumps(lock)}, "c")
        dependencies(repo, tmp_path / "ws")
        payload, = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        assert payload["snapshot"]["total_count"] == 5 and payload["dependencies_listed"] == 3
        assert [d["name"] for d in payload["dependencies"]] == ["a", "y", "z"]

    def test_more_direct_dependencies_than_the_limit_are_cut_too(self, repo, tmp_path, monkeypatch):
        from varnel.collect import dependencies as source

        monkeypatch.setattr(source, "DEPENDENCY_LIST_LIMIT", 3)
        commit(repo, {"requirements.txt": "".join(f"p{i}==1.0\n" for i in range(6))}, "c")
        payload = only_snapshot(repo, tmp_path / "ws")[1]
        assert payload["snapshot"]["direct_count"] == 6 and payload["dependencies_listed"] == 3
        assert [d["name"] for d in payload["dependencies"]] == ["p0", "p1", "p2"]

    def test_an_event_past_the_engines_limit_is_named_on_every_run_never_written(self, repo, tmp_path,
                                                                                monkeypatch):
        from varnel.collect import events as writer

        commit(repo, {"requirements.txt": "a==1\n"}, "small")
        commit(repo, {"requirements.txt": "".join(f"package-{i}==1.0\n" for i in range(300))}, "large")
        monkeypatch.setattr(writer, "EVENT_SIZE_LIMIT", 20_000)
        ws = tmp_path / "ws"
        for _ in range(2):  # the second run reads nothing new and still says what is missing
            result = dependencies(repo, ws)
            assert [e["payload"]["snapshot"]["total_count"] for e in by_family(ws, "dependency")] == [1]
            assert any("1 history event (dependency-" in w and "it is left out" in w for w in result.warnings)

    def test_a_removed_event_is_collected_again(self, repo, tmp_path):
        commit(repo, {"requirements.txt": "a==1\n"}, "c")
        ws = tmp_path / "ws"
        dependencies(repo, ws)
        event_file, = (ws / "events").glob("dependency-*.json")
        event_file.unlink()
        result = dependencies(repo, ws)
        assert result.added == 1 and event_file.exists()
