"""`python -m varnel.fleet.member PARENT ARGS...`: the `varnel` command with
ARGS, which ends itself, git's children included, once the process PARENT
that started it is gone (a fleet worker killed mid-job)."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time

_CHECK_SECONDS = 1.0


def _watch(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(_CHECK_SECONDS)
    os.killpg(os.getpgrp(), signal.SIGKILL)


def main() -> int:
    parent = int(sys.argv[1])
    threading.Thread(target=_watch, args=(parent,), daemon=True).start()
    from ..cli import main as varnel

    return varnel(sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
