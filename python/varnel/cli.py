"""The `varnel` command."""

from __future__ import annotations

import argparse
import importlib
import sys

from . import ENGINES, __version__


def _engine_status(name: str) -> str:
    try:
        importlib.import_module(f"varnel.{name}")
    except ImportError:
        return "not built yet"
    return "available"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="varnel",
        description="Learns each repository metric's own normal and reports drift in plain language.",
    )
    parser.add_argument("--version", action="version", version=f"varnel {__version__}")
    parser.parse_args(argv)
    print(f"varnel {__version__}")
    print("engines:")
    for name in ENGINES:
        print(f"  {name:<10} {_engine_status(name)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
