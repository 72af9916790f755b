#!/usr/bin/env bash
# The Windows installer and services under Wine: builds the installer, installs
# it silently into a fresh prefix, has a Linux mirx_node register with the
# server and a transmission relayed and acknowledged, finds the node and the
# talker in the dashboard's state, stops both services, starts the server on
# a taken port, upgrades over an edited configuration and uninstalls.
#
#   service.sh SOURCE_DIR BUILD_DIR MIRX_NODE
#
# Exits 77 (skipped) when the cross compiler, makensis or Wine is missing.
# MIRX_SERVICE_KEEP=1 keeps the work directory.
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
node=$(realpath "${3:?mirx_node}")
wine_test=wine_service
# shellcheck source=tests/wine/common.sh
. "$src/tests/wine/common.sh"
need_tools "apt-get install --no-install-recommends wine wine64 nsis g++-mingw-w64-x86-64" makensis
cross_build "${2:?build directory}" service-build.log mirx_windows_installer
setup=$(ls "$build"/mirx-server-*-windows-x86_64-setup.exe)
x86_64-w64-mingw32-g++-posix -O1 -static -o "$build/service_control.exe" \
  "$src/tests/wine/service_control.cc" || fail "service_control.exe"

new_work_dir mirx-service
listener='' blocker=''
cleanup() {
  for p in $listener $blocker; do kill "$p" 2>/dev/null || true; done
  end_wine "${MIRX_SERVICE_KEEP:-}"
}
trap cleanup EXIT
cd "$work"
# Output of Wine programs always to files: the services it starts keep
# every inherited pipe open.
w() { timeout 60 wine "$@" </dev/null >>wine.txt 2>&1; }
query() {  # query [SERVICE], the server by default
  timeout 30 wine sc query "${1:-mirx-server}" </dev/null 2>/dev/null | tr -d '\r' || true
}
state_is() {  # state_is STATE [SERVICE]: the service reaches it within 10 s
  for _ in $(seq 50); do
    query "${2:-}" | grep -q "STATE *: [0-9] *$1" && return 0
    sleep 0.2
  done
  return 1
}

# A prefix with one service manager: the first boot of a persistent Wine
# server leaves two, which share out the requests between them.
new_prefix
timeout 30 wineserver -k || true
timeout 30 wineserver -w || true
timeout 30 wineserver -p

c=$WINEPREFIX/drive_c
data=$c/ProgramData/mirx-server
programs="$c/Program Files/mirx-server"
read -r in_port out_port < <(free_port_pair)
read -r log_port _ < <(free_port_pair)
http_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])')
# The configuration is in place before the install, as an operator restoring
# a backup has it: the services then use the test's own ports.
mkdir -p "$data"
printf 'InPort=%s;\r\nOutPort=%s;\r\nLogFileName=MirxServerLog;\r\nLogServer=127.0.0.1;\r\nLogPort=%s;\r\nLogStreams=ON;\r\n' \
  "$in_port" "$out_port" "$log_port" >"$data/mirx_server.cfg"

problems=()
check() {  # check DESCRIPTION COMMAND...: notes the description when COMMAND fails
  local what=$1
  shift
  "$@" >/dev/null 2>&1 || problems+=("$what")
}
log_ends_with_log_end() { tr -d '\r' <"$data/MirxServerLog" | tail -n 1 | grep -qE '^log end '; }
opt() { echo --server 127.0.0.1 --in-port "$in_port" --out-port "$out_port" --timeout 2; }

