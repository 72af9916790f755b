#pragma once

// D-STAR slow data: three bytes ride in every voice frame. A superframe opens
// with the sync pattern; between syncs, consecutive frames carry the two
// halves of 6-byte blocks, each half scrambled by XOR with a fixed pattern.
// A block's first byte holds its type (high four bits) and the number of data
// bytes that follow (low four bits).
//
// The server's D-PRS step and the canned acknowledgement frames build on
// these; the tools' stream encoder and decoder build on them too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

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

}  // namespace mirx::slow
