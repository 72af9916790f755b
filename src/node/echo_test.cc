#include "node/echo_test.h"

#include <algorithm>
#include <cstring>

#include "node/send_retry.h"
#include "node/stream_log.h"

namespace mirx {

void echo_test::start(const char* call, bool records) {
  call_.fill(' ');
  std::memcpy(call_.data(), call, std::min(std::strlen(call), call_size));
  records_ = records;
  slots_.assign(max_echo_tests, slot{});
  store_.assign(max_echo_tests * max_echo_packets * voice::size, 0);
  for (std::size_t i = 0; i < max_echo_tests; ++i)
    slots_[i].voice = store_.data() + i * max_echo_packets * voice::size;
  tails_.clear();
  tails_.reserve(max_echo_tails);
}

echo_test::tail* echo_test::tail_of(const stream_origin& from) {
  for (tail& t : tails_)
    if (t.from == from) return &t;
  return nullptr;
}

// The recording has lasted its 60 s: it is played back and its slot freed,
// while the sender's later voice is dropped as a tail until it falls silent.
// With no room for the tail the slot keeps recording (dropping) instead: a
// bound may cost an echo test its turn, never relay its voice.
void echo_test::end_at_bound(slot& s, std::int64_t now_ms) {
  if (tails_.size() == max_echo_tails) return;
  tails_.push_back({s.from, s.last_ms});
  finish_recording(s, now_ms);
}

echo_test::slot* echo_test::recording(const stream_origin& from) {
  for (slot& s : slots_)
    if (s.now == phase::recording && s.from == from) return &s;
  return nullptr;
}

// The playback begins at once; its last packet carries the end mark even when
// the sender's was lost.
void echo_test::finish_recording(slot& s, std::int64_t now_ms) {
  s.now = phase::playing;
  s.play_ms = now_ms;
  if (s.packets == 0) return;
  std::uint8_t* last = s.voice + (s.packets - 1) * voice::size;
  if (!voice::ends_stream(last)) last[prefix::sequence + 1] |= voice::last_frame_flag;
}

bool echo_test::header(const conference& c, const stream_origin& from, const std::uint8_t* packet,
                       std::int64_t now_ms, const callsign* door_names) {
  if (slot* s = recording(from)) finish_recording(*s, now_ms);
  if (tail* t = tail_of(from)) tails_.erase(tails_.begin() + (t - tails_.data()));
  if (std::memcmp(packet + hdr::your_call, call_.data(), call_size) != 0) return false;
  const auto free = std::find_if(slots_.begin(), slots_.end(),
                                 [](const slot& s) { return s.now == phase::free; });
  if (free == slots_.end()) return false;
  std::uint8_t* voice = free->voice;
  *free = slot{phase::recording, from, {}, 0, 0, false, now_ms, now_ms, 0, voice, {}, {}};
  std::memcpy(free->header.data(), packet, hdr::size);
  // Named as the sender's node is now, as the END record names a stream's.
  if (door_names != nullptr) {
    free->call1 = door_names[0];
    free->call2 = door_names[1];
    return true;
  }
  for (const node_entry& e : c.table.entries())
    if (e.ip == from.ip) {
      free->call1 = e.call1;
      free->call2 = e.call2;
    }
  return true;
}

bool echo_test::voice(const stream_origin& from, const std::uint8_t* packet, std::int64_t now_ms) {
  slot* s = recording(from);
  if (s == nullptr) {
    tail* t = tail_of(from);
    if (t != nullptr) t->last_ms = now_ms;
    return t != nullptr;
  }
  s->last_ms = now_ms;
  if (now_ms - s->start_ms >= max_echo_ms) {
    end_at_bound(*s, now_ms);
    return true;
  }
  if (s->packets < max_echo_packets)
    std::memcpy(s->voice + s->packets++ * voice::size, packet, voice::size);
  if (voice::ends_stream(packet)) finish_recording(*s, now_ms);
  return true;
}

void echo_test::tick(conference& c, std::int64_t now_ms, std::int64_t heard_ms) {
  std::erase_if(tails_,
                [heard_ms](const tail& t) { return heard_ms - t.last_ms >= stream_silence_ms; });
  for (slot& s : slots_) {
    if (s.now == phase::recording && heard_ms - s.last_ms >= stream_silence_ms)
      finish_recording(s, now_ms);
    if (s.now == phase::recording && now_ms - s.start_ms >= max_echo_ms) end_at_bound(s, now_ms);
    if (s.now == phase::playing) play(c, s, now_ms);
  }
}

std::int64_t echo_test::next_due_ms() const {
  std::int64_t due = -1;
  for (const slot& s : slots_)
    if (s.now == phase::playing) {
      const std::int64_t at =
          s.play_ms + static_cast<std::int64_t>(s.sent + (s.header_sent ? 1 : 0)) * echo_frame_ms;
      if (due < 0 || at < due) due = at;
    }
  return due;
}

// The header from the echo call to the speaker, and what the test is told.
void echo_test::begin_playback(conference& c, slot& s) {
  const callsign speaker = callsign_of(s.header.data() + hdr::my_call);
  std::memcpy(s.header.data() + hdr::your_call, s.header.data() + hdr::my_call, call_size);
  put_callsign(s.header.data() + hdr::my_call, call_);
  send_back(c, s, s.header.data(), hdr::size, true);
  s.header_sent = true;
  c.out.stamped(shown::event, "Echo test from %.8s: %zu voice packets played back\n",
                printable(speaker).text, s.packets);
  if (!records_) return;
  record::bytes r = record::make(record::tag_ech);
  put_callsign(r.data() + record::call1, s.call1);
  put_callsign(r.data() + record::call2, s.call2);
  put_callsign(r.data() + record::my_call, speaker);
  const auto length = static_cast<std::uint32_t>(
      std::min<std::int64_t>(s.last_ms - s.start_ms, record::duration_cap));
  record::put_number(r, record::duration_ms, length, 3);
  c.net.send_to_log_server(r.data(), r.size());
}

// To a node at OutPort, as the relay sends; to a peer of another door
// through that door, in its framing.
void echo_test::send_back(conference& c, const slot& s, const std::uint8_t* data,
                          std::size_t length, bool header) {
  if (s.from.from_node())
    return send_with_retry(c, data, length, s.from.ip,
                           header ? relay_header_rule : relay_voice_rule);
  for (conference_door* d : c.doors) d->send_to(s.from, data, length);
}

// Sends what is due: the header at once, packet i at 20 ms x (i + 1). After a
// stall the packets that fell due are sent together rather than dropped. A
// failed send is reported and repeated as the relay's own.
void echo_test::play(conference& c, slot& s, std::int64_t now_ms) {
  if (!s.header_sent) begin_playback(c, s);
  while (s.sent < s.packets &&
         now_ms >= s.play_ms + static_cast<std::int64_t>(s.sent + 1) * echo_frame_ms)
    send_back(c, s, s.voice + s.sent++ * voice::size, voice::size, false);
  if (s.sent == s.packets) s.now = phase::free;
}

}  // namespace mirx
