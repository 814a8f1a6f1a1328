#!/bin/bash
# Builds two revisions in Release (worktrees under ${QM_CMP_DIR:-/tmp/qm-compare}) and compares
# them with bench/compare_builds.py, alternating:  bench/compare_builds.sh BEFORE_REV [AFTER_REV]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
before=${1:?before revision}
after=${2:-HEAD}
dir=${QM_CMP_DIR:-/tmp/qm-compare}
mkdir -p "$dir"
for label in before after; do
  rev=${!label}
  tree=$dir/$label
  if [ -d "$tree" ]; then
    git -C "$tree" checkout -q --detach "$(git -C "$here" rev-parse "$rev")"
  else
    git -C "$here" worktree add -q --detach "$tree" "$rev"
  fi
  cmake -S "$tree" -B "$tree/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQM_BUILD_TESTS=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
  ninja -C "$tree/build/release" -j2 _quillmere record_work_bench compute_hash_bench \
    json_adapter_bench list_receipts_bench >/dev/null
done
py=$("$here/scripts/python-env.sh")
exec "$py" "$here/bench/compare_builds.py" "$dir/before" "$dir/after" "${@:3}"
