#!/usr/bin/env bash
# Installs what is missing, checks the C++ formatting, builds, and runs every test: the
# C++ tests (plain and under AddressSanitizer + UndefinedBehaviorSanitizer), the Python
# tests against the freshly built extension, and a short run of every fuzz target. The
# store tests run against a throwaway PostgreSQL cluster started here and stopped on
# exit, whether the tests pass or not.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

PG_DIR=$(mktemp -d /tmp/qm-test-pg.XXXXXX)
trap 'scripts/pg-cluster.sh stop "$PG_DIR"' EXIT
QM_TEST_PG_URL=$(scripts/pg-cluster.sh start "$PG_DIR")
export QM_TEST_PG_URL
export QM_TEST_PG_RESTART="$PWD/scripts/pg-cluster.sh restart $PG_DIR"
PY=/usr/bin/python3
VENV_PY=$(scripts/python-env.sh)  # pytest, hypothesis, mypy and the PyPI libraries the tests use
JOBS=$(nproc)

# Every C++ file is kept formatted.
find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 -r clang-format-19 --dry-run --Werror

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON -DPython3_EXECUTABLE=$PY
ninja -C build/release
ctest --test-dir build/release --output-on-failure --timeout 600 -j "$JOBS"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON -DQM_WERROR=ON \
  -DQM_BUILD_PYTHON=OFF -DQM_BUILD_BENCH=OFF
ninja -C build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure --timeout 900 -j "$JOBS"

if [[ -d tests/python ]] && ls tests/python/test_*.py >/dev/null 2>&1; then
  QM_EXTENSION_DIR="$PWD/build/release/src/python" \
    PYTHONPATH="$PWD/build/release/src/python:$PWD/python" \
    timeout 1800 "$VENV_PY" -m pytest -q tests/python
fi
# A short fuzzing smoke run of every target (the long runs are done by hand).
scripts/fuzz.sh 30

# Strict type check of the package quillmere, the quick start and the README's Python examples
# against the extension's stubs (python/_quillmere-stubs, which come with the manifest and
# streaming hasher bindings).
if [[ -d python/_quillmere-stubs ]]; then
  scripts/check-types.sh
fi
echo "all tests passed"
