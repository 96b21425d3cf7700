"""Reading a file varnel is handed (a report, a settings file) as untrusted
input: only a regular file, and only up to a stated size. A pipe, a device
such as /dev/zero or a directory is refused at once, never waited on or read
without end, and nothing past the limit is ever held in memory."""

from __future__ import annotations

import os
import stat
from pathlib import Path


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
