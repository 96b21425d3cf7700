"""Reading dependency snapshots, API schemas, Terraform and tags from a
generated history.

The repository has `--commits` commits; every fifth changes a
package-lock.json of `--packages` packages, every twentieth an OpenAPI
document, every thirtieth a Terraform file, and every fiftieth is tagged.
Prints seconds for a first collection into an empty workspace, for a second
run with nothing new, and the floor: `git cat-file` plus `json.loads` of
every lock-file version once (what any reader must at least do).

    python bench/collect_history.py [--commits 2000] [--packages 800]
"""

import argparse
import json
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from varnel.collect.dependencies import DependencySource
from varnel.collect.history import collect_history
from varnel.collect.openapi import OpenAPISource
from varnel.collect.releases import collect_releases
from varnel.collect.terraform import TerraformSource


def package_lock(packages: int, rng: random.Random) -> bytes:
    names = [f"pkg{i}" for i in range(packages)]
    entries = {"": {"name": "app", "dependencies": {n: "*" for n in names[:20]}}}
    for i, name in enumerate(names):
        deps = {names[j]: "*" for j in rng.sample(range(i + 1, packages), min(3, packages - i - 1))}
        entries[f"node_modules/{name}"] = {"version": f"1.{rng.randint(0, 9)}.0", "dependencies": deps}
    return json.dumps({"name": "app", "lockfileVersion": 3, "packages": entries}, indent=2).encode()


def stream(commits: int, packages: int, rng: random.Random) -> bytes:
    out = []
    for i in range(commits):
        when = 1_600_000_000 + i * 3600
        files = {f"src/f{rng.randint(0, 300)}.py": f"{i}\n".encode()}
        if i % 5 == 0:
            files["package.json"] = b'{"dependencies": {}}'
            files["package-lock.json"] = package_lock(packages + rng.randint(-20, 20), rng)
        if i % 20 == 0:
            paths = "".join(f"  /r{k}: {{get: {{}}, post: {{}}}}\n" for k in range(10 + i // 20))
            files["api/openapi.yaml"] = f"openapi: 3.0.0\npaths:\n{paths}".encode()
        if i % 30 == 0:
            files[f"infra/m{i % 7}.tf"] = "".join(f'resource "aws_s3_bucket" "m{i % 7}_{k}" {{ acl = "{i}" }}\n'
                                                   for k in range(1 + i // 90)).encode()
        message = f"change {i}\n".encode()
        out.append(f"commit refs/heads/main\nmark :{i + 1}\n"
                   f"author Dev <dev@example.com> {when} +0000\ncommitter Dev <dev@example.com> {when} +0000\n"
                   f"data {len(message)}\n".encode() + message)
        for path, blob in files.items():
            out.append(f"M 100644 inline {path}\ndata {len(blob)}\n".encode() + blob)
        out.append(b"\n")
        if i % 50 == 49:
            out.append(f"reset refs/tags/v1.{i // 50}.0\nfrom :{i + 1}\n\n".encode())
    return b"".join(out)


def git(repo: Path, *args: str, stdin: bytes | None = None) -> bytes:
    return subprocess.run(["git", "-C", str(repo), *args], input=stdin, check=True, capture_output=True).stdout


def collect(repo: Path, workspace: Path) -> tuple[float, dict]:
    start = time.perf_counter()
    result = collect_history(repo, workspace, [DependencySource(), OpenAPISource(), TerraformSource()])
    releases = collect_releases(repo, workspace)
    return time.perf_counter() - start, {**result.events, "deployment": releases.releases}


def floor(repo: Path) -> float:
    start = time.perf_counter()
    shas = git(repo, "log", "--format=%H", "--", "package-lock.json").decode().split()
    for sha in shas:
        json.loads(git(repo, "cat-file", "blob", f"{sha}:package-lock.json"))
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commits", type=int, default=2000)
    parser.add_argument("--packages", type=int, default=800)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temp:
        repo = Path(temp) / "repo"
        repo.mkdir()
        git(repo, "init", "-q", "-b", "main")
        git(repo, "fast-import", "--quiet", stdin=stream(args.commits, args.packages, random.Random(3)))
        first, counts = collect(repo, Path(temp) / "ws")
        second, _ = collect(repo, Path(temp) / "ws")
        least = floor(repo)
    events = sum(counts.values())
    print(f"{args.commits} commits, {args.packages} packages per lock file: {counts}")
    print(f"first run {first:.2f} s ({events / first:.0f} events/s, {first / least:.1f}x the floor of {least:.2f} s); "
          f"second run {second:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
