#include "dashboard/stream_session.h"

#include <algorithm>

#include "dashboard/event_stream.h"
#include "dashboard/http_answers.h"
#include "dashboard/http_connection.h"
#include "platform/platform.h"

namespace mirx::dashboard {

namespace asio = boost::asio;

namespace {

// An idle stream is pinged this often, so a dead connection is noticed on
// both ends.
constexpr std::chrono::milliseconds ping_interval{15000};
// Pieces handed to one write at most.
constexpr std::size_t pieces_per_write = 64;
// How often a stream's progress is looked at.
constexpr std::chrono::milliseconds progress_check{500};

}  // namespace

stream_session::stream_session(asio::ip::tcp::socket socket, http_context& context,
                               std::string address)
    : socket_(std::move(socket)),
      context_(context),
      address_(std::move(address)),
      stall_(socket_.get_executor()),
      ping_(socket_.get_executor()) {}

stream_session::~stream_session() {
  context_.streams.give(address_);
  if (budgeted_) context_.budget.leave(budget_ticket_);
}

bool stream_session::reserve(const std::string& last_id) {
  boost::system::error_code ec;
  socket_.set_option(asio::socket_base::send_buffer_size(stream_send_buffer), ec);
  std::vector<piece> first{own_piece(stream_head(), false)};
  context_.events.opening(last_id, wall_now(), seq_, first);
  for (piece& p : first) {
    if (p.counted) unsent_ += p.bytes.size();
    queue_.push_back(std::move(p));
  }
  if (!rebudget()) {
    ++context_.streams_refused;
    refuse(socket_);
    close();
  }
  return budgeted_;
}

// Leaving and entering again moves the stream to the newest place in the
// budgets' order; a place taken for fewer texts than before always fits, as
// the bytes it gives up are at least those it takes.
bool stream_session::rebudget() {
  std::vector<piece> texts = shared_texts(queue_);
  std::vector<const void*> owners;
  for (const piece& p : texts) owners.push_back(p.owner.get());
  std::sort(owners.begin(), owners.end());
  owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
  if (budgeted_ && owners == budget_texts_) return true;
  if (budgeted_) context_.budget.leave(budget_ticket_);
  budgeted_ = context_.budget.enter(address_, stream_unsent_bytes + stream_socket_allowance, texts,
                                    shared_from_this(), budget_ticket_);
  budget_texts_ = std::move(owners);
  return budgeted_;
}

void stream_session::start() {
  // The window before anything is sent: the peer's whole, when its reader has
  // read everything.
  platform::tcp_progress p;
  if (platform::tcp_progress_of(socket_.native_handle(), p)) widest_ = window_ = p.window;
  progress_at_ = std::chrono::steady_clock::now();
  watch_progress();
  std::vector<piece> none;
  append(none);
  watch_peer();
  ping();
}

void stream_session::pull() {
  if (closed_) return;
  std::vector<piece> more;
  context_.events.since(seq_, wall_now(), more);
  append(more);
}

void stream_session::close() {
  if (closed_) return;
  closed_ = true;
  queue_.clear();  // the shared texts are let go at once
  if (budgeted_) context_.budget.leave(budget_ticket_);
  budgeted_ = false;
  boost::system::error_code ec;
  stall_.cancel();
  ping_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
}

// A fresh state (the stream fell too far behind) is a shared text the
// stream's place in the budgets must hold: with no room for it, the stream
// is closed, and its page starts again.
void stream_session::append(std::vector<piece>& pieces) {
  bool shared = false;
  for (piece& p : pieces) {
    if (p.counted) unsent_ += p.bytes.size();
    shared = shared || (!p.counted && p.owner);
    queue_.push_back(std::move(p));
  }
  if (unsent_ > stream_unsent_bytes) return close();
  if (shared && !rebudget()) return close();
  if (!writing_) write();
}

void stream_session::write() {
  if (closed_ || queue_.empty()) return;
  buffers_.clear();
  for (std::size_t i = 0; i < queue_.size() && i < pieces_per_write; ++i) {
    const std::string_view b = queue_[i].bytes.substr(i == 0 ? front_sent_ : 0);
    buffers_.push_back(asio::buffer(b.data(), b.size()));
  }
  writing_ = true;
  quiet_ = false;
  socket_.async_write_some(
      buffers_, [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
        self->written(ec, n);
      });
}

void stream_session::written(const boost::system::error_code& ec, std::size_t n) {
  writing_ = false;
  if (ec || closed_) return close();
  written_ += n;
  bool sent_shared = false;  // the budgets may let a text go
  while (n > 0) {
    piece& p = queue_.front();
    const std::size_t left = p.bytes.size() - front_sent_;
    if (n < left) {
      front_sent_ += n;
      break;
    }
    n -= left;
    if (p.counted) unsent_ -= p.bytes.size();
    sent_shared = sent_shared || (!p.counted && p.owner);
    queue_.pop_front();
    front_sent_ = 0;
  }
  if (sent_shared && !rebudget()) return close();
  write();
}

// Whether the page took something since the last look, or holds nothing it
// has not taken; when it neither does nor reads, a probe is queued. A
// reader that reads frees room, so its window grows; a peer whose reader
// reads nothing only ever shrinks its window, and acknowledges no more than
// its system buffers, which the window arithmetic takes out (to within the
// coarseness of the window: a segment).
bool stream_session::progressed() {
  platform::tcp_progress p;
  if (!platform::tcp_progress_of(socket_.native_handle(), p)) {
    if (written_ == taken_ && !queue_.empty()) return false;  // judged by writes alone
    taken_ = written_;
    return true;
  }
  widest_ = std::max(widest_, p.window);
  const std::uint64_t unread = widest_ - p.window;
  const std::uint64_t taken = p.acked > unread ? p.acked - unread : 0;
  const bool grew = p.window > window_;
  window_ = p.window;
  if (queue_.empty() && p.acked >= written_ && unread == 0) return true;
  if (grew || taken > taken_ + p.segment) return taken_ = taken, true;
  if (queue_.empty()) {
    std::vector<piece> probe{{nullptr, ":\n", false}};  // no text of its own to count
    append(probe);
  }
  return false;
}

void stream_session::watch_progress() {
  stall_.expires_after(progress_check);
  stall_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
    if (ec || self->closed_) return;
    const auto now = std::chrono::steady_clock::now();
    if (self->progressed())
      self->progress_at_ = now;
    else if (now - self->progress_at_ >=
             std::chrono::seconds(self->context_.limits.deadline_seconds))
      return self->close();
    self->watch_progress();
  });
}

// The page sends nothing on a stream: whatever it sends is dropped, and
// its end of the connection closing closes the stream at once.
void stream_session::watch_peer() {
  socket_.async_read_some(
      asio::buffer(peer_bytes_),
      [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
        if (ec) return self->close();
        self->watch_peer();
      });
}

void stream_session::ping() {
  ping_.expires_after(ping_interval);
  ping_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
    if (ec || self->closed_) return;
    if (self->quiet_) {
      std::vector<piece> p{
          own_piece(sse::event("", "{\"now\":\"" + iso_time(wall_now()) + "\"}", "ping"))};
      self->append(p);
    }
    self->quiet_ = true;
    self->ping();
  });
}

}  // namespace mirx::dashboard
