#include "server/socket_link.h"

#include "server/stop.h"

namespace mirx {

void socket_link::bind_sources() {
  platform::bind_any(out_socket, 0);
  out_source_port = platform::local_port(out_socket);
  if (!log_server) return;
  platform::bind_any(log_socket, 0);
  log_source_port = platform::local_port(log_socket);
}

bool socket_link::sent_it(const platform::received& r) const {
  if (r.sender_port == 0) return false;
  if (r.sender_port != out_source_port && r.sender_port != log_source_port) return false;
  return platform::is_local_address(r.sender_ip);
}

int socket_link::send_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) {
  return platform::send_to(out_socket, data, length, ip, out_port);
}

int socket_link::relay_to_node(const std::uint8_t* data, std::size_t length, std::uint32_t ip) {
  if (!fast.on()) return send_to_node(data, length, ip);
  int error = 0;
  fast.send_to_nodes(out_socket, data, length, &ip, 1, &error);
  return error;
}

std::size_t socket_link::send_to_nodes(const std::uint8_t* data, std::size_t length,
                                       const std::uint32_t* ips, std::size_t count, int* error) {
  if (fast.on()) return fast.send_to_nodes(out_socket, data, length, ips, count, error);
  *error = 0;
  std::size_t done = 0;
  while (done < count) {
    const std::size_t sent =
        platform::send_to_each(out_socket, data, length, ips + done, count - done, out_port, error);
    done += sent;
    if (*error != 0 || sent < platform::send_to_each_most) return done;
  }
  return done;
}

void socket_link::send_to_log_server(const std::uint8_t* data, std::size_t length) {
  if (log_server) platform::send_to(log_socket, data, length, log_server->ip, log_server->port);
}

void socket_link::wait_ms(int ms) {
  // A stop may run while a send waits for buffer space: let it have the
  // sockets and the log file meanwhile.
  io_lock().unlock();
  if (stop_under_way()) stay_stopped();
  platform::sleep_ms(ms);
  io_lock().lock();
}

}  // namespace mirx
