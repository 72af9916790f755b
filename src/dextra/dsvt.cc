#include "dextra/dsvt.h"

#include <cstring>

#include "node/datagrams.h"

namespace mirx::dextra {
namespace {

constexpr std::uint8_t magic[4] = {'D', 'S', 'V', 'T'};
// Bytes 8..11 of every DSVT datagram: a constant of the framing.
constexpr std::uint8_t fixed[4] = {0x20, 0x00, 0x01, 0x02};

bool is_letter(std::uint8_t b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}
bool is_digit(std::uint8_t b) {
  return b >= '0' && b <= '9';
}
bool is_alnum(std::uint8_t b) {
  return is_letter(b) || is_digit(b);
}

void frame_dsvt(std::uint8_t* packet, std::uint8_t dsvt_kind, const std::uint8_t stream_id[2]) {
  std::memcpy(packet, magic, sizeof magic);
  packet[dsvt::kind] = dsvt_kind;
  packet[5] = packet[6] = packet[7] = 0;
  std::memcpy(packet + 8, fixed, sizeof fixed);
  packet[dsvt::stream_id] = stream_id[0];
  packet[dsvt::stream_id + 1] = stream_id[1];
}

static_assert(dsvt::prefix_size == prefix::size && dsvt::header_size == hdr::size &&
              dsvt::voice_size == voice::size && dsvt::rpt2 == hdr::rpt2_call &&
              dsvt::my == hdr::my_call && dsvt::crc == hdr::crc &&
              dsvt::voice_bytes == voice::frame && dsvt::slow_data == voice::slow_data);

}  // namespace

kind kind_of(const std::uint8_t* data, std::size_t length) {
  switch (length) {
    case ctl::request_size:
      if (data[ctl::asked_module] == ' ') return kind::unlink;
      return is_letter(data[ctl::asked_module]) ? kind::link : kind::other;
    case ctl::answer_size:
      if (std::memcmp(data + ctl::verdict, "ACK", 4) == 0) return kind::answer_ack;
      if (std::memcmp(data + ctl::verdict, "NAK", 4) == 0) return kind::answer_nak;
      return kind::other;
    case ctl::keepalive_size:
      return kind::keepalive;
    case ctl::disconnected_size:
      return std::memcmp(data, "DISCONNECTED", 12) == 0 ? kind::disconnected : kind::other;
    case dsvt::header_size:
    case dsvt::voice_size: {
      if (std::memcmp(data, magic, sizeof magic) != 0) return kind::other;
      const bool header = length == dsvt::header_size;
      if (data[dsvt::kind] != (header ? dsvt::kind_header : dsvt::kind_voice)) return kind::other;
      return header ? kind::header : kind::voice;
    }
    default:
      return kind::other;
  }
}

std::uint16_t crc_x25(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                           : static_cast<std::uint16_t>(crc >> 1);
  }
  return static_cast<std::uint16_t>(~crc);
}

void set_header_crc(std::uint8_t* header) {
  const std::uint16_t crc = crc_x25(header + dsvt::flag1, dsvt::crc - dsvt::flag1);
  header[dsvt::crc] = static_cast<std::uint8_t>(crc & 0xff);
  header[dsvt::crc + 1] = static_cast<std::uint8_t>(crc >> 8);
}

bool header_crc_ok(const std::uint8_t* header) {
  const std::uint16_t crc = crc_x25(header + dsvt::flag1, dsvt::crc - dsvt::flag1);
  return header[dsvt::crc] == (crc & 0xff) && header[dsvt::crc + 1] == (crc >> 8);
}

bool plausible_call(const std::uint8_t* field) {
  if (!is_alnum(field[0]) || !is_alnum(field[1]) || !is_alnum(field[2])) return false;
  if (is_digit(field[0]) && is_digit(field[1]) && is_digit(field[2])) return false;
  for (std::size_t i = 3; i < call_size; ++i)
    if (!is_alnum(field[i]) && field[i] != ' ') return false;
  return true;
}

bool plausible_suffix(const std::uint8_t* field) {
  for (std::size_t i = 0; i < 4; ++i)
    if (!is_alnum(field[i]) && field[i] != ' ') return false;
  return true;
}

bool plausible_header(const std::uint8_t* header) {
  return plausible_call(header + dsvt::rpt2) && plausible_call(header + dsvt::rpt1) &&
         plausible_call(header + dsvt::my) && plausible_suffix(header + dsvt::my_suffix);
}

bool valid_call_text(std::string_view text, std::size_t longest) {
  if (text.size() < 3 || text.size() > longest) return false;
  for (char c : text)
    if (!is_alnum(static_cast<std::uint8_t>(c))) return false;
  std::uint8_t field[call_size];
  put_call(field, text);
  return plausible_call(field);
}

void put_call(std::uint8_t* field, std::string_view text, char module) {
  std::memset(field, ' ', call_size);
  std::memcpy(field, text.data(), text.size() < call_size ? text.size() : call_size);
  if (module != 0) field[call_size - 1] = static_cast<std::uint8_t>(module);
}

void make_request(std::uint8_t* out, std::string_view call, char own_module, char asked_module) {
  put_call(out + ctl::call, call);
  out[ctl::module] = static_cast<std::uint8_t>(own_module);
  out[ctl::asked_module] = static_cast<std::uint8_t>(asked_module);
  out[ctl::revision] = 0;
}

void make_unlink(std::uint8_t* out, std::string_view call, char own_module) {
  make_request(out, call, own_module, ' ');
}

void make_answer(std::uint8_t* out, const std::uint8_t* request, bool accepted) {
  std::memcpy(out, request, ctl::verdict);
  std::memcpy(out + ctl::verdict, accepted ? "ACK" : "NAK", 4);
}

void make_keepalive(std::uint8_t* out, std::string_view call) {
  put_call(out, call);
  out[call_size] = 0;
}

void frame_as_dsvt_header(std::uint8_t* packet, const std::uint8_t stream_id[2]) {
  frame_dsvt(packet, dsvt::kind_header, stream_id);
  packet[dsvt::sequence] = dsvt::header_mark;
}

void frame_as_dsvt_voice(std::uint8_t* packet, const std::uint8_t stream_id[2],
                         std::uint8_t sequence) {
  frame_dsvt(packet, dsvt::kind_voice, stream_id);
  packet[dsvt::sequence] = sequence;
}

void frame_as_node(std::uint8_t* packet, std::uint8_t node_kind, std::uint16_t sequence) {
  std::memset(packet, 0, dsvt::prefix_size);
  packet[prefix::packet_kind] = node_kind;
  packet[prefix::sequence] = static_cast<std::uint8_t>(sequence >> 8);
  packet[prefix::sequence + 1] = static_cast<std::uint8_t>(sequence & 0xff);
}

bool is_sync(const std::uint8_t* voice) {
  return std::memcmp(voice + dsvt::slow_data, dsvt::sync, sizeof dsvt::sync) == 0;
}

}  // namespace mirx::dextra
