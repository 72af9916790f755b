#include "node/ack.h"

#include <cstring>

#include "dprs/slow_data.h"
#include "node/send_retry.h"

namespace mirx::ack {
namespace {

constexpr std::uint8_t silence[9] = {0x9E, 0x8D, 0x32, 0x88, 0x26, 0x1A, 0x3F, 0x61, 0xE8};

// Frame 0 carries the sync, frames 1..8 the scrambled message, frame 9 and the
// start of frame 10 the end-of-transmission pattern 55 55 55 55 C8 7A.
constexpr frames make_frames(const char (&text)[slow::text_length + 1]) {
  frames out{};
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 9; ++j) out[i][j] = silence[j];
  out[0][9] = slow::sync_pattern[0];
  out[0][10] = slow::sync_pattern[1];
  out[0][11] = slow::sync_pattern[2];
  const auto message = slow::text_message_frames(text);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 3; ++j) out[1 + i][9 + j] = message[i * 3 + j];
  out[9][9] = out[9][10] = out[9][11] = 0x55;
  out[10][0] = 0x55;
  out[10][1] = 0xC8;
  out[10][2] = 0x7A;
  return out;
}

}  // namespace

constexpr frames delivered_frames = make_frames(delivered_text);
constexpr frames undelivered_frames = make_frames(undelivered_text);

}  // namespace mirx::ack

namespace mirx {

void send_ack_transmission(conference& c, std::uint32_t sender_ip, bool delivered) {
  static constexpr retry_rule header_rule{"send error 1:%d %x\n", 10, false};
  static constexpr retry_rule voice_rule{"send error 2:%d %x\n", 10, false};

  // One zeroed buffer serves all twelve datagrams, so no byte the server does
  // not set can carry anything onto the wire.
  std::uint8_t packet[hdr::size] = {};
  packet[prefix::packet_kind] = prefix::kind_header;
  packet[hdr::flag1] = delivered ? 0x00 : 0x01;  // 0x01: relay unavailable
  put_callsign(packet + hdr::rpt2_call, c.last_node_call);
  put_callsign(packet + hdr::rpt1_call, c.last_node_call);
  put_callsign(packet + hdr::your_call, c.last_my_call);
  put_callsign(packet + hdr::my_call, c.last_node_call);
  std::memcpy(packet + hdr::my_suffix, "    ", 4);
  send_with_retry(c, packet, hdr::size, sender_ip, header_rule);

  const ack::frames& frames = delivered ? ack::delivered_frames : ack::undelivered_frames;
  packet[prefix::packet_kind] = prefix::kind_voice;
  for (int i = 0; i < ack::frame_count; ++i) {
    packet[prefix::sequence] = static_cast<std::uint8_t>(i / 256);
    packet[prefix::sequence + 1] = static_cast<std::uint8_t>(i % 256);
    std::memcpy(packet + voice::frame, frames[i].data(), frames[i].size());
    send_with_retry(c, packet, voice::size, sender_ip, voice_rule);
  }
}

}  // namespace mirx
