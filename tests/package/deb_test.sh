#!/usr/bin/env bash
# The Debian package, end to end: builds it from a copy of the checkout,
# checks that its version is the project's, that lintian has nothing to say
# and that both systemd units pass `systemd-analyze verify` and rate 2.0 or
# lower in `systemd-analyze security --offline=yes`; then installs it
# (dpkg -i, no running systemd needed), runs the installed server exactly as
# its unit's ExecStart says, as the unit's user in the unit's working
# directory, lets the installed mirx_node register, checks the log file,
# the state file and a log reopen after a rename, and purges the package.
#
#   deb_test.sh SOURCE_DIR
#
# Installs the package system-wide: run it as root on a disposable machine,
# never beside another run of itself. Exits 77 (skipped) when not root.
# MIRX_DEB_KEEP=1 keeps the work directory.
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
pkg=mirx-server
unit=/lib/systemd/system/mirx-server.service
problems=()

fail() {
  echo "FAIL: $*"
  exit 1
}
check() {  # check DESCRIPTION COMMAND...: note a problem unless COMMAND succeeds
  local what=$1
  shift
  "$@" || problems+=("$what")
}
step_start=$(date +%s)
step() {  # step NAME: prints the time the previous step took
  local now
  now=$(date +%s)
  echo "-- ${step_name:-setup}: $((now - step_start)) s"
  step_name=$1 step_start=$now
}

[ "$(id -u)" -eq 0 ] || { echo "deb_test skipped: installs a package, needs root"; exit 77; }
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
  fail "$pkg is installed on this machine; this test installs and purges it: dpkg --purge $pkg first"
fi
user_existed=0
id mirx >/dev/null 2>&1 && user_existed=1

