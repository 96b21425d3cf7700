"""Files as varnel reads and writes them.

A file varnel is handed (a report, a settings file) is untrusted input: only
a regular file is read, and only up to a stated size. A pipe, a device such
as /dev/zero or a directory is refused at once, never waited on or read
without end, and nothing past the limit is ever held in memory.

Every file varnel writes is written whole: a temporary file beside it, then
a rename, so a failure never leaves half a file. A state file (a cache)
that is missing, damaged or of another shape reads as empty."""

from __future__ import annotations

import json
import os
import stat
from pathlib import Path

from . import faults
from ._common import dumps_pretty


class Refused(ValueError):
    """A file that is not read; the message is one line, without the path."""


def kind_of(mode: int) -> str:
    """What a file of `mode` is, in a word."""
    for test, name in ((stat.S_ISLNK, "link"), (stat.S_ISDIR, "directory"), (stat.S_ISFIFO, "pipe"),
                       (stat.S_ISSOCK, "socket"), (stat.S_ISCHR, "device"), (stat.S_ISBLK, "device")):
        if test(mode):
            return name
    return "special file"


def read_regular(path: str | os.PathLike, limit: int) -> bytes:
    """The bytes of the regular file at `path`; `Refused` for anything else
    or for more than `limit` bytes, OSError when it cannot be opened."""
    # Opening without blocking: a pipe with no writer would otherwise wait forever.
    fd = os.open(Path(path), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise Refused(f"a {kind_of(info.st_mode)}, not a regular file")
        if info.st_size > limit:
            raise Refused(f"{info.st_size} bytes, over the {limit} bytes varnel reads of such a file")
        chunks, size = [], 0
        while size <= limit:  # the file may grow while it is read
            chunk = os.read(fd, min(1 << 20, limit + 1 - size))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > limit:
            raise Refused(f"more than the {limit} bytes varnel reads of such a file")
        return b"".join(chunks)
    finally:
        os.close(fd)


def write_text_atomic(path: Path, content: str) -> None:
    """Writes a file whole: a temporary file beside it (named for this
    process, so concurrent collectors never share one), then a rename."""
    temp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        temp.write_text(content, encoding="utf-8")
        faults.write_point()
        os.replace(temp, path)
    except OSError as e:
        temp.unlink(missing_ok=True)
        if e.filename is None:  # a failed write (a full disk) names no file of its own
            raise OSError(e.errno, e.strerror, str(path)) from e
        raise
    except BaseException:
        temp.unlink(missing_ok=True)
        raise


def write_json_atomic(path: Path, record: dict) -> None:
    """Writes a JSON file whole, as `write_text_atomic`."""
    write_text_atomic(path, dumps_pretty(record))


def read_state(path: Path, **lists: type) -> dict:
    """A collector's state file; {} when it is missing, damaged or of another
    shape (a member named in `lists` that is not a list of that type): the
    state is a cache, and the collector then rebuilds it."""
    try:
        state = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, ValueError, RecursionError):
        return {}
    if not isinstance(state, dict):
        return {}
    for key, kind in lists.items():
        value = state.get(key, [])
        if not (isinstance(value, list) and all(isinstance(v, kind) for v in value)):
            return {}
    return state
