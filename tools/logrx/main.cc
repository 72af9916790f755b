// mirx_logrx: a log server for mirx_server. It listens on one UDP port and
// prints every record it receives as one line on standard output.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/options.h"
#include "logrx/format_record.h"
#include "logrx/options.h"
#include "nodelib/stop_signals.h"
#include "nodelib/udp_endpoint.h"
#include "output/output.h"

namespace {

using mirx::nodes::udp_endpoint;

using mirx::logrx::options;

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
  stop_requested = 1;
}

// The longest single wait: a stop that arrives just before a wait begins, or
// on Windows during one (where it does not cut the wait short), is seen
// within this.
constexpr int wait_step_ms = 100;

// A UDP socket bound at the options' address and port, or nothing after
// saying why.
std::optional<udp_endpoint> open_listener(const options& o) {
  const auto ip = mirx::parse_ipv4(o.bind);
  if (!ip) {
    std::fprintf(stderr, "mirx_logrx: not an IPv4 address: %s\n", o.bind.c_str());
    return std::nullopt;
  }
  mirx::nodes::open_failure failed{};
  std::string reason;
  auto listener = udp_endpoint::open(*ip, o.port, failed, reason);
  if (!listener)
    std::fprintf(stderr, "mirx_logrx: cannot listen on %s:%u: %s\n", o.bind.c_str(),
                 static_cast<unsigned>(o.port), reason.c_str());
  return listener;
}

// Receives and prints one datagram; false when none could be read.
bool print_one(const udp_endpoint& listener) {
  // Large enough for any UDP datagram, so the length shown is the real one.
  static std::uint8_t buffer[65536];
  const auto got = listener.receive_into(buffer, sizeof buffer);
  if (!got) return false;
  const std::string line = mirx::logrx::format_datagram(
      buffer, std::min(got->length, sizeof buffer), std::string_view(mirx::time_stamp().text, 24),
      mirx::nodes::dotted(got->from_ip, got->from_port));
  std::printf("%s\n", line.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  mirx::platform::console_by_line();
  const mirx::logrx::parse_result parsed = mirx::logrx::parse_command_line(argc, argv);
  if (!parsed.error.empty()) return mirx::cli::refuse("mirx_logrx", parsed.error);
  if (parsed.opts.help) {
    std::fputs(mirx::logrx::usage_text, stdout);
    return 0;
  }
  const options* o = &parsed.opts;
  mirx::nodes::catch_stop_signals(request_stop);
  const std::optional<udp_endpoint> listener = open_listener(*o);
  if (!listener) return 2;
  std::fprintf(stderr, "mirx_logrx: listening on %s:%u\n", o->bind.c_str(),
               static_cast<unsigned>(listener->port()));

  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(o->timeout_ms);
  long received = 0;
  // An interrupt or a stop request ends the run as a finished one: a script
  // that started the receiver in the background, with SIGINT ignored, can
  // still stop it with kill -INT, and every line printed so far is out.
  while (stop_requested == 0 && (o->count == 0 || received < o->count)) {
    int wait_ms = wait_step_ms;
    if (o->timeout_ms > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return o->count > 0 ? 1 : 0;
      wait_ms = static_cast<int>(std::min<long long>(left, wait_step_ms));
    }
    const mirx::platform::wait_result ready = listener->wait(wait_ms);
    if (ready == mirx::platform::wait_result::failed) {
      std::fprintf(stderr, "mirx_logrx: wait failed: %s\n",
                   mirx::nodes::last_socket_error().c_str());
      return 2;
    }
    // A time-out or a signal: look at the clock and the flag again.
    if (ready != mirx::platform::wait_result::readable) continue;
    if (print_one(*listener)) ++received;
  }
  return 0;
}
