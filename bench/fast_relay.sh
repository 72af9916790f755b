#!/usr/bin/env bash
# Figures for FastRelay=ON, as in results/2026-12-07-fast-relay.txt: at 100,
# 500 and 1,000 nodes, one and five streams, the reference relay plain
# (sendto), batched (sendmmsg) and on io_uring with connected sockets, beside
# the server batched (its default), with FastRelay=ON, and both with -i (one
# send at a time, a console line per delivery). Every line carries its ratio
# to the plain reference, to its twin without FastRelay and to the batched
# reference, measured in the same rounds. Builds in build-bench/ (or $BUILD)
# and appends to fast-relay-results.txt there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD:-"$root/build-bench"}
nodes=${NODES:-"100 500 1000"}
relays=${RELAYS:-reference,reference-mmsg,reference-uring,server,server-fast,server-i,server-fast-i}
bash "$root/scripts/deps.sh" g++ cmake make pkgconf liburing-dev libbenchmark-dev
cmake -S "$root" -B "$out" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target mirx_load >/dev/null
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  for n in $nodes; do
    timeout 900 "$out/bench/mirx_load" --nodes "$n" --streams 1,5 --rounds "${ROUNDS:-6}" \
      --relays "$relays" 2>/dev/null
  done
  echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee -a "$out/fast-relay-results.txt"
