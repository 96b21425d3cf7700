"""varnel: watches how a repository changes, learns each metric's own normal,
and says in plain language when development drifts from it."""

# Python's sqlite3 loads before any engine can: the knowledge base's engines
# name libsqlite3 without carrying it, and the loader hands them the library
# already loaded under that name, the interpreter's own, wherever it was found.
# An engine loaded first would search the system's paths instead, and find
# another library or none.
import sqlite3  # noqa: F401

__version__ = "0.1.0"

# The engines, in pipeline order: signals, explanations, knowledge base,
# patterns, advisory.
ENGINES = ("sigstage", "explstage", "lorekeep", "patstage", "advstage")
