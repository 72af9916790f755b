#pragma once

// The stream relay: every header and voice packet goes, unchanged, to every
// registered node at another address than its sender's (under debug to the
// sender too, as an echo for testing). Streams are not tracked: each datagram
// is handled by itself, whoever sent it.

#include <cstdint>

#include "node/conference.h"

namespace mirx {

// Relays a 56-byte header, reports it to the log server and answers the
// sender with the acknowledgement transmission.
void relay_header(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet);

// Relays a 27-byte voice packet.
void relay_voice(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet);

}  // namespace mirx
