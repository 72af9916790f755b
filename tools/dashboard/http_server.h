#pragma once

// The dashboard's HTTP side: the page and its two assets, the state as
// JSON, the metrics and the live event stream. GET and HEAD only; a fixed
// number of worker threads and event streams, so no client can make the
// program take more threads or memory than these bounds.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "dashboard/hub.h"
#include "dashboard/udp_receiver.h"

namespace httplib {
class Server;
}

namespace mirx::dashboard {

struct http_limits {
  int streams = 64;       // open event streams; one more is answered 503
  int spare_workers = 8;  // workers beyond those an event stream can hold
  int pending = 32;       // accepted connections waiting for a worker
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

  hub& hub_;
  http_limits limits_;
  std::unique_ptr<httplib::Server> server_;
  int listen_fd_ = -1;
  std::thread thread_;
};

}  // namespace mirx::dashboard
