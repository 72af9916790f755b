#pragma once

// The nodes of a benchmark: N UDP sockets on loopback addresses of their own
// (127.0.1.1, 127.0.1.2, ...), all at one port, which is the relay's OutPort.
// While a phase runs, one thread drains every socket and counts what the
// relay passed on, with the latency from the sender's clock to the kernel's
// arrival stamp, so the count stays exact even when the drain falls behind.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/histogram.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::bench {

// The loopback address of node `index` (0-based); 1000 nodes fit in 127.0.1-4.
std::uint32_t node_address(int index);

// Relayed datagrams are told from the relay's own (acknowledgements,
// replies) by this mark in their first bytes, and carry the send time in
// CLOCK_REALTIME nanoseconds at `sent_at`.
inline constexpr char relayed_mark[4] = {'D', 'S', 'V', 'T'};
inline constexpr std::size_t sent_at = 15;

struct farm_counts {
  std::uint64_t relayed = 0;  // datagrams with the mark, headers included
  std::uint64_t other = 0;    // anything else the relay sent
  histogram latency;          // of relayed voice packets
};

class node_farm {
 public:
  // Binds `count` nodes; nothing, with the reason in `why`, on failure.
  static std::unique_ptr<node_farm> bind(int count, std::string* why);
  node_farm(const node_farm&) = delete;
  node_farm& operator=(const node_farm&) = delete;
  ~node_farm();

  int size() const { return static_cast<int>(nodes_.size()); }
  std::uint16_t port() const { return port_; }
  const nodes::udp_endpoint& node(int i) const { return nodes_[static_cast<std::size_t>(i)]; }

  // Starts counting from zero on the drain thread.
  void start_draining();
  // What has been counted so far; may be read while draining.
  std::uint64_t relayed_so_far() const { return relayed_.load(std::memory_order_relaxed); }
  // Stops the drain thread and returns what it counted.
  farm_counts stop_draining();

 private:
  node_farm() = default;
  void drain();
  void take(const std::uint8_t* data, std::size_t length, std::int64_t arrived_ns);

  std::vector<nodes::udp_endpoint> nodes_;
  std::uint16_t port_ = 0;
  int epoll_ = -1;
  std::thread drainer_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> relayed_{0};
  farm_counts counts_;
};

}  // namespace mirx::bench
