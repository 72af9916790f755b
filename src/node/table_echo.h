#pragma once

// With LogStreams=ON the server re-announces its node table, a slice after
// each heartbeat, as NOD records laid out as ADD. A log server that starts
// after the nodes registered (and so never saw their ADD) learns the whole
// table within ceil(entries / echo_slice) heartbeats, while each heartbeat
// costs at most echo_slice records whatever the table's size.

#include <cstddef>

#include "node/link.h"
#include "node/node_table.h"

namespace mirx {

// Records per heartbeat at most: 4 KiB of records, few enough that a burst of
// them fits a receiver's default socket buffer.
inline constexpr std::size_t echo_slice = 128;

class table_echo {
 public:
  // Sends NOD for up to echo_slice entries, from where the last slice ended,
  // going on from the first entry after the last. An entry added or removed
  // meanwhile may shift the walk by a place; it is met in the next round.
  void send_slice(const node_table& table, node_link& net);

 private:
  std::size_t next_ = 0;
};

}  // namespace mirx
