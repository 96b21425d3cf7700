"""What a varnel command can fail with, and the exit status each means.

Every error a command reports in one line derives from `Failure`, whose
`status` is the exit status it stands for; `varnel.cli.main` prints it and
returns that status, in one place.

    0    nothing met the --fail-on level
    1    the --fail-on level was met
    2    a wrong command line, settings file or input file
    3    the analysis could not complete (and any unexpected error, with its traceback)
    4    the analysis completed without one or more families
    130  interrupted (Ctrl-C)
"""

from __future__ import annotations

EXIT_OK, EXIT_ATTENTION, EXIT_USAGE, EXIT_FAILED, EXIT_INCOMPLETE, EXIT_INTERRUPTED = 0, 1, 2, 3, 4, 130


class Failure(Exception):
    """A failure a command reports in one line; `status` is its exit status."""

    status = EXIT_FAILED


class UsageError(Failure):
    """A wrong command line, settings file or input file."""

    status = EXIT_USAGE


class Refused(Failure):
    """A one-line failure with the exit status given."""

    def __init__(self, message: str, status: int):
        super().__init__(message)
        self.status = status
