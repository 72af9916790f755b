#pragma once

// The dashboard's HTTP side: the page and its two assets, the state as
// JSON, the metrics and the live event stream. GET and HEAD only; a fixed
// number of worker threads, connections and event streams, in total and
// per client address, so no client can make the program take more threads
// or memory than these bounds, nor take them all from the others.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "dashboard/address_slots.h"
#include "dashboard/hub.h"
#include "dashboard/udp_receiver.h"

namespace mirx::dashboard {

class connection_server;

struct http_limits {
  int streams = 64;             // open event streams; one more is answered 503
  int streams_per_address = 8;  // of them from one client address
  int spare_workers = 8;        // workers beyond those the event streams can hold
  int pending = 32;             // accepted connections waiting for a worker
  int connections_per_address = 16;
  int deadline_seconds = 10;  // to send a whole request and read its whole answer
};

class http_server {
 public:
  http_server(hub& h, http_limits limits);
  ~http_server();

  // Binds; an empty text, or why it failed. `bound` gets the port used.
  std::string open(const endpoint& at, std::uint16_t& bound);
  void start();
  void stop();

 private:
  void routes();
  void event_stream_route();
  std::string next_events(std::uint64_t& seq, int fd, bool& gone);

  hub& hub_;
  http_limits limits_;
  std::unique_ptr<connection_server> server_;
  address_slots streams_;
  std::atomic<std::uint64_t> streams_refused_{0};
  int listen_fd_ = -1;
  std::thread thread_;
};

}  // namespace mirx::dashboard
