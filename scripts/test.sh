#!/usr/bin/env bash
# Installs what the tests need, builds varnel, and runs every test: the C++
# core under GoogleTest (with address and undefined-behaviour sanitizers) and
# the Python package under pytest.
#
#   scripts/test.sh            all tests, 1,000 examples per property
#   VARNEL_HYPOTHESIS_PROFILE=thorough scripts/test.sh   10,000 examples per property
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the C++ core; a real browser and its driver for the HTML page.
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v chromium >/dev/null || missing+=(chromium)
command -v chromedriver >/dev/null || missing+=(chromium-driver)
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== C++ tests (sanitized)"
cmake -S . -B build/cpp-tests -G Ninja -DVARNEL_PYTHON=OFF -DVARNEL_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=address,undefined >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure

echo "== Python package"
python3 -m pip install --quiet --disable-pip-version-check ".[test]"

echo "== Python tests"
python3 -m pytest -q tests/python

echo "== The README's run command, on this checkout"
python3 -m varnel analyze --quiet . > /dev/null
