#!/usr/bin/env bash
# The Raspberry Pi packages: builds the arm64 and armhf Debian packages with
# the cross compilers (through the project's toolchain files), checks them
# with lintian, and runs the end-to-end tests and the short soak test of the
# server (built here for this machine) against the packaged arm64 and armhf
# servers under qemu-user, so that a fault of a 32-bit or ARM build (a 4-byte
# long, a 32-bit time_t, an unaligned read) shows.
#
#   cross_test.sh SOURCE_DIR BUILD_DIR [ARCH...]
#
# BUILD_DIR is the native build with the tests (MIRX_BUILD_TESTS=ON); ARCH
# defaults to "arm64 armhf". Exits 77 (skipped) when a cross compiler, qemu
# or a target's libraries are missing, saying what to install.
# MIRX_CROSS_KEEP=1 keeps the work directory.
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
build=$(cd "${2:?build directory}" && pwd)
shift 2
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(arm64 armhf)

# The end-to-end programs and the soak test, run against the emulated server.
e2e_tests=(startup_test conference_test log_server_test dprs_serial_test node_tool_test)
# Checks that only the emulator breaks, as gtest names with the reason; none
# so far (the descriptor table and preloaded libraries of an emulated
# process are qemu's, so checks of those would belong here).
emulator_skips=()

skip() {
  echo "cross_test skipped: $*"
  exit 77
}
declare -A triple=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
declare -A qemu=([arm64]=qemu-aarch64-static [armhf]=qemu-arm-static)
declare -A machine=([arm64]=AArch64 [armhf]=ARM)
declare -A loader=([arm64]=/lib/ld-linux-aarch64.so.1 [armhf]=/lib/ld-linux-armhf.so.3)
for arch in "${archs[@]}"; do
  hint="dpkg --add-architecture $arch; apt-get install g++-${triple[$arch]} qemu-user-static libboost-dev:$arch liburing-dev:$arch pkgconf:$arch"
  command -v "${triple[$arch]}-g++" >/dev/null || skip "no ${triple[$arch]}-g++ ($hint)"
  command -v "${qemu[$arch]}" >/dev/null || skip "no ${qemu[$arch]} ($hint)"
  # The emulated server loads the target's C and C++ libraries from the
  # system (multiarch), never mixed with the cross compiler's copies.
  [ -e "${loader[$arch]}" ] || skip "no $arch C library installed ($hint)"
done
cmake --build "$build" -j2 --target "${e2e_tests[@]}" mirx_soak >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/mirx-cross.XXXXXX")
[ -n "${MIRX_CROSS_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/package/build_deb.sh
. "$src/tests/package/build_deb.sh"

failed=()
for arch in "${archs[@]}"; do
  t0=$(date +%s)
  build_deb "$src" "$work" "$arch" || { failed+=("$arch package"); continue; }
  t1=$(date +%s)
  root=$work/root-$arch
  dpkg-deb -x "$deb" "$root"
  server=$root/usr/sbin/mirx_server
  readelf -h "$server" | grep -qE "Machine: +${machine[$arch]}$" ||
    failed+=("$arch: $server is not for ${machine[$arch]}")
  export MIRX_SERVER_PATH=$server MIRX_SERVER_WRAPPER=${qemu[$arch]}
  filter=-
  for s in "${emulator_skips[@]}"; do
    echo "$arch: skipped ${s%%:*} (${s#*: })"
    filter+="${s%%:*}:"
  done
  passed=0 skipped=0
  for t in "${e2e_tests[@]}"; do
    out=$work/$t-$arch.txt
    if ! timeout -s KILL 300 "$build/tests/$t" --gtest_filter="$filter" >"$out" 2>&1; then
      grep -E '^\[  FAILED  \]|Failure' "$out" | head -n 20
      failed+=("$arch: $t")
    fi
    n=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\./\1/p' "$out" | tail -n 1)
    passed=$((passed + ${n:-0}))
    n=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?,.*/\1/p' "$out" | tail -n 1)
    skipped=$((skipped + ${n:-0}))
  done
  if ! timeout -s KILL 300 "$build/tests/mirx_soak" --datagrams 20000 >"$work/soak-$arch.txt" 2>&1; then
    tail -n 20 "$work/soak-$arch.txt"
    failed+=("$arch: soak")
  fi
  echo "$arch under ${qemu[$arch]}: $passed end-to-end tests passed, $skipped skipped;" \
    "$(grep -E '^deliveries' "$work/soak-$arch.txt" || echo 'soak: no result')"
  echo "$arch: package $((t1 - t0)) s, emulated tests $(($(date +%s) - t1)) s"
done
unset MIRX_SERVER_PATH MIRX_SERVER_WRAPPER

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${failed[@]}"
  exit 1
fi
echo "cross_test passed: ${archs[*]} packages built and lintian clean, emulated servers pass"
