"""Where a fleet's jobs run: a local pool of processes (the default), or a
Dask distributed cluster (`pip install 'varnel[fleet]'`). Both run the same
`run_job` and hand each outcome over as it arrives."""

from __future__ import annotations

import uuid
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Callable, Iterable

from ..errors import EXIT_FAILED, EXIT_USAGE, Refused
from .job import Job, outcome, resume, run_job, stop_all

Done = Callable[[dict], None]
CONNECT_SECONDS = 30


def run_local(jobs: Iterable[Job], workers: int, done: Done) -> None:
    """Each job's analysis in its own process, `workers` at a time (threads only wait on them)."""
    resume()
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="varnel-fleet")
    try:
        for future in as_completed([pool.submit(run_job, job) for job in jobs]):
            done(future.result())
    except BaseException:  # Ctrl-C, a termination: the jobs' processes end with the fleet
        stop_all()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def run_dask(jobs: Iterable[Job], address: str, done: Done) -> None:
    """The jobs on the cluster whose scheduler is at `address`. A worker lost
    mid-job has its job rerun elsewhere by the scheduler; a job lost too
    often is recorded as lost, with the scheduler's reason."""
    try:
        from distributed import Client, as_completed as arrived
    except ImportError as e:
        raise Refused(f"--scheduler: running on a Dask cluster needs the fleet extra: "
                      f"pip install 'varnel[fleet]' ({e})", EXIT_USAGE) from None
    try:
        client = Client(address, timeout=CONNECT_SECONDS)
    except (OSError, TimeoutError, ValueError) as e:
        raise Refused(f"--scheduler: cannot reach the Dask scheduler at {address}: {e}", EXIT_FAILED) from None
    run = uuid.uuid4().hex[:8]
    futures = {}
    try:
        # Keys name the member, so the scheduler's dashboard says which repository each task is.
        futures = {client.submit(run_job, job, key=f"varnel-{job.name}-{run}", pure=False): job for job in jobs}
        for future in arrived(futures):
            try:
                result = future.result()
            except Exception as e:  # the task itself never raises: a lost worker, a cancelled task
                result = outcome(futures[future].name, "lost",
                                 f"the cluster could not finish it: {type(e).__name__}: {e}", attempts=0)
            done(result)
    except BaseException:  # Ctrl-C: nothing more is started for this run (running jobs end on their own)
        client.cancel(list(futures))
        raise
    finally:
        client.close()
