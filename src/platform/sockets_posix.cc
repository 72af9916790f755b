// POSIX UDP sockets over IPv4: opened, bound, waited on with poll, read and
// written, and host names resolved.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#if defined(__linux__)
#include <linux/tcp.h>  // the kernel's tcp_info: glibc's lacks the window
#endif
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace mirx::platform {

int no_buffer_space_code() {
  return ENOBUFS;
}

bool start_sockets() {
  return true;
}

socket_handle open_udp_socket() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? no_socket : fd;
}

int last_socket_error() {
  return errno;
}

int bind_any(socket_handle s, std::uint16_t port) {
  return bind_to(s, htonl(INADDR_ANY), port);
}

int bind_to(socket_handle s, std::uint32_t ip, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = ip;
  if (::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
  return errno;
}

void ignore_unreachable_reports(socket_handle) {}

std::uint16_t local_port(socket_handle s) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    return 0;
  return ntohs(addr.sin_port);
}

// The loopback network is always ours; any other address is ours when a
// socket can be bound to it.
bool is_local_address(std::uint32_t ip) {
  if ((ntohl(ip) >> 24) == 127) return true;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = ip;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return bound;
}

void set_receive_buffer(socket_handle s, int bytes, bool past_system_cap) {
  // SO_RCVBUF is capped by net.core.rmem_max (about 200 KiB on a stock
  // kernel); a process with CAP_NET_ADMIN may go past the cap.
  if (!past_system_cap ||
      ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void close_socket(socket_handle s) {
  if (s != no_socket) ::close(static_cast<int>(s));
}

wait_result wait_readable(socket_handle s, int timeout_ms) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  int n = ::poll(&p, 1, timeout_ms);
  if (n < 0 && errno != EINTR) return wait_result::failed;
  return n > 0 && (p.revents & POLLIN) ? wait_result::readable : wait_result::timed_out;
}

received receive(socket_handle s, std::uint8_t* buffer, std::size_t capacity) {
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  // MSG_TRUNC makes the kernel report the datagram's real length, so that a
  // datagram longer than the buffer is recognised and never taken for its
  // first bytes.
  ssize_t n = ::recvfrom(static_cast<int>(s), buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0 || from.sin_family != AF_INET) return {-1, 0};
  return {static_cast<long>(n), from.sin_addr.s_addr, ntohs(from.sin_port)};
}

int send_to(socket_handle s, const void* data, std::size_t length, std::uint32_t ip,
            std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ip;
  ssize_t n =
      ::sendto(static_cast<int>(s), data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  return n < 0 ? errno : 0;
}

namespace {

// One sendmmsg call for up to send_to_each_most destinations, the port of
// the i-th from port_of(i): the kernel still sends the datagrams one by one
// in order and stops at the first that fails, but keeps that error to itself
// unless it was the first of the call.
template <typename port_at>
std::size_t send_batch(socket_handle s, const void* data, std::size_t length,
                       const std::uint32_t* ips, std::size_t count, port_at port_of, int* error) {
  constexpr std::size_t most = send_to_each_most;
  if (count > most) count = most;
  sockaddr_in to[most];
  mmsghdr messages[most];
  iovec payload{const_cast<void*>(data), length};
  for (std::size_t i = 0; i < count; ++i) {
    to[i] = sockaddr_in{};
    to[i].sin_family = AF_INET;
    to[i].sin_port = htons(port_of(i));
    to[i].sin_addr.s_addr = ips[i];
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &to[i];
    messages[i].msg_hdr.msg_namelen = sizeof to[i];
    messages[i].msg_hdr.msg_iov = &payload;
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int sent = ::sendmmsg(static_cast<int>(s), messages, static_cast<unsigned>(count), 0);
  *error = sent < 0 ? errno : 0;
  return sent < 0 ? 0 : static_cast<std::size_t>(sent);
}

}  // namespace

std::size_t send_to_each(socket_handle s, const void* data, std::size_t length,
                         const std::uint32_t* ips, std::size_t count, std::uint16_t port,
                         int* error) {
  return send_batch(
      s, data, length, ips, count, [port](std::size_t) { return port; }, error);
}

std::size_t send_to_endpoints(socket_handle s, const void* data, std::size_t length,
                              const std::uint32_t* ips, const std::uint16_t* ports,
                              std::size_t count, int* error) {
  return send_batch(
      s, data, length, ips, count, [ports](std::size_t i) { return ports[i]; }, error);
}

namespace {

// The port is shared with SO_REUSEPORT, which the kernel grants only to
// sockets of the user that bound it first: a process of another user can
// neither bind it (to pass its datagrams off as the server's own) nor send
// from it. SO_REUSEADDR would let any local process join.
bool mark_shared(int fd) {
  const int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
}

// Binds to every address at `port` (0: one of the system's choice) with the
// port shared; the port bound, or 0.
std::uint16_t bind_sharing(int fd, std::uint16_t port) {
  if (!mark_shared(fd)) return 0;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof at;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0)
    return 0;
  return ntohs(at.sin_port);
}

}  // namespace

std::uint16_t bind_shared_port(socket_handle s) {
  // Already bound (the out socket is bound at start so that its own datagrams
  // can be recognised): sharing is asked of the kernel when the connected
  // sockets bind, so marking the bound socket is enough.
  const std::uint16_t bound = local_port(s);
  if (bound == 0) return bind_sharing(static_cast<int>(s), 0);
  return mark_shared(static_cast<int>(s)) ? bound : 0;
}

socket_handle open_connected_udp(std::uint32_t ip, std::uint16_t port, std::uint16_t from_port,
                                 int* error) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return no_socket;
  }
  const int least = 1;  // the kernel takes its minimum instead
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &least, sizeof least);
  if (from_port != 0 && bind_sharing(fd, from_port) != from_port) {
    *error = errno;
    ::close(fd);
    return no_socket;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ip;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    *error = errno;
    ::close(fd);
    return no_socket;
  }
  *error = 0;
  return fd;
}

std::size_t raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised{limit.rlim_max, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

std::optional<std::uint32_t> resolve_ipv4(const char* name, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (why) *why = ::gai_strerror(rc);
    return std::nullopt;
  }
  std::uint32_t ip = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return ip;
}

bool tcp_progress_of(socket_handle s, tcp_progress& out) {
#if defined(__linux__) && defined(TCP_INFO)
  struct tcp_info info {};
  socklen_t size = sizeof info;
  if (::getsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  // Older kernels fill less: both fields must be there.
  if (size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) return false;
  out.acked = info.tcpi_bytes_acked;
  out.window = info.tcpi_snd_wnd;
  out.segment = info.tcpi_snd_mss;
  return true;
#else
  (void)s, (void)out;
  return false;
#endif
}

}  // namespace mirx::platform
