#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for SECONDS (default
# 30), starting from the seeds in fuzz/corpus/. Exits non-zero on the first
# finding; the input that caused it is left in build-fuzz/artifacts/.
#   fuzz/run.sh 600            # the long run, ten minutes per target
#   fuzz/run.sh 60 dispatch    # one target only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config dispatch slow_data controls dextra dashboard)
build="$root/build-fuzz"

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
mkdir -p "$build/artifacts"

for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  log="$build/$t.log"
  echo "fuzzing $t for ${seconds}s"
  status=0
  "$build/${t}_fuzz" "$work" "$root/fuzz/corpus/$t" "${dict[@]}" -max_total_time="$seconds" \
    -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz target $t: FINDING after ${runs:-?} executions (see $log)"
    exit 1
  fi
  echo "fuzz target $t: ${runs} executions, no finding"
done
echo "fuzz: ${#targets[@]} passed, 0 failed"
