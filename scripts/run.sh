#!/usr/bin/env bash
# Builds mirx_server and runs it on its defaults (or with the arguments given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" g++ cmake make
cmake -S "$root" -B "$root/build" -DMIRX_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target mirx_server
exec "$root/build/src/mirx_server" "$@"
