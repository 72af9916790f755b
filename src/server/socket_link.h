#pragma once

#include <optional>

#include "monitor/log_server.h"
#include "node/link.h"
#include "platform/platform.h"
#include "server/fast_relay.h"

namespace mirx {

// The real sends: nodes from out_socket at OutPort (fan-outs through the
// connected sockets of FastRelay when it is on), records from log_socket to
// the log server resolved at start-up.
class socket_link final : public node_link {
 public:
  platform::socket_handle out_socket = platform::no_socket;
  platform::socket_handle log_socket = platform::no_socket;
  std::uint16_t out_port = 0;
  std::optional<log_destination> log_server;  // absent: no records are sent
  // The ports our two sending sockets are bound to (0: unknown).
  std::uint16_t out_source_port = 0;
  std::uint16_t log_source_port = 0;

  // Binds the sending sockets now rather than at their first send, so that
  // what they send can be recognised when it comes back; the log socket only
  // when there is a log server, as without one it never sends.
  void bind_sources();
  // Whether `r` came from one of our own sending sockets: with InPort equal
  // to OutPort (or LogPort) what the server sends to an address of this
  // machine arrives at its own InPort, and taking it would relay and
  // acknowledge it back to itself for ever.
  bool sent_it(const platform::received& r) const;
  fast_relay fast;  // FastRelay=ON, once opened

  int send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override;
  int relay_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) override;
  std::size_t send_to_nodes(const std::uint8_t* data, std::size_t length, const std::uint32_t* ips,
                            std::size_t count, int* error) override;
  void send_to_log_server(const std::uint8_t* data, std::size_t length) override;
  void wait_ms(int ms) override;
};

}  // namespace mirx
