#!/usr/bin/env bash
# Builds mirx_server and the tools, then runs the server on the sample
# configuration (or with the arguments given). The server runs in run/, where
# its files belong: its configuration mirx_server.cfg (copied from the sample
# at the top of the checkout on the first run, then yours to edit) and its log
# file MirxServerLog. run/ is not tracked by git.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" g++ cmake make pkgconf liburing-dev
cmake -S "$root" -B "$root/build" -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target mirx_server mirx_node mirx_logrx
mkdir -p "$root/run"
[ -e "$root/run/mirx_server.cfg" ] || cp "$root/mirx_server.cfg" "$root/run/mirx_server.cfg"
cd "$root/run"
exec "$root/build/src/mirx_server" "$@"
