#!/usr/bin/env bash
# Figures for the conference rules, as in results/2026-12-07-conference-rules.txt:
# relay CPU per delivery with OneTalker=ON (and with all three rules on)
# against the same server without them, one stream at a time (the only load
# the rule lets through), at 100 and 500 nodes; then a control run whose
# twins differ by nothing: the noise of the method on this machine.
# Builds in build-bench/ (or $BUILD) and appends to
# conference-rules-results.txt there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD:-"$root/build-bench"}
bash "$root/scripts/deps.sh" g++ cmake make libbenchmark-dev
cmake -S "$root" -B "$out" -DMIRX_BUILD_BENCH=ON -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target mirx_load mirx_server >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'OneTalker=ON;\n' >"$work/one.cfg"
printf 'OneTalker=ON;\nMaxOverSeconds=3600;\nEchoCall=ECHO;\n' >"$work/all.cfg"
printf 'LogVoice=ON;\n' >"$work/same.cfg"
load() {
  timeout 900 "$out/bench/mirx_load" --streams 1 --rounds "${ROUNDS:-8}" \
    --relays reference,server,server-ctl "$@" 2>/dev/null
}
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  for n in ${NODES:-100 500}; do
    load --nodes "$n" --ctl-config "$work/one.cfg"
    load --nodes "$n" --ctl-config "$work/all.cfg"
    load --nodes "$n" --ctl-config "$work/same.cfg"
  done
  echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee -a "$out/conference-rules-results.txt"
