"""Kills `varnel analyze` at every write point and at many moments inside
the engines, and checks that each time the next complete run leaves what
the runs that completed give (advisory, evidence and knowledge base, but
for the clock). Prints one line per kill and a summary.

    python bench/kill_sweep.py [--commits 50] [--added 8] [--phase-steps 20]
"""

import argparse
import signal
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from kill_harness import Sequence  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--commits", type=int, default=50)
    parser.add_argument("--added", type=int, default=8)
    parser.add_argument("--phase-steps", type=int, default=20, help="kills 0, 1, ... ms into each engine step")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as root:
        sequence = Sequence(Path(root), args.commits, args.added)
        tried = converged = 0

        def check(label, status, got, left):
            nonlocal tried, converged
            killed = status == -signal.SIGKILL
            ok = left == [] and (got in (sequence.expected, sequence.expected_had_it_completed) if killed
                                 else got == sequence.expected_had_it_completed)
            tried += 1
            converged += ok
            print(f"{label}: {'killed' if killed else 'completed'}, {'converged' if ok else 'DIVERGED'}"
                  + (f", left {left}" if left else ""), flush=True)
            return killed

        started = time.perf_counter()
        k = 1
        while check(f"write point {k}", *sequence.killed_then_run(f"k{k}", stop_at=k)):
            k += 1
        for step in ("Judging metrics against their history", "Explaining signals", "Learning patterns",
                     "Writing the advisory"):
            for ms in range(args.phase_steps):
                check(f"{step} + {ms} ms",
                      *sequence.killed_then_run(f"{step[:5]}{ms}", kill_after=ms / 1000, step=step))
        print(f"{converged} of {tried} killed sequences converged ({k - 1} write points, "
              f"{4 * args.phase_steps} timed kills) in {time.perf_counter() - started:.0f} s")
        return 0 if converged == tried else 1


if __name__ == "__main__":
    sys.exit(main())
