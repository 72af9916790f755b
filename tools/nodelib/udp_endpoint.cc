#include "nodelib/udp_endpoint.h"

#include <algorithm>
#include <chrono>

namespace mirx::nodes {

std::string dotted(std::uint32_t ip) {
  return mirx::dotted(ip).text;
}

std::string dotted(std::uint32_t ip, std::uint16_t port) {
  return dotted(ip) + ":" + std::to_string(port);
}

std::string last_socket_error() {
  return platform::error_text(platform::last_socket_error());
}

std::optional<udp_endpoint> udp_endpoint::bind(const std::string& address, std::uint16_t port,
                                               std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<udp_endpoint> {
    if (error) *error = why;
    return std::nullopt;
  };
  const auto ip = mirx::parse_ipv4(address);
  if (!ip) return fail("not an IPv4 address: " + address);
  open_failure failed{};
  std::string reason;
  auto bound = open(*ip, port, failed, reason);
  if (bound) return bound;
  if (failed == open_failure::socket) return fail("cannot create a UDP socket: " + reason);
  return fail("cannot bind " + address + ":" + std::to_string(port) + ": " + reason);
}

std::optional<udp_endpoint> udp_endpoint::open(std::uint32_t ip, std::uint16_t port,
                                               open_failure& failed, std::string& reason) {
  const platform::socket_handle fd =
      platform::start_sockets() ? platform::open_udp_socket() : platform::no_socket;
  if (fd == platform::no_socket) {
    failed = open_failure::socket;
    reason = last_socket_error();
    return std::nullopt;
  }
  platform::ignore_unreachable_reports(fd);
  // Room for bursts: a conference's datagrams come a header's fan-out at once.
  platform::set_receive_buffer(fd, 4 << 20, false);
  if (const int error = platform::bind_to(fd, ip, port); error != 0) {
    failed = open_failure::bind;
    reason = platform::error_text(error);
    platform::close_socket(fd);
    return std::nullopt;
  }
  const std::uint16_t bound = platform::local_port(fd);
  return udp_endpoint(fd, ip, bound != 0 ? bound : port);
}

udp_endpoint::udp_endpoint(udp_endpoint&& other) noexcept
    : fd_(other.fd_), ip_(other.ip_), port_(other.port_) {
  other.fd_ = platform::no_socket;
}

udp_endpoint& udp_endpoint::operator=(udp_endpoint&& other) noexcept {
  if (this != &other) {
    platform::close_socket(fd_);
    fd_ = other.fd_;
    ip_ = other.ip_;
    port_ = other.port_;
    other.fd_ = platform::no_socket;
  }
  return *this;
}

udp_endpoint::~udp_endpoint() {
  platform::close_socket(fd_);
}

bool udp_endpoint::send_to(const void* data, std::size_t length, std::uint32_t address,
                           std::uint16_t port) const {
  return platform::send_to(fd_, data, length, address, port) == 0;
}

std::optional<datagram> udp_endpoint::receive(int timeout_ms) const {
  if (wait(timeout_ms) != platform::wait_result::readable) return std::nullopt;
  std::uint8_t buf[2048];
  const auto got = receive_into(buf, sizeof buf);
  if (!got) return std::nullopt;
  const std::size_t kept = std::min(got->length, sizeof buf);
  return datagram{std::vector<std::uint8_t>(buf, buf + kept), got->from_ip, got->from_port};
}

platform::wait_result udp_endpoint::wait(int timeout_ms) const {
  return platform::wait_readable(fd_, timeout_ms);
}

std::optional<arrival> udp_endpoint::receive_into(std::uint8_t* buffer,
                                                  std::size_t capacity) const {
  const platform::received got = platform::receive(fd_, buffer, capacity);
  if (got.length < 0) return std::nullopt;
  return arrival{static_cast<std::size_t>(got.length), got.sender_ip, got.sender_port};
}

std::vector<datagram> udp_endpoint::drain(int quiet_ms, std::size_t limit, int max_ms) const {
  std::vector<datagram> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  while (got.size() < limit && std::chrono::steady_clock::now() < deadline) {
    auto d = receive(quiet_ms);
    if (!d) break;
    got.push_back(std::move(*d));
  }
  return got;
}

}  // namespace mirx::nodes