work=$(mktemp -d "${TMPDIR:-/tmp}/mirx-deb.XXXXXX")
server=''
cleanup() {
  if [ -n "$server" ]; then kill -KILL "$server" 2>/dev/null || true; fi
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'installed'; then
    dpkg --purge "$pkg" >/dev/null 2>&1 || true
  fi
  if [ "$user_existed" -eq 0 ] && id mirx >/dev/null 2>&1; then userdel mirx 2>/dev/null || true; fi
  [ -n "${MIRX_DEB_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

step build
# shellcheck source=tests/package/build_deb.sh
. "$src/tests/package/build_deb.sh"
build_deb "$src" "$work" || fail "package build"
cmake_version=$(sed -n 's/^project(mirx_server VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
check "debian/changelog has $version, CMakeLists.txt $cmake_version" [ "$version" = "$cmake_version" ]

step install
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; }
check "user mirx in dialout: $(id mirx 2>&1)" bash -c 'id -nG mirx | grep -qw dialout'
check "mirx has no login shell" bash -c 'getent passwd mirx | grep -qE ":(/usr/sbin/nologin|/sbin/nologin|/bin/false)$"'
for dir in /var/lib/mirx-server /var/log/mirx-server; do
  check "$dir not owned by mirx: $(stat -c %U "$dir" 2>&1)" [ "$(stat -c %U "$dir" 2>/dev/null)" = mirx ]
done
check "service not enabled for boot" [ -L /etc/systemd/system/multi-user.target.wants/mirx-server.service ]
check "configuration not a conffile" grep -qx /etc/mirx-server/mirx_server.cfg \
  "/var/lib/dpkg/info/$pkg.conffiles"

step units
# The unit as systemd would read it: its user, directory and command line.
unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
run_user=$(unit_value User)
run_dir=$(unit_value WorkingDirectory)
exec_start=$(unit_value ExecStart)
config=$(sed -n 's/.* -f \([^ ]*\).*/\1/p' <<<"$exec_start")
read -ra command <<<"$exec_start"
check "ExecStart $exec_start: program missing" [ -x "${command[0]}" ]
check "configuration $config missing" [ -f "$config" ]
check "WorkingDirectory $run_dir missing" [ -d "$run_dir" ]
while read -r key; do
  grep -qE "^#?$key=" "$config" || problems+=("$config lacks $key, a key of the sample")
done < <(sed -n 's/^\([A-Za-z]*\)=.*/\1/p' "$src/mirx_server.cfg")
units=("$unit")
dashboard_unit=/lib/systemd/system/mirx-dashboard.service
if [ -e "$dashboard_unit" ]; then
  units+=("$dashboard_unit")
  check "dashboard defaults missing" [ -f /etc/default/mirx-dashboard ]
  check "dashboard program missing" [ -x /usr/bin/mirx_dashboard ]
else
  # Without the program the package has no dashboard unit: rate the one the
  # build would install, from its source, all the same.
  echo "mirx_dashboard not built: its unit is rated from dist/mirx-dashboard.service.in"
  sed -e 's|@CMAKE_INSTALL_FULL_BINDIR@|/usr/bin|; s|@MIRX_DASHBOARD_DEFAULTS@|/etc/default/mirx-dashboard|' \
    -e 's|@MIRX_CONFIG_FILE@|/etc/mirx-server/mirx_server.cfg|' \
    "$src/dist/mirx-dashboard.service.in" >"$work/mirx-dashboard.service"
  dashboard_unit=$work/mirx-dashboard.service
fi
# verify warns about an unknown key and goes on: any word from it is a fault.
for u in "${units[@]}"; do
  if ! systemd-analyze verify --man=no "$u" >"$work/verify.txt" 2>&1 || [ -s "$work/verify.txt" ]; then
    problems+=("systemd-analyze verify $u: $(cat "$work/verify.txt")")
  fi
done
for u in "$unit" "$dashboard_unit"; do
  status=0
  systemd-analyze security --offline=yes --threshold=20 "$u" >"$work/security.txt" 2>&1 || status=$?
  grep 'Overall exposure level' "$work/security.txt" || problems+=("no score for $u: $(cat "$work/security.txt")")
  [ "$status" -eq 0 ] || problems+=("$u rated over 2.0")
done

step run
# Ports of its own, like every test here: the operator's edit of the conffile.
read -r in_port out_port < <(python3 -c '
import socket
a, b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
a.bind(("", 0)); b.bind(("", 0))
print(a.getsockname()[1], b.getsockname()[1])')
sed -i -e "s/^InPort=.*/InPort=$in_port;/" -e "s/^OutPort=.*/OutPort=$out_port;/" "$config"
log_file=$(sed -n 's/^LogFileName=\([^;]*\);.*/\1/p' "$config")
state_file=$(sed -n 's/^StateFile=\([^;]*\);.*/\1/p' "$config")
(cd "$run_dir" && exec setpriv --reuid="$run_user" --regid="$run_user" --init-groups -- "${command[@]}") \
  >"$work/console.txt" 2>"$work/error.txt" &
server=$!
node() {  # node ADDRESS CALL: the installed mirx_node registers
  mirx_node register --server 127.0.0.1 --in-port "$in_port" --out-port "$out_port" \
    --bind "$1" --call1 "$2" --timeout 1 >>"$work/node.txt" 2>&1
}
registered=0
for _ in $(seq 10); do node 127.0.0.2 N0PKG && registered=1 && break; done
check "node not registered: $(cat "$work/node.txt")" [ "$registered" -eq 1 ]
check "log file $log_file missing" [ -f "$log_file" ]
check "log file not owned by $run_user" [ "$(stat -c %U "$log_file" 2>/dev/null)" = "$run_user" ]
config_errors=$(grep -E 'Config file error|Not found' "$work/console.txt" || true)
check "configuration errors: $config_errors" [ -z "$config_errors" ]
for _ in $(seq 30); do [ -s "$state_file" ] && break; sleep 0.1; done
check "state file $state_file not written" [ -s "$state_file" ]
mv "$log_file" "$log_file.1"
kill -USR1 "$server" 2>/dev/null || true
for _ in $(seq 30); do [ -f "$log_file" ] && break; sleep 0.1; done
check "no new log file after SIGUSR1" [ -f "$log_file" ]
node 127.0.0.3 N0PKG2 || problems+=("second node not registered")
kill -TERM "$server" 2>/dev/null || true
status=0
wait "$server" || status=$?
server=''
check "exit status $status after SIGTERM, want 3" [ "$status" -eq 3 ]
logs=$(cat "$log_file.1" "$log_file" 2>/dev/null || true)
check "log file lacks log start / the node / log end" grep -qE '^log start' <<<"$logs"
check "node N0PKG not in the log file" grep -q 'N0PKG ' <<<"$logs"
check "log file does not end with log end" bash -c "tail -n 1 '$log_file' | grep -q '^log end'"
check "renamed log file lost the first node" grep -q 'N0PKG ' "$log_file.1"
check "new log file lacks the second node" grep -q 'N0PKG2' "$log_file"
# A rotation as the daily timer runs it; without systemd nothing is signalled.
logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/mirx-server >"$work/logrotate.txt" 2>&1 ||
  problems+=("logrotate: $(cat "$work/logrotate.txt")")
check "logrotate did not rotate $log_file: $(ls "$(dirname "$log_file")")" \
  bash -c "[ ! -e '$log_file' ] && [ -s '$log_file.1' ]"

step purge
dpkg --purge "$pkg" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
for path in /usr/sbin/mirx_server /usr/bin/mirx_node /etc/mirx-server "$unit" \
  /etc/logrotate.d/mirx-server /var/log/mirx-server /var/lib/mirx-server \
  /etc/systemd/system/multi-user.target.wants/mirx-server.service; do
  check "$path left after purge" [ ! -e "$path" ]
done
step finished

if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}"
  echo "--- console"; cat "$work/console.txt" "$work/error.txt"
  exit 1
fi
echo "deb_test passed: $(basename "$deb") built, lintian clean, units verified and rated," \
  "installed, served a node as $run_user, purged"
