// mirx_dashboard: a log server for mirx_server that shows the conference
// live in a web page. See docs/dashboard.md.

#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "cli/options.h"
#include "dashboard/http_server.h"
#include "dashboard/hub.h"
#include "dashboard/options.h"
#include "dashboard/state_file.h"
#include "dashboard/udp_receiver.h"

using namespace mirx::dashboard;

namespace {

constexpr int save_interval_ms = 5000;  // the state file is written at most this often

// SIGINT and SIGTERM are blocked in every thread and taken by the main
// thread with sigtimedwait, so no signal handler runs at all.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a page that went away is seen as a failed write
  return set;
}

// The state to start from: the --state file's, written back at once so
// that a file that cannot be written is reported now, not minutes later.
bool initial_state(const options& o, state& s) {
  s.watching_since = wall_now();
  if (o.state_file.empty()) return true;
  std::string why = load_state(s, o.state_file);
  if (why.empty()) why = save_state(s, o.state_file);
  if (!why.empty()) {
    std::fprintf(stderr, "mirx_dashboard: %s\n", why.c_str());
    return false;
  }
  prune_hours(s, wall_now());
  return true;
}

void save(hub& h, const options& o) {
  if (o.state_file.empty() || !h.changed_since_saved()) return;
  if (const std::string why = save_state(h.copy(), o.state_file); !why.empty())
    std::fprintf(stderr, "mirx_dashboard: %s\n", why.c_str());
}

// Waits for SIGINT or SIGTERM, writing the state file meanwhile.
void serve_until_stopped(hub& h, const options& o, const sigset_t& signals) {
  const timespec wait{save_interval_ms / 1000, 0};
  while (sigtimedwait(&signals, nullptr, &wait) < 0) save(h, o);
}

// Raises the open-file limit as far as allowed and lowers the connection
// cap to what the limit leaves, so that running out of descriptors never
// stops the page: the cap refuses first.
void fit_open_files(http_limits& limits) {
  constexpr rlim_t spare = 64;  // the state file, the UDP sockets, the standard streams
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return;
  r.rlim_cur = r.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &r) != 0) getrlimit(RLIMIT_NOFILE, &r);
  const rlim_t held = static_cast<rlim_t>(limits.streams) + spare;
  const rlim_t room = r.rlim_cur > held ? r.rlim_cur - held : 1;
  if (room < static_cast<rlim_t>(limits.connections)) limits.connections = static_cast<int>(room);
}

}  // namespace

int main(int argc, char** argv) {
  const parsed_options parsed = parse_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "mirx_dashboard: %s\n%s", parsed.error.c_str(), usage_text);
    return mirx::cli::exit_usage;
  }
  options o = parsed.opts;
  if (o.help) return std::fputs(usage_text, stdout), 0;

  // A few threads, building answers of up to megabytes: few malloc arenas
  // keep the resident size near what is in use.
  mallopt(M_ARENA_MAX, 2);
  fit_open_files(o.limits);
  const sigset_t signals = stop_signals();
  state initial;
  if (!initial_state(o, initial)) return 1;
  hub h(std::move(initial), o.page, o.policy);
  udp_receiver receiver(h, o.forward);
  http_server http(h, o.limits);
  std::uint16_t udp_port = 0, http_port = 0;
  std::string why = receiver.open(o.listen, udp_port);
  if (why.empty()) why = http.open(o.http, http_port);
  if (!why.empty()) {
    std::fprintf(stderr, "mirx_dashboard: %s\n", why.c_str());
    return 1;
  }
  receiver.start();
  http.start();
  std::fprintf(stderr, "mirx_dashboard: records on udp %s, page on http://%s/\n",
               mirx::nodes::dotted(o.listen.ip, udp_port).c_str(),
               mirx::nodes::dotted(o.http.ip, http_port).c_str());

  serve_until_stopped(h, o, signals);
  http.stop();
  receiver.stop();
  save(h, o);
  std::fprintf(stderr, "mirx_dashboard: stopped\n");
  return 0;
}
