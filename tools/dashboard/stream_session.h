#pragma once

// One open event stream. What it has to send is a queue of pieces of
// shared texts: an event's bytes exist once however many streams send
// them. A stream whose unsent event bytes pass stream_unsent_bytes, or
// whose page takes no byte for the request deadline while something is
// left for it, is closed; its page reconnects and starts again from the
// state. "Taken" is what the page's reader took, not what its system
// buffered: the peer's acknowledgements less what its receive window still
// holds unread (where the system tells them; else what was written). A
// stream with bytes outstanding and no progress is sent a comment, which
// makes the peer tell its window afresh. (A peer with a large receive
// buffer grows the window it tells as data comes, so what it holds unread
// shows only past some tens of kilobytes; the per-address stream cap bounds
// what such peers hold.) A page that closes its end is noticed at once, and
// a quiet stream is pinged every ping interval.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "dashboard/http_server.h"

namespace mirx::dashboard {

class stream_session : public evictable, public std::enable_shared_from_this<stream_session> {
 public:
  stream_session(boost::asio::ip::tcp::socket socket, http_context& context, std::string address);
  ~stream_session() override;  // gives the stream slot back

  // Takes the stream's first pieces (the state, or the events a page that
  // last saw `last_id` missed) and its place in the budgets. False, the
  // client told 503, the refusal counted and the stream closed, when there
  // is no room.
  bool reserve(const std::string& last_id);
  void evict() override { close(); }
  void start();  // sends what reserve() took
  void pull();   // takes the hub's new events
  void close();

 private:
  void append(std::vector<piece>& pieces);
  bool rebudget();
  void write();
  void written(const boost::system::error_code& ec, std::size_t n);
  void watch_progress();
  bool progressed();
  void watch_peer();
  void ping();

  boost::asio::ip::tcp::socket socket_;
  http_context& context_;
  const std::string address_;
  // The place in the budgets: the bound of unsent bytes, the send buffer
  // and `budget_texts_`, the shared texts in the queue when it was taken.
  // Taken again whenever the queue's shared texts change, so that a text
  // counts while the stream holds it and no longer.
  send_budget::ticket budget_ticket_{};
  bool budgeted_ = false;
  std::vector<const void*> budget_texts_;
  std::deque<piece> queue_;
  std::size_t front_sent_ = 0;  // of queue_.front()
  std::size_t unsent_ = 0;      // counted bytes in the queue
  std::uint64_t seq_ = 0;       // the last event queued
  std::uint64_t written_ = 0;   // bytes the system took from this stream
  std::uint64_t taken_ = 0;     // by the page, when it last progressed
  std::uint64_t widest_ = 0;    // the widest window the peer told
  std::uint64_t window_ = 0;    // the window at the last look
  std::chrono::steady_clock::time_point progress_at_;
  bool writing_ = false, closed_ = false, quiet_ = true;
  boost::asio::steady_timer stall_, ping_;
  std::vector<boost::asio::const_buffer> buffers_;
  char peer_bytes_[256];
};

}  // namespace mirx::dashboard
