// mirx_logrx: a log server for mirx_server. It listens on one UDP port and
// prints every record it receives as one line on standard output.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "logrx/format_record.h"
#include "node/address.h"
#include "nodelib/socket_compat.h"
#include "output/output.h"

namespace {

using mirx::nodes::no_socket;
using mirx::nodes::socket_handle;
namespace os = mirx::nodes::os;

constexpr const char* usage =
    "Usage: mirx_logrx [--port P] [--bind ADDR] [--count N] [--timeout S]\n"
    "  --port P     UDP port to listen on (default 39997; 0: any free port)\n"
    "  --bind ADDR  IPv4 address to listen on (default 0.0.0.0)\n"
    "  --count N    exit after N datagrams\n"
    "  --timeout S  exit after S seconds\n"
    "  --help       this text\n"
    "Prints one line per datagram; the port actually used goes to standard error.\n"
    "Exit status: 0, or 1 when the time ran out before N datagrams, 2 on a usage or socket "
    "error.\n";

struct options {
  std::uint16_t port = 39997;
  std::string bind = "0.0.0.0";
  long count = 0;    // 0: no limit
  long timeout = 0;  // seconds; 0: no limit
};

// A whole decimal number within [low, high], or nothing.
std::optional<long> number(const char* text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return std::nullopt;
  return v;
}

// The options, or nothing after printing what is wrong (or the usage).
std::optional<options> read_options(int argc, char** argv, int& status) {
  options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(usage, stdout);
      status = 0;
      return std::nullopt;
    }
    const char* value = i + 1 < argc ? argv[++i] : "";
    std::optional<long> n;
    if (name == "--port" && (n = number(value, 0, 65535))) {
      o.port = static_cast<std::uint16_t>(*n);
    } else if (name == "--bind" && value[0] != '\0') {
      o.bind = value;
    } else if (name == "--count" && (n = number(value, 1, 1L << 30))) {
      o.count = *n;
    } else if (name == "--timeout" && (n = number(value, 1, 1L << 30))) {
      o.timeout = *n;
    } else {
      std::fprintf(stderr, "mirx_logrx: bad option %s %s\n%s", name.c_str(), value, usage);
      status = 2;
      return std::nullopt;
    }
  }
  return o;
}

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
                                   std::string_view(time_stamp().text, 24), source_text(from));
  std::printf("%s\n", line.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  os::print_lines_at_once(stdout);
  int status = 0;
  const std::optional<options> o = read_options(argc, argv, status);
  if (!o) return status;
  std::uint16_t port = 0;
  const socket_handle fd = open_listener(*o, port);
  if (fd == no_socket) return 2;
  std::fprintf(stderr, "mirx_logrx: listening on %s:%u\n", o->bind.c_str(),
               static_cast<unsigned>(port));

  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(o->timeout);
  long received = 0;
  while (o->count == 0 || received < o->count) {
    int wait_ms = -1;
    if (o->timeout > 0) {
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
