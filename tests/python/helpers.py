"""What the tests share: comparisons, the vocabulary's data, git
repositories built in temporary folders, the varnel command, and a history
that feeds every family."""

import json
import math
import os
import subprocess
import sys
import tomllib
from pathlib import Path

VOCABULARY_FILE = Path(__file__).resolve().parents[2] / "vocabulary" / "vocabulary.toml"


def read_vocabulary() -> dict:
    """The vocabulary of families and metrics as its data file holds it, for
    the reference models, which restate the engines' rules on their own."""
    with VOCABULARY_FILE.open("rb") as f:
        return tomllib.load(f)


def same(a, b):
    """Equality that holds NaN equal to itself and tells 1 from 1.0, True from 1 and 0.0 from -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


ENV = {**os.environ, "GIT_AUTHOR_NAME": "Zo\u00eb Dev", "GIT_AUTHOR_EMAIL": "zoe@example.com",
       "GIT_COMMITTER_NAME": "Zo\u00eb Dev", "GIT_COMMITTER_EMAIL": "zoe@example.com", "GIT_CONFIG_GLOBAL": "/dev/null"}


def git(repo, *args, date=None):
    env = dict(ENV)
    if date:
        env["GIT_AUTHOR_DATE"] = env["GIT_COMMITTER_DATE"] = date
    return subprocess.run(["git", "-C", str(repo), *args], env=env, check=True, capture_output=True).stdout


def commit(repo, files, message, date="2026-03-01T10:00:00+02:00"):
    for name, text in files.items():
        path = Path(repo) / os.fsdecode(name) if isinstance(name, bytes) else Path(repo) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "--allow-empty", "-m", message, date=date)
    return git(repo, "rev-parse", "HEAD").decode().strip()


def one_line(done):
    """Whether a finished varnel command said what went wrong in one line of its own."""
    return done.stderr.count("\n") == 1 and done.stderr.startswith("varnel: ")


def events(ws):
    out = {}
    for p in sorted((ws / "events").glob("*.json")):
        e = json.loads(p.read_text(encoding="utf-8"))
        out[e["event_id"]] = e
    return out


def varnel(*args, cwd=None, env=None):
    """The varnel command's run; `env` adds to (or, as None values, removes from) the environment."""
    environment = {k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None}
    return subprocess.run([sys.executable, "-m", "varnel", *args], capture_output=True, text=True, cwd=cwd,
                          env=environment)


def by_family(ws, family):
    found = [e for e in events(ws).values() if e.get("source_family") == family]
    return sorted(found, key=lambda e: e["observed_at"])


def sensitive(repo):
    """Settings (not committed) that flag this short history's movements, so that there is an advisory to show."""
    (repo / ".varnel.toml").write_text("significance_threshold = 1.5\n")
    return repo


DAYS = 90


def package_files(extra: int, bump: int) -> dict[str, str]:
    """package.json and its lock: ten libraries (one bumped), plus `extra` more
    pulled in by a feature; each library depends on the next, so depth grows."""
    names = [f"lib{i}" for i in range(10)] + [f"feature-lib{i}" for i in range(extra)]
    manifest = {"name": "app", "version": "1.0.0", "dependencies": {n: "^1.0.0" for n in names[:3]}}
    packages = {"": {"name": "app", "version": "1.0.0", "dependencies": manifest["dependencies"]}}
    for i, name in enumerate(names):
        entry = {"version": f"1.{bump if i == 0 else 0}.0"}
        if i + 1 < len(names) and i >= 2:
            entry["dependencies"] = {names[i + 1]: "^1.0.0"}
        packages[f"node_modules/{name}"] = entry
    lock = {"name": "app", "version": "1.0.0", "lockfileVersion": 3, "requires": True, "packages": packages}
    return {"package.json": json.dumps(manifest, indent=2), "package-lock.json": json.dumps(lock, indent=2)}


def openapi(endpoints: int) -> str:
    paths = "".join(f"  /r{i}: {{get: {{}}}}\n" for i in range(endpoints))
    return f"openapi: 3.0.0\ninfo: {{title: App, version: '{endpoints}'}}\npaths:\n{paths}"


def build_history(repo):
    """Ninety days, a commit a day: small commits of one to three files; every
    third day a dependency change (a bump, or a library more or less), and
    every third of those a feature that brings twenty libraries and touches
    fifteen files."""
    dependency_changes = 0
    for day in range(DAYS):
        date = f"2026-{1 + day // 28:02d}-{1 + day % 28:02d}T12:00:00Z"
        files = {f"src/mod{(day + k) % 7}.py": f"# day {day} {k}\n" for k in range(1 + day % 3)}
        message = f"Work of day {day}"
        if day % 3 == 0:
            dependency_changes += 1
            feature = dependency_changes % 3 == 0
            files.update(package_files(extra=20 if feature else dependency_changes % 2, bump=dependency_changes))
            if feature:
                files.update({f"features/f{day}/part{k}.py": "x\n" for k in range(15)})
                message = f"Add feature {day} with its libraries"
        if day % 11 == 5:
            files["api/openapi.yaml"] = openapi(2 + day // 11)
        if day % 13 == 7:
            files["infra/main.tf"] = "".join(f'resource "aws_s3_bucket" "b{i}" {{}}\n' for i in range(1 + day // 13))
        sha = commit(repo, files, message, date=date)
        if day % 10 == 9:
            git(repo, "tag", f"v1.{day // 10}.0" + ("-rc.1" if day == 49 else ""))
    return sha
