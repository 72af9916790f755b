#pragma once

// One measured phase: S speakers (nodes 0..S-1) each send a header and then
// voice packets at an even pace to one relay, every other node receives, and
// the relay's CPU time is read before the first send and after the last
// delivery has arrived.

#include <cstdint>

#include "driver/node_farm.h"
#include "driver/relay_process.h"

namespace mirx::bench {

struct load {
  int streams = 1;
  double total_pps = 50;  // voice packets per second, all streams together
  double seconds = 2;
};

struct phase_result {
  double seconds = 0;          // from the first send to the last
  std::uint64_t expected = 0;  // deliveries the relay owes: each datagram to every other node
  farm_counts got;
  std::int64_t cpu_ns = 0;
  std::uint64_t in_drops = 0;  // datagrams the relay's own receive queue dropped
  bool settled = true;         // false: deliveries were still missing when waiting stopped

  void add(const phase_result& other);
  double loss() const;
  bool lossless_and_prompt() const;  // under 0.1% loss and p99 under 20 ms
};

// Registers every node of the farm with the relay, waiting for each reply;
// false when the relay does not answer. Run while the farm is not draining.
bool register_nodes(const node_farm& farm, const relay_process& relay);

phase_result run_phase(node_farm& farm, const relay_process& relay, const load& l);

}  // namespace mirx::bench
