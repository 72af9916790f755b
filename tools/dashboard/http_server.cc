#include "dashboard/http_server.h"

#include <boost/asio/post.hpp>
#include <chrono>

#include "dashboard/http_connection.h"
#include "dashboard/stream_session.h"
#include "platform/ipv4.h"

namespace mirx::dashboard {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// Room for a page opening its connections at once on a busy machine.
constexpr int listen_backlog = 512;
// Out of descriptors (or of memory for a socket), accepting pauses this
// long rather than failing at once again; what is open is served meanwhile.
constexpr std::chrono::milliseconds accept_pause{100};

bool out_of_resources(const boost::system::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

http_server::http_server(hub& h, http_limits limits)
    : context_{h,
               limits,
               connection_registry(static_cast<std::size_t>(limits.connections),
                                   static_cast<std::size_t>(limits.connections_per_address)),
               address_slots(limits.streams, limits.streams_per_address),
               send_budget(address_budget_bytes, process_budget_bytes),
               0,
               {}} {
  // New events reach the streams on the HTTP thread, one pass for however
  // many came meanwhile.
  h.on_events([this] {
    if (!fan_out_pending_.exchange(true)) asio::post(io_, [this] { fan_out(); });
  });
}

http_server::~http_server() {
  stop();
}

std::string http_server::open(const endpoint& at, std::uint16_t& bound) {
  const tcp::endpoint where(asio::ip::address_v4(ntohl(at.ip)), at.port);
  boost::system::error_code ec;
  acceptor_.open(where.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(where, ec);
  if (!ec) acceptor_.listen(listen_backlog, ec);
  if (ec) return "cannot serve HTTP on " + nodes::dotted(at.ip, at.port) + ": " + ec.message();
  bound = acceptor_.local_endpoint().port();
  return "";
}

void http_server::start() {
  accept();
  thread_ = std::thread([this] { io_.run(); });
}

void http_server::stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    boost::system::error_code ec;
    acceptor_.close(ec);
    accept_pause_.cancel();
    for (const auto& weak : context_.open_streams)
      if (const auto s = weak.lock()) s->close();
  });
  io_.stop();
  thread_.join();
}

void http_server::accept() {
  acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      accepted(std::move(socket));
    } else if (out_of_resources(ec)) {
      accept_pause_.expires_after(accept_pause);
      accept_pause_.async_wait([this](const boost::system::error_code& e) {
        if (!e) accept();
      });
      return;
    }
    accept();
  });
}

void http_server::accepted(tcp::socket socket) {
  boost::system::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;
  socket.set_option(asio::socket_base::send_buffer_size(answer_send_buffer), ec);
  std::make_shared<http_connection>(std::move(socket), context_, peer.address().to_string())
      ->start();
}

void http_server::fan_out() {
  fan_out_pending_ = false;
  auto& streams = context_.open_streams;
  std::erase_if(streams, [](const std::weak_ptr<stream_session>& s) { return s.expired(); });
  for (std::size_t i = 0; i < streams.size(); ++i)
    if (const auto s = streams[i].lock()) s->pull();
}

}  // namespace mirx::dashboard
