#pragma once

// One datagram to many destinations through io_uring: a UDP socket connected
// to each destination, registered with the ring as a fixed file, and a whole
// fan-out handed to the kernel in one submission. A connected socket spares
// the kernel the route look-up and address check of every unconnected send;
// the ring spares the system call per send. Where io_uring cannot be had
// (built without liburing, an old kernel, a seccomp filter, the
// kernel.io_uring_disabled sysctl) open() says why and nothing else works.

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct io_uring;

namespace mirx::platform {

class connected_sends {
 public:
  connected_sends() = default;
  ~connected_sends() { close(); }
  connected_sends(const connected_sends&) = delete;
  connected_sends& operator=(const connected_sends&) = delete;

  // Whether this build can use io_uring at all.
  static bool built_in();
  // Sets up the ring and a table of `most` fixed files. Returns 0, or the
  // system's error code when io_uring is refused.
  int open(unsigned most);
  bool is_open() const { return ring_ != nullptr; }
  void close();

  // Opens a socket connected to `ip`:`port`, from `from_port` (see
  // open_connected_udp), in a free slot of the table.
  // The slot, or -1 when none is free or the socket cannot be had (`*error`
  // then holds why, or 0 for a full table).
  int add(std::uint32_t ip, std::uint16_t port, std::uint16_t from_port, int* error);
  // Closes the socket of a slot and frees the slot.
  void remove(int slot);

  // Sends one datagram through `slots[0]`, `slots[1]`, ... in this order,
  // each once, all in one submission, and tells each send's outcome in
  // `errors` (0 or the system's code). A failure does not hold back the sends
  // after it. A refusal (ECONNREFUSED) is no failure: it reports a
  // port-unreachable answer to an earlier datagram, which a connected socket
  // alone learns of, and the datagram at hand is sent again.
  void send_all(const void* data, std::size_t length, const int* slots, std::size_t count,
                int* errors);

  // For tests alone, which have no other way to make a send fail: once set,
  // every send's outcome (0 or the system's code), from the ring's completion
  // or from a repeated refusal, is passed through `hook` with the sending
  // socket and `context`, and what it returns is taken as the outcome. The
  // datagram has gone or not as the system said; only what is told changes.
  // Null, as it always is in the server: the outcomes as they come.
  using outcome_hook = int (*)(void* context, socket_handle socket, int error);
  void set_outcome_hook(outcome_hook hook, void* context) {
    hook_ = hook;
    hook_context_ = context;
  }

 private:
  std::size_t submit(const void* data, std::size_t length, const int* slots, std::size_t count,
                     int* errors);
  int resend(int slot, const void* data, std::size_t length);
  socket_handle socket_of(int slot) const;

  io_uring* ring_ = nullptr;
  int* fds_ = nullptr;  // the socket of each slot, -1 where free
  unsigned most_ = 0;
  unsigned next_free_ = 0;  // where the search for a free slot begins
  outcome_hook hook_ = nullptr;
  void* hook_context_ = nullptr;
};

}  // namespace mirx::platform
