#pragma once

// The one seam between the handlers and the socket layer. Handlers never
// touch a socket: they send through a node_link, so a test can stand in a
// fake that records every datagram, fails sends on demand and counts waits.

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace mirx {

class node_link {
 public:
  // The most destinations one send_to_nodes call takes: a whole fan-out
  // of up to this many nodes is handed over at once.
  static constexpr std::size_t max_batch = 1024;

  virtual ~node_link() = default;
  // Sends from out_socket to `ip` (network byte order) at OutPort. Returns 0,
  // or the system's error code when the send failed.
  virtual int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) = 0;
  // Sends one datagram to `ips[0]`, `ips[1]`, ... in this order, as that many
  // send_to_node calls would, but in as few system calls as the platform
  // allows; `count` is at most max_batch. Stops at the first failure and
  // returns how many were sent before it. Then `*error` holds the failed
  // send's code, or 0 when the platform did not tell it: that destination
  // was not reached and the caller should send to it again on its own.
  virtual std::size_t send_to_nodes(const std::uint8_t* data, std::size_t length,
                                    const std::uint32_t* ips, std::size_t count, int* error) {
    for (std::size_t i = 0; i < count; ++i) {
      *error = send_to_node(data, length, ips[i]);
      if (*error != 0) return i;
    }
    *error = 0;
    return count;
  }
  // Sends one relayed datagram to `ip`, as send_to_node does, but through
  // whatever the relay's fan-outs go through.
  virtual int relay_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) {
    return send_to_node(data, length, ip);
  }
  // Sends a record to the log server when one was resolved at start-up; does
  // nothing otherwise. Fire and forget: the outcome is never examined.
  virtual void send_to_log_server(const std::uint8_t* data, std::size_t length) = 0;
  // The pause before a send that found no buffer space is repeated.
  virtual void wait_ms(int ms) = 0;
};

}  // namespace mirx
