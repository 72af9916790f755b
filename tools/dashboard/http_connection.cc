#include "dashboard/http_connection.h"

#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/read.hpp>

#include "dashboard/stream_session.h"

namespace mirx::dashboard {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

void refuse(asio::ip::tcp::socket& socket) {
  static constexpr std::string_view busy =
      "HTTP/1.1 503 Service Unavailable\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 5\r\n"
      "Retry-After: 5\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "Connection: close\r\n"
      "\r\n"
      "busy\n";
  beast::error_code ec;
  socket.non_blocking(true, ec);
  char sink[4096];
  for (int i = 0; i < 4 && socket.read_some(asio::buffer(sink), ec) > 0 && !ec; ++i) {
  }
  socket.write_some(asio::buffer(busy.data(), busy.size()), ec);
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket.close(ec);
}

void request_reader::on_request_impl(http::verb, beast::string_view method,
                                     beast::string_view target, int, beast::error_code&) {
  this->method.assign(method.data(), method.size());
  this->target.assign(target.data(), target.size());
}

void request_reader::on_field_impl(http::field, beast::string_view name, beast::string_view value,
                                   beast::error_code& ec) {
  if (++fields_ > most_request_fields) ec = http::error::header_limit;
  if (beast::iequals(name, "Last-Event-ID")) last_event_id.assign(value.data(), value.size());
}

void gather(const std::string& head, const std::vector<piece>& pieces,
            std::vector<asio::const_buffer>& out) {
  out.clear();
  out.push_back(asio::buffer(head));
  for (const piece& p : pieces) out.push_back(asio::buffer(p.bytes.data(), p.bytes.size()));
}

http_connection::http_connection(asio::ip::tcp::socket socket, http_context& context,
                                 std::string address)
    : socket_(std::move(socket)),
      context_(context),
      address_(std::move(address)),
      deadline_(std::chrono::steady_clock::now() +
                std::chrono::seconds(context.limits.deadline_seconds)) {
  parser_.header_limit(most_request_bytes);
  parser_.body_limit(most_request_bytes);
}

http_connection::~http_connection() {
  if (entered_) context_.connections.leave(address_, ticket_);
  leave_budget();
}

void http_connection::leave_budget() {
  if (budgeted_) context_.budget.leave(budget_ticket_);
  budgeted_ = false;
}

void http_connection::start() {
  if (!context_.connections.enter(address_, shared_from_this(), ticket_)) {
    refuse(socket_.socket());
    return socket_.close();
  }
  entered_ = true;
  read();
}

// One still reading its request is told 503; one whose answer is under way
// is only closed, as a 503 would land inside that answer.
void http_connection::evict() {
  if (entered_) context_.connections.leave(address_, ticket_);
  entered_ = false;
  leave_budget();
  if (!answering_) refuse(socket_.socket());
  close();
}

void http_connection::close() {
  leave_budget();
  beast::error_code ec;
  socket_.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close();
}

void http_connection::read() {
  socket_.expires_at(deadline_);
  http::async_read(
      socket_, buffer_, parser_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
}

void http_connection::on_read(beast::error_code ec) {
  if (!ec) return serve();
  // A request that cannot be read (too large, malformed) is told so; one
  // that did not come in time, or a client gone, is closed.
  if (ec == beast::error::timeout || ec == asio::error::operation_aborted ||
      ec == http::error::end_of_stream || ec == asio::error::eof || !socket_.socket().is_open())
    return close();
  send(text_answer(400, "refused\n"));
}

void http_connection::serve() {
  const request_line line{parser_.method, parser_.target};
  answer a;
  const serving_figures figures{context_.streams.held(), context_.streams_refused};
  if (plain_answer(line, context_.events, figures, a)) return send(std::move(a));
  if (!context_.streams.take(address_)) {
    ++context_.streams_refused;
    return send(text_answer(503, "too many event streams; poll /api/v1/state instead\n",
                            "Retry-After: " + std::string(stream_retry_after_seconds) +
                                "\r\nCache-Control: no-store\r\n"));
  }
  std::string last = parser_.last_event_id;
  if (last.empty()) last = query_value(line.target, "last");
  stream(last);
}

// The connection leaves the registry of connections (a stream is not
// evicted for newcomers) and holds a stream slot instead.
void http_connection::stream(const std::string& last_id) {
  if (entered_) context_.connections.leave(address_, ticket_);
  entered_ = false;
  socket_.expires_never();
  auto s = std::make_shared<stream_session>(socket_.release_socket(), context_, address_);
  if (!s->reserve(last_id)) return;
  std::erase_if(context_.open_streams, [](const auto& old) { return old.expired(); });
  context_.open_streams.push_back(s);
  s->start();
}

// An answer that does not fit the budgets, once room is made at the cost of
// those holding the most, is told 503 instead: a few bytes, never counted.
void http_connection::send(answer a) {
  answering_ = true;
  budgeted_ = context_.budget.enter(address_, a.head.size() + answer_socket_allowance, a.body,
                                    shared_from_this(), budget_ticket_);
  if (!budgeted_) a = text_answer(503, "busy\n", "Retry-After: 5\r\n", parser_.method == "HEAD");
  answer_ = std::move(a);
  gather(answer_.head, answer_.body, buffers_);
  socket_.expires_at(deadline_);
  asio::async_write(socket_, buffers_,
                    [self = shared_from_this()](beast::error_code, std::size_t) { self->close(); });
}

}  // namespace mirx::dashboard
