#include "server/fast_relay.h"

#include <new>

#include "node/link.h"

namespace mirx {

int fast_relay::open(unsigned most, std::uint16_t out_port) {
  out_port_ = out_port;
  held_.reserve(node_link::max_batch);  // a run's tail: holding never allocates later
  return sends_.open(most);
}

void fast_relay::close() {
  sends_.close();
  slots_.clear();
}

void fast_relay::address_added(std::uint32_t ip) {
  if (!on()) return;
  int error = 0;
  const int slot = sends_.add(ip, out_port_, from_port_, &error);
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
  std::size_t done = take_held(ips, count, error);
  if (*error != 0) return done;
  while (done < count) {
    std::size_t run = 0;
    while (done + run < count && (slots[run] = slot_of(ips[done + run])) >= 0) ++run;
    if (run == 0) {
      *error = platform::send_to(out_socket, data, length, ips[done], out_port_);
      if (*error != 0) return done;
      ++done;
      continue;
    }
    const std::size_t sent = send_run(data, length, ips + done, slots, run, error);
    done += sent;
    if (sent < run) return done;
  }
  *error = 0;
  return count;
}

// The held outcomes of the destinations the caller now asks for, up to the
// first failure; anything held that the caller does not ask for is stale.
std::size_t fast_relay::take_held(const std::uint32_t* ips, std::size_t count, int* error) {
  std::size_t done = 0;
  *error = 0;
  while (held_at_ < held_.size() && done < count && held_[held_at_].ip == ips[done]) {
    *error = held_[held_at_++].error;
    if (*error != 0) break;
    ++done;
  }
  if (*error == 0 || held_at_ == held_.size()) {
    held_.clear();
    held_at_ = 0;
  }
  return done;
}

// Sends a run through the ring; returns how many went before the first
// failure (its code in `*error`), holding the outcomes of those after it.
std::size_t fast_relay::send_run(const std::uint8_t* data, std::size_t length,
                                 const std::uint32_t* ips, const int* slots, std::size_t run,
                                 int* error) {
  int errors[node_link::max_batch];
  sends_.send_all(data, length, slots, run, errors);
  std::size_t first = 0;
  while (first < run && errors[first] == 0) ++first;
  *error = first < run ? errors[first] : 0;
  for (std::size_t i = first + 1; i < run; ++i) held_.push_back({ips[i], errors[i]});
  return first;
}

}  // namespace mirx
