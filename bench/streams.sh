#!/usr/bin/env bash
# Figures for LogStreams=ON (about two minutes on two cores):
#  - relay CPU per delivery with LogStreams=ON against the same server
#    without it, in the same rounds (mirx_load, relays server and
#    server-ctl; the "vs server" ratio is the figure);
#  - the server's resident size while 10,000 addresses send a header each at
#    about the same moment, LogStreams off and on (mirx_stream_flood).
#
#   bench/streams.sh
#   NODES=500 ROUNDS=8 ADDRESSES=10000 bench/streams.sh
#
# Builds in build-bench/ like run.sh and appends its lines to
# build-bench/streams-results.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-"$root/build-bench"}
nodes=${NODES:-100}
rounds=${ROUNDS:-8}
addresses=${ADDRESSES:-10000}

bash "$root/scripts/deps.sh" g++ cmake make libbenchmark-dev
cmake -S "$root" -B "$build" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mirx_load mirx_stream_flood >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The stream bookkeeping runs whether or not a log server is configured; a
# one-second heartbeat puts its housekeeping in every round.
printf 'LogStreams=ON;\nLogHeartbeat=1;\n' >"$work/streams.cfg"

results="$build/streams-results.txt"
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r)"
  echo "# load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee -a "$results"
timeout 900 "$build/bench/mirx_load" --nodes "$nodes" --streams 1,5 --rounds "$rounds" \
  --relays reference,server,server-ctl --ctl-config "$work/streams.cfg" 2>/dev/null | tee -a "$results"
timeout 600 "$build/bench/mirx_stream_flood" --addresses "$addresses" | tee -a "$results"
