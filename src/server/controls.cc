#include "server/controls.h"

#include <cstdio>

#include "server/log_file.h"
#include "server/server.h"
#include "server/stop.h"

namespace mirx {
namespace {

// The one clock of the housekeeping: true, and `last` moved on, when
// `period_ms` have passed since `last`.
bool run_with_period(std::int64_t& last, std::int64_t now, std::int64_t period_ms) {
  if (now - last < period_ms) return false;
  last = now;
  return true;
}

// Flushes and closes the log file and opens LogFileName again, so that a log
// rotation that renamed the file gets a new one.
void reopen_log_file(server& s) {
  if (s.out.log != nullptr) std::fclose(s.out.log);
  open_log(s, "log reopen", "reopen");
}

void every_second(server& s, std::int64_t now) {
  controls& k = s.ctl;
  if (k.gate.access_list) look_at_access(k.access, k.gate, s.conf);
  if (!k.keeper.path.empty()) save_table(k.keeper, s.conf, false);
  k.idle.sweep(s.conf, now);
  report_held(k.gate, s.out);
}

}  // namespace

void start_controls(server& s) {
  std::lock_guard<std::mutex> hold(io_lock());
  controls& k = s.ctl;
  node_gate& g = k.gate;
  g.relay_unregistered = s.cfg.relay_unregistered;
  g.max_nodes = static_cast<std::size_t>(s.cfg.max_nodes);
  g.access_list = s.cfg.access_file[0] != '\0';
  g.closed = g.access_list;
  g.screening = g.access_list || !g.relay_unregistered || g.max_nodes != 0;
  k.access.path = s.cfg.access_file;
  k.keeper.path = s.cfg.state_file;
  k.idle = idle_expiry(s.cfg.node_idle_timeout);
  k.timed = g.screening || !k.keeper.path.empty() || k.idle.on();
  if (g.access_list) read_access_at_start(k.access, g, s.conf);
  if (!k.keeper.path.empty()) restore_table(k.keeper, g, s.conf, stop_under_way);
  k.last_second = platform::monotonic_ms();
}

bool controls_admit(server& s, const std::uint8_t* data, long length, std::uint32_t sender_ip) {
  controls& k = s.ctl;
  if (k.idle.on()) k.idle.heard(s.conf.table, sender_ip, platform::monotonic_ms());
  return !k.gate.screening || screen_datagram(k.gate, s.conf, data, length, sender_ip);
}

void controls_housekeeping(server& s) {
  if (platform::take_reopen_request()) reopen_log_file(s);
  if (!s.ctl.timed) return;
  const std::int64_t now = platform::monotonic_ms();
  if (run_with_period(s.ctl.last_second, now, 1000)) every_second(s, now);
}

void save_state_at_stop(server& s) {
  if (!s.ctl.keeper.path.empty()) save_table(s.ctl.keeper, s.conf, true);
}

}  // namespace mirx
