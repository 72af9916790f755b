#!/usr/bin/env bash
# Builds mirx_server, mirx_node, mirx_logrx, the manual pages (build/man/)
# and, where its libraries are installed, mirx_dashboard: all that
# `cmake --install build` installs. Then runs the server on the sample
# configuration (or with the arguments given). It installs only what the
# server needs and scdoc for the manual pages: the dashboard's libraries
# come with the test command or with
#   bash scripts/deps.sh libboost-dev nlohmann-json3-dev
# The server runs in run/, where its files belong: its configuration
# mirx_server.cfg (copied from the sample at the top of the checkout on the
# first run, then yours to edit), its log file MirxServerLog and
# mirx_server.pid, its process id, for signals (kill -USR1). run/ is not
# tracked by git.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" g++ cmake make pkgconf liburing-dev scdoc
cmake -S "$root" -B "$root/build" -DMIRX_BUILD_TESTS=OFF >/dev/null
targets=(mirx_server mirx_node mirx_logrx manpages)
# CMake defines the dashboard's target only when it found its libraries. The
# list is read whole first: grep -q would stop reading early, and the broken
# pipe would fail the test under pipefail.
if grep -qw mirx_dashboard <<<"$(cmake --build "$root/build" --target help)"; then
  targets+=(mirx_dashboard)
fi
cmake --build "$root/build" -j"$(nproc)" --target "${targets[@]}"
mkdir -p "$root/run"
[ -e "$root/run/mirx_server.cfg" ] || cp "$root/mirx_server.cfg" "$root/run/mirx_server.cfg"
cd "$root/run"
# exec keeps this shell's process id: the pid file names the server itself.
echo $$ >mirx_server.pid
exec "$root/build/src/mirx_server" "$@"
