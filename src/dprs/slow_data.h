#pragma once

// D-STAR slow data: three bytes ride in every voice frame. A superframe opens
// with the sync pattern; between syncs, consecutive frames carry the two
// halves of 6-byte blocks, each half scrambled by XOR with a fixed pattern.
// A block's first byte holds its type (high four bits) and the number of data
// bytes that follow (low four bits).
//
// This is the one slow-data library: the server's D-PRS step, the canned
// acknowledgement frames, the node tool and the tests all build on it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirx::slow {

using half = std::array<std::uint8_t, 3>;
using block = std::array<std::uint8_t, 6>;

inline constexpr half scramble_pattern = {0x70, 0x4F, 0x93};
inline constexpr half sync_pattern = {0x55, 0x2D, 0x16};
// What a sender puts in a half when it has nothing to say; as a block header
// 0x66 is a type no receiver acts on.
inline constexpr half filler = {0x66, 0x66, 0x66};

// Frame 0 of every superframe carries the sync; the 20 frames after it carry
// exactly 10 blocks, so a block never straddles a sync.
inline constexpr std::size_t frames_per_superframe = 21;
inline constexpr std::size_t blocks_per_superframe = (frames_per_superframe - 1) / 2;

inline constexpr std::uint8_t type_position = 0x3;  // D-PRS (GPS) data
inline constexpr std::uint8_t type_text = 0x4;      // 20-character text message
inline constexpr std::size_t text_length = 20;
inline constexpr std::size_t data_per_block = 5;
inline constexpr std::size_t text_blocks = text_length / data_per_block;

constexpr std::uint8_t block_type(std::uint8_t header) {
  return header >> 4;
}
constexpr std::uint8_t block_count(std::uint8_t header) {
  return header & 0x0F;
}
// The data bytes a block really holds: its count says up to 15, but only five
// follow the header.
constexpr std::size_t data_count(std::uint8_t header) {
  return block_count(header) < data_per_block ? block_count(header) : data_per_block;
}

// Scrambling and descrambling are the same XOR.
constexpr half scramble(const half& h) {
  return {static_cast<std::uint8_t>(h[0] ^ scramble_pattern[0]),
          static_cast<std::uint8_t>(h[1] ^ scramble_pattern[1]),
          static_cast<std::uint8_t>(h[2] ^ scramble_pattern[2])};
}

constexpr bool is_sync(const half& h) {
  return h == sync_pattern;
}

constexpr half first_half(const block& b) {
  return {b[0], b[1], b[2]};
}
constexpr half second_half(const block& b) {
  return {b[3], b[4], b[5]};
}

// Block `part` (0..3) of a 20-character text message: header 0x40 | part and
// the part's five characters.
constexpr block text_block(const char* text, std::size_t part) {
  block b{static_cast<std::uint8_t>(type_text << 4 | part)};
  for (std::size_t i = 0; i < data_per_block; ++i)
    b[1 + i] = static_cast<std::uint8_t>(text[part * data_per_block + i]);
  return b;
}

// The 24 scrambled bytes (eight frames) that carry a 20-character text
// message: four blocks with headers 0x40..0x43 and five characters each.
constexpr std::array<std::uint8_t, 24> text_message_frames(const char (&text)[text_length + 1]) {
  std::array<std::uint8_t, 24> out{};
  for (std::size_t b = 0; b < text_blocks; ++b) {
    const block blk = text_block(text, b);
    const half first = scramble(first_half(blk));
    const half second = scramble(second_half(blk));
    for (std::size_t i = 0; i < 3; ++i) {
      out[b * 6 + i] = first[i];
      out[b * 6 + 3 + i] = second[i];
    }
  }
  return out;
}

