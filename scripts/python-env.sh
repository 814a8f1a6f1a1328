#!/usr/bin/env bash
# Creates (or brings up to date) the virtual environment build/venv on /usr/bin/python3 with
# the PyPI packages of requirements/dev.txt, and prints the path of its interpreter. The
# extension built for /usr/bin/python3 imports in it unchanged (same interpreter, same ABI).
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${QM_VENV:-$PWD/build/venv}"
REQ=requirements/dev.txt
stamp="$VENV/.requirements"
if [[ ! -x "$VENV/bin/python" ]]; then
  /usr/bin/python3 -m venv "$VENV" >&2
fi
if ! cmp -s "$REQ" "$stamp"; then
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$REQ" >"$VENV/pip.log" 2>&1 ||
    { cat "$VENV/pip.log" >&2; exit 1; }
  cp "$REQ" "$stamp"
fi
echo "$VENV/bin/python"
