#!/usr/bin/env bash
# Installs the Debian packages given as arguments when they are missing. The
# test script asks for the compilers, GoogleTest, and clang with its runtime
# libraries (libclang-rt-14-dev holds libFuzzer and the sanitizer runtimes)
# for the fuzz targets.
set -euo pipefail
need=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
