#include "dextra/out_streams.h"

#include <algorithm>
#include <cstring>

namespace mirx::dextra {

out_stream* out_streams::live(const stream_origin& from) {
  for (out_stream& s : streams_)
    if (!s.ended && s.from == from) return &s;
  return nullptr;
}

out_stream& out_streams::start(const stream_origin& from, const std::uint8_t* header,
                               std::int64_t now) {
  if (out_stream* old = live(from)) old->ended = true;
  out_stream& s = streams_.emplace_back();
  s.from = from;
  fresh_id(s.id);
  s.last_ms = now;
  if (header != nullptr) {
    s.has_header = true;
    std::memcpy(s.header, header, dsvt::header_size);
    std::memcpy(s.my, header + dsvt::my, call_size);
  }
  return s;
}

std::uint8_t out_streams::sequence_of(out_stream& s, const std::uint8_t* voice) {
  const std::uint8_t sequence = is_sync(voice) ? 0 : s.next_sequence;
  s.next_sequence = static_cast<std::uint8_t>((sequence + 1) % dsvt::frames_per_superframe);
  return sequence;
}

bool out_streams::carried(const std::uint8_t* my, const stream_origin& from, std::int64_t now,
                          std::int64_t window_ms) const {
  for (const out_stream& s : streams_) {
    if (!s.has_header || s.from == from || std::memcmp(s.my, my, call_size) != 0) continue;
    if (!s.ended || now - s.last_ms < window_ms) return true;
  }
  return false;
}

void out_streams::forget_ended(std::int64_t now, std::int64_t window_ms) {
  std::erase_if(streams_,
                [&](const out_stream& s) { return s.ended && now - s.last_ms >= window_ms; });
}

// A new stream id each time: never 0, and never the one before it.
void out_streams::fresh_id(std::uint8_t* id) {
  std::uint16_t value = 0;
  while (value == 0 || value == last_id_) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    value = static_cast<std::uint16_t>(state_ & 0xffff);
  }
  last_id_ = value;
  id[0] = static_cast<std::uint8_t>(value >> 8);
  id[1] = static_cast<std::uint8_t>(value & 0xff);
}

}  // namespace mirx::dextra
