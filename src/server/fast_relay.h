#pragma once

// FastRelay=ON: a UDP socket connected to every distinct node address, opened
// when the first entry appears there and closed when the last one goes, and
// each fan-out handed to the kernel through io_uring in one submission. What
// goes on the wire is what the shared out socket would send, and so are the
// failure lines and their order; only the cost differs, and after a failed
// send its retries follow the sends after it on the wire (they go through
// the out socket, from the same port). A node whose socket cannot be had (out of
// descriptors, the table of sockets full) is served through the out socket.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "node/node_table.h"
#include "platform/connected_sends.h"

namespace mirx {

class fast_relay final : public address_watch {
 public:
  // Opens the ring with room for `most` sockets, each sending to OutPort.
  // 0, or why io_uring is refused.
  int open(unsigned most, std::uint16_t out_port);
  // The sockets opened from now on send from `port`: the out socket's, so
  // that a node hears everything from one port (0: ports of their own).
  void send_from(std::uint16_t port) { from_port_ = port; }
  bool on() const { return sends_.is_open(); }
  void close();
  // How many node addresses have a socket of their own.
  std::size_t sockets() const { return slots_.size(); }

  void address_added(std::uint32_t ip) override;
  void address_gone(std::uint32_t ip) override;

  // As node_link::send_to_nodes; destinations without a socket of their own
  // are sent to from `out_socket`. A run of destinations with sockets goes
  // out whole in one submission, so when one of them fails the ones after it
  // have been sent already: their outcomes are held and handed to the
  // caller's next call, which asks for those very destinations, instead of
  // sending them again.
  std::size_t send_to_nodes(platform::socket_handle out_socket, const std::uint8_t* data,
                            std::size_t length, const std::uint32_t* ips, std::size_t count,
                            int* error);
  // For tests that fail chosen sends: connected_sends::set_outcome_hook.
  void set_outcome_hook(platform::connected_sends::outcome_hook hook, void* context) {
    sends_.set_outcome_hook(hook, context);
  }

 private:
  int slot_of(std::uint32_t ip) const;
  std::size_t take_held(const std::uint32_t* ips, std::size_t count, int* error);
  std::size_t send_run(const std::uint8_t* data, std::size_t length, const std::uint32_t* ips,
                       const int* slots, std::size_t run, int* error);

  struct outcome {
    std::uint32_t ip;
    int error;
  };

  platform::connected_sends sends_;
  std::unordered_map<std::uint32_t, int> slots_;  // address: its socket's slot
  std::uint16_t out_port_ = 0;
  std::uint16_t from_port_ = 0;
  std::vector<outcome> held_;  // sent already, not yet told
  std::size_t held_at_ = 0;    // the next one to tell
};

}  // namespace mirx
