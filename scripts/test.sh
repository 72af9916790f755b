#!/usr/bin/env bash
# Builds everything and runs every test, twice: in the normal build and in a
# build checked by AddressSanitizer and UndefinedBehaviorSanitizer (any
# finding ends the test that meets it; the Windows tests, which run the
# cross-built binary under Wine, and the dashboard's hostile-client test,
# whose time and memory bounds hold for the normal build, only there). Then runs each
# fuzz target for FUZZ_SECONDS (default 20) and fails on any finding. Last,
# the package tests, which install a package system-wide (root only; skipped
# otherwise) and so run alone, after everything else.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Everything the builds and tests need, in one install; the Raspberry Pi
# cross builds need their architectures added to dpkg first.
for arch in arm64 armhf; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
bash "$root/scripts/deps.sh" g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev \
  wine wine64 nsis g++-mingw-w64-x86-64 clang libclang-rt-14-dev gpsd gpsd-clients aprx \
  libboost-dev nlohmann-json3-dev liburing-dev chromium \
  debhelper lintian scdoc mandoc logrotate systemd python3 pkgconf \
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static \
  libboost-dev:arm64 libboost-dev:armhf pkgconf:arm64 pkgconf:armhf \
  liburing-dev:arm64 liburing-dev:armhf
# A browser driver for the dashboard's page test. Debian's nodejs brings npm on
# a fresh machine; a machine with another nodejs that has npm already must not
# get Debian's npm beside it.
command -v node >/dev/null || bash "$root/scripts/deps.sh" nodejs
command -v npm >/dev/null || bash "$root/scripts/deps.sh" npm
(cd "$root/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
echo "== dependencies ready after ${SECONDS} s"
jobs=$(nproc)

# build_and_test DIR [ctest exclusion] -- [cmake options]
build_and_test() {
  local dir=$1 exclude=$2
  shift 3
  echo "== $dir (at ${SECONDS} s)"
  cmake -S "$root" -B "$root/$dir" "$@" >/dev/null
  cmake --build "$root/$dir" -j"$jobs"
  # Most tests wait on sockets and child processes more than they compute.
  ctest --test-dir "$root/$dir" --output-on-failure -j"$((jobs * 2))" --timeout 120 \
    ${exclude:+-E "$exclude"}
}

build_and_test build "" -- -DMIRX_BUILD_TESTS=ON -DMIRX_BUILD_BENCH=ON
UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-asan "wine_build|wine_smoke|wine_service|wine_dashboard|readme_commands|dashboard_hostile" -- -DMIRX_BUILD_TESTS=ON -DMIRX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
echo "== fuzz (at ${SECONDS} s)"
bash "$root/fuzz/run.sh" "${FUZZ_SECONDS:-20}"

# Package tests (exit status 77: skipped, for instance when not root).
skippable() {
  local status=0
  "$@" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ]
}
echo "== Debian package (at ${SECONDS} s)"
skippable bash "$root/tests/package/deb_test.sh" "$root"
echo "== arm64 and armhf packages under qemu (at ${SECONDS} s)"
skippable bash "$root/tests/package/cross_test.sh" "$root" "$root/build"
echo "== all tests passed in ${SECONDS} s"
