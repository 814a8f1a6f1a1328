#!/usr/bin/env bash
# Quick start: installs what is missing, builds the extension for /usr/bin/python3 and runs
# examples/quickstart.py against it with the package quillmere from python/; the receipts
# stay in build/quickstart/store for the command line to look at.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh quickstart
PY=/usr/bin/python3
BUILD=build/quickstart

echo "building the extension in $BUILD ..."
mkdir -p "$BUILD"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$PY" \
  -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >"$BUILD/configure.log" 2>&1 ||
  { cat "$BUILD/configure.log"; exit 1; }
ninja -C "$BUILD" _quillmere >"$BUILD/build.log" 2>&1 || { tail -n 60 "$BUILD/build.log"; exit 1; }
echo
STORE="$BUILD/store"
rm -rf "$STORE"
PYTHONPATH="$PWD/$BUILD/src/python:$PWD/python" "$PY" examples/quickstart.py "$STORE"
echo "  (here: PYTHONPATH=$BUILD/src/python:python $PY -m quillmere dag --store $STORE)"
