"""Hostile repositories, built here: nothing an analysed repository holds may
steer varnel, neither its environment, nor where it writes, nor what git runs."""

import json
import os
import shutil
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from helpers import ENV, build_history, commit, git, one_line


pytest.importorskip("varnel.advstage")


def varnel(*args, cwd=None, env=None):
    base = {k: v for k, v in os.environ.items()
            if not k.startswith(("PHASE4B_", "PHASE31_", "ANTHROPIC_", "OPENROUTER_", "VARNEL_ENV_FILE"))}
    return subprocess.run([sys.executable, "-m", "varnel", *args], capture_output=True, text=True, cwd=cwd,
                          env={**base, "GIT_CONFIG_GLOBAL": "/dev/null", **(env or {})})


class Listener:
    """A loopback HTTP server that records the key of every request it gets."""

    def __init__(self):
        self.keys = []
        listener = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                listener.keys.append(self.headers.get("x-api-key"))
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                self.send_response(500)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_port}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def listener():
    server = Listener()
    yield server
    server.close()


def small_history(repo, n=8):
    for i in range(n):
        commit(repo, {f"src/m{i % 3}.py": str(i), "requirements.txt": f"lib{i % 2}==1.0\n"}, f"change {i}",
               date=f"2026-03-{i + 1:02d}T10:00:00+00:00")


def test_a_repository_env_file_never_reaches_the_environment(repo, tmp_path, listener):
    pytest.importorskip("dotenv", reason="the .env file is read only where python-dotenv is installed")
    build_history(repo)
    key = {"ANTHROPIC_API_KEY": "users-secret"}
    # The same variables in the real environment do reach the listener: the history calls the model.
    control = varnel("analyze", "--all", "--quiet", "--workspace", str(tmp_path / "control"), cwd=repo,
                     env={**key, "PHASE4B_ENABLED": "true", "ANTHROPIC_BASE_URL": listener.url})
    assert control.returncode == 0, control.stderr
    assert listener.keys and set(listener.keys) == {"users-secret"}
    listener.keys.clear()

    hook = tmp_path / "ran"
    script = tmp_path / "hook.sh"
    script.write_text(f"#!/bin/sh\ntouch {hook}\n")
    script.chmod(0o755)
    (repo / ".env").write_text(f"PHASE4B_ENABLED=true\nANTHROPIC_BASE_URL={listener.url}\n"
                               f"GIT_CONFIG_COUNT=1\nGIT_CONFIG_KEY_0=core.fsmonitor\nGIT_CONFIG_VALUE_0={script}\n")
    # A user file may enable interpretation, but never chooses where a key goes.
    user = tmp_path / "config" / "varnel"
    user.mkdir(parents=True)
    (user / ".env").write_text(f"ANTHROPIC_BASE_URL={listener.url}\n")
    done = varnel("analyze", "--all", "--quiet", cwd=repo, env={**key, "XDG_CONFIG_HOME": str(tmp_path / "config")})
    assert done.returncode == 0, done.stderr
    assert listener.keys == [] and not hook.exists()


def test_hostile_git_configuration_runs_nothing(repo, tmp_path):
    small_history(repo)
    (repo / ".gitattributes").write_text("* diff=evil filter=evil\n")
    commit(repo, {"api/openapi.yaml": "openapi: 3.0.0\ninfo: {title: A, version: '1'}\npaths: {}\n"}, "api",
           date="2026-03-20T10:00:00+00:00")
    ran = tmp_path / "ran"
    script = tmp_path / "evil.sh"
    script.write_text(f"#!/bin/sh\necho \"$0 $*\" >> {ran}\ncat\n")
    script.chmod(0o755)
    hooks = tmp_path / "hooks"
    hooks.mkdir()
    for name in ("post-checkout", "pre-commit", "reference-transaction", "post-index-change", "fsmonitor-watchman"):
        (hooks / name).write_text(script.read_text())
        (hooks / name).chmod(0o755)
    for key, value in [("core.fsmonitor", str(script)), ("core.hooksPath", str(hooks)),
                       ("diff.external", str(script)), ("diff.evil.textconv", str(script)),
                       ("filter.evil.clean", str(script)), ("filter.evil.smudge", str(script)),
                       ("core.pager", str(script)), ("pager.log", str(script)), ("core.sshCommand", str(script)),
                       ("remote.origin.url", f"ext::{script} fetch"), ("log.showSignature", "true")]:
        git(repo, "config", key, value)
    # git itself obeys this configuration, so it is hostile indeed.
    subprocess.run(["git", "-C", str(repo), "status"], env=ENV, capture_output=True)
    assert ran.exists()
    ran.unlink()

    done = varnel("analyze", "--all", "--quiet", str(repo),
                  env={"GIT_DIR": str(tmp_path / "elsewhere"), "GIT_CONFIG_PARAMETERS": f"'core.fsmonitor'='{script}'"})
    assert done.returncode == 0, done.stderr
    assert not ran.exists()
    assert len(list((repo / ".varnel" / "events").glob("git-*.json"))) == 9
    assert list((repo / ".varnel" / "events").glob("schema-*.json"))


