#pragma once

// The library's HTTP server with the connection handling this program
// wants: one request per connection under a deadline for the whole
// request, at most a few connections from one client address, and a fixed
// set of workers with a bounded waiting line. A connection beyond any of
// these gets a short 503 before a byte of its request is read, so a client
// that trickles its request cannot hold the thread that refuses it.
//
// cpp-httplib as Debian 12 ships it (0.11) times out each read and each
// write but has no deadline for a whole request and no idea of client
// addresses: this server takes over the one call that handles an accepted
// socket and gives the library's request handling a stream of its own.

#include <httplib.h>

#include <chrono>

#include "dashboard/address_slots.h"
#include "dashboard/deadline_stream.h"

namespace mirx::dashboard {

struct connection_limits {
  int workers = 72;
  int pending = 32;                            // accepted connections waiting for a worker
  int per_address = 16;                        // open connections from one client address
  std::chrono::milliseconds deadline{10000};   // to read the request and write the answer
  std::chrono::milliseconds io_timeout{5000};  // for each read and each write
};

class connection_server : public httplib::Server {
 public:
  explicit connection_server(const connection_limits& limits);

  // The connection whose request the calling worker is handling; null
  // outside a handler.
  static deadline_stream* current();

 private:
  bool process_and_close_socket(socket_t sock) override;

  const connection_limits limits_;
  address_slots connections_;
};

}  // namespace mirx::dashboard
