#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for SECONDS (default
# 30), as many at once as there are cores, starting from the seeds in
# fuzz/corpus/. Exits non-zero when any found something; the input that caused
# it is left in build-fuzz/artifacts/.
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

# One target's run; its lines go to $build/$t.summary, its status (not 0: a
# finding) to $build/$t.status.
fuzz_one() {
  local t=$1 work="$build/corpus/$1" log="$build/$1.log" status=0 runs dict=()
  mkdir -p "$work"
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  "$build/${t}_fuzz" "$work" "$root/fuzz/corpus/$t" "${dict[@]}" -max_total_time="$seconds" \
    -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz target $t: FINDING after ${runs:-?} executions (see $log)"
  else
    echo "fuzz target $t: ${runs} executions, no finding"
  fi
  return "$status"
}

# As many targets at once as there are cores, each for the whole time.
echo "fuzzing ${targets[*]} for ${seconds}s each, $(nproc) at a time"
for t in "${targets[@]}"; do
  (
    status=0
    fuzz_one "$t" >"$build/$t.summary" 2>&1 || status=$?
    echo "$status" >"$build/$t.status"
  ) &
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
done
wait
failed=0
for t in "${targets[@]}"; do
  cat "$build/$t.summary"
  [ "$(cat "$build/$t.status")" = 0 ] || failed=$((failed + 1))
done
echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
