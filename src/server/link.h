#pragma once

// The one seam between the handlers and the socket layer. Handlers never
// touch a socket: they send through a node_link, so a test can stand in a
// fake that records every datagram, fails sends on demand and counts waits.

#include <cstddef>
#include <cstdint>

namespace mirx {

class node_link {
 public:
  virtual ~node_link() = default;
  // Sends from out_socket to `ip` (network byte order) at OutPort. Returns 0,
  // or the system's error code when the send failed.
  virtual int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) = 0;
  // Sends a record to the log server when one was resolved at start-up; does
  // nothing otherwise. Fire and forget: the outcome is never examined.
  virtual void send_to_log_server(const std::uint8_t* data, std::size_t length) = 0;
  // The pause before a send that found no buffer space is repeated.
  virtual void wait_ms(int ms) = 0;
};

}  // namespace mirx
