#!/usr/bin/env bash
# Figures for LogStreams=ON (about eight minutes on two cores), as in
# results/2026-12-07-streams.txt:
#  - relay CPU per delivery with LogStreams=ON against the same server
#    without it (mirx_load, N = 100, 16 rounds), with the LogStreams relay
#    second and then first in each round, and a control run whose twins
#    differ by nothing: the noise of the method;
#  - the bookkeeping per voice datagram (mirx_relay_micro stream_voice);
#  - the server's resident size while 10,000 addresses send a header each,
#    LogStreams off and on (mirx_stream_flood).
# Builds in build-bench/ (or $BUILD) and appends to streams-results.txt there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD:-"$root/build-bench"}
bash "$root/scripts/deps.sh" g++ cmake make libbenchmark-dev
cmake -S "$root" -B "$out" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target mirx_load mirx_stream_flood mirx_relay_micro >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The bookkeeping runs whether or not a log server is configured; a
# one-second heartbeat puts its housekeeping in every round.
printf 'LogStreams=ON;\nLogHeartbeat=1;\n' >"$work/streams.cfg"
printf 'LogVoice=ON;\n' >"$work/same.cfg"
load() { timeout 900 "$out/bench/mirx_load" --nodes 100 --streams 1,5 --rounds 16 "$@" 2>/dev/null; }
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  load --relays reference,server,server-ctl --ctl-config "$work/streams.cfg"
  load --relays reference,server-ctl,server --ctl-config "$work/streams.cfg"
  load --relays reference,server,server-ctl --ctl-config "$work/same.cfg"
  "$out/bench/mirx_relay_micro" --benchmark_min_time=0.3 \
    --benchmark_filter='stream_voice|voice/N:100/out:0' 2>/dev/null
  timeout 600 "$out/bench/mirx_stream_flood" --addresses 10000
} | tee -a "$out/streams-results.txt"
