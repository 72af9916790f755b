#pragma once

// The DExtra datagrams: link control and the DSVT framing of header and voice.
// Offsets count from the first byte of the UDP payload. Both DSVT kinds have
// the node framing's sizes and put the radio header, the voice bytes and the
// slow data at the same offsets; only the first 15 bytes differ, so turning
// one framing into the other rewrites those 15 bytes and nothing else (and,
// for a header whose call-sign fields change, its checksum).
//
// Everything here is pure: no state, no I/O, so the server, the node tool
// and the tests share it.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mirx::dextra {

// The port reflectors listen on and gateways send from.
inline constexpr std::uint16_t usual_port = 30001;

// Call-sign fields are 8 bytes, upper case, padded with spaces.
inline constexpr std::size_t call_size = 8;

// Link control.
namespace ctl {
inline constexpr std::size_t request_size = 11;  // link or unlink
inline constexpr std::size_t answer_size = 14;   // ACK or NAK
inline constexpr std::size_t keepalive_size = 9;
inline constexpr std::size_t disconnected_size = 12;  // "DISCONNECTED"
inline constexpr std::size_t call = 0;
inline constexpr std::size_t module = 8;        // the sender's own module letter
inline constexpr std::size_t asked_module = 9;  // 'A'..'Z' links, a space unlinks
inline constexpr std::size_t revision = 10;
inline constexpr std::size_t verdict = 10;  // of an answer: "ACK\0" or "NAK\0"
}  // namespace ctl

// DSVT framing.
namespace dsvt {
inline constexpr std::size_t header_size = 56;
inline constexpr std::size_t voice_size = 27;
inline constexpr std::size_t prefix_size = 15;
inline constexpr std::size_t kind = 4;  // 0x10 header, 0x20 voice
inline constexpr std::uint8_t kind_header = 0x10;
inline constexpr std::uint8_t kind_voice = 0x20;
inline constexpr std::size_t stream_id = 12;  // two bytes, compared as bytes
inline constexpr std::size_t sequence = 14;   // voice: 0..20, 0x40 added on the last frame
inline constexpr std::uint8_t header_mark = 0x80;
inline constexpr std::uint8_t last_frame = 0x40;
inline constexpr std::uint8_t frames_per_superframe = 21;

// The radio header inside a header datagram.
inline constexpr std::size_t flag1 = 15;
inline constexpr std::size_t rpt2 = 18;
inline constexpr std::size_t rpt1 = 26;
inline constexpr std::size_t your = 34;
inline constexpr std::size_t my = 42;
inline constexpr std::size_t my_suffix = 50;  // four characters
inline constexpr std::size_t crc = 54;        // low byte first, over flag1..my_suffix
static_assert(crc + 2 == header_size);

// The voice bytes and slow data inside a voice datagram.
inline constexpr std::size_t voice_bytes = 15;
inline constexpr std::size_t slow_data = 24;
inline constexpr std::uint8_t sync[3] = {0x55, 0x2D, 0x16};
}  // namespace dsvt

// What a received datagram is, by its length and, where lengths are shared,
// its contents. Whether it is taken depends on who sent it.
enum class kind {
  link,          // 11 bytes, byte 9 a letter: a link request (or a reflector's own-call answer)
  unlink,        // 11 bytes, byte 9 a space (ten spaces: a reflector dropped us)
  answer_ack,    // 14 bytes ending "ACK\0"
  answer_nak,    // 14 bytes ending "NAK\0"
  keepalive,     // 9 bytes
  disconnected,  // 12 bytes "DISCONNECTED"
  header,        // 56 bytes DSVT with the header kind
  voice,         // 27 bytes DSVT with the voice kind
  other,
};

kind kind_of(const std::uint8_t* data, std::size_t length);

// CRC-16/X-25: reflected polynomial 0x8408, initial 0xFFFF, result inverted.
std::uint16_t crc_x25(const std::uint8_t* data, std::size_t length);
// Writes the checksum of a DSVT (or node-framed) header's radio header.
void set_header_crc(std::uint8_t* header);
bool header_crc_ok(const std::uint8_t* header);

// A call-sign field that strict reflectors accept: the first three bytes
// letters or digits and not all three digits, the rest letters, digits or
// spaces.
bool plausible_call(const std::uint8_t* field);
// The four-byte suffix: letters, digits or spaces.
bool plausible_suffix(const std::uint8_t* field);
// RPT2, RPT1, MY and the suffix of a header all plausible.
bool plausible_header(const std::uint8_t* header);

// A call sign as configured ("XRF123", "DL1ABC"): 3..`longest` letters or
// digits passing plausible_call once padded.
bool valid_call_text(std::string_view text, std::size_t longest = call_size);
// `text` padded with spaces to 8 bytes, `module` (when not 0) in the 8th.
void put_call(std::uint8_t* field, std::string_view text, char module = 0);

// Link control as sent. `call` is text (padded here).
void make_request(std::uint8_t* out, std::string_view call, char own_module, char asked_module);
void make_unlink(std::uint8_t* out, std::string_view call, char own_module);
// The answer to `request` (its first 10 bytes, then ACK or NAK).
void make_answer(std::uint8_t* out, const std::uint8_t* request, bool accepted);
void make_keepalive(std::uint8_t* out, std::string_view call);

// Framing changes, in place; the radio header, voice and slow-data bytes are
// kept. `sequence` of a node frame is its 16-bit sequence field.
void frame_as_dsvt_header(std::uint8_t* packet, const std::uint8_t stream_id[2]);
void frame_as_dsvt_voice(std::uint8_t* packet, const std::uint8_t stream_id[2],
                         std::uint8_t sequence);
void frame_as_node(std::uint8_t* packet, std::uint8_t node_kind, std::uint16_t sequence);

// Whether a voice frame's slow data is the sync pattern.
bool is_sync(const std::uint8_t* voice);

}  // namespace mirx::dextra
