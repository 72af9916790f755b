#include "dashboard/http_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "dashboard/assets.h"
#include "dashboard/connection_server.h"
#include "dashboard/event_stream.h"

namespace mirx::dashboard {
namespace {

// A request is a GET or HEAD with a few headers: nothing larger is read.
constexpr std::size_t most_request_body = 4096;
// Room for a page opening its connections at once on a busy machine.
constexpr int listen_backlog = 128;
// A stream refused for too many viewers is told to come back this late.
constexpr const char* stream_retry_after_seconds = "10";
// An idle stream is pinged this often, so a dead connection is noticed on
// both ends; between pings the stream looks every step whether its page
// went away.
constexpr int ping_ms = 15000, step_ms = 250;

// No inline script or style, nothing from another origin, no framing.
constexpr const char* content_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void text_reply(httplib::Response& res, int status, const char* text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
}

// Answers what is not a GET or HEAD.
httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) {
  if (req.method == "GET" || req.method == "HEAD")
    return httplib::Server::HandlerResponse::Unhandled;
  res.set_header("Allow", "GET, HEAD");
  text_reply(res, 405, "only GET and HEAD\n");
  return httplib::Server::HandlerResponse::Handled;
}

// The state's text with this answer's time in place of the build's, sent
// from the shared document without a copy.
void state_reply(httplib::Response& res, std::shared_ptr<const state_document> d, std::string now) {
  const std::size_t size = d->text.size();
  const std::size_t stamp_at = d->now_at == std::string::npos ? size : d->now_at;
  const std::size_t stamp_end = std::min(size, stamp_at + now.size());
  res.set_content_provider(
      size, "application/json",
      [d, now, stamp_at, stamp_end](std::size_t offset, std::size_t length,
                                    httplib::DataSink& sink) {
        if (offset >= stamp_at && offset < stamp_end)
          return sink.write(now.data() + (offset - stamp_at), std::min(length, stamp_end - offset));
        const std::size_t limit = offset < stamp_at ? stamp_at : d->text.size();
        return sink.write(d->text.data() + offset, std::min(length, limit - offset));
      });
}

// Every answer says how to cache it once: the event stream says so itself.
void cache_once(const httplib::Request&, httplib::Response& res) {
  if (!res.has_header("Cache-Control")) res.set_header("Cache-Control", "no-cache");
  res.set_header("Accept-Ranges", "none");
}

connection_limits connections_for(const http_limits& l) {
  connection_limits c;
  c.workers = l.streams + l.spare_workers;
  c.pending = l.pending;
  c.per_address = l.connections_per_address;
  c.deadline = std::chrono::seconds(l.deadline_seconds);
  return c;
}

}  // namespace

http_server::http_server(hub& h, http_limits limits)
    : hub_(h),
      limits_(limits),
      server_(std::make_unique<connection_server>(connections_for(limits))),
      streams_(limits.streams, limits.streams_per_address) {
  server_->set_payload_max_length(most_request_body);
  server_->set_default_headers({{"Content-Security-Policy", content_policy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"}});
  server_->set_post_routing_handler(cache_once);
  // Remember the listening socket, to lengthen its backlog after binding.
  server_->set_socket_options([this](socket_t fd) {
    httplib::default_socket_options(fd);
    listen_fd_ = fd;
  });
  server_->set_pre_routing_handler(screen);
  server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty())
      text_reply(res, res.status, res.status == 404 ? "not found\n" : "refused\n");
  });
  routes();
}

http_server::~http_server() {
  stop();
}

void http_server::routes() {
  for (const asset& a : assets) {
    server_->Get(a.path, [&a](const httplib::Request&, httplib::Response& res) {
      res.set_content(a.body.data(), a.body.size(), a.type);
    });
  }
  server_->Get("/api/v1/state", [this](const httplib::Request&, httplib::Response& res) {
    const millis now = wall_now();
    state_reply(res, hub_.state_text(now), iso_time(now));
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(hub_.metrics({streams_.held(), streams_refused_.load()}),
                    "text/plain; version=0.0.4; charset=utf-8");
  });
  event_stream_route();
}

// Each stream first gets what its Last-Event-ID (or ?last=, for a page that
// had to open a new stream) says it missed, then every event as it comes,
// and a ping every ping_ms so that a dead connection is noticed on both ends.
// A refused stream is told to come back later; the page polls meanwhile.
void http_server::event_stream_route() {
  server_->Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    if (req.method == "HEAD") return res.set_header("Content-Type", "text/event-stream");
    if (!streams_.take(req.remote_addr)) {
      ++streams_refused_;
      res.set_header("Retry-After", stream_retry_after_seconds);
      return text_reply(res, 503, "too many event streams; poll /api/v1/state instead\n");
    }
    connection_server::current()->lift_deadline();
    const int fd = connection_server::current()->socket();
    std::string last = req.get_header_value("Last-Event-ID");
    if (last.empty()) last = req.get_param_value("last");
    auto seq = std::make_shared<std::uint64_t>(0);
    auto opened = std::make_shared<bool>(false);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, seq, opened, last, fd](std::size_t, httplib::DataSink& sink) {
          std::string text;
          bool gone = false;
          if (!*opened) {
            *opened = true;
            text = hub_.opening(last, *seq, wall_now());
          } else {
            text = next_events(*seq, fd, gone);
          }
          if (gone) return false;
          if (hub_.stopped()) {
            sink.done();
            return true;
          }
          if (text.empty())
            text = sse::event("", "{\"now\":\"" + iso_time(wall_now()) + "\"}", "ping");
          return sink.write(text.data(), text.size());
        },
        [this, from = req.remote_addr](bool) { streams_.give(from); });
  });
}

// Waits for events up to a ping's interval in short steps, looking between
// them whether the page went away, so that its slot is free at once and
// not at the next ping. Empty: time for a ping, or stopped, or `gone`.
std::string http_server::next_events(std::uint64_t& seq, int fd, bool& gone) {
  for (int waited = 0; waited < ping_ms; waited += step_ms) {
    std::string text = hub_.next(seq, step_ms, wall_now());
    if (!text.empty() || hub_.stopped()) return text;
    if (peer_gone(fd)) {
      gone = true;
      return "";
    }
  }
  return "";
}

std::string http_server::open(const endpoint& at, std::uint16_t& bound) {
  const std::string address = nodes::dotted(at.ip);
  if (at.port == 0) {
    const int port = server_->bind_to_any_port(address);
    if (port <= 0) return "cannot serve HTTP on " + address + ": " + std::strerror(errno);
    bound = static_cast<std::uint16_t>(port);
    return "";
  }
  if (!server_->bind_to_port(address, at.port))
    return "cannot serve HTTP on " + nodes::dotted(at.ip, at.port) + ": " + std::strerror(errno);
  bound = at.port;
  return "";
}

void http_server::start() {
  // The library listens with a backlog of 5: a page opening its five
  // connections at once on a busy machine would see a SYN dropped and wait
  // a second. listen() again on a listening socket only sets the backlog.
  if (listen_fd_ >= 0) ::listen(listen_fd_, listen_backlog);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void http_server::stop() {
  hub_.stop();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace mirx::dashboard
