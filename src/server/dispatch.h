#pragma once

#include <cstdint>

#include "dprs/dprs.h"
#include "monitor/log_record.h"
#include "node/conference.h"
#include "node/conference_rules.h"
#include "node/datagrams.h"
#include "node/echo_test.h"

namespace mirx {

// What dispatch did with a datagram: its kind, whether a header or voice
// packet was relayed, and for a relayed header the ACC record sent for it.
struct dispatched {
  datagram_kind kind = datagram_kind::other;
  record::bytes acc{};
  bool relayed = true;
};

// The opt-in rules over the relay; null when off.
struct relay_rules {
  conference_rules* floor = nullptr;
  echo_test* echo = nullptr;
};

// Hands one received datagram to its handler by its exact length: 16 bytes
// remove a node, 27 relay a voice packet (after the D-PRS step when `dprs` is
// given), 40 beginning "RS" or "SI" register, 56 relay a header; headers
// and voice only as far as `rules` let them. Everything else, a failed
// receive (negative length) included, is dropped silently.
dispatched dispatch(conference& c, dprs::state* dprs, const std::uint8_t* data, long length,
                    std::uint32_t sender_ip, const relay_rules& rules = {});

}  // namespace mirx
