#!/usr/bin/env bash
# Strict type check of the package quillmere, the quick start and the README's Python
# examples, against the extension's stubs in python/_quillmere-stubs.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(scripts/python-env.sh)
examples=$(mktemp -d)
trap 'rm -rf "$examples"' EXIT
"$PY" - "$examples" <<'EOF'
import pathlib, re, sys
text = pathlib.Path("README.md").read_text(encoding="utf-8")
for number, block in enumerate(re.findall(r"```python\n(.*?)```", text, re.S)):
    pathlib.Path(sys.argv[1], f"readme_example_{number}.py").write_text(block, encoding="utf-8")
EOF
PYTHONPATH="$PWD/python" "$PY" -m mypy --strict --cache-dir /dev/null \
  python/quillmere examples/quickstart.py "$examples"
