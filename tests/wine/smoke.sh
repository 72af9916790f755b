#!/usr/bin/env bash
# Smoke test of the Windows build: cross-builds mirx_server.exe and the tools
# with mingw-w64, runs the server under Wine in a fresh prefix with its own
# loopback ports, lets nodes.py play two nodes, a log server and a serial
# device, stops the server with Ctrl-C (SIGINT) and checks its console, error
# stream and log file. A second, short run has mirx_logrx.exe as its log
# server and mirx_node.exe registering with it.
#
#   smoke.sh SOURCE_DIR BUILD_DIR
#
# Exits 77 (skipped) when the cross compiler or Wine is missing. With
# MIRX_SMOKE_KEEP=1 the work directory (prefix, console, log file) is kept.
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
wine_test=wine_smoke
# shellcheck source=tests/wine/common.sh
. "$src/tests/wine/common.sh"
need_tools "apt-get install --no-install-recommends wine wine64 g++-mingw-w64-x86-64"

# Cross build: the server and the tools, in a build tree of its own.
cross_build "${2:?build directory}" smoke-build.log mirx_server mirx_node mirx_logrx \
  mirx_windows_zip
exe=$build/src/mirx_server.exe
node_exe=$build/tools/mirx_node.exe
logrx_exe=$build/tools/mirx_logrx.exe

new_work_dir mirx-wine
server='' nodes='' logrx='' reader=''
cleanup() {
  if [ -n "$reader" ]; then kill "$reader" 2>/dev/null || true; fi
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
  if [ -n "$nodes" ]; then kill "$nodes" 2>/dev/null || true; fi
  if [ -n "$logrx" ]; then kill "$logrx" 2>/dev/null || true; fi
  end_wine "${MIRX_SMOKE_KEEP:-}"
}
trap cleanup EXIT

t0=$(date +%s.%N)
new_prefix
echo "fresh Wine prefix: $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"

python3 "$src/tests/wine/nodes.py" "$work" &
nodes=$!
for _ in $(seq 100); do [ -e "$work/nodes.ready" ] && break; sleep 0.1; done
[ -e "$work/nodes.ready" ] || fail "nodes not ready"

# Seconds from the time in file $2 until UDP port $1 is bound on this machine
# (Wine's sockets are the host's), or "never" after 20 s.
bound_after() {
  local hex
  hex=$(printf ':%04X ' "$1")
  for _ in $(seq 400); do
    if grep -q "$hex" /proc/net/udp; then
      awk -v a="$(cat "$2")" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'
      return
    fi
    sleep 0.05
  done
  echo never
}
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }

cd "$work"
# A console start must not wait for the service dispatcher (which Wine
# answers only after about 10 s): the usage comes at once.
t0=$(date +%s.%N)
usage_status=0
timeout 30 wine "$exe" "-?" >usage.txt 2>&1 || usage_status=$?
usage_seconds=$(seconds_since "$t0")
date +%s.%N >launched
# The console goes through a reader that notes every read ending inside a
# line: each console line must reach the pipe in one write.
mkfifo console.fifo
python3 "$src/tests/wine/console_reads.py" console.fifo console.txt console.reads &
reader=$!
timeout 60 wine "$exe" -i -f mirx.cfg >console.fifo 2>error.txt &
server=$!
in_port=$(sed -n 's/^InPort=\([0-9]*\);$/\1/p' mirx.cfg)
bound_seconds=$(bound_after "$in_port" launched)
echo "console start under Wine: InPort bound ${bound_seconds} s after the launch; -? answered in ${usage_seconds} s"

for _ in $(seq 600); do [ -e nodes.done ] && break; sleep 0.1; done
# Console lines reach a file at once, before any stop flushes them.
cp console.txt console.running
# A second instance finds its port taken and its serial port missing: it
# reports both and ends through the abnormal-termination path.
second_status=0
timeout 30 wine "$exe" -f second.cfg >second.txt 2>second.err || second_status=$?
interrupt "$server" ||
  fail "server not running when the nodes were done: $(cat console.txt error.txt)"
status=0
wait "$server" || status=$?
server=''
touch stopped
wait "$reader" || true
reader=''
nodes_status=0
wait "$nodes" || nodes_status=$?
nodes=''

# shellcheck source=tests/wine/tools_run.sh
. "$src/tests/wine/tools_run.sh"
run_tools

