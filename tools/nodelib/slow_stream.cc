#include "nodelib/slow_stream.h"

#include <algorithm>
#include <stdexcept>

namespace mirx::slow {

namespace {

block position_block(std::string_view bytes) {
  block b{static_cast<std::uint8_t>(type_position << 4 | bytes.size())};
  for (std::size_t i = 0; i < bytes.size(); ++i) b[1 + i] = static_cast<std::uint8_t>(bytes[i]);
  return b;
}

// Superframes that `blocks` blocks fill, the last one perhaps in part.
std::size_t superframes_for(std::size_t blocks) {
  return (blocks + blocks_per_superframe - 1) / blocks_per_superframe;
}

const char hex_digits[] = "0123456789ABCDEF";

}  // namespace

std::uint16_t gps_a_crc(std::string_view bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 1 ? (crc >> 1) ^ 0x8408 : crc >> 1);
  }
  return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

std::string gps_a_line(std::string_view packet) {
  std::string body(packet);
  body += '\r';
  const std::uint16_t crc = gps_a_crc(body);
  std::string line = "$$CRC";
  for (int shift = 12; shift >= 0; shift -= 4) line += hex_digits[(crc >> shift) & 0xF];
  return line + ',' + body;
}

std::uint8_t nmea_checksum(std::string_view body) {
  std::uint8_t sum = 0;
  for (const char c : body) sum ^= static_cast<std::uint8_t>(c);
  return sum;
}

std::string nmea_sentence(std::string_view body) {
  const std::uint8_t sum = nmea_checksum(body);
  return '$' + std::string(body) + '*' + hex_digits[sum >> 4] + hex_digits[sum & 0xF] + "\r\n";
}

stream_encoder::stream_encoder(std::string_view text, std::string_view position) {
  if (text.size() > text_length)
    throw std::invalid_argument("a text message holds at most 20 characters");
  if (!text.empty()) {
    std::string padded(text);
    padded.resize(text_length, ' ');
    for (std::size_t part = 0; part < text_blocks; ++part)
      blocks_.push_back(text_block(padded.data(), part));
  }
  position_begin_ = blocks_.size();
  for (std::size_t at = 0; at < position.size();) {
    std::size_t n = std::min(data_per_block, position.size() - at);
    block b = position_block(position.substr(at, n));
    // A second half that scrambles to the sync pattern would be taken for a
    // sync by every receiver: such a block carries one byte less, and the
    // half then ends in a zero byte, which no sync has.
    if (is_sync(scramble(second_half(b)))) b = position_block(position.substr(at, --n));
    blocks_.push_back(b);
    at += n;
  }
}

std::size_t stream_encoder::repeat_position(std::size_t frames) {
  repeats_ = 0;
  if (frames_needed() == 0 || frames < frames_needed()) return 0;
  const std::size_t report = blocks_.size() - position_begin_;
  if (report > 0) {
    const std::size_t first = superframes_for(blocks_.size());
    const std::size_t each = superframes_for(report);
    // A copy ends at its last block's second half, not at its superframe's end.
    const std::size_t last_length = (report - 1) % blocks_per_superframe * 2 + 3;
    const std::size_t begin = first * frames_per_superframe;
    while (begin + (repeats_ + 1) * each * frames_per_superframe -
               (frames_per_superframe - last_length) <=
           frames)
      ++repeats_;
  }
  return 1 + repeats_;
}

half stream_encoder::frame(std::size_t n) const {
  const std::size_t place = n % frames_per_superframe;
  if (place == 0) return sync_pattern;
  const std::size_t superframe = n / frames_per_superframe;
  const std::size_t in_superframe = (place - 1) / 2;
  std::size_t index = superframe * blocks_per_superframe + in_superframe;
  const std::size_t first = superframes_for(blocks_.size());
  if (superframe >= first && repeats_ > 0) {
    const std::size_t each = superframes_for(blocks_.size() - position_begin_);
    const std::size_t copy = (superframe - first) / each;
    index =
        copy < repeats_
            ? position_begin_ + (superframe - first) % each * blocks_per_superframe + in_superframe
            : blocks_.size();
  }
  if (index >= blocks_.size()) return scramble(filler);
  const block& b = blocks_[index];
  return scramble((place - 1) % 2 == 0 ? first_half(b) : second_half(b));
}

std::size_t stream_encoder::frames_needed() const {
  if (blocks_.empty()) return 0;
  const std::size_t last_slot = blocks_.size() * 2 - 1;
  const std::size_t data_frames = frames_per_superframe - 1;
  return last_slot / data_frames * frames_per_superframe + last_slot % data_frames + 2;
}

void stream_decoder::feed(std::size_t in_superframe, const half& received) {
  const std::size_t place = in_superframe % frames_per_superframe;
  const bool waiting = assembler_.second_half_next();
  const bool partner_here = waiting && last_ && *last_ + 1 == place;
  last_ = place;
  if (place == 0 || is_sync(received)) {
    if (waiting) ++lost_halves_;
    assembler_.restart();
    return;
  }
  if (place % 2 == 1) {  // a first half: whatever waited has lost its partner
    if (waiting) ++lost_halves_;
    assembler_.restart();
    assembler_.feed(received);
    return;
  }
  if (!partner_here) {  // a second half whose first half was lost
    if (waiting) ++lost_halves_;
    ++lost_halves_;
    assembler_.restart();
    return;
  }
  if (const auto done = assembler_.feed(received)) take(*done);
}

void stream_decoder::take(const block& b) {
  const std::uint8_t header = b[0];
  if (block_type(header) == type_position) {
    position_.append(reinterpret_cast<const char*>(b.data() + 1), data_count(header));
  } else if (block_type(header) == type_text && block_count(header) < text_blocks) {
    const std::size_t part = block_count(header);
    for (std::size_t i = 0; i < data_per_block; ++i)
      text_[part * data_per_block + i] = static_cast<char>(b[1 + i]);
    text_parts_ |= 1u << part;
  }
}

std::string stream_decoder::text() const {
  std::string out(text_.begin(), text_.end());
  for (std::size_t part = 0; part < text_blocks; ++part)
    if ((text_parts_ & (1u << part)) == 0)
      out.replace(part * data_per_block, data_per_block, data_per_block, '?');
  return out;
}

}  // namespace mirx::slow
