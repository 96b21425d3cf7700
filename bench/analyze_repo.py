"""`varnel analyze` on a generated repository of 10,000 commits.

Prints seconds for the first run (collection and each phase) and for a second
run after 10 new commits, and the collection speed in commits/s next to
`git log --name-only` over the same history (the floor: reading the history
once). The repository is built once with git fast-import and reused.

    python bench/analyze_repo.py [--commits 10000]
"""

import argparse
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
FOLDERS = ["src", "lib", "tests", "docs", "api", "web", "cli", "scripts", "infra", "tools"]


def fast_import_stream(commits: int, rng: random.Random, start: int = 0, parent: str | None = None) -> bytes:
    paths = [f"{rng.choice(FOLDERS)}/m{rng.randint(0, 30)}/f{i}.py" for i in range(3000)]
    out = []
    for i in range(start, start + commits):
        when = 1_600_000_000 + i * 3600
        message = f"change {i}\n".encode()
        out.append(f"commit refs/heads/main\nmark :{i + 1}\n".encode())
        out.append(f"author Dev {i % 17} <dev{i % 17}@example.com> {when} +0000\n".encode())
        out.append(f"committer Dev {i % 17} <dev{i % 17}@example.com> {when} +0000\n".encode())
        out.append(f"data {len(message)}\n".encode() + message)
        if i == start and parent:
            out.append(f"from {parent}\n".encode())
        for path in rng.sample(paths, min(40, max(1, int(rng.paretovariate(1.2))))):
            blob = f"{i}\n".encode()
            out.append(f"M 100644 inline {path}\ndata {len(blob)}\n".encode() + blob)
        out.append(b"\n")
    return b"".join(out)


def git(repo: Path, *args: str, stdin: bytes | None = None) -> bytes:
    return subprocess.run(["git", "-C", str(repo), *args], input=stdin, check=True, capture_output=True).stdout


def timed(command: list[str], cwd: Path | None = None) -> tuple[float, str]:
    start = time.perf_counter()
    done = subprocess.run(command, check=True, capture_output=True, text=True, cwd=cwd)
    return time.perf_counter() - start, done.stdout


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commits", type=int, default=10000)
    args = parser.parse_args()
    repo = BUILD / f"repo-{args.commits}"
    if not (repo / ".git").exists():
        repo.mkdir(parents=True, exist_ok=True)
        git(repo, "init", "-q", "-b", "main")
        git(repo, "fast-import", "--quiet", stdin=fast_import_stream(args.commits, random.Random(5)))
        git(repo, "reset", "-q", "--hard", "main")
    work = BUILD / f"repo-{args.commits}-work"
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(repo, work)

    floor, _ = timed(["git", "-C", str(work), "log", "--no-merges", "--name-only", "--format=%H"])
    varnel = [sys.executable, "-m", "varnel", "analyze", "--format", "json", str(work)]
    first, _ = timed(varnel)
    collect_first = timed([sys.executable, "-c", COLLECT, str(work), str(work / ".varnel-collect")])[0]

    head = git(work, "rev-parse", "HEAD").decode().strip()
    git(work, "fast-import", "--quiet", "--force",
        stdin=fast_import_stream(10, random.Random(6), start=args.commits, parent=head))
    git(work, "reset", "-q", "--hard", "main")
    second, _ = timed(varnel)

    print(f"{'commits':>8} {'git log s':>10} {'collect s':>10} {'commits/s':>10} {'x git log':>10} "
          f"{'first run s':>12} {'second run s':>13} {'second/first':>13}")
    print(f"{args.commits:>8} {floor:>10.2f} {collect_first:>10.2f} {args.commits / collect_first:>10.0f} "
          f"{collect_first / floor:>10.2f} {first:>12.2f} {second:>13.2f} {second / first:>13.2f}")
    return 0


# Collection alone, into a fresh workspace.
COLLECT = """
import sys
from pathlib import Path
from varnel.collect.git import collect_git
collect_git(Path(sys.argv[1]), Path(sys.argv[2]))
"""

if __name__ == "__main__":
    sys.exit(main())
