#!/usr/bin/env bash
# mirx_dashboard.exe under Wine: a console start with a state file, one
# record, Ctrl-C within the save interval (so only the stop can have saved
# the record), then the hostile-client rows that Wine runs in reasonable time.
#
#   dashboard.sh SOURCE_DIR BUILD_DIR
#
# Exits 77 (skipped) when the cross compiler or Wine is missing.
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
wine_test=wine_dashboard
# shellcheck source=tests/wine/common.sh
. "$src/tests/wine/common.sh"
need_tools "apt-get install --no-install-recommends wine wine64 g++-mingw-w64-x86-64"
cross_build "${2:?build directory}" dashboard-build.log mirx_dashboard
exe=$build/tools/dashboard/mirx_dashboard.exe
[ -f "$exe" ] || skip "mirx_dashboard.exe not built (needs libboost-dev and nlohmann-json3-dev)"

new_work_dir mirx-dashboard
dashboard=''
cleanup() {
  if [ -n "$dashboard" ]; then kill "$dashboard" 2>/dev/null || true; fi
  end_wine ""  # nothing kept
}
trap cleanup EXIT
new_prefix
cd "$work"

timeout 60 wine "$exe" --listen 127.0.0.1:0 --http 127.0.0.1:0 --state dashboard.state \
  >out.txt 2>err.txt &
dashboard=$!
udp=$(first_match 200 err.txt 's/^mirx_dashboard: records on udp 127\.0\.0\.1:\([0-9]*\),.*/\1/p') ||
  fail "no start line: $(cat err.txt)"
# An ADD of JA1WIN, then the stop at once: the save interval is 5 s.
python3 - "$src/tests/e2e" "$udp" <<'PY'
import socket, sys
sys.path.insert(0, sys.argv[1])
from dashboard_hostile_test import record
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(
    record(b"ADD ", b"JA1WIN  ", b"MIRXNODE", b"\x7f\0\0\x01\0\0\0\0"), ("127.0.0.1", int(sys.argv[2])))
PY
sleep 0.5
interrupt "$dashboard" || fail "mirx_dashboard.exe not running: $(cat err.txt)"
status=0
wait "$dashboard" || status=$?
dashboard=''
problems=()
[ "$status" -eq 0 ] || problems+=("exit status $status after Ctrl-C, want 0")
tail -n 1 err.txt | tr -d '\r' | grep -qx 'mirx_dashboard: stopped' ||
  problems+=("last line not the stop line: $(tail -n 1 err.txt)")
grep -q 4a413157494e dashboard.state || problems+=("the stop did not save the state")

# Every row but these: the crowds of 1,000, 2,048 and 4,096 connections
# (minutes under Wine), the title that is not UTF-8 (Wine turns the argument
# into its own code page), the FIFO as a state file (no FIFOs on Windows),
# the 8 streams whose system takes all: Winsock does not tell what the
# peer acknowledged, so those streams are judged by their writes alone; and
# the rows that hold unread answers and streams (128 unread /metrics answers,
# 64 stalled streams, 8 stale reconnects): how soon Wine gives back what a
# closed connection held depends on how busy the machine is, and beside the
# suite they went past the bounds they hold alone (87 MB, a stream refused);
# likewise the 16,000 records of "64 talkers in every event", whose peak
# ranged from 55 to 81 MB between runs of one build.
rows='^(?!1,000 idle|2,048 heads|256 addresses|title that|--state naming a FIFO|8 streams whose|128 /metrics|64 stalled|stale Last-Event-ID|64 talkers)'
MIRX_DASHBOARD_LAUNCHER=wine MIRX_DASHBOARD_ROWS=$rows timeout 240 \
  python3 "$src/tests/e2e/dashboard_hostile_test.py" "$exe" >hostile.txt 2>&1 ||
  problems+=("hostile rows: $(grep -A2 FAIL hostile.txt || tail -n 5 hostile.txt)")
if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}"
  exit 1
fi
cat hostile.txt
echo "wine_dashboard passed: console start, Ctrl-C with the state saved, $(grep -c '^ok' hostile.txt) hostile rows"
