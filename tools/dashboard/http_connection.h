#pragma once

// One accepted HTTP connection: one request read and answered under a
// deadline for the whole of it, then closed. A GET of /events that finds a
// free stream slot becomes a stream_session instead.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>
#include <string>
#include <vector>

#include "dashboard/http_answers.h"
#include "dashboard/http_server.h"

namespace mirx::dashboard {

// A request is a GET or HEAD with a few headers: nothing larger is read.
inline constexpr std::size_t most_request_bytes = 8192;

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

  boost::beast::tcp_stream socket_;
  http_context& context_;
  const std::string address_;
  const std::chrono::steady_clock::time_point deadline_;
  connection_registry::ticket ticket_{};
  bool entered_ = false, answering_ = false;
  boost::beast::flat_buffer buffer_{most_request_bytes};
  boost::beast::http::request_parser<boost::beast::http::string_body> parser_;
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
