#include "server/socket_link.h"

#ifdef __linux__
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include "server/stop.h"

namespace mirx {

int socket_link::send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) {
  return platform::send_to(out_socket, data, length, ip, out_port);
}

#ifdef __linux__
// One sendmmsg call for the whole batch: a fan-out costs one system call per
// max_batch nodes instead of one per node, while the kernel still sends the
// datagrams one by one in order and stops at the first that fails. When that
// is not the first of the call, the kernel keeps its error to itself; the
// caller then sends to that node again on its own and hears the error there.
std::size_t socket_link::send_to_nodes(const std::uint8_t* data, std::size_t length,
                                       const std::uint32_t* ips, std::size_t count, int* error) {
  if (count > max_batch) count = max_batch;
  sockaddr_in to[max_batch];
  mmsghdr messages[max_batch];
  iovec payload{const_cast<std::uint8_t*>(data), length};
  for (std::size_t i = 0; i < count; ++i) {
    to[i] = sockaddr_in{};
    to[i].sin_family = AF_INET;
    to[i].sin_port = htons(out_port);
    to[i].sin_addr.s_addr = ips[i];
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &to[i];
    messages[i].msg_hdr.msg_namelen = sizeof to[i];
    messages[i].msg_hdr.msg_iov = &payload;
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int sent =
      ::sendmmsg(static_cast<int>(out_socket), messages, static_cast<unsigned>(count), 0);
  if (sent < 0) {
    *error = errno;
    return 0;
  }
  *error = 0;
  return static_cast<std::size_t>(sent);
}
#else
std::size_t socket_link::send_to_nodes(const std::uint8_t* data, std::size_t length,
                                       const std::uint32_t* ips, std::size_t count, int* error) {
  return node_link::send_to_nodes(data, length, ips, count, error);
}
#endif

void socket_link::send_to_log_server(const std::uint8_t* data, std::size_t length) {
  if (log_server) platform::send_to(log_socket, data, length, *log_server, log_port);
}

void socket_link::wait_ms(int ms) {
  // A stop may run while a send waits for buffer space: let it have the
  // sockets and the log file meanwhile.
  io_lock().unlock();
  platform::sleep_ms(ms);
  io_lock().lock();
}

}  // namespace mirx
