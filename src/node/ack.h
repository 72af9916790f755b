#pragma once

// The short canned transmission that answers every header: one header packet
// and eleven voice packets of silence back to the sender, whose slow data
// tells the speaker whether anybody received the header.

#include <array>
#include <cstdint>

#include "node/conference.h"
#include "node/datagrams.h"

namespace mirx::ack {

// The voice bytes, then the slow-data bytes, of one voice packet.
using frame = std::array<std::uint8_t, voice::frame_size + voice::slow_data_size>;
inline constexpr int frame_count = 11;
using frames = std::array<frame, frame_count>;

// The messages the speaker's radio shows, padded to 20 characters.
inline constexpr char delivered_text[] = "Conference heard you";
inline constexpr char undelivered_text[] = "No node heard you   ";

extern const frames delivered_frames;
extern const frames undelivered_frames;

}  // namespace mirx::ack

namespace mirx {

// Sends the acknowledgement to `sender_ip` at OutPort: the delivered variant
// when the header reached at least one node.
void send_ack_transmission(conference& c, std::uint32_t sender_ip, bool delivered);

}  // namespace mirx
