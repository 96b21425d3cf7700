"""Fleet throughput: generated repositories analysed by `varnel fleet run` on
the local pool and on a two-worker Dask cluster on loopback, and one after
another by `varnel analyze`; repositories per hour, commits per second, and
from these the time for a large fleet on many workers.

    python bench/fleet_throughput.py [--repos 100] [--commits 2000] [--skip-dask] [--skip-sequential]

Targets: the 100 repositories of 2,000 commits within 10 minutes on this
machine; a projection of at most an hour for 10,000 on 64 workers. The floor
is the one-after-another time divided by the machine's cores: every core
busy, nothing spent on running a fleet.
"""

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

from analyze_repo import fast_import, fast_import_stream, git
from bench_support import BUILD, run_measured

PROJECTED_REPOS, PROJECTED_WORKERS = 10_000, 64


def repositories(count: int, commits: int) -> list[Path]:
    """`count` histories of `commits` commits each, each of its own seed, made once and kept."""
    root = BUILD / f"fleet-{count}x{commits}"
    made = []
    for i in range(count):
        repo = root / f"r{i:04d}"
        if not (repo / ".git").exists():
            shutil.rmtree(repo, ignore_errors=True)
            repo.mkdir(parents=True)
            git(repo, "init", "-q", "-b", "main")
            fast_import(repo, fast_import_stream(commits, random.Random(1000 + i)))
        made.append(repo)
    return made


def fleet_file(path: Path, repos: list[Path], extra: str = "") -> Path:
    path.write_text(extra + "".join(f'[[repo]]\npath = "{repo}"\n' for repo in repos))
    return path


class Cluster:
    """A Dask scheduler and `workers` single-thread workers on loopback."""

    def __init__(self, workers: int, where: Path):
        dask = shutil.which("dask", path=sysconfig.get_path("scripts")) or shutil.which("dask")
        if dask is None:
            raise SystemExit("the Dask cluster needs the fleet extra: pip install 'varnel[fleet]'")
        file = where / "scheduler.json"
        file.unlink(missing_ok=True)
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "start_new_session": True}
        self.processes = [subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0",
                                            "--no-dashboard", "--scheduler-file", str(file)], **quiet)]
        while not file.exists():
            time.sleep(0.1)
        self.address = json.loads(file.read_text())["address"]
        self.processes += [subprocess.Popen([dask, "worker", "--scheduler-file", str(file), "--nthreads", "1",
                                             "--no-dashboard", "--host", "127.0.0.1"], **quiet)
                           for _ in range(workers)]
        from distributed import Client

        with Client(self.address, timeout=60) as client:
            client.wait_for_workers(workers, timeout=60)

    def stop(self) -> None:
        for process in self.processes:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def fleet_run(fleet: Path, directory: Path, *options: str) -> tuple[float, dict]:
    run = run_measured([sys.executable, "-m", "varnel", "fleet", "run", str(fleet), "--dir", str(directory),
                        "--quiet", "--format", "json", *options], check=True)
    report = json.loads(run.stdout)
    failed = [r["name"] for r in report["rows"] if r["status"] != "analysed"]
    if failed:
        raise SystemExit(f"members did not complete: {failed}")
    return run.seconds, report


def row(name: str, seconds: float, repos: int, commits: int, floor: float | None) -> str:
    per_hour = repos / seconds * 3600
    against = f"{seconds / floor:>8.2f}" if floor else f"{'-':>8}"
    return f"{name:<44} {seconds:>9.1f} {per_hour:>10,.0f} {repos * commits / seconds:>10,.0f} {against}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repos", type=int, default=100)
    parser.add_argument("--commits", type=int, default=2000)
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--skip-sequential", action="store_true")
    args = parser.parse_args()
    cores = os.cpu_count() or 1
    start = time.perf_counter()
    repos = repositories(args.repos, args.commits)
    print(f"work: {args.repos} repositories of {args.commits:,} commits ({args.repos * args.commits:,} commits), "
          f"made or found in {time.perf_counter() - start:.0f} s; {cores} cores")
    work = BUILD / "fleet-work"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    fleet = fleet_file(work / "fleet.toml", repos)
    results = []

    sequential = None
    if not args.skip_sequential:
        begun = time.perf_counter()
        for repo in repos:
            run_measured([sys.executable, "-m", "varnel", "analyze", str(repo), "--workspace",
                          str(work / "alone" / repo.name), "--quiet", "--format", "json", "--output", os.devnull,
                          "--html", str(work / "alone" / repo.name / "report.html")], check=True)
        sequential = time.perf_counter() - begun
        results.append(("varnel analyze, one after another", sequential))
    floor = sequential / cores if sequential else None

    local, report = fleet_run(fleet, work / "local")
    results.append((f"fleet, local pool of {cores}", local))
    sharing = report["seconds"] - report["jobs_seconds"]
    # The second run takes in what the first shared (community patterns, the pooled record); the third
    # finds nothing new anywhere.
    second, _ = fleet_run(fleet, work / "local")
    results.append(("fleet, local pool, second run", second))
    third, _ = fleet_run(fleet, work / "local")
    results.append(("fleet, local pool, third run: nothing new", third))

    dask = None
    if not args.skip_dask:
        cluster = Cluster(2, work)
        try:
            dask, report_dask = fleet_run(fleet, work / "dask", "--scheduler", cluster.address)
        finally:
            cluster.stop()
        results.append(("fleet, Dask cluster of 2 workers (loopback)", dask))

    print(f"\n{'run':<44} {'seconds':>9} {'repos/h':>10} {'commits/s':>10} {'x floor':>8}")
    for name, seconds in results:
        print(row(name, seconds, args.repos, args.commits, floor if "run" not in name.split(",")[-1] else None))
    if floor:
        print(f"{'floor: one after another / ' + str(cores) + ' cores':<44} {floor:>9.1f}")
    print(f"target: {args.repos} repositories within 600 s on this machine: {local:.0f} s")

    # A worker's cost per repository (its part of the jobs' wall time), and the fleet's own serial part
    # (community patterns, pooling, the report), which grows with the repositories, not the workers.
    measured = dask if dask else local
    workers = 2 if dask else cores
    jobs = (report_dask if dask else report)["jobs_seconds"]
    per_repo = jobs * workers / args.repos
    serial = sharing / args.repos * PROJECTED_REPOS
    projected = PROJECTED_REPOS * per_repo / PROJECTED_WORKERS + serial
    print(f"\nprojection: {PROJECTED_REPOS:,} repositories like these on {PROJECTED_WORKERS} workers: "
          f"{PROJECTED_REPOS:,} x {per_repo:.2f} s / {PROJECTED_WORKERS} + {serial:.0f} s of sharing and report "
          f"= {projected / 60:.1f} min (target <= 60 min); measured on {workers} workers in {measured:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
