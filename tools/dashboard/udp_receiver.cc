#include "dashboard/udp_receiver.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/platform.h"

namespace mirx::dashboard {
namespace {

// The receiver looks at its stop flag at least this often, and tells the hub
// about counted-only datagrams at most this often.
constexpr int stop_check_ms = 200;
constexpr millis tick_ms = 1000;

// Whether `ip` is one of this machine's addresses: only those can be bound.
bool local(std::uint32_t ip) {
  nodes::open_failure failed{};
  std::string reason;
  return nodes::udp_endpoint::open(ip, 0, failed, reason).has_value();
}

}  // namespace

std::optional<endpoint> parse_endpoint(const std::string& text, bool resolvable) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  char* end = nullptr;
  const unsigned long p = std::strtoul(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || p > 65535) return std::nullopt;
  endpoint e{0, static_cast<std::uint16_t>(p)};
  if (const auto ip = parse_ipv4(host)) return e.ip = *ip, e;
  if (!resolvable) return std::nullopt;
  const auto ip = platform::resolve_ipv4(host.c_str());
  if (!ip) return std::nullopt;
  e.ip = *ip;
  return e;
}

udp_receiver::udp_receiver(hub& h, std::optional<endpoint> forward) : hub_(h), forward_(forward) {}

udp_receiver::~udp_receiver() {
  stop();
}

std::string udp_receiver::open(const endpoint& at, std::uint16_t& bound) {
  nodes::open_failure failed{};
  std::string reason;
  socket_ = nodes::udp_endpoint::open(at.ip, at.port, failed, reason);
  if (!socket_) {
    if (failed == nodes::open_failure::socket) return "cannot open a UDP socket: " + reason;
    return "cannot listen on " + nodes::dotted(at.ip, at.port) + ": " + reason;
  }
  bound = socket_->port();
  // A datagram sent to any address of this machine (0.0.0.0 among them) at
  // the listening port may come back to this socket, whatever address it is
  // bound to, and would be counted and passed on again without end.
  if (forward_ && forward_->port == bound && (forward_->ip == 0 || local(forward_->ip)))
    return "--forward " + nodes::dotted(forward_->ip, forward_->port) +
           " is where this dashboard listens: every record would come back to it";
  if (forward_) {
    // Sent from a port of its own, any address: the listening one stays receive-only.
    forward_socket_ = nodes::udp_endpoint::open(0, 0, failed, reason);
    if (!forward_socket_) return "cannot open a UDP socket: " + reason;
  }
  return "";
}

void udp_receiver::start() {
  thread_ = std::thread([this] { run(); });
}

void udp_receiver::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

// Reads until stopped, waking at least every stop_check_ms to look at the flag and
// to let the hub publish counted-only datagrams every tick_ms.
void udp_receiver::run() {
  // Large enough for any UDP datagram, so a long one is counted as what it is.
  static std::uint8_t buffer[65536];
  millis last_tick = 0;
  while (!stopping_) {
    if (socket_->wait(stop_check_ms) == platform::wait_result::readable) {
      if (const auto got = socket_->receive_into(buffer, sizeof buffer)) {
        const std::size_t length = std::min(got->length, sizeof buffer);
        const bool allowed = hub_.receive(got->from_ip, buffer, length, wall_now());
        if (forward_socket_ && allowed)
          forward_socket_->send_to(buffer, length, forward_->ip, forward_->port);
      }
    }
    if (const millis now = wall_now(); now - last_tick >= tick_ms) {
      hub_.tick(now);
      last_tick = now;
    }
  }
}

}  // namespace mirx::dashboard
