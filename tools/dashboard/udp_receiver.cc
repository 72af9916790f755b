#include "dashboard/udp_receiver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace mirx::dashboard {
namespace {

millis wall_now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

sockaddr_in socket_address(const endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = e.ip;
  a.sin_port = htons(e.port);
  return a;
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
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) return e.ip = a.s_addr, e;
  if (!resolvable) return std::nullopt;
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  e.ip = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return e;
}

std::string endpoint_text(const endpoint& e) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = e.ip;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text) + ":" + std::to_string(e.port);
}

udp_receiver::udp_receiver(hub& h, std::optional<endpoint> forward) : hub_(h), forward_(forward) {}

udp_receiver::~udp_receiver() {
  stop();
  if (fd_ >= 0) ::close(fd_);
  if (forward_fd_ >= 0) ::close(forward_fd_);
}

std::string udp_receiver::open(const endpoint& at, std::uint16_t& bound) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return std::string("cannot open a UDP socket: ") + std::strerror(errno);
  // Room for bursts: records come in bursts of a header's fan-out.
  const int buffer = 4 << 20;
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in a = socket_address(at);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    return "cannot listen on " + endpoint_text(at) + ": " + std::strerror(errno);
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(a.sin_port);
  if (forward_) {
    forward_fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (forward_fd_ < 0) return std::string("cannot open a UDP socket: ") + std::strerror(errno);
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

// Reads until stopped, waking at least every 200 ms to look at the flag and
// to let the hub publish counted-only datagrams once a second.
void udp_receiver::run() {
  // Large enough for any UDP datagram, so a long one is counted as what it is.
  static std::uint8_t buffer[65536];
  const sockaddr_in to = forward_ ? socket_address(*forward_) : sockaddr_in{};
  millis last_tick = 0;
  while (!stopping_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 200) > 0) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n =
          ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n >= 0) {
        const auto length = static_cast<std::size_t>(n);
        const bool allowed = hub_.receive(from.sin_addr.s_addr, buffer, length, wall_now());
        if (forward_fd_ >= 0 && allowed)
          ::sendto(forward_fd_, buffer, length, 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
      }
    }
    if (const millis now = wall_now(); now - last_tick >= 1000) {
      hub_.tick(now);
      last_tick = now;
    }
  }
}

}  // namespace mirx::dashboard
