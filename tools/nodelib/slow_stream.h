#pragma once

// Whole slow-data streams as a node sends and receives them, and the check
// sums of the D-PRS position reports they carry: the node tool, the tests and
// the benchmarks use them; the server itself never builds a stream.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dprs/slow_data.h"

namespace mirx::slow {

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
