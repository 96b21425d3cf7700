"""The git collector against real repositories built in temporary folders."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from varnel.collect.git import collect_git
from varnel.git import CollectError
from helpers import ENV, commit, events, git

class TestCommitEvents:
    def test_event_fields(self, repo, tmp_path):
        sha = commit(repo, {"src/a.py": "1"}, "Add a\n\nWith a body.", date="2026-03-01T10:00:00+02:00")
        result = collect_git(repo, tmp_path / "ws")
        assert (result.commits, result.added, result.removed) == (1, 1, 0)
        event = events(tmp_path / "ws")[sha]
        assert event["source_type"] == "git" and event["source_family"] == "version_control"
        assert event["observed_at"] == "2026-03-01T08:00:00Z"
        payload = event["payload"]
        assert payload["files"] == ["src/a.py"]
        assert payload["message"] == "Add a\n\nWith a body."
        assert payload["author"] == "Zo\u00eb Dev <zoe@example.com>"
        assert payload["committed_at"] == "2026-03-01T10:00:00+02:00"
        assert payload["attestation"] == {"commit_hash": sha, "message": payload["message"], "author": payload["author"]}

    def test_odd_paths_survive(self, repo, tmp_path):
        names = ["with space.txt", 'quo"te.txt', "caf\u00e9/\u00fc.md", "new\nline.txt"]
        sha = commit(repo, {n: "x" for n in names}, "odd")
        raw = b"bad-\xff.bin"
        (repo / os.fsdecode(raw)).write_text("x")
        sha2 = commit(repo, {}, "raw bytes")
        collect_git(repo, tmp_path / "ws")
        got = events(tmp_path / "ws")
        assert sorted(got[sha]["payload"]["files"]) == sorted(names)
        assert got[sha2]["payload"]["files"] == [os.fsdecode(raw)]
        [file] = (tmp_path / "ws" / "events").glob(f"git-*{sha2}.json")  # both made in one second: named by place
        text = file.read_text(encoding="utf-8")
        assert "\\udcff" in text  # kept exactly, as an escape

    def test_renames_are_listed_by_new_path_and_merges_skipped(self, repo, tmp_path):
        commit(repo, {"old.txt": "content\n" * 20}, "base")
        git(repo, "checkout", "-q", "-b", "side")
        git(repo, "mv", "old.txt", "new.txt")
        renamed = commit(repo, {"new.txt": "content\n" * 19 + "changed\n"}, "rename")  # moved and changed
        git(repo, "checkout", "-q", "main")
        commit(repo, {"other.txt": "o"}, "other")
        git(repo, "merge", "-q", "--no-ff", "-m", "merge side", "side")
        collect_git(repo, tmp_path / "ws")
        got = events(tmp_path / "ws")
        assert len(got) == 3
        assert got[renamed]["payload"]["files"] == ["new.txt"]
        assert all(e["payload"]["message"] != "merge side" for e in got.values())

    def test_empty_commit_and_empty_repository(self, repo, tmp_path):
        assert collect_git(repo, tmp_path / "ws").commits == 0
        sha = commit(repo, {}, "nothing")
        collect_git(repo, tmp_path / "ws")
        assert events(tmp_path / "ws")[sha]["payload"]["files"] == []


class TestIncremental:
    def test_second_run_reads_only_new_commits(self, repo, tmp_path):
        for i in range(3):
            commit(repo, {f"f{i}": "x"}, f"c{i}")
        assert collect_git(repo, tmp_path / "ws").added == 3
        commit(repo, {"f3": "x"}, "c3")
        result = collect_git(repo, tmp_path / "ws")
        assert (result.commits, result.added, result.removed) == (4, 1, 0)

    def test_rewritten_history_replaces_dropped_commits(self, repo, tmp_path):
        first = commit(repo, {"a": "1"}, "a")
        dropped = commit(repo, {"b": "1"}, "b")
        collect_git(repo, tmp_path / "ws")
        git(repo, "reset", "-q", "--hard", first)
        kept = commit(repo, {"c": "1"}, "c")
        result = collect_git(repo, tmp_path / "ws")
        assert (result.added, result.removed) == (1, 1)
        assert set(events(tmp_path / "ws")) == {first, kept}
        assert dropped not in events(tmp_path / "ws")

    def test_shallow_clone_is_reported(self, repo, tmp_path):
        for i in range(4):
            commit(repo, {f"f{i}": "x"}, f"c{i}")
        clone = tmp_path / "clone"
        subprocess.run(["git", "clone", "-q", "--depth", "2", f"file://{repo}", str(clone)], check=True, env=ENV)
        result = collect_git(clone, tmp_path / "ws")
        assert result.shallow and result.commits == 2
        assert "shallow clone" in result.warnings[0]

    def test_a_commit_too_large_for_one_event_is_named_on_every_run(self, repo, tmp_path, monkeypatch):
        from varnel.collect import events as writer

        small = commit(repo, {"a": "1"}, "small")
        large = commit(repo, {f"dir/file-{i}.txt": "1" for i in range(400)}, "large")
        monkeypatch.setattr(writer, "EVENT_SIZE_LIMIT", 10_000)
        for _ in range(2):
            result = collect_git(repo, tmp_path / "ws")
            assert set(events(tmp_path / "ws")) == {small}
            assert any(large[:12] in w and "left out" in w for w in result.warnings)

    def test_not_a_repository(self, tmp_path):
        with pytest.raises(CollectError, match="not a git repository"):
            collect_git(tmp_path, tmp_path / "ws")

    def test_missing_objects_are_an_error_not_an_undercount(self, repo, tmp_path):
        for i in range(3):
            commit(repo, {f"f{i}": "x"}, f"c{i}")
        tree = git(repo, "rev-parse", "HEAD~1^{tree}").decode().strip()
        obj = repo / ".git" / "objects" / tree[:2] / tree[2:]
        obj.chmod(0o644)
        obj.unlink()
        with pytest.raises(CollectError):
            collect_git(repo, tmp_path / "ws")


class TestSettings:
    def test_excluded_paths_and_bot_commits(self, repo, tmp_path):
        from varnel.config import Config

        human = commit(repo, {"src/a.py": "1", "vendor/lib/x.c": "1", "poetry.lock": "1"}, "work")
        env_bot = dict(ENV, GIT_AUTHOR_NAME="dependabot[bot]")
        (repo / "req.txt").write_text("x")
        subprocess.run(["git", "-C", str(repo), "add", "-A"], env=env_bot, check=True)
        subprocess.run(["git", "-C", str(repo), "commit", "-q", "-m", "bump"], env=env_bot, check=True)
        result = collect_git(repo, tmp_path / "ws", config=Config())
        assert (result.commits, result.added, result.passed_over) == (2, 1, 1)
        assert events(tmp_path / "ws")[human]["payload"]["files"] == ["src/a.py"]
        assert collect_git(repo, tmp_path / "ws", config=Config()).added == 0  # the bot commit stays passed over
        # Other settings collect the history afresh.
        result = collect_git(repo, tmp_path / "ws", config=Config(exclude_paths=(), bot_authors=()))
        assert result.added == 2
        assert sorted(events(tmp_path / "ws")[human]["payload"]["files"]) == ["poetry.lock", "src/a.py",
                                                                              "vendor/lib/x.c"]

    def test_a_pure_move_is_a_rename_not_a_change(self, repo, tmp_path):
        commit(repo, {f"src/doc/page{k}.md": f"page {k}\n" * 20 for k in range(5)} | {"src/a.py": "1\n"}, "docs")
        git(repo, "mv", "src/doc", "doc")
        (repo / "doc" / "page0.md").write_text("page 0\n" * 19 + "edited\n")
        (repo / "src" / "a.py").write_text("2\n")
        sha = commit(repo, {}, "Move the docs")
        payload = events(tmp_path / "ws")[sha]["payload"] if collect_git(repo, tmp_path / "ws") else None
        assert sorted(payload["files"]) == ["doc/page0.md", "src/a.py"]
        assert payload["renamed"] == [{"from": f"src/doc/page{k}.md", "to": f"doc/page{k}.md"} for k in range(1, 5)]

    def test_libraries_copied_into_the_tree_are_left_out(self, repo, tmp_path):
        sha = commit(repo, {"src/a.py": "1", "src/pip/_vendor/six.py": "1", "vendored/lib/x.py": "1",
                            "pkg/vendored/y.py": "1", "src/vendoredness.py": "1"}, "work")
        collect_git(repo, tmp_path / "ws")
        assert sorted(events(tmp_path / "ws")[sha]["payload"]["files"]) == ["src/a.py", "src/vendoredness.py"]

    def test_bots_are_known_by_suffix_address_and_name(self):
        from varnel.config import Config

        bots = ["pre-commit-ci[bot] <66853113+pre-commit-ci[bot]@users.noreply.github.com>",
                "dependabot-preview[bot] <support@dependabot.com>", "semantic-release-bot <srb@example.com>",
                "Flask Bot <bot@example.com>", "Deploy <41898282+github-actions[bot]@users.noreply.github.com>",
                "Renovate Bot <bot@renovateapp.com>"]
        people = ["Abbott <abbott@example.com>", "Talbot <t@example.com>", "Robot Dev <r@example.com>",
                  "David <d@users.noreply.github.com>", "Zo\u00eb Dev <zoe@example.com>"]
        assert [Config().is_bot(a) for a in bots + people] == [True] * len(bots) + [False] * len(people)
        # A setting replaces the defaults; "[bot]" is literal, "*" the only wildcard.
        own = Config(bot_authors=("release[bot]", "ci-*"))
        assert [own.is_bot(a) for a in ("release[bot] <x>", "releaseb <x>", "ci-runner <x>", "flask bot <x>")] == [
            True, False, True, False]

    def test_hostile_patterns_match_without_backtracking(self):
        from varnel.config import Config

        stars = "*a" * 18 + "*b"  # joined into one backtracking expression, this ran for minutes
        config = Config(bot_authors=(stars, "x" * 200 + "*"), exclude_paths=(stars,), fixture_dirs=(stars,))
        name = "a" * 200
        assert not config.is_bot(f"{name} <{name}@example.com>")
        assert not config.excluded(name) and not config.in_fixtures(f"{name}/file")
        assert config.is_bot(f"{name}b <x>")

    def test_settings_are_bounded_in_size(self, tmp_path):
        from varnel.config import MAX_ENTRIES, MAX_LIST_TEXT, MAX_TEXT, SETTINGS_SIZE_LIMIT, ConfigError, load_config

        long_list = ["*a" * 50] * (MAX_LIST_TEXT // 100 + 1)
        for bad, problem in ((f"bot_authors = {json.dumps(['x'] * (MAX_ENTRIES + 1))}\n", "entries"),
                             (f"exclude_paths = {json.dumps(long_list)}\n", "characters in all"),
                             (f"exclude_paths = [{json.dumps('*' * (MAX_TEXT + 1))}]\n", "characters"),
                             (f"scope = {json.dumps('s' * (MAX_TEXT + 1))}\n", "characters"),
                             ("#" * (SETTINGS_SIZE_LIMIT + 1), "bytes")):
            (tmp_path / ".varnel.toml").write_text(bad)
            with pytest.raises(ConfigError, match=problem):
                load_config(tmp_path)
        (tmp_path / ".varnel.toml").unlink()
        os.mkfifo(tmp_path / "pyproject.toml")  # a pipe is refused, never waited on
        with pytest.raises(ConfigError, match="a pipe, not a settings file"):
            load_config(tmp_path)

    def test_config_files(self, tmp_path):
        from varnel.config import Config, ConfigError, load_config

        assert load_config(tmp_path) == Config()
        (tmp_path / "pyproject.toml").write_text('[tool.varnel]\nwindow = 30\nbot_authors = ["ci-bot"]\n')
        assert load_config(tmp_path) == Config(window=30, bot_authors=("ci-bot",))
        (tmp_path / ".varnel.toml").write_text("significance_threshold = 2\n")
        assert load_config(tmp_path).significance_threshold == 2.0
        for bad in ("windw = 3\n", "window = 0\n", "window = true\n", "exclude_paths = 'x'\n", "window = [\n"):
            (tmp_path / ".varnel.toml").write_text(bad)
            with pytest.raises(ConfigError):
                load_config(tmp_path)


def test_signature_display_in_the_users_settings_does_not_disturb_reading(repo, tmp_path):
    if shutil.which("ssh-keygen") is None:
        pytest.skip("ssh-keygen is not installed")
    key = tmp_path / "key"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(key)], check=True)
    for name, value in (("gpg.format", "ssh"), ("user.signingkey", f"{key}.pub"), ("commit.gpgsign", "true"),
                        ("log.showSignature", "true")):
        git(repo, "config", name, value)
    sha = commit(repo, {"a.py": "1"}, "Signed")
    result = collect_git(repo, tmp_path / "ws")
    assert result.added == 1 and events(tmp_path / "ws")[sha]["payload"]["files"] == ["a.py"]


def test_a_commit_with_an_impossible_offset_never_stops_the_analysis(tmp_path):
    """git keeps an offset as written (+051800 in some old histories) and cannot
    write it as ISO 8601; the epoch time is always readable."""
    repo = tmp_path / "odd"
    git(tmp_path, "init", "-q", "-b", "main", str(repo))

    def write(kind, body):  # raw objects: git's own tools refuse to make such a commit
        return subprocess.run(["git", "-C", str(repo), "hash-object", "--literally", "-w", "-t", kind, "--stdin"],
                              input=body, capture_output=True, check=True, env=ENV).stdout.decode().strip()

    parent = None
    for i, offset in enumerate(["+0000", "+051800", "-0130"]):
        blob = write("blob", b"x\n")
        tree = subprocess.run(["git", "-C", str(repo), "mktree"], input=f"100644 blob {blob}\tf{i}.txt\n".encode(),
                              capture_output=True, check=True, env=ENV).stdout.decode().strip()
        when = f"{1315449530 + i * 3600} {offset}"
        header = f"tree {tree}\n" + (f"parent {parent}\n" if parent else "")
        parent = write("commit", (header + f"author Old Dev <> {when}\ncommitter Old Dev <old@example.com> {when}\n"
                                  f"\nchange {i}\n").encode())
    git(repo, "update-ref", "refs/heads/main", parent)
    git(repo, "tag", "-a", "v1.0.0", "-m", "release", "HEAD~1")
    from varnel.cli import main

    assert main(["analyze", "--quiet", "--all", str(repo)]) == 0
    found = {k: e for k, e in events(repo / ".varnel").items() if e["source_type"] == "git"}
    times = {e["payload"]["message"]: e["observed_at"] for e in found.values()}
    assert times == {"change 0": "2011-09-08T02:38:50Z", "change 1": "2011-09-08T03:38:50Z",
                     "change 2": "2011-09-08T04:38:50Z"}
    odd = next(e for e in found.values() if e["payload"]["message"] == "change 1")
    assert "committed_at" not in odd["payload"] and "authored_at" not in odd["payload"]
    assert odd["payload"]["author"] == "Old Dev <>"
    release = json.loads(next((repo / ".varnel" / "events").glob("release-*.json")).read_text())
    assert release["observed_at"] >= "2011-09-08T03:38:50Z"
    warnings = collect_git(repo, tmp_path / "ws").warnings
    assert [w for w in warnings if w.startswith("time zone offsets")] == [
        f"time zone offsets git cannot write as ISO 8601 in 1 commit ({odd['event_id'][:12]}): their times are read "
        "from the epoch time and the unreadable fields left out"]


class TestContentsTheCloneLacks:
    """A partial clone, or one whose objects were removed, is read to the end:
    git lists every commit's files without the contents, and nothing is fetched."""

    @staticmethod
    def history(repo):
        """An image changed twice, a text file moved and changed beside one moved
        unchanged, and two manifests; the commits, oldest first."""
        def image(seed):
            (repo / "assets").mkdir(exist_ok=True)
            pixels = bytes((seed * k) % 256 for k in range(4000))
            (repo / "assets" / "logo.png").write_bytes(b"\x89PNG\r\n\x1a\n" + pixels)

        image(1)
        first = commit(repo, {"notes.txt": "".join(f"note {k}\n" for k in range(40)), "keep.txt": "kept\n" * 20,
                              "requirements.txt": "flask==3.0\n", "package.json": '{"dependencies": {"a": "1.0.0"}}'},
                       "start", date="2026-03-01T10:00:00+00:00")
        image(3)
        second = commit(repo, {"requirements.txt": "flask==3.1\n"}, "new logo", date="2026-03-02T10:00:00+00:00")
        git(repo, "mv", "notes.txt", "docs.txt")
        git(repo, "mv", "keep.txt", "kept.txt")
        moved = commit(repo, {"docs.txt": "".join(f"note {k}\n" for k in range(39)) + "edited\n"}, "move",
                       date="2026-03-03T10:00:00+00:00")
        image(5)
        last = commit(repo, {}, "newer logo", date="2026-03-04T10:00:00+00:00")
        return [first, second, moved, last]

    @staticmethod
    def without(repo, tmp_path, *revisions):
        """A copy of `repo` whose objects named by `revisions` were removed."""
        copy = tmp_path / "copy"
        shutil.copytree(repo, copy)  # a new repository's objects are loose files
        for revision in revisions:
            oid = git(copy, "rev-parse", revision).decode().strip()
            (copy / ".git" / "objects" / oid[:2] / oid[2:]).unlink()
        return copy

    @staticmethod
    def analyze(path):
        return subprocess.run([sys.executable, "-m", "varnel", "analyze", "--all", "--quiet", str(path)],
                              capture_output=True, text=True, env={**os.environ, "GIT_CONFIG_GLOBAL": "/dev/null"})

    def test_a_missing_image_is_named_with_its_commits(self, repo, tmp_path):
        first, second, moved, last = self.history(repo)
        copy = self.without(repo, tmp_path, f"{second}:assets/logo.png")
        done = self.analyze(copy)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("varnel advisory for ")
        [warning] = done.stderr.splitlines()  # shown under --quiet, and the only one
        assert warning.startswith("warning: the content of 1 file at some commits is not in this clone")
        assert f"assets/logo.png (commits {second[:12]}, {last[:12]})" in warning
        found = events(copy / ".varnel")
        assert found[second]["payload"]["not_in_clone"] == ["assets/logo.png"]
        assert "not_in_clone" not in found[first]["payload"]

    def test_a_move_whose_contents_are_missing_counts_as_removed_and_added(self, repo, tmp_path):
        first, second, moved, last = self.history(repo)
        copy = self.without(repo, tmp_path, f"{first}:notes.txt", f"{moved}:docs.txt", f"{first}:requirements.txt")
        done = self.analyze(copy)
        assert done.returncode == 0, done.stderr
        [lacking] = [line for line in done.stderr.splitlines() if line.startswith("warning: the content of")]
        assert f"docs.txt (commit {moved[:12]}); notes.txt (commits {first[:12]}, {moved[:12]})" in lacking
        payload = events(copy / ".varnel")[moved]["payload"]
        assert sorted(payload["files"]) == ["docs.txt", "notes.txt"]
        assert payload["renamed"] == [{"from": "keep.txt", "to": "kept.txt"}]  # a move unchanged is still one
        dependency = [e["payload"] for e in events(copy / ".varnel").values() if e["source_family"] == "dependency"]
        assert [p["trigger"]["commit_sha"] for p in dependency if p.get("not_in_clone")] == [first]

    def test_commits_described_a_few_at_a_time_give_the_same_events_and_warnings(self, repo, tmp_path,
                                                                                  monkeypatch):
        first, second, moved, last = self.history(repo)
        copy = self.without(repo, tmp_path, f"{second}:assets/logo.png", f"{moved}:docs.txt")
        whole = collect_git(copy, tmp_path / "whole")
        monkeypatch.setattr("varnel.collect.git._DESCRIBED_AT_ONCE", 1)
        one_by_one = collect_git(copy, tmp_path / "one-by-one")
        assert one_by_one.warnings == whole.warnings and len(whole.warnings) == 1
        assert f"assets/logo.png (commits {second[:12]}, {last[:12]})" in whole.warnings[0]
        assert events(tmp_path / "one-by-one") == events(tmp_path / "whole")
        assert events(tmp_path / "whole")[moved]["payload"]["renamed"] == [{"from": "keep.txt", "to": "kept.txt"}]

    def test_a_partial_clone_is_read_without_fetching(self, repo, tmp_path):
        git(repo, "config", "uploadpack.allowFilter", "true")
        first, second, moved, last = self.history(repo)
        clone = tmp_path / "clone"
        subprocess.run(["git", "clone", "-q", "--filter=blob:none", f"file://{repo}", str(clone)], env=ENV, check=True)
        lacking = {git(clone, "rev-parse", f"{first}:{path}").decode().strip()
                   for path in ("notes.txt", "assets/logo.png")}

        def held(oid):  # asked without letting git fetch it
            return subprocess.run(["git", "-C", str(clone), "-c", "protocol.allow=never", "cat-file", "-e", oid],
                                  env=ENV, capture_output=True).returncode == 0

        assert not any(held(oid) for oid in lacking)
        done = self.analyze(clone)
        assert done.returncode == 0, done.stderr
        assert f"notes.txt (commits {first[:12]}, {moved[:12]})" in done.stderr
        assert sorted(events(clone / ".varnel")[moved]["payload"]["files"]) == ["docs.txt", "notes.txt"]
        assert not any(held(oid) for oid in lacking)  # nothing was fetched
