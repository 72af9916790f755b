#pragma once

// What every command shares: the node's socket at its own address and port,
// the server's address, registration and disconnection, and the error that
// ends the tool with a message and an exit status.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "mirx_node/options.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::node_tool {

// Exit statuses that scripts can tell apart.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_not_delivered = 3;

// Ends the command: main prints "mirx_node: " and the message on standard
// error and exits with `status`.
class tool_error : public std::runtime_error {
 public:
  explicit tool_error(const std::string& message, int status = exit_failure)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

struct session {
  nodes::udp_endpoint endpoint;
  std::uint32_t server_ip = 0;  // network byte order
  std::uint16_t in_port = 0;
  std::string server_text;  // "host:port", for messages

  void send(const void* data, std::size_t length) const;
};

// Binds --bind at --out-port (the server sends everything for this node
// there) and resolves --server. Throws tool_error when either fails.
session open_session(const options& o);

// Sends a registration for --call1/--call2 and waits up to --timeout for the
// server's reply echoing that call sign; returns the line describing it.
// Throws tool_error when no reply comes.
std::string register_node(const session& s, const options& o);

// The 16-byte datagram that takes this node's address off the server.
void send_disconnect(const session& s);

// A line on standard output, passed on at once (a pipe reads it as it comes).
void print(const std::string& line);

// The listening commands run until SIGINT or SIGTERM: after
// watch_stop_signals(), stop_requested() says whether one came.
void watch_stop_signals();
bool stop_requested();

// Rounds a timeout in milliseconds to a text such as "2 s" or "0.3 s".
std::string seconds_text(int ms);

}  // namespace mirx::node_tool
