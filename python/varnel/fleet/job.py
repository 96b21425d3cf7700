"""One repository's job in a fleet: its clone brought up to date, then
`varnel analyze` in a process of its own, on whichever machine runs the job.

The analysis runs as a child process so that a timeout can end it, and a
crash of it (or of git) ends only it. A run writes its results in a staging
directory and publishes them at once, so a job ended at any moment leaves
the workspace's previous results whole; the next run clears what it left.
The child also ends itself when the process that started it is gone (a
worker killed mid-job), so a rerun elsewhere never finds it still writing.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from ..git import CollectError
from ..progress import clean

# Transports git itself allows for a fleet's clones, fetches and their submodules: a URL checked when the
# fleet file was read can still redirect.
ALLOWED_PROTOCOLS = "https:ssh:file"
_CAUSE_LINES = 3
# How `varnel analyze` ended, by exit status.
_STATUSES = {0: "analysed", 1: "analysed", 4: "incomplete"}


@dataclass(frozen=True)
class Job:
    name: str
    workspace: str
    repo: str  # the repository analysed: the member's path, or its clone
    url: str | None = None  # cloned into `repo` first, or fetched there when it exists
    settings: str | None = None  # a settings file replacing the repository's own
    timeout: int = 3600
    retries: int = 1
    page: bool = False  # also draw the member's HTML page


def _outcome(job: Job, status: str, cause: str = "", seconds: float = 0.0, attempts: int = 1) -> dict:
    return {"name": job.name, "status": status, "cause": cause, "seconds": round(seconds, 1), "attempts": attempts}


def _git_environment() -> dict[str, str]:
    env = dict(os.environ)
    env.update({"GIT_ALLOW_PROTOCOL": ALLOWED_PROTOCOLS, "GIT_TERMINAL_PROMPT": "0"})
    return env


def update_clone(url: str, clone: Path) -> None:
    """The bare clone of `url` at `clone`, made or fetched; CollectError with git's message."""
    env = _git_environment()
    if not (clone / "HEAD").is_file():
        clone.parent.mkdir(parents=True, exist_ok=True)
        partial = clone.with_name(clone.name + ".partial")
        subprocess.run(["rm", "-rf", "--", str(partial)], check=False)
        done = subprocess.run(["git", "-c", "protocol.allow=user", "clone", "--quiet", "--bare", "--", url,
                               str(partial)], capture_output=True, env=env, check=False)
        if done.returncode:
            subprocess.run(["rm", "-rf", "--", str(partial)], check=False)
            raise CollectError(done.stderr.decode("utf-8", "replace").strip() or "git clone failed")
        os.replace(partial, clone)  # a clone cut short is never taken for one
        return
    done = subprocess.run(["git", "-C", str(clone), "fetch", "--quiet", "--prune", "--force", "origin",
                           "+refs/heads/*:refs/heads/*", "+refs/tags/*:refs/tags/*"],
                          capture_output=True, env=env, check=False)
    if done.returncode:
        raise CollectError(done.stderr.decode("utf-8", "replace").strip() or "git fetch failed")


def _varnel(*args: str) -> list[str]:
    """A `varnel` command as the job's child runs it."""
    return [sys.executable, "-m", "varnel.fleet.member", str(os.getpid()), *args]


def command(job: Job) -> list[str]:
    """The member's `varnel analyze`."""
    args = ["analyze", job.repo, "--workspace", job.workspace, "--format", "json", "--output", os.devnull, "--quiet"]
    if job.settings:
        args += ["--settings", job.settings]
    elif job.url:
        args += ["--settings-from", "HEAD"]  # a clone has no work tree: its settings as committed
    return _varnel(*args)


def _page_command(job: Job) -> list[str] | None:
    """`varnel report` for the member's page, when its last run is newer than the page; else None."""
    workspace = Path(job.workspace)
    try:
        made = (workspace / "phase5" / "report.json").stat().st_mtime_ns
    except OSError:
        return None  # no completed run to draw
    try:
        if (workspace / "report.html").stat().st_mtime_ns >= made:
            return None  # a run with nothing new: the page drawn after the run it repeats stands
    except OSError:
        pass
    return _varnel("report", job.repo, "--workspace", job.workspace, "--output", str(workspace / "report.html"))


def _cause(stderr: bytes) -> str:
    lines = [clean(line) for line in stderr.decode("utf-8", "replace").splitlines() if line.strip()]
    return " / ".join(lines[-_CAUSE_LINES:])


def _attempt(job: Job) -> dict:
    started = time.monotonic()
    if job.url:
        try:
            update_clone(job.url, Path(job.repo))
        except CollectError as e:
            return _outcome(job, "failed", f"cannot clone or fetch {job.url}: {clean(e)}",
                            time.monotonic() - started)
    ended = _child(command(job), started + job.timeout)
    if ended is None:
        return _outcome(job, "timeout", f"stopped after {job.timeout:,} second{'s' * (job.timeout != 1)} "
                                        "(the fleet's timeout)",
                        time.monotonic() - started)
    returncode, stderr = ended
    if returncode < 0:
        return _outcome(job, "lost", f"the analysis was killed by signal {-returncode}", time.monotonic() - started)
    status = _STATUSES.get(returncode, "failed")
    cause = _cause(stderr) if status != "analysed" else ""
    drawing = _page_command(job) if job.page and status != "failed" else None
    if drawing is not None:
        drawn = _child(drawing, started + job.timeout)
        if drawn is None or drawn[0] != 0:
            why = "the fleet's timeout" if drawn is None else _cause(drawn[1])
            cause = "; ".join(filter(None, [cause, f"its page could not be drawn ({why})"]))
    return _outcome(job, status, cause, time.monotonic() - started)


def _child(argv: list[str], deadline: float) -> tuple[int, bytes] | None:
    """(exit status, standard error) of `argv` run as a process group of its
    own; None when it was still running at `deadline` (it is killed)."""
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    try:
        _, stderr = process.communicate(timeout=max(0.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)  # git's children too
        process.communicate()
        return None
    return process.returncode, stderr


def run_job(job: Job) -> dict:
    """The job's outcome: ``name``, ``status`` ("analysed", "incomplete",
    "failed", "timeout" or "lost"), ``cause``, ``seconds`` and ``attempts``.
    A job whose process was killed from outside is tried again, up to
    `Job.retries` more times."""
    for attempt in range(1, job.retries + 2):
        outcome = _attempt(job)
        outcome["attempts"] = attempt
        if outcome["status"] != "lost":
            break
    return outcome
