#pragma once

// The stream relay: every header and voice packet goes, unchanged, to every
// registered node at another address than its sender's (under debug to the
// sender too, as an echo for testing), and to every other door. Streams are not tracked: each
// datagram is handled by itself, whoever sent it.

#include <cstdint>

#include "monitor/log_record.h"
#include "node/conference.h"

namespace mirx {

// Whether `e` receives a datagram relayed from `sender_ip`: every entry at
// another address, and under debug the sender's own entries too. The one
// place that decides who hears a stream.
bool receives(const conference& c, const node_entry& e, std::uint32_t sender_ip);

// Relays a 56-byte header, reports it to the log server and answers the
// sender with the acknowledgement transmission. Returns the ACC record sent
// for it.
record::bytes relay_header(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet);

// Relays a 27-byte voice packet.
void relay_voice(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet);

// A stream that came in through another door, node-framed: relayed to every
// node and to every door (which keeps it from its origin), reported as a
// node's header is with `call1` and `call2` naming the peer, and not
// acknowledged. Returns the ACC record sent for it.
record::bytes relay_door_header(conference& c, const stream_origin& from, const callsign& call1,
                                const callsign& call2, const std::uint8_t* packet);
void relay_door_voice(conference& c, const stream_origin& from, const std::uint8_t* packet);

}  // namespace mirx