def test_a_gitmodules_value_git_refuses_is_read_past_with_a_warning(repo, tmp_path):
    ran = tmp_path / "ran"
    small_history(repo)
    commit(repo, {".gitmodules": f'[submodule "s"]\n\tpath = s\n\turl = ./s\n\tupdate = !touch {ran}\n'},
           "add a submodule", date="2026-03-20T10:00:00+00:00")
    git(repo, "update-index", "--add", "--cacheinfo", f"160000,{git(repo, 'rev-parse', 'HEAD').decode().strip()},s")
    git(repo, "commit", "-q", "-m", "pin it", date="2026-03-21T10:00:00+00:00")
    done = varnel("analyze", "--all", str(repo))
    assert done.returncode == 0, done.stderr
    assert done.stderr.count("git refuses a value in the repository's .gitmodules") == 1
    assert len(list((repo / ".varnel" / "events").glob("git-*.json"))) == 10 and not ran.exists()


def test_a_partial_clone_never_fetches_and_says_what_it_lacks(tmp_path):
    source = tmp_path / "source"
    source.mkdir()
    git(source, "init", "-q", "-b", "main")
    git(source, "config", "uploadpack.allowFilter", "true")
    for i in range(4):
        commit(source, {"requirements.txt": "flask==3.0\n",
                        "package.json": json.dumps({"name": "a", "dependencies": {f"lib{k}": "1.0.0" for k in range(i + 1)}})},
               f"deps {i}", date=f"2026-03-{i + 1:02d}T10:00:00+00:00")
    clone = tmp_path / "clone"
    subprocess.run(["git", "clone", "-q", "--filter=blob:none", f"file://{source}", str(clone)], env=ENV, check=True)
    old = git(clone, "rev-parse", "HEAD~3:package.json").decode().strip()

    def present(oid):  # asked without letting git fetch it
        return subprocess.run(["git", "-C", str(clone), "-c", "protocol.allow=never", "cat-file", "-e", oid],
                              env=ENV, capture_output=True).returncode == 0

    assert not present(old)

    done = varnel("analyze", "--all", str(clone), env={"GIT_TERMINAL_PROMPT": "1"})
    assert done.returncode == 0, done.stderr
    assert "not in this clone" in done.stderr
    events = [json.loads(p.read_text()) for p in sorted((clone / ".varnel" / "events").glob("dependency-*.json"))]
    lacking = [e for e in events if e["payload"].get("not_in_clone")]
    assert lacking and all(e["payload"]["not_in_clone"] == ["package.json"] and "unreadable" not in e["payload"]
                           for e in lacking)
    assert not present(old)  # nothing was fetched


