"""Shared by the benchmark scripts: where things are, building the C++
benchmark programs, and reading a result line."""

import json
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


def build(*targets: str) -> None:
    """Configures the benchmark build (no Python modules) and builds `targets`."""
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DVARNEL_PYTHON=OFF",
                    "-DVARNEL_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", *targets], check=True, stdout=subprocess.DEVNULL)


def last_json_line(out: str) -> dict:
    """The JSON object on the last line of a program's output (an editable
    install may print its rebuild first)."""
    return json.loads(out.strip().splitlines()[-1])
