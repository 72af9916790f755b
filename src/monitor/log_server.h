#pragma once

// Where the log-server records go: decided once at start-up and never again.

#include <cstdint>
#include <optional>

#include "output/output.h"
#include "settings/settings.h"

namespace mirx {

// The log server's first IPv4 address (network byte order) and port.
struct log_destination {
  std::uint32_t ip = 0;
  std::uint16_t port = 0;
};

// Looks up the configured log server and stores in `where` its first IPv4
// address at the low 16 bits of LogPort. With no log server configured it
// says so and leaves `where` empty: no record is ever sent. Returns false
// only when a configured name has no IPv4 address: the server must then not
// start.
bool resolve_log_server(const settings& cfg, output& out, std::optional<log_destination>& where);

}  // namespace mirx
