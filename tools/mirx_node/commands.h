#pragma once

// The commands of mirx_node. Each prints what it did on standard output
// and returns an exit status; failures throw tool_error.

#include "mirx_node/options.h"

namespace mirx::node_tool {

int run_register(const options& o);
// Runs until SIGINT or SIGTERM, then disconnects.
int run_listen(const options& o);
// Sends the 16-byte disconnect from --bind; the server answers nothing.
int run_disconnect(const options& o);
// Disconnects a node it registered unless --stay-registered;
// exit_ok when the server answered "delivered", exit_not_delivered otherwise.
int run_transmit(const options& o);

// DExtra: a link that lapses unless unlinked; exit_not_delivered on a NAK.
int run_link(const options& o);
// Sends the unlink from --bind/--out-port and shows what came back.
int run_unlink(const options& o);
// Links, prints the module with a check line per stream until SIGINT or
// SIGTERM, then unlinks.
int run_dextra_listen(const options& o);
// Links, sends one stream, waits for a playback, unlinks; exit_ok once sent.
int run_dextra_transmit(const options& o);

}  // namespace mirx::node_tool
