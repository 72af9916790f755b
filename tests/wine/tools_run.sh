# shellcheck shell=bash disable=SC2154  # exe, node_exe, logrx_exe, stamp: set by smoke.sh
# Second part of the Wine smoke test, sourced by smoke.sh (which provides exe,
# node_exe, logrx_exe, expect, problems, stamp and the helpers of common.sh,
# and runs in the work directory): a short run of mirx_server.exe whose log
# server is mirx_logrx.exe. mirx_node.exe registers (the server sends an ADD
# record), then listens until Ctrl-C and disconnects (a DEL record), so
# mirx_logrx.exe --count 2 ends by itself once both records have arrived.
#
# The node binds 127.0.0.1: Wine binds a UDP socket meant for one loopback
# address to the whole loopback interface, so datagrams leave from 127.0.0.1
# whatever 127.x address was asked for.

tools_call=JA1CCC
tools_log_ip=127.0.0.6

# mirx_node.exe COMMAND with the node's options, one-second reply wait.
tools_node() {
  timeout 20 wine "$node_exe" "$1" --server 127.0.0.1 --in-port "$tools_in" \
    --out-port "$tools_out" --bind 127.0.0.1 --call1 "$tools_call" --timeout 1
}

# Registers, repeating until the server, which may still be starting,
# answers: at most 15 tries.
register_tools_node() {
  local _
  for _ in $(seq 15); do
    tools_node register >>node.txt 2>>node.err && return 0
  done
  return 1
}

# Runs `listen` until it has registered, then stops it with Ctrl-C.
listen_and_interrupt() {
  tools_node listen >listen.txt 2>listen.err &
  local listener=$! _ status=0
  for _ in $(seq 100); do
    grep -q '^registered' listen.txt && break
    sleep 0.1
  done
  interrupt "$listener" || problems+=("mirx_node.exe listen not running")
  wait "$listener" || status=$?
  [ "$status" -eq 0 ] || problems+=("mirx_node.exe listen exit status $status, want 0")
}

run_tools() {
  read -r tools_in tools_out < <(free_port_pair)
  logrx_status=0 tools_status=0 node_status=0
  timeout 40 wine "$logrx_exe" --bind "$tools_log_ip" --port 0 --count 2 --timeout 30 \
    >logrx.txt 2>logrx.err &
  logrx=$!
  local log_port
  log_port=$(first_match 100 logrx.err "s/^mirx_logrx: listening on $tools_log_ip:\([0-9]*\)\r*$/\1/p") ||
    fail "mirx_logrx.exe not listening: $(cat logrx.err)"
  printf 'InPort=%s;\nOutPort=%s;\nLogServer=%s;\nLogPort=%s;\nLogFileName=;\nDprsSW=OFF;\n' \
    "$tools_in" "$tools_out" "$tools_log_ip" "$log_port" >tools.cfg

  timeout 60 wine "$exe" -i -f tools.cfg >tools-console.txt 2>tools-error.txt &
  server=$!
  if register_tools_node; then listen_and_interrupt; else node_status=1; fi
  wait "$logrx" || logrx_status=$?
  logrx=''
  interrupt "$server" || problems+=("tools run: server not running at its end")
  wait "$server" || tools_status=$?
  server=''
}

check_tools_run() {
  local pad at
  pad=$(printf '%-8s' "$tools_call")
  at="127\.0\.0\.1:$tools_in"
  for f in logrx node listen tools-console; do tr -d '\r' <"$f.txt" >"$f.lf"; done
  [ "$node_status" -eq 0 ] || problems+=("mirx_node.exe register failed: $(tr -d '\r' <node.err)")
  [ "$logrx_status" -eq 0 ] || problems+=("mirx_logrx.exe exit status $logrx_status, want 0")
  [ "$tools_status" -eq 3 ] || problems+=("tools run: server exit status $tools_status, want 3")
  local reply="reply SA V[0-9a-f]{2}\.[0-9a-f]{2} V[0-9a-f]{2}\.[0-9a-f]{2} from 127\.0\.0\.1"
  expect node.lf 1 "^registered \"$tools_call\" \(MIRXNODE\) at $at: $reply$"
  expect listen.lf 1 "^registered \"$tools_call\" \(MIRXNODE\) at $at: $reply$"
  tail -n 1 listen.lf | grep -qx "disconnected \"$tools_call\" from $at" ||
    problems+=("mirx_node.exe listen did not end with its disconnected line")
  expect logrx.lf 1 "^$stamp ADD call1=\"$pad\" call2=\"MIRXNODE\" ip=127\.0\.0\.1$"
  expect logrx.lf 1 "^$stamp DEL call1=\"$pad\" call2=\"MIRXNODE\" ip=127\.0\.0\.1$"
  [ "$(wc -l <logrx.lf)" -eq 2 ] || problems+=("mirx_logrx.exe printed $(wc -l <logrx.lf) lines, want 2")
  expect tools-console.lf 1 "^$stamp Node IP address added $pad MIRXNODE 127\.0\.0\.1$"
  expect tools-console.lf 1 "^$stamp Deleted from table: MIRXNODE $pad$"
  tail -n 1 tools-console.lf | grep -qE "^End $stamp$" ||
    problems+=("tools run: last console line is not the End line")
}
