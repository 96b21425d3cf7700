"""Shared by the benchmark scripts: where things are, building the C++
benchmark programs, running a measured process and reading a result line."""

import json
import os
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
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


@dataclass
class Measured:
    seconds: float  # from start to end
    peak_mib: float  # the largest resident set of the process and of every process it waited for
    stdout: str
    lines: list[tuple[float, str]] = field(default_factory=list)  # standard error's lines, each with its second


def run_measured(command: list[str], check: bool = False, env: dict | None = None) -> Measured:
    """Runs `command` to its end. Its memory is read from its own resource
    usage (wait4), which no other process of the benchmark adds to."""
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.PIPE, env=env)
        lines = [(time.perf_counter() - start, line.decode("utf-8", "replace").rstrip("\n"))
                 for line in process.stderr]
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        process.stderr.close()
        out.seek(0)
        stdout = out.read().decode("utf-8", "replace")
    if check and process.returncode:
        raise SystemExit(f"{' '.join(command)} failed with {process.returncode}:\n"
                         + "\n".join(line for _, line in lines[-20:]))
    return Measured(seconds, usage.ru_maxrss / 1024, stdout, lines)
