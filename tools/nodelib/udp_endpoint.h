#pragma once

// A node's end of the conference: one UDP socket bound at an IPv4 address and
// port, sending to the server and receiving what the server sends back. The
// node tool, the end-to-end tests and the benchmarks all talk through it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipv4.h"
#include "platform/platform.h"

namespace mirx::nodes {

struct datagram {
  std::vector<std::uint8_t> bytes;
  std::uint32_t from_ip = 0;  // network byte order
  std::uint16_t from_port = 0;
};

// What receive_into() read: the datagram's real length, which may exceed the
// buffer's, and who sent it.
struct arrival {
  std::size_t length = 0;
  std::uint32_t from_ip = 0;  // network byte order
  std::uint16_t from_port = 0;
};

// The step at which open() failed.
enum class open_failure { socket, bind };

class udp_endpoint {
 public:
  // Binds to `address` (dotted IPv4) at `port` (0: any free port). On failure
  // returns nothing and says why in `error`.
  static std::optional<udp_endpoint> bind(const std::string& address, std::uint16_t port,
                                          std::string* error = nullptr);
  // Binds to `ip` (network byte order) at `port`, for callers that word
  // their own complaint: on failure `failed` gets the step and `reason` the
  // system's text.
  static std::optional<udp_endpoint> open(std::uint32_t ip, std::uint16_t port,
                                          open_failure& failed, std::string& reason);
  udp_endpoint(udp_endpoint&& other) noexcept;
  udp_endpoint& operator=(udp_endpoint&& other) noexcept;
  udp_endpoint(const udp_endpoint&) = delete;
  udp_endpoint& operator=(const udp_endpoint&) = delete;
  ~udp_endpoint();

  std::uint16_t port() const { return port_; }
  std::uint32_t ip() const { return ip_; }
  platform::socket_handle fd() const { return fd_; }

  // Sends to `address` at `port`; false when the send failed.
  bool send_to(const void* data, std::size_t length, std::uint32_t address,
               std::uint16_t port) const;
  // One datagram, waiting at most `timeout_ms`; nothing on time-out.
  std::optional<datagram> receive(int timeout_ms) const;
  // Waits for a datagram as platform::wait_readable does; after `failed`,
  // last_socket_error() says why.
  platform::wait_result wait(int timeout_ms) const;
  // One waiting datagram into `buffer`, without blocking; nothing when none
  // could be read. The bytes kept are the first min(length, capacity).
  std::optional<arrival> receive_into(std::uint8_t* buffer, std::size_t capacity) const;
  // Every datagram that arrives until `quiet_ms` pass without one (at most
  // `limit` of them, and at most `max_ms` in all).
  std::vector<datagram> drain(int quiet_ms, std::size_t limit = 100000, int max_ms = 10000) const;

 private:
  udp_endpoint(platform::socket_handle fd, std::uint32_t ip, std::uint16_t port)
      : fd_(fd), ip_(ip), port_(port) {}
  platform::socket_handle fd_ = platform::no_socket;
  std::uint32_t ip_ = 0;
  std::uint16_t port_ = 0;
};

// The shared address text as a string: "a.b.c.d", and "a.b.c.d:port".
std::string dotted(std::uint32_t ip);
std::string dotted(std::uint32_t ip, std::uint16_t port);
// The system's text for the last socket call that failed.
std::string last_socket_error();

}  // namespace mirx::nodes
