#pragma once

// NodeIdleTimeout: an entry from whose address nothing at all (registration,
// header, voice, disconnect) arrived for the timeout is removed exactly as a
// disconnect from that address would remove it. This ends the relay towards
// a forged registration and towards nodes that died without a disconnect.

#include <cstdint>
#include <unordered_map>

#include "node/conference.h"

namespace mirx {

class idle_expiry {
 public:
  // `seconds` 0: never; nothing is then kept or looked at.
  explicit idle_expiry(std::int64_t seconds = 0) : timeout_ms_(seconds * 1000) {}
  bool on() const { return timeout_ms_ != 0; }

  // A datagram from `ip` at `now_ms`; kept only for an address with an entry,
  // so that a flood from strangers costs no memory. An address without one
  // loses what was kept for it: the clock belongs to the entries, and one
  // left by an entry that moved away or was removed must not time the next
  // entry there, which the next sweep starts afresh.
  void heard(const node_table& t, std::uint32_t ip, std::int64_t now_ms) {
    if (!on()) return;
    if (t.has_address(ip))
      last_heard_[ip] = now_ms;
    else
      last_heard_.erase(ip);
  }
  // Removes the entries silent for the timeout; how many went. An entry not
  // heard of yet (just restored) counts as heard now.
  std::size_t sweep(conference& c, std::int64_t now_ms);

 private:
  std::int64_t timeout_ms_;
  std::unordered_map<std::uint32_t, std::int64_t> last_heard_;
};

}  // namespace mirx
