#!/usr/bin/env bash
# Builds everything and runs every test, twice: in the normal build and in a
# build checked by AddressSanitizer and UndefinedBehaviorSanitizer (any
# finding ends the test that meets it; the Windows smoke test, which runs the
# cross-built binary under Wine, only in the normal build). Then runs each
# fuzz target for FUZZ_SECONDS (default 20) and fails on any finding. Last,
# the package tests, which install a package system-wide (root only; skipped
# otherwise) and so run alone, after everything else.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" g++ cmake make libgtest-dev libgmock-dev \
  libbenchmark-dev wine wine64 g++-mingw-w64-x86-64 clang libclang-rt-14-dev \
  gpsd gpsd-clients aprx scdoc mandoc
# The dashboard's libraries, and a real browser with its driver for the page's
# test. Debian's nodejs brings npm on a fresh machine; a machine with another
# nodejs that has npm already must not get Debian's npm beside it.
bash "$root/scripts/deps.sh" libcpp-httplib-dev nlohmann-json3-dev chromium
command -v node >/dev/null || bash "$root/scripts/deps.sh" nodejs
command -v npm >/dev/null || bash "$root/scripts/deps.sh" npm
(cd "$root/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
jobs=$(nproc)

# build_and_test DIR [ctest exclusion] -- [cmake options]
build_and_test() {
  local dir=$1 exclude=$2
  shift 3
  echo "== $dir"
  cmake -S "$root" -B "$root/$dir" "$@" >/dev/null
  cmake --build "$root/$dir" -j"$jobs"
  ctest --test-dir "$root/$dir" --output-on-failure -j"$jobs" --timeout 120 ${exclude:+-E "$exclude"}
}

build_and_test build "" -- -DMIRX_BUILD_TESTS=ON -DMIRX_BUILD_BENCH=ON
UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-asan "wine_smoke|readme_commands" -- -DMIRX_BUILD_TESTS=ON -DMIRX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
echo "== fuzz"
bash "$root/fuzz/run.sh" "${FUZZ_SECONDS:-20}"

# Package tests (exit status 77: skipped, for instance when not root).
skippable() {
  local status=0
  "$@" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ]
}
echo "== Debian package"
bash "$root/scripts/deps.sh" debhelper lintian scdoc logrotate systemd python3 pkgconf \
  libcpp-httplib-dev nlohmann-json3-dev
skippable bash "$root/tests/package/deb_test.sh" "$root"
echo "== arm64 and armhf packages under qemu"
for arch in arm64 armhf; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
bash "$root/scripts/deps.sh" g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static \
  libcpp-httplib-dev:arm64 libcpp-httplib-dev:armhf pkgconf:arm64 pkgconf:armhf
skippable bash "$root/tests/package/cross_test.sh" "$root" "$root/build"
