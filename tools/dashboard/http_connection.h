#pragma once

// One accepted HTTP connection: one request read and answered under a
// deadline for the whole of it, then closed. A GET of /events that finds a
// free stream slot becomes a stream_session instead.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <memory>
#include <string>
#include <vector>

#include "dashboard/http_answers.h"
#include "dashboard/http_server.h"

namespace mirx::dashboard {

// A request is a GET or HEAD with a few headers: nothing larger is read.
inline constexpr std::size_t most_request_bytes = 8192;
// Header fields of one request at most; a browser sends some twenty.
inline constexpr std::size_t most_request_fields = 64;

// Reads a request keeping only what the routes use: its method, target and
// Last-Event-ID. No field is stored, and a body is dropped as it comes, so
// a connection holds its read buffer (most_request_bytes) and these texts,
// whatever its head holds: thousands of empty fields cost nothing more.
class request_reader : public boost::beast::http::basic_parser<true> {
 public:
  std::string method, target, last_event_id;

 private:
  void on_request_impl(boost::beast::http::verb, boost::beast::string_view method,
                       boost::beast::string_view target, int, boost::beast::error_code&) override;
  void on_response_impl(int, boost::beast::string_view, int, boost::beast::error_code&) override {}
  void on_field_impl(boost::beast::http::field, boost::beast::string_view name,
                     boost::beast::string_view value, boost::beast::error_code& ec) override;
  void on_header_impl(boost::beast::error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&,
                         boost::beast::error_code&) override {}
  std::size_t on_body_impl(boost::beast::string_view body, boost::beast::error_code&) override {
    return body.size();
  }
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view,
                            boost::beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                                 boost::beast::error_code&) override {
    return body.size();
  }
  void on_finish_impl(boost::beast::error_code&) override {}

  std::size_t fields_ = 0;
};

class http_connection : public evictable, public std::enable_shared_from_this<http_connection> {
 public:
  http_connection(boost::asio::ip::tcp::socket socket, http_context& context, std::string address);
  ~http_connection() override;

  void start();
  void evict() override;

 private:
  void read();
  void on_read(boost::beast::error_code ec);
  void serve();
  void stream(const std::string& last_id);
  void send(answer a);
  void close();
  void leave_budget();

  boost::beast::tcp_stream socket_;
  http_context& context_;
  const std::string address_;
  const std::chrono::steady_clock::time_point deadline_;
  connection_registry::ticket ticket_{};
  send_budget::ticket budget_ticket_{};
  bool entered_ = false, answering_ = false, budgeted_ = false;
  boost::beast::flat_buffer buffer_{most_request_bytes};
  request_reader parser_;
  answer answer_;
  std::vector<boost::asio::const_buffer> buffers_;
};

// Answers 503 at once without reading the request, and closes: what the
// client sent so far (a few blocks at most) is taken first, so that closing
// does not reset the connection before the answer is read. Never waits.
void refuse(boost::asio::ip::tcp::socket& socket);

// The bytes of `pieces` as buffers for one write.
void gather(const std::string& head, const std::vector<piece>& pieces,
            std::vector<boost::asio::const_buffer>& out);

}  // namespace mirx::dashboard
