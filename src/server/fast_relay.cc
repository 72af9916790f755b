#include "server/fast_relay.h"

#include <new>

#include "node/link.h"

namespace mirx {

int fast_relay::open(unsigned most, std::uint16_t out_port) {
  out_port_ = out_port;
  return sends_.open(most);
}

void fast_relay::close() {
  sends_.close();
  slots_.clear();
}

void fast_relay::address_added(std::uint32_t ip) {
  if (!on()) return;
  int error = 0;
  const int slot = sends_.add(ip, out_port_, &error);
  if (slot < 0) return;  // served through the out socket
  try {
    slots_.emplace(ip, slot);
  } catch (const std::bad_alloc&) {
    sends_.remove(slot);
  }
}

void fast_relay::address_gone(std::uint32_t ip) {
  auto it = slots_.find(ip);
  if (it == slots_.end()) return;
  sends_.remove(it->second);
  slots_.erase(it);
}

int fast_relay::slot_of(std::uint32_t ip) const {
  auto it = slots_.find(ip);
  return it == slots_.end() ? -1 : it->second;
}

// Runs of destinations with a socket of their own go through the ring, each
// in one submission; a destination without one is sent to alone.
std::size_t fast_relay::send_to_nodes(platform::socket_handle out_socket, const std::uint8_t* data,
                                      std::size_t length, const std::uint32_t* ips,
                                      std::size_t count, int* error) {
  int slots[node_link::max_batch];
  if (count > node_link::max_batch) count = node_link::max_batch;
  for (std::size_t done = 0; done < count;) {
    std::size_t run = 0;
    while (done + run < count && (slots[run] = slot_of(ips[done + run])) >= 0) ++run;
    if (run == 0) {
      *error = platform::send_to(out_socket, data, length, ips[done], out_port_);
      if (*error != 0) return done;
      ++done;
      continue;
    }
    const std::size_t sent = sends_.send_each(data, length, slots, run, error);
    done += sent;
    if (sent < run) return done;
  }
  *error = 0;
  return count;
}

}  // namespace mirx
