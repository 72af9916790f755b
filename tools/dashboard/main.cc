// mirx_dashboard: a log server for mirx_server that shows the conference
// live in a web page. See docs/dashboard.md.

#include <chrono>
#include <cstdio>

#include "cli/options.h"
#include "dashboard/http_server.h"
#include "dashboard/hub.h"
#include "dashboard/options.h"
#include "dashboard/state_file.h"
#include "dashboard/udp_receiver.h"
#include "platform/platform.h"

using namespace mirx::dashboard;

namespace {

constexpr int save_interval_ms = 5000;  // the state file is written at most this often

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

// Waits for a stop request, writing the state file meanwhile.
void serve_until_stopped(hub& h, const options& o) {
  while (!mirx::platform::wait_stop_request(save_interval_ms)) save(h, o);
}

// Raises the open-file limit as far as allowed and lowers the connection
// cap to what the limit leaves, so that running out of descriptors never
// stops the page: the cap refuses first.
void fit_open_files(http_limits& limits) {
  constexpr std::size_t spare = 64;  // the state file, the UDP sockets, the standard streams
  const std::size_t limit = mirx::platform::raise_open_file_limit();
  if (limit == 0) return;  // the limit is unknown: the cap stays as given
  const std::size_t held = static_cast<std::size_t>(limits.streams) + spare;
  const std::size_t room = limit > held ? limit - held : 1;
  if (room < static_cast<std::size_t>(limits.connections))
    limits.connections = static_cast<int>(room);
}

int run(int argc, char** argv) {
  const parsed_options parsed = parse_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "mirx_dashboard: %s\n%s", parsed.error.c_str(), usage_text);
    return mirx::cli::exit_usage;
  }
  options o = parsed.opts;
  if (o.help) return std::fputs(usage_text, stdout), 0;

  // A few threads, building answers of up to megabytes: few malloc arenas
  // keep the resident size near what is in use.
  mirx::platform::use_few_memory_arenas();
  fit_open_files(o.limits);
  mirx::platform::hold_stop_requests();
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

  mirx::platform::start_up_done();  // a Windows service now reports itself running
  serve_until_stopped(h, o);
  http.stop();
  receiver.stop();
  save(h, o);
  std::fprintf(stderr, "mirx_dashboard: stopped\n");
  return 0;
}

}  // namespace

// On Windows the same program is also the service mirx-dashboard.
int main(int argc, char** argv) {
  if (const auto status = mirx::platform::serve_as_service(
          "mirx-dashboard", "mirx_dashboard-console.txt", run, argc, argv))
    return *status;
  return run(argc, argv);
}
