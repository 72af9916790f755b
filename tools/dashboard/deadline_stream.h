#pragma once

// One accepted HTTP connection as the library reads and writes it, with a
// deadline for the whole request: a client that sends its request a byte
// at a time, or reads its answer as slowly, loses the connection when the
// deadline passes, however often it makes progress. Only an event stream,
// which is meant to stay open, lifts the deadline once it is accepted; its
// writes then still time out one by one.

#include <httplib.h>

#include <chrono>
#include <string>

namespace mirx::dashboard {

class deadline_stream : public httplib::Stream {
 public:
  using clock = std::chrono::steady_clock;

  deadline_stream(int fd, clock::time_point deadline, std::chrono::milliseconds io_timeout)
      : fd_(fd), deadline_(deadline), io_timeout_(io_timeout) {}

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

  void lift_deadline() { deadline_ = clock::time_point::max(); }

 private:
  bool wait_for(short events) const;  // false: time-out, deadline or error

  const int fd_;
  clock::time_point deadline_;
  const std::chrono::milliseconds io_timeout_;
  // The library reads a request line byte by byte: read ahead in blocks.
  char buffer_[4096];
  size_t begin_ = 0, end_ = 0;
};

// The peer's address as text ("192.0.2.7"); empty when unknown.
std::string peer_address(int fd);

// True when the peer has closed or reset the connection; never waits.
bool peer_gone(int fd);

}  // namespace mirx::dashboard
