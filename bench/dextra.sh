#!/usr/bin/env bash
# Figures for the DExtra door, as in results/2026-12-08-dextra.txt: the
# server's CPU time per delivery to 100 and 500 DExtra clients against the
# batched reference relay (sendmmsg) delivering the same over to as many
# nodes, rounds alternating. Builds in build-bench/ (or $BUILD) and appends
# to dextra-results.txt there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD:-"$root/build-bench"}
bash "$root/scripts/deps.sh" g++ cmake make pkgconf libbenchmark-dev
cmake -S "$root" -B "$out" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target mirx_dextra_load >/dev/null
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  for n in ${CLIENTS:-100 500}; do
    timeout 900 "$out/bench/mirx_dextra_load" --clients "$n" --rounds "${ROUNDS:-3}" 2>/dev/null
  done
  echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee -a "$out/dextra-results.txt"
