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

import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from ..progress import clean
from ..run.stage import REPORT_RECORD
from .members import redacted

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


def outcome(name: str, status: str, cause: str = "", seconds: float = 0.0, attempts: int = 1) -> dict:
    """A job's outcome record."""
    return {"name": name, "status": status, "cause": cause, "seconds": round(seconds, 1), "attempts": attempts}


class _TimedOut(Exception):
    """A step of the job was still running at the job's deadline."""


def _git_environment() -> dict[str, str]:
    env = dict(os.environ)
    env.update({"GIT_ALLOW_PROTOCOL": ALLOWED_PROTOCOLS, "GIT_TERMINAL_PROMPT": "0"})
    return env


def update_clone(url: str, clone: Path, deadline: float) -> str | None:
    """The bare clone of `url` at `clone`, made or fetched by `deadline`
    (`_TimedOut` past it): None when it is, else why not, in git's words."""
    env = _git_environment()
    if (clone / "HEAD").is_file():
        # The fleet file may name another address for the member since the clone was made.
        failure = _git_failure(_child(["git", "-C", str(clone), "remote", "set-url", "origin", "--", url], deadline),
                               "remote")
        failure = failure or _git_failure(_child(["git", "-C", str(clone), "fetch", "--quiet", "--prune", "--force",
                                                  "origin", "+refs/heads/*:refs/heads/*", "+refs/tags/*:refs/tags/*"],
                                                 deadline, env), "fetch")
        if failure is None and _child(["git", "-C", str(clone), "rev-parse", "--verify", "--quiet", "HEAD"],
                                      deadline)[0]:
            failure = _follow_default_branch(clone, deadline, env)
        return failure
    clone.parent.mkdir(parents=True, exist_ok=True)
    partial = clone.with_name(clone.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    try:
        failure = _git_failure(_child(["git", "clone", "--quiet", "--bare", "--", url, str(partial)], deadline, env),
                               "clone")
        if failure is None:
            os.replace(partial, clone)  # a clone cut short is never taken for one
        return failure
    finally:
        shutil.rmtree(partial, ignore_errors=True)


def _follow_default_branch(clone: Path, deadline: float, env: dict) -> str | None:
    """HEAD pointed again at the remote's default branch, renamed since the clone was made."""
    status, out = _child(["git", "-C", str(clone), "ls-remote", "--symref", "origin", "HEAD"], deadline, env,
                         output=True)
    line = next((line for line in out.decode("utf-8", "replace").splitlines() if line.startswith("ref: ")), "")
    branch = line[len("ref: "):].split("\t")[0]
    if status or not branch.startswith("refs/heads/"):
        return "the remote names no default branch"
    return _git_failure(_child(["git", "-C", str(clone), "symbolic-ref", "HEAD", branch], deadline), "symbolic-ref")


def _git_failure(ended: tuple[int, bytes], what: str) -> str | None:
    if ended[0]:
        return ended[1].decode("utf-8", "replace").strip() or f"git {what} failed"
    return None


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
    """`varnel report` for the member's page, when its last run is newer than
    the page and this machine can draw one (the report extra); else None."""
    workspace = Path(job.workspace)
    try:
        made = (workspace / REPORT_RECORD).stat().st_mtime_ns
    except OSError:
        return None  # no completed run to draw
    try:
        if (workspace / "report.html").stat().st_mtime_ns >= made:
            return None  # a run with nothing new: the page drawn after the run it repeats stands
    except OSError:
        pass
    if importlib.util.find_spec("bokeh") is None:
        return None
    return _varnel("report", job.repo, "--workspace", job.workspace, "--output", str(workspace / "report.html"))


def _cause(stderr: bytes) -> str:
    lines = [clean(line) for line in stderr.decode("utf-8", "replace").splitlines() if line.strip()]
    return " / ".join(lines[-_CAUSE_LINES:])


def _attempt(job: Job) -> dict:
    started = time.monotonic()
    deadline = started + job.timeout

    def ended(status: str, cause: str = "") -> dict:
        return outcome(job.name, status, cause, time.monotonic() - started)

    try:
        if job.url:
            failure = update_clone(job.url, Path(job.repo), deadline)
            if failure is not None:
                shown = redacted(job.url)
                return ended("failed", f"cannot clone or fetch {shown}: {clean(failure.replace(job.url, shown))}")
        returncode, stderr = _child(command(job), deadline)
        if returncode == -signal.SIGKILL:
            return ended("lost", "the analysis was killed (SIGKILL) from outside")
        if returncode < 0:  # a crash, which would crash again
            return ended("failed", f"the analysis crashed ({_signal_name(-returncode)}); "
                                   f"{_cause(stderr) or 'it said nothing'}")
        status = _STATUSES.get(returncode, "failed")
        cause = _cause(stderr) if status != "analysed" else ""
        drawing = _page_command(job) if status != "failed" else None
        if drawing is not None:
            try:
                drawn, said = _child(drawing, deadline)
                why = _cause(said) if drawn else None
            except _TimedOut:
                why = "its timeout"
            if why is not None:
                cause = "; ".join(filter(None, [cause, f"its page could not be drawn ({why})"]))
        return ended(status, cause)
    except _TimedOut:
        return ended("timeout", f"stopped after {job.timeout:,} second{'s' * (job.timeout != 1)} (its timeout)")


# The process groups this process's jobs are running, so that an interrupted fleet ends them all.
_running: set[int] = set()
_guard = threading.Lock()
_stopping = threading.Event()


def _child(argv: list[str], deadline: float, env: dict | None = None, output: bool = False) -> tuple[int, bytes]:
    """(exit status, standard error, or standard output when `output`) of
    `argv` run as a process group of its own; `_TimedOut` when it was still
    running at `deadline` (the group is killed)."""
    with _guard:
        if _stopping.is_set():
            raise Stopped()
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, start_new_session=True, env=env,
                                   stdout=subprocess.PIPE if output else subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL if output else subprocess.PIPE)
        _running.add(process.pid)
    try:
        said = process.communicate(timeout=max(0.0, deadline - time.monotonic()))[0 if output else 1]
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)  # its leader still lives, so the group is this job's: git's too
        process.communicate()
        raise _TimedOut() from None
    finally:
        with _guard:
            _running.discard(process.pid)
    if _stopping.is_set():
        raise Stopped()
    return process.returncode, said


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


class Stopped(Exception):
    """The fleet was interrupted: no job starts or records anything more."""


def resume() -> None:
    """Jobs may start again (after `stop_all`)."""
    _stopping.clear()


def stop_all() -> None:
    """Ends every job this process is running, and every one it would start, until `resume`."""
    with _guard:
        _stopping.set()
        for group in _running:
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass


def run_job(job: Job) -> dict:
    """The job's outcome: ``name``, ``status`` ("analysed", "incomplete",
    "failed", "timeout" or "lost"), ``cause``, ``seconds`` and ``attempts``.
    A job whose process was killed from outside is tried again, up to
    `Job.retries` more times. Whatever goes wrong is its outcome: a job never
    raises, but for `Stopped`."""
    for attempt in range(1, job.retries + 2):
        try:
            result = _attempt(job)
        except Stopped:
            raise
        except Exception as e:  # the machine's (a directory that cannot be made): this member's failure alone
            result = outcome(job.name, "failed", f"{type(e).__name__}: {clean(e)}")
        result["attempts"] = attempt
        if result["status"] != "lost":
            break
    return result
