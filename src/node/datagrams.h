#pragma once

// Byte layouts of the datagrams that nodes and the server exchange. Offsets
// count from the first byte of the UDP payload. A received datagram's kind is
// told by its exact length alone; nothing inside it is trusted or checked.

#include <cstddef>
#include <cstdint>

namespace mirx {

// The framing that opens header and voice packets. The server never reads it
// in what it receives; in what it composes it sets only these two fields.
namespace prefix {
inline constexpr std::size_t size = 15;
inline constexpr std::size_t packet_kind = 8;  // 0x10 header, 0x20 voice
inline constexpr std::size_t sequence = 12;    // 16 bits, high byte first
inline constexpr std::uint8_t kind_header = 0x10;
inline constexpr std::uint8_t kind_voice = 0x20;
}  // namespace prefix

// header_packet: the prefix, then the 41-byte D-STAR radio header.
namespace hdr {
inline constexpr std::size_t size = 56;
inline constexpr std::size_t flag1 = 15;
inline constexpr std::size_t flag2 = 16;
inline constexpr std::size_t flag3 = 17;
inline constexpr std::size_t rpt2_call = 18;
inline constexpr std::size_t rpt1_call = 26;
inline constexpr std::size_t your_call = 34;
inline constexpr std::size_t my_call = 42;
inline constexpr std::size_t my_suffix = 50;  // four characters
inline constexpr std::size_t crc = 54;        // two bytes, never verified
static_assert(crc + 2 == size);
}  // namespace hdr

// voice_packet: the prefix, one coded voice frame and three slow-data bytes.
namespace voice {
inline constexpr std::size_t size = 27;
inline constexpr std::size_t frame = 15;  // 9 bytes of coded voice
inline constexpr std::size_t frame_size = 9;
inline constexpr std::size_t slow_data = 24;  // 3 bytes, scrambled
inline constexpr std::size_t slow_data_size = 3;
static_assert(slow_data + slow_data_size == size);
static_assert(frame + frame_size == slow_data);

// The end-of-transmission mark: the flag a sender sets in the low byte of the
// sequence of a stream's last frame, or the pattern opening its voice bytes.
inline constexpr std::uint8_t last_frame_flag = 0x40;
inline constexpr std::uint8_t end_pattern[3] = {0x55, 0xC8, 0x7A};

// Whether the voice packet closes its stream.
inline bool ends_stream(const std::uint8_t* packet) {
  if ((packet[prefix::sequence + 1] & last_frame_flag) != 0) return true;
  for (std::size_t i = 0; i < sizeof end_pattern; ++i)
    if (packet[frame + i] != end_pattern[i]) return false;
  return true;
}
}  // namespace voice

// registration_request, node to server.
namespace reg {
inline constexpr std::size_t size = 40;
inline constexpr std::size_t req_id = 0;  // "RS" or "SI"
inline constexpr std::size_t ver = 2;
inline constexpr std::size_t firmware = 4;
inline constexpr std::size_t call1 = 8;   // the node's call sign: the table's key
inline constexpr std::size_t call2 = 16;  // the node's second name

// Only requests identified "RS" or "SI" (exactly, case-sensitive) are taken.
inline bool accepted(const std::uint8_t* request) {
  return (request[req_id] == 'R' && request[req_id + 1] == 'S') ||
         (request[req_id] == 'S' && request[req_id + 1] == 'I');
}
}  // namespace reg

// registration_reply, server to node: the first 16 bytes of the request with
// its identifier replaced by "SA".
namespace reply {
inline constexpr std::size_t size = 16;
inline constexpr std::size_t reply_id = 0;
inline constexpr std::uint8_t id[2] = {'S', 'A'};
}  // namespace reply

// disconnect_packet: any 16 bytes; only its source address matters.
namespace disc {
inline constexpr std::size_t size = 16;
}  // namespace disc

// Call-sign fields are 8 bytes everywhere.
inline constexpr std::size_t call_size = 8;

// The largest datagram the server handles; anything longer is dropped.
inline constexpr std::size_t max_datagram = hdr::size;

// What a received datagram is, by its exact length: the one place where a
// length is turned into a kind. A registration's identifier is checked by
// its handler, not here. A failed receive (negative length) is `other`.
enum class datagram_kind { disconnect, voice, registration, header, other };

inline datagram_kind kind_of(long length) {
  switch (length) {
    case static_cast<long>(disc::size):
      return datagram_kind::disconnect;
    case static_cast<long>(voice::size):
      return datagram_kind::voice;
    case static_cast<long>(reg::size):
      return datagram_kind::registration;
    case static_cast<long>(hdr::size):
      return datagram_kind::header;
    default:
      return datagram_kind::other;
  }
}

}  // namespace mirx