tr -d '\r' <console.txt >console.lf
[ -e mirx.log ] || : >mirx.log  # missing: the checks below say what lacks
tr -d '\r' <mirx.log >log.lf
stamp='[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}'
problems=()
expect() {  # expect FILE COUNT REGEX: COUNT lines of FILE match REGEX
  local n
  n=$(grep -cE -- "$3" "$1" || true)
  [ "$n" -eq "$2" ] || problems+=("$1: $n lines match '$3', want $2")
}
expect console.lf 1 '^ D-STAR mirx  Server Program V00\.01 09/24/2011$'
expect console.lf 1 '^ +Windows edition'
expect console.lf 2 "^$stamp Node IP address added JA1(AAA A|BBB B) "
expect console.lf 20 "^$stamp Send DV Packet to JA1BBB B$"
expect console.lf 1 "^$stamp Deleted from table: "
expect console.lf 0 'open error|not supported|Not Found|Not assign|bind error'
tr -d '\r' <console.running >running.lf
head -n 1 running.lf | grep -qx ' D-STAR mirx  Server Program V00\.01 09/24/2011' ||
  problems+=("console does not begin with the banner while running")
expect running.lf 1 "^$stamp Deleted from table: "
tail -n 1 console.lf | grep -qE "^End $stamp$" || problems+=("last console line is not the End line")
grep -qx 'reads [0-9]* broken 0' console.reads ||
  problems+=("console lines not written whole: $(cat console.reads 2>/dev/null)")
printf '\r\nAbnormal program termination\r\n' | cmp -s - error.txt ||
  problems+=("error stream: $(od -c error.txt | head -3)")
[ "$status" -eq 3 ] || problems+=("exit status $status, want 3")
# Not a speed limit: about 10 s would be the service dispatcher's wait, which a
# console start must never have.
[ "$bound_seconds" != never ] && awk -v s="$bound_seconds" 'BEGIN { exit !(s < 8) }' ||
  problems+=("InPort bound ${bound_seconds} s after the launch: the console start waited")
[ "$usage_status" -eq 0 ] && grep -q '^Usage:' usage.txt ||
  problems+=("-? gave status $usage_status: $(head -3 usage.txt)")
tr -d '\r' <second.txt >second.lf
expect second.lf 1 '^D-PRS port \\\\\.\\com43 open error : .+ \(running without D-PRS output\)$'
expect second.lf 1 "^in sock bind error $in_port : .+$"
printf '\r\nAbnormal program termination\r\n' | cmp -s - second.err ||
  problems+=("second instance error stream: $(od -c second.err | head -3)")
[ "$second_status" -eq 3 ] || problems+=("second instance exit status $second_status, want 3")
head -n 1 log.lf | grep -qE "^log start $stamp$" || problems+=("log file does not begin with log start")
tail -n 1 log.lf | grep -qE "^log end $stamp$" || problems+=("log file does not end with log end")
expect log.lf 20 '^Send DV Packet to JA1BBB B$'
# Text mode: every line of the log file ends in CR LF on Windows.
[ "$(grep -c $'\r$' mirx.log)" -eq "$(wc -l <mirx.log)" ] || problems+=("log file lines not CR LF")
[ "$nodes_status" -eq 0 ] || problems+=("node checks failed (see above)")
check_tools_run
# The zip for Windows users: the four programs, and the sample configuration
# and the README as text with CR LF line ends only.
zip_check=$(python3 - "$build"/mirx-server-*-windows-x86_64.zip <<'PY'
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = sorted(z.namelist())
want = ["README.txt", "mirx_dashboard.exe", "mirx_logrx.exe", "mirx_node.exe", "mirx_server.cfg",
        "mirx_server.exe"]
if names != want:
    print("zip holds", names)
for text in ("README.txt", "mirx_server.cfg"):
    data = z.read(text) if text in names else b""
    if not data or data.count(b"\n") != data.count(b"\r\n"):
        print(text, "is not CR LF text")
PY
) || zip_check="zip unreadable: $zip_check"
[ -z "$zip_check" ] || problems+=("$zip_check")

if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}"
  echo "--- console"; cat console.lf
  echo "--- log file"; cat log.lf
  echo "--- second instance"; cat second.lf
  echo "--- tools run: server, mirx_logrx, mirx_node"
  cat tools-console.lf logrx.lf node.lf listen.lf logrx.err node.err listen.err
  exit 1
fi
echo "console through a pipe: $(cat console.reads)"
echo "wine_smoke passed: End line, one write per console line, Abnormal program termination, exit status 3, log start/end," \
  "mirx_logrx.exe and mirx_node.exe lines"
