"""A hook for tests of what a killed run leaves: with VARNEL_STOP_AT=K the
process kills itself (SIGKILL, as a crash or ``kill -9`` would) at its K-th
write point, the moments between the steps of writing the workspace. Unset,
a write point costs one comparison."""

from __future__ import annotations

import os
import signal

_STOP_AT = int(os.environ.get("VARNEL_STOP_AT") or 0)
_reached = 0


def write_point() -> None:
    global _reached
    if _STOP_AT:
        _reached += 1
        if _reached == _STOP_AT:
            os.kill(os.getpid(), signal.SIGKILL)
