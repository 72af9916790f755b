#pragma once

#include <cstdint>

#include "dprs/dprs.h"
#include "monitor/log_record.h"
#include "node/conference.h"
#include "node/datagrams.h"

namespace mirx {

// What dispatch did with a datagram: its kind, and for a relayed header the
// ACC record that was sent for it.
struct dispatched {
  datagram_kind kind = datagram_kind::other;
  record::bytes acc{};
};

// Hands one received datagram to its handler by its exact length: 16 bytes
// remove a node, 27 relay a voice packet (after the D-PRS step when `dprs` is
// given), 40 beginning "RS" or "SI" register, 56 relay a header. Everything
// else, a failed receive (negative length) included, is dropped silently.
dispatched dispatch(conference& c, dprs::state* dprs, const std::uint8_t* data, long length,
                    std::uint32_t sender_ip);

}  // namespace mirx
