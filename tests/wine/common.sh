# shellcheck shell=bash disable=SC2154  # src, wine_test, work: set by the test
# What the Wine tests share, sourced by each of them once it has set
# `wine_test` (its name in the test list) and `src` (the source directory):
# skipping when the tools are missing, the cross build, a fresh Wine prefix in
# a work directory of its own, and the waits on Wine programs.

skip() {
  echo "$wine_test skipped: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  exit 1
}

# need_tools HINT [TOOL...]: skips the test unless the cross compiler, Wine,
# the TOOLs, python3 and timeout are all found and Wine runs; HINT says how to
# install what lacks.
need_tools() {
  local hint=$1 tool
  shift
  for tool in x86_64-w64-mingw32-g++-posix wine wineserver wineboot "$@" python3 timeout; do
    command -v "$tool" >/dev/null || skip "$tool not found ($hint)"
  done
  timeout 30 wine --version >/dev/null 2>&1 || skip "wine does not run ($hint)"
}

# cross_build DIR LOG TARGET...: builds the TARGETs in the mingw-w64 build
# tree DIR (made when missing; its full path in `build`), the compiler's
# output in LOG there and shown only when the build fails.
cross_build() {
  local log
  build=$(mkdir -p "$1" && cd "$1" && pwd)
  log=$build/$2
  shift 2
  if ! { cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    -DMIRX_BUILD_TESTS=OFF && cmake --build "$build" -j2 --target "$@"; } >"$log" 2>&1; then
    cat "$log"
    fail "cross build"
  fi
}

# new_work_dir NAME: a fresh work directory, in `work`, whose prefix holds
# the Wine prefix every Wine program of the test then runs in.
new_work_dir() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# new_prefix: the Wine prefix made, under a persistent Wine server started
# here, which keeps its own messages out of the programs' error streams.
new_prefix() {
  mkdir -p "$WINEPREFIX"
  timeout 30 wineserver -p 2>"$work/wineserver.log" || fail "wineserver does not start"
  timeout 90 wineboot -i >"$work/wineboot.log" 2>&1 || fail "Wine prefix not created"
}

# end_wine KEEP: ends the Wine server and all it runs, and removes the work
# directory unless KEEP is set. For the test's exit trap.
end_wine() {
  timeout 30 wineserver -k 2>/dev/null || true
  [ -n "$1" ] || rm -rf "$work"
}

# Ctrl-C to the Wine process under `timeout` whose pid is $1 (the Wine
# process itself gets it, not timeout); fails when there is none.
interrupt() {
  local wine_pid
  wine_pid=$(ps -o pid= --ppid "$1" | tr -d ' ' || true)
  [ -n "$wine_pid" ] && kill -INT "$wine_pid"
}

# first_match TRIES FILE SCRIPT: what `sed -n SCRIPT` first finds in FILE,
# looking every 0.1 s at most TRIES times (FILE may not be there yet);
# fails when it finds nothing.
first_match() {
  local found _
  for _ in $(seq "$1"); do
    found=$(sed -n "$3" "$2" 2>/dev/null)
    [ -n "$found" ] && echo "$found" && return 0
    sleep 0.1
  done
  return 1
}

# Two ports free on every address, for InPort and OutPort.
free_port_pair() {
  python3 -c '
import socket
a, b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
a.bind(("", 0)); b.bind(("", 0))
print(a.getsockname()[1], b.getsockname()[1])'
}
