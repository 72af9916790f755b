#pragma once

// The records' way in: one UDP socket, read on a thread of its own, each
// datagram handed to the hub and, when asked, passed on unchanged to a
// second log server.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "dashboard/hub.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::dashboard {

struct endpoint {
  std::uint32_t ip = 0;  // network byte order
  std::uint16_t port = 0;
};

// "ADDR:PORT" with a dotted IPv4 address (or a host name, for resolvable
// set to true); nothing when it is not one.
std::optional<endpoint> parse_endpoint(const std::string& text, bool resolvable = false);

class udp_receiver {
 public:
  udp_receiver(hub& h, std::optional<endpoint> forward);
  ~udp_receiver();

  // Binds the socket; an empty text, or why it failed. `bound` gets the
  // port actually used (for port 0).
  std::string open(const endpoint& at, std::uint16_t& bound);
  void start();
  void stop();

 private:
  void run();

  hub& hub_;
  std::optional<endpoint> forward_;
  std::optional<nodes::udp_endpoint> socket_;
  std::optional<nodes::udp_endpoint> forward_socket_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace mirx::dashboard
