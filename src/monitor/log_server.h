#pragma once

// Where the log-server records go: decided once at start-up and never again.

#include "server/output.h"
#include "server/settings.h"
#include "server/socket_link.h"

namespace mirx {

// Looks up the configured log server and points the records of `link` at its
// first IPv4 address, at the low 16 bits of LogPort. With no log server
// configured it says so and no record is ever sent. Returns false only when a
// configured name has no IPv4 address: the server must then not start.
bool resolve_log_server(const settings& cfg, output& out, socket_link& link);

}  // namespace mirx
