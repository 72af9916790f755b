#include "node/stream_log.h"

#include <cstring>

#include "node/datagrams.h"

namespace mirx {
namespace {

// Twice the streams followed, a power of two: the table is at most half
// full, so probe runs stay short and every probe meets an empty slot.
constexpr int slot_bits = 11;
constexpr std::size_t slot_count = std::size_t{1} << slot_bits;
static_assert(slot_count == 2 * max_streams);
constexpr std::size_t slot_mask = slot_count - 1;

// How often the table is walked for silent streams while datagrams keep the
// loop awake; an idle loop wakes every 200 ms anyway.
constexpr std::int64_t scan_period_ms = 100;

// Multiplicative hashing: the product's top bits spread neighbouring
// addresses over the whole table. A node's origin is its address alone; a
// door's peer mixes in its port and door.
std::size_t home_of(const stream_origin& from) {
  const std::uint32_t key = from.ip ^ (std::uint32_t{from.port} << 8) ^ from.door;
  return (key * 2654435761u) >> (32 - slot_bits);
}

}  // namespace

void stream_log::start(node_link& net, std::uint32_t heartbeat_s, std::int64_t bound_ms,
                       std::int64_t now_ms) {
  net_ = &net;
  slots_.assign(slot_count, slot{});
  heartbeat_ms_ = heartbeat_s * 1000;
  bound_ms_ = bound_ms;
  next_heartbeat_ms_ = now_ms + heartbeat_ms_;
  next_scan_ms_ = now_ms;
  send_status(record::tag_run, now_ms, 0);
}

stream_log::slot* stream_log::find(const stream_origin& from) {
  for (std::size_t at = home_of(from);; at = (at + 1) & slot_mask) {
    slot& s = slots_[at];
    if (!s.used) return nullptr;
    if (s.from == from) return &s;
  }
}

void stream_log::header_arrives(const stream_origin& from) {
  if (open_ == 0) return;
  if (slot* s = find(from)) end(*s, record::end_by_superseded);
}

void stream_log::header_relayed(const stream_origin& from, const record::bytes& acc,
                                std::int64_t now_ms, const std::uint8_t* header) {
  if (header != nullptr) {
    record::bytes r = acc;
    std::memcpy(r.data(), record::tag_hdr, 4);
    std::memcpy(r.data() + record::suffix, header + hdr::my_suffix, 4);
    std::memcpy(r.data() + record::your_call, header + hdr::your_call, call_size);
    net_->send_to_log_server(r.data(), r.size());
  }
  if (open_ == max_streams) return;
  std::size_t at = home_of(from);
  while (slots_[at].used && !(slots_[at].from == from)) at = (at + 1) & slot_mask;
  slot& s = slots_[at];
  if (!s.used) ++open_;
  s.used = true;
  s.from = from;
  s.start_ms = now_ms;
  s.last_voice_ms = now_ms;
  s.text = {};
  std::memcpy(s.who, acc.data() + record::call1, sizeof s.who);
}

void stream_log::voice_relayed(const stream_origin& from, const std::uint8_t* packet,
                               std::int64_t now_ms) {
  if (open_ == 0) return;
  slot* s = find(from);
  if (s == nullptr) return;
  s->last_voice_ms = now_ms;
  if (s->text.feed(packet)) {
    record::bytes r = record::make(record::tag_txt);
    std::memcpy(r.data() + record::text_my_call, s->who + (record::my_call - record::call1),
                call_size);
    std::memcpy(r.data() + record::text, s->text.text(), record::text_size);
    net_->send_to_log_server(r.data(), r.size());
  }
  if (voice::ends_stream(packet)) end(*s, record::end_by_mark);
}

void stream_log::end_stream(const stream_origin& from, std::uint8_t how) {
  if (open_ == 0) return;
  if (slot* s = find(from)) end(*s, how);
}

// Sends the END record of `s` and frees its slot.
void stream_log::end(slot& s, std::uint8_t how) {
  record::bytes r = record::make(record::tag_end);
  r[record::end_how] = how;
  const std::int64_t length = s.last_voice_ms - s.start_ms;
  const std::uint32_t capped =
      length > record::duration_cap ? record::duration_cap : static_cast<std::uint32_t>(length);
  record::put_number(r, record::duration_ms, capped, 3);
  std::memcpy(r.data() + record::call1, s.who, sizeof s.who);
  net_->send_to_log_server(r.data(), r.size());
  erase(static_cast<std::size_t>(&s - slots_.data()));
}

// Frees slot `at` and moves later members of its probe run back, so that a
// lookup never stops early at the hole.
void stream_log::erase(std::size_t at) {
  --open_;
  for (std::size_t next = (at + 1) & slot_mask; slots_[next].used; next = (next + 1) & slot_mask) {
    const std::size_t home = home_of(slots_[next].from);
    // The member may fill the hole when its home is not cyclically in (at, next].
    const bool stays = at <= next ? (at < home && home <= next) : (at < home || home <= next);
    if (stays) continue;
    slots_[at] = slots_[next];
    at = next;
  }
  slots_[at] = slot{};
}

// A slot emptied under the walk may be filled from further on, so the same
// place is looked at again before moving on.
void stream_log::end_silent(std::int64_t now_ms) {
  for (std::size_t at = 0; at < slot_count && open_ != 0;) {
    slot& s = slots_[at];
    if (s.used && now_ms - s.last_voice_ms >= stream_silence_ms)
      end(s, record::end_by_silence);
    else
      ++at;
  }
}

bool stream_log::tick(std::int64_t now_ms, std::size_t table_size) {
  if (open_ != 0 && now_ms >= next_scan_ms_) {
    next_scan_ms_ = now_ms + scan_period_ms;
    end_silent(now_ms);
  }
  if (now_ms < next_heartbeat_ms_) return false;
  send_status(record::tag_hbt, now_ms, table_size);
  next_heartbeat_ms_ += heartbeat_ms_;
  // After a long stall the next beat keeps the period instead of bursting.
  if (next_heartbeat_ms_ <= now_ms) next_heartbeat_ms_ = now_ms + heartbeat_ms_;
  return true;
}

void stream_log::stop(std::int64_t now_ms, std::size_t table_size) {
  send_status(record::tag_off, now_ms, table_size);
}

void stream_log::send_status(const char (&tag_text)[5], std::int64_t now_ms,
                             std::size_t table_size) {
  record::bytes r = record::make(tag_text);
  record::put_number(r, record::table_size, static_cast<std::uint32_t>(table_size));
  record::put_number(r, record::seconds_up,
                     static_cast<std::uint32_t>((now_ms - bound_ms_) / 1000));
  record::put_number(r, record::streams_open, static_cast<std::uint32_t>(open_));
  record::put_number(r, record::heartbeat_s, heartbeat_ms_ / 1000);
  record::put_number(r, record::silence_ms, stream_silence_ms);
  net_->send_to_log_server(r.data(), r.size());
}

}  // namespace mirx
