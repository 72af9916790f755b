#pragma once

// Where a stream that came in through another door than the node protocol
// meets what every stream meets: the conference rules (OneTalker,
// MaxOverSeconds, EchoCall), the stream log and the relay, keyed by its origin as a
// node's stream is by its address. Any door hands its streams in here.

#include <cstdint>

#include "node/callsign.h"
#include "node/doors.h"

namespace mirx {

struct server;

// A node-framed header from `from`, whose peer is named `call1` and
// connected as `call2`; io_lock held.
void door_header(server& s, const stream_origin& from, const callsign& call1, const callsign& call2,
                 const std::uint8_t* packet);
// A node-framed voice packet from `from`; io_lock held.
void door_voice(server& s, const stream_origin& from, const std::uint8_t* packet);

}  // namespace mirx
