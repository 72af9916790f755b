#pragma once

// The dashboard's HTTP side: the page and its assets, the state as JSON,
// the metrics and the live event stream; GET and HEAD only. One thread
// runs every connection on an event loop, so an idle or slow client costs
// a socket and a few kilobytes, never a thread. Connections and event
// streams are capped in total and per client address; each request has a
// deadline for the whole of it; each stream a bound on what it has not yet
// sent. No client can make the program take more memory than these bounds,
// nor take the page from the others.

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dashboard/address_slots.h"
#include "dashboard/connection_registry.h"
#include "dashboard/hub.h"
#include "dashboard/send_budget.h"
#include "dashboard/udp_receiver.h"

namespace mirx::dashboard {

struct http_limits {
  int streams = 64;             // open event streams; one more is answered 503
  int streams_per_address = 8;  // of them from one client address
  int connections = 4096;       // open connections besides the streams (lowered to fit the
                                // open-file limit)
  int connections_per_address = 16;
  int deadline_seconds = 10;  // to send a whole request and read its whole answer
};

// A stream whose unsent event bytes pass this is closed; its page
// reconnects and starts again from the state.
inline constexpr std::size_t stream_unsent_bytes = 256 * 1024;
// A socket holds about this much unsent at most (the system doubles it for
// its own use), rather than growing to megabytes for a client that reads
// nothing: an answer's buffer is large enough that a large state goes out
// in a few writes on a busy machine, a stream's (long-lived, a few events
// at a time) small. Each counts twice its size in the budgets.
inline constexpr int answer_send_buffer = 256 * 1024;
inline constexpr int stream_send_buffer = 64 * 1024;
inline constexpr std::size_t answer_socket_allowance = 2 * answer_send_buffer;
inline constexpr std::size_t stream_socket_allowance = 2 * stream_send_buffer;

class stream_session;

// What every connection reaches; on the HTTP thread only.
struct http_context {
  hub& events;
  http_limits limits;
  connection_registry connections;
  address_slots streams;
  send_budget budget{address_budget_bytes, process_budget_bytes};
  std::uint64_t streams_refused = 0;
  std::vector<std::weak_ptr<stream_session>> open_streams;
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
  void accept();
  void accepted(boost::asio::ip::tcp::socket socket);
  void fan_out();

  http_context context_;
  std::atomic<bool> fan_out_pending_{false};
  // Declared after what the connections reach, so that destroying it (and
  // the connections still held by its handlers) comes first.
  boost::asio::io_context io_{1};
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  boost::asio::steady_timer accept_pause_{io_};
  std::thread thread_;
};

}  // namespace mirx::dashboard
