#!/usr/bin/env bash
# Runs the benchmark matrix and stops by itself (about fifteen minutes on two
# cores): for N = 10, 100, 500 and 1000 nodes, one and five streams at 50
# voice packets a second each, then the highest input rate with under 0.1%
# loss and a p99 latency under 20 ms; the server with its log file off, on,
# and with -i, each against the reference relay in the same run.
#
#   bench/run.sh                     # the whole matrix
#   NODES="100 500" bench/run.sh     # some sizes only
#   RELAYS=reference,server,baseline BASELINE=/path/to/older/mirx_server bench/run.sh
#
# Builds in build-bench/ and writes every summary line to
# build-bench/bench-results.txt as well as to the terminal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
nodes=${NODES:-"10 100 500 1000"}
relays=${RELAYS:-reference,server,server-log,server-i,reference-mmsg}
baseline=()
if [ -n "${BASELINE:-}" ]; then baseline=(--baseline "$BASELINE"); fi

bash "$root/scripts/deps.sh" g++ cmake make libbenchmark-dev
cmake -S "$root" -B "$build" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mirx_load mirx_relay_micro >/dev/null

results="$build/bench-results.txt"
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), kernel $(uname -r)"
  echo "# load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$results"
for n in $nodes; do
  # Each size is bounded: a run that hangs is ended after 15 minutes.
  timeout 900 "$build/bench/mirx_load" --nodes "$n" --streams 1,5 --max-rate \
    --relays "$relays" "${baseline[@]}" 2>/dev/null | tee -a "$results"
done
echo "# micro-benchmark of the per-datagram path (items = deliveries)" | tee -a "$results"
timeout 300 "$build/bench/mirx_relay_micro" --benchmark_min_time=0.2 2>/dev/null | tee -a "$results"
