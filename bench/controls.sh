#!/usr/bin/env bash
# Figures for the operator controls (about three minutes on two cores):
#  - the relay with RelayUnregistered=OFF and a 1,000-rule access file against
#    the same server without them, in the same rounds (mirx_load, relays
#    server and server-ctl; the "vs server" ratio is the figure);
#  - bytes sent towards a forged unregistered source, relay open and closed;
#  - a flood of registrations against MaxNodes=1000.
#
#   bench/controls.sh
#   NODES=500 ROUNDS=8 REGISTRATIONS=1000000 bench/controls.sh
#
# Builds in build-bench/ like run.sh and appends its lines to
# build-bench/controls-results.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-"$root/build-bench"}
nodes=${NODES:-100}
rounds=${ROUNDS:-8}
registrations=${REGISTRATIONS:-1000000}

bash "$root/scripts/deps.sh" g++ cmake make libbenchmark-dev
cmake -S "$root" -B "$build" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mirx_load mirx_controls_flood >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 1,000 rules that the benchmark's nodes (127.0.1.1 ... 127.0.4.250, call
# signs without an X) pass: the loopback allowed, 600 networks and 399
# call-sign patterns denied.
{
  echo "allow 127.0.0.0/8"
  for i in $(seq 1 600); do echo "deny 10.$((i / 256)).$((i % 256)).0/24"; done
  for i in $(seq 1 399); do echo "deny X${i}Y*"; done
} >"$work/access.txt"
printf 'RelayUnregistered=OFF;\nAccessFile=%s;\n' "$work/access.txt" >"$work/ctl.cfg"

results="$build/controls-results.txt"
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r)"
  echo "# load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "# access file: $(wc -l <"$work/access.txt") rules"
} | tee -a "$results"
timeout 900 "$build/bench/mirx_load" --nodes "$nodes" --streams 1,5 --rounds "$rounds" \
  --relays reference,server,server-ctl --ctl-config "$work/ctl.cfg" 2>/dev/null | tee -a "$results"
timeout 600 "$build/bench/mirx_controls_flood" --registrations "$registrations" | tee -a "$results"
