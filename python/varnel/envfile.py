"""The user's environment file, read when the pattern engine's module loads.

It is the user's, never the analysed repository's: one file only,
``$VARNEL_ENV_FILE`` when that is set, else ``.env`` in varnel's user
configuration directory (``$XDG_CONFIG_HOME/varnel/``, by default
``~/.config/varnel/``). The working directory and its parents are never
searched, so a ``.env`` inside a repository is ignored. Only the variables
varnel reads are taken (`NAMES`), and a variable already set keeps its
value. Service addresses (``ANTHROPIC_BASE_URL``, ``OPENROUTER_BASE_URL``)
are not among them: they come from the real environment alone.

The file is parsed by python-dotenv; without it installed nothing is read.
"""

from __future__ import annotations

import os
from pathlib import Path

NAMES = ("PHASE4B_ENABLED", "PHASE31_ENABLED", "PHASE4B_MODEL", "ANTHROPIC_API_KEY", "OPENROUTER_API_KEY")


def env_file_path() -> Path:
    """The one file read: $VARNEL_ENV_FILE, else the user configuration directory's .env."""
    chosen = os.environ.get("VARNEL_ENV_FILE")
    if chosen:
        return Path(chosen)
    base = os.environ.get("XDG_CONFIG_HOME") or str(Path.home() / ".config")
    return Path(base) / "varnel" / ".env"


def load_env_file() -> list[str]:
    """Sets the variables of `NAMES` the file gives and the environment lacks; their names."""
    try:
        from dotenv import dotenv_values
    except ImportError:
        return []
    path = env_file_path()
    if not path.is_file():
        return []
    values = dotenv_values(path)
    taken = [name for name in NAMES if values.get(name) is not None and name not in os.environ]
    for name in taken:
        os.environ[name] = values[name]
    return taken
