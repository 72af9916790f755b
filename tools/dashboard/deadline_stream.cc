#include "dashboard/deadline_stream.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "platform/ipv4.h"

namespace mirx::dashboard {
namespace {

// One end of the connection: the peer's, or ours.
void address_and_port(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  const auto named = reinterpret_cast<sockaddr*>(&a);
  if ((peer ? ::getpeername(fd, named, &length) : ::getsockname(fd, named, &length)) != 0) return;
  ip = dotted(a.sin_addr.s_addr).text;
  port = ntohs(a.sin_port);
}

}  // namespace

bool deadline_stream::wait_for(short events) const {
  using namespace std::chrono;
  const auto left = duration_cast<milliseconds>(deadline_ - clock::now());
  const auto wait = std::min(io_timeout_, left);
  if (wait.count() <= 0) return false;
  pollfd p{fd_, events, 0};
  int n;
  do n = ::poll(&p, 1, static_cast<int>(wait.count()));
  while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (events | POLLHUP)) != 0;
}

bool deadline_stream::is_readable() const {
  return begin_ < end_ || wait_for(POLLIN);
}

bool deadline_stream::is_writable() const {
  return wait_for(POLLOUT);
}

ssize_t deadline_stream::read(char* ptr, size_t size) {
  if (begin_ == end_) {
    if (!wait_for(POLLIN)) return -1;
    const ssize_t n = ::recv(fd_, buffer_, sizeof buffer_, 0);
    if (n <= 0) return n;
    begin_ = 0;
    end_ = static_cast<size_t>(n);
  }
  const size_t n = std::min(size, end_ - begin_);
  std::memcpy(ptr, buffer_ + begin_, n);
  begin_ += n;
  return static_cast<ssize_t>(n);
}

// Sends what fits now and lets the library come back for the rest, so that
// no single send outlasts the deadline.
ssize_t deadline_stream::write(const char* ptr, size_t size) {
  if (!wait_for(POLLOUT)) return -1;
  return ::send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void deadline_stream::get_remote_ip_and_port(std::string& ip, int& port) const {
  address_and_port(fd_, true, ip, port);
}

void deadline_stream::get_local_ip_and_port(std::string& ip, int& port) const {
  address_and_port(fd_, false, ip, port);
}

std::string peer_address(int fd) {
  std::string ip;
  int port = 0;
  address_and_port(fd, true, ip, port);
  return ip;
}

bool peer_gone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace mirx::dashboard
