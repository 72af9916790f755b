#include "nodelib/udp_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace mirx::nodes {

std::optional<std::uint32_t> parse_ipv4(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

std::string dotted(std::uint32_t ip) {
  in_addr a{};
  a.s_addr = ip;
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::optional<udp_endpoint> udp_endpoint::bind(const std::string& address, std::uint16_t port,
                                               std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<udp_endpoint> {
    if (error) *error = why;
    return std::nullopt;
  };
  const auto ip = parse_ipv4(address);
  if (!ip) return fail("not an IPv4 address: " + address);
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("cannot create a UDP socket: ") + std::strerror(errno));
  int big = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = *ip;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    const int e = errno;
    ::close(fd);
    return fail("cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(e));
  }
  socklen_t len = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  return udp_endpoint(fd, *ip, ntohs(at.sin_port));
}

udp_endpoint::udp_endpoint(udp_endpoint&& other) noexcept
    : fd_(other.fd_), ip_(other.ip_), port_(other.port_) {
  other.fd_ = -1;
}

udp_endpoint& udp_endpoint::operator=(udp_endpoint&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    ip_ = other.ip_;
    port_ = other.port_;
    other.fd_ = -1;
  }
  return *this;
}

udp_endpoint::~udp_endpoint() {
  if (fd_ >= 0) ::close(fd_);
}

bool udp_endpoint::send_to(const void* data, std::size_t length, std::uint32_t address,
                           std::uint16_t port) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  return ::sendto(fd_, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(length);
}

std::optional<datagram> udp_endpoint::receive(int timeout_ms) const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
  std::uint8_t buf[2048];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n =
      ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return std::nullopt;
  return datagram{std::vector<std::uint8_t>(buf, buf + n), from.sin_addr.s_addr,
                  ntohs(from.sin_port)};
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
