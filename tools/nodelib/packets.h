#pragma once

// Builders for the datagrams a node sends, on the server's own layouts.

#include <array>
#include <cstdint>
#include <string>

#include "node/datagrams.h"

namespace mirx::nodes {

using registration = std::array<std::uint8_t, reg::size>;
using header = std::array<std::uint8_t, hdr::size>;
using voice_frame = std::array<std::uint8_t, voice::size>;

// Copies up to 8 characters of `text` into an 8-byte field, space-padded as
// radios send call signs (the server itself never pads).
void put_call(std::uint8_t* field, const std::string& text);

registration make_registration(const std::string& call1, const std::string& call2,
                               const char* req_id = "RS");

struct header_fields {
  std::string my_call;
  std::string your_call = "CQCQCQ";
  std::string rpt1_call;
  std::string rpt2_call;
  std::string my_suffix;
  std::uint8_t flags[3] = {0, 0, 0};
};
header make_header(const header_fields& f, std::uint16_t stream_id = 0);

// The silent voice frame of D-STAR.
inline constexpr std::uint8_t silence_frame[voice::frame_size] = {0x9E, 0x8D, 0x32, 0x88, 0x26,
                                                                  0x1A, 0x3F, 0x61, 0xE8};
voice_frame make_voice(std::uint16_t sequence, const std::array<std::uint8_t, 3>& slow_data,
                       std::uint16_t stream_id = 0);

}  // namespace mirx::nodes
