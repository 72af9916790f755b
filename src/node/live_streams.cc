#include "node/live_streams.h"

namespace mirx {
namespace {

// A power of two over three times the capacity: probe runs stay short and
// every probe meets an empty place.
constexpr int index_bits = 13;
constexpr std::size_t index_size = std::size_t{1} << index_bits;
static_assert(index_size >= 3 * live_streams::capacity);
constexpr std::size_t index_mask = index_size - 1;

}  // namespace

// Multiplicative hashing: the product's top bits spread neighbouring
// addresses over the whole index. A node's origin is its address alone; a
// door's peer mixes in its port and door.
std::size_t live_streams::home_of(const stream_origin& from) const {
  const std::uint32_t key = from.ip ^ (std::uint32_t{from.port} << 8) ^ from.door;
  return (key * 2654435761u) >> (32 - index_bits);
}

void live_streams::start() {
  entries_.assign(capacity, live_stream{});
  place_.assign(capacity, 0);
  spare_.clear();
  for (std::size_t i = capacity; i-- > 0;) spare_.push_back(static_cast<std::uint16_t>(i));
  live_.clear();
  live_.reserve(capacity);
  index_.assign(index_size, empty);
}

live_stream* live_streams::find(const stream_origin& from) {
  if (live_.empty()) return nullptr;
  for (std::size_t at = home_of(from);; at = (at + 1) & index_mask) {
    if (index_[at] == empty) return nullptr;
    if (entries_[index_[at]].from == from) return &entries_[index_[at]];
  }
}

live_stream* live_streams::open(const stream_origin& from, std::int64_t now_ms) {
  if (live_stream* s = find(from)) return s;
  if (spare_.empty()) return nullptr;
  const std::uint16_t i = spare_.back();
  spare_.pop_back();
  std::size_t at = home_of(from);
  while (index_[at] != empty) at = (at + 1) & index_mask;
  index_[at] = i;
  place_[i] = static_cast<std::uint16_t>(live_.size());
  live_.push_back(i);
  live_stream& s = entries_[i];
  s = live_stream{};
  s.from = from;
  s.start_ms = now_ms;
  s.last_ms = now_ms;
  return &s;
}

void live_streams::release(live_stream& s) {
  if (!s.held()) free(s);
}

// Frees the entry, and moves later members of its probe run back, so that a
// lookup never stops early at the hole.
void live_streams::free(live_stream& s) {
  const auto i = static_cast<std::uint16_t>(&s - entries_.data());
  std::size_t at = home_of(s.from);
  while (index_[at] != i) at = (at + 1) & index_mask;
  for (std::size_t next = (at + 1) & index_mask; index_[next] != empty;
       next = (next + 1) & index_mask) {
    const std::size_t home = home_of(entries_[index_[next]].from);
    // The member may fill the hole when its home is not cyclically in (at, next].
    const bool stays = at <= next ? (at < home && home <= next) : (at < home || home <= next);
    if (stays) continue;
    index_[at] = index_[next];
    at = next;
  }
  index_[at] = empty;
  const std::uint16_t moved = live_.back();
  live_[place_[i]] = moved;
  place_[moved] = place_[i];
  live_.pop_back();
  s = live_stream{};
  spare_.push_back(i);
}

// From the last in use back, so that a freed entry's place is taken by one
// already looked at.
void live_streams::end_silent(std::int64_t heard_ms) {
  for (std::size_t k = live_.size(); k-- > 0;) {
    live_stream& s = entries_[live_[k]];
    if (heard_ms - s.last_ms < stream_silence_ms) continue;
    for (stream_reader* r : readers_) r->silent(s);
    free(s);
  }
}

}  // namespace mirx
