#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-19 with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for SECONDS seconds, one after the other.
#   scripts/fuzz.sh SECONDS [TARGET...]     targets: receipt json chunking values (default: all)
# Exits non-zero when any target finds a fault; the input that shows it is left in
# fuzz/findings/<target>/ (replay it with build/fuzz/fuzz/fuzz_<target> FILE). The corpus
# each run grows is kept in build/fuzz/corpus/<target>/ and is picked up by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(receipt json chunking values)
BUILD=${QM_FUZZ_BUILD_DIR:-build/fuzz}
FINDINGS=fuzz/findings
PY=/usr/bin/python3

declare -A MAX_LEN=([receipt]=16384 [json]=8192 [chunking]=20000 [values]=4096)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
mkdir -p "$BUILD"
# Several runs may share the build directory; one builds at a time.
(
  flock 9
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF -DQM_BUILD_PYTHON=OFF "${launcher[@]}" >/dev/null
  ninja -C "$BUILD" -j "${QM_FUZZ_JOBS:-$(nproc)}" "${TARGETS[@]/#/fuzz_}"
  rm -rf "$BUILD/seeds"
  $PY fuzz/seeds.py "$BUILD/seeds"
) 9>"$BUILD/.lock"

failed=()
for t in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$t"
  mkdir -p "$corpus" "$FINDINGS/$t" "$BUILD/logs"
  dirs=("$corpus" "$BUILD/seeds/$t")
  for extra in fuzz/corpus/$t fuzz/regressions/$t; do [[ -d $extra ]] && dirs+=("$extra"); done
  opts=(-max_total_time="$SECONDS_EACH" -max_len="${MAX_LEN[$t]:-4096}" -timeout=120
        -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$FINDINGS/$t/")
  [[ -f fuzz/$t.dict ]] && opts+=(-dict="fuzz/$t.dict")
  log="$BUILD/logs/$t.log"
  echo "== fuzz_$t for ${SECONDS_EACH}s (log: $log)"
  if "$BUILD/fuzz/fuzz_$t" "${opts[@]}" "${dirs[@]}" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::new_units_added" "$log" |
      tr '\n' ' '
    echo
  else
    tail -n 40 "$log"
    echo "fuzz_$t FOUND A FAULT; input saved in $FINDINGS/$t/"
    failed+=("$t")
  fi
done
if ((${#failed[@]})); then
  echo "findings in: ${failed[*]}"
  exit 1
fi
echo "fuzzing clean: ${TARGETS[*]}"