# dashboard_shows TALKER [NODE]: the dashboard's state has TALKER last heard
# and NODE among the nodes.
dashboard_shows() {
  python3 - "$http_port" "$@" <<'PY'
import json, sys, urllib.request
s = json.load(urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/api/v1/state", timeout=5))
nodes = [n["call1_trimmed"] for n in s["nodes"]]
heard = [h["my_call_trimmed"] for h in s["last_heard"]]
shown = sys.argv[2] in heard and all(n in nodes for n in sys.argv[3:])
sys.exit(0 if shown else f"nodes {nodes}, last heard {heard}")
PY
}

w "$setup" /S /HTTPPORT="$http_port" || fail "silent install: $(cat wine.txt)"
state_is RUNNING || fail "service not running after the install: $(query) $(cat "$data"/*.txt)"
state_is RUNNING mirx-dashboard ||
  fail "dashboard not running after the install: $(query mirx-dashboard) $(cat "$data"/*.txt)"
# shellcheck disable=SC2046  # opt gives separate words on purpose
{
  "$node" listen $(opt) --bind 127.0.0.2 --call1 JA1LIS >listen.txt 2>&1 &
  listener=$!
  for _ in $(seq 50); do grep -q '^registered' listen.txt && break; sleep 0.1; done
  "$node" transmit $(opt) --bind 127.0.0.3 --call1 JA1TX --my-call JA1TX --text "via service" \
    --flat-out >transmit.txt 2>&1 || true
  sleep 0.7
  shown=$(dashboard_shows JA1TX JA1LIS 2>&1) || problems+=("dashboard state: $shown")
  kill -INT "$listener" || true
  wait "$listener" || true
  listener=''
}
check "node not registered: $(cat listen.txt)" grep -q '^registered "JA1LIS"' listen.txt
check "transmission not relayed" grep -q '^end of stream from "JA1TX   "' listen.txt
check "transmission not acknowledged: $(cat transmit.txt)" grep -q '^acknowledgement: delivered' transmit.txt
check "programs not in Program Files" test -f "$programs/mirx_server.exe" -a -f "$programs/mirx_server.cfg.sample"
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/mirx-server"
for link in "Edit configuration" "Open log folder" README; do
  check "no Start-menu entry $link" test -f "$menu/$link.lnk"
done
check "no Start-menu entry for the page" grep -q "^URL=http://localhost:$http_port/" "$menu/Dashboard.url"
w "$build/service_control.exe" mirx-server 128 || problems+=("control 128 refused")
for _ in $(seq 20); do grep -q '^log reopen' "$data/MirxServerLog" && break; sleep 0.1; done
check "control 128 did not reopen the log file" grep -q '^log reopen' "$data/MirxServerLog"

# The dashboard's stop saves its state: the talker is in the file (calls in hex).
w net stop mirx-dashboard || problems+=("net stop mirx-dashboard failed")
check "dashboard not stopped" state_is STOPPED mirx-dashboard
check "no success reported for the dashboard's stop" grep -q 'WIN32_EXIT_CODE *: 0 ' <(query mirx-dashboard)
check "dashboard state not saved" grep -q "$(printf JA1TX | od -An -tx1 | tr -d ' \n')" "$data/mirx_dashboard.state"
w net stop mirx-server || problems+=("net stop failed")
check "service not stopped" state_is STOPPED
check "no success reported for the stop: $(query)" grep -q 'WIN32_EXIT_CODE *: 0 ' <(query)
check "log file does not end with log end" log_ends_with_log_end

# A start that fails: the port is taken. The service-specific code is 3.
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("", int(sys.argv[1]))); time.sleep(30)' \
  "$in_port" &
blocker=$!
sleep 0.3
w net start mirx-server || true
check "failed start not reported with code 3: $(query)" \
  grep -qE 'WIN32_EXIT_CODE *: 1066 .*SERVICE_EXIT_CODE *: 3 ' <(query | tr '\n' ' ')
kill "$blocker" || true
wait "$blocker" 2>/dev/null || true
blocker=''
for _ in $(seq 20); do python3 -c "import socket; socket.socket(2, 2).bind(('', $in_port))" 2>/dev/null && break; sleep 0.1; done

# Upgrade over an edited configuration: kept, and the service runs again.
printf '# edited by the operator\r\n' >>"$data/mirx_server.cfg"
w "$setup" /S || problems+=("upgrade install failed")
check "upgrade lost the edited configuration" grep -q 'edited by the operator' "$data/mirx_server.cfg"
check "service not running after the upgrade" state_is RUNNING
check "dashboard not running after the upgrade" state_is RUNNING mirx-dashboard
shown=$(dashboard_shows JA1TX 2>&1) || problems+=("dashboard state after the upgrade: $shown")

# The uninstaller runs from a copy of itself: wait for the programs to go.
w "$programs/uninstall.exe" /S || problems+=("uninstall failed")
for _ in $(seq 100); do [ -e "$programs/mirx_server.exe" ] || break; sleep 0.2; done
check "program left after the uninstall" test ! -e "$programs/mirx_server.exe" -a ! -e "$programs/mirx_dashboard.exe"
query | grep -q SERVICE_NAME && problems+=("service still registered after the uninstall")
query mirx-dashboard | grep -q SERVICE_NAME && problems+=("dashboard still registered after the uninstall")
check "data not kept by the uninstall" test -f "$data/mirx_server.cfg" -a -f "$data/MirxServerLog" \
  -a -f "$data/mirx_dashboard.state"
check "log file does not end with log end after the uninstall" log_ends_with_log_end

# An install that makes the configuration (the data folder kept, its
# configuration gone) points it at the dashboard. Only the file is checked:
# the sample's ports may be taken on this machine.
mv "$data/mirx_server.cfg" "$data/test.cfg"
w "$setup" /S /HTTPPORT="$http_port" || problems+=("install without a configuration failed")
new_cfg=$(tr -d '\r' <"$data/mirx_server.cfg" | grep -E '^Log(Server|Streams)=' | tr '\n' ' ')
[ "$new_cfg" = "LogServer=127.0.0.1; LogStreams=ON; " ] ||
  problems+=("a new configuration does not send records to the dashboard: $new_cfg")
w "$programs/uninstall.exe" /S || problems+=("second uninstall failed")

if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}"
  echo "--- log file"; tr -d '\r' <"$data/MirxServerLog" || true
  echo "--- install log"; tr -d '\r' <"$data/install-log.txt" || true
  echo "--- service console"; tr -d '\r' <"$data/mirx_server-console.txt" || true
  echo "--- dashboard console"; tr -d '\r' <"$data/mirx_dashboard-console.txt" || true
  exit 1
fi
echo "wine_service passed: install of both services, relay and acknowledgement, node and talker" \
  "on the dashboard, reopen, stops with state saved and log end, failed start code 3, upgrade," \
  "uninstall"
