#pragma once

// What each station must receive, in order, and the check of what it did
// receive. The server sends from one socket and handles one datagram at a
// time, so every station sees exactly the sends addressed to it, in the
// order the reference predicts.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "nodelib/udp_endpoint.h"
#include "soak/traffic.h"

namespace mirx::soak {

struct delivery_counts {
  std::uint64_t expected = 0;  // datagrams the stations had to receive
  std::uint64_t verified = 0;  // received, in order and byte for byte
  std::uint64_t lost = 0;      // expected but never received
  std::uint64_t wrong = 0;     // received but not what was expected next
};

class deliveries {
 public:
  explicit deliveries(std::size_t stations) : pending_(stations) {}

  // A copy of `data` (kept until the round is checked) is due at `station`.
  void expect_copy(std::size_t station, const bytes& data);
  // Acknowledgement datagram `n` (0..11) is due at `station`.
  void expect_ack(std::size_t station, int n);
  std::size_t pending(std::size_t station) const { return pending_[station].size(); }
  // Reads what has arrived at `station` without waiting and checks it.
  void take(std::size_t station, const nodes::udp_endpoint& socket);
  // Waits up to `timeout_ms` until nothing is pending at `station`.
  bool wait_all(std::size_t station, const nodes::udp_endpoint& socket, int timeout_ms);
  // Counts whatever is still pending as lost and starts a new round.
  void end_round();
  const delivery_counts& counts() const { return counts_; }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  struct due {
    std::size_t copy;  // index into copies_, or none for an acknowledgement
    int ack;           // acknowledgement datagram number, or -1
  };
  void check(std::size_t station, const std::uint8_t* data, std::size_t length);
  void problem(std::string what);

  std::vector<std::deque<due>> pending_;
  std::vector<bytes> copies_;
  delivery_counts counts_;
  std::vector<std::string> problems_;  // the first few, for the report
};

}  // namespace mirx::soak
