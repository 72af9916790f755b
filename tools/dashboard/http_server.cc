#include "dashboard/http_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "dashboard/assets.h"

namespace mirx::dashboard {
namespace {

millis wall_now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// No inline script or style, nothing from another origin, no framing.
constexpr const char* content_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// Set on the accepting thread while it turns away a connection that found
// every worker busy and the waiting line full.
thread_local bool turning_away = false;

// A fixed set of workers with a bounded waiting line. A connection beyond
// that is handled on the accepting thread itself, where it only gets a 503:
// the accepting pauses meanwhile, which is the back-pressure we want.
class bounded_pool : public httplib::TaskQueue {
 public:
  bounded_pool(std::size_t workers, std::size_t pending) : pending_(pending) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (jobs_.size() < pending_) {
        jobs_.push_back(std::move(fn));
        wake_.notify_one();
        return;
      }
    }
    turning_away = true;
    fn();
    turning_away = false;
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      fn();
    }
  }

  const std::size_t pending_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

void text_reply(httplib::Response& res, int status, const char* text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
}

// Answers what is not a GET or HEAD, and everything while turning away.
httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) {
  if (turning_away) {
    res.set_header("Connection", "close");
    res.set_header("Retry-After", "5");
    text_reply(res, 503, "busy\n");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (req.method == "GET" || req.method == "HEAD")
    return httplib::Server::HandlerResponse::Unhandled;
  res.set_header("Allow", "GET, HEAD");
  text_reply(res, 405, "only GET and HEAD\n");
  return httplib::Server::HandlerResponse::Handled;
}

}  // namespace

http_server::http_server(hub& h, http_limits limits)
    : hub_(h), limits_(limits), server_(std::make_unique<httplib::Server>()) {
  const std::size_t workers = static_cast<std::size_t>(limits_.streams + limits_.spare_workers);
  const std::size_t pending = static_cast<std::size_t>(limits_.pending);
  server_->new_task_queue = [workers, pending] { return new bounded_pool(workers, pending); };
  server_->set_read_timeout(5);
  server_->set_write_timeout(5);
  // One request per connection: a worker is free again as soon as it has
  // answered, and a connection that sends nothing holds one for 2 s at most.
  server_->set_keep_alive_max_count(1);
  server_->set_keep_alive_timeout(2);
  server_->set_payload_max_length(4096);
  server_->set_default_headers({{"Content-Security-Policy", content_policy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"},
                                {"Cache-Control", "no-cache"}});
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
    res.set_content(hub_.state_text(wall_now()), "application/json");
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(hub_.metrics(wall_now()), "text/plain; version=0.0.4; charset=utf-8");
  });
  event_stream_route();
}

// Each stream first gets what its Last-Event-ID (or ?last=, for a page that
// had to open a new stream) says it missed, then every event as it comes,
// and a ping every 15 s so that a dead connection is noticed on both ends.
void http_server::event_stream_route() {
  server_->Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    if (req.method == "HEAD") return res.set_header("Content-Type", "text/event-stream");
    if (!hub_.open_stream(limits_.streams)) {
      res.set_header("Connection", "close");
      res.set_header("Retry-After", "10");
      return text_reply(res, 503, "too many event streams\n");
    }
    std::string last = req.get_header_value("Last-Event-ID");
    if (last.empty()) last = req.get_param_value("last");
    auto seq = std::make_shared<std::uint64_t>(0);
    auto opened = std::make_shared<bool>(false);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, seq, opened, last](std::size_t, httplib::DataSink& sink) {
          std::string text;
          if (!*opened) {
            *opened = true;
            text = hub_.opening(last, *seq, wall_now());
          } else {
            text = hub_.next(*seq, 15000, wall_now());
          }
          if (hub_.stopped()) {
            sink.done();
            return true;
          }
          if (text.empty())
            text = "event: ping\ndata: {\"now\":\"" + iso_time(wall_now()) + "\"}\n\n";
          return sink.write(text.data(), text.size());
        },
        [this](bool) { hub_.close_stream(); });
  });
}

std::string http_server::open(const endpoint& at, std::uint16_t& bound) {
  const std::string host = endpoint_text({at.ip, 0});
  const std::string address = host.substr(0, host.rfind(':'));
  if (at.port == 0) {
    const int port = server_->bind_to_any_port(address);
    if (port <= 0) return "cannot serve HTTP on " + address + ": " + std::strerror(errno);
    bound = static_cast<std::uint16_t>(port);
    return "";
  }
  if (!server_->bind_to_port(address, at.port))
    return "cannot serve HTTP on " + endpoint_text(at) + ": " + std::strerror(errno);
  bound = at.port;
  return "";
}

void http_server::start() {
  // The library listens with a backlog of 5: a page opening its five
  // connections at once on a busy machine would see a SYN dropped and wait
  // a second. listen() again on a listening socket only sets the backlog.
  if (listen_fd_ >= 0) ::listen(listen_fd_, 128);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void http_server::stop() {
  hub_.stop();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace mirx::dashboard