class TestTheWorkspaceIsVarnelsOwn:
    def test_a_committed_link_named_varnel_is_refused(self, repo, tmp_path):
        small_history(repo)
        target = tmp_path / "target"
        target.mkdir()
        (repo / ".varnel").symlink_to(target)
        commit(repo, {}, "link", date="2026-03-20T10:00:00+00:00")
        for command in (["analyze", str(repo)], ["accept", "git/files_touched", "--path", str(repo)],
                        ["patterns", str(repo)], ["accepted", "--path", str(repo)]):
            done = varnel(*command)
            assert done.returncode == 2 and one_line(done) and "--workspace" in done.stderr, (command, done.stderr)
        report = tmp_path / "junit.xml"
        report.write_text('<testsuite name="s"><testcase name="t"/></testsuite>')
        assert varnel("ingest", "junit", str(report), "--path", str(repo)).returncode == 2
        assert list(target.iterdir()) == []
        chosen = varnel("analyze", "--quiet", str(repo), "--workspace", str(tmp_path / "ws"))
        assert chosen.returncode == 0, chosen.stderr
        assert (tmp_path / "ws" / ".varnel-workspace").is_file()

    def test_a_committed_directory_is_refused_even_with_a_marker(self, repo, tmp_path):
        small_history(repo)
        commit(repo, {".varnel/.varnel-workspace": "x", ".varnel/events/git-x.json": "{}"}, "ship a workspace",
               date="2026-03-20T10:00:00+00:00")
        done = varnel("analyze", str(repo))
        assert done.returncode == 2 and one_line(done) and "tracks it" in done.stderr
        assert sorted(p.name for p in (repo / ".varnel" / "events").iterdir()) == ["git-x.json"]

    def test_a_link_on_the_way_inside_the_repository_is_refused(self, repo, tmp_path):
        small_history(repo)
        (tmp_path / "away").mkdir()
        (repo / "build").symlink_to(tmp_path / "away")
        done = varnel("analyze", str(repo), "--workspace", str(repo / "build" / "ws"))
        assert done.returncode == 2 and "is a link" in done.stderr
        assert list((tmp_path / "away").iterdir()) == []

    @pytest.mark.parametrize("inside", ["events", "history", "phase4", "accepted_deviations.json", ".lock"])
    def test_a_link_anywhere_inside_the_workspace_is_refused(self, repo, tmp_path, inside):
        small_history(repo)
        ws = repo / ".varnel"
        assert varnel("analyze", "--quiet", str(repo)).returncode == 0
        assert varnel("accept", "git/dispersion", "--path", str(repo)).returncode == 0
        shared = tmp_path / "shared"  # a CI cache, say, holding files that are not varnel's
        shared.mkdir()
        (shared / ".advisory.json.123456789.tmp").write_text("someone's")
        (shared / "git-damaged.json").write_text("not an event")
        (shared / "notes.txt").write_text("mine")
        link = ws / inside
        if link.is_dir():
            shutil.rmtree(link)
        else:
            link.unlink(missing_ok=True)
        link.symlink_to(shared, target_is_directory=True)
        report = tmp_path / "junit.xml"
        report.write_text('<testsuite name="s"><testcase name="t"/></testsuite>')
        for command in (["analyze", str(repo)], ["verify", str(repo)], ["accept", "ci/run_duration", "--path", str(repo)],
                        ["accepted", "--revoke", "git/dispersion", "--path", str(repo)], ["patterns", str(repo)],
                        ["ingest", "junit", str(report), "--path", str(repo)], ["eval", str(repo)]):
            done = varnel(*command)
            assert done.returncode == 2 and one_line(done) and f"{link} is a link" in done.stderr, (command, done)
        assert sorted(p.name for p in shared.iterdir()) == [".advisory.json.123456789.tmp", "git-damaged.json",
                                                            "notes.txt"]

    def test_only_directories_varnel_made_are_used(self, repo, tmp_path):
        small_history(repo)
        foreign = tmp_path / "foreign"
        foreign.mkdir()
        (foreign / "notes.txt").write_text("mine")
        done = varnel("analyze", str(repo), "--workspace", str(foreign))
        assert done.returncode == 2 and "no .varnel-workspace marker" in done.stderr
        assert [p.name for p in foreign.iterdir()] == ["notes.txt"]
        (tmp_path / "empty").mkdir()
        assert varnel("analyze", "--quiet", str(repo), "--workspace", str(tmp_path / "empty")).returncode == 0
        # A workspace of an earlier version (varnel's .gitignore, no marker) is adopted.
        old = repo / ".varnel"
        old.mkdir()
        (old / ".gitignore").write_text("# varnel's workspace: generated, never committed\n*\n")
        assert varnel("analyze", "--quiet", str(repo)).returncode == 0
        assert (old / ".varnel-workspace").is_file() and list((old / "events").glob("git-*.json"))


class TestSettingsAGateCanTrust:
    def test_repository_settings_cannot_point_elsewhere(self, repo, tmp_path):
        small_history(repo)
        outside = tmp_path / "outside"
        (repo / ".varnel.toml").write_text(f'workspace = "{outside}"\n')
        done = varnel("analyze", str(repo))
        assert done.returncode == 2 and "unknown setting(s) workspace" in done.stderr and not outside.exists()
        secret = tmp_path / "secret.toml"
        secret.write_text("window = 7\n")
        (repo / ".varnel.toml").unlink()
        (repo / ".varnel.toml").symlink_to(secret)
        done = varnel("analyze", str(repo))
        assert done.returncode == 2 and "is a link" in done.stderr

    def test_a_gate_reads_settings_from_its_own_file_or_a_named_commit(self, repo, tmp_path):
        small_history(repo)
        commit(repo, {".varnel.toml": "window = 20\n"}, "settings", date="2026-03-20T10:00:00+00:00")
        commit(repo, {".varnel.toml": "significance_threshold = 'never'\n"}, "pull request turns the gate off",
               date="2026-03-21T10:00:00+00:00")
        assert varnel("analyze", "--quiet", str(repo)).returncode == 2
        assert varnel("analyze", "--quiet", str(repo), "--settings-from", "HEAD~1").returncode == 0
        own = tmp_path / "gate.toml"
        own.write_text("window = 10\n")
        assert varnel("analyze", "--quiet", str(repo), "--settings", str(own)).returncode == 0
        bad = varnel("analyze", "--quiet", str(repo), "--settings-from", "no-such-branch")
        assert bad.returncode == 2 and one_line(bad) and "not a commit" in bad.stderr
        both = varnel("analyze", str(repo), "--settings", str(own), "--settings-from", "HEAD")
        assert both.returncode == 2
