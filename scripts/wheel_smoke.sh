#!/usr/bin/env bash
# Runs an installed varnel as a user would, away from the source tree: imports
# every engine, shows which SQLite library the knowledge base shares with
# Python's sqlite3, prints `varnel --version`, and analyses a small repository
# made here. The wheels' test command (pyproject.toml) and
# scripts/check_wheel.sh both run it.
#
#   scripts/wheel_smoke.sh [PYTHON]    the installed environment's interpreter (default: python)
set -euo pipefail
py=${1:-python}
varnel=$(dirname "$("$py" -c 'import sys; print(sys.executable)')")/varnel
here=$(mktemp -d)
trap 'rm -rf "$here"' EXIT
cd "$here"

echo "== engines"
"$py" - <<'EOF'
import importlib
import sys

import varnel

for name in ("_common", *varnel.ENGINES):
    module = importlib.import_module(f"varnel.{name}")
    print(f"varnel.{name}: {module.__file__}")

import sqlite3

sqlite3.connect(":memory:").close()
if sys.platform == "linux":
    # One mapped file: the engines and the sqlite3 module hold one SQLite.
    mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libsqlite3" in line}
    print(f"libsqlite3 mapped: {' '.join(sorted(mapped)) or 'none (the interpreter holds SQLite itself)'}")
    if len(mapped) > 1:
        sys.exit("two SQLite libraries are loaded")
EOF

echo "== varnel --version"
"$varnel" --version

echo "== varnel analyze on a small repository"
export GIT_AUTHOR_NAME=smoke GIT_AUTHOR_EMAIL=smoke@example.invalid
export GIT_COMMITTER_NAME=smoke GIT_COMMITTER_EMAIL=smoke@example.invalid
git init -q -b main repo
# Eleven days of small changes, then one that touches far more files than usual.
for day in $(seq 1 12); do
  mkdir -p repo/src repo/docs
  echo "$day" > "repo/src/m$((day % 3)).py"
  echo "$day" > repo/README.md
  if [ "$day" = 12 ]; then
    for page in $(seq 1 25); do echo x > "repo/docs/page$page.md"; done
  fi
  git -C repo add -A
  date=$(printf '2026-03-%02dT10:00:00+00:00' "$day")
  GIT_AUTHOR_DATE=$date GIT_COMMITTER_DATE=$date git -C repo commit -q -m "change $day"
done
"$varnel" analyze --quiet repo
