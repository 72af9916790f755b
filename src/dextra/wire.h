#pragma once

// The one seam between the DExtra door and the network: the door never
// touches a socket, so a test can stand in a fake that records every
// datagram and fails sends on demand.

#include <cstddef>
#include <cstdint>

namespace mirx::dextra {

// A peer is known by its address and port: two gateways behind one address
// are two peers.
struct endpoint {
  std::uint32_t ip = 0;  // network byte order
  std::uint16_t port = 0;
  bool operator==(const endpoint&) const = default;
};

class wire {
 public:
  static constexpr std::size_t max_batch = 64;
  virtual ~wire() = default;
  // Returns 0 or the system's error code.
  virtual int send(const std::uint8_t* data, std::size_t length, const endpoint& to) = 0;
  // Sends one datagram to each of `to[0..count)` (count at most max_batch)
  // in order, in as few system calls as the platform allows. Returns how
  // many went before the first failure.
  virtual std::size_t send_each(const std::uint8_t* data, std::size_t length, const endpoint* to,
                                std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      if (send(data, length, to[i]) != 0) return i;
    return count;
  }
};

}  // namespace mirx::dextra
