#include "dashboard/connection_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace mirx::dashboard {
namespace {

// Set on the accepting thread while it turns away a connection that found
// every worker busy and the waiting line full.
thread_local bool turning_away = false;
thread_local deadline_stream* handling = nullptr;

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

// Answers without reading the request, and without waiting: what the
// client sent so far (a few blocks at most, so a fast sender cannot keep
// the accepting thread here) is taken first, so that closing does not
// reset the connection before the answer is read.
void refuse(int fd) {
  static const char answer[] =
      "HTTP/1.1 503 Service Unavailable\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 5\r\n"
      "Retry-After: 5\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "Connection: close\r\n"
      "\r\n"
      "busy\n";
  char sink[4096];
  for (int i = 0; i < 4 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  (void)::send(fd, answer, sizeof answer - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// These files are small and served whole: a Range header is ignored, so no
// client gets a multipart answer or makes the server cut one.
void forget_ranges(httplib::Request& req) {
  req.ranges.clear();
}

}  // namespace

connection_server::connection_server(const connection_limits& limits)
    : limits_(limits), connections_(limits.workers + limits.pending, limits.per_address) {
  const auto workers = static_cast<std::size_t>(limits.workers);
  const auto pending = static_cast<std::size_t>(limits.pending);
  new_task_queue = [workers, pending] { return new bounded_pool(workers, pending); };
}

deadline_stream* connection_server::current() {
  return handling;
}

bool connection_server::process_and_close_socket(socket_t sock) {
  const std::string from = peer_address(sock);
  if (turning_away || !connections_.take(from)) {
    refuse(sock);
  } else {
    deadline_stream stream(sock, deadline_stream::clock::now() + limits_.deadline,
                           limits_.io_timeout);
    handling = &stream;
    bool closed = false;
    process_request(stream, true, closed, forget_ranges);
    handling = nullptr;
    connections_.give(from);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return true;
}

}  // namespace mirx::dashboard
