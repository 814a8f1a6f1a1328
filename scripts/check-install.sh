#!/usr/bin/env bash
# Installs the package the ways the README gives, each into a fresh place, times each install
# and checks that the command and the module work there:
#   wheel     pip install dist/wheelhouse/quillmere-*.whl   (made by scripts/build-wheel.sh)
#   source    pip install .                                  (isolated build, from PyPI)
#   target    pip install --target DIR <wheel>; DIR/bin/quillmere without PYTHONPATH
#   offline   build/venv's pip install --no-build-isolation --no-deps --target DIR . with no index
#             at all (rich, the one dependency, is in build/venv)
#
#   scripts/check-install.sh [PYTHON...]   (default: /usr/bin/python3 and the python3 on PATH)
#
# Builds run without ccache, as a user's would; CMAKE_BUILD_PARALLEL_LEVEL defaults to 2.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
unset CMAKE_CXX_COMPILER_LAUNCHER PYTHONPATH QM_EXTENSION_DIR
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" PIP_DISABLE_PIP_VERSION_CHECK=1
WHEEL=$(ls dist/wheelhouse/quillmere-*.whl 2>/dev/null | head -n 1 || true)
[[ -n "$WHEEL" ]] || { echo "no wheel in dist/wheelhouse: run scripts/build-wheel.sh first" >&2; exit 1; }
WORK=$(mktemp -d /tmp/qm-install.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
[[ $# -gt 0 ]] || set -- /usr/bin/python3 "$(command -v python3)"

smoke() {  # $1: the command, $2: its interpreter
  "$1" --version
  (cd "$WORK" && "$2" -c 'import quillmere as qm
r = qm.record_work("check", {"n": 1})
assert qm.verify_receipt(r)
try:
    qm.receipt_from_json("{")
except qm.ReceiptFormatError:
    pass
print("  module ok:", qm.__file__)')
}

timed() {  # $1: label, then the command; prints the seconds it took
  local start label=$1
  start=$(date +%s.%N)
  shift
  "$@" >"$WORK/log" 2>&1 || { tail -n 40 "$WORK/log"; echo "FAILED: $label" >&2; exit 1; }
  echo "$label: $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s  (load: $(cut -d' ' -f1-3 /proc/loadavg))"
}

for PY in "$@"; do
  echo "== $PY ($("$PY" --version 2>&1))"
  n=$RANDOM
  "$PY" -m venv "$WORK/wheel-$n"
  timed "wheel install" "$WORK/wheel-$n/bin/pip" install -q "$WHEEL"
  smoke "$WORK/wheel-$n/bin/quillmere" "$WORK/wheel-$n/bin/python"
  "$PY" -m venv "$WORK/source-$n"
  timed "pip install . (isolated build)" "$WORK/source-$n/bin/pip" install -q "$ROOT"
  smoke "$WORK/source-$n/bin/quillmere" "$WORK/source-$n/bin/python"
  timed "pip install --target (wheel)" "$PY" -m pip install -q --target "$WORK/target-$n" "$WHEEL"
  "$WORK/target-$n/bin/quillmere" --version
done
VENV_PY=$(scripts/python-env.sh)
timed "offline: pip install --no-build-isolation --target" \
  env PIP_NO_INDEX=1 "$VENV_PY" -m pip install -q --no-build-isolation --no-deps --target "$WORK/offline" "$ROOT"
"$WORK/offline/bin/quillmere" --version
