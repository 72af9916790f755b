// mirx_logrx: a log server for mirx_server. It listens on one UDP port and
// prints every record it receives as one line on standard output.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/options.h"
#include "logrx/format_record.h"
#include "logrx/options.h"
#include "node/address.h"
#include "nodelib/socket_compat.h"
#include "output/output.h"

namespace {

using mirx::nodes::no_socket;
using mirx::nodes::socket_handle;
namespace os = mirx::nodes::os;

using mirx::logrx::options;

// A UDP socket bound at the options' address and port, or no_socket after
// saying why.
socket_handle open_listener(const options& o, std::uint16_t& bound_port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(o.port);
  if (inet_pton(AF_INET, o.bind.c_str(), &at.sin_addr) != 1) {
    std::fprintf(stderr, "mirx_logrx: not an IPv4 address: %s\n", o.bind.c_str());
    return no_socket;
  }
  const socket_handle fd = os::open_udp();
  if (fd == no_socket || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::fprintf(stderr, "mirx_logrx: cannot listen on %s:%u: %s\n", o.bind.c_str(),
                 static_cast<unsigned>(o.port), os::last_error_text().c_str());
    if (fd != no_socket) os::close_socket(fd);
    return no_socket;
  }
  os::addr_len len = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  bound_port = ntohs(at.sin_port);
  return fd;
}

std::string source_text(const sockaddr_in& from) {
  const mirx::octets o = mirx::octets_of(from.sin_addr.s_addr);
  return std::to_string(o.a) + "." + std::to_string(o.b) + "." + std::to_string(o.c) + "." +
         std::to_string(o.d) + ":" + std::to_string(ntohs(from.sin_port));
}

// Receives and prints one datagram; false when none could be read.
bool print_one(socket_handle fd) {
  // Large enough for any UDP datagram, so the length shown is the real one.
  static std::uint8_t buffer[65536];
  sockaddr_in from{};
  const long n = os::receive_from(fd, buffer, sizeof buffer, from, true);
  if (n < 0) return false;
  const auto length = static_cast<std::size_t>(n);
  const std::string line =
      mirx::logrx::format_datagram(buffer, length < sizeof buffer ? length : sizeof buffer,
                                   std::string_view(mirx::time_stamp().text, 24), source_text(from));
  std::printf("%s\n", line.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  os::print_lines_at_once(stdout);
  const mirx::logrx::parse_result parsed = mirx::logrx::parse_command_line(argc, argv);
  if (!parsed.error.empty()) return mirx::cli::refuse("mirx_logrx", parsed.error);
  if (parsed.opts.help) {
    std::fputs(mirx::logrx::usage_text, stdout);
    return 0;
  }
  const options* o = &parsed.opts;
  std::uint16_t port = 0;
  const socket_handle fd = open_listener(*o, port);
  if (fd == no_socket) return 2;
  std::fprintf(stderr, "mirx_logrx: listening on %s:%u\n", o->bind.c_str(),
               static_cast<unsigned>(port));

  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(o->timeout_ms);
  long received = 0;
  while (o->count == 0 || received < o->count) {
    int wait_ms = -1;
    if (o->timeout_ms > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return o->count > 0 ? 1 : 0;
      wait_ms = static_cast<int>(left);
    }
    const int ready = os::wait_readable(fd, wait_ms);
    if (ready < 0) {
      std::fprintf(stderr, "mirx_logrx: wait failed: %s\n", os::last_error_text().c_str());
      return 2;
    }
    if (ready <= 0) continue;  // time-out or signal: look at the clock again
    if (print_one(fd)) ++received;
  }
  return 0;
}