// The two check sums of D-PRS position reports, shared by whoever writes or
// reads them.
//
// A GPS-A (APRS) report is one line "$$CRCxxxx," + packet + CR, where xxxx is
// the CRC of every byte after the comma up to and including the CR: the
// reflected CRC-CCITT (polynomial 0x8408 taken LSB first, start 0xFFFF),
// inverted at the end; four upper-case hex digits.
std::uint16_t gps_a_crc(std::string_view bytes);
// "$$CRCxxxx," + `packet` + CR, with the CRC filled in.
std::string gps_a_line(std::string_view packet);
// An NMEA sentence "$" + body + "*hh" + CR LF carries in hh the XOR of the
// bytes between "$" and "*".
std::uint8_t nmea_checksum(std::string_view body);
std::string nmea_sentence(std::string_view body);

// Rebuilds blocks from the slow-data bytes of consecutive voice frames. A sync
// starts over; a half that arrives second completes a block.
class block_assembler {
 public:
  // Feeds one frame's three received (scrambled) bytes; returns the
  // descrambled block when this frame completed one.
  std::optional<block> feed(const half& received) {
    if (is_sync(received)) {
      second_half_next_ = false;
      return std::nullopt;
    }
    const half plain = scramble(received);
    const std::size_t at = second_half_next_ ? 3 : 0;
    for (std::size_t i = 0; i < 3; ++i) block_[at + i] = plain[i];
    second_half_next_ = !second_half_next_;
    if (second_half_next_) return std::nullopt;
    return block_;
  }
  bool second_half_next() const { return second_half_next_; }
  // Forgets a first half waiting for its partner, as a sync would.
  void restart() { second_half_next_ = false; }

 private:
  block block_{};
  bool second_half_next_ = false;
};

// The slow data of one transmission: a text message and/or D-PRS position
// bytes, sent once each (text first; the position again in whole copies
// after repeat_position), then filler. Frame n of the
// transmission carries the sync when n % 21 == 0 and otherwise one scrambled
// block half, so the whole stream is known in advance and any frame can be
// asked for in any order.
class stream_encoder {
 public:
  // `text`: at most 20 bytes, padded with spaces; empty sends no text
  // message (std::invalid_argument when longer). `position`: the D-PRS bytes,
  // any length, five to a block; empty sends none.
  stream_encoder(std::string_view text, std::string_view position);

  // Sends the position again, as a radio repeats its report, in the frames
  // after frames_needed(): each copy from the start of a superframe, and only
  // as many whole copies as end within `frames` frames, so no receiver ever
  // gets half a report. Returns the number of copies in all, the first one
  // included; 0 when even the first does not fit in `frames`.
  std::size_t repeat_position(std::size_t frames);

  // The three slow-data bytes, as sent, of frame `n` (0: the first voice
  // frame after the header).
  half frame(std::size_t n) const;
  // How many frames carry everything, filler and repeats excluded; 0 with
  // nothing to send.
  std::size_t frames_needed() const;
  const std::vector<block>& blocks() const { return blocks_; }

 private:
  std::vector<block> blocks_;
  std::size_t position_begin_ = 0;  // index of the first position block
  std::size_t repeats_ = 0;         // copies after the first
};

// Collects the text message and the position bytes of a received stream.
// Halves are paired by the frame's place in its superframe (0 is the sync
// frame), not merely by arrival order, so a lost frame costs only the block
// it belonged to: the halves after it are never mis-paired into blocks that
// were never sent.
class stream_decoder {
 public:
  // Feeds the slow data of the frame at `in_superframe` (0..20) of its
  // superframe; values past 20 are taken modulo 21.
  void feed(std::size_t in_superframe, const half& received);

  bool has_text() const { return text_parts_ != 0; }
  bool text_complete() const { return text_parts_ == (1u << text_blocks) - 1; }
  // The 20 characters; parts that never arrived read as '?'.
  std::string text() const;
  // Every position data byte, in the order received.
  const std::string& position() const { return position_; }
  // Block halves dropped because their partner was lost.
  std::size_t lost_halves() const { return lost_halves_; }

 private:
  void take(const block& b);
  block_assembler assembler_;
  std::optional<std::size_t> last_;  // place of the previous frame fed
  std::array<char, text_length> text_{};
  unsigned text_parts_ = 0;
  std::string position_;
  std::size_t lost_halves_ = 0;
};

}  // namespace mirx::slow
