#pragma once

// The process-wide state of the server: it lives from start-up until the
// process ends.

#include <cstdint>

#include "dprs/dprs.h"
#include "dprs/serial_writer.h"
#include "node/conference.h"
#include "node/conference_rules.h"
#include "node/echo_test.h"
#include "node/live_streams.h"
#include "node/stream_log.h"
#include "node/table_echo.h"
#include "platform/platform.h"
#include "server/controls.h"
#include "server/dispatch.h"
#include "server/socket_link.h"
#include "settings/settings.h"

namespace mirx {

struct server {
  settings cfg;
  output out;
  platform::socket_handle in_socket = platform::no_socket;
  socket_link link;
  conference conf{out, link, {}, {}, {}};
  dprs::serial_writer serial_out;  // the D-PRS port, when it could be opened
  dprs::state dprs;
  controls ctl;            // the operator controls: all off unless configured
  live_streams live;       // the streams in progress, with any of the next three on
  stream_log streams;      // LogStreams=ON: stream and liveness records
  table_echo echo;         // LogStreams=ON: the table again, a slice per heartbeat
  conference_rules floor;  // OneTalker=ON, MaxOverSeconds
  echo_test echo_call;     // EchoCall
  relay_rules rules;       // those of the two that are on
  // With a rule on: every datagram that arrived before this moment has been
  // read, so a stream may be judged silent up to here and no further.
  std::int64_t heard_ms = 0;
  // The same for the DExtra door's socket, read by the door's own thread;
  // the largest moment while there is no door.
  std::int64_t door_heard_ms = INT64_MAX;
};

server& the_server();

// Start-up: from the command line to the receive loop, which never returns.
// Returns only the exit status of a run that ends before the loop.
int run_server(int argc, const char* const* argv);

// Waits for datagrams and dispatches each one; never returns.
[[noreturn]] void receive_loop(server& s);

}  // namespace mirx
