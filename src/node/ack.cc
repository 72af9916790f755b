#include "node/ack.h"

#include <cstring>

#include "dprs/slow_data.h"
#include "node/send_retry.h"

namespace mirx::ack {
namespace {

constexpr std::uint8_t silence[voice::frame_size] = {0x9E, 0x8D, 0x32, 0x88, 0x26,
                                                     0x1A, 0x3F, 0x61, 0xE8};

constexpr std::size_t voice_bytes = voice::frame_size;
constexpr std::size_t slow_bytes = voice::slow_data_size;

// Frame 0 carries the sync, the frames after it the scrambled message, then
// the end-of-transmission pattern runs from the slow data of one frame into
// the voice bytes of the last. Every frame but the last holds silence.
constexpr std::size_t sync_frame = 0;
constexpr std::size_t message_frames =
    slow::text_message_frames(delivered_text).size() / slow_bytes;
constexpr std::size_t end_frame = sync_frame + 1 + message_frames;
constexpr std::uint8_t end_pattern[2 * slow_bytes] = {0x55, 0x55, 0x55, 0x55, 0xC8, 0x7A};
static_assert(end_frame + 2 == frame_count);

constexpr frames make_frames(const char (&text)[slow::text_length + 1]) {
  frames out{};
  for (std::size_t i = 0; i <= end_frame; ++i)
    for (std::size_t j = 0; j < voice_bytes; ++j) out[i][j] = silence[j];
  const auto message = slow::text_message_frames(text);
  for (std::size_t j = 0; j < slow_bytes; ++j) {
    out[sync_frame][voice_bytes + j] = slow::sync_pattern[j];
    for (std::size_t i = 0; i < message_frames; ++i)
      out[sync_frame + 1 + i][voice_bytes + j] = message[i * slow_bytes + j];
    out[end_frame][voice_bytes + j] = end_pattern[j];
    out[end_frame + 1][j] = end_pattern[slow_bytes + j];
  }
  return out;
}

}  // namespace

constexpr frames delivered_frames = make_frames(delivered_text);
constexpr frames undelivered_frames = make_frames(undelivered_text);

}  // namespace mirx::ack

namespace mirx {

void send_ack_transmission(conference& c, std::uint32_t sender_ip, bool delivered) {
  static constexpr retry_rule header_rule{1, 10, false};
  static constexpr retry_rule voice_rule{relay_failure_line, 10, false};

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
