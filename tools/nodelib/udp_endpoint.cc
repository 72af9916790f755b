#include "nodelib/udp_endpoint.h"

#include <algorithm>
#include <chrono>

#include "nodelib/socket_compat.h"

namespace mirx::nodes {

std::string dotted(std::uint32_t ip) {
  return mirx::dotted(ip).text;
}

std::string dotted(std::uint32_t ip, std::uint16_t port) {
  return dotted(ip) + ":" + std::to_string(port);
}

std::string last_socket_error() {
  return os::last_error_text();
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
  const socket_handle fd = os::open_udp();
  if (fd == no_socket) {
    failed = open_failure::socket;
    reason = os::last_error_text();
    return std::nullopt;
  }
  // Room for bursts: a conference's datagrams come a header's fan-out at once.
  os::set_int_option(fd, SOL_SOCKET, SO_RCVBUF, 4 << 20);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = ip;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    failed = open_failure::bind;
    reason = os::last_error_text();
    os::close_socket(fd);
    return std::nullopt;
  }
  os::addr_len len = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  return udp_endpoint(fd, ip, ntohs(at.sin_port));
}

udp_endpoint::udp_endpoint(udp_endpoint&& other) noexcept
    : fd_(other.fd_), ip_(other.ip_), port_(other.port_) {
  other.fd_ = no_socket;
}

udp_endpoint& udp_endpoint::operator=(udp_endpoint&& other) noexcept {
  if (this != &other) {
    if (fd_ != no_socket) os::close_socket(fd_);
    fd_ = other.fd_;
    ip_ = other.ip_;
    port_ = other.port_;
    other.fd_ = no_socket;
  }
  return *this;
}

udp_endpoint::~udp_endpoint() {
  if (fd_ != no_socket) os::close_socket(fd_);
}

bool udp_endpoint::send_to(const void* data, std::size_t length, std::uint32_t address,
                           std::uint16_t port) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  return os::send_to(fd_, data, length, to) == static_cast<long>(length);
}

std::optional<datagram> udp_endpoint::receive(int timeout_ms) const {
  if (wait(timeout_ms) <= 0) return std::nullopt;
  std::uint8_t buf[2048];
  const auto got = receive_into(buf, sizeof buf);
  if (!got) return std::nullopt;
  const std::size_t kept = std::min(got->length, sizeof buf);
  return datagram{std::vector<std::uint8_t>(buf, buf + kept), got->from_ip, got->from_port};
}

int udp_endpoint::wait(int timeout_ms) const {
  return os::wait_readable(fd_, timeout_ms);
}

std::optional<arrival> udp_endpoint::receive_into(std::uint8_t* buffer,
                                                  std::size_t capacity) const {
  sockaddr_in from{};
  const long n = os::receive_from(fd_, buffer, capacity, from, true);
  if (n < 0) return std::nullopt;
  return arrival{static_cast<std::size_t>(n), from.sin_addr.s_addr, ntohs(from.sin_port)};
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
